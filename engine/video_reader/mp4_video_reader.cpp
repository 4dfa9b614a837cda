#include "mp4_video_reader.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "frame_index.hpp"
#include "kernels/frame_timeline.hpp"
#include "mp4_decoder.hpp"
#include "mp4_positioning.hpp"
#include "mp4_reader_state.hpp"
#include "native.hpp"
#include "process.hpp"
#include "pyav.hpp"

namespace vr {

namespace {

using namespace mp4;

// --- Construction -----------------------------------------------------------

// The native state lives in a capsule among the instance's attributes; the
// capsule's destructor frees it.
void destroy_native_state(PyObject* capsule) {
  delete static_cast<NativeState*>(PyCapsule_GetPointer(capsule, kNativeStateName));
}

Ref new_native_state() {
  auto* state = new NativeState();
  PyObject* capsule = PyCapsule_New(state, kNativeStateName, destroy_native_state);
  if (!capsule) {
    delete state;
    throw PyErrorSet{};
  }
  return Ref(capsule);
}

bool greater_than_zero(PyObject* v) {
  Ref zero = integer(0);
  int r = PyObject_RichCompareBool(v, zero.get(), Py_GT);
  check_status(r);
  return r != 0;
}

// Every state attribute, so that close and destruction find them all even
// when construction fails half-way.
void set_initial_state(Reader& r) {
  for (const char* name : {"_mp4_bytes", "_container", "_decoder", "_current_frame", "_decoder_idx"})
    r.set_none(name);
  r.set_ll("_width", 0);
  r.set_ll("_height", 0);
  r.set_ll("_frame_count", 0);
  r.set_ll("_current_frame_idx", -1);
  r.set_flag("_at_end", false);
  r.set_flag("_cache_frames", false);
  r.set("_frame_cache", check(PyDict_New()));
  r.set("_native_state", new_native_state());
}

void detach_after_fork(PyObject* self);

Ref new_lock() {
  Ref threading = module_attr("threading");
  Ref lock_type = attr(threading.get(), "Lock");
  return call(lock_type.get());
}

// Counts the frames of `container` by decoding every one, from the start; their
// timestamps give the timeline for free.
long long count_frames_by_decoding(Reader& r, PyObject* container) {
  FrameTimeline& tl = r.native().timeline;
  tl.reset();
  pyav::seek_to_zero(container);
  Ref decoder = Ref::borrow(rewind_decoder(r, container));
  long long counted = 0;
  while (PyObject* raw = PyIter_Next(decoder.get())) {
    Ref frame(raw);
    ++counted;
    auto pts = frame_pts(frame.get());
    if (pts)
      tl.add(*pts, truthy(attr(frame.get(), "key_frame").get()));
    else
      tl.add_untimed();
  }
  if (PyErr_Occurred()) {
    tl.reset();
    throw PyErrorSet{};
  }
  tl.finish();
  return counted;
}

// Steps shared by the constructor and from_bytes once the container is open:
// the stream, the frame size, the frame count, the decoder at frame 0.
//
// A count is taken from the demuxer when its packets make it certain (one
// frame per packet), which reads the file once without decoding; otherwise
// every frame is decoded. A container that has not moved since it was opened
// stands at its start already: the decoder starts there without a seek, on
// the single-threaded context, so that frame 0 does not wait for frame
// threads to start and fill (the first run that turns out long switches).
void start_reading(Reader& r, PyObject* container, PyObject* frame_count) {
  r.set("_container", container);
  Ref stream = pyav::first_video_stream(container);
  Ref codec = attr(stream.get(), "codec_context");
  r.set("_width", attr(codec.get(), "width"));
  r.set("_height", attr(codec.get(), "height"));

  bool moved = false;
  if (greater_than_zero(frame_count)) {
    r.set("_frame_count", frame_count);
  } else {
    moved = true;
    std::optional<long long> counted = count_frames_by_demuxing(r, container);
    if (!counted) counted = count_frames_by_decoding(r, container);
    r.set_ll("_frame_count", *counted);
  }

  if (moved) pyav::seek_to_zero(container);
  rewind_decoder(r, container, true);
  r.set_ll("_current_frame_idx", -1);
  r.set_none("_current_frame");
  r.set_flag("_at_end", false);
  r.set_decoder_pos(-1);
}

Ref py_init(PyObject* const* argv) {
  PyObject* self = argv[0];
  PyObject* path = argv[1];
  // argv[2] key, argv[3] thread_count: accepted for call compatibility, ignored.
  PyObject* base_offset = argv[4];
  PyObject* file_size = argv[5];
  PyObject* frame_count = argv[6];
  PyObject* cache_frames = argv[7];

  Reader r(self);
  PyObject* open_container = r.find("_container");
  if (open_container && open_container != Py_None)
    raise(PyExc_RuntimeError, "MP4VideoReader.__init__ called on an open reader; close() it first");
  Ref av = import("av");
  r.set("_path", path);
  r.set("_lock", new_lock());
  r.set("_base_offset", base_offset);
  set_initial_state(r);
  process::track(self, detach_after_fork);

  Ref container;
  bool has_offset = greater_than_zero(base_offset);
  bool has_size = greater_than_zero(file_size);
  if (has_offset || has_size) {
    Ref data;
    Ref f = call(builtin_open().get(), path, VR_STR("rb"));
    with_context(f.get(), [&](PyObject* fh) {
      call_method(fh, "seek", base_offset);
      data = has_size ? call_method(fh, "read", file_size) : call_method(fh, "read");
    });
    container = pyav::open_bytes(av.get(), data.get());
    r.set("_mp4_bytes", data);
  } else {
    container = pyav::open_path(av.get(), path);
  }
  start_reading(r, container.get(), frame_count);

  bool cache = truthy(cache_frames);
  if (cache) {
    long long w = r.get_ll("_width");
    long long h = r.get_ll("_height");
    Ref frame_bytes = integer(w * h * 3);
    Ref total = check(PyNumber_Multiply(frame_bytes.get(), r.get("_frame_count").get()));
    Ref budget = integer(kMaxCacheBytes);
    int fits = PyObject_RichCompareBool(total.get(), budget.get(), Py_LE);
    check_status(fits);
    cache = fits != 0;
  }
  r.set_flag("_cache_frames", cache);
  r.set("_frame_cache", check(PyDict_New()));
  return none();
}

// The reader's own immutable copy of the bytes it was given: the object itself
// when it is exactly bytes, else a copy of its buffer. A bytearray, memoryview
// or array that the caller changes later would otherwise be reopened (after a
// fork) and pickled with bytes that its frame count and timeline do not
// describe, and a memoryview cannot be pickled at all. The error for an object
// without a contiguous buffer is the buffer protocol's TypeError.
Ref own_bytes(PyObject* data) {
  if (PyBytes_CheckExact(data)) return Ref::borrow(data);
  Buffer source(data);
  Ref copy = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(source.size())));
  char* to = PyBytes_AS_STRING(copy.get());
  constexpr std::size_t kCopyWithGil = 1 << 20;
  if (source.size() < kCopyWithGil) {
    std::memcpy(to, source.data(), source.size());
  } else {
    GilRelease unlocked;
    std::memcpy(to, source.data(), source.size());
  }
  return copy;
}

// from_bytes' body on an instance that its class made without constructing it.
void init_from_bytes(PyObject* self, PyObject* given_data, PyObject* frame_count) {
  Ref av = import("av");
  Ref owned = own_bytes(given_data);
  PyObject* mp4_data = owned.get();
  Reader r(self);
  r.set("_path", VR_STR("<memory>"));
  r.set("_lock", new_lock());
  r.set_ll("_base_offset", 0);
  set_initial_state(r);
  r.native().from_bytes = true;
  process::track(self, detach_after_fork);
  r.set("_mp4_bytes", mp4_data);
  Ref container = pyav::open_bytes(av.get(), mp4_data);
  start_reading(r, container.get(), frame_count);
  r.set_flag("_cache_frames", false);
  r.set("_frame_cache", check(PyDict_New()));
}

Ref py_from_bytes(PyObject* const* argv) {
  PyObject* cls = argv[0];
  Ref instance = call_method(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__new__", cls);
  init_from_bytes(instance.get(), argv[1], argv[2]);
  return instance;
}

// --- Processes: fork and pickling -----------------------------------------
//
// The reader is its source (a path; a path, an offset and a size; or bytes)
// plus where it stands (_current_frame_idx, _at_end). The container and the
// decoder are a cache of the source, bound to the process that opened them.
//
// In a forked child (process.hpp) the reader gives the parent's container and
// decoder up without touching them (they are leaked), takes a fresh lock (a
// thread of the parent may have held the old one at the fork) and opens its
// source again at the next frame access, under that lock, from the bytes it
// holds or from its path. Its current frame and frame cache are plain arrays
// and stay; the decoder starts before frame 0, which the positioning rules
// handle like any other decoder position.
//
// Pickled, the reader travels as that description: a path reader or a section
// of a file as the path with the offset and size (the file must be readable
// where it is unpickled), a reader made by from_bytes with its bytes. The
// frame count travels too, so that nothing is counted again, and the cache
// choice, but no decoded frame: reopening costs one open and, at the next
// access, decoding from a keyframe, while a frame cache is tens of megabytes
// per second of video. The unpickled reader stands where the original stood:
// get_next continues from the same index. A closed reader pickles to a closed
// reader (same path, size and frame count; frame access raises ValueError).

void detach_after_fork(PyObject* self) {
  Reader r(self);
  // First what cannot fail half-way (a new reference, values replaced under
  // keys the dictionary holds): the parent's objects leave the reader.
  PyObject* container = r.find("_container");
  bool open = container && container != Py_None;
  if (r.find("_native_state")) {
    NativeState& ns = r.native();
    // Decoded frames of the parent's decoder are given up like the decoder.
    if (ns.window) {
      ns.window.release();  // a reference never dropped
      ns.window_first = -1;
      ns.window_bytes = 0;
      ns.window_sizes.clear();
    }
    // A thread of the parent that was inside the decoder does not exist here.
    ns.user_thread = 0;
    ns.use_depth = 0;
    if (open) ns.reopen_on_use = true;
  }
  for (const char* name : {"_container", "_decoder"}) {
    if (PyObject* held = r.find(name)) {
      process::leak(held);
      r.set_none(name);
    }
  }
  if (r.find("_decoder_idx")) r.set_none("_decoder_idx");
  // Then a fresh lock. Should making one fail, the old one is released if a
  // thread of the parent held it (a threading.Lock may be released by any
  // thread): nobody here can be inside a frame access.
  PyObject* old_lock = r.find("_lock");
  if (!old_lock) return;
  Ref held_lock = Ref::borrow(old_lock);
  try {
    r.set("_lock", new_lock());
  } catch (const PyErrorSet&) {
    PyErr_WriteUnraisable(self);
    Ref locked = call_method(held_lock.get(), "locked");
    if (truthy(locked.get())) call_method(held_lock.get(), "release");
  }
}

// Opens the source again after a fork, the decoder before frame 0. Only by
// the thread that has claimed the decoder (hence the parameter): a second
// thread is refused by its claim before it opens anything, so two threads
// never both reopen and leave one decoder over a container that was dropped.
void reopen_if_detached(Reader& r, const DecoderInUse& /*claimed*/) {
  if (!r.find("_native_state") || !r.native().reopen_on_use) return;
  Ref av = import("av");
  Ref data = r.get("_mp4_bytes");
  Ref container = data.get() != Py_None ? pyav::open_bytes(av.get(), data.get())
                                        : pyav::open_path(av.get(), r.get("_path").get());
  pyav::first_video_stream(container.get());
  r.set("_container", container);
  rewind_decoder(r, container.get());
  r.set_decoder_pos(-1);
  r.native().reopen_on_use = false;
}

void put(PyObject* dict, const char* key, PyObject* value) {
  check_status(PyDict_SetItem(dict, VR_STR(key), value));
}

Ref py_getstate(PyObject* const* argv) {
  Reader r(argv[0]);
  std::optional<LockGuard> guard;
  if (PyObject* lock = r.find("_lock")) guard.emplace(Ref::borrow(lock));
  Ref state = check(PyDict_New());
  PyObject* container = r.find("_container");
  bool from_bytes = false, detached = false;
  if (r.find("_native_state")) {
    from_bytes = r.native().from_bytes;
    detached = r.native().reopen_on_use;
  }
  bool open = (container && container != Py_None) || detached;
  put(state.get(), "path", r.get("_path").get());
  static constexpr std::pair<const char*, const char*> kCopied[] = {
      {"frame_count", "_frame_count"}, {"width", "_width"}, {"height", "_height"},
      {"cache_frames", "_cache_frames"}, {"current_frame_idx", "_current_frame_idx"},
      {"at_end", "_at_end"}};
  for (const auto& [key, attribute] : kCopied) put(state.get(), key, r.get(attribute).get());
  put(state.get(), "closed", open ? Py_False : Py_True);
  if (!open) return state;
  Ref data = r.get("_mp4_bytes");
  if (from_bytes) {
    put(state.get(), "mp4_data", data.get());
  } else if (data.get() != Py_None) {
    put(state.get(), "base_offset", r.get("_base_offset").get());
    put(state.get(), "file_size", integer(PyObject_Length(data.get())).get());
  }
  return state;
}

Ref state_item(PyObject* state, const char* key) {
  PyObject* v = PyDict_Check(state) ? PyDict_GetItemWithError(state, VR_STR(key)) : nullptr;
  if (!v) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_ValueError, "MP4VideoReader state has no '%s'", key);
    throw PyErrorSet{};
  }
  return Ref::borrow(v);
}

Ref py_setstate(PyObject* const* argv) {
  PyObject* self = argv[0];
  PyObject* state = argv[1];
  Ref path = state_item(state, "path");
  Ref frame_count = state_item(state, "frame_count");
  if (truthy(state_item(state, "closed").get())) {
    Reader r(self);
    r.set("_path", path);
    r.set("_lock", new_lock());
    r.set_ll("_base_offset", 0);
    set_initial_state(r);
    r.set("_frame_count", frame_count);
    r.set("_width", state_item(state, "width"));
    r.set("_height", state_item(state, "height"));
    return none();
  }
  PyObject* data = PyDict_GetItemWithError(state, VR_STR("mp4_data"));
  if (!data && PyErr_Occurred()) throw PyErrorSet{};
  if (data) {
    init_from_bytes(self, data, frame_count.get());
  } else {
    PyObject* offset = PyDict_GetItemWithError(state, VR_STR("base_offset"));
    if (!offset && PyErr_Occurred()) throw PyErrorSet{};
    Ref zero = integer(0);
    Ref base_offset = offset ? Ref::borrow(offset) : zero;
    Ref file_size = offset ? state_item(state, "file_size") : zero;
    Ref cache = state_item(state, "cache_frames");
    PyObject* init_argv[] = {self,           path.get(),      VR_STR(""),      zero.get(),
                             base_offset.get(), file_size.get(), frame_count.get(), cache.get()};
    py_init(init_argv);
  }
  Reader r(self);
  r.set("_current_frame_idx", state_item(state, "current_frame_idx"));
  r.set("_at_end", state_item(state, "at_end"));
  return none();
}

// --- Frame access -----------------------------------------------------------

Ref copy_frame(PyObject* frame) { return call_method(frame, "copy"); }

Ref py_advance_to_frame(PyObject* const* argv) {
  Reader r(argv[0]);
  Ref index = check(PyNumber_Index(argv[1]));
  int overflow = 0;
  long long target = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (target == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (overflow || target < 0) raise_frame_index_error(index.get(), r.get("_frame_count").get());
  DecoderInUse in_use(r);
  reopen_if_detached(r, in_use);
  r.container();

  bool cache = r.get_flag("_cache_frames");
  PyObject* current = r.find("_current_frame");
  bool buffered = current && current != Py_None;
  if (decode_to(r, target, cache, buffered) == Reached::End) {
    r.set_flag("_at_end", true);
    raise_frame_index_error(index.get(), r.get("_frame_count").get());
  }
  return r.get("_current_frame");
}

Ref py_get(PyObject* const* argv) {
  PyObject* self = argv[0];
  Reader r(self);
  Ref frame_count = r.get("_frame_count");
  Ref integer_index = check(PyNumber_Index(argv[1]));
  Ref index = normalize_frame_index(integer_index.get(), frame_count.get());

  LockGuard guard(r.get("_lock"));
  DecoderInUse in_use(r);
  reopen_if_detached(r, in_use);
  r.container();
  {
    // Owned while copied (the copy may release the GIL), and dropped before
    // the reader moves on: holding the frame being replaced would keep one
    // more frame-sized block alive across the next frame's allocations, which
    // makes the allocator hand out fresh pages (page faults) on every call.
    Ref current = Ref::borrow(r.find("_current_frame"));
    if (current && current.get() != Py_None) {
      int same = PyObject_RichCompareBool(index.get(), r.get("_current_frame_idx").get(), Py_EQ);
      check_status(same);
      if (same) {
        Ref copy = copy_frame(current.get());
        served(r);
        return copy;
      }
    }
  }
  Ref frame = call_method(self, "_advance_to_frame", index.get());
  return copy_frame(frame.get());
}

Ref pair(long long index, PyObject* frame) {
  Ref i = integer(index);
  Ref copy = copy_frame(frame);
  return check(PyTuple_Pack(2, i.get(), copy.get()));
}

Ref py_get_next(PyObject* const* argv) {
  Reader r(argv[0]);
  LockGuard guard(r.get("_lock"));
  DecoderInUse in_use(r);
  reopen_if_detached(r, in_use);
  r.container();
  if (r.get_flag("_at_end")) rewind_to_start(r);
  long long current = r.get_ll("_current_frame_idx");
  long long want = current + 1;
  std::optional<long long> d = r.decoder_pos();
  bool ended;
  if (d && *d == current && !decoding_single_threaded(r)) {
    drop_window(r);
    Ref decoder = r.get("_decoder");
    long long pos = *d;
    Ref f = advance_one(r, decoder.get(), pos);
    ended = !f;
    if (f) make_current(r, f.get(), want, false);
  } else {
    ended = decode_to(r, want, false, true) == Reached::End;
  }
  if (!ended) return pair(want, r.get("_current_frame").get());

  // The end of the video: loop back to frame 0.
  Ref decoder = Ref::borrow(rewind_to_start(r));
  long long pos = -1;
  Ref f = advance_one(r, decoder.get(), pos);
  if (!f) {
    PyErr_SetNone(PyExc_StopIteration);
    throw PyErrorSet{};
  }
  make_current(r, f.get(), 0, false);
  return pair(0, r.get("_current_frame").get());
}

Ref py_seek_to_start(PyObject* const* argv) {
  Reader r(argv[0]);
  LockGuard guard(r.get("_lock"));
  DecoderInUse in_use(r);
  reopen_if_detached(r, in_use);
  restart(r);
  return none();
}

// --- Accessors and lifecycle ------------------------------------------------

Ref py_size(PyObject* const* argv) { return Reader(argv[0]).get("_frame_count"); }
Ref py_width(PyObject* const* argv) { return Reader(argv[0]).get("_width"); }
Ref py_height(PyObject* const* argv) { return Reader(argv[0]).get("_height"); }

// Releases the container, the decoder, the bytes and the cache. Waits for a
// frame operation in progress on another thread unless `wait` is false, in
// which case a held lock means the reader is left as it is.
void close_reader(PyObject* self, bool wait) {
  Reader r(self);
  PyObject* lock_borrowed = r.find("_lock");
  std::optional<LockGuard> guard;
  if (lock_borrowed) {
    Ref lock = Ref::borrow(lock_borrowed);
    if (wait) {
      guard.emplace(lock);
    } else {
      Ref got = call_method(lock.get(), "acquire", Py_False);
      if (!truthy(got.get())) return;
      guard.emplace(lock, true);
    }
  }
  std::optional<DecoderInUse> in_use;
  if (r.find("_native_state")) in_use.emplace(r);
  PyObject* container = r.find("_container");
  if (container && container != Py_None) {
    Ref held = Ref::borrow(container);
    call_method(held.get(), "close");
    r.set_none("_container");
  }
  r.set_none("_mp4_bytes");
  if (PyObject* cache = r.find("_frame_cache")) {
    Ref held = Ref::borrow(cache);
    call_method(held.get(), "clear");
  }
  r.set_none("_current_frame");
  r.set_none("_decoder");
  if (r.find("_decoder_idx")) r.set_none("_decoder_idx");
  if (r.find("_native_state")) {
    drop_window(r);
    NativeState& ns = r.native();
    ns.cache_bytes = 0;
    ns.timeline.reset();
    ns.reopen_on_use = false;
  }
}

Ref py_close(PyObject* const* argv) {
  close_reader(argv[0], true);
  return none();
}

Ref py_del(PyObject* const* argv) {
  try {
    close_reader(argv[0], false);
  } catch (const PyErrorSet&) {
    PyErr_WriteUnraisable(argv[0]);  // errors of close during destruction: reported, not raised
  }
  return none();
}

Ref py_enter(PyObject* const* argv) { return Ref::borrow(argv[0]); }

Ref py_exit(PyObject* const* argv) {
  close_reader(argv[0], true);
  return none();
}

PyMethodDef entries[] = {
    VR_ENTRY("mp4_init", py_init, 8),
    VR_ENTRY("mp4_advance_to_frame", py_advance_to_frame, 2),
    VR_ENTRY("mp4_get", py_get, 2),
    VR_ENTRY("mp4_get_next", py_get_next, 1),
    VR_ENTRY("mp4_seek_to_start", py_seek_to_start, 1),
    VR_ENTRY("mp4_size", py_size, 1),
    VR_ENTRY("mp4_width", py_width, 1),
    VR_ENTRY("mp4_height", py_height, 1),
    VR_ENTRY("mp4_close", py_close, 1),
    VR_ENTRY("mp4_from_bytes", py_from_bytes, 3),
    VR_ENTRY("mp4_del", py_del, 1),
    VR_ENTRY("mp4_enter", py_enter, 1),
    VR_ENTRY("mp4_exit", py_exit, 1),
    VR_ENTRY("mp4_getstate", py_getstate, 1),
    VR_ENTRY("mp4_setstate", py_setstate, 2),
    VR_ENTRIES_END,
};

}  // namespace

void register_mp4_video_reader(PyObject* native) {
  init_frame_decoder_type();
  add_entries(native, entries);
}

}  // namespace vr
