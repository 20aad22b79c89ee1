#include <gtest/gtest.h>

#include "tracking/tracking.h"

namespace dottrack {
namespace {

using Points = std::vector<cv::Point2f>;

struct Step {
    Points refMarkers;
    Points markers;
    std::vector<int> assignment;
};

Step track(const Points& targets, Points refMarkers, Points markers) {
    std::vector<int> assignment(markers.size(), 7);
    updateMaker(targets, refMarkers, markers, assignment);
    return {refMarkers, markers, assignment};
}

// Markers start on the targets, in the assignment list's own storage; on the first update
// each holds its own target, but of two on one point only the first.
TEST(SeedMarkers, MarkersStartOnTheTargetsAndHoldThemNext) {
    const Points targets{{0, 0}, {56, 0}, {0, 0}, {112, 56}};
    Points ref{{9, 9}}, tracked;
    std::vector<int> assignment;
    assignment.reserve(30);
    const int* storage = assignment.data();
    seedMarkers(targets, ref, tracked, assignment);
    EXPECT_EQ(ref, targets);
    EXPECT_EQ(tracked, targets);
    EXPECT_EQ(assignment.data(), storage);
    ASSERT_EQ(assignment.size(), targets.size());

    updateMaker(targets, ref, tracked, assignment);
    EXPECT_EQ(assignment, (std::vector<int>{0, 1, -1, 3}));
    for (int i : {0, 1, 3}) {
        // Distance 0: the two rounded terms may leave the reference one unit in the last
        // place off the target.
        EXPECT_NEAR(ref[i].x, targets[i].x, 1e-4);
        EXPECT_NEAR(ref[i].y, targets[i].y, 1e-4);
        EXPECT_EQ(tracked[i], targets[i]);
    }
}

// One marker, one target: the update's arithmetic to the exact float.
TEST(UpdateMaker, HeldTargetMovesBothPositionsExactly) {
    Step s = track({{103, 204}}, {{100, 200}}, {{101, 201}});
    EXPECT_EQ(s.assignment[0], 0);
    EXPECT_EQ(s.refMarkers[0], cv::Point2f(101.819595f, 202.42612f));
    EXPECT_EQ(s.markers[0], cv::Point2f(101.4f, 201.6f));

    s = track({{322, 241.5f}}, {{320, 240}}, {{321.5f, 238}});
    EXPECT_EQ(s.refMarkers[0], cv::Point2f(321.76498f, 241.32375f));
    EXPECT_EQ(s.markers[0], cv::Point2f(321.6f, 238.7f));

    // Below 2.5 px the weight stays that of 2.5 px; at 10 px it has fallen to exp(-2).
    EXPECT_EQ(track({{101, 200}}, {{100, 200}}, {{100, 200}}).refMarkers[0],
              cv::Point2f(100.8825f, 200));
    EXPECT_EQ(track({{110, 200}}, {{100, 200}}, {{100, 200}}).refMarkers[0],
              cv::Point2f(101.35335f, 200));
}

TEST(UpdateMaker, ReferenceStaysFromThirtyPixelsOnWhileTheTrackedPositionFollows) {
    // At the origin even the weight at 30 px, exp(-18), would move the reference.
    Step s = track({{0, 30}}, {{0, 0}}, {{0, 0}});
    EXPECT_EQ(s.assignment[0], 0) << "a target exactly 30 px away is held";
    EXPECT_EQ(s.refMarkers[0], cv::Point2f(0, 0));
    EXPECT_EQ(s.markers[0], cv::Point2f(0, 6));

    s = track({{135, 200}}, {{100, 200}}, {{120, 200}});
    EXPECT_EQ(s.assignment[0], 0);
    EXPECT_EQ(s.refMarkers[0], cv::Point2f(100, 200));
    EXPECT_EQ(s.markers[0], cv::Point2f(123, 200));
}

TEST(UpdateMaker, MarkerWithoutTargetRelaxesTowardsItsReference) {
    EXPECT_EQ(track({{100, 230.0001f}}, {{100, 200}}, {{100, 200}}).assignment[0], -1)
        << "just beyond the gate";
    const Step s = track({{500, 400}}, {{100, 200}}, {{110, 200}});
    EXPECT_EQ(s.assignment[0], -1);
    EXPECT_EQ(s.refMarkers[0], cv::Point2f(100, 200));
    EXPECT_EQ(s.markers[0], cv::Point2f(109.5f, 200));
    // With no target at all, nothing moves.
    const Step none = track({}, {{100, 200}, {300, 300}}, {{110, 200}, {305, 300}});
    EXPECT_EQ(none.assignment, (std::vector<int>{-1, -1}));
    EXPECT_EQ(none.markers, (Points{{110, 200}, {305, 300}}));
}

TEST(UpdateMaker, TiesGoToTheLowestTargetAndTheLowestMarker) {
    // Two targets 10 px from the marker: the first one listed wins.
    Step s = track({{100, 110}, {100, 90}}, {{100, 100}, {400, 400}}, {{100, 100}, {400, 400}});
    EXPECT_EQ(s.assignment[0], 0);
    // Two markers 10 px from one target: the first marker keeps it.
    s = track({{100, 100}, {300, 300}}, {{100, 110}, {100, 90}}, {{100, 110}, {100, 90}});
    EXPECT_EQ(s.assignment, (std::vector<int>{0, -1}));
}

TEST(UpdateMaker, ContestedTargetStaysWithItsNearestClaimantOnly) {
    const Points markers{{100, 112}, {100, 103}, {100, 107.5f}};
    Step s = track({{100, 100}, {600, 50}, {600, 150}}, markers, markers);
    EXPECT_EQ(s.assignment, (std::vector<int>{-1, 0, -1}));
    // The released markers relax towards their references, which are where they are.
    EXPECT_EQ(s.markers[0], markers[0]);
    EXPECT_EQ(s.markers[2], markers[2]);

    // However far within the gate its claimants are, the nearest keeps it.
    s = track({{100, 100}}, {{500, 300}, {100, 115}, {100, 120}},
              {{500, 300}, {100, 115}, {100, 120}});
    EXPECT_EQ(s.assignment, (std::vector<int>{-1, 0, -1}));

    // A released marker does not take its second choice: the second marker is nearer to
    // target 0 (5 px) than to the free target 1 (7 px).
    s = track({{100, 100}, {100, 112}}, {{100, 103}, {100, 105}}, {{100, 103}, {100, 105}});
    EXPECT_EQ(s.assignment, (std::vector<int>{0, -1}));
}

// Lists whose lengths disagree never read or write past an end (the address sanitizer
// build checks that): only the first 30 targets are candidates, and the markers are those
// with both positions.
TEST(UpdateMaker, ListsOfUnequalLengthAreHandledSafely) {
    Points targets(40, cv::Point2f(600, 450));
    targets[35] = cv::Point2f(100, 100);
    targets[3] = cv::Point2f(110, 100);
    EXPECT_EQ(track(targets, {{100, 100}}, {{100, 100}}).assignment, (std::vector<int>{3}));
    Points shortRef{{100, 100}};
    Points longMarkers{{100, 100}, {200, 200}};
    std::vector<int> assignment(5, 9);
    updateMaker({{100, 100}, {200, 200}}, shortRef, longMarkers, assignment);
    EXPECT_EQ(assignment, (std::vector<int>{0}));
}

TEST(TrackingDistance, SubtractsInFloatAndSumsInDouble) {
    EXPECT_EQ(trackingDistance({0, 0}, {3, 4}), 5.0);
    EXPECT_EQ(trackingDistance({3, 4}, {0, 0}), 5.0);
    // 16777217 is not a float: the difference is formed from the stored floats.
    const float a = 16777216.0f;
    EXPECT_EQ(trackingDistance({a, 0}, {0.5f, 0}), static_cast<double>(a - 0.5f));
}

}  // namespace
}  // namespace dottrack
