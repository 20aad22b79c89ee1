#pragma once
// Marker tracking: markers are seeded from the first frame's targets, then every frame
// each marker takes its nearest target within a gate and moves its two positions.

#include <vector>

#include <opencv2/core.hpp>

namespace dottrack {

// Most targets a call of `updateMaker` considers: the room of its claim counts.
constexpr int maxTargets = 30;

// Creates one marker per target: both positions on the target, `assignment` sized to match.
void seedMarkers(const std::vector<cv::Point2f>& targets, std::vector<cv::Point2f>& refMarkers,
                 std::vector<cv::Point2f>& markers, std::vector<int>& assignment);

// One tracking step. Each marker claims its nearest target within 30 px of its tracked
// position; a target claimed twice or more stays with its nearest claimant and the others
// hold nothing this frame (`assignment` -1). Then a marker that holds a target moves its
// tracked position a fifth of the way to it and its reference position by a weight that
// falls with the reference's distance to it; a marker without one relaxes its tracked
// position a twentieth of the way back to its reference. With no targets nothing moves.
//
// Lists of unequal length are handled safely: only the first 30 targets are considered,
// the markers are those that have both positions, and `assignment` is resized to them.
void updateMaker(const std::vector<cv::Point2f>& targets, std::vector<cv::Point2f>& refMarkers,
                 std::vector<cv::Point2f>& markers, std::vector<int>& assignment);

// Distance between two positions as tracking measures it: coordinate differences in
// single precision, their squares, sum and root in double precision.
double trackingDistance(cv::Point2f a, cv::Point2f b);

}  // namespace dottrack
