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
