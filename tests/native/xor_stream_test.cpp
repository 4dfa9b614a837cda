// The XOR key stream: positions are absolute file offsets, whatever the split.

#include <doctest/doctest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "kernels/xor_cipher.hpp"

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

}  // namespace

TEST_CASE("spans at any absolute start, whole or in chunks, on one or two threads, take the right key bytes") {
  const auto src = random_bytes(3 * 4096 + 4103, 7);
  // Short keys, keys around the 4 KiB pattern that short keys are expanded to, long keys.
  for (std::size_t key_len : {1, 3, 7, 32, 4095, 4096, 4097, 9000}) {
    const auto key = random_bytes(key_len, static_cast<unsigned>(key_len));
    for (std::size_t start : {std::size_t{0}, std::size_t{1}, key_len - 1, key_len, 3 * key_len + 2, SIZE_MAX}) {
      for (std::size_t n : {std::size_t{0}, std::size_t{1}, key_len + 1, std::size_t{33}, std::size_t{2 * 4096 - 1}, src.size()}) {
        INFO("key_len=", key_len, " start=", start, " n=", n);
        const std::vector<std::uint8_t> part(src.begin(), src.begin() + static_cast<std::ptrdiff_t>(n));
        const auto expected = reference(part, key, start);
        std::vector<std::uint8_t> out(n, 0xAA), in_place = part;
        vr::xor_stream(out.data(), part.data(), n, key.data(), key_len, start);
        CHECK(out == expected);
        vr::xor_stream(in_place.data(), in_place.data(), n, key.data(), key_len, start);
        CHECK(in_place == expected);
        for (unsigned threads : {1u, 2u}) {
          std::fill(out.begin(), out.end(), 0);
          vr::xor_stream_parallel(out.data(), part.data(), n, key.data(), key_len, start, threads);
          CHECK(out == expected);
        }
      }
      for (std::size_t chunk : {1, 5, 4096, 4099}) {
        if (start > SIZE_MAX - src.size()) break;  // chunk positions would wrap around
        INFO("chunk=", chunk);
        std::vector<std::uint8_t> out = src;
        for (std::size_t at = 0; at < out.size(); at += chunk)
          vr::xor_stream(out.data() + at, out.data() + at, std::min(chunk, out.size() - at), key.data(), key_len,
                         start + at);
        CHECK(out == reference(src, key, start));
      }
    }
  }
}

TEST_CASE("an empty key leaves the output untouched") {
  const auto src = random_bytes(100, 1);
  std::vector<std::uint8_t> out(100, 0x5A);
  const std::uint8_t key[1] = {0xFF};
  vr::xor_stream(out.data(), src.data(), out.size(), key, 0, 0);
  vr::xor_stream_parallel(out.data(), src.data(), out.size(), key, 0, 0, 2);
  CHECK(out == std::vector<std::uint8_t>(100, 0x5A));
}

TEST_CASE("huge-page advice covers exactly the whole 2 MiB pages of the range") {
  constexpr std::size_t kHuge = std::size_t{1} << 21;
  auto* base = static_cast<std::uint8_t*>(std::aligned_alloc(kHuge, 4 * kHuge));
  REQUIRE(base != nullptr);
  CHECK(vr::advise_huge_pages(base + 1, kHuge) == 0);  // no whole page inside
  const std::size_t advised = vr::advise_huge_pages(base + kHuge / 2, 3 * kHuge);
  CHECK((advised == 0 || advised == 2 * kHuge));  // 0 where the system refuses the advice
  CHECK(vr::advise_huge_pages(base, 4 * kHuge) == 2 * advised);
  std::free(base);
}
