#include "video_reader.hpp"

#include <memory>

#include "callable.hpp"
#include "frame_index.hpp"
#include "native_generator.hpp"
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
// iter_video_frames: a native generator
// ---------------------------------------------------------------------------

// The body of iter_video_frames, as the generator function it behaves like:
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
// `container_` is set exactly while the guarded part runs or is suspended;
// whichever way the body leaves it (drained, limit, error, an exception raised
// at a yield) takes the container out first, so it is closed once.
class FrameBody final : public GeneratorBody {
 public:
  explicit FrameBody(PyObject* const* argv)
      : video_path_(Ref::borrow(argv[0])),
        key_(Ref::borrow(argv[1])),
        thread_count_(Ref::borrow(argv[2])),
        max_frames_(Ref::borrow(argv[3])) {}

  // In a forked child the parent's container, stream and frame iterator are
  // left as they are (leaked, see process.hpp): the child does not close
  // them, and a resumed iteration opens the source again and skips the
  // frames already yielded.
  ~FrameBody() noexcept(false) override {
    if (gil_held()) leave_parent_objects();
  }

  Ref start() override {
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
      raise_at_yield();
    }
    return step();
  }

  Ref resume() override {
    ++count_;
    if (leave_parent_objects()) reopen_and_skip();
    return step();
  }

  // The pending exception leaves the guard: the decoder's iterator is dropped
  // and the container closed; an exception of `close` replaces the pending one
  // (which becomes its context).
  [[noreturn]] void raise_at_yield() override {
    if (leave_parent_objects()) throw PyErrorSet{};
    frames_ = Ref();
    Ref container = std::move(container_);
    call_during_error([&](PyObject*, PyObject*, PyObject*) {
      return PyObject_CallMethodNoArgs(container.get(), VR_STR("close"));
    });
    throw PyErrorSet{};
  }

  int traverse(visitproc visit, void* arg) override {
    for (const Ref* r : {&video_path_, &key_, &thread_count_, &max_frames_, &container_, &stream_,
                         &frames_})
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

  // One pass of the loop: the next array, or an empty Ref once the loop has
  // ended and the container is closed.
  Ref step() {
    Ref frame;
    Ref array;
    try {
      frame = Ref(PyIter_Next(frames_.get()));
      if (!frame && PyErr_Occurred()) throw PyErrorSet{};
      if (frame && !limit_reached()) array = pyav::to_bgr(frame.get());
    } catch (const PyErrorSet&) {
      frame = Ref();
      raise_at_yield();
    }
    if (array) return array;
    frame = Ref();
    frames_ = Ref();
    Ref container = std::move(container_);
    call_method(container.get(), "close");
    return Ref();
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
      raise_at_yield();
    }
  }

  // The call's arguments (thread_count is accepted and ignored).
  Ref video_path_, key_, thread_count_, max_frames_;
  unsigned long generation_ = 0;
  // The guarded part's state.
  Ref container_, stream_, frames_;
  long long count_ = 0;
  long long limit_ = kCompareInPython;
};

Ref py_iter_video_frames(PyObject* const* argv) {
  return make_generator(std::make_unique<FrameBody>(argv));
}

}  // namespace

void register_video_reader_class(PyObject* module) {
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
      .method({"__getstate__", nullptr,
               "The reader as pickle sends it: its path, its key and whether it is closed.\n\n"
               "No decoded frame travels: the reader decodes its source again where it is\n"
               "unpickled.",
               "dict", {self_param()}, reader_getstate})
      .method({"__setstate__", nullptr, "Decodes the source a state describes.", "None",
               {self_param(), param("state", "dict")}, reader_setstate})
      .finish(module);
}

void register_iter_video_frames(PyObject* module) {
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
