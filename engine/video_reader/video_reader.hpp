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
// `iter_video_frames` returns a native generator object that owns its demuxer
// from the first advance until the iteration ends (exhausted, limit reached,
// error, `close()`, `throw()` or destruction while suspended), and closes it
// exactly once. It never keeps a frame it has yielded. Like a Python generator
// it is advanced by one consumer at a time; re-entrant advancing raises
// ValueError.
#pragma once

#include "py.hpp"

namespace vr {

// Registers the class VideoReader.
void register_video_reader_class(PyObject* module);
// Registers iter_video_frames (and readies its generator type).
void register_iter_video_frames(PyObject* module);

}  // namespace vr
