// The frame timeline: presentation ranks from timestamps collected in decode
// order, keyframe lookups, and the choice between decoding on and a seek.

#include <doctest/doctest.h>

#include <cstdint>
#include <set>

#include "kernels/frame_timeline.hpp"

namespace {

constexpr std::int64_t kStart = 1001;  // a stream that does not start at 0
std::int64_t pts_at(std::size_t index) { return kStart + static_cast<std::int64_t>(index) * 512; }

// `n` frames fed in decode order with B-frames (each group of three presented
// after the reference frame decoded first), keyframes at the given
// presentation indices; `untimed` adds a frame without a timestamp.
vr::FrameTimeline reordered(std::size_t n, const std::set<std::size_t>& keyframes, bool untimed = false) {
  vr::FrameTimeline tl;
  for (std::size_t g = 0; g < n; g += 3)
    for (std::size_t i : {g + 2, g, g + 1})
      if (i < n) tl.add(pts_at(i), keyframes.count(i) > 0);
  if (untimed) tl.add_untimed();
  tl.finish();
  return tl;
}

}  // namespace

TEST_CASE("ranks follow presentation order whatever the decode order; unknown timestamps have none") {
  const auto tl = reordered(31, {0, 12});
  REQUIRE((tl.usable() && tl.size() == 31));
  for (std::size_t i = 0; i < 31; ++i) {
    INFO("index ", i);
    CHECK(tl.rank(pts_at(i)) == static_cast<long long>(i));
    CHECK(tl.rank(pts_at(i) + 1) == -1);
  }
  for (std::int64_t unknown : {std::int64_t{0}, kStart - 512, pts_at(31)}) CHECK(tl.rank(unknown) == -1);
}

TEST_CASE("keyframe lookups at, between and past keyframes, with and without a keyframe first") {
  const auto tl = reordered(30, {0, 10, 20});
  const std::pair<std::size_t, std::size_t> cases[] = {{9, 0}, {10, 10}, {11, 10}, {19, 10}, {20, 20}, {1000, 20}};
  for (auto [index, expected] : cases) CHECK(tl.keyframe_at_or_before(index) == expected);
  for (std::size_t i : {9, 10, 11}) CHECK(tl.is_keyframe(i) == (i == 10));
  const auto cut = reordered(12, {4, 8});  // a stream cut mid-group
  CHECK((cut.keyframe_at_or_before(3) == 0 && !cut.is_keyframe(0)));
  CHECK((cut.keyframe_at_or_before(4) == 4 && cut.keyframe_at_or_before(7) == 4));
}

TEST_CASE("drop_leading shifts ranks and keyframes down and forgets the frames dropped") {
  auto tl = reordered(12, {2, 5, 9});
  tl.drop_leading(2);
  REQUIRE(tl.size() == 10);
  CHECK((tl.rank(pts_at(1)) == -1 && tl.rank(pts_at(2)) == 0 && tl.rank(pts_at(11)) == 9));
  CHECK((tl.is_keyframe(0) && tl.keyframe_at_or_before(6) == 3 && tl.keyframe_at_or_before(7) == 7));
  tl.drop_leading(50);
  CHECK((tl.size() == 0 && tl.rank(pts_at(11)) == -1));
}

TEST_CASE("a keyframe seek is chosen exactly when more than the seek cost of frames lies before the keyframe") {
  const auto tl = reordered(60, {0, 20, 40});
  for (long long target : {20, 25, 39}) {  // keyframe 20: cheaper when 20 - d - 1 > cost
    INFO("target ", target);
    CHECK(vr::keyframe_seek_is_cheaper(tl, 15, target, 3.0));
    CHECK_FALSE(vr::keyframe_seek_is_cheaper(tl, 16, target, 3.0));
    CHECK(vr::keyframe_seek_is_cheaper(tl, 16, target, 2.5));
    CHECK(vr::keyframe_seek_is_cheaper(tl, -1, target, 3.0));  // a decoder before frame 0
  }
  CHECK_FALSE(vr::keyframe_seek_is_cheaper(tl, -1, 19, 3.0));  // only keyframe 0 before it
  CHECK_FALSE(vr::keyframe_seek_is_cheaper(tl, 25, 39, 3.0));  // the keyframe is behind the decoder
  CHECK(vr::keyframe_seek_is_cheaper(tl, 25, 40, 3.0));
  CHECK_FALSE(vr::keyframe_seek_is_cheaper(tl, 30, 25, 3.0));  // backward
  CHECK_FALSE(vr::keyframe_seek_is_cheaper(tl, 0, 60, 3.0));   // past the timeline
  CHECK_FALSE(vr::keyframe_seek_is_cheaper(reordered(60, {0, 20, 40}, true), 0, 30, 3.0));
  // Any seek needs more than cost + 1 frames between position and target.
  CHECK((vr::jump_may_warrant_seek(0, 5, 3.0) && vr::jump_may_warrant_seek(-1, 4, 3.0)));
  CHECK_FALSE(vr::jump_may_warrant_seek(0, 4, 3.0));
}

TEST_CASE("keyframe_after finds the next group, or the end") {
  const auto tl = reordered(30, {0, 10, 20});
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 10}, {9, 10}, {10, 20}, {19, 20}, {20, 30}, {29, 30}};
  for (auto [index, expected] : cases) CHECK(tl.keyframe_after(index) == expected);
}

TEST_CASE("a single-threaded run goes back to frame threads only on a playback step that pays") {
  const auto tl = reordered(100, {0, 25, 50, 75});
  CHECK((vr::short_run(25, 30) && !vr::short_run(25, 31)));  // 6 frames single-threaded, 7 with threads
  // A forward jump is random access: never a switch, whatever the distance.
  for (long long target : {3, 12, 24, 40, 99}) CHECK(vr::threads_switch_keyframe(tl, 1, target, false, 3.0) == -1);
  // At the start of a group, decoding its first frames again costs less than the rest gains.
  CHECK(vr::threads_switch_keyframe(tl, 0, 1, false, 3.0) == 0);
  CHECK(vr::threads_switch_keyframe(tl, 26, 27, false, 3.0) == 25);
  // Late in a group, the switch waits for the next keyframe: 0.8 (d - K + 1) < 0.2 (next - d - 1).
  CHECK(vr::threads_switch_keyframe(tl, 28, 29, false, 3.0) == 25);   // redo 3.2 < gain 4.2
  CHECK(vr::threads_switch_keyframe(tl, 29, 30, false, 3.0) == -1);   // redo 4.0, gain 4.0
  CHECK(vr::threads_switch_keyframe(tl, 48, 49, false, 3.0) == -1);
  CHECK(vr::threads_switch_keyframe(tl, 49, 50, false, 3.0) == 50);   // the next frame is a keyframe
  CHECK(vr::threads_switch_keyframe(tl, 49, 50, true, 3.0) == 50);
  // ... unless the rest of the video is too short to pay for the seek: 0.2 (n - K) > cost.
  CHECK(vr::threads_switch_keyframe(tl, 74, 75, false, 3.0) == 75);   // 25 frames left: 5.0 > 3
  CHECK(vr::threads_switch_keyframe(tl, 74, 75, false, 6.0) == -1);
  // Nothing to decide without a usable timeline, past its end, or backward.
  CHECK(vr::threads_switch_keyframe(reordered(100, {0, 25}, true), 0, 1, false, 3.0) == -1);
  CHECK(vr::threads_switch_keyframe(tl, 99, 100, false, 3.0) == -1);
  CHECK(vr::threads_switch_keyframe(tl, 10, 10, false, 3.0) == -1);
  CHECK(vr::threads_switch_keyframe(tl, -1, 0, false, 3.0) == -1);
}

// --- plan_route: how a target is reached -------------------------------------

namespace {

// A reader after a forward pass to `at` on frame threads, nothing cached.
vr::ReaderView after_forward(long long at, long long target) {
  vr::ReaderView v;
  v.target = target;
  v.current = at;
  v.buffered = true;
  v.decoder_known = true;
  v.decoder = at;
  v.window_capacity = 40;
  return v;
}

}  // namespace

TEST_CASE("held frames come first: the cache, the current frame, the return window") {
  const auto tl = reordered(60, {0, 12, 24, 36, 48});
  auto v = after_forward(30, 20);
  v.cached = true;
  CHECK(vr::plan_route(tl, v).kind == vr::RouteKind::Cache);
  v = after_forward(30, 30);
  CHECK(vr::plan_route(tl, v).kind == vr::RouteKind::Current);
  v = after_forward(30, 20);
  v.window_first = 18;
  v.window_last = 22;
  CHECK(vr::plan_route(tl, v).kind == vr::RouteKind::Window);
  v.target = 17;  // just outside: a new run
  CHECK(vr::plan_route(tl, v).kind == vr::RouteKind::Seek);
}

TEST_CASE("a step back keeps a window from the keyframe, bounded by its capacity, and skips below it") {
  const auto tl = reordered(300, {0, 250});
  REQUIRE(tl.reordered());
  auto v = after_forward(299, 298);
  auto route = vr::plan_route(tl, v);
  CHECK(route.kind == vr::RouteKind::Seek);
  CHECK(route.keyframe == 250);
  CHECK(route.keep_from == 259);  // the last 40 frames up to the target
  CHECK(route.skip_below == 259);
  CHECK(route.threads);
  v.window_capacity = 100;
  route = vr::plan_route(tl, v);
  CHECK(route.keep_from == 250);  // the whole group fits
  CHECK(route.skip_below == 250);

  // A long group: the last `capacity` frames before the target.
  v = after_forward(249, 248);
  route = vr::plan_route(tl, v);
  CHECK(route.kind == vr::RouteKind::Restart);  // the group of frame 0
  CHECK(route.keep_from == 248 - 40 + 1);

  v = after_forward(200, 199);
  v.current = 209;  // served from a window, the decoder further on
  v.decoder = 249;
  CHECK(vr::plan_route(tl, v).keep_from == -1);  // 10 back from the frame shown: a jump
  v.current = 200;
  route = vr::plan_route(tl, v);
  CHECK(route.keep_from == 160);
  CHECK(route.kind == vr::RouteKind::Restart);
}

TEST_CASE("jumps back take no window and skip up to the target; with the cache filling nothing is skipped") {
  const auto tl = reordered(120, {0, 30, 60, 90});
  auto v = after_forward(110, 70);
  auto route = vr::plan_route(tl, v);
  CHECK(route.kind == vr::RouteKind::Seek);
  CHECK(route.keyframe == 60);
  CHECK(route.keep_from == -1);
  CHECK(route.skip_below == 70);
  v.filling_cache = true;
  v.window_capacity = 0;
  route = vr::plan_route(tl, v);
  CHECK(route.skip_below == 0);
  CHECK(route.keep_from == -1);
  // A step back with the cache filling (the frame not cached) is a plain seek.
  v = after_forward(110, 109);
  v.filling_cache = true;
  CHECK(vr::plan_route(tl, v).keep_from == -1);
}

TEST_CASE("streams whose frames do not reorder never skip") {
  vr::FrameTimeline tl;
  for (std::size_t i = 0; i < 60; ++i) tl.add(pts_at(i), i % 20 == 0);
  tl.finish();
  REQUIRE(!tl.reordered());
  auto route = vr::plan_route(tl, after_forward(50, 30));
  CHECK(route.kind == vr::RouteKind::Seek);
  CHECK(route.skip_below == 0);
  route = vr::plan_route(tl, after_forward(50, 49));
  CHECK(route.keep_from == 40);
  CHECK(route.skip_below == 0);
}

TEST_CASE("forward: decode on, a seek past a distant keyframe, or the timeline first") {
  const auto tl = reordered(120, {0, 30, 60, 90});
  CHECK(vr::plan_route(tl, after_forward(10, 11)).kind == vr::RouteKind::DecodeOn);
  CHECK(vr::plan_route(tl, after_forward(10, 29)).kind == vr::RouteKind::DecodeOn);
  auto route = vr::plan_route(tl, after_forward(10, 65));
  CHECK(route.kind == vr::RouteKind::Seek);
  CHECK(route.keyframe == 60);
  CHECK(!route.threads);  // a short run from the keyframe
  vr::FrameTimeline none;
  CHECK(vr::plan_route(none, after_forward(10, 65)).kind == vr::RouteKind::CollectTimeline);
  CHECK(vr::plan_route(none, after_forward(10, 12)).kind == vr::RouteKind::DecodeOn);
  auto v = after_forward(10, 65);
  v.filling_cache = true;  // every frame on the way is wanted
  CHECK(vr::plan_route(tl, v).kind == vr::RouteKind::DecodeOn);
}

TEST_CASE("a new reader reaches frame 0 by decoding on; a lost decoder repositions") {
  const auto tl = reordered(60, {0, 12, 24});
  vr::ReaderView fresh;
  fresh.decoder_known = true;
  fresh.decoder = -1;
  fresh.target = 0;
  CHECK(vr::plan_route(tl, fresh).kind == vr::RouteKind::DecodeOn);
  fresh.target = 30;
  auto route = vr::plan_route(tl, fresh);
  CHECK(route.kind == vr::RouteKind::Seek);
  CHECK(route.keyframe == 24);
  auto lost = after_forward(20, 21);
  lost.decoder_known = false;
  CHECK(vr::plan_route(tl, lost).kind == vr::RouteKind::Seek);
  lost.target = 0;
  CHECK(vr::plan_route(tl, lost).kind == vr::RouteKind::Restart);
}

TEST_CASE("a single-threaded run asked for its next frame goes back to frame threads") {
  const auto tl = reordered(120, {0, 30, 60, 90});
  auto v = after_forward(31, 32);
  v.decoder_single = true;
  auto route = vr::plan_route(tl, v);
  CHECK(route.kind == vr::RouteKind::Seek);
  CHECK(route.keyframe == 30);
  CHECK(route.threads);
  CHECK(route.skip_below == 32);
  vr::FrameTimeline none;  // a new reader's first frames: back to frame 0
  v = after_forward(0, 1);
  v.decoder_single = true;
  CHECK(vr::plan_route(none, v).kind == vr::RouteKind::Restart);
}

TEST_CASE("a run from the start skips like a seek; a rewind to frame 0 has nothing to skip") {
  const auto tl = reordered(120, {0, 60});
  auto route = vr::plan_route(tl, after_forward(110, 40));
  CHECK(route.kind == vr::RouteKind::Restart);
  CHECK(route.skip_below == 40);
  route = vr::plan_route(tl, after_forward(41, 40));
  CHECK(route.kind == vr::RouteKind::Restart);
  CHECK(route.keep_from == 1);
  CHECK(route.skip_below == 1);
  route = vr::plan_route(tl, after_forward(50, 0));
  CHECK(route.kind == vr::RouteKind::Restart);
  CHECK(route.skip_below == 0);
}

TEST_CASE("decoded frame bytes by pixel format: exact for planar YUV, an upper bound otherwise") {
  CHECK(vr::decoded_frame_bytes("yuv420p", 1280, 720) == 1280 * 720 * 3 / 2);
  CHECK(vr::decoded_frame_bytes("yuvj420p", 64, 48) == 64 * 48 * 3 / 2);
  CHECK(vr::decoded_frame_bytes("yuv420p10le", 1920, 1080) == 1920 * 1080 * 3);
  CHECK(vr::decoded_frame_bytes("nv12", 64, 48) == 64 * 48 * 3 / 2);
  CHECK(vr::decoded_frame_bytes("yuv422p", 64, 48) == 64 * 48 * 2);
  CHECK(vr::decoded_frame_bytes("yuv444p", 64, 48) == 64 * 48 * 3);
  CHECK(vr::decoded_frame_bytes("yuva420p", 64, 48) == 64 * 48 * 5 / 2);
  CHECK(vr::decoded_frame_bytes("gray", 64, 48) == 64 * 48);
  CHECK(vr::decoded_frame_bytes("bgr24", 64, 48) >= 64 * 48 * 3);
  CHECK(vr::decoded_frame_bytes("rgb48le", 64, 48) >= 64 * 48 * 6);
}
