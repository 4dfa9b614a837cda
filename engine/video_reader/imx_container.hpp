// The IMX container as Python sees it: the `ImxContainer` reader, the two
// detection functions and the v2 writer, over the layout and table scanner of
// kernels/imx_container.hpp.
//
// `ImxContainer` reads the table once, then every read opens the file anew; it
// owns no file and no lock. Names are decoded with Python's strict UTF-8
// decoder, so a bad name raises Python's own UnicodeDecodeError. The writer
// writes through a temporary file beside the target and renames it into place
// only when every byte is written.
#pragma once

#include "py.hpp"

namespace vr {

// Adds the native entry points of the detection functions, the writer and
// ImxContainer to the `_native` table.
void register_imx_container(PyObject* native);

}  // namespace vr
