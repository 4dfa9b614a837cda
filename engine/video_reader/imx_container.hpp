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

// Registers is_imx_file, is_imx_v2_file, write_imx_v2_container.
void register_imx_functions(PyObject* module);
// Registers the class ImxContainer.
void register_imx_container(PyObject* module);

}  // namespace vr
