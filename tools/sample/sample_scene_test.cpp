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

TEST(SampleScene, RendersRoundDarkDotsAtTheTrueCentres) {
    const SampleScene scene = makeScene(3);
    for (const char* motion : {"rest", "translate", "shear", "twist", "press"}) {
        const int f = peakFrameOf(motion);
        const cv::Mat frame = renderFrame(scene, f, defaultCount);
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

using SampleProgram = test::ScratchDirTest;

// With every option of the scene away from its default, the video and the truth follow it.
TEST_F(SampleProgram, WritesAShortVideoAndItsTruth) {
    const e2e::Launch launch{DOTTRACK_SAMPLE_EXE,
                             {"short.avi", "--frames", "60", "--seed", "4", "--truth", "truth.csv",
                              "--speed", "2", "--radius", "9", "--noise", "0"},
                             dir_, {}, "/dev/null", path("err")};
    ASSERT_EQ(e2e::RunningProgram(launch).waitForExit(std::chrono::minutes(1)), 0);
    EXPECT_EQ(e2e::readText(launch.stderrPath), "");
    // The video holds the 60 frames of that scene: compression leaves a mean difference of
    // about 1.3 grey levels, the default noise would make it 2.1 and the default radius 3.4.
    SampleScene scene = makeScene(4);
    scene.motionSpeed = 2;
    scene.dotRadius = 9;
    scene.noiseSigma = 0;
    cv::VideoCapture capture(path("short.avi"));
    cv::Mat frame;
    for (int f = 0; f < 60; ++f) {
        ASSERT_TRUE(capture.read(frame)) << "frame " << f;
        const cv::Mat rendered = renderFrame(scene, f, 60);
        ASSERT_LT(cv::norm(frame, rendered, cv::NORM_L1) / rendered.total() / 3, 1.7) << f;
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
        EXPECT_EQ(motion, motionAt(scene, f, 60));
        // Written with enough digits to read back exactly.
        EXPECT_EQ(cv::Point2d(x, y), dotCentresAt(scene, f, 60)[dot]) << line;
    }
    EXPECT_EQ(rows, 60 * dots);
}

}  // namespace
}  // namespace dottrack
