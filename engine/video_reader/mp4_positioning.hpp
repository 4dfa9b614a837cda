// Positioning of the lazy MP4 reader: bringing frame `t` into the reader's
// current frame from wherever the decoder stands, through the frame cache,
// decoding on, or a keyframe seek located by the stream's timeline (the rules
// are drawn at the top of mp4_positioning.cpp). Also the steps construction
// and frame access share with it: rewinding to the start, taking one frame,
// converting a frame into the current one, looking up the cache.
//
// All of it runs under the reader's lock, with the GIL; PyAV errors propagate
// unchanged (as PyErrorSet), with the decoder's position marked lost where a
// decode failed.
#pragma once

#include <cstdint>
#include <optional>

#include "mp4_reader_state.hpp"
#include "py.hpp"

namespace vr::mp4 {

enum class Reached { Frame, End };

// After the container has sought: the reader's decoder yields from the new
// position (its pending frames are stale). A decoder of another kind or over
// another container is replaced. Returns the decoder (borrowed from the
// reader's attributes).
PyObject* rewind_decoder(Reader& r, PyObject* container, bool single_threaded = false);

// A frame's timestamp, or nothing when it has none (or none that fits).
std::optional<std::int64_t> frame_pts(PyObject* frame);

// The cached frame `index`, or an empty Ref.
Ref cache_lookup(Reader& r, long long index);

// Rewinds the decoder to the start (seek(0), the decoder before frame 0,
// _current_frame_idx -1, _at_end cleared) and returns it (borrowed). The
// buffered frame is left as it is.
PyObject* rewind_to_start(Reader& r, bool single_threaded = false);
// Rewinds to the start with nothing buffered.
void restart(Reader& r, bool single_threaded = false);

// Converts `frame` to BGR and makes it the current frame `index`, storing it
// in the cache when `store` is set.
void make_current(Reader& r, PyObject* frame, long long index, bool store);

// Takes one frame from the decoder standing at `d` (advancing `d`); empty at
// the end.
Ref advance_one(Reader& r, PyObject* decoder, long long& d);

// Makes frame `target` current (converted, in `_current_frame`). `store`
// fills the cache with every frame passed; `buffered` says whether a frame is
// buffered (without one, a target above 0 is reached by a keyframe seek rather
// than by decoding from the start).
Reached decode_to(Reader& r, long long target, bool store, bool buffered);

// A frame was served without decoding (a cache hit, the return window or the
// current frame again): an earlier run out of frames no longer sends get_next
// back to frame 0, since get_next continues from the frame just served.
void served(Reader& r);

// Releases the return window's frames.
void drop_window(Reader& r);

// Collects the stream's timeline by demuxing a freshly opened `container` from
// its start, and returns the number of frames when the packets make it
// certain (see mp4_positioning.cpp); nothing when only decoding can tell.
std::optional<long long> count_frames_by_demuxing(Reader& r, PyObject* container);

// Whether the reader's decoder runs on its single-threaded context.
bool decoding_single_threaded(Reader& r);

}  // namespace vr::mp4
