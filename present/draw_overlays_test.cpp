#include <gtest/gtest.h>

#include <set>

#include <opencv2/core.hpp>

#include "present/present.h"

namespace dottrack {
namespace {

using Points = std::vector<cv::Point2f>;

const cv::Vec3b red(0, 0, 255);
const cv::Vec3b green(0, 255, 0);
const cv::Vec3b blue(255, 0, 0);

cv::Mat blackFrame() {
    return cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(0));
}

int countColour(const cv::Mat& frame, const cv::Vec3b& colour) {
    cv::Mat matches;
    cv::inRange(frame, colour, colour, matches);
    return cv::countNonZero(matches);
}

TEST(RoundToPixel, RoundsToNearestWithTiesToEven) {
    EXPECT_EQ(roundToPixel({100.5f, 101.5f}), cv::Point(100, 102));
    EXPECT_EQ(roundToPixel({100.49f, 0.5f}), cv::Point(100, 0));
    EXPECT_EQ(roundToPixel({-0.5f, -1.5f}), cv::Point(0, -2));
    EXPECT_EQ(roundToPixel({639.51f, 2.5f}), cv::Point(640, 2));
}

TEST(DrawOverlays, CrossesOnMixAreExactlyOneOnTheirArmsAndNowhereElse) {
    cv::Mat frame = blackFrame();
    cv::Mat mix(480, 640, CV_32FC1);
    cv::RNG(5).fill(mix, cv::RNG::UNIFORM, 0.0f, 0.9f);
    const cv::Mat before = mix.clone();
    const Points targets{{100, 100}, {320, 240}, {639, 479}, {4, 300}};
    drawOverlays(frame, mix, targets, {}, {}, {});

    std::set<std::pair<int, int>> arms;
    for (const cv::Point2f& t : targets) {
        for (int step = -8; step <= 8; ++step) {
            arms.insert({static_cast<int>(t.x) + step, static_cast<int>(t.y) + step});
            arms.insert({static_cast<int>(t.x) + step, static_cast<int>(t.y) - step});
        }
    }
    int armPixels = 0;
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            if (arms.count({x, y}) != 0) {
                EXPECT_EQ(mix.at<float>(y, x), 1.0f) << x << "," << y;
                EXPECT_EQ(frame.at<cv::Vec3b>(y, x), red) << x << "," << y;
                ++armPixels;
            } else {
                ASSERT_EQ(mix.at<float>(y, x), before.at<float>(y, x)) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(countColour(frame, red), armPixels) << "nothing red off the arms";

    // At the corner only what lies inside is kept: (0, 0) to (8, 8), the other arm at (0, 0).
    frame = blackFrame();
    drawOverlays(frame, mix, {{0, 0}}, {}, {}, {});
    EXPECT_EQ(countColour(frame, red), 9);
    for (int step = 0; step <= 8; ++step) {
        EXPECT_EQ(frame.at<cv::Vec3b>(step, step), red);
    }
}

TEST(DrawOverlays, HeldTargetsGetAGreenThenABlueLine) {
    cv::Mat frame = blackFrame();
    cv::Mat mix(480, 640, CV_32FC1, cv::Scalar(0.25));
    drawOverlays(frame, mix, {{300, 200}, {500, 400}}, {{300, 100}, {500, 300}},
                 {{200, 200}, {500, 350}}, {0, -1});
    // The held target's lines: the reference comes from above, the tracked position from
    // the left. The marker without a target gets no line.
    EXPECT_EQ(frame.at<cv::Vec3b>(150, 300), green);
    EXPECT_EQ(frame.at<cv::Vec3b>(200, 250), blue);
    EXPECT_EQ(frame.at<cv::Vec3b>(330, 500), cv::Vec3b(0, 0, 0));

    // Where the two lines of one marker overlap, the blue one is on top; the cross on top
    // of both.
    frame = blackFrame();
    drawOverlays(frame, mix, {{300, 200}}, {{300, 100}}, {{300, 100}}, {0});
    EXPECT_EQ(countColour(frame, green), 0);
    EXPECT_EQ(frame.at<cv::Vec3b>(150, 300), blue);
    EXPECT_EQ(frame.at<cv::Vec3b>(200, 300), red);

    // Assignments that point nowhere (past the targets, or of a marker without both
    // positions) draw no line.
    frame = blackFrame();
    drawOverlays(frame, mix, {{300, 200}}, {{300, 100}, {100, 100}}, {{300, 100}}, {5, 0, 0});
    EXPECT_EQ(countColour(frame, blue) + countColour(frame, green), 0);
}

}  // namespace
}  // namespace dottrack
