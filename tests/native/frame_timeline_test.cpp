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
