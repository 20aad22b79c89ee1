#include <cstring>

#include <gtest/gtest.h>

#include "conditioning/conditioning.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

using test::uniformFrame;

// The intensity as defined: (G + R) / 255 then halved, each step rounded in single
// precision.
float expectedIntensity(const cv::Vec3b& pixel) {
    const float scaled = static_cast<float>(pixel[1] + pixel[2]) / 255.0f;
    return scaled * 0.5f;
}

// Counts the pixels of `mix` that differ in any bit from the formula applied to the
// top-left 640 x 480 region of `frame`.
int countMismatches(const cv::Mat& frame, const cv::Mat& mix) {
    int mismatches = 0;
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            const float expected = expectedIntensity(frame.at<cv::Vec3b>(y, x));
            const float actual = mix.at<float>(y, x);
            mismatches += std::memcmp(&expected, &actual, sizeof(float)) != 0;
        }
    }
    return mismatches;
}

// Every sum G + R from 0 to 510, split between G and R in several ways, at every position
// within a group of pixels that a vector loop handles together; then random frames of
// wider rows, a larger frame and a view into a wider image (rows 2100 bytes apart, from an
// odd byte offset), of which only the top-left 640 x 480 is read. Every pixel of a mix that
// keeps its buffer is written.
TEST(BuildMix, EveryFrameMatchesTheFormulaToTheBit) {
    cv::RNG rng(9);
    cv::Mat sums(480, 640, CV_8UC3);
    cv::Mat larger(600, 801, CV_8UC3);
    cv::Mat parent(520, 700, CV_8UC3);
    for (cv::Mat* frame : {&sums, &larger, &parent}) {
        rng.fill(*frame, cv::RNG::UNIFORM, 0, 256);
    }
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            const int sum = (y * 640 + x) % 511;
            const int low = sum > 255 ? sum - 255 : 0;
            sums.at<cv::Vec3b>(y, x)[1] = static_cast<unsigned char>(y % 2 == 0 ? low : sum - low);
            sums.at<cv::Vec3b>(y, x)[2] = static_cast<unsigned char>(y % 2 == 0 ? sum - low : low);
        }
    }
    const cv::Mat padded = parent(cv::Rect(13, 7, 640, 480));
    for (const cv::Mat& frame : {sums, larger, padded}) {
        cv::Mat mix(480, 640, CV_32FC1, cv::Scalar(-1.0));
        const float* buffer = mix.ptr<float>();
        buildMix(frame, mix);
        EXPECT_EQ(countMismatches(frame, mix), 0) << frame.size();
        EXPECT_EQ(mix.ptr<float>(), buffer);
    }
}

TEST(BuildMix, RefusesFramesItCannotReadWholly) {
    cv::Mat mix;
    const cv::Mat unusable[] = {cv::Mat(), cv::Mat(480, 639, CV_8UC3), cv::Mat(479, 640, CV_8UC3),
                                cv::Mat(480, 640, CV_8UC4), cv::Mat(480, 640, CV_16UC3)};
    for (const cv::Mat& frame : unusable) {
        EXPECT_FALSE(describeUnusableFrame(frame).empty()) << frame.size() << frame.type();
        EXPECT_THROW(buildMix(frame, mix), cv::Exception);
    }
    EXPECT_EQ(describeUnusableFrame(uniformFrame(0, 0, 0)), "");
}

}  // namespace
}  // namespace dottrack
