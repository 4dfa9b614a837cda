// The frame timeline of a video stream, and the rule that chooses between
// decoding on and a keyframe seek.
//
// `FrameTimeline` is the stream's own list of presentation timestamps in
// presentation order, with keyframe flags. It answers "which index has the
// frame with this timestamp" and "where is the keyframe before index i".
// Plain C++ over integers, no interpreter; not thread-safe (the lazy MP4
// reader uses it under its lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace vr {

class FrameTimeline {
 public:
  // Collecting: one entry per frame, any order. A frame without a timestamp
  // makes the timeline unusable (indices cannot be derived from timestamps).
  void reset();
  void add(std::int64_t pts, bool keyframe);
  void add_untimed() { untimed_ = true; }
  // Sorts the entries by timestamp. The timeline is usable when every frame
  // had a timestamp and no two frames share one.
  void finish();

  bool ready() const { return ready_; }
  // Whether the frames were added out of presentation order (packets in
  // decoding order, with frames that reorder: B-frames).
  bool reordered() const { return reordered_; }
  bool usable() const { return ready_ && usable_; }
  std::size_t size() const { return pts_.size(); }
  std::int64_t pts(std::size_t index) const { return pts_[index]; }

  // Index of the frame presented at `pts`, or -1 when no frame has it.
  long long rank(std::int64_t pts) const;
  bool is_keyframe(std::size_t index) const;
  // The last keyframe index at or before `index` (0 when there is none).
  std::size_t keyframe_at_or_before(std::size_t index) const;
  // The first keyframe index after `index` (size() when there is none).
  std::size_t keyframe_after(std::size_t index) const;
  // Forgets the first `n` entries: frames the decoder never outputs when it
  // starts from the beginning of the stream.
  void drop_leading(std::size_t n);

 private:
  std::vector<std::int64_t> pts_;
  std::vector<std::size_t> keyframes_;  // sorted indices into pts_
  std::vector<std::pair<std::int64_t, bool>> pending_;
  bool untimed_ = false;
  bool reordered_ = false;
  bool ready_ = false;
  bool usable_ = false;
};

// The fixed cost of a keyframe seek, in units of one frame decoded in sequence:
// the seek itself, flushing the decoder and the landing keyframe's extra weight
// over an ordinary frame. Measured as (time to the landing frame - one
// sequential frame) / one sequential frame over every keyframe of H.264 clips
// at 512x512 and 1280x720: 2 to 3 frames on textured content when the run
// after the seek is decoded without frame threads, as the reader does (4 to 5
// with them, the pipeline fill); 1 to 1.5 on flat content, where a frame costs
// a fifth of a millisecond and a wrong choice near the boundary a millisecond.
constexpr double kSeekCostFrames = 3.0;

// Reaching `target` from a decoder that has produced frame `decoder_pos`
// (target > decoder_pos) by decoding on costs target - decoder_pos frames; a
// seek to the keyframe K at or before the target costs `seek_cost` plus the
// frames K..target. The seek is cheaper when K - decoder_pos - 1 > seek_cost:
// decided over the timeline's keyframes, false when the timeline is unusable
// or does not reach the target. Pure arithmetic over the table.
bool keyframe_seek_is_cheaper(const FrameTimeline& timeline, long long decoder_pos, long long target,
                              double seek_cost = kSeekCostFrames);

// Whether any seek could pay off for that jump, whatever the keyframes: only
// when more than `seek_cost` + 1 frames lie between the position and the
// target (so a short step never needs the timeline).
inline bool jump_may_warrant_seek(long long decoder_pos, long long target,
                                  double seek_cost = kSeekCostFrames) {
  return static_cast<double>(target - decoder_pos - 1) > seek_cost;
}

// Frame threads or not, per run of frames decoded from a keyframe. A frame-
// thread pipeline hands out its first frame only once it is full, and frames
// it decoded past the last one asked for are thrown away at the next seek; in
// exchange it decodes a long run faster (on 2 cores, a frame costs about 0.8
// of a single-threaded one). Measured on textured H.264 at 512x512 and 720p,
// keyframe seek plus a run of L frames, frame threads over single-threaded:
// 1.1x slower at L = 1, 0.96-1.06 at L = 4-6, 0.83-0.85 from L = 8 on (720p:
// 1.4x slower at L = 1-4, even at 8, faster from 12). So a run of at most
// kShortRunFrames frames, keyframe and target included, decodes single-
// threaded, and a longer one with frame threads.
constexpr long long kShortRunFrames = 6;
constexpr double kThreadedFrameCost = 0.8;

inline bool short_run(long long keyframe, long long target) {
  return target - keyframe + 1 <= kShortRunFrames;
}

// A single-threaded run that turns into playback (the next frame asked for,
// by get_next or get) goes back to frame threads through a keyframe seek; a
// forward jump does not (random access: the run after it is as short as
// before). From a decoder that has produced frame `decoder_pos`, asked for
// `target`, returns the keyframe to seek to, or -1 to decode on single-
// threaded. With `keep_every_frame` (a cache being filled), the seek never
// skips a frame: it goes to the keyframe at or before decoder_pos + 1, as it
// does anyway for a playback step. When that keyframe is the next frame,
// switching costs a seek, and the rest of the video must be long enough to
// pay for it. When it lies at or before the decoder, the frames from it up to
// the decoder are decoded again (with threads); that pays when the rest of
// the group gains more (the seek is paid either way, now or at the next
// keyframe).
long long threads_switch_keyframe(const FrameTimeline& timeline, long long decoder_pos, long long target,
                                  bool keep_every_frame, double seek_cost = kSeekCostFrames);

// --- How a target is reached ------------------------------------------------
//
// `plan_route` is the one rule that decides how the lazy reader reaches a
// frame: from what it holds (the frame cache, the current frame, the return
// window), by decoding on, by rewinding to the start, or by a keyframe seek,
// and on which decoder context; for a run from a keyframe also which frames go
// into the return window and which may be skipped. The reader carries the
// route out (mp4_positioning.cpp); this function only reads integers.
//
// The return window serves backward walks without the frame cache: a walk
// that steps back (at most kBackwardStepFrames behind the current frame) and
// misses decodes from the keyframe at or before the target up to the target
// once, and keeps the last decoded frames of that run (at most
// `window_capacity`, the frames that fit in kWindowBytes), so that the steps
// after it are served without decoding. A group longer than the window is
// decoded once per window-full. Any route that decodes drops the window.
//
// Skipping: on a run from a keyframe that does not fill the cache, the frames
// before `skip_below` are only decoded so that the target can be; those that
// no other frame references may be left out by the decoder, and every frame
// it does output is then identified by its timestamp (so the timeline must be
// usable, as it is for any keyframe seek). Only streams whose frames reorder
// skip: without B-frames every frame is usually a reference, and a damaged
// packet mistaken for an unreferenced one would turn a decoding error into a
// concealed picture.

// An upper estimate of the bytes a decoded frame of FFmpeg pixel format
// `pix_fmt` and size width x height holds (its planes' samples, rows unpadded):
// exact for the planar YUV formats (4:2:0 1.5 bytes a pixel, 4:2:2 2, 4:4:4 3,
// an alpha plane 1 more, twice that above 8 bits), 4 bytes a pixel (8 above
// 8 bits) for any other format.
long long decoded_frame_bytes(std::string_view pix_fmt, long long width, long long height);

// The bytes the return window may hold: a quarter of the frame cache's budget.
constexpr long long kWindowBytes = (1LL << 30) / 4;
// The largest step back that counts as a backward walk (a step back further
// than this is a jump: random access, no window).
constexpr long long kBackwardStepFrames = 8;

// What the reader holds when it is asked for frame `target`.
struct ReaderView {
  long long target = 0;
  long long current = -1;         // index of the buffered frame (-1: none)
  bool buffered = false;          // a current frame is held
  bool decoder_known = false;     // the decoder's position is known:
  long long decoder = -1;         //   the index of the last frame it produced (-1: before frame 0)
  bool decoder_single = false;    // the decoder runs on its single-threaded context
  bool cached = false;            // the frame cache holds the target
  bool filling_cache = false;     // the cache is on: every frame decoded is stored
  long long window_first = -1;    // the frames the return window holds (-1: none)
  long long window_last = -1;
  long long window_capacity = 0;  // frames the window may hold
};

enum class RouteKind {
  Cache,            // the cached frame
  Current,          // the buffered frame itself
  Window,           // the return window's frame
  DecodeOn,         // decode on from where the decoder stands
  Restart,          // rewind to the start, decode from frame 0
  Seek,             // seek to `keyframe`, decode from there
  CollectTimeline,  // the timeline is needed first (collecting it moves the decoder): plan again
};

struct Route {
  RouteKind kind = RouteKind::DecodeOn;
  long long keyframe = 0;    // Seek: the keyframe to land on
  bool threads = true;       // Restart, Seek: the run uses the frame-threaded context
  long long keep_from = -1;  // Restart, Seek: frames keep_from..target go to the return window
  long long skip_below = 0;  // Restart, Seek: frames before this index may be skipped when unreferenced
};

Route plan_route(const FrameTimeline& timeline, const ReaderView& view);

}  // namespace vr
