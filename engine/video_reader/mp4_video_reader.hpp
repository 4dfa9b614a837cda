// The lazy MP4 reader: one open demuxer and decoder per reader, frames produced
// on demand from a position, an optional frame cache, keyframe seeks.
//
// `MP4VideoReader` is a plain class whose state lives in the instance
// dictionary. It drives PyAV objects (container, decode iterator, frames), so
// every operation holds the GIL except inside PyAV's own calls. Frame access
// is serialised by the instance's `threading.Lock`, which is taken by calling
// its `acquire` (waiting releases the GIL); no native mutex.
//
// Its units: this one (construction, sources, frame access, lifecycle,
// registration), mp4_reader_state.hpp (the state shared by the units),
// mp4_positioning (cache, decoder and seeks), mp4_decoder (the frame decoder
// over PyAV's demuxer) and the timeline kernel in kernels/frame_timeline.
#pragma once

#include "py.hpp"

namespace vr {

// Adds the native entry points of MP4VideoReader to the `_native` table.
void register_mp4_video_reader(PyObject* native);

}  // namespace vr
