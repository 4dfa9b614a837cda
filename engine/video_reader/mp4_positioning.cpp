#include "mp4_positioning.hpp"

#include <algorithm>
#include <utility>

#include "kernels/frame_timeline.hpp"
#include "mp4_decoder.hpp"
#include "pyav.hpp"

namespace vr::mp4 {

// Where the reader stands, and how it reaches frame `t`:
//
//   frame index    0    1    2  ...  K ...  c ... d ... t ... n-1
//   frame cache   [0]  [1]  [2]      [K]    [c]
//   return window              [w0 ........ w1]
//   current       ----------------------->  c          (_current_frame_idx)
//   decoder       ------------------------------> d    (_decoder_idx: last frame it produced)
//   keyframes     K0 ............ K ............ K' ....
//
// `c` is the frame last handed out; `d` is where the decoder really stands.
// They coincide after every decode; a cache or window hit moves `c` and leaves
// `d`. The route to `t` is chosen by plan_route (kernels/frame_timeline.hpp)
// from these positions, the timeline and what is held; this file carries it
// out:
//   1. held frames: the cache (caching on, `t` cached), the current frame
//      (t == c), the return window (w0 <= t <= w1); the decoder is untouched;
//   2. decode on from `d` when a frame is buffered and d < t. With the cache
//      filling (every frame passed is stored) that holds however far ahead t
//      lies. Without it, a keyframe K' in (d + 1 + S, t] makes a seek to K'
//      cheaper than decoding d+1..K'-1 (S: the fixed cost of a seek in frame
//      decodes, kSeekCostFrames), and the reader goes to 3 instead;
//   3. otherwise (t behind the decoder, nothing buffered: a new reader or
//      after seek_to_start, or a skip ahead) reposition: t == 0 rewinds to the
//      start (seek(0), count from -1); t > 0 seeks to the keyframe K at or
//      before t and learns the index of the first frame from its timestamp's
//      rank in the stream's sorted timestamps (collected once by demuxing,
//      without decoding); a seek that lands past t is retried from the
//      keyframe before, then from the start; then decode on to t.
//      Without the cache, a step back (a backward walk) keeps the frames it
//      decodes from max(K, t - capacity + 1) to t in the return window,
//      decoded but not converted, so the steps after it cost a conversion
//      each; any route that decodes drops the window, and so do a rewind, a
//      renumbered timeline, close and a fork. Without the cache, on streams
//      whose frames reorder, the frames before the window (or before t) that
//      nothing references may be skipped by the decoder; frames are then
//      placed by their timestamps, and a frame that cannot be placed sends
//      the run back to the same keyframe without skipping.
// A decoder before frame 0 (a new reader, after seek_to_start) reaches t == 0
// by decoding on: it stands where a rewind would put it.
// Frames between the landing point and `t` are converted only when they go
// into the cache. `get_next` wants c + 1 and goes through the same routes when
// the decoder is not at c, or when it runs single-threaded; it never reads or
// writes the cache.
//
// Threads per run (kernels/frame_timeline.hpp): a run from keyframe K to t of
// at most kShortRunFrames frames, and a new reader's first frames, decode on
// the single-threaded context; a longer run on the stream's own, frame-
// threaded one. A single-threaded run asked for its next frame (playback)
// goes back to frame threads through a keyframe seek, to K again or to the
// next keyframe, whichever costs less (threads_switch_keyframe).

namespace {

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

// When a run from the start yields its first frame, timeline entries before that
// frame's timestamp are frames this decoder never outputs: forget them, so
// that ranks and counting agree. Frames cached under the old ranks go too.
void align_timeline(Reader& r, PyObject* first_frame) {
  NativeState& ns = r.native();
  FrameTimeline& tl = ns.timeline;
  if (!tl.usable()) return;
  // Should anything here fail, the timeline is forgotten (collected again when
  // next needed) rather than left unaligned beside a cache under either ranks.
  try {
    auto pts = frame_pts(first_frame);
    if (!pts) return;
    long long rank = tl.rank(*pts);
    if (rank <= 0) return;
    call_method(r.get("_frame_cache").get(), "clear");
    ns.cache_bytes = 0;
    drop_window(r);
    tl.drop_leading(static_cast<std::size_t>(rank));
  } catch (const PyErrorSet&) {
    tl.reset();
    throw;
  }
}

// Collects the stream's timeline by demuxing every packet once from the start
// (no decoding). Returns the number of frames when the packets make it
// certain that decoding outputs one frame per packet: every packet timed and
// none corrupt, discarded or empty before the end, the first one (in decoding
// order) and the earliest presented one keyframes, no timestamp twice, the
// stream demuxed to its end. Collecting moves the container, so the decoder's
// position is lost.
std::optional<long long> collect_timeline(Reader& r, PyObject* container, bool from_start) {
  NativeState& ns = r.native();
  r.set_decoder_pos(std::nullopt);
  ns.timeline.reset();
  Ref stream = pyav::video_stream(container);
  if (!from_start) pyav::seek_to_zero(container);
  Ref packets = call_method(container, "demux", stream.get());
  Ref it = check(PyObject_GetIter(packets.get()));
  long long counted = 0;
  bool certain = true, empty_seen = false;
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref packet(raw);
    if (as_ll(attr(packet.get(), "size").get()) <= 0) {  // the flush packet
      empty_seen = true;
      continue;
    }
    if (empty_seen) certain = false;  // an empty packet before the end
    if (truthy(attr(packet.get(), "is_discard").get())) {  // never output
      certain = false;
      continue;
    }
    bool keyframe = truthy(attr(packet.get(), "is_keyframe").get());
    if (counted++ == 0 && !keyframe) certain = false;  // a stream cut mid-group
    if (truthy(attr(packet.get(), "is_corrupt").get())) certain = false;
    Ref pts = attr(packet.get(), "pts");
    if (pts.get() == Py_None) {
      ns.timeline.add_untimed();
      continue;
    }
    ns.timeline.add(as_ll(pts.get()), keyframe);
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
  const FrameTimeline& tl = ns.timeline;
  if (certain && tl.usable() && tl.size() == static_cast<std::size_t>(counted) &&
      (counted == 0 || tl.is_keyframe(0)))
    return counted;
  return std::nullopt;
}

// The stream's timeline, collected once (see collect_timeline).
FrameTimeline& ensure_timeline(Reader& r) {
  NativeState& ns = r.native();
  if (ns.timeline.ready()) return ns.timeline;
  Ref c = r.container();
  collect_timeline(r, c.get(), false);

  // Packets the decoder drops when it starts from the beginning (frames before
  // the first keyframe of a stream cut mid-group) have timestamps too: align the
  // timeline on the first frame that decoding from the start really outputs.
  // A stream whose earliest frame is a keyframe has no such frames: probing
  // it would only cost a decode (a pipeline fill with frame threads).
  if (ns.timeline.usable() && ns.timeline.size() > 0 && !ns.timeline.is_keyframe(0)) {
    pyav::seek_to_zero(c.get());
    Ref probe = Ref::borrow(rewind_decoder(r, c.get()));
    PyObject* first = PyIter_Next(probe.get());
    if (first) {
      Ref held(first);
      align_timeline(r, held.get());
    } else if (PyErr_Occurred()) {
      // The same error will meet the decoding itself; an interrupt or
      // MemoryError goes to the caller now.
      if (!clear_ordinary_error()) throw PyErrorSet{};
    }
  }
  return ns.timeline;
}

// --- The return window -------------------------------------------------------

// The bytes a decoded frame holds, estimated from its pixel format and size
// (kernels/frame_timeline.hpp); the frame's planes are not enumerated (cheaper,
// and PyAV's `planes` is not safe when an allocation fails inside it).
long long frame_bytes(PyObject* frame) {
  Ref format = attr(frame, "format");
  Ref name = attr(format.get(), "name");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!text) throw PyErrorSet{};
  return decoded_frame_bytes(std::string_view(text, static_cast<std::size_t>(size)),
                             as_ll(attr(frame, "width").get()), as_ll(attr(frame, "height").get()));
}

// How many frames the next window may hold: by the size of the frames kept
// (one stream, one size), or by an 8-bit 4:2:0 frame of the stream's size
// before any was.
long long window_capacity(Reader& r) {
  NativeState& ns = r.native();
  long long per_frame = ns.window_frame_bytes;
  if (per_frame <= 0) per_frame = std::max(1LL, r.get_ll("_width") * r.get_ll("_height") * 3 / 2);
  return kWindowBytes / per_frame;
}

// Keeps decoded frame `index` in the window (after the frames it holds, or
// starting anew when it does not follow them), dropping the oldest frames
// while the window holds more than its bytes.
void window_push(Reader& r, PyObject* frame, long long index) {
  NativeState& ns = r.native();
  long long bytes = ns.window_frame_bytes > 0 ? ns.window_frame_bytes : frame_bytes(frame);
  if (ns.window && index != ns.window_last() + 1) drop_window(r);
  if (!ns.window) {
    ns.window = check(PyList_New(0));
    ns.window_first = index;
  }
  check_status(PyList_Append(ns.window.get(), frame));
  ns.window_sizes.push_back(bytes);
  ns.window_bytes += bytes;
  ns.window_frame_bytes = bytes;
  while (ns.window_bytes > kWindowBytes && ns.window_sizes.size() > 1) {
    check_status(PySequence_DelItem(ns.window.get(), 0));
    ns.window_bytes -= ns.window_sizes.front();
    ns.window_sizes.pop_front();
    ++ns.window_first;
  }
}

void serve_from_window(Reader& r, long long target) {
  NativeState& ns = r.native();
  Ref window = ns.window;  // held: converting releases the GIL
  PyObject* frame = PyList_GET_ITEM(window.get(), target - ns.window_first);
  Ref held = Ref::borrow(frame);
  make_current(r, held.get(), target, false);
}

// --- Runs of decoding ---------------------------------------------------------

// A run that skips unreferenced frames met a frame its timestamp cannot place
// (or the target went missing): the run is redone without skipping.
struct SkipLost {};

// The next frame of a run that may skip frames, identified by its timestamp
// (it must lie after `d` and not past `target`).
Ref advance_ranked(Reader& r, PyObject* decoder, long long& d, long long target) {
  Ref f = next_frame(r, decoder);
  if (!f) return f;
  auto pts = frame_pts(f.get());
  long long index = pts ? r.native().timeline.rank(*pts) : -1;
  if (index <= d || index > target) {
    r.set_decoder_pos(std::nullopt);
    throw SkipLost{};
  }
  r.set_decoder_pos(index);
  d = index;
  return f;
}

// Decodes from where the decoder stands up to `target`. `pending` is a frame
// already decoded (the landing frame of a seek) not yet converted. Frames go
// to the cache when `store`, and frames from `keep_from` on to the return
// window; with `ranked`, frames are identified by their timestamps (frames
// may have been skipped), otherwise counted.
Reached decode_run(Reader& r, long long target, bool store, Ref pending, long long pending_idx,
                   long long keep_from = -1, bool ranked = false) {
  Ref decoder = r.get("_decoder");
  long long d = r.decoder_pos().value_or(-1);
  auto take = [&](Ref f, long long index) {
    if (store) {
      make_current(r, f.get(), index, true);
      pending = Ref();
      return;
    }
    if (keep_from >= 0 && index >= keep_from) window_push(r, f.get(), index);
    pending = std::move(f);
    pending_idx = index;
  };
  if (pending) take(std::move(pending), pending_idx);
  while (d < target) {
    Ref f = ranked ? advance_ranked(r, decoder.get(), d, target) : advance_one(r, decoder.get(), d);
    if (!f) {
      r.set_decoder_pos(std::nullopt);
      r.set_flag("_at_end", true);
      if (pending) make_current(r, pending.get(), pending_idx, false);
      return Reached::End;
    }
    take(std::move(f), d);
  }
  if (ranked) set_frame_decoder_skip(decoder.get(), std::nullopt);
  if (pending) make_current(r, pending.get(), pending_idx, store);
  return Reached::Frame;
}

// Rewinds to the start and decodes frame 0 on to `target`, skipping the
// unreferenced frames before route.skip_below (placed by their timestamps; a
// frame that cannot be placed sends the run back to the start without).
Reached restart_run(Reader& r, long long target, bool store, const Route& route) {
  const FrameTimeline& tl = r.native().timeline;
  bool skipping = route.skip_below > 0 && tl.usable() &&
                  static_cast<std::size_t>(route.skip_below) < tl.size();
  if (skipping) {
    PyObject* decoder = rewind_to_start(r, !route.threads);
    r.set_none("_current_frame");
    set_frame_decoder_skip(decoder, tl.pts(static_cast<std::size_t>(route.skip_below)));
    try {
      return decode_run(r, target, store, Ref(), -1, route.keep_from, true);
    } catch (const SkipLost&) {
    }
  }
  restart(r, !route.threads);
  return decode_run(r, target, store, Ref(), -1, route.keep_from);
}

// Seeks to the route's keyframe and decodes on to `target`, skipping the
// unreferenced frames before route.skip_below. The first frame's index comes
// from its timestamp; a seek that lands past the target is retried from the
// keyframe before, then from the start.
Reached seek_run(Reader& r, long long target, bool store, const Route& route) {
  FrameTimeline& tl = r.native().timeline;
  auto k = static_cast<std::size_t>(route.keyframe);
  bool skipping = route.skip_below > route.keyframe;
  Ref c = r.container();
  Ref stream = pyav::video_stream(c.get());
  for (int attempt = 0; attempt < 4 && k > 0; ++attempt) {
    r.set_decoder_pos(std::nullopt);
    pyav::seek_keyframe(c.get(), tl.pts(k), stream.get());
    Ref decoder = Ref::borrow(rewind_decoder(r, c.get(), !route.threads));
    if (skipping)
      set_frame_decoder_skip(decoder.get(), tl.pts(static_cast<std::size_t>(route.skip_below)));
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
      try {
        return decode_run(r, target, store, std::move(first), landed, route.keep_from, skipping);
      } catch (const SkipLost&) {
        skipping = false;  // the same keyframe again, every frame decoded
        continue;
      }
    }
    k = tl.keyframe_at_or_before(k - 1);  // landed past the target: one keyframe earlier
  }
  Route from_start = route;
  from_start.threads = route.threads || !short_run(0, target);
  from_start.skip_below = 0;  // a stream the timeline did not place: every frame, counted
  return restart_run(r, target, store, from_start);
}

// What the reader holds, for plan_route.
ReaderView view_of(Reader& r, long long target, bool store, bool buffered) {
  NativeState& ns = r.native();
  ReaderView v;
  v.target = target;
  v.buffered = buffered;
  v.current = buffered ? r.get_ll("_current_frame_idx") : -1;
  std::optional<long long> d = r.decoder_pos();
  v.decoder_known = d.has_value();
  v.decoder = d.value_or(-1);
  PyObject* decoder = r.find("_decoder");
  v.decoder_single = decoder && frame_decoder_single_threaded(decoder);
  v.filling_cache = store;
  v.window_first = ns.window ? ns.window_first : -1;
  v.window_last = ns.window_last();
  // Only a step back can take a window: forward steps (the hot path) skip the lookup.
  v.window_capacity = !store && buffered && target < v.current ? window_capacity(r) : 0;
  return v;
}

}  // namespace

void drop_window(Reader& r) {
  NativeState& ns = r.native();
  if (!ns.window) return;
  Ref held = std::move(ns.window);
  ns.window_first = -1;
  ns.window_bytes = 0;
  ns.window_sizes.clear();
}

PyObject* rewind_decoder(Reader& r, PyObject* container, bool single_threaded) {
  PyObject* current = r.find("_decoder");
  if (!current || !is_frame_decoder_over(current, container)) {
    r.set("_decoder", new_frame_decoder(container));
    current = r.find("_decoder");
  }
  rewind_frame_decoder(current, single_threaded);
  return current;
}

std::optional<std::int64_t> frame_pts(PyObject* frame) {
  Ref pts = attr(frame, "pts");
  if (pts.get() == Py_None || !PyLong_Check(pts.get())) return std::nullopt;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(pts.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (overflow) return std::nullopt;
  return v;
}

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

PyObject* rewind_to_start(Reader& r, bool single_threaded) {
  Ref c = r.container();
  drop_window(r);
  r.set_decoder_pos(std::nullopt);
  pyav::seek_to_zero(c.get());
  PyObject* decoder = rewind_decoder(r, c.get(), single_threaded);
  r.set_ll("_current_frame_idx", -1);
  r.set_flag("_at_end", false);
  r.set_decoder_pos(-1);
  return decoder;
}

void restart(Reader& r, bool single_threaded) {
  rewind_to_start(r, single_threaded);
  r.set_none("_current_frame");
}

void make_current(Reader& r, PyObject* frame, long long index, bool store) {
  Ref bgr = pyav::to_bgr(frame);
  if (store) cache_store(r, index, bgr.get());
  r.set_current(bgr.get(), index);
}

Ref advance_one(Reader& r, PyObject* decoder, long long& d) {
  // The new position is made before the decoder moves, and should storing it
  // fail the position is marked lost: never a moved decoder at its old index.
  Ref next_pos = integer(d + 1);
  Ref f = next_frame(r, decoder);
  if (!f) return f;
  try {
    r.set("_decoder_idx", next_pos);
  } catch (const PyErrorSet&) {
    r.lose_decoder_pos();
    throw;
  }
  ++d;
  if (d == 0) align_timeline(r, f.get());
  return f;
}

Reached decode_to(Reader& r, long long target, bool store, bool buffered) {
  Ref hit = store ? cache_lookup(r, target) : Ref();
  for (;;) {
    ReaderView view = view_of(r, target, store, buffered);
    view.cached = static_cast<bool>(hit);
    Route route = plan_route(r.native().timeline, view);
    switch (route.kind) {
      case RouteKind::Cache:
        r.set_current(hit.get(), target);
        served(r);
        return Reached::Frame;
      case RouteKind::Current:
        served(r);
        return Reached::Frame;
      case RouteKind::Window:
        serve_from_window(r, target);
        served(r);
        return Reached::Frame;
      case RouteKind::CollectTimeline:
        ensure_timeline(r);
        continue;  // collecting moved the container: plan again
      case RouteKind::DecodeOn:
        drop_window(r);
        return decode_run(r, target, store, Ref(), -1);
      case RouteKind::Restart:
        drop_window(r);
        return restart_run(r, target, store, route);
      case RouteKind::Seek:
        drop_window(r);
        return seek_run(r, target, store, route);
    }
  }
}

void served(Reader& r) {
  PyObject* at_end = r.find("_at_end");
  if (at_end && at_end != Py_False) r.set_flag("_at_end", false);
}

std::optional<long long> count_frames_by_demuxing(Reader& r, PyObject* container) {
  return collect_timeline(r, container, true);
}

bool decoding_single_threaded(Reader& r) {
  PyObject* decoder = r.find("_decoder");
  return decoder && frame_decoder_single_threaded(decoder);
}

}  // namespace vr::mp4
