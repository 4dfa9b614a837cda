#include "pyav.hpp"

namespace vr::pyav {

namespace {

// Tuples of keyword names, made at first use and kept for the life of the
// process.
PyObject* keyword(const char* name) { return check(PyTuple_Pack(1, VR_STR(name))).release(); }
PyObject* keywords(const char* a, const char* b) {
  return check(PyTuple_Pack(2, VR_STR(a), VR_STR(b))).release();
}

}  // namespace

Ref open_path(PyObject* av, PyObject* path) {
  Ref open = attr(av, "open");
  return call(open.get(), path);
}

Ref open_bytes(PyObject* av, PyObject* data) {
  Ref io = module_attr("io");
  Ref bytes_io = attr(io.get(), "BytesIO");
  Ref stream = call(bytes_io.get(), data);
  Ref open = attr(av, "open");
  return call(open.get(), stream.get());
}

Ref video_stream(PyObject* container) {
  Ref streams = attr(container, "streams");
  Ref video = attr(streams.get(), "video");
  Ref zero = integer(0);
  return check(PyObject_GetItem(video.get(), zero.get()));
}

Ref first_video_stream(PyObject* container) {
  Ref stream = video_stream(container);
  set_attr(stream.get(), "thread_type", VR_STR("AUTO"));
  return stream;
}

void seek_to_zero(PyObject* container) {
  Ref zero = integer(0);
  call_method(container, "seek", zero.get());
}

void seek_keyframe(PyObject* container, long long pts, PyObject* stream) {
  static PyObject* const kw_seek = keywords("backward", "stream");
  Ref seek = attr(container, "seek");
  Ref offset = integer(pts);
  call_kw(seek.get(), {offset.get()}, kw_seek, {Py_True, stream});
}

Ref decode_from_start(PyObject* container) {
  static PyObject* const kw_video = keyword("video");
  seek_to_zero(container);
  Ref zero = integer(0);
  Ref decode = attr(container, "decode");
  Ref frames = call_kw(decode.get(), {}, kw_video, {zero.get()});
  return check(PyObject_GetIter(frames.get()));
}

Ref to_bgr(PyObject* frame) {
  static PyObject* const kw_format = keyword("format");
  PyObject* argv[] = {frame, VR_STR("bgr24")};
  return check(PyObject_VectorcallMethod(VR_STR("to_ndarray"), argv,
                                         1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_format));
}

}  // namespace vr::pyav
