// The mask scan against a per-pixel reference over element types, channel
// counts, memory layouts and sizes.

#include <doctest/doctest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "kernels/mask_bbox.hpp"

using vr::ElementKind;
using vr::MaskExtent;
using vr::StridedMask;

namespace {

constexpr ElementKind U = ElementKind::Unsigned, S = ElementKind::Signed, F = ElementKind::Float,
                      B = ElementKind::Bool;

// Bit patterns of values of each element type: [0] zero (-0.0 for floats),
// [1] and [2] greater than zero (one of them in the highest byte only), then
// [3] negative and [4] NaN where the type has them. Stored in the machine's
// byte order, like the arrays the scan reads.
struct Type {
  ElementKind kind;
  std::size_t size;
  std::vector<std::uint64_t> values;
};
const Type kTypes[] = {
    {U, 1, {0, 1, 0x80}},  {U, 2, {0, 1, 0x8000}},          {U, 4, {0, 1, 0x80000000}},
    {U, 8, {0, 1, 1ULL << 63}},                             {S, 1, {0, 1, 0x40, 0xFF}},
    {S, 2, {0, 1, 0x4000, 0xFFFF}},                         {S, 4, {0, 1, 0x40000000, 0xFFFFFFFF}},
    {S, 8, {0, 1, 1ULL << 62, ~0ULL}},                      {B, 1, {0, 1, 0xFF}},
    {F, 2, {0x8000, 0x0001, 0x7C00, 0xBC00, 0x7E00}},  // -0, smallest subnormal, +inf, -1, NaN
    {F, 4, {0x80000000, 1, 0x3F000000, 0xBF800000, 0x7FC00000}},
    {F, 8, {1ULL << 63, 1, 0x4000000000000000, 0xBFF0000000000000, 0x7FF8000000000000}},
};

enum class Layout { Interleaved, PaddedRows, Planar, FlippedRows, FlippedCols };

// A mask with about `marked` random channel values set (to any value but zero)
// and the reference extent: a pixel counts when some channel is greater than zero
// and none is NaN.
MaskExtent fill(const Type& t, std::size_t rows, std::size_t cols, std::size_t ch, Layout layout, std::size_t marked,
                std::mt19937& rng, std::vector<std::uint8_t>& buf, StridedMask& m) {
  const auto item = static_cast<std::ptrdiff_t>(t.size), c = static_cast<std::ptrdiff_t>(ch),
             w = static_cast<std::ptrdiff_t>(cols), h = static_cast<std::ptrdiff_t>(rows);
  std::ptrdiff_t rs = w * c * item + (layout == Layout::Interleaved ? 0 : 3 * item), cs = c * item, chs = item;
  if (layout == Layout::Planar) rs = w * item + item, cs = item, chs = rs * h;
  buf.assign(static_cast<std::size_t>(rs * h * (layout == Layout::Planar ? c : 1)), 0);
  std::ptrdiff_t origin = 0;
  if (layout == Layout::FlippedRows) origin = (h - 1) * rs, rs = -rs;
  if (layout == Layout::FlippedCols) origin = (w - 1) * cs, cs = -cs;
  m = {buf.data() + origin, rows, cols, ch, rs, cs, chs, t.kind, t.size};

  std::vector<int> state(rows * cols * ch, 0);  // index into `values`
  for (std::size_t i = 0; i < state.size(); ++i) {
    const std::size_t y = i / (cols * ch), x = i / ch % cols, z = i % ch;
    if (marked && rng() % state.size() < marked) state[i] = 1 + static_cast<int>(rng() % (t.values.size() - 1));
    std::memcpy(buf.data() + origin + static_cast<std::ptrdiff_t>(y) * rs + static_cast<std::ptrdiff_t>(x) * cs +
                    static_cast<std::ptrdiff_t>(z) * chs,
                &t.values[static_cast<std::size_t>(state[i])], t.size);
  }
  MaskExtent e;
  for (std::size_t y = 0; y < rows; ++y) {
    for (std::size_t x = 0; x < cols; ++x) {
      bool positive = false, nan = false;
      for (std::size_t z = 0; z < ch; ++z) {
        const int s = state[(y * cols + x) * ch + z];
        positive |= s == 1 || s == 2;
        nan |= s == 4;
      }
      if (!positive || nan) continue;
      if (!e.any) e = {true, x, x, y, y};
      e = {true, std::min(e.x_first, x), std::max(e.x_last, x), std::min(e.y_first, y), std::max(e.y_last, y)};
    }
  }
  return e;
}

}  // namespace

TEST_CASE("the scan finds the reference extent for every type, layout, size and channel count") {
  std::mt19937 rng(2024);
  // Row lengths around the 16- and 64-byte steps of the byte search among them.
  const std::size_t shapes[][2] = {{1, 1}, {1, 97}, {33, 1}, {9, 16}, {17, 65}, {6, 257}};
  std::vector<std::uint8_t> buf;
  StridedMask m;
  for (const Type& t : kTypes) {
    for (std::size_t ch : {1, 3, 4}) {
      for (int layout = 0; layout < 5; ++layout) {
        for (const auto& shape : shapes) {
          for (std::size_t marked : {0, 1, 1, 2, 6, 40}) {
            const MaskExtent want = fill(t, shape[0], shape[1], ch, Layout(layout), marked, rng, buf, m);
            const MaskExtent got = vr::scan_mask(m);
            INFO("t.kind=", static_cast<int>(t.kind), " t.size=", t.size, " ch=", ch, " layout=", layout, " shape[1]=", shape[1]);
            REQUIRE(got.any == want.any);
            if (want.any)
              CHECK((got.x_first == want.x_first && got.x_last == want.x_last && got.y_first == want.y_first &&
                     got.y_last == want.y_last));
          }
        }
      }
    }
  }
}

TEST_CASE("element kinds and sizes outside the supported set, and no channels, scan as empty") {
  for (const Type& t : kTypes) CHECK(vr::mask_element_supported(t.kind, t.size));
  const std::pair<ElementKind, std::size_t> unsupported[] = {
      {ElementKind::Float, 1}, {ElementKind::Bool, 2}, {ElementKind::Unsigned, 3}, {ElementKind::Signed, 16}};
  std::vector<unsigned char> ones(64, 0x01);
  for (const auto& u : unsupported) {
    CHECK_FALSE(vr::mask_element_supported(u.first, u.second));
    CHECK_FALSE(vr::scan_mask({ones.data(), 2, 2, 1, 32, 16, 16, u.first, u.second}).any);
  }
  CHECK_FALSE(vr::scan_mask({ones.data(), 2, 2, 0, 2, 1, 1, ElementKind::Unsigned, 1}).any);
}
