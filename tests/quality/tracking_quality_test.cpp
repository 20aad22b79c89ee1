// How closely the markers follow the dots of the sample video, motion by motion, measured
// against the true dot centres that the sample generator knows.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <map>

#include "app/track_frame.h"
#include "app/video_input.h"
#include "tests/support/test_support.h"
#include "tools/sample/sample_scene.h"
#include "tracking/tracking.h"

namespace dottrack {
namespace {

struct ErrorStats {
    double sum = 0;
    double max = 0;
    int count = 0;
    void add(double error) {
        sum += error;
        max = std::max(max, error);
        ++count;
    }
    double mean() const { return count > 0 ? sum / count : 0; }
};

// Index of the true dot nearest to `position`.
int nearestDot(const std::vector<cv::Point2d>& dots, cv::Point2f position) {
    int nearest = 0;
    for (int dot = 1; dot < static_cast<int>(dots.size()); ++dot) {
        if (cv::norm(dots[dot] - cv::Point2d(position)) <
            cv::norm(dots[nearest] - cv::Point2d(position))) {
            nearest = dot;
        }
    }
    return nearest;
}

class TrackingQualityTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = test::makeTempDir("dottrack-quality"); }
    void TearDown() override { test::removeTree(dir_); }
    std::string dir_;
};

TEST_F(TrackingQualityTest, MarkersFollowTheirDotsThroughEveryMotion) {
    // The video goes through the real writer and decoder, as the tool would see it.
    const std::string video = dir_ + "/test.avi";
    const std::string command = std::string(DOTTRACK_SAMPLE_EXE) + " '" + video + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const SampleScene scene = makeScene(1);
    const int frameCount = sampleDefaultFrameCount;

    cv::VideoCapture capture(video);
    ASSERT_TRUE(capture.isOpened());
    cv::Mat frame;
    long position = 0;
    skipWarmup(capture, frame, position);
    TrackState state;
    prepareTrackState(state);

    // About two trips through the video (180 passes, then 203 a trip), so that the tracker
    // crosses the rewind too.
    const int passes = 400;
    std::vector<int> dotOfMarker;
    std::map<std::string, ErrorStats> trackedError;
    for (int pass = 0; pass < passes; ++pass) {
        const long frameIndex = readPassFrame(capture, frame, position);
        ASSERT_GE(frameIndex, 0);
        trackFrame(frame, pass == 0, state);
        const auto dots = dotCentresAt(scene, static_cast<int>(frameIndex), frameCount);
        if (pass == 0) {
            for (const cv::Point2f& marker : state.markers) {
                dotOfMarker.push_back(nearestDot(dots, marker));
                EXPECT_LT(cv::norm(dots[dotOfMarker.back()] - cv::Point2d(marker)), 5.0)
                    << "every marker starts on a dot (within its 8 x 8 block)";
            }
            std::vector<int> sorted = dotOfMarker;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end())
                << "no two markers start on the same dot";
        }
        const std::string motion = motionAt(static_cast<int>(frameIndex), frameCount);
        for (size_t marker = 0; marker < state.markers.size(); ++marker) {
            const cv::Point2d truth = dots[dotOfMarker[marker]];
            trackedError[motion].add(cv::norm(truth - cv::Point2d(state.markers[marker])));
        }
    }

    std::cout << "tracked position to true dot centre, px (" << passes << " passes):\n";
    for (const auto& [motion, stats] : trackedError) {
        std::cout << "  " << std::setw(9) << std::left << motion << " mean " << std::fixed
                  << std::setprecision(2) << stats.mean() << "  max " << stats.max << "  ("
                  << stats.count << " samples)\n";
    }
    // About 1.5 times what the tracker reaches here. The error at rest comes from the 8 x 8
    // block that a target is pinned to; in motion the tracked position also lags, by four
    // times the step per pass. A tracker that follows a fifth as fast, or never holds a
    // target, breaks several of these bounds.
    const std::map<std::string, std::pair<double, double>> bounds = {
        {"rest", {2.5, 8.0}},   {"translate", {6.5, 22.0}}, {"shear", {3.2, 8.0}},
        {"twist", {5.0, 20.0}}, {"press", {3.8, 10.0}},
    };
    ASSERT_EQ(trackedError.size(), bounds.size()) << "every motion of the sample was seen";
    for (const auto& [motion, stats] : trackedError) {
        EXPECT_LT(stats.mean(), bounds.at(motion).first) << motion;
        EXPECT_LT(stats.max, bounds.at(motion).second) << motion;
    }
}

}  // namespace
}  // namespace dottrack
