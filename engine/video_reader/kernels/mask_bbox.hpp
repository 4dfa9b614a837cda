// The scan behind the face-mask bounding box.
//
// `scan_mask` finds the first and last non-zero row and column of one decoded
// mask, given as a strided (row, column, channel) pixel buffer of any numeric
// element type. A pixel is non-zero when the largest of its channel values is
// greater than 0 (so a NaN channel makes the pixel zero, as a NaN maximum is not
// greater than 0). It needs no interpreter, keeps no state, touches each
// element at most once and is safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vr {

enum class ElementKind : std::uint8_t {
  Unsigned,  // unsigned integers, 1, 2, 4 or 8 bytes
  Signed,    // signed integers, 1, 2, 4 or 8 bytes
  Float,     // IEEE binary16, binary32 or binary64
  Bool,      // one byte, non-zero means true
};

// A 3-D strided view: element (y, x, c) lives at
// data + y * row_stride + x * col_stride + c * channel_stride (strides in bytes,
// any sign). Elements need no alignment and are read in the machine's byte order.
struct StridedMask {
  const unsigned char* data = nullptr;
  std::size_t rows = 0, cols = 0, channels = 0;
  std::ptrdiff_t row_stride = 0, col_stride = 0, channel_stride = 0;
  ElementKind kind = ElementKind::Unsigned;
  std::size_t item_size = 1;
};

// Inclusive extent of the non-zero pixels; meaningful only when `any`.
struct MaskExtent {
  bool any = false;
  std::size_t x_first = 0, x_last = 0, y_first = 0, y_last = 0;
};

// True when `scan_mask` handles this element kind and size.
bool mask_element_supported(ElementKind kind, std::size_t item_size) noexcept;

// An empty extent when `channels` is 0 or the element kind and size are not
// supported.
MaskExtent scan_mask(const StridedMask& mask) noexcept;

}  // namespace vr
