#include <gtest/gtest.h>

#include "conditioning/conditioning.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

using test::uniformFrame;

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
    for (int sum = 0; sum <= 510; ++sum) {
        const auto green = static_cast<unsigned char>(sum / 2);
        const auto red = static_cast<unsigned char>(sum - sum / 2);
        const float expected = (static_cast<float>(sum) / 255.0f) * 0.5f;
        ASSERT_EQ(mixOf(uniformFrame(200, green, red)), expected) << "sum " << sum;
    }
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

// Reads through the frame's row step, from the top-left 640 x 480 region only.
TEST(BuildMix, LargerOrPaddedFramesAreReadThroughTheirTopLeftRegion) {
    cv::Mat pattern(480, 640, CV_8UC3);
    cv::randu(pattern, 0, 256);
    cv::Mat expected;
    buildMix(pattern, expected);

    cv::Mat large(600, 800, CV_8UC3, cv::Scalar(0, 255, 255));
    pattern.copyTo(large(cv::Rect(0, 0, 640, 480)));
    cv::Mat fromLarge;
    buildMix(large, fromLarge);
    EXPECT_EQ(cv::norm(fromLarge, expected, cv::NORM_INF), 0.0);

    // A view into a wider image: rows 3 x 800 bytes apart, starting inside the parent.
    cv::Mat parent(500, 800, CV_8UC3, cv::Scalar(0, 255, 255));
    cv::Mat view = parent(cv::Rect(100, 10, 640, 480));
    pattern.copyTo(view);
    ASSERT_FALSE(view.isContinuous());
    cv::Mat fromView;
    buildMix(view, fromView);
    EXPECT_EQ(cv::norm(fromView, expected, cv::NORM_INF), 0.0);
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
