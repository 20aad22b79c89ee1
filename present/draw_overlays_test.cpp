#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "present/present.h"

namespace dottrack {
namespace {

using Points = std::vector<cv::Point2f>;

TEST(RoundToPixel, RoundsToNearestWithTiesToEven) {
    EXPECT_EQ(roundToPixel({100.5f, 101.5f}), cv::Point(100, 102));
    EXPECT_EQ(roundToPixel({100.49f, 0.5f}), cv::Point(100, 0));
    EXPECT_EQ(roundToPixel({-0.5f, -1.5f}), cv::Point(0, -2));
    EXPECT_EQ(roundToPixel({639.51f, 2.5f}), cv::Point(640, 2));
}

cv::Point pixelOf(float x, float y) {
    return {static_cast<int>(std::lrint(double(x))), static_cast<int>(std::lrint(double(y)))};
}

// The overlays of a pass drawn line by line as the viewer must see them: per held target a
// green line (2 px) from the reference and then a blue one from the tracked position, after
// all of them a red cross (1 px, arms of 17 px) on every target, and the same crosses of
// value 1.0 on the intensity image. Lines and crosses overlap, run off the image, and start
// from positions that round either way.
TEST(DrawOverlays, DrawsExactlyTheLinesAndThenTheCrossesOfThePass) {
    const Points targets{{300, 200}, {500, 400}, {3, 476}, {320, 205}, {90, 90}};
    const Points refs{{300.5f, 150.5f}, {520, 380}, {10.5f, 470.5f}, {0, 0}, {100, 100}};
    const Points tracked{{260.49f, 201.5f}, {505, 395}, {3, 476}, {0, 0}, {97, 92}};
    const std::vector<int> assignment{0, 1, 2, -1, 3};

    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(90, 100, 110));
    cv::Mat mix(480, 640, CV_32FC1);
    cv::RNG(5).fill(mix, cv::RNG::UNIFORM, 0.0f, 0.9f);
    cv::Mat expectedFrame = frame.clone(), expectedMix = mix.clone();
    for (std::size_t i = 0; i < refs.size(); ++i) {
        if (assignment[i] >= 0) {
            const cv::Point2f t = targets[assignment[i]];
            cv::line(expectedFrame, pixelOf(refs[i].x, refs[i].y), pixelOf(t.x, t.y),
                     cv::Scalar(0, 255, 0), 2, cv::LINE_8);
            cv::line(expectedFrame, pixelOf(tracked[i].x, tracked[i].y), pixelOf(t.x, t.y),
                     cv::Scalar(255, 0, 0), 2, cv::LINE_8);
        }
    }
    for (const cv::Point2f& t : targets) {
        for (const float arm : {8.0f, -8.0f}) {
            const cv::Point from = pixelOf(t.x + 8, t.y + arm), to = pixelOf(t.x - 8, t.y - arm);
            cv::line(expectedFrame, from, to, cv::Scalar(0, 0, 255), 1, cv::LINE_8);
            cv::line(expectedMix, from, to, cv::Scalar(1.0), 1, cv::LINE_8);
        }
    }

    drawOverlays(frame, mix, targets, refs, tracked, assignment);
    EXPECT_EQ(cv::norm(frame, expectedFrame, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(mix, expectedMix, cv::NORM_INF), 0.0);
    // The test draws something of each kind: the lines reach where the crosses do not.
    EXPECT_EQ(frame.at<cv::Vec3b>(160, 300), cv::Vec3b(0, 255, 0));
    EXPECT_EQ(frame.at<cv::Vec3b>(201, 270), cv::Vec3b(255, 0, 0));

    // Assignments that point nowhere (past the targets, or of a marker without both
    // positions) draw no line, only the crosses.
    cv::Mat lone(480, 640, CV_8UC3, cv::Scalar::all(0));
    drawOverlays(lone, mix, {{300, 200}}, {{300, 100}, {100, 100}}, {{300, 100}}, {5, 0, 0});
    EXPECT_EQ(cv::countNonZero(lone.reshape(1)), 2 * 17 - 1);
}

}  // namespace
}  // namespace dottrack
