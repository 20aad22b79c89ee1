#include <gtest/gtest.h>

#include "detection/detection.h"

namespace dottrack {
namespace {

cv::Mat flatMini(float level = 0.5f) {
    return cv::Mat(60, 80, CV_32FC1, cv::Scalar(level));
}
cv::Mat flatMix(float level = 0.5f) {
    return cv::Mat(480, 640, CV_32FC1, cv::Scalar(level));
}

std::vector<cv::Point2f> targetsOf(cv::Mat mini, const cv::Mat& mix) {
    std::vector<cv::Point2f> targets;
    findTargets(mini, mix, targets);
    return targets;
}

TEST(FindTargets, UniformImagesGiveTheSevenPixelGridInRowMajorOrder) {
    const std::vector<cv::Point2f> targets = targetsOf(flatMini(), flatMix());
    ASSERT_EQ(targets.size(), 30u);
    for (int i = 0; i < 30; ++i) {
        const cv::Point2f expected(static_cast<float>(56 * (i % 12)),
                                   static_cast<float>(56 * (i / 12)));
        EXPECT_EQ(targets[i], expected) << "target " << i;
    }
    EXPECT_EQ(targets.back(), cv::Point2f(280, 112));
}

TEST(FindTargets, TiesGoToTheUpperRowThenTheLeftColumn) {
    cv::Mat mini = flatMini();
    mini.at<float>(20, 50) = 0.1f;
    mini.at<float>(30, 10) = 0.1f;
    mini.at<float>(20, 70) = 0.1f;
    cv::Mat mix = flatMix();
    // Two equal minima in the block of map pixel (50, 20): rows 160..167, columns 400..407.
    mix.at<float>(165, 403) = 0.2f;
    mix.at<float>(162, 406) = 0.2f;
    const std::vector<cv::Point2f> targets = targetsOf(mini, mix);
    EXPECT_EQ(targets[0], cv::Point2f(406, 162));
    EXPECT_EQ(targets[1], cv::Point2f(560, 160)) << "(70, 20) comes before (10, 30)";
    EXPECT_EQ(targets[2], cv::Point2f(80, 240));
}

TEST(FindTargets, FineSearchStaysInsideTheBlockOfTheCoarseFind) {
    cv::Mat mini = flatMini();
    mini.at<float>(59, 79) = 0.0f;
    cv::Mat mix = flatMix();
    mix.at<float>(477, 635) = 0.1f;
    // Darker, but in the neighbouring block: the search never looks there.
    mix.at<float>(470, 635) = 0.0f;
    const std::vector<cv::Point2f> targets = targetsOf(mini, mix);
    EXPECT_EQ(targets[0], cv::Point2f(635, 477));
}

TEST(FindTargets, SuppressionSquareReachesSixMapPixelsOnEachSide) {
    cv::Mat mini = flatMini();
    mini.at<float>(30, 40) = 0.0f;
    mini.at<float>(30, 46) = 0.1f;  // inside the square of the first find
    mini.at<float>(36, 47) = 0.2f;  // just outside it along x
    mini.at<float>(37, 40) = 0.3f;  // just outside it along y
    const std::vector<cv::Point2f> targets = targetsOf(mini, flatMix());
    EXPECT_EQ(targets[0], cv::Point2f(320, 240));
    EXPECT_EQ(targets[1], cv::Point2f(376, 288));
    EXPECT_EQ(targets[2], cv::Point2f(320, 296));
    EXPECT_EQ(mini.at<float>(30, 46), 80.0f) << "the map is left painted";
}

}  // namespace
}  // namespace dottrack
