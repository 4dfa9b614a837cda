#include "pyav.hpp"

namespace vr::pyav {

namespace {

// A tuple of keyword names, made at first use and kept for the life of the
// process.
PyObject* keyword(const char* name) { return check(PyTuple_Pack(1, VR_STR(name))).release(); }

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

Ref decode_from_start(PyObject* container) {
  static PyObject* const kw_video = keyword("video");
  Ref zero = integer(0);
  call_method(container, "seek", zero.get());
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
