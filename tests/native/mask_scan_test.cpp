// The mask scan against a per-pixel reference over element types, channel
// counts, memory layouts and sizes.

#include <doctest/doctest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/mask_bbox.hpp"

using vr::ElementKind;
using vr::MaskExtent;
using vr::StridedMask;

namespace {

// What one channel value is; the reference decides pixels from these alone.
enum class Value { Zero, Positive, Negative, NaN };

struct Type {
  ElementKind kind;
  std::size_t size;
  const char* name;
};

const Type kTypes[] = {
    {ElementKind::Unsigned, 1, "u8"}, {ElementKind::Unsigned, 2, "u16"}, {ElementKind::Unsigned, 4, "u32"},
    {ElementKind::Unsigned, 8, "u64"}, {ElementKind::Signed, 1, "i8"},   {ElementKind::Signed, 2, "i16"},
    {ElementKind::Signed, 4, "i32"},   {ElementKind::Signed, 8, "i64"},   {ElementKind::Float, 2, "f16"},
    {ElementKind::Float, 4, "f32"},    {ElementKind::Float, 8, "f64"},    {ElementKind::Bool, 1, "bool"},
};

template <typename T>
void put(unsigned char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Stores a value of the given category; positives sit in the element's highest
// byte now and then, so a test of the low byte alone is caught.
void store(unsigned char* p, const Type& t, Value v, bool high) {
  std::memset(p, 0, t.size);
  if (v == Value::Zero) {
    if (t.kind == ElementKind::Float) p[t.size - 1] = 0x80;  // -0.0
    return;
  }
  switch (t.kind) {
    case ElementKind::Bool:
      p[0] = high ? 0xFF : 1;
      break;
    case ElementKind::Unsigned:
      p[high ? t.size - 1 : 0] = 1;
      break;
    case ElementKind::Signed:
      if (v == Value::Negative) std::memset(p, 0xFF, t.size);
      else p[high ? t.size - 1 : 0] = high ? 0x40 : 1;
      break;
    case ElementKind::Float:
      if (t.size == 2) put<std::uint16_t>(p, v == Value::Positive ? (high ? 0x0001 : 0x7C00)  // subnormal, +inf
                                             : v == Value::Negative ? 0x8001 : 0x7E00);
      else if (t.size == 4) put<float>(p, v == Value::Positive ? (high ? 1e-40f : 0.5f)
                                          : v == Value::Negative ? -1.0f : std::numeric_limits<float>::quiet_NaN());
      else put<double>(p, v == Value::Positive ? (high ? 5e-324 : 2.0)
                          : v == Value::Negative ? -1.0 : std::numeric_limits<double>::quiet_NaN());
      break;
  }
}

enum class Layout { Interleaved, PaddedRows, Planar, FlippedRows, FlippedCols };

struct Case {
  std::vector<unsigned char> buffer;
  StridedMask mask;
  MaskExtent expected;
};

Case make_case(const Type& t, std::size_t rows, std::size_t cols, std::size_t ch, Layout layout,
               std::size_t marked, std::mt19937& rng) {
  const auto item = static_cast<std::ptrdiff_t>(t.size);
  const auto c = static_cast<std::ptrdiff_t>(ch);
  const auto w = static_cast<std::ptrdiff_t>(cols);
  const auto h = static_cast<std::ptrdiff_t>(rows);
  std::ptrdiff_t rs = w * c * item + (layout == Layout::Interleaved ? 0 : 3 * item), cs = c * item,
                 chs = item, origin = 0;
  if (layout == Layout::Planar) {
    cs = item;
    rs = w * item + item;
    chs = rs * h;
  }
  if (layout == Layout::FlippedRows) {
    origin = (h - 1) * rs;
    rs = -rs;
  }
  if (layout == Layout::FlippedCols) {
    origin = (w - 1) * cs;
    cs = -cs;
  }
  Case k;
  k.buffer.assign(static_cast<std::size_t>(h * (rs < 0 ? -rs : rs) + (layout == Layout::Planar ? chs * c : 0)) + 64, 0);
  k.mask = {k.buffer.data() + origin, rows, cols, ch, rs, cs, chs, t.kind, t.size};
  auto at = [&](std::size_t y, std::size_t x, std::size_t z) {
    return k.buffer.data() + origin + static_cast<std::ptrdiff_t>(y) * rs + static_cast<std::ptrdiff_t>(x) * cs +
           static_cast<std::ptrdiff_t>(z) * chs;
  };
  const bool has_sign = t.kind == ElementKind::Signed || t.kind == ElementKind::Float;
  for (std::size_t y = 0; y < rows; ++y)
    for (std::size_t x = 0; x < cols; ++x)
      for (std::size_t z = 0; z < ch; ++z) store(at(y, x, z), t, Value::Zero, false);
  // A few marked pixels; some are decoys that must stay zero (negative, or NaN beside a positive).
  for (std::size_t i = 0; i < marked; ++i) {
    const std::size_t y = rng() % rows, x = rng() % cols, z = rng() % ch;
    const unsigned pick = has_sign ? rng() % 4 : 0;
    const Value v = pick == 1 ? Value::Negative : Value::Positive;
    store(at(y, x, z), t, v, rng() % 2);
    if (pick == 2 && t.kind == ElementKind::Float) store(at(y, x, (z + 1) % ch), t, Value::NaN, false);
  }
  // The reference: the largest channel value is greater than 0.
  for (std::size_t y = 0; y < rows; ++y) {
    for (std::size_t x = 0; x < cols; ++x) {
      bool positive = false, nan = false;
      for (std::size_t z = 0; z < ch; ++z) {
        const unsigned char* p = at(y, x, z);
        double v = 0;
        switch (t.kind) {
          case ElementKind::Bool: v = p[0] != 0; break;
          case ElementKind::Unsigned: { std::uint64_t u = 0; std::memcpy(&u, p, t.size); v = u != 0; break; }
          case ElementKind::Signed: { std::int64_t s = static_cast<signed char>(p[t.size - 1]) < 0 ? -1 : 0;
                                      std::memcpy(&s, p, t.size); v = static_cast<double>(s); break; }
          case ElementKind::Float:
            if (t.size == 2) { std::uint16_t b; std::memcpy(&b, p, 2);
                               v = (b & 0x7FFF) > 0x7C00 ? std::nan("") : (b & 0x8000) ? -(b & 0x7FFF) : b; }
            else if (t.size == 4) { float f; std::memcpy(&f, p, 4); v = f; }
            else std::memcpy(&v, p, 8);
            break;
        }
        nan |= v != v;
        positive |= v > 0;
      }
      if (positive && !nan) {
        MaskExtent& e = k.expected;
        if (!e.any) e = {true, x, x, y, y};
        e.x_first = std::min(e.x_first, x);
        e.x_last = std::max(e.x_last, x);
        e.y_first = std::min(e.y_first, y);
        e.y_last = std::max(e.y_last, y);
      }
    }
  }
  return k;
}

}  // namespace

TEST_CASE("the scan finds the reference extent for every type, layout, size and channel count") {
  std::mt19937 rng(2024);
  const std::size_t shapes[][2] = {{1, 1}, {1, 97}, {33, 1}, {9, 16}, {17, 70}, {6, 257}};
  for (const Type& t : kTypes) {
    for (std::size_t ch : {1, 3, 4}) {
      for (Layout layout : {Layout::Interleaved, Layout::PaddedRows, Layout::Planar, Layout::FlippedRows,
                            Layout::FlippedCols}) {
        for (const auto& shape : shapes) {
          for (std::size_t marked : {0, 1, 2, 5, 40}) {
            Case k = make_case(t, shape[0], shape[1], ch, layout, marked, rng);
            const MaskExtent got = vr::scan_mask(k.mask);
            CAPTURE(t.name);
            CAPTURE(ch);
            CAPTURE(static_cast<int>(layout));
            CAPTURE(shape[0]);
            CAPTURE(shape[1]);
            CAPTURE(marked);
            REQUIRE(got.any == k.expected.any);
            if (!got.any) continue;
            CHECK(got.x_first == k.expected.x_first);
            CHECK(got.x_last == k.expected.x_last);
            CHECK(got.y_first == k.expected.y_first);
            CHECK(got.y_last == k.expected.y_last);
          }
        }
      }
    }
  }
}

TEST_CASE("a single pixel is found at every position of a packed byte mask") {
  // Row lengths around the 16- and 64-byte blocks of the byte search.
  for (std::size_t cols : {15, 16, 17, 63, 64, 65, 80, 130}) {
    for (std::size_t x = 0; x < cols; ++x) {
      for (std::size_t y : {0, 2, 4}) {
        std::vector<unsigned char> img(5 * cols, 0);
        img[y * cols + x] = 1;
        const StridedMask m{img.data(), 5, cols, 1, static_cast<std::ptrdiff_t>(cols), 1, 1, ElementKind::Unsigned, 1};
        const MaskExtent e = vr::scan_mask(m);
        CAPTURE(cols);
        CAPTURE(x);
        CAPTURE(y);
        REQUIRE(e.any);
        CHECK(e.x_first == x);
        CHECK(e.x_last == x);
        CHECK(e.y_first == y);
        CHECK(e.y_last == y);
      }
    }
  }
}

TEST_CASE("element kinds and sizes outside the supported set, and no channels, scan as empty") {
  for (const Type& t : kTypes) CHECK(vr::mask_element_supported(t.kind, t.size));
  const std::pair<ElementKind, std::size_t> unsupported[] = {
      {ElementKind::Float, 1}, {ElementKind::Bool, 2}, {ElementKind::Unsigned, 3}, {ElementKind::Signed, 16}, {ElementKind::Float, 16}};
  std::vector<unsigned char> ones(64, 0xFF);
  for (const auto& u : unsupported) {
    CHECK_FALSE(vr::mask_element_supported(u.first, u.second));
    const StridedMask m{ones.data(), 2, 2, 1, 32, 16, 16, u.first, u.second};
    CHECK_FALSE(vr::scan_mask(m).any);
  }
  const StridedMask no_channels{ones.data(), 2, 2, 0, 2, 1, 1, ElementKind::Unsigned, 1};
  CHECK_FALSE(vr::scan_mask(no_channels).any);
}
