// What the readers ask of PyAV, each written once: opening a container over a
// path or over bytes in memory, taking the first video stream (as it is, or set
// up for decoding), seeking, decoding it from the start, and converting a
// frame to a BGR array.
//
// Plain calls on the objects given (the `av` module is imported by the
// caller, at each construction, so that a patched `av` is seen). Owns
// interned keyword tuples and the pool of colour converters (see `to_bgr`).
// Requires the GIL.
#pragma once

#include "py.hpp"

namespace vr::pyav {

// `av.open(path)`.
Ref open_path(PyObject* av, PyObject* path);
// `av.open(io.BytesIO(data))`; the BytesIO keeps `data` alive for the
// container. `io` is the module's attribute at the time of the call.
Ref open_bytes(PyObject* av, PyObject* data);
// `container.streams.video[0]`, as it is.
Ref video_stream(PyObject* container);
// `stream = container.streams.video[0]; stream.thread_type = "AUTO"`: the
// stream set up for decoding.
Ref first_video_stream(PyObject* container);
// `container.seek(0)`.
void seek_to_zero(PyObject* container);
// `container.seek(pts, backward=True, stream=stream)`: to the keyframe at or
// before `pts` of `stream`.
void seek_keyframe(PyObject* container, long long pts, PyObject* stream);
// `container.seek(0)`, then an iterator over `container.decode(video=0)`.
Ref decode_from_start(PyObject* container);
// What `frame.to_ndarray(format="bgr24")` gives, a new array the caller owns,
// converted by a VideoReformatter of the module's pool rather than PyAV's
// per-thread one (which a forked child would reuse, or free, and hang: see
// pyav.cpp). A forked child starts a new pool.
Ref to_bgr(PyObject* frame);

}  // namespace vr::pyav
