#include "video_reader.hpp"

#include "callable.hpp"
#include "frame_index.hpp"

namespace vr {

namespace {

// ---------------------------------------------------------------------------
// Shared steps: opening a plain or encrypted video, converting frames
// ---------------------------------------------------------------------------

// The key bytes for an encrypted file: a falsy `key` selects the module's
// current ENCRYPT_KEY, anything else is `key.encode("utf-8")`.
Ref decrypt_key_for(PyObject* key) {
  if (!truthy(key)) return module_attr("ENCRYPT_KEY");
  return call_method(key, "encode", VR_STR("utf-8"));
}

// `av.open(io.BytesIO(read_and_decrypt_file(path, key)))`; `decrypted` receives
// the decrypted bytes.
Ref open_encrypted(PyObject* av, PyObject* video_path, PyObject* key, Ref& decrypted) {
  Ref decrypt_key = decrypt_key_for(key);
  Ref read_and_decrypt = module_attr("read_and_decrypt_file");
  decrypted = call(read_and_decrypt.get(), video_path, decrypt_key.get());
  Ref io = module_attr("io");
  Ref bytes_io_cls = attr(io.get(), "BytesIO");
  Ref stream = call(bytes_io_cls.get(), decrypted.get());
  Ref open = attr(av, "open");
  return call(open.get(), stream.get());
}

Ref open_plain(PyObject* av, PyObject* video_path) {
  Ref open = attr(av, "open");
  return call(open.get(), video_path);
}

Ref is_encrypted(PyObject* video_path) {
  Ref fn = module_attr("is_encrypted_file");
  return call(fn.get(), video_path);
}

// `stream = container.streams.video[0]; stream.thread_type = "AUTO"`.
Ref first_video_stream(PyObject* container) {
  Ref streams = attr(container, "streams");
  Ref video = attr(streams.get(), "video");
  Ref zero = integer(0);
  Ref stream = check(PyObject_GetItem(video.get(), zero.get()));
  set_attr(stream.get(), "thread_type", VR_STR("AUTO"));
  return stream;
}

// `container.seek(0)` followed by `container.decode(video=0)`: the decoder's
// frame iterator over the first video stream from the start.
Ref rewind_and_decode(PyObject* container) {
  Ref zero = integer(0);
  call_method(container, "seek", zero.get());
  Ref decode = attr(container, "decode");
  Ref kwnames = check(PyTuple_Pack(1, VR_STR("video")));
  Ref frames = call_kw(decode.get(), {}, kwnames.get(), {zero.get()});
  return check(PyObject_GetIter(frames.get()));
}

// The keyword names ("format",) of the conversion call, made once.
PyObject* g_format_kwnames = nullptr;

void init_format_kwnames() {
  if (!g_format_kwnames) g_format_kwnames = check(PyTuple_Pack(1, VR_STR("format"))).release();
}

// `frame.to_ndarray(format="bgr24")`, one vectorcall per frame.
Ref to_bgr(PyObject* frame) {
  PyObject* argv[] = {frame, VR_STR("bgr24")};
  return check(PyObject_VectorcallMethod(VR_STR("to_ndarray"), argv,
                                         1 | PY_VECTORCALL_ARGUMENTS_OFFSET, g_format_kwnames));
}

// ---------------------------------------------------------------------------
// VideoReader
// ---------------------------------------------------------------------------

Ref reader_init(PyObject* const* argv) {
  PyObject* self = argv[0];
  PyObject* video_path = argv[1];
  PyObject* key = argv[2];  // argv[3], thread_count, is accepted and ignored

  Ref av = import("av");
  set_attr(self, "_path", video_path);
  Ref encrypted = is_encrypted(video_path);
  set_attr(self, "_is_encrypted", encrypted.get());
  Ref decrypted;  // kept alive by the BytesIO that the container reads
  Ref container = truthy(encrypted.get()) ? open_encrypted(av.get(), video_path, key, decrypted)
                                          : open_plain(av.get(), video_path);
  set_attr(self, "_container", container.get());
  Ref stream = first_video_stream(container.get());
  Ref codec_context = attr(stream.get(), "codec_context");
  set_attr(self, "_width", attr(codec_context.get(), "width").get());
  set_attr(self, "_height", attr(codec_context.get(), "height").get());

  Ref frames_list = check(PyList_New(0));
  set_attr(self, "_frames", frames_list.get());
  Ref frames = rewind_and_decode(container.get());
  while (PyObject* raw = PyIter_Next(frames.get())) {
    Ref frame(raw);
    Ref array = to_bgr(frame.get());
    check_status(PyList_Append(frames_list.get(), array.get()));
  }
  if (PyErr_Occurred()) throw PyErrorSet{};
  set_attr(self, "_frame_count", integer(PyList_GET_SIZE(frames_list.get())).get());
  return none();
}

Ref reader_get(PyObject* const* argv) {
  PyObject* self = argv[0];
  Ref frame_count = attr(self, "_frame_count");
  Ref index = normalize_frame_index(argv[1], frame_count.get());
  Ref frames = attr(self, "_frames");
  Ref frame = check(PyObject_GetItem(frames.get(), index.get()));
  return call_method(frame.get(), "copy");
}

Ref reader_size(PyObject* const* argv) { return attr(argv[0], "_frame_count"); }
Ref reader_width(PyObject* const* argv) { return attr(argv[0], "_width"); }
Ref reader_height(PyObject* const* argv) { return attr(argv[0], "_height"); }

Ref reader_close(PyObject* const* argv) {
  PyObject* self = argv[0];
  Ref container = attr(self, "_container");
  if (truthy(container.get())) {
    call_method(container.get(), "close");
    set_attr(self, "_container", Py_None);
  }
  return none();
}

// ---------------------------------------------------------------------------
// iter_video_frames: a native generator
// ---------------------------------------------------------------------------
//
// The body it runs, written as the generator it behaves like:
//
//     av = import av; encrypted = is_encrypted_file(video_path)
//     container = av.open(path or BytesIO(decrypted))          # unguarded
//     try:
//         stream = container.streams.video[0]; stream.thread_type = "AUTO"
//         container.seek(0); count = 0
//         for frame in container.decode(video=0):
//             if 0 <= max_frames <= count: break
//             yield frame.to_ndarray(format="bgr24")
//             count += 1
//     finally:
//         container.close()
//
// States: Created (arguments only) -> Started (container open; suspended
// after a yield whenever `executing` is false) -> Finished (everything
// released). `executing` is set while the body runs, so that a re-entrant
// advance is refused as for a Python generator.

enum class GenState { Created, Started, Finished };

struct FrameGenerator {
  PyObject_HEAD
  // The call's arguments.
  PyObject* video_path;
  PyObject* key;
  PyObject* thread_count;
  PyObject* max_frames;
  // The body's state while running.
  PyObject* av;
  PyObject* decrypted;
  PyObject* container;
  PyObject* stream;
  PyObject* frames;  // the decoder's frame iterator
  PyObject* weakrefs;
  long long count;
  // max_frames as a native number when it is an exact int: kLimitNone for a
  // negative limit, else the limit; kLimitGeneric means compare with Python.
  long long limit;
  GenState state;
  bool executing;
};

constexpr long long kLimitNone = -1;
constexpr long long kLimitGeneric = -2;

PyTypeObject FrameGeneratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Drops what the body holds, as its locals going away when it ends.
void release_body(FrameGenerator* g) {
  Py_CLEAR(g->frames);
  Py_CLEAR(g->stream);
  Py_CLEAR(g->container);
  Py_CLEAR(g->decrypted);
  Py_CLEAR(g->av);
}

// An exception leaves the guarded part: the decoder iterator is dropped, the
// container closed, and the body finished. If `close` fails, its exception
// replaces the pending one (which becomes its context). Always throws.
[[noreturn]] void fail_in_guard(FrameGenerator* g) {
  Py_CLEAR(g->frames);
  Ref container(g->container);
  g->container = nullptr;
  call_during_error([&](PyObject*, PyObject*, PyObject*) {
    return PyObject_CallMethodNoArgs(container.get(), VR_STR("close"));
  });
  container = Ref();
  release_body(g);
  g->state = GenState::Finished;
  throw PyErrorSet{};
}

// The loop ended (decoder drained or limit reached): close and finish.
void finish_loop(FrameGenerator* g) {
  Py_CLEAR(g->frames);
  Ref container(g->container);
  g->container = nullptr;
  PyObject* r = PyObject_CallMethodNoArgs(container.get(), VR_STR("close"));
  container = Ref();
  release_body(g);
  g->state = GenState::Finished;
  if (!r) throw PyErrorSet{};
  Py_DECREF(r);
}

// Whether `0 <= max_frames <= count`.
bool limit_reached(FrameGenerator* g) {
  if (g->limit == kLimitNone) return false;
  if (g->limit != kLimitGeneric) return g->count >= g->limit;
  Ref zero = integer(0);
  int non_negative = PyObject_RichCompareBool(zero.get(), g->max_frames, Py_LE);
  check_status(non_negative);
  if (!non_negative) return false;
  Ref count = integer(g->count);
  int reached = PyObject_RichCompareBool(g->max_frames, count.get(), Py_LE);
  check_status(reached);
  return reached != 0;
}

long long native_limit(PyObject* max_frames) {
  if (!PyLong_CheckExact(max_frames)) return kLimitGeneric;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(max_frames, &overflow);
  if (overflow < 0 || (overflow == 0 && v < 0)) return kLimitNone;
  if (overflow > 0) return kLimitGeneric;
  return v;
}

// Steps before the guard: import, decrypt if needed, open.
void start_body(FrameGenerator* g) {
  try {
    Ref av = import("av");
    Ref encrypted = is_encrypted(g->video_path);
    Ref decrypted;
    Ref container = truthy(encrypted.get())
                        ? open_encrypted(av.get(), g->video_path, g->key, decrypted)
                        : open_plain(av.get(), g->video_path);
    g->av = av.release();
    g->decrypted = decrypted.release();
    g->container = container.release();
    g->state = GenState::Started;
  } catch (const PyErrorSet&) {
    release_body(g);
    g->state = GenState::Finished;
    throw;
  }
  try {
    g->stream = first_video_stream(g->container).release();
    g->frames = rewind_and_decode(g->container).release();
    g->count = 0;
    g->limit = native_limit(g->max_frames);
  } catch (const PyErrorSet&) {
    fail_in_guard(g);
  }
}

// The next pass of the loop: returns the next array, or an empty Ref when the
// iteration has finished normally.
Ref next_frame(FrameGenerator* g) {
  Ref frame(PyIter_Next(g->frames));
  if (!frame) {
    if (PyErr_Occurred()) fail_in_guard(g);
    finish_loop(g);
    return Ref();
  }
  Ref array;
  try {
    if (limit_reached(g)) {
      frame = Ref();
      finish_loop(g);
      return Ref();
    }
    array = to_bgr(frame.get());
  } catch (const PyErrorSet&) {
    if (g->state == GenState::Finished) throw;  // raised by finish_loop's close
    frame = Ref();
    fail_in_guard(g);
  }
  return array;
}

// An exception escaping the body as StopIteration becomes RuntimeError, as
// for a Python generator.
void convert_stop_iteration() {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
  PyObject *t2, *v2, *tb2;
  PyErr_Fetch(&t2, &v2, &tb2);
  PyErr_NormalizeException(&t2, &v2, &tb2);
  if (v2 && v) {
    Py_INCREF(v);
    PyException_SetCause(v2, v);  // steals
    PyException_SetContext(v2, v);  // steals
  } else {
    Py_XDECREF(v);
  }
  PyErr_Restore(t2, v2, tb2);
}

// Runs the body from where it stands to its next yield (a new reference), to
// its end (NULL, no error set) or to an exception (NULL, error set). With
// `throwing`, the pending exception is raised where the body stands.
// The caller has checked that the body is neither running nor finished.
PyObject* resume(FrameGenerator* g, bool throwing) {
  g->executing = true;
  PyObject* result = nullptr;
  try {
    if (g->state == GenState::Created) {
      if (throwing) {
        g->state = GenState::Finished;
        throw PyErrorSet{};
      }
      start_body(g);
    } else if (throwing) {
      fail_in_guard(g);
    } else {
      ++g->count;
    }
    result = next_frame(g).release();
  } catch (const PyErrorSet&) {
    result = nullptr;
  }
  g->executing = false;
  if (!result && PyErr_Occurred()) convert_stop_iteration();
  return result;
}

bool refuse_if_executing(FrameGenerator* g) {
  if (!g->executing) return false;
  PyErr_SetString(PyExc_ValueError, "generator already executing");
  return true;
}

PyObject* gen_iternext(PyObject* self) {
  auto* g = reinterpret_cast<FrameGenerator*>(self);
  if (refuse_if_executing(g)) return nullptr;
  if (g->state == GenState::Finished) return nullptr;
  return resume(g, false);
}

PyObject* gen_send(PyObject* self, PyObject* value) {
  auto* g = reinterpret_cast<FrameGenerator*>(self);
  if (g->state == GenState::Created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  if (refuse_if_executing(g)) return nullptr;
  PyObject* r = g->state == GenState::Finished ? nullptr : resume(g, false);
  if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return r;
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  auto* g = reinterpret_cast<FrameGenerator*>(self);
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument, got 0");
    return nullptr;
  }
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return nullptr;
  }
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : nullptr;
  PyObject* tb = nargs > 2 ? args[2] : nullptr;
  if (tb == Py_None) {
    tb = nullptr;
  } else if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  Py_INCREF(typ);
  Py_XINCREF(val);
  Py_XINCREF(tb);
  if (PyExceptionClass_Check(typ)) {
    PyErr_NormalizeException(&typ, &val, &tb);
  } else if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      Py_DECREF(typ);
      Py_DECREF(val);
      Py_XDECREF(tb);
      return nullptr;
    }
    Py_XDECREF(val);
    val = typ;
    typ = reinterpret_cast<PyObject*>(Py_TYPE(val));
    Py_INCREF(typ);
    if (!tb) tb = PyException_GetTraceback(val);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    Py_DECREF(typ);
    Py_XDECREF(val);
    Py_XDECREF(tb);
    return nullptr;
  }
  PyErr_Restore(typ, val, tb);
  if (g->executing) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  if (g->state == GenState::Finished) return nullptr;
  return resume(g, true);
}

PyObject* gen_close(PyObject* self, PyObject*) {
  auto* g = reinterpret_cast<FrameGenerator*>(self);
  if (refuse_if_executing(g)) return nullptr;
  if (g->state == GenState::Created) {
    g->state = GenState::Finished;
    Py_RETURN_NONE;
  }
  if (g->state == GenState::Finished) Py_RETURN_NONE;
  PyErr_SetNone(PyExc_GeneratorExit);
  PyObject* r = resume(g, true);
  if (r) {  // cannot happen: the body never catches
    Py_DECREF(r);
    PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

void gen_finalize(PyObject* self) {
  auto* g = reinterpret_cast<FrameGenerator*>(self);
  if (g->state != GenState::Started) return;
  SavedError pending;
  PyObject* r = gen_close(self, nullptr);
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_WriteUnraisable(self);
  }
  pending.restore();
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* g = reinterpret_cast<FrameGenerator*>(self);
  Py_VISIT(g->video_path);
  Py_VISIT(g->key);
  Py_VISIT(g->thread_count);
  Py_VISIT(g->max_frames);
  Py_VISIT(g->av);
  Py_VISIT(g->decrypted);
  Py_VISIT(g->container);
  Py_VISIT(g->stream);
  Py_VISIT(g->frames);
  return 0;
}

int gen_clear(PyObject* self) {
  auto* g = reinterpret_cast<FrameGenerator*>(self);
  release_body(g);
  Py_CLEAR(g->video_path);
  Py_CLEAR(g->key);
  Py_CLEAR(g->thread_count);
  Py_CLEAR(g->max_frames);
  return 0;
}

void gen_dealloc(PyObject* self) {
  auto* g = reinterpret_cast<FrameGenerator*>(self);
  PyObject_GC_UnTrack(self);
  if (g->weakrefs) PyObject_ClearWeakRefs(self);
  PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  gen_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyObject* gen_self_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(gen_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded "
     "value or raise\nStopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* gen_get_running(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<FrameGenerator*>(self)->executing);
}

PyGetSetDef gen_getset[] = {
    {"gi_running", gen_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Ref py_iter_video_frames(PyObject* const* argv) {
  auto* g = PyObject_GC_New(FrameGenerator, &FrameGeneratorType);
  if (!g) throw PyErrorSet{};
  for (int i = 0; i < 4; ++i) Py_INCREF(argv[i]);
  g->video_path = argv[0];
  g->key = argv[1];
  g->thread_count = argv[2];
  g->max_frames = argv[3];
  g->av = g->decrypted = g->container = g->stream = g->frames = g->weakrefs = nullptr;
  g->count = 0;
  g->limit = kLimitGeneric;
  g->state = GenState::Created;
  g->executing = false;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
  return Ref(reinterpret_cast<PyObject*>(g));
}

void init_generator_type() {
  if (FrameGeneratorType.tp_flags & Py_TPFLAGS_READY) return;
  FrameGeneratorType.tp_name = "vorantis.engine.video_reader.frame_generator";
  FrameGeneratorType.tp_basicsize = sizeof(FrameGenerator);
  FrameGeneratorType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  FrameGeneratorType.tp_doc = "Generator of the BGR frames of one video (see iter_video_frames).";
  FrameGeneratorType.tp_traverse = gen_traverse;
  FrameGeneratorType.tp_clear = gen_clear;
  FrameGeneratorType.tp_dealloc = gen_dealloc;
  FrameGeneratorType.tp_finalize = gen_finalize;
  FrameGeneratorType.tp_iter = gen_self_iter;
  FrameGeneratorType.tp_iternext = gen_iternext;
  FrameGeneratorType.tp_methods = gen_methods;
  FrameGeneratorType.tp_getset = gen_getset;
  FrameGeneratorType.tp_weaklistoffset = offsetof(FrameGenerator, weakrefs);
  check_status(PyType_Ready(&FrameGeneratorType));
}

// Gives the native function a descriptive code object, as compiled extension
// functions commonly do: its flags say "generator" and its parameters are the
// function's, so `inspect.isgeneratorfunction` recognises it. The code's own
// body only raises AssertionError (PyCode_NewEmpty); it is never run by us.
void describe_as_generator_function(PyObject* fn, const char* name,
                                    std::initializer_list<const char*> params) {
  Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<vorantis.engine.video_reader>", name, 1)));
  if (!code) throw PyErrorSet{};
  Ref varnames = check(PyTuple_New(static_cast<Py_ssize_t>(params.size())));
  Py_ssize_t i = 0;
  for (const char* p : params) PyTuple_SET_ITEM(varnames.get(), i++, str(p).release());
  Ref replace = attr(code.get(), "replace");
  Ref n = integer(static_cast<long long>(params.size()));
  Ref flags = integer(CO_OPTIMIZED | CO_NEWLOCALS | CO_GENERATOR);
#if PY_VERSION_HEX >= 0x030B0000
  // Code objects carry a qualified name from 3.11 on.
  Ref kwnames = check(Py_BuildValue("(sssss)", "co_flags", "co_argcount", "co_nlocals",
                                    "co_varnames", "co_qualname"));
  Ref described = call_kw(replace.get(), {}, kwnames.get(),
                          {flags.get(), n.get(), n.get(), varnames.get(), str(name).get()});
#else
  Ref kwnames = check(Py_BuildValue("(ssss)", "co_flags", "co_argcount", "co_nlocals",
                                    "co_varnames"));
  Ref described = call_kw(replace.get(), {}, kwnames.get(),
                          {flags.get(), n.get(), n.get(), varnames.get()});
#endif
  set_attr(fn, "__code__", described.get());
}

}  // namespace

void register_video_reader_class(PyObject* module) {
  init_format_kwnames();
  Ref empty = str("");
  Ref zero = integer(0);
  ClassBuilder("VideoReader",
               "PyAV-based video reader replacing FFmpeg C wrapper.\n\n"
               "All frames are decoded into memory at construction for random access.\n"
               "An encrypted .vrtensor file is decrypted fully into memory and handed to\n"
               "PyAV through an in-memory byte stream.")
      .method({"__init__", nullptr, nullptr, "None",
               {self_param(), param("video_path", "str"), param("key", "str", empty),
                param("thread_count", "int", zero)},
               reader_init})
      .method({"get", nullptr,
               "Get a decoded frame by index (returns a copy).\n\n"
               "A negative index counts from the end.",
               "np.ndarray", {self_param(), param("index", "int")}, reader_get})
      .method({"size", nullptr, "Return total number of decoded frames.", "int", {self_param()},
               reader_size})
      .property({"width", nullptr, nullptr, "int", {self_param()}, reader_width})
      .property({"height", nullptr, nullptr, "int", {self_param()}, reader_height})
      .method({"close", nullptr, nullptr, "None", {self_param()}, reader_close})
      .finish(module);
}

void register_iter_video_frames(PyObject* module) {
  init_format_kwnames();
  init_generator_type();
  add_function(module, {"iter_video_frames", nullptr,
                        "Yield decoded BGR24 frames one at a time from a video file.\n\n"
                        "Handles plain and .vrtensor files like VideoReader, but holds only the\n"
                        "frame being handed out. At most max_frames frames are yielded (a\n"
                        "negative value means all). The demuxer is opened at the first request\n"
                        "for a frame and closed however the iteration ends.",
                        "Iterator[np.ndarray]",
                        {param("video_path", "str"), param("key", "str", str("")),
                         param("thread_count", "int", integer(0)),
                         param("max_frames", "int", integer(-1))},
                        py_iter_video_frames});
  Ref fn = module_attr("iter_video_frames");
  describe_as_generator_function(fn.get(), "iter_video_frames",
                                 {"video_path", "key", "thread_count", "max_frames"});
}

}  // namespace vr
