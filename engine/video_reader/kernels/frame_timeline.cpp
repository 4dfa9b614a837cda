#include "kernels/frame_timeline.hpp"

#include <algorithm>

namespace vr {

void FrameTimeline::reset() {
  pts_.clear();
  keyframes_.clear();
  pending_.clear();
  untimed_ = false;
  reordered_ = false;
  ready_ = false;
  usable_ = false;
}

void FrameTimeline::add(std::int64_t pts, bool keyframe) {
  if (!pending_.empty() && pts < pending_.back().first) reordered_ = true;
  pending_.emplace_back(pts, keyframe);
}

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

std::size_t FrameTimeline::keyframe_after(std::size_t index) const {
  auto it = std::upper_bound(keyframes_.begin(), keyframes_.end(), index);
  return it == keyframes_.end() ? pts_.size() : *it;
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

bool keyframe_seek_is_cheaper(const FrameTimeline& timeline, long long decoder_pos, long long target,
                              double seek_cost) {
  if (!timeline.usable() || target <= decoder_pos || target < 0) return false;
  if (static_cast<unsigned long long>(target) >= timeline.size()) return false;
  if (!jump_may_warrant_seek(decoder_pos, target, seek_cost)) return false;
  auto k = static_cast<long long>(timeline.keyframe_at_or_before(static_cast<std::size_t>(target)));
  return k > 0 && static_cast<double>(k - decoder_pos - 1) > seek_cost;
}

long long threads_switch_keyframe(const FrameTimeline& timeline, long long decoder_pos, long long target,
                                  bool keep_every_frame, double seek_cost) {
  if (!timeline.usable() || decoder_pos < 0 || target <= decoder_pos) return -1;
  const auto n = static_cast<long long>(timeline.size());
  if (target >= n) return -1;
  auto key_before = [&](long long i) {
    return static_cast<long long>(timeline.keyframe_at_or_before(static_cast<std::size_t>(i)));
  };
  // Only a playback step predicts a long run; a forward jump is random access.
  if (target != decoder_pos + 1) return -1;
  long long k = key_before(keep_every_frame ? decoder_pos + 1 : target);
  const double saving = 1.0 - kThreadedFrameCost;
  if (k > decoder_pos) return static_cast<double>(n - k) * saving > seek_cost ? k : -1;
  auto next = static_cast<long long>(timeline.keyframe_after(static_cast<std::size_t>(decoder_pos)));
  double redo = static_cast<double>(decoder_pos - k + 1) * kThreadedFrameCost;
  double gain = static_cast<double>(next - decoder_pos - 1) * saving;
  return redo < gain ? k : -1;
}

long long decoded_frame_bytes(std::string_view f, long long width, long long height) {
  auto has = [&](std::string_view part) { return f.find(part) != std::string_view::npos; };
  auto ends = [&](std::string_view tail) {
    return f.size() >= tail.size() && f.substr(f.size() - tail.size()) == tail;
  };
  const long long sample = ends("le") || ends("be") ? 2 : 1;  // more than 8 bits a sample
  long long quarters = 16;                                    // 4 bytes a pixel
  if (has("gray") || f == "y8")
    quarters = 4;
  else if (has("420") || has("nv12") || has("nv21") || has("p010") || has("p016") || has("411"))
    quarters = 6;
  else if (has("422") || has("nv16") || has("p210") || has("p216") || has("y210"))
    quarters = 8;
  else if (has("444") || has("nv24") || has("nv42") || has("p410") || has("p416") || has("gbrp"))
    quarters = 12;
  if (quarters < 16 && (has("yuva") || has("gbrap"))) quarters += 4;
  return width * height * quarters * sample / 4;
}

Route plan_route(const FrameTimeline& tl, const ReaderView& v) {
  const long long t = v.target;
  Route route;
  if (v.cached) return {RouteKind::Cache};
  if (v.buffered && t == v.current) return {RouteKind::Current};
  if (v.window_first >= 0 && t >= v.window_first && t <= v.window_last) return {RouteKind::Window};

  // Decoding on: a frame is buffered and the decoder stands before the target.
  // Without a cache to fill, a long jump ahead goes by a keyframe seek when
  // that is cheaper; a decoder before frame 0 stands where a rewind would put it.
  bool on = v.buffered && v.decoder_known && v.decoder < t;
  if (on && !v.filling_cache && jump_may_warrant_seek(v.decoder, t)) {
    if (!tl.ready()) return {RouteKind::CollectTimeline};
    on = !keyframe_seek_is_cheaper(tl, v.decoder, t);
  }
  if (!on && t == 0 && v.decoder_known && v.decoder == -1) on = true;
  if (on) {
    // A single-threaded run asked for its next frame turns into playback: it
    // goes back to frame threads when that pays (threads_switch_keyframe).
    // Without a timeline (a new reader's first frames) an early playback step
    // rewinds to the start: frame 0 again costs less than the group gains.
    if (v.decoder >= 0 && v.decoder_single) {
      long long key = tl.usable() ? threads_switch_keyframe(tl, v.decoder, t, v.filling_cache)
                                  : (v.decoder <= 1 && t == v.decoder + 1 ? 0 : -1);
      if (key == 0) return {RouteKind::Restart};
      if (key > 0) {
        route.kind = RouteKind::Seek;
        route.keyframe = key;
        route.skip_below = v.filling_cache || !tl.reordered() ? 0 : t;
        return route;
      }
    }
    return {RouteKind::DecodeOn};
  }

  // Repositioning.
  const bool walking_back = !v.filling_cache && v.buffered && t < v.current &&
                            v.current - t <= kBackwardStepFrames && v.window_capacity > 1;
  if (t == 0) {
    route.kind = RouteKind::Restart;
    if (walking_back) route.keep_from = 0;
    return route;
  }
  if (!tl.ready()) return {RouteKind::CollectTimeline};
  if (!tl.usable() || tl.size() == 0) return {RouteKind::Restart};
  const auto goal = static_cast<std::size_t>(std::min<long long>(t, static_cast<long long>(tl.size()) - 1));
  const auto k = static_cast<long long>(tl.keyframe_at_or_before(goal));
  route.threads = !short_run(k, t);
  if (walking_back) route.keep_from = std::max(k, t - v.window_capacity + 1);
  route.kind = k == 0 ? RouteKind::Restart : RouteKind::Seek;
  route.keyframe = k;
  if (!v.filling_cache && tl.reordered()) route.skip_below = route.keep_from >= 0 ? route.keep_from : t;
  return route;
}

}  // namespace vr
