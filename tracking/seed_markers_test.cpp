#include <gtest/gtest.h>

#include "tracking/tracking.h"

namespace dottrack {
namespace {

TEST(SeedMarkers, MarkersStartOnTheTargetsAndKeepAssignmentStorage) {
    const std::vector<cv::Point2f> targets{{1, 2}, {3, 4}, {5, 6}};
    std::vector<cv::Point2f> ref{{9, 9}};
    std::vector<cv::Point2f> markers;
    std::vector<int> assignment;
    assignment.reserve(30);
    const int* storage = assignment.data();
    seedMarkers(targets, ref, markers, assignment);
    EXPECT_EQ(ref, targets);
    EXPECT_EQ(markers, targets);
    EXPECT_EQ(assignment, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(assignment.data(), storage);
}

}  // namespace
}  // namespace dottrack
