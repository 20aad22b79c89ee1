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

// A dark block in the open is deepest at its own pixel. The mirrored border shows a block
// one pixel in from an edge twice to the edge pixel, which is then the deepest.
TEST(BuildMini, DarkBlockIsDeepestAtItsPixelOrTheEdgeItMirrorsInto) {
    const struct {
        cv::Point cell, deepest;
        double depth;
    } cases[] = {{{40, 30}, {40, 30}, 0.40}, {{20, 10}, {20, 10}, 0.40}, {{60, 45}, {60, 45}, 0.40},
                 {{1, 25}, {0, 25}, 0.33},   {{78, 20}, {79, 20}, 0.33}, {{40, 1}, {40, 0}, 0.33},
                 {{40, 58}, {40, 59}, 0.33}};
    for (const auto& c : cases) {
        double lowest = 0;
        cv::Point where;
        cv::minMaxLoc(miniOf(mixWithDarkBlock(c.cell)), &lowest, nullptr, &where);
        EXPECT_EQ(where, c.deepest) << c.cell;
        EXPECT_NEAR(lowest, c.depth, 0.01) << c.cell;
    }
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

TEST(MaskCorners, FillsFourUnequalTrianglesAlongTheEdges) {
    cv::Mat map(60, 80, CV_32FC1, cv::Scalar(0.0));
    maskCorners(map);
    const auto masked = [&](int x, int y) { return map.at<float>(y, x) == 0.5f; };
    // Top left: x + y <= 5.
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 10; ++x) {
            EXPECT_EQ(masked(x, y), x + y <= 5) << x << "," << y;
        }
    }
    // The last masked and first unmasked pixels of the others. Top right: the top row from
    // column 66, the right column down to row 11. Bottom right: the bottom row from column
    // 67, the right column up to row 37. Bottom left: the left column up to row 37, cut by
    // the slanted edge from (0, 37) to (15, 60), which leaves the map at column 15 of its
    // last row.
    const struct {
        int x, y;
        bool masked;
    } ends[] = {{66, 0, true},   {65, 0, false},  {79, 11, true},  {79, 12, false}, {67, 59, true},
                {66, 59, false}, {79, 37, true},  {79, 36, false}, {0, 37, true},   {0, 36, false},
                {14, 58, true},  {15, 58, false}, {15, 59, true},  {16, 59, false}};
    for (const auto& end : ends) {
        EXPECT_EQ(masked(end.x, end.y), end.masked) << end.x << "," << end.y;
    }
    EXPECT_EQ(cv::countNonZero(map(cv::Rect(16, 12, 48, 25))), 0) << "the middle is untouched";
}

}  // namespace
}  // namespace dottrack
