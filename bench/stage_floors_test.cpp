#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "bench/stage_floors.h"
#include "conditioning/conditioning.h"
#include "detection/detection.h"

namespace dottrack {
namespace {

bool identical(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

// A floor is only a floor if it does its stage's work: the same OpenCV calls with the same
// arguments give the same images, to the bit, on noisy dotted frames.
TEST(StageFloors, FloorsGiveTheStagesImages) {
    for (int seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(80, 200, 190));
        cv::RNG rng(seed);
        for (int dot = 0; dot < 40; ++dot) {
            const cv::Point centre(rng.uniform(0, 640), rng.uniform(0, 480));
            cv::circle(frame, centre, rng.uniform(3, 9), cv::Scalar(30, 40, 35), cv::FILLED);
        }
        cv::Mat noise(frame.size(), CV_8UC3);
        rng.fill(noise, cv::RNG::UNIFORM, 0, 20);
        cv::Mat staged;
        buildMix(frame + noise, staged);
        cv::Mat bare = staged.clone();
        conditionMix(staged);
        conditionFloor(bare);
        EXPECT_TRUE(identical(staged, bare));

        cv::Mat mini;
        buildMini(staged, mini);
        cv::Mat bareMini;
        MiniFloorBuffers buffers;
        miniFloor(bare, bareMini, buffers);
        ASSERT_TRUE(identical(mini, bareMini));

        std::vector<cv::Point2f> targets;
        findTargets(mini, staged, targets);
        targetsFloor(bareMini, bare);
        EXPECT_TRUE(identical(mini, bareMini)) << "the same squares painted";
    }
}

}  // namespace
}  // namespace dottrack
