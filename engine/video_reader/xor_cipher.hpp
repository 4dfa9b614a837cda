// The repeating-key XOR stream of ".vrtensor" files, and the cipher functions.
//
// Kernel: `xor_stream` applies the key stream to a byte span that starts at an
// absolute file position; it is pure C++ (no Python), keeps no state, and is
// safe to call from any thread without the GIL. The Python layer converts
// arguments, opens files with the host's `open`, and releases the GIL around
// large spans.
#pragma once

#include <cstddef>
#include <cstdint>

#include "py.hpp"

namespace vr {

// dst[i] = src[i] ^ key[(key_pos + i) % key_len] for i in [0, n).
// `dst` may equal `src` (in place); otherwise the spans must not overlap.
// Requires key_len >= 1.
void xor_stream(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, const std::uint8_t* key,
                std::size_t key_len, std::size_t key_pos) noexcept;

// Asks the kernel to back the whole 2 MiB pages inside [p, p + n) with huge
// pages (transparent huge pages in "madvise" mode). Returns the number of bytes
// advised (0 when the range holds no whole huge page or the call failed).
std::size_t advise_huge_pages(void* p, std::size_t n) noexcept;

// Registers is_encrypted_file, xor_decrypt_bytes, _write_xor_encrypted,
// read_and_decrypt_file.
void register_xor_functions(PyObject* module);
// Registers _streaming_xor_decrypt_file.
void register_xor_streaming(PyObject* module);

}  // namespace vr
