#include "mp4_video_reader.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "callable.hpp"
#include "frame_index.hpp"

namespace vr {

// ---------------------------------------------------------------------------
// Kernel
// ---------------------------------------------------------------------------

void FrameTimeline::reset() {
  pts_.clear();
  keyframes_.clear();
  pending_.clear();
  untimed_ = false;
  ready_ = false;
  usable_ = false;
}

void FrameTimeline::add(std::int64_t pts, bool keyframe) { pending_.emplace_back(pts, keyframe); }

void FrameTimeline::finish() {
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  pts_.clear();
  keyframes_.clear();
  pts_.reserve(pending_.size());
  bool duplicate = false;
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    if (i > 0 && pending_[i].first == pending_[i - 1].first) duplicate = true;
    pts_.push_back(pending_[i].first);
    if (pending_[i].second) keyframes_.push_back(i);
  }
  pending_.clear();
  pending_.shrink_to_fit();
  usable_ = !untimed_ && !duplicate;
  ready_ = true;
}

long long FrameTimeline::rank(std::int64_t pts) const {
  auto it = std::lower_bound(pts_.begin(), pts_.end(), pts);
  if (it == pts_.end() || *it != pts) return -1;
  return static_cast<long long>(it - pts_.begin());
}

std::size_t FrameTimeline::keyframe_at_or_before(std::size_t index) const {
  auto it = std::upper_bound(keyframes_.begin(), keyframes_.end(), index);
  return it == keyframes_.begin() ? 0 : *(it - 1);
}

bool keyframe_seek_is_cheaper(const FrameTimeline& timeline, long long decoder_pos, long long target,
                              double seek_cost) {
  if (!timeline.usable() || target <= decoder_pos || target < 0) return false;
  if (static_cast<unsigned long long>(target) >= timeline.size()) return false;
  if (!jump_may_warrant_seek(decoder_pos, target, seek_cost)) return false;
  auto k = static_cast<long long>(timeline.keyframe_at_or_before(static_cast<std::size_t>(target)));
  return k > 0 && static_cast<double>(k - decoder_pos - 1) > seek_cost;
}

bool FrameTimeline::is_keyframe(std::size_t index) const {
  return std::binary_search(keyframes_.begin(), keyframes_.end(), index);
}

void FrameTimeline::drop_leading(std::size_t n) {
  n = std::min(n, pts_.size());
  if (n == 0) return;
  pts_.erase(pts_.begin(), pts_.begin() + static_cast<std::ptrdiff_t>(n));
  std::vector<std::size_t> kept;
  for (std::size_t k : keyframes_)
    if (k >= n) kept.push_back(k - n);
  keyframes_.swap(kept);
}

// ---------------------------------------------------------------------------
// Python layer
// ---------------------------------------------------------------------------

namespace {

// The cache budget: the cache is granted only when every frame fits.
constexpr long long kMaxCacheBytes = 1LL << 30;

constexpr const char* kClosedMessage = "I/O operation on closed MP4VideoReader";
constexpr const char* kNativeStateName = "vorantis.engine.video_reader.MP4VideoReader.state";

// What a reader keeps besides its Python-visible attributes: the stream's
// timeline (collected once) and the bytes held by the frame cache.
struct NativeState {
  FrameTimeline timeline;
  long long cache_bytes = 0;
};

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

// A tuple of keyword names, created once for the life of the process.
PyObject* keywords(const char* a, const char* b = nullptr) {
  Ref t = check(b ? PyTuple_Pack(2, VR_STR(a), VR_STR(b)) : PyTuple_Pack(1, VR_STR(a)));
  return t.release();
}
PyObject* kw_format() {
  static PyObject* t = keywords("format");
  return t;
}
PyObject* kw_seek() {
  static PyObject* t = keywords("backward", "stream");
  return t;
}

[[noreturn]] void raise_closed() { raise(PyExc_ValueError, kClosedMessage); }


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
  // for it then (closing during destruction does not wait).
  ~LockGuard() noexcept(false) {
    if (!gil_held()) return;
    SavedError pending;
    PyObject* r = PyObject_CallMethodNoArgs(lock_.get(), VR_STR("release"));
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

  NativeState& native() const {
    Ref capsule = get("_native_state");
    void* p = PyCapsule_GetPointer(capsule.get(), kNativeStateName);
    if (!p) throw PyErrorSet{};
    return *static_cast<NativeState*>(p);
  }

 private:
  PyObject* self_;
  Ref dict_;
};

// --- PyAV operations --------------------------------------------------------

Ref video_stream(PyObject* container) {
  Ref streams = attr(container, "streams");
  Ref video = attr(streams.get(), "video");
  return check(PySequence_GetItem(video.get(), 0));
}

// --- The frame iterator -----------------------------------------------------
//
// FrameDecoder yields the frames of the first video stream exactly as
// `container.decode(video=0)` does (packets from `container.demux(stream)`,
// each decoded with `packet.decode()`), but it survives seeks: after the
// container seeks, `rewind` drops the frames still pending and the same packet
// generator reads on from the new position. PyAV's packet generator frees its
// read buffer only when it runs to its end, so a generator dropped half-way
// (one per seek with `decode()`) would leak; here there is one per run to the
// end of the stream, plus the one a reader holds when it closes.
//
// Two decoding contexts: the stream's own, with the frame threads that the
// reader asks for ("AUTO"), for runs from the start of the video; and, after a
// keyframe seek, a second, single-threaded context over the same codec
// parameters. A frame-thread pipeline returns its first frame only once it
// is full, so a seek followed by a short run (random, strided or backward
// access) decodes frames it then throws away; measured on H.264 at 512x512
// and 720p, the run after a seek is cheaper without it. The stream's context,
// and so its thread type, stays as the reader set it.
// Owns references to the container, the stream, the packet generator, the
// pending frames and the second context. Not thread-safe: used under the
// reader's lock.

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
      if (PyErr_Occurred()) return nullptr;
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

void init_frame_decoder_type() {
  if (FrameDecoderType.tp_flags & Py_TPFLAGS_READY) return;
  FrameDecoderType.tp_name = "vorantis.engine.video_reader.FrameDecoder";
  FrameDecoderType.tp_basicsize = sizeof(FrameDecoderObject);
  FrameDecoderType.tp_flags = Py_TPFLAGS_DEFAULT;
  FrameDecoderType.tp_doc = "The frames of a container's first video stream, in presentation order.";
  FrameDecoderType.tp_dealloc = frame_decoder_dealloc;
  FrameDecoderType.tp_iter = PyObject_SelfIter;
  FrameDecoderType.tp_iternext = frame_decoder_next;
  check_status(PyType_Ready(&FrameDecoderType));
}

Ref new_decoder(PyObject* container) {
  Ref stream = video_stream(container);
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
  return Ref(reinterpret_cast<PyObject*>(d));
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
    for (const char* name : {"extradata", "width", "height", "pix_fmt", "color_range", "colorspace",
                             "color_primaries", "color_trc", "sample_aspect_ratio", "field_order",
                             "bits_per_coded_sample", "codec_tag"}) {
      PyObject* v = PyObject_GetAttrString(codec_context.get(), name);
      if (v && v != Py_None && PyObject_SetAttrString(solo.get(), name, v) < 0) PyErr_Clear();
      Py_XDECREF(v);
      if (!v) PyErr_Clear();
    }
    return solo;
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return Ref();
  }
}

// Positions the decoder after a seek; `after_keyframe_seek` chooses the
// context without frame threads for the run that follows. A packet generator
// that has reached the end of the file reads no further: it is run to its end
// (only flush packets are left, nothing is read or decoded) so that it frees
// its buffers, and the next frame starts a new one.
void frame_decoder_rewind(FrameDecoderObject* d, bool after_keyframe_seek) {
  d->use_solo = false;
  if (after_keyframe_seek && !d->solo_failed) {
    if (!d->solo) {
      Ref solo = make_solo_context(d->stream);
      d->solo_failed = !solo;
      d->solo = solo.release();
    }
    if (d->solo) {
      call_method(d->solo, "flush_buffers");
      d->use_solo = true;
    }
  }
  Py_CLEAR(d->pending);
  d->next = 0;
  d->exhausted = false;
  if (d->packets && d->flushing) {
    while (PyObject* rest = PyIter_Next(d->packets)) Py_DECREF(rest);
    if (PyErr_Occurred()) PyErr_Clear();
    Py_CLEAR(d->packets);
  }
  d->flushing = false;
}

// After the container has sought: the reader's decoder yields from the new
// position (its pending frames are stale). A decoder of another kind or over
// another container is replaced.
PyObject* rewind_decoder(Reader& r, PyObject* container, bool after_keyframe_seek = false) {
  PyObject* current = r.find("_decoder");
  if (!current || Py_TYPE(current) != &FrameDecoderType ||
      reinterpret_cast<FrameDecoderObject*>(current)->container != container) {
    r.set("_decoder", new_decoder(container));
    current = r.find("_decoder");
  }
  frame_decoder_rewind(reinterpret_cast<FrameDecoderObject*>(current), after_keyframe_seek);
  return current;
}

void seek_to_zero(PyObject* container) {
  Ref zero = integer(0);
  call_method(container, "seek", zero.get());
}

void seek_keyframe(PyObject* container, std::int64_t pts, PyObject* stream) {
  Ref seek = attr(container, "seek");
  Ref offset = integer(pts);
  call_kw(seek.get(), {offset.get()}, kw_seek(), {Py_True, stream});
}

Ref to_bgr(PyObject* frame) {
  PyObject* args[] = {frame, VR_STR("bgr24")};
  return check(PyObject_VectorcallMethod(VR_STR("to_ndarray"), args,
                                         1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_format()));
}

Ref copy_frame(PyObject* frame) { return call_method(frame, "copy"); }

std::optional<std::int64_t> frame_pts(PyObject* frame) {
  Ref pts = attr(frame, "pts");
  if (pts.get() == Py_None || !PyLong_Check(pts.get())) return std::nullopt;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(pts.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (overflow) return std::nullopt;
  return v;
}

// The next frame of the reader's decoder; empty at the end of the video. A
// decoding error loses the decoder (a generator that raised is finished).
Ref next_frame(Reader& r, PyObject* decoder) {
  if (!PyIter_Check(decoder)) {
    PyErr_Format(PyExc_TypeError, "'%.100s' object is not an iterator", Py_TYPE(decoder)->tp_name);
    r.lose_decoder_pos();
    throw PyErrorSet{};
  }
  PyObject* f = PyIter_Next(decoder);
  if (f) return Ref(f);
  if (PyErr_Occurred()) {
    r.lose_decoder_pos();
    throw PyErrorSet{};
  }
  return Ref();
}

// --- Frame cache ------------------------------------------------------------

Ref cache_lookup(Reader& r, long long index) {
  Ref cache = r.get("_frame_cache");
  Ref key = integer(index);
  if (PyDict_Check(cache.get())) {
    PyObject* v = PyDict_GetItemWithError(cache.get(), key.get());
    if (!v && PyErr_Occurred()) throw PyErrorSet{};
    return Ref::borrow(v);
  }
  PyObject* v = PyObject_GetItem(cache.get(), key.get());
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyErrorSet{};
    PyErr_Clear();
  }
  return Ref(v);
}

long long nbytes_of(PyObject* array) { return as_ll(attr(array, "nbytes").get()); }

// Stores `bgr` under `index` unless that would take the cache past its budget.
void cache_store(Reader& r, long long index, PyObject* bgr) {
  NativeState& ns = r.native();
  long long size = nbytes_of(bgr);
  Ref old = cache_lookup(r, index);
  long long freed = old ? nbytes_of(old.get()) : 0;
  if (ns.cache_bytes - freed + size > kMaxCacheBytes) return;
  Ref cache = r.get("_frame_cache");
  Ref key = integer(index);
  check_status(PyObject_SetItem(cache.get(), key.get(), bgr));
  ns.cache_bytes += size - freed;
}

// --- Positioning ------------------------------------------------------------
//
//   frame index    0    1    2  ...  K ...  c ... d ... t ... n-1
//   frame cache   [0]  [1]  [2]      [K]    [c]
//   current       ----------------------->  c          (_current_frame_idx)
//   decoder       ------------------------------> d    (_decoder_idx: last frame it produced)
//   keyframes     K0 ............ K ............ K' ....
//
// `c` is the frame last handed out; `d` is where the decoder really stands.
// They coincide after every decode; a cache hit moves `c` and leaves `d`.
// Reaching target `t`:
//   1. cache hit (caching on, `t` cached): c = t, decoder untouched;
//   2. decode on from `d` when a frame is buffered and d < t. With the cache
//      filling (every frame passed is stored) that holds however far ahead t
//      lies. Without it, a keyframe K' in (d + 1 + S, t] makes a seek to K'
//      cheaper than decoding d+1..K'-1 (S: the fixed cost of a seek in frame
//      decodes, kSeekCostFrames), and the reader goes to 3 instead;
//   3. otherwise (t at or behind the decoder, nothing buffered: a new reader
//      or after seek_to_start, or a skip ahead) reposition: t == 0 rewinds to the start
//      (seek(0), count from -1);
//      t > 0 seeks to the keyframe K at or before t and learns the index of the
//      first frame from its timestamp's rank in the stream's sorted timestamps
//      (collected once by demuxing, without decoding); a seek that lands past
//      t is retried from the keyframe before, then from the start; then decode
//      on to t.
// Frames between the landing point and `t` are converted only when they go
// into the cache. `get_next` wants c + 1 and goes through 2 and 3 when the
// decoder is not at c; it never reads or writes the cache.

enum class Reached { Frame, End };

// Rewinds the decoder to the start (seek(0), the decoder before frame 0,
// _current_frame_idx -1, _at_end cleared) and returns it (borrowed). The
// buffered frame is left as it is.
PyObject* rewind_to_start(Reader& r) {
  Ref c = r.container();
  r.set_decoder_pos(std::nullopt);
  seek_to_zero(c.get());
  PyObject* decoder = rewind_decoder(r, c.get());
  r.set_ll("_current_frame_idx", -1);
  r.set_flag("_at_end", false);
  r.set_decoder_pos(-1);
  return decoder;
}

// Rewinds to the start with nothing buffered.
void restart(Reader& r) {
  rewind_to_start(r);
  r.set_none("_current_frame");
}

void make_current(Reader& r, PyObject* frame, long long index, bool store) {
  Ref bgr = to_bgr(frame);
  if (store) cache_store(r, index, bgr.get());
  r.set("_current_frame", bgr);
  r.set_ll("_current_frame_idx", index);
}

// When a run from the start yields its first frame, timeline entries before that
// frame's timestamp are frames this decoder never outputs: forget them, so
// that ranks and counting agree. Frames cached under the old ranks go too.
void align_timeline(Reader& r, PyObject* first_frame) {
  NativeState& ns = r.native();
  FrameTimeline& tl = ns.timeline;
  if (!tl.usable()) return;
  auto pts = frame_pts(first_frame);
  if (!pts) return;
  long long rank = tl.rank(*pts);
  if (rank <= 0) return;
  tl.drop_leading(static_cast<std::size_t>(rank));
  call_method(r.get("_frame_cache").get(), "clear");
  ns.cache_bytes = 0;
}

// Takes one frame from the decoder standing at `d`; empty at the end.
Ref advance_one(Reader& r, PyObject* decoder, long long& d) {
  Ref f = next_frame(r, decoder);
  if (!f) return f;
  ++d;
  r.set_decoder_pos(d);
  if (d == 0) align_timeline(r, f.get());
  return f;
}

// The stream's timeline, collected by demuxing every packet once (no decoding).
// Collecting moves the container, so the decoder's position is lost.
FrameTimeline& ensure_timeline(Reader& r) {
  NativeState& ns = r.native();
  if (ns.timeline.ready()) return ns.timeline;
  Ref c = r.container();
  r.set_decoder_pos(std::nullopt);
  ns.timeline.reset();
  Ref stream = video_stream(c.get());
  seek_to_zero(c.get());
  Ref packets = call_method(c.get(), "demux", stream.get());
  Ref it = check(PyObject_GetIter(packets.get()));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref packet(raw);
    if (as_ll(attr(packet.get(), "size").get()) <= 0) continue;  // the flush packet
    if (truthy(attr(packet.get(), "is_discard").get())) continue;  // never output
    Ref pts = attr(packet.get(), "pts");
    if (pts.get() == Py_None) {
      ns.timeline.add_untimed();
      continue;
    }
    ns.timeline.add(as_ll(pts.get()), truthy(attr(packet.get(), "is_keyframe").get()));
  }
  if (PyErr_Occurred()) {
    // A stream that cannot be demuxed to its end: seeks then count from the
    // start instead, where a real decoding error shows up in its own place.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
      ns.timeline.reset();
      throw PyErrorSet{};
    }
    PyErr_Clear();
    ns.timeline.add_untimed();
  }
  ns.timeline.finish();

  // Packets the decoder drops when it starts from the beginning (frames before
  // the first keyframe of a stream cut mid-group) have timestamps too: align the
  // timeline on the first frame that decoding from the start really outputs.
  // A stream whose earliest frame is a keyframe has no such frames: probing
  // it would only cost a decode (a pipeline fill with frame threads).
  if (ns.timeline.usable() && ns.timeline.size() > 0 && !ns.timeline.is_keyframe(0)) {
    seek_to_zero(c.get());
    Ref probe = Ref::borrow(rewind_decoder(r, c.get()));
    PyObject* first = PyIter_Next(probe.get());
    if (first) {
      Ref held(first);
      align_timeline(r, held.get());
    } else if (PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
      PyErr_Clear();  // the same error will meet the decoding itself
    }
  }
  return ns.timeline;
}

// Decodes from where the decoder stands up to `target`. `pending` is a frame
// already decoded (the landing frame of a seek) not yet converted.
Reached decode_forward(Reader& r, long long target, bool store, Ref pending, long long pending_idx) {
  Ref decoder = r.get("_decoder");
  long long d = r.decoder_pos().value_or(-1);
  while (d < target) {
    Ref f = advance_one(r, decoder.get(), d);
    if (!f) {
      r.set_decoder_pos(std::nullopt);
      r.set_flag("_at_end", true);
      if (pending) make_current(r, pending.get(), pending_idx, false);
      return Reached::End;
    }
    if (store) {
      make_current(r, f.get(), d, true);
      pending = Ref();
    } else {
      pending = std::move(f);
      pending_idx = d;
    }
  }
  if (pending) make_current(r, pending.get(), pending_idx, store);
  return Reached::Frame;
}

// Seeks to the keyframe at or before `target` and decodes the landing frame.
Reached keyframe_seek(Reader& r, long long target, bool store, Ref& pending, long long& pending_idx) {
  FrameTimeline& tl = ensure_timeline(r);
  if (!tl.usable() || tl.size() == 0) {
    restart(r);
    return Reached::Frame;
  }
  std::size_t goal = std::min(static_cast<std::size_t>(target), tl.size() - 1);
  std::size_t k = tl.keyframe_at_or_before(goal);
  Ref c = r.container();
  Ref stream = video_stream(c.get());
  for (int attempt = 0; attempt < 4 && k > 0; ++attempt) {
    r.set_decoder_pos(std::nullopt);
    seek_keyframe(c.get(), tl.pts(k), stream.get());
    Ref decoder = Ref::borrow(rewind_decoder(r, c.get(), true));
    r.set_ll("_current_frame_idx", -1);
    r.set_none("_current_frame");
    r.set_flag("_at_end", false);
    Ref first = next_frame(r, decoder.get());
    long long landed;
    if (!first) {
      // Nothing after the seek point: the end of the video, or (in formats
      // without a keyframe index) a landing point after the last keyframe.
      if (static_cast<std::size_t>(target) >= tl.size()) {
        r.set_flag("_at_end", true);
        return Reached::End;
      }
      landed = target + 1;
    } else {
      auto pts = frame_pts(first.get());
      landed = pts ? tl.rank(*pts) : -1;
      if (landed < 0) break;  // a frame the timeline does not know: count from the start
    }
    if (landed <= target) {
      r.set_decoder_pos(landed);
      if (store) {
        make_current(r, first.get(), landed, true);
      } else {
        pending = std::move(first);
        pending_idx = landed;
      }
      return Reached::Frame;
    }
    k = tl.keyframe_at_or_before(k - 1);  // landed past the target: one keyframe earlier
  }
  restart(r);
  return Reached::Frame;
}

// A forward target with no cache to fill: whether to leave the decoder at `d`
// for a keyframe seek. Only a jump long enough for a seek to pay off consults
// the timeline; collecting it the first time moves the container, and then
// the decoder must reposition anyway.
bool skip_ahead_by_seek(Reader& r, long long d, long long target) {
  if (!jump_may_warrant_seek(d, target)) return false;
  const FrameTimeline& tl = ensure_timeline(r);
  if (!r.decoder_pos()) return true;
  return keyframe_seek_is_cheaper(tl, d, target);
}

// Makes frame `target` current (converted, in `_current_frame`). `buffered`
// says whether a frame is buffered; without one, a target above 0 is reached
// by a keyframe seek rather than by decoding from the start.
Reached decode_to(Reader& r, long long target, bool store, bool buffered) {
  std::optional<long long> d = r.decoder_pos();
  bool decode_on = buffered && d && *d < target;
  if (decode_on && !store) decode_on = !skip_ahead_by_seek(r, *d, target);
  Ref pending;
  long long pending_idx = -1;
  if (!decode_on) {
    if (target == 0) {
      restart(r);
    } else if (keyframe_seek(r, target, store, pending, pending_idx) == Reached::End) {
      return Reached::End;
    }
  }
  return decode_forward(r, target, store, std::move(pending), pending_idx);
}

// --- Construction -----------------------------------------------------------

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

Ref new_lock() {
  Ref threading = module_attr("threading");
  Ref lock_type = attr(threading.get(), "Lock");
  return call(lock_type.get());
}

Ref open_in_memory(PyObject* av, PyObject* data) {
  Ref io = module_attr("io");
  Ref bytes_io = attr(io.get(), "BytesIO");
  Ref stream = call(bytes_io.get(), data);
  Ref open = attr(av, "open");
  return call(open.get(), stream.get());
}

// Steps shared by the constructor and from_bytes once the container is open:
// the stream, the frame size, the frame count, the decoder at frame 0.
void start_reading(Reader& r, PyObject* container, PyObject* frame_count) {
  r.set("_container", container);
  Ref stream = video_stream(container);
  set_attr(stream.get(), "thread_type", VR_STR("AUTO"));
  Ref codec = attr(stream.get(), "codec_context");
  r.set("_width", attr(codec.get(), "width"));
  r.set("_height", attr(codec.get(), "height"));

  if (greater_than_zero(frame_count)) {
    r.set("_frame_count", frame_count);
  } else {
    // Counting decodes every frame; their timestamps give the timeline for free.
    FrameTimeline& tl = r.native().timeline;
    tl.reset();
    seek_to_zero(container);
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
    r.set_ll("_frame_count", counted);
  }

  seek_to_zero(container);
  rewind_decoder(r, container);
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

  Ref av = import("av");
  Reader r(self);
  r.set("_path", path);
  r.set("_lock", new_lock());
  r.set("_base_offset", base_offset);
  set_initial_state(r);

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
    container = open_in_memory(av.get(), data.get());
    r.set("_mp4_bytes", data);
  } else {
    Ref open = attr(av.get(), "open");
    container = call(open.get(), path);
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

Ref py_from_bytes(PyObject* const* argv) {
  PyObject* cls = argv[0];
  PyObject* mp4_data = argv[1];
  PyObject* frame_count = argv[2];

  Ref av = import("av");
  Ref instance = call_method(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__new__", cls);
  Reader r(instance.get());
  r.set("_path", VR_STR("<memory>"));
  r.set("_lock", new_lock());
  r.set_ll("_base_offset", 0);
  set_initial_state(r);
  r.set("_mp4_bytes", mp4_data);
  Ref container = open_in_memory(av.get(), mp4_data);
  start_reading(r, container.get(), frame_count);
  r.set_flag("_cache_frames", false);
  r.set("_frame_cache", check(PyDict_New()));
  return instance;
}

// --- Frame access -----------------------------------------------------------

// A frame was served without decoding (a cache hit or the current frame
// again): an earlier run out of frames no longer sends get_next back to frame
// 0, since get_next continues from the frame just served.
void served(Reader& r) {
  PyObject* at_end = r.find("_at_end");
  if (at_end && at_end != Py_False) r.set_flag("_at_end", false);
}

Ref py_advance_to_frame(PyObject* const* argv) {
  Reader r(argv[0]);
  Ref index = check(PyNumber_Index(argv[1]));
  int overflow = 0;
  long long target = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (target == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (overflow || target < 0) raise_frame_index_error(index.get(), r.get("_frame_count").get());
  r.container();

  bool cache = r.get_flag("_cache_frames");
  if (cache) {
    Ref hit = cache_lookup(r, target);
    if (hit) {
      r.set("_current_frame", hit);
      r.set_ll("_current_frame_idx", target);
      served(r);
      return hit;
    }
  }
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
  r.container();
  PyObject* current = r.find("_current_frame");
  if (current && current != Py_None) {
    int same = PyObject_RichCompareBool(index.get(), r.get("_current_frame_idx").get(), Py_EQ);
    check_status(same);
    if (same) {
      Ref copy = copy_frame(current);
      served(r);
      return copy;
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
  r.container();
  if (r.get_flag("_at_end")) rewind_to_start(r);
  long long current = r.get_ll("_current_frame_idx");
  long long want = current + 1;
  std::optional<long long> d = r.decoder_pos();
  bool ended;
  if (d && *d == current) {
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
    NativeState& ns = r.native();
    ns.cache_bytes = 0;
    ns.timeline.reset();
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
    PyErr_Clear();  // errors of close during destruction reach nobody
  }
  return none();
}

Ref py_enter(PyObject* const* argv) { return Ref::borrow(argv[0]); }

Ref py_exit(PyObject* const* argv) {
  close_reader(argv[0], true);
  return none();
}

constexpr const char* kClassDoc =
    "MP4 frame reader with optional frame caching for ping-pong looping.\n"
    "\n"
    "Decodes H.264 sequentially from a file, a byte range of a file (an embedded\n"
    "container member) or bytes in memory. Backward access goes through a frame\n"
    "cache (for ping-pong playback) or, for videos too large for the cache's 1 GiB\n"
    "budget, through keyframe seeking; get(0) seeks back to the start for\n"
    "efficient looping. Frame indices after a seek come from the stream's own\n"
    "timestamps, so the frame returned is always the frame asked for.\n"
    "\n"
    "Thread-safe: concurrent access is serialized via a lock.";

}  // namespace

void register_mp4_video_reader(PyObject* module) {
  init_frame_decoder_type();
  Ref zero = integer(0);
  Ref empty = str("");
  ClassBuilder cls("MP4VideoReader", kClassDoc);
  cls.method({"__init__", nullptr,
              "Initialize MP4 reader from a file or embedded section of an IMX container.\n\n"
              "With base_offset or file_size above 0 the byte range is read in one read and\n"
              "decoded from memory; otherwise FFmpeg opens the file itself. A frame_count of\n"
              "0 counts the frames by decoding once. cache_frames is granted only when every\n"
              "frame fits in 1 GiB. key and thread_count are accepted and ignored.",
              "None",
              {self_param(), param("path", "str"), param("key", "str", empty),
               param("thread_count", "int", zero), kwonly("base_offset", "int", zero),
               kwonly("file_size", "int", zero), kwonly("frame_count", "int", zero),
               kwonly("cache_frames", "bool", boolean(false))},
              py_init});
  cls.method({"_advance_to_frame", nullptr,
              "Advance decoder to target frame index.\n\n"
              "Cache hit, decoding on from where the decoder stands, or a keyframe seek;\n"
              "returns the reader's own current frame (callers copy it). Runs under the\n"
              "caller's lock and does no range check.",
              "np.ndarray", {self_param(), param("target_idx", "int")}, py_advance_to_frame});
  cls.method({"get", nullptr,
              "Get a decoded BGR frame by index (returns a copy).\n\n"
              "Negative indices count from the end.",
              "np.ndarray", {self_param(), param("index", "int")}, py_get});
  cls.method({"get_next", nullptr,
              "Get the next frame in sequence, looping back to start at end.\n\n"
              "Returns (index, frame copy); after get(k) the next frame is k + 1.",
              "Tuple[int, np.ndarray]", {self_param()}, py_get_next});
  cls.method({"seek_to_start", nullptr,
              "Reset reader to frame 0 for efficient looping.\n\n"
              "The frame cache is kept.",
              "None", {self_param()}, py_seek_to_start});
  cls.method({"size", nullptr, "Return total number of frames.", "int", {self_param()}, py_size});
  cls.property({"width", nullptr, nullptr, "int", {self_param()}, py_width});
  cls.property({"height", nullptr, nullptr, "int", {self_param()}, py_height});
  cls.method({"close", nullptr, nullptr, "None", {self_param()}, py_close});
  cls.classmethod({"from_bytes", nullptr,
                   "Create reader from in-memory H.264 bytes (no frame cache).\n\n"
                   "Builds an instance of the class it is called on without running its\n"
                   "constructor.",
                   "'MP4VideoReader'",
                   {cls_param(), param("mp4_data", "bytes"), param("frame_count", "int", zero)},
                   py_from_bytes});
  cls.method({"__del__", nullptr, nullptr, "None", {self_param()}, py_del});
  cls.method({"__enter__", nullptr, nullptr, "'MP4VideoReader'", {self_param()}, py_enter});
  cls.method({"__exit__", nullptr, nullptr, "None", {self_param(), varargs("exc")}, py_exit});
  cls.finish(module);
}

}  // namespace vr
