// The cipher functions of ".vrtensor" files over the XOR key stream of
// kernels/xor_cipher.hpp.
//
// This layer converts arguments, opens files with Python's `open`, and releases
// the GIL around large spans, which it splits between two threads when they
// are very long. It owns no state beyond the call.
#pragma once

#include "py.hpp"

namespace vr {

// Adds the native entry points of the cipher functions to the `_native` table.
void register_xor_cipher(PyObject* native);

}  // namespace vr
