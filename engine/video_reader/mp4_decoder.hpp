// The lazy MP4 reader's frame decoder: an iterator over the frames of a
// container's first video stream, in presentation order.
//
// It yields the frames exactly as `container.decode(video=0)` does (packets
// from `container.demux(stream)`, each decoded with `packet.decode()`), but it
// survives seeks: after the container seeks, a rewind drops the frames still
// pending and the same packet generator reads on from the new position. PyAV's
// packet generator frees its read buffer only when it runs to its end, so a
// generator dropped half-way (one per seek with `decode()`) would leak; here
// there is one per run to the end of the stream, plus the one a reader holds
// when it closes.
//
// Two decoding contexts: the stream's own, with the frame threads that the
// reader asks for ("AUTO"), and a second, single-threaded context over the
// same codec parameters. A frame-thread pipeline returns its first frame only
// once it is full, so a short run (the first frame of a new reader, a seek
// followed by a few frames) is quicker without it, and a long run is quicker
// with it; the positioning code chooses per run (see mp4_positioning.cpp).
// The stream's context, and so its thread type, stays as the reader set it.
//
// A decoder owns references to the container, the stream, the packet
// generator, the pending frames and the second context. Not thread-safe: used
// under the reader's lock. Requires the GIL.
#pragma once

#include "py.hpp"

namespace vr::mp4 {

// Readies the decoder's type; called once when the reader's class is registered.
void init_frame_decoder_type();

// A decoder over `container`'s first video stream, reading from wherever the
// container stands.
Ref new_frame_decoder(PyObject* container);

// Whether `object` is a decoder made by `new_frame_decoder(container)`.
bool is_frame_decoder_over(PyObject* object, PyObject* container);

// Positions `decoder` (a frame decoder) after its container has sought;
// `single_threaded` chooses the context without frame threads for the run
// that follows (the stream's own serves when that one cannot be made).
void rewind_frame_decoder(PyObject* decoder, bool single_threaded);

// Whether the current run goes to the single-threaded context.
bool frame_decoder_single_threaded(PyObject* decoder);

}  // namespace vr::mp4
