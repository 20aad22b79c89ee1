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

using SampleProgram = test::ScratchDirTest;

// With every option of the scene away from its default, the video and the truth follow it.
TEST_F(SampleProgram, WritesAShortVideoAndItsTruth) {
    const std::vector<std::string> arguments = {
        "short.avi", "--frames", "60",       "--seed", "4",       "--truth", "truth.csv",
        "--speed",   "2",        "--radius", "9",      "--noise", "0"};
    const e2e::Launch launch{DOTTRACK_SAMPLE_EXE, arguments, dir_, {}, "/dev/null", path("err")};
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
