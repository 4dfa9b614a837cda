#include "kernels/mask_bbox.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vr {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

template <typename T>
inline T load(const unsigned char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

#if defined(__SSE2__)
// Bit k set when byte p[k] is non-zero, k in [0, 16).
inline unsigned nonzero_mask16(const unsigned char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()))) &
         0xFFFFu;
}

// Whether any byte of p[0, 64) is non-zero.
inline bool any_nonzero_64(const unsigned char* p) noexcept {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
  const __m128i o = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(o, _mm_setzero_si128())) != 0xFFFF;
}

inline unsigned lowest_bit(unsigned m) noexcept { return static_cast<unsigned>(__builtin_ctz(m)); }
inline unsigned highest_bit(unsigned m) noexcept { return 31u - static_cast<unsigned>(__builtin_clz(m)); }

// Offset of the first / last non-zero byte of p[0, n), or kNone: whole 64-byte
// blocks first, then 16-byte steps; a short remainder is read by one
// overlapping 16-byte load when the span allows it.
std::size_t first_nonzero_byte(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64)
    if (any_nonzero_64(p + i)) break;
  for (; i + 16 <= n; i += 16)
    if (unsigned m = nonzero_mask16(p + i)) return i + lowest_bit(m);
  if (i == n) return kNone;
  if (n >= 16) {
    unsigned m = nonzero_mask16(p + n - 16) >> (16 - (n - i));  // bytes [i, n) only
    return m ? i + lowest_bit(m) : kNone;
  }
  for (; i < n; ++i)
    if (p[i]) return i;
  return kNone;
}

std::size_t last_nonzero_byte(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = n;
  for (; i >= 64; i -= 64)
    if (any_nonzero_64(p + i - 64)) break;
  for (; i >= 16; i -= 16)
    if (unsigned m = nonzero_mask16(p + i - 16)) return i - 16 + highest_bit(m);
  if (i == 0) return kNone;
  if (n >= 16) {
    unsigned m = nonzero_mask16(p) & ((1u << i) - 1u);  // bytes [0, i) only
    return m ? highest_bit(m) : kNone;
  }
  while (i > 0) {
    --i;
    if (p[i]) return i;
  }
  return kNone;
}
#else
// Portable versions: eight bytes at a time, then bytewise.
std::size_t first_nonzero_byte(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    std::uint64_t w[4];
    std::memcpy(w, p + i, 32);
    if ((w[0] | w[1] | w[2] | w[3]) != 0) break;
  }
  for (; i < n; ++i)
    if (p[i]) return i;
  return kNone;
}

std::size_t last_nonzero_byte(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = n;
  for (; i >= 32; i -= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p + i - 32, 32);
    if ((w[0] | w[1] | w[2] | w[3]) != 0) break;
  }
  while (i > 0) {
    --i;
    if (p[i]) return i;
  }
  return kNone;
}
#endif

// Rows of packed pixels (channels, then columns, without gaps) whose elements
// are zero exactly when all their bytes are zero (unsigned integers, bool):
// a pixel is non-zero when any of its bytes is, so rows are searched bytewise.
struct PackedRows {
  const unsigned char* data;
  std::ptrdiff_t row_stride;
  std::size_t pixel_bytes;

  const unsigned char* at(std::size_t y, std::size_t x) const noexcept {
    return data + static_cast<std::ptrdiff_t>(y) * row_stride + x * pixel_bytes;
  }
  // First / last non-zero column in [from, to), or kNone.
  std::size_t first(std::size_t y, std::size_t from, std::size_t to) const noexcept {
    if (from >= to) return kNone;
    std::size_t k = first_nonzero_byte(at(y, from), (to - from) * pixel_bytes);
    return k == kNone ? kNone : from + k / pixel_bytes;
  }
  std::size_t last(std::size_t y, std::size_t from, std::size_t to) const noexcept {
    if (from >= to) return kNone;
    std::size_t k = last_nonzero_byte(at(y, from), (to - from) * pixel_bytes);
    return k == kNone ? kNone : from + k / pixel_bytes;
  }
};

// Pixel tests: "the maximum over the channels is greater than 0".
template <typename T>
struct AnyNonZero {  // unsigned integers and bool: max > 0 <=> some channel != 0
  std::size_t channels;
  std::ptrdiff_t stride;
  bool operator()(const unsigned char* p) const noexcept {
    for (std::size_t c = 0; c < channels; ++c, p += stride)
      if (load<T>(p) != 0) return true;
    return false;
  }
};

template <typename T>
struct AnyPositive {  // signed integers: max > 0 <=> some channel > 0
  std::size_t channels;
  std::ptrdiff_t stride;
  bool operator()(const unsigned char* p) const noexcept {
    for (std::size_t c = 0; c < channels; ++c, p += stride)
      if (load<T>(p) > 0) return true;
    return false;
  }
};

template <typename T>
struct FloatMaxPositive {  // the maximum is NaN when any channel is NaN, and NaN > 0 is false
  std::size_t channels;
  std::ptrdiff_t stride;
  bool operator()(const unsigned char* p) const noexcept {
    bool positive = false;
    for (std::size_t c = 0; c < channels; ++c, p += stride) {
      T v = load<T>(p);
      if (v != v) return false;
      positive |= v > 0;
    }
    return positive;
  }
};

struct HalfMaxPositive {  // IEEE binary16 by its bits
  std::size_t channels;
  std::ptrdiff_t stride;
  bool operator()(const unsigned char* p) const noexcept {
    bool positive = false;
    for (std::size_t c = 0; c < channels; ++c, p += stride) {
      auto b = load<std::uint16_t>(p);
      if ((b & 0x7c00u) == 0x7c00u && (b & 0x03ffu) != 0) return false;  // NaN
      positive |= (b & 0x8000u) == 0 && (b & 0x7fffu) != 0;                 // > +0
    }
    return positive;
  }
};

template <typename Pixel>
struct StridedRows {
  const unsigned char* data;
  std::ptrdiff_t row_stride, col_stride;
  Pixel pixel;

  const unsigned char* at(std::size_t y, std::size_t x) const noexcept {
    return data + static_cast<std::ptrdiff_t>(y) * row_stride +
           static_cast<std::ptrdiff_t>(x) * col_stride;
  }
  std::size_t first(std::size_t y, std::size_t from, std::size_t to) const noexcept {
    for (std::size_t x = from; x < to; ++x)
      if (pixel(at(y, x))) return x;
    return kNone;
  }
  std::size_t last(std::size_t y, std::size_t from, std::size_t to) const noexcept {
    for (std::size_t x = to; x > from;) {
      --x;
      if (pixel(at(y, x))) return x;
    }
    return kNone;
  }
};

// One pass that reads only what can still change the answer: rows from the top
// until the first non-zero one, rows from the bottom until the last non-zero
// one, and of the rows in between only the columns left of the current first
// column and right of the current last column.
template <typename Rows>
MaskExtent scan_rows(const Rows& s, std::size_t rows, std::size_t cols) noexcept {
  MaskExtent e;
  if (rows == 0 || cols == 0) return e;
  std::size_t top = 0, f = kNone;
  for (; top < rows; ++top) {
    f = s.first(top, 0, cols);
    if (f != kNone) break;
  }
  if (f == kNone) return e;
  e.any = true;
  e.y_first = e.y_last = top;
  e.x_first = f;
  e.x_last = s.last(top, f, cols);  // found: column f is non-zero

  for (std::size_t y = rows - 1; y > top; --y) {
    std::size_t fb = s.first(y, 0, cols);
    if (fb == kNone) continue;
    e.y_last = y;
    e.x_first = std::min(e.x_first, fb);
    std::size_t lb = s.last(y, std::max(fb, e.x_last + 1), cols);
    if (lb != kNone) e.x_last = lb;
    break;
  }

  for (std::size_t y = top + 1; y < e.y_last; ++y) {
    if (e.x_first == 0 && e.x_last + 1 == cols) break;
    if (e.x_first > 0) {
      std::size_t a = s.first(y, 0, e.x_first);
      if (a != kNone) e.x_first = a;
    }
    if (e.x_last + 1 < cols) {
      std::size_t b = s.last(y, e.x_last + 1, cols);
      if (b != kNone) e.x_last = b;
    }
  }
  return e;
}

template <typename Pixel>
MaskExtent scan_strided(const StridedMask& m, Pixel pixel) noexcept {
  StridedRows<Pixel> s{m.data, m.row_stride, m.col_stride, pixel};
  return scan_rows(s, m.rows, m.cols);
}

template <template <typename> class Test, typename T>
MaskExtent scan_with(const StridedMask& m) noexcept {
  return scan_strided(m, Test<T>{m.channels, m.channel_stride});
}

}  // namespace

bool mask_element_supported(ElementKind kind, std::size_t item_size) noexcept {
  switch (kind) {
    case ElementKind::Unsigned:
    case ElementKind::Signed:
      return item_size == 1 || item_size == 2 || item_size == 4 || item_size == 8;
    case ElementKind::Float:
      return item_size == 2 || item_size == 4 || item_size == 8;
    case ElementKind::Bool:
      return item_size == 1;
  }
  return false;
}

MaskExtent scan_mask(const StridedMask& m) noexcept {
  if (m.channels == 0 || !mask_element_supported(m.kind, m.item_size)) return MaskExtent{};
  const auto item = static_cast<std::ptrdiff_t>(m.item_size);
  const auto pixel = static_cast<std::ptrdiff_t>(m.channels * m.item_size);
  const bool bytewise = m.kind == ElementKind::Unsigned || m.kind == ElementKind::Bool;
  const bool packed = (m.channels == 1 || m.channel_stride == item) &&
                      (m.cols == 1 || m.col_stride == pixel);
  if (bytewise && packed) {
    PackedRows s{m.data, m.row_stride, static_cast<std::size_t>(pixel)};
    return scan_rows(s, m.rows, m.cols);
  }
  switch (m.kind) {
    case ElementKind::Bool:
      return scan_with<AnyNonZero, std::uint8_t>(m);
    case ElementKind::Unsigned:
      switch (m.item_size) {
        case 1: return scan_with<AnyNonZero, std::uint8_t>(m);
        case 2: return scan_with<AnyNonZero, std::uint16_t>(m);
        case 4: return scan_with<AnyNonZero, std::uint32_t>(m);
        default: return scan_with<AnyNonZero, std::uint64_t>(m);
      }
    case ElementKind::Signed:
      switch (m.item_size) {
        case 1: return scan_with<AnyPositive, std::int8_t>(m);
        case 2: return scan_with<AnyPositive, std::int16_t>(m);
        case 4: return scan_with<AnyPositive, std::int32_t>(m);
        default: return scan_with<AnyPositive, std::int64_t>(m);
      }
    case ElementKind::Float:
      switch (m.item_size) {
        case 2: return scan_strided(m, HalfMaxPositive{m.channels, m.channel_stride});
        case 4: return scan_with<FloatMaxPositive, float>(m);
        default: return scan_with<FloatMaxPositive, double>(m);
      }
  }
  return MaskExtent{};
}

}  // namespace vr
