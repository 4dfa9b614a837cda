// The XOR key stream: positions are absolute file offsets, whatever the split.

#include <doctest/doctest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "kernels/xor_cipher.hpp"

using vr::xor_stream;
using vr::xor_stream_parallel;

namespace {

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

// Byte i of the span is at file position `start + i`.
std::vector<std::uint8_t> reference(const std::vector<std::uint8_t>& src, const std::vector<std::uint8_t>& key,
                                    std::size_t start) {
  std::vector<std::uint8_t> out(src.size());
  for (std::size_t i = 0; i < src.size(); ++i) out[i] = src[i] ^ key[(start % key.size() + i) % key.size()];
  return out;
}

// Short keys, keys around the pattern length the kernel expands short keys to, long keys.
const std::size_t kKeyLens[] = {1, 3, 7, 32, 4095, 4096, 4097, 9000};

}  // namespace

TEST_CASE("every span length and absolute start maps to the right key bytes") {
  for (std::size_t key_len : kKeyLens) {
    const auto key = random_bytes(key_len, static_cast<unsigned>(key_len));
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, key_len - 1 + (key_len == 1), key_len + 1,
                          std::size_t{31}, std::size_t{33}, std::size_t{10007}}) {
      for (std::size_t start : {std::size_t{0}, std::size_t{1}, key_len - 1, key_len, 3 * key_len + 2,
                                std::size_t{123456789}, SIZE_MAX}) {
        CAPTURE(key_len);
        CAPTURE(n);
        CAPTURE(start);
        const auto src = random_bytes(n, 7);
        const auto expected = reference(src, key, start);
        std::vector<std::uint8_t> out(n, 0xAA);
        xor_stream(out.data(), src.data(), n, key.data(), key_len, start);
        CHECK(out == expected);
        std::vector<std::uint8_t> in_place = src;
        xor_stream(in_place.data(), in_place.data(), n, key.data(), key_len, start);
        CHECK(in_place == expected);
      }
    }
  }
}

TEST_CASE("a file processed in chunks at their own offsets equals one pass") {
  const auto src = random_bytes(20000, 3);
  for (std::size_t key_len : kKeyLens) {
    const auto key = random_bytes(key_len, 11);
    const auto expected = reference(src, key, 0);
    for (std::size_t chunk : {1, 5, 64, 4096, 4099, 7777}) {
      CAPTURE(key_len);
      CAPTURE(chunk);
      std::vector<std::uint8_t> out = src;
      for (std::size_t at = 0; at < out.size(); at += chunk)
        xor_stream(out.data() + at, out.data() + at, std::min(chunk, out.size() - at), key.data(), key_len, at);
      CHECK(out == expected);
    }
  }
}

TEST_CASE("the two-thread split keeps each half at its own key position") {
  for (std::size_t key_len : {std::size_t{3}, std::size_t{4096}, std::size_t{5000}}) {
    const auto key = random_bytes(key_len, 5);
    for (std::size_t n : {0, 100, 8191, 8192, 8193, 3 * 4096 + 17, 100003}) {
      for (std::size_t start : {std::size_t{0}, std::size_t{7}, SIZE_MAX - 1}) {
        for (unsigned threads : {1u, 2u}) {
          CAPTURE(key_len);
          CAPTURE(n);
          CAPTURE(start);
          CAPTURE(threads);
          const auto src = random_bytes(n, 9);
          std::vector<std::uint8_t> out(n);
          xor_stream_parallel(out.data(), src.data(), n, key.data(), key_len, start, threads);
          CHECK(out == reference(src, key, start));
        }
      }
    }
  }
}

TEST_CASE("an empty key leaves the output untouched") {
  const auto src = random_bytes(100, 1);
  std::vector<std::uint8_t> out(100, 0x5A);
  const std::uint8_t key[1] = {0xFF};
  xor_stream(out.data(), src.data(), out.size(), key, 0, 0);
  xor_stream_parallel(out.data(), src.data(), out.size(), key, 0, 0, 2);
  CHECK(out == std::vector<std::uint8_t>(100, 0x5A));
}

TEST_CASE("huge-page advice covers exactly the whole 2 MiB pages of the range") {
  constexpr std::size_t kHuge = std::size_t{1} << 21;
  void* block = std::aligned_alloc(kHuge, 4 * kHuge);
  REQUIRE(block != nullptr);
  auto* base = static_cast<std::uint8_t*>(block);
  CHECK(vr::advise_huge_pages(base + 1, kHuge) == 0);  // no whole page inside
  const std::size_t advised = vr::advise_huge_pages(base + kHuge / 2, 3 * kHuge);
  CHECK((advised == 0 || advised == 2 * kHuge));  // 0 where the system refuses the advice
  CHECK(vr::advise_huge_pages(base, 4 * kHuge) == advised * 2);
  std::free(block);
}
