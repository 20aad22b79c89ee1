#include "tests/support/tracking_quality.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

namespace dottrack::test {

namespace {

// How far from the centre of its dot a marker may be seeded: a target is the darkest pixel
// of the 8 x 8 block found coarse, up to about 3 px from the centre.
constexpr double seedingReach = 5.0;

// Mean and largest error per motion, in px: about 1.5 times what the tracker leaves on the
// default sample. At rest the error comes from pinning targets to 8 x 8 blocks; in motion
// the tracked position also lags, by four times the step per pass. A tracker that follows
// a fifth as fast, never holds a target, or reseeds, breaks several of them.
const std::map<std::string, std::pair<double, double>> errorBounds = {
    {"rest", {2.5, 8.0}},   {"translate", {6.5, 24.0}}, {"shear", {3.2, 8.0}},
    {"twist", {5.0, 21.0}}, {"press", {3.8, 10.5}},
};

double distance(cv::Point2d a, cv::Point2f b) {
    return cv::norm(a - cv::Point2d(b));
}

}  // namespace

void addPass(TrackingQuality& quality, const std::string& motion,
             const std::vector<cv::Point2d>& dots, const std::vector<cv::Point2f>& markers) {
    ASSERT_FALSE(dots.empty());
    if (quality.dotOfMarker.empty()) {
        std::set<int> seeded;
        for (const cv::Point2f& marker : markers) {
            const auto nearest = std::min_element(
                dots.begin(), dots.end(), [&](const cv::Point2d& a, const cv::Point2d& b) {
                    return distance(a, marker) < distance(b, marker);
                });
            const int dot = static_cast<int>(nearest - dots.begin());
            EXPECT_LT(distance(*nearest, marker), seedingReach) << "marker at " << marker;
            EXPECT_TRUE(seeded.insert(dot).second) << "dot " << dot << " seeded twice";
            quality.dotOfMarker.push_back(dot);
        }
    }
    ASSERT_EQ(markers.size(), quality.dotOfMarker.size());
    MotionError& error = quality.errors[motion];
    for (size_t marker = 0; marker < markers.size(); ++marker) {
        const double e = distance(dots.at(quality.dotOfMarker[marker]), markers[marker]);
        error.sum += e;
        error.max = std::max(error.max, e);
        ++error.count;
    }
}

void expectTrackingQuality(const TrackingQuality& quality) {
    std::printf("tracked position to true dot centre, px:\n");
    for (const auto& [motion, error] : quality.errors) {
        std::printf("  %-10s mean %.3f  max %.3f  (%ld positions)\n", motion.c_str(), error.mean(),
                    error.max, error.count);
    }
    EXPECT_EQ(quality.errors.size(), errorBounds.size()) << "every motion of the sample seen";
    for (const auto& [motion, error] : quality.errors) {
        ASSERT_EQ(errorBounds.count(motion), 1u) << motion;
        EXPECT_LT(error.mean(), errorBounds.at(motion).first) << motion;
        EXPECT_LT(error.max, errorBounds.at(motion).second) << motion;
    }
}

}  // namespace dottrack::test
