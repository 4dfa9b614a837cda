// Whole-video decoding: the decode-all reader `VideoReader` and the streaming
// generator `iter_video_frames`.
//
// Both drive PyAV (imported at each construction or first advance) and open a
// plain video by path, or a ".vrtensor" file decrypted whole in memory through
// the module's own `read_and_decrypt_file` and handed to PyAV as a BytesIO.
//
// `VideoReader` owns every decoded frame for its whole life and its demuxer
// until `close`; it hands out copies only. It takes no lock: after construction
// it only reads its frame list.
//
// `iter_video_frames` is a generator function of the surface delegating to a
// native frame iterator, which owns its demuxer from the first advance until
// the iteration ends (exhausted, limit reached, error, `close()`, `throw()` or
// destruction while suspended), and closes it exactly once. It never keeps a
// frame it has yielded.
#pragma once

#include "py.hpp"

namespace vr {

// Adds the native entry points of VideoReader and iter_video_frames (and
// readies the frame iterator's type).
void register_video_reader(PyObject* native);

}  // namespace vr
