#include "kernels/xor_cipher.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace vr {

namespace {

// Short keys are expanded into a pattern of whole key periods at least this
// long, so that the inner loop runs over long, vectorisable spans.
constexpr std::size_t kPatternMin = 4096;

inline void xor_span(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* key,
                     std::size_t n) noexcept {
  std::size_t i = 0;
  // Eight bytes at a time through memcpy (no alignment or aliasing assumptions);
  // the compiler turns this into vector code.
  for (; i + 32 <= n; i += 32) {
    std::uint64_t a[4], b[4];
    std::memcpy(a, src + i, 32);
    std::memcpy(b, key + i, 32);
    a[0] ^= b[0];
    a[1] ^= b[1];
    a[2] ^= b[2];
    a[3] ^= b[3];
    std::memcpy(dst + i, a, 32);
  }
  for (; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] ^ key[i]);
}

}  // namespace

void xor_stream(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, const std::uint8_t* key,
                std::size_t key_len, std::size_t key_pos) noexcept {
  if (n == 0 || key_len == 0) return;
  key_pos %= key_len;
  const std::uint8_t* pattern = key;
  std::size_t period = key_len;
  std::unique_ptr<std::uint8_t[]> expanded;
  if (key_len < kPatternMin && n > key_len) {
    std::size_t reps = (kPatternMin + key_len - 1) / key_len;
    period = reps * key_len;
    expanded.reset(new (std::nothrow) std::uint8_t[period]);
    if (expanded) {
      for (std::size_t r = 0; r < reps; ++r) std::memcpy(expanded.get() + r * key_len, key, key_len);
      pattern = expanded.get();
    } else {
      period = key_len;
    }
  }
  std::size_t pos = key_pos;  // position inside the pattern
  std::size_t done = 0;
  while (done < n) {
    std::size_t run = std::min(n - done, period - pos);
    xor_span(dst + done, src + done, pattern + pos, run);
    done += run;
    pos = 0;
  }
}

void xor_stream_parallel(std::uint8_t* dst, const std::uint8_t* src, std::size_t n,
                         const std::uint8_t* key, std::size_t key_len, std::size_t key_pos,
                         unsigned threads) {
  if (key_len == 0) return;
  key_pos %= key_len;
  if (threads < 2) {
    xor_stream(dst, src, n, key, key_len, key_pos);
    return;
  }
  const std::size_t half = (n / 2) & ~std::size_t{4095};
  std::thread helper;
  try {
    helper = std::thread([=] {
      xor_stream(dst + half, src + half, n - half, key, key_len, (key_pos + half % key_len) % key_len);
    });
  } catch (const std::system_error&) {
    xor_stream(dst, src, n, key, key_len, key_pos);
    return;
  }
  xor_stream(dst, src, half, key, key_len, key_pos);
  helper.join();
}

std::size_t advise_huge_pages(void* p, std::size_t n) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  auto begin = reinterpret_cast<std::uintptr_t>(p);
  std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  std::uintptr_t last = (begin + n) & ~(kHuge - 1);
  if (last <= first) return 0;
  if (madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE) != 0) return 0;
  return static_cast<std::size_t>(last - first);
#else
  (void)p;
  (void)n;
  return 0;
#endif
}

}  // namespace vr
