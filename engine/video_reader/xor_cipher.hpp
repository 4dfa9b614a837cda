// The cipher functions of ".vrtensor" files over the XOR key stream of
// kernels/xor_cipher.hpp.
//
// This layer converts arguments, opens files with Python's `open`, and releases
// the GIL around large spans, which it splits between two threads when they
// are very long. It owns no state beyond the call.
#pragma once

#include "py.hpp"

namespace vr {

// Registers is_encrypted_file, xor_decrypt_bytes, _write_xor_encrypted,
// read_and_decrypt_file.
void register_xor_functions(PyObject* module);
// Registers _streaming_xor_decrypt_file.
void register_xor_streaming(PyObject* module);

}  // namespace vr
