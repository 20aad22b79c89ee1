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

float mixOf(const cv::Mat& frame) {
    cv::Mat mix;
    buildMix(frame, mix);
    return mix.at<float>(240, 320);
}

TEST(BuildMix, IntensityIsHalfTheSumOfGreenAndRedOver255) {
    EXPECT_EQ(mixOf(uniformFrame(255, 0, 0)), 0.0f) << "blue must play no part";
    EXPECT_EQ(mixOf(uniformFrame(0, 255, 0)), 0.5f);
    EXPECT_EQ(mixOf(uniformFrame(0, 0, 255)), 0.5f);
    EXPECT_EQ(mixOf(uniformFrame(0, 255, 255)), 1.0f);
    EXPECT_EQ(mixOf(uniformFrame(17, 30, 21)), 0.1f) << "51 / 510 is the float nearest 0.1";
}

TEST(BuildMix, WritesEveryPixelOfAPreviouslyFilledMix) {
    cv::Mat frame = uniformFrame(0, 0, 0);
    frame.at<cv::Vec3b>(479, 639) = cv::Vec3b(0, 255, 255);
    cv::Mat mix(480, 640, CV_32FC1, cv::Scalar(7.0));
    const float* before = mix.ptr<float>();
    buildMix(frame, mix);
    EXPECT_EQ(mix.ptr<float>(), before) << "mix keeps its buffer";
    EXPECT_EQ(mix.at<float>(479, 639), 1.0f);
    mix.at<float>(479, 639) = 0.0f;
    EXPECT_EQ(cv::countNonZero(mix), 0);
}

// Every sum G + R from 0 to 510 lands on many columns, so on every position within a
// group of pixels that a vector loop handles together, split between G and R in
// several ways.
TEST(BuildMix, EverySumAtEveryColumnPositionMatchesTheFormula) {
    cv::Mat frame(480, 640, CV_8UC3);
    cv::RNG rng(5);
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            const int sum = (y * 640 + x) % 511;
            const int low = sum > 255 ? sum - 255 : 0;
            const int green = y % 2 == 0 ? low : sum - low;
            frame.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<unsigned char>(rng.uniform(0, 256)),
                                                  static_cast<unsigned char>(green),
                                                  static_cast<unsigned char>(sum - green));
        }
    }
    cv::Mat mix;
    buildMix(frame, mix);
    EXPECT_EQ(countMismatches(frame, mix), 0);
}

// Larger frames and views into wider images are read through their row step, from the
// top-left 640 x 480 region only.
TEST(BuildMix, RandomFramesMatchTheFormulaWhateverTheirLayout) {
    cv::RNG rng(9);
    cv::Mat plain(480, 640, CV_8UC3);
    rng.fill(plain, cv::RNG::UNIFORM, 0, 256);
    cv::Mat larger(600, 801, CV_8UC3);
    rng.fill(larger, cv::RNG::UNIFORM, 0, 256);
    cv::Mat parent(520, 700, CV_8UC3);
    rng.fill(parent, cv::RNG::UNIFORM, 0, 256);
    // Rows 2100 bytes apart, starting at an odd byte offset within the parent.
    const cv::Mat padded = parent(cv::Rect(13, 7, 640, 480));
    ASSERT_FALSE(padded.isContinuous());
    for (const cv::Mat& frame : {plain, larger, padded}) {
        cv::Mat mix(480, 640, CV_32FC1, cv::Scalar(-1.0));
        buildMix(frame, mix);
        EXPECT_EQ(countMismatches(frame, mix), 0) << frame.size();
    }
}

TEST(BuildMix, RefusesFramesItCannotReadWholly) {
    cv::Mat mix;
    const cv::Mat unusable[] = {
        cv::Mat(),
        cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(0)),
        cv::Mat(480, 639, CV_8UC3, cv::Scalar::all(0)),
        cv::Mat(479, 640, CV_8UC3, cv::Scalar::all(0)),
        cv::Mat(480, 640, CV_8UC1, cv::Scalar::all(0)),
        cv::Mat(480, 640, CV_8UC4, cv::Scalar::all(0)),
        cv::Mat(480, 640, CV_16UC3, cv::Scalar::all(0)),
    };
    for (const cv::Mat& frame : unusable) {
        EXPECT_FALSE(describeUnusableFrame(frame).empty()) << frame.size() << frame.type();
        EXPECT_THROW(buildMix(frame, mix), cv::Exception);
    }
    EXPECT_EQ(describeUnusableFrame(uniformFrame(0, 0, 0)), "");
    const std::string message = describeUnusableFrame(unusable[1]);
    EXPECT_NE(message.find("320 x 240"), std::string::npos) << message;
    EXPECT_NE(message.find("640 x 480"), std::string::npos) << message;
}

}  // namespace
}  // namespace dottrack
