// The repeating-key XOR stream of ".vrtensor" files.
//
// Byte k of a file is stored as plain[k] ^ key[k % key_len], k counted from the
// start of the file, so any span can be processed on its own given its absolute
// position. These functions keep no state, need no interpreter and are safe to
// call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vr {

// dst[i] = src[i] ^ key[(key_pos + i) % key_len] for i in [0, n).
// `dst` may equal `src` (in place); otherwise the spans must not overlap.
// Does nothing when key_len is 0.
void xor_stream(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, const std::uint8_t* key,
                std::size_t key_len, std::size_t key_pos) noexcept;

// The same result as `xor_stream`, computed on `threads` threads (1 or 2) for
// long spans: the span is cut at a 4 KiB multiple near its middle and the
// second part runs on a helper thread with its own key position. Falls back to
// one thread when no thread can be started.
void xor_stream_parallel(std::uint8_t* dst, const std::uint8_t* src, std::size_t n,
                         const std::uint8_t* key, std::size_t key_len, std::size_t key_pos,
                         unsigned threads);

// Asks the kernel to back the whole 2 MiB pages inside [p, p + n) with huge
// pages (transparent huge pages in "madvise" mode). Returns the number of bytes
// advised (0 when the range holds no whole huge page or the call failed).
std::size_t advise_huge_pages(void* p, std::size_t n) noexcept;

}  // namespace vr
