// The face-mask bounding box: `compute_mask_bbox`.
//
// Reads the masks of an HDF5 file one at a time through h5py, decodes each with
// the sibling module's `decode_jpeg`, and runs the scan of kernels/mask_bbox.hpp
// on the decoded array without the GIL; results the scan does not cover
// (another array type, an element type or shape it does not handle) go through
// NumPy reductions, so their errors are NumPy's own.
#pragma once

#include "py.hpp"

namespace vr {

// Adds the native entry point of compute_mask_bbox to the `_native` table.
void register_mask_bbox(PyObject* native);

}  // namespace vr
