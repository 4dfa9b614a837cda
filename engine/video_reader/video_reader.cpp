#include "video_reader.hpp"

#include "frame_index.hpp"
#include "native.hpp"
#include "process.hpp"
#include "pyav.hpp"

namespace vr {

namespace {

// ---------------------------------------------------------------------------
// Opening a plain or encrypted video
// ---------------------------------------------------------------------------

// The key bytes for an encrypted file: a falsy `key` selects the module's
// current ENCRYPT_KEY, anything else is `key.encode("utf-8")`.
Ref decrypt_key_for(PyObject* key) {
  if (!truthy(key)) return module_attr("ENCRYPT_KEY");
  return call_method(key, "encode", VR_STR("utf-8"));
}

// The container over `video_path`: opened by path, or, when the module's
// `is_encrypted_file` says so, over the bytes of `read_and_decrypt_file`.
Ref open_video(PyObject* av, PyObject* video_path, PyObject* key, bool encrypted) {
  if (!encrypted) return pyav::open_path(av, video_path);
  Ref decrypt_key = decrypt_key_for(key);
  Ref read_and_decrypt = module_attr("read_and_decrypt_file");
  Ref decrypted = call(read_and_decrypt.get(), video_path, decrypt_key.get());
  return pyav::open_bytes(av, decrypted.get());
}

Ref is_encrypted(PyObject* video_path) {
  Ref fn = module_attr("is_encrypted_file");
  return call(fn.get(), video_path);
}

// ---------------------------------------------------------------------------
// VideoReader
// ---------------------------------------------------------------------------

// --- Processes --------------------------------------------------------------
//
// A VideoReader holds every frame as an array, so after a fork the child
// needs none of its PyAV objects: the container is given up without being
// touched (leaked, see process.hpp) and the reader reads on from its frames;
// close() then has nothing to close, and it reports (and pickles) as closed.
//
// Pickled, it travels as its source (path and key) and is decoded again where
// it is unpickled; a closed reader comes back decoded and closed. Shipping the
// decoded frames instead would be faster to load on the same machine but is
// two orders of magnitude more bytes than the file it came from (a raw BGR
// frame against a few kilobytes of H.264), which loses as soon as the bytes
// cross a network.

void detach_reader_after_fork(PyObject* self) {
  PyObject* dict = PyObject_GenericGetDict(self, nullptr);
  if (!dict) throw PyErrorSet{};
  Ref held_dict(dict);
  PyObject* container = PyDict_GetItemWithError(dict, VR_STR("_container"));
  if (!container) {
    if (PyErr_Occurred()) throw PyErrorSet{};
    return;
  }
  if (container == Py_None) return;
  process::leak(container);
  check_status(PyDict_SetItem(dict, VR_STR("_container"), Py_None));
}

// The key each reader was made with, for its pickle, kept beside the
// instance's own attributes (which are exactly the documented ones): a table
// of readers by identity (not by equality: two readers that compare equal
// keep their own keys), made at first use and never freed.
process::WeakIdentityMap* g_keys = nullptr;

void remember_key(PyObject* self, PyObject* key) {
  if (!g_keys) g_keys = new process::WeakIdentityMap();
  g_keys->set(self, key);
}

Ref reader_init(PyObject* const* argv);
Ref reader_close(PyObject* const* argv);

Ref reader_getstate(PyObject* const* argv) {
  PyObject* self = argv[0];
  Ref container = attr(self, "_container");
  Ref path = attr(self, "_path");
  Ref key = g_keys ? g_keys->value(self) : Ref();
  if (!key) key = str("");
  return check(Py_BuildValue("{sOsOsO}", "path", path.get(), "key", key.get(), "closed",
                             container.get() == Py_None ? Py_True : Py_False));
}

Ref reader_setstate(PyObject* const* argv) {
  PyObject* self = argv[0];
  PyObject* state = argv[1];
  PyObject* values[3] = {};
  const char* names[3] = {"path", "key", "closed"};
  for (int i = 0; i < 3; ++i) {
    values[i] = PyDict_Check(state) ? PyDict_GetItemWithError(state, VR_STR(names[i])) : nullptr;
    if (!values[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "VideoReader state has no '%s'", names[i]);
      throw PyErrorSet{};
    }
  }
  Ref zero = integer(0);
  PyObject* init_argv[] = {self, values[0], values[1], zero.get()};
  reader_init(init_argv);
  if (truthy(values[2])) reader_close(init_argv);
  return none();
}

Ref reader_init(PyObject* const* argv) {
  PyObject* self = argv[0];
  PyObject* video_path = argv[1];
  PyObject* key = argv[2];  // argv[3], thread_count, is accepted and ignored

  Ref av = import("av");
  set_attr(self, "_path", video_path);
  remember_key(self, key);
  Ref encrypted = is_encrypted(video_path);
  set_attr(self, "_is_encrypted", encrypted.get());
  Ref container = open_video(av.get(), video_path, key, truthy(encrypted.get()));
  set_attr(self, "_container", container.get());
  process::track(self, detach_reader_after_fork);
  Ref stream = pyav::first_video_stream(container.get());
  Ref codec_context = attr(stream.get(), "codec_context");
  set_attr(self, "_width", attr(codec_context.get(), "width").get());
  set_attr(self, "_height", attr(codec_context.get(), "height").get());

  Ref frames_list = check(PyList_New(0));
  set_attr(self, "_frames", frames_list.get());
  Ref frames = pyav::decode_from_start(container.get());
  while (PyObject* raw = PyIter_Next(frames.get())) {
    Ref frame(raw);
    Ref array = pyav::to_bgr(frame.get());
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
// iter_video_frames: the native frame iterator
// ---------------------------------------------------------------------------

// The surface's generator function delegates to a FrameIterator
// (`yield from`), which does what this body would do:
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
// The iterator is made when the generator's body starts (the first request
// for a frame) and opens the container then. Whichever way the iteration
// leaves the guarded part, the container is closed once: at the end or the
// limit, on an error (an error of `close` then replaces it, chained), by the
// generator's `close()` (Python calls the iterator's `close`, which also
// serves a generator collected while suspended), or, when an exception thrown
// into the generator drops the iterator, by its finaliser (an error of
// `close` is then reported as unraisable). The generator protocol itself
// (send, throw, close, re-entrance, StopIteration) is Python's.
class FrameSource {
 public:
  explicit FrameSource(PyObject* const* argv)
      : video_path_(Ref::borrow(argv[0])), key_(Ref::borrow(argv[1])),
        max_frames_(Ref::borrow(argv[3])) {}

  // In a forked child the parent's container, stream and frame iterator are
  // left as they are (leaked, see process.hpp): the child does not close
  // them, and a resumed iteration opens the source again and skips the
  // frames already yielded.
  ~FrameSource() noexcept(false) {
    if (gil_held()) leave_parent_objects();
  }

  // The unguarded open, then the guarded set-up.
  void open() {
    Ref av = import("av");
    Ref encrypted = is_encrypted(video_path_.get());
    container_ = open_video(av.get(), video_path_.get(), key_.get(), truthy(encrypted.get()));
    generation_ = process::generation();
    process::ensure_fork_hook();
    try {
      stream_ = pyav::first_video_stream(container_.get());
      frames_ = pyav::decode_from_start(container_.get());
      limit_ = native_limit(max_frames_.get());
    } catch (const PyErrorSet&) {
      close_on_error();
    }
  }

  // The next array, or an empty Ref once the loop has ended and the
  // container is closed.
  Ref next() {
    if (!container_) return Ref();
    if (leave_parent_objects()) reopen_and_skip();
    Ref frame;
    Ref array;
    try {
      frame = Ref(PyIter_Next(frames_.get()));
      if (!frame && PyErr_Occurred()) throw PyErrorSet{};
      if (frame && !limit_reached()) array = pyav::to_bgr(frame.get());
    } catch (const PyErrorSet&) {
      frame = Ref();
      close_on_error();
    }
    if (array) {
      ++count_;
      return array;
    }
    frame = Ref();
    close();
    return Ref();
  }

  // Leaves the guarded part without an error: closes the container if it is
  // still open in this process; an error of `close` propagates.
  void close() {
    if (leave_parent_objects() || !container_) return;
    frames_ = Ref();
    stream_ = Ref();
    Ref container = std::move(container_);
    call_method(container.get(), "close");
  }

  int traverse(visitproc visit, void* arg) {
    for (const Ref* r : {&video_path_, &key_, &max_frames_, &container_, &stream_, &frames_})
      Py_VISIT(r->get());
    return 0;
  }

 private:
  // max_frames as a native number when it is an exact int: kNoLimit for a
  // negative limit, else the limit; kCompareInPython otherwise.
  static constexpr long long kNoLimit = -1;
  static constexpr long long kCompareInPython = -2;

  static long long native_limit(PyObject* max_frames) {
    if (!PyLong_CheckExact(max_frames)) return kCompareInPython;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(max_frames, &overflow);
    if (overflow < 0 || (overflow == 0 && v < 0)) return kNoLimit;
    if (overflow > 0) return kCompareInPython;
    return v;
  }

  // Whether `0 <= max_frames <= count`.
  bool limit_reached() {
    if (limit_ == kNoLimit) return false;
    if (limit_ != kCompareInPython) return count_ >= limit_;
    Ref zero = integer(0);
    int non_negative = PyObject_RichCompareBool(zero.get(), max_frames_.get(), Py_LE);
    check_status(non_negative);
    if (!non_negative) return false;
    Ref count = integer(count_);
    int reached = PyObject_RichCompareBool(max_frames_.get(), count.get(), Py_LE);
    check_status(reached);
    return reached != 0;
  }

  // The pending error leaves the guard: the decoder's iterator is dropped and
  // the container closed; an error of `close` replaces the pending one (which
  // becomes its context).
  [[noreturn]] void close_on_error() {
    if (leave_parent_objects()) throw PyErrorSet{};
    frames_ = Ref();
    stream_ = Ref();
    Ref container = std::move(container_);
    if (container) {
      call_during_error([&](PyObject*, PyObject*, PyObject*) {
        return PyObject_CallMethodNoArgs(container.get(), VR_STR("close"));
      });
    }
    throw PyErrorSet{};
  }

  // True when the container was opened in a parent process; it, the stream
  // and the frame iterator are then leaked and dropped.
  bool leave_parent_objects() {
    if (!container_ || generation_ == process::generation()) return false;
    for (Ref* r : {&container_, &stream_, &frames_}) {
      process::leak(r->get());
      *r = Ref();
    }
    return true;
  }

  // The source opened again in this process, past the `count_` frames
  // already yielded (decoded, not converted).
  void reopen_and_skip() {
    Ref av = import("av");
    Ref encrypted = is_encrypted(video_path_.get());
    container_ = open_video(av.get(), video_path_.get(), key_.get(), truthy(encrypted.get()));
    generation_ = process::generation();
    try {
      stream_ = pyav::first_video_stream(container_.get());
      frames_ = pyav::decode_from_start(container_.get());
      for (long long i = 0; i < count_; ++i) {
        Ref frame(PyIter_Next(frames_.get()));
        if (!frame) {
          if (PyErr_Occurred()) throw PyErrorSet{};
          break;
        }
      }
    } catch (const PyErrorSet&) {
      close_on_error();
    }
  }

  // The call's arguments (thread_count is accepted and ignored).
  Ref video_path_, key_, max_frames_;
  unsigned long generation_ = 0;
  // The guarded part's state: container_ is set exactly while it is open.
  Ref container_, stream_, frames_;
  long long count_ = 0;  // frames yielded
  long long limit_ = kCompareInPython;
};

// The Python object: owns its FrameSource until it is cleared or freed.
// `running` refuses a second call while one is inside the source (PyAV
// releases the GIL while it decodes): the generator never makes one, a direct
// user of the private table could.
struct FrameIterator {
  PyObject_HEAD
  FrameSource* source;
  bool running;
};

PyTypeObject FrameIteratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

FrameSource* source_of(PyObject* self) { return reinterpret_cast<FrameIterator*>(self)->source; }

// Runs `fn(source)` under the error translation; false with an error set on failure.
template <typename Fn>
bool with_source(PyObject* self, Fn&& fn) {
  auto* it = reinterpret_cast<FrameIterator*>(self);
  if (it->running) {
    PyErr_SetString(PyExc_ValueError, "frame iterator already running");
    return false;
  }
  if (!it->source) return true;
  it->running = true;
  bool ok = translate_exceptions([&] { fn(*it->source); });
  it->running = false;
  return ok;
}

PyObject* frames_next(PyObject* self) {
  PyObject* result = nullptr;
  with_source(self, [&](FrameSource& s) { result = s.next().release(); });
  return result;
}

// `send` of the generator reaches the iterator for any value but None: the
// value is ignored, as the body above ignores what its yield receives.
PyObject* frames_send(PyObject* self, PyObject*) {
  PyObject* result = frames_next(self);
  if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return result;
}

PyObject* frames_close(PyObject* self, PyObject*) {
  if (!with_source(self, [](FrameSource& s) { s.close(); })) return nullptr;
  Py_RETURN_NONE;
}

// Closes a container still open when the iterator is dropped. Runs from
// deallocation, possibly while an exception propagates: that exception is
// kept, and an error of `close` is reported as unraisable.
void frames_finalize(PyObject* self) {
  SavedError pending;
  if (!with_source(self, [](FrameSource& s) { s.close(); })) PyErr_WriteUnraisable(self);
  pending.restore();
}

// Deletes the source; nothing may leave a deallocator (an error of the
// fork bookkeeping is reported as unraisable).
void drop_source(PyObject* self) {
  FrameSource* source = source_of(self);
  reinterpret_cast<FrameIterator*>(self)->source = nullptr;
  if (!source) return;
  SavedError pending;
  if (!translate_exceptions([&] { delete source; })) PyErr_WriteUnraisable(self);
  pending.restore();
}

int frames_traverse(PyObject* self, visitproc visit, void* arg) {
  FrameSource* source = source_of(self);
  return source ? source->traverse(visit, arg) : 0;
}

int frames_clear(PyObject* self) {
  drop_source(self);
  return 0;
}

void frames_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  drop_source(self);
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef frames_methods[] = {
    {"send", frames_send, METH_O, nullptr},
    {"close", frames_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void init_frame_iterator_type() {
  FrameIteratorType.tp_name = "vorantis.engine.video_reader.FrameIterator";
  FrameIteratorType.tp_basicsize = sizeof(FrameIterator);
  FrameIteratorType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  FrameIteratorType.tp_doc = "The frames of one video, for iter_video_frames.";
  FrameIteratorType.tp_iter = PyObject_SelfIter;
  FrameIteratorType.tp_iternext = frames_next;
  FrameIteratorType.tp_methods = frames_methods;
  FrameIteratorType.tp_traverse = frames_traverse;
  FrameIteratorType.tp_clear = frames_clear;
  FrameIteratorType.tp_finalize = frames_finalize;
  FrameIteratorType.tp_dealloc = frames_dealloc;
  check_status(PyType_Ready(&FrameIteratorType));
}

// `_native.frame_iterator(video_path, key, thread_count, max_frames)`: a new
// iterator with its container open (the source's errors propagate).
Ref py_frame_iterator(PyObject* const* argv) {
  auto* it = PyObject_GC_New(FrameIterator, &FrameIteratorType);
  if (!it) throw PyErrorSet{};
  it->source = nullptr;
  it->running = false;
  Ref result(reinterpret_cast<PyObject*>(it));
  it->source = new FrameSource(argv);
  PyObject_GC_Track(result.get());
  it->source->open();
  return result;
}

PyMethodDef entries[] = {
    VR_ENTRY("video_reader_init", reader_init, 4),
    VR_ENTRY("video_reader_get", reader_get, 2),
    VR_ENTRY("video_reader_size", reader_size, 1),
    VR_ENTRY("video_reader_width", reader_width, 1),
    VR_ENTRY("video_reader_height", reader_height, 1),
    VR_ENTRY("video_reader_close", reader_close, 1),
    VR_ENTRY("video_reader_getstate", reader_getstate, 1),
    VR_ENTRY("video_reader_setstate", reader_setstate, 2),
    VR_ENTRY("frame_iterator", py_frame_iterator, 4),
    VR_ENTRIES_END,
};

}  // namespace

void register_video_reader(PyObject* native) {
  init_frame_iterator_type();
  add_entries(native, entries);
}

}  // namespace vr
