#include "mp4_decoder.hpp"

#include "pyav.hpp"

namespace vr::mp4 {

namespace {

struct FrameDecoderObject {
  PyObject_HEAD
  PyObject* container;
  PyObject* stream;
  PyObject* packets;   // the packet generator, NULL until needed or after its end
  PyObject* pending;   // frames of the last packet not yet handed out
  Py_ssize_t next;     // index of the next pending frame
  PyObject* solo;      // the context without frame threads, NULL until first needed
  bool use_solo;       // packets go to `solo` (since a keyframe seek) instead of the stream's
  bool solo_failed;    // `solo` could not be made: the stream's context serves every run
  bool flushing;       // the generator reached the end of the file: it only flushes now
  bool exhausted;      // the stream ended: no frame until the next rewind
  bool fed;            // a packet went to a context since the last rewind
};

PyTypeObject FrameDecoderType = {PyVarObject_HEAD_INIT(nullptr, 0)};

void frame_decoder_dealloc(PyObject* self) {
  auto* d = reinterpret_cast<FrameDecoderObject*>(self);
  Py_CLEAR(d->pending);
  Py_CLEAR(d->packets);
  Py_CLEAR(d->solo);
  Py_CLEAR(d->stream);
  Py_CLEAR(d->container);
  Py_TYPE(self)->tp_free(self);
}

PyObject* frame_decoder_next(PyObject* self) {
  auto* d = reinterpret_cast<FrameDecoderObject*>(self);
  for (;;) {
    if (d->pending && d->next < PyList_GET_SIZE(d->pending)) {
      PyObject* frame = PyList_GET_ITEM(d->pending, d->next++);
      Py_INCREF(frame);
      return frame;
    }
    Py_CLEAR(d->pending);
    if (d->exhausted) return nullptr;
    if (!d->packets) {
      PyObject* args[] = {d->container, d->stream};
      d->packets = PyObject_VectorcallMethod(VR_STR("demux"), args,
                                             2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
      if (!d->packets) return nullptr;
    }
    PyObject* packet = PyIter_Next(d->packets);
    if (!packet) {
      if (PyErr_Occurred()) {
        // A generator that raised is finished: the next run (after the
        // reader repositions) demuxes anew instead of meeting a dead end.
        SavedError pending;
        Py_CLEAR(d->packets);
        d->flushing = false;
        pending.restore();
        return nullptr;
      }
      Py_CLEAR(d->packets);  // ran to its end: its buffers are freed
      d->exhausted = true;
      return nullptr;
    }
    PyObject* size = PyObject_GetAttr(packet, VR_STR("size"));
    if (!size) {
      Py_DECREF(packet);
      return nullptr;
    }
    if (PyLong_Check(size) && PyLong_AsLong(size) == 0)
      d->flushing = true;  // the end of the file: the flush packet that drains the codec
    Py_DECREF(size);
    d->fed = true;
    PyObject* frames = d->use_solo
                           ? PyObject_CallMethodOneArg(d->solo, VR_STR("decode"), packet)
                           : PyObject_CallMethodNoArgs(packet, VR_STR("decode"));
    Py_DECREF(packet);
    if (!frames) return nullptr;
    d->pending = PySequence_List(frames);
    Py_DECREF(frames);
    if (!d->pending) return nullptr;
    d->next = 0;
  }
}

// The iterator slot: C++ exceptions (an interned name or a helper that fails
// to allocate) become Python errors here, at the boundary.
PyObject* frame_decoder_next_slot(PyObject* self) {
  PyObject* frame = nullptr;
  translate_exceptions([&] { frame = frame_decoder_next(self); });
  return frame;
}

// A decoding context over the stream's codec parameters, single-threaded:
// slice threads add no latency, but measured after seeks (runs of 1 to 32
// frames) they saved nothing on textured content and cost up to a third on
// light frames. Empty when it cannot be made; the stream's own context then
// serves.
Ref make_solo_context(PyObject* stream) {
  try {
    Ref codec_context = attr(stream, "codec_context");
    Ref codec = attr(codec_context.get(), "codec");
    Ref av = import("av");
    Ref factory = attr(av.get(), "CodecContext");
    Ref solo = call_method(factory.get(), "create", codec.get(), VR_STR("r"));
    set_attr(solo.get(), "thread_type", VR_STR("NONE"));
    // What the container told the stream's context and the bitstream may not
    // repeat: the codec's configuration and how to read its pixels.
    auto copy = [&](PyObject* v, const char* name) {
      bool failed = !v || (v != Py_None && PyObject_SetAttrString(solo.get(), name, v) < 0);
      Py_XDECREF(v);
      if (failed && !clear_ordinary_error()) throw PyErrorSet{};
    };
    for (const char* name : {"extradata", "width", "height", "color_range", "colorspace",
                             "color_primaries", "color_trc", "sample_aspect_ratio", "field_order",
                             "bits_per_coded_sample", "codec_tag"})
      copy(PyObject_GetAttrString(codec_context.get(), name), name);
    // The pixel format through `format` (None while unknown): PyAV 17's
    // `pix_fmt` getter crashes on a context whose pixel format is unknown (a
    // stream with no sample data yet).
    PyObject* format = PyObject_GetAttrString(codec_context.get(), "format");
    PyObject* pix_fmt = format && format != Py_None ? PyObject_GetAttrString(format, "name") : format;
    if (format && format != Py_None) Py_DECREF(format);
    copy(pix_fmt, "pix_fmt");
    return solo;
  } catch (const PyErrorSet&) {
    if (!clear_ordinary_error()) throw;  // an interrupt or MemoryError goes to the caller
    return Ref();
  }
}

// Chooses the context for the run that follows a rewind; false when the
// single-threaded one is wanted but cannot be made.
bool frame_decoder_choose(FrameDecoderObject* d, bool single_threaded) {
  d->use_solo = false;
  if (!single_threaded || d->solo_failed) return !single_threaded;
  if (!d->solo) {
    Ref solo = make_solo_context(d->stream);
    d->solo_failed = !solo;
    d->solo = solo.release();
    if (!d->solo) return false;
  }
  call_method(d->solo, "flush_buffers");
  d->use_solo = true;
  return true;
}

// Positions the decoder after a seek; `single_threaded` chooses the context
// without frame threads for the run that follows. A packet generator that has
// reached the end of the file reads no further: it is run to its end (only
// flush packets are left, nothing is read or decoded) so that it frees its
// buffers, and the next frame starts a new one.
void frame_decoder_rewind(FrameDecoderObject* d, bool single_threaded) {
  frame_decoder_choose(d, single_threaded);
  Py_CLEAR(d->pending);
  d->next = 0;
  d->exhausted = false;
  d->fed = false;
  if (d->packets && d->flushing) {
    d->flushing = false;
    while (PyObject* rest = PyIter_Next(d->packets)) Py_DECREF(rest);
    // A failing generator is finished either way; an interrupt or MemoryError
    // goes on to the caller.
    if (PyErr_Occurred() && !clear_ordinary_error()) {
      SavedError pending;
      Py_CLEAR(d->packets);
      pending.restore();
      throw PyErrorSet{};
    }
    Py_CLEAR(d->packets);
  }
  d->flushing = false;
}

}  // namespace

void init_frame_decoder_type() {
  if (FrameDecoderType.tp_flags & Py_TPFLAGS_READY) return;
  FrameDecoderType.tp_name = "vorantis.engine.video_reader.FrameDecoder";
  FrameDecoderType.tp_basicsize = sizeof(FrameDecoderObject);
  FrameDecoderType.tp_flags = Py_TPFLAGS_DEFAULT;
  FrameDecoderType.tp_doc = "The frames of a container's first video stream, in presentation order.";
  FrameDecoderType.tp_dealloc = frame_decoder_dealloc;
  FrameDecoderType.tp_iter = PyObject_SelfIter;
  FrameDecoderType.tp_iternext = frame_decoder_next_slot;
  check_status(PyType_Ready(&FrameDecoderType));
}

Ref new_frame_decoder(PyObject* container) {
  Ref stream = pyav::video_stream(container);
  auto* d = PyObject_New(FrameDecoderObject, &FrameDecoderType);
  if (!d) throw PyErrorSet{};
  d->container = Ref::borrow(container).release();
  d->stream = stream.release();
  d->packets = nullptr;
  d->pending = nullptr;
  d->solo = nullptr;
  d->use_solo = false;
  d->solo_failed = false;
  d->next = 0;
  d->flushing = false;
  d->exhausted = false;
  d->fed = false;
  return Ref(reinterpret_cast<PyObject*>(d));
}

bool is_frame_decoder_over(PyObject* object, PyObject* container) {
  return Py_TYPE(object) == &FrameDecoderType &&
         reinterpret_cast<FrameDecoderObject*>(object)->container == container;
}

void rewind_frame_decoder(PyObject* decoder, bool single_threaded) {
  frame_decoder_rewind(reinterpret_cast<FrameDecoderObject*>(decoder), single_threaded);
}

bool frame_decoder_single_threaded(PyObject* decoder) {
  return Py_TYPE(decoder) == &FrameDecoderType &&
         reinterpret_cast<FrameDecoderObject*>(decoder)->use_solo;
}

}  // namespace vr::mp4
