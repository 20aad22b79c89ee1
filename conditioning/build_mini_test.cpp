#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"

namespace dottrack {
namespace {

cv::Mat miniOf(const cv::Mat& mix) {
    cv::Mat mini;
    buildMini(mix, mini);
    return mini;
}

cv::Mat randomMix(int seed) {
    cv::Mat mix(480, 640, CV_32FC1);
    cv::RNG rng(seed);
    rng.fill(mix, cv::RNG::UNIFORM, 0.0f, 1.0f);
    return mix;
}

// 1 everywhere but the 8 x 8 block behind map pixel `cell`, which is 0.
cv::Mat mixWithDarkBlock(cv::Point cell) {
    cv::Mat mix(480, 640, CV_32FC1, cv::Scalar(1.0));
    mix(cv::Rect(cell.x * 8, cell.y * 8, 8, 8)).setTo(0.0);
    return mix;
}

TEST(BuildMini, FlatImageGivesExactlyHalfEverywhere) {
    for (float level : {0.0f, 1.0f}) {
        const cv::Mat mini = miniOf(cv::Mat(480, 640, CV_32FC1, cv::Scalar(level)));
        ASSERT_EQ(mini.size(), cv::Size(80, 60));
        ASSERT_EQ(mini.type(), CV_32FC1);
        EXPECT_EQ(cv::countNonZero(mini != 0.5f), 0) << "level " << level;
    }
}

TEST(BuildMini, CornersAndTriangleVerticesHoldHalfWhateverTheImage) {
    const cv::Mat mini = miniOf(randomMix(7));
    const cv::Point fixed[] = {{0, 0},   {79, 0},  {79, 59}, {0, 59},  {5, 0}, {0, 5},
                               {79, 37}, {67, 59}, {66, 0},  {79, 11}, {0, 37}};
    for (const cv::Point& p : fixed) {
        EXPECT_EQ(mini.at<float>(p), 0.5f) << p;
    }
}

TEST(BuildMini, DarkBlockInTheOpenIsTheMinimumAtItsOwnPixel) {
    for (const cv::Point cell : {cv::Point(40, 30), cv::Point(20, 10), cv::Point(60, 45)}) {
        const cv::Mat mini = miniOf(mixWithDarkBlock(cell));
        double lowest = 0;
        cv::Point where;
        cv::minMaxLoc(mini, &lowest, nullptr, &where);
        EXPECT_EQ(where, cell);
        EXPECT_NEAR(lowest, 0.40, 0.01) << cell;
    }
}

// The mirrored border shows a block one pixel in from an edge twice to the edge pixel.
TEST(BuildMini, DarkBlockOnePixelInFromAnEdgeIsDeepestOnTheEdge) {
    const std::pair<cv::Point, cv::Point> cases[] = {
        {{1, 25}, {0, 25}}, {{78, 20}, {79, 20}}, {{40, 1}, {40, 0}}, {{40, 58}, {40, 59}}};
    for (const auto& [cell, edge] : cases) {
        const cv::Mat mini = miniOf(mixWithDarkBlock(cell));
        double lowest = 0;
        cv::Point where;
        cv::minMaxLoc(mini, &lowest, nullptr, &where);
        EXPECT_EQ(where, edge) << cell;
        EXPECT_NEAR(lowest, 0.33, 0.01) << cell;
    }
}

TEST(BuildMini, SameImageGivesTheSameMapWhateverCameBefore) {
    const cv::Mat mix = randomMix(1);
    const cv::Mat first = miniOf(mix);
    miniOf(randomMix(2));
    cv::Mat reused(60, 80, CV_32FC1, cv::Scalar(80.0));
    const float* buffer = reused.ptr<float>();
    buildMini(mix, reused);
    EXPECT_EQ(reused.ptr<float>(), buffer) << "the map keeps its buffer";
    EXPECT_EQ(cv::norm(first, reused, cv::NORM_INF), 0.0);
}

TEST(BuildMini, BandPassIsOneRoundingOfTheWeightedDifference) {
    // The contrast 2 x (src - mean) + 0.5 must be rounded once from double: writing it
    // in float arithmetic changes the last bit at some pixels.
    cv::Mat map(60, 80, CV_32FC1);
    cv::RNG(3).fill(map, cv::RNG::UNIFORM, 0.0f, 1.0f);
    cv::Mat background;
    cv::blur(map, background, cv::Size(8, 8), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    cv::Mat contrast(map.size(), CV_32FC1);
    for (int y = 0; y < map.rows; ++y) {
        for (int x = 0; x < map.cols; ++x) {
            const double value = 2.0 * static_cast<double>(map.at<float>(y, x)) -
                                 2.0 * static_cast<double>(background.at<float>(y, x)) + 0.5;
            contrast.at<float>(y, x) = static_cast<float>(value);
        }
    }
    cv::Mat expected;
    cv::blur(contrast, expected, cv::Size(3, 3), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    cv::Mat filtered = map.clone();
    filter(filtered, filtered);
    EXPECT_EQ(cv::norm(filtered, expected, cv::NORM_INF), 0.0);
}

bool masked(const cv::Mat& map, int x, int y) {
    return map.at<float>(y, x) == 0.5f;
}

TEST(MaskCorners, FillsFourUnequalTrianglesAlongTheEdges) {
    cv::Mat map(60, 80, CV_32FC1, cv::Scalar(0.0));
    maskCorners(map);
    // Top left: x + y <= 5.
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 10; ++x) {
            EXPECT_EQ(masked(map, x, y), x + y <= 5) << x << "," << y;
        }
    }
    // Top right: top row from column 66, right column down to row 11.
    EXPECT_TRUE(masked(map, 66, 0));
    EXPECT_FALSE(masked(map, 65, 0));
    EXPECT_TRUE(masked(map, 79, 11));
    EXPECT_FALSE(masked(map, 79, 12));
    // Bottom right: bottom row from column 67, right column up to row 37.
    EXPECT_TRUE(masked(map, 67, 59));
    EXPECT_FALSE(masked(map, 66, 59));
    EXPECT_TRUE(masked(map, 79, 37));
    EXPECT_FALSE(masked(map, 79, 36));
    // Bottom left: left column up to row 37, cut by the slanted edge from (0, 37) to
    // (15, 60), which leaves the map at column 15 of its last row.
    EXPECT_TRUE(masked(map, 0, 37));
    EXPECT_FALSE(masked(map, 0, 36));
    EXPECT_TRUE(masked(map, 14, 58));
    EXPECT_FALSE(masked(map, 15, 58));
    EXPECT_TRUE(masked(map, 15, 59));
    EXPECT_FALSE(masked(map, 16, 59));
    // The middle is untouched.
    EXPECT_EQ(cv::countNonZero(map(cv::Rect(16, 12, 48, 25))), 0);
}

}  // namespace
}  // namespace dottrack
