#include "pyav.hpp"

#include "process.hpp"

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

// --- Conversion to BGR -------------------------------------------------------
//
// Through VideoReformatters of our own, never through PyAV's per-thread one
// (what `frame.reformat()` and `frame.to_ndarray(format=...)` use, kept in a
// thread-local of PyAV's module). A reformatter owns FFmpeg slice threads; a
// forked child that converts on the thread that forked would reuse the
// parent's and hang waiting for its threads, and CPython frees the
// thread-locals of the parent's other threads as the child starts, which
// hangs in FFmpeg's join of those threads. Ours live in a pool: a conversion
// takes one (or makes one) and gives it back, so there are as many as
// conversions ever ran at once, each used by one thread at a time. In a
// forked child the pool is leaked and started afresh.

namespace {

PyObject* g_idle = nullptr;  // list of idle reformatters, never freed

// Cannot fail: the next conversion makes the pool anew.
void forget_parent_reformatters() {
  process::leak(g_idle);
  g_idle = nullptr;
}

Ref take_reformatter() {
  if (!g_idle) {
    g_idle = check(PyList_New(0)).release();
    process::at_fork_in_child(forget_parent_reformatters);
    process::ensure_fork_hook();
  }
  Py_ssize_t n = PyList_GET_SIZE(g_idle);
  if (n > 0) {
    Ref last = Ref::borrow(PyList_GET_ITEM(g_idle, n - 1));
    check_status(PyList_SetSlice(g_idle, n - 1, n, nullptr));
    return last;
  }
  Ref module = import("av.video.reformatter");
  Ref type = attr(module.get(), "VideoReformatter");
  return call(type.get());
}

}  // namespace

Ref to_bgr(PyObject* frame) {
  static PyObject* const kw_format = keyword("format");
  Ref reformatter = take_reformatter();
  unsigned long generation = process::generation();
  PyObject* argv[] = {reformatter.get(), frame, VR_STR("bgr24")};
  Ref converted = check(PyObject_VectorcallMethod(VR_STR("reformat"), argv,
                                                  2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_format));
  if (generation == process::generation())
    check_status(PyList_Append(g_idle, reformatter.get()));
  else
    process::leak(reformatter.get());
  return call_method(converted.get(), "to_ndarray");
}

}  // namespace vr::pyav
