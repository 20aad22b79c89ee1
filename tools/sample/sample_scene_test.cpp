#include "tools/sample/sample_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

const int defaultCount = sampleDefaultFrameCount;

// Middle frame of a motion in the default video: its largest excursion.
int peakFrameOf(const std::string& motion) {
    for (const MotionSpan& span : motionTimeline(defaultCount)) {
        if (span.motion == motion) {
            return span.first + span.count / 2;
        }
    }
    ADD_FAILURE() << "no " << motion << " in the timeline";
    return 0;
}

TEST(SampleScene, IsDeterministicPerSeed) {
    const SampleScene a = makeScene(7), b = makeScene(7), other = makeScene(8);
    const int f = peakFrameOf("twist");
    EXPECT_EQ(dotCentresAt(a, f, defaultCount), dotCentresAt(b, f, defaultCount));
    EXPECT_EQ(
        cv::norm(renderFrame(a, f, defaultCount), renderFrame(b, f, defaultCount), cv::NORM_INF),
        0);
    EXPECT_NE(dotCentresAt(a, f, defaultCount), dotCentresAt(other, f, defaultCount));
    // The pixel noise changes from frame to frame even while nothing moves.
    EXPECT_GT(
        cv::norm(renderFrame(a, 0, defaultCount), renderFrame(a, 1, defaultCount), cv::NORM_INF),
        0);
}

TEST(SampleScene, RendersRoundDarkDotsAtTheTrueCentres) {
    const SampleScene scene = makeScene(3);
    for (const char* motion : {"rest", "translate", "shear", "twist", "press"}) {
        const int f = peakFrameOf(motion);
        const cv::Mat frame = renderFrame(scene, f, defaultCount);
        ASSERT_EQ(frame.type(), CV_8UC3);
        ASSERT_EQ(frame.size(), cv::Size(sampleWidth, sampleHeight));
        for (const cv::Point2d& truth : dotCentresAt(scene, f, defaultCount)) {
            // Darkness, background minus frame in green + red as the tracker reads it, over
            // a window around the true centre: its centroid is the centre, and over the
            // core's contrast it is the dot's area (the anti-aliased rim adds or loses none).
            const int cx = cvRound(truth.x), cy = cvRound(truth.y);
            double sum = 0, sumX = 0, sumY = 0;
            for (int y = cy - 10; y <= cy + 10; ++y) {
                for (int x = cx - 10; x <= cx + 10; ++x) {
                    const cv::Vec3b p = frame.at<cv::Vec3b>(y, x);
                    const cv::Vec3f b = scene.background.at<cv::Vec3f>(y, x);
                    const double w = (b[1] + b[2]) - (p[1] + p[2]);
                    sum += w;
                    sumX += w * x;
                    sumY += w * y;
                }
            }
            EXPECT_LT(std::hypot(sumX / sum - truth.x, sumY / sum - truth.y), 0.3) << motion;
            const cv::Vec3b core = frame.at<cv::Vec3b>(cy, cx);
            const cv::Vec3f coreBackground = scene.background.at<cv::Vec3f>(cy, cx);
            EXPECT_LT(core[1] + core[2], 150);
            const double contrast = coreBackground[1] + coreBackground[2] - core[1] - core[2];
            const double area = CV_PI * scene.dotRadius * scene.dotRadius;
            EXPECT_NEAR(sum / contrast, area, 0.05 * area);
        }
    }
}

// Whatever its length, a video runs the motions in order between rests and ends at rest,
// so that it loops.
TEST(SampleTimeline, RunsTheMotionsInOrderAndEndsAtRest) {
    const SampleScene scene = makeScene(1);
    for (int n : {1, 45, 46, 47, 60, 404, defaultCount, 1000}) {
        std::string order;
        int next = 0;
        for (const MotionSpan& span : motionTimeline(n)) {
            ASSERT_EQ(span.first, next) << n << " frames";
            ASSERT_GT(span.count, 0);
            next = span.first + span.count;
            order += span.motion + " ";
            for (int f = span.first; f < next; ++f) {
                ASSERT_EQ(motionAt(f, n), span.motion) << "frame " << f << " of " << n;
            }
        }
        EXPECT_EQ(next, n);
        EXPECT_EQ(motionAt(n - 1, n), "rest") << n << " frames";
        EXPECT_EQ(dotCentresAt(scene, n - 1, n), scene.restCentres) << n << " frames";
        if (n == defaultCount) {
            EXPECT_EQ(order, "rest translate rest shear rest twist rest press rest ");
            EXPECT_GE(motionTimeline(n).front().count, sampleLeadInFrames);
        }
    }
    EXPECT_ANY_THROW(motionAt(60, 60));
    EXPECT_ANY_THROW(dotCentresAt(scene, -1, 60));
    EXPECT_ANY_THROW(motionTimeline(0));
}

TEST(SampleMotion, StaysSlowInsideTheFrameAndApart) {
    const SampleScene scene = makeScene(1);
    const double r = scene.dotRadius;
    std::vector<cv::Point2d> previous = dotCentresAt(scene, defaultCount - 1, defaultCount);
    for (int f = 0; f < defaultCount; ++f) {  // from the last frame, as the video loops
        const std::vector<cv::Point2d> centres = dotCentresAt(scene, f, defaultCount);
        ASSERT_GE(centres.size(), 30u);
        ASSERT_LE(centres.size(), 40u);
        for (std::size_t i = 0; i < centres.size(); ++i) {
            const cv::Point2d p = centres[i];
            ASSERT_LE(cv::norm(p - previous[i]), 1.5) << "frame " << f << " dot " << i;
            ASSERT_GE(std::min({p.x, p.y, sampleWidth - 1 - p.x, sampleHeight - 1 - p.y}), 40.0)
                << "frame " << f << " dot " << i;
            // The whole dot stays out of the 50 px corner squares.
            const bool nearSideX = p.x < 50 + r || p.x > sampleWidth - 51 - r;
            const bool nearSideY = p.y < 50 + r || p.y > sampleHeight - 51 - r;
            ASSERT_FALSE(nearSideX && nearSideY) << "frame " << f << " dot " << i;
            for (std::size_t j = 0; j < i; ++j) {
                ASSERT_GE(cv::norm(p - centres[j]), 60.0) << "frame " << f;
            }
        }
        previous = centres;
    }
}

// At its peak every motion takes the dots well away from rest (how far they may go is
// checked above), so that the tracking is measured on real movement.
TEST(SampleMotion, EveryMotionMovesTheDots) {
    const SampleScene scene = makeScene(2);
    for (const char* motion : {"translate", "shear", "twist", "press"}) {
        const std::vector<cv::Point2d> peak =
            dotCentresAt(scene, peakFrameOf(motion), defaultCount);
        double largest = 0;
        for (std::size_t i = 0; i < peak.size(); ++i) {
            largest = std::max(largest, cv::norm(peak[i] - scene.restCentres[i]));
        }
        EXPECT_GT(largest, 10.0) << motion;
    }
}

using SampleProgram = test::ScratchDirTest;

TEST_F(SampleProgram, WritesAShortVideoAndItsTruth) {
    const e2e::Launch launch{DOTTRACK_SAMPLE_EXE,
                             {"short.avi", "--frames", "60", "--seed", "4", "--truth", "truth.csv"},
                             dir_, {}, "/dev/null", path("err")};
    ASSERT_EQ(e2e::RunningProgram(launch).waitForExit(std::chrono::minutes(1)), 0);
    EXPECT_EQ(e2e::readText(launch.stderrPath), "");
    // The video holds the 60 frames of that scene (compression blurs them a little).
    const SampleScene scene = makeScene(4);
    cv::VideoCapture capture(path("short.avi"));
    cv::Mat frame;
    for (int f = 0; f < 60; ++f) {
        ASSERT_TRUE(capture.read(frame)) << "frame " << f;
        const cv::Mat rendered = renderFrame(scene, f, 60);
        ASSERT_LT(cv::norm(frame, rendered, cv::NORM_L1) / rendered.total() / 3, 4.0) << f;
    }
    EXPECT_FALSE(capture.read(frame));
    std::ifstream truth(path("truth.csv"));
    std::string line;
    ASSERT_TRUE(std::getline(truth, line));
    EXPECT_EQ(line, "frame,motion,dot,x,y");
    const std::size_t dots = scene.restCentres.size();
    std::size_t rows = 0;
    for (; std::getline(truth, line); ++rows) {
        const int f = static_cast<int>(rows / dots);
        char motion[16] = {};
        int frame = -1;
        unsigned dot = 0;
        double x = 0, y = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%d,%15[a-z],%u,%lf,%lf", &frame, motion, &dot, &x, &y), 5)
            << line;
        ASSERT_EQ(frame, f);
        ASSERT_EQ(dot, rows % dots);
        EXPECT_EQ(motion, motionAt(f, 60));
        // Written with enough digits to read back exactly.
        EXPECT_EQ(cv::Point2d(x, y), dotCentresAt(scene, f, 60)[dot]) << line;
    }
    EXPECT_EQ(rows, 60 * dots);
}

}  // namespace
}  // namespace dottrack
