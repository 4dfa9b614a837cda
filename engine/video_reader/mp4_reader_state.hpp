// The state of one lazy MP4 reader as its units share it: the instance
// dictionary that holds the Python-visible attributes (`Reader`), the native
// part kept in a capsule there (the timeline and the cache's byte count), and
// the guard that holds the reader's lock for a scope.
//
// Everything here requires the GIL; the lock serialises frame access between
// threads (waiting for it releases the GIL).
#pragma once

#include <deque>
#include <optional>
#include <utility>

#include "kernels/frame_timeline.hpp"
#include "py.hpp"

namespace vr::mp4 {
// The cache budget: the cache is granted only when every frame fits.
inline constexpr long long kMaxCacheBytes = 1LL << 30;

inline constexpr const char* kClosedMessage = "I/O operation on closed MP4VideoReader";
inline constexpr const char* kNativeStateName = "vorantis.engine.video_reader.MP4VideoReader.state";

// What a reader keeps besides its Python-visible attributes: the stream's
// timeline (collected once) and the bytes held by the frame cache.
struct NativeState {
  FrameTimeline timeline;
  long long cache_bytes = 0;
  // Made by from_bytes (pickled with its bytes, not as a path).
  bool from_bytes = false;
  // In a forked child: the parent's container was given up, the source is
  // opened again at the next frame access (mp4_video_reader.cpp).
  bool reopen_on_use = false;
  // The thread working the decoder, and how deeply (get calls
  // _advance_to_frame): see DecoderInUse.
  unsigned long user_thread = 0;
  int use_depth = 0;
  // The return window (kernels/frame_timeline.hpp): decoded frames, not yet
  // converted, of indices window_first.. in a list, their bytes, and the size
  // of the last frame kept (how many the next window may hold).
  Ref window;
  long long window_first = -1;
  long long window_bytes = 0;
  std::deque<long long> window_sizes;
  long long window_frame_bytes = 0;

  long long window_last() const {
    return window ? window_first + static_cast<long long>(window_sizes.size()) - 1 : -1;
  }
};


[[noreturn]] inline void raise_closed() { raise(PyExc_ValueError, kClosedMessage); }


// Holds the reader's threading.Lock for a scope. Waiting happens inside the
// lock's own `acquire`, which releases the GIL; the release runs on every path
// out, with any pending exception kept.
class LockGuard {
 public:
  explicit LockGuard(Ref lock) : lock_(std::move(lock)) { call_method(lock_.get(), "acquire"); }
  // Takes over a lock that the caller has already acquired.
  LockGuard(Ref lock, bool /*adopt*/) : lock_(std::move(lock)) {}
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  // A thread unwound at interpreter exit leaves the lock held: nothing waits
  // for it then (closing during destruction does not wait). Nothing here
  // throws: the name was interned at import, and a failed release is reported
  // as unraisable.
  ~LockGuard() noexcept(false) {
    if (!gil_held()) return;
    SavedError pending;
    PyObject* name = interned_nothrow("release");
    PyObject* r = name ? PyObject_CallMethodNoArgs(lock_.get(), name) : nullptr;
    if (r)
      Py_DECREF(r);
    else
      PyErr_WriteUnraisable(lock_.get());
    pending.restore();
  }

 private:
  Ref lock_;
};

// The state of one reader during a call: its attribute dictionary.
class Reader {
 public:
  explicit Reader(PyObject* self) : self_(self), dict_(check(PyObject_GenericGetDict(self, nullptr))) {}

  PyObject* self() const { return self_; }

  // Borrowed, or nullptr when the attribute is not set.
  PyObject* find(const char* name) const {
    PyObject* v = PyDict_GetItemWithError(dict_.get(), VR_STR(name));
    if (!v && PyErr_Occurred()) throw PyErrorSet{};
    return v;
  }
  Ref get(const char* name) const {
    PyObject* v = find(name);
    if (!v) {
      PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                   Py_TYPE(self_)->tp_name, name);
      throw PyErrorSet{};
    }
    return Ref::borrow(v);
  }
  void set(const char* name, PyObject* v) { check_status(PyDict_SetItem(dict_.get(), VR_STR(name), v)); }
  void set(const char* name, const Ref& v) { set(name, v.get()); }
  void set_none(const char* name) { set(name, Py_None); }
  long long get_ll(const char* name) const { return as_ll(get(name).get()); }
  void set_ll(const char* name, long long v) { set(name, integer(v)); }
  bool get_flag(const char* name) const { return truthy(get(name).get()); }
  void set_flag(const char* name, bool v) { set(name, v ? Py_True : Py_False); }

  // The open container; ValueError once the reader is closed.
  Ref container() const {
    PyObject* c = find("_container");
    if (!c || c == Py_None) raise_closed();
    return Ref::borrow(c);
  }

  // Makes `frame` the current frame `index`. The pair is committed whole: the
  // index object is made first, and the old frame is dropped before the new
  // index goes in, so that a failure part-way leaves nothing buffered rather
  // than a frame under another frame's index.
  void set_current(PyObject* frame, long long index) {
    Ref idx = integer(index);
    set_none("_current_frame");
    set("_current_frame_idx", idx);
    set("_current_frame", frame);
  }

  // Where the decoder really stands: the index of the last frame it produced
  // (-1: before frame 0), or nothing when that is unknown and the next access
  // must reposition.
  std::optional<long long> decoder_pos() const {
    PyObject* v = find("_decoder_idx");
    if (!v || v == Py_None) return std::nullopt;
    return as_ll(v);
  }
  void set_decoder_pos(std::optional<long long> pos) {
    if (pos)
      set_ll("_decoder_idx", *pos);
    else
      set_none("_decoder_idx");
  }
  // Called while an exception is pending: the decoder's position is lost.
  void lose_decoder_pos() {
    SavedError pending;
    if (PyDict_SetItem(dict_.get(), VR_STR("_decoder_idx"), Py_None) < 0) PyErr_Clear();
    pending.restore();
  }

  // The native state, kept alive by this object for the length of the call
  // (the instance's attribute could be rebound meanwhile).
  NativeState& native() const {
    if (!native_capsule_) native_capsule_ = get("_native_state");
    void* p = PyCapsule_GetPointer(native_capsule_.get(), kNativeStateName);
    if (!p) throw PyErrorSet{};
    return *static_cast<NativeState*>(p);
  }
  const Ref& native_capsule() const {
    native();
    return native_capsule_;
  }

 private:
  PyObject* self_;
  Ref dict_;
  mutable Ref native_capsule_;
};

// Marks the reader's decoder as worked by the calling thread for a scope.
// `get`, `get_next`, `seek_to_start` and `close` hold the reader's lock, but
// `_advance_to_frame` may be called without it: two threads driving one
// decoder (and one codec context) at once corrupt it, so a second thread is
// refused with a RuntimeError instead. The same thread may nest (`get` calls
// `_advance_to_frame`).
class DecoderInUse {
 public:
  explicit DecoderInUse(const Reader& r) : capsule_(r.native_capsule()), state_(r.native()) {
    unsigned long me = PyThread_get_thread_ident();
    if (state_.use_depth > 0 && state_.user_thread != me)
      raise(PyExc_RuntimeError,
            "MP4VideoReader is in use by another thread (call get, get_next or seek_to_start, "
            "which take the reader's lock)");
    state_.user_thread = me;
    ++state_.use_depth;
  }
  DecoderInUse(const DecoderInUse&) = delete;
  DecoderInUse& operator=(const DecoderInUse&) = delete;
  ~DecoderInUse() noexcept(false) {
    if (gil_held()) --state_.use_depth;
  }

 private:
  Ref capsule_;  // keeps state_ alive
  NativeState& state_;
};

}  // namespace vr::mp4
