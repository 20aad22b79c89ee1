#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

cv::Mat brightMixWithDarkPixel(cv::Point dark) {
    cv::Mat frame = test::uniformFrame(0, 255, 255);
    frame.at<cv::Vec3b>(dark) = cv::Vec3b(0, 0, 0);
    cv::Mat mix;
    buildMix(frame, mix);
    return mix;
}

// The box of pixels that differ from 1.0.
cv::Rect dipExtent(const cv::Mat& mix) {
    cv::Mat dip = mix != 1.0f;
    return cv::boundingRect(dip);
}

// Erosion widens the dark pixel to 7 x 7, each of the three 5 x 5 blurs by 4 more.
TEST(ConditionMix, DipOfOneDarkPixelSpreadsTo19x19WithItsMinimumThere) {
    const cv::Point dark(300, 200);
    cv::Mat mix = brightMixWithDarkPixel(dark);
    const float* before = mix.ptr<float>();
    conditionMix(mix);
    EXPECT_EQ(mix.ptr<float>(), before) << "works in place";
    EXPECT_EQ(dipExtent(mix), cv::Rect(291, 191, 19, 19));
    cv::Point lowest;
    cv::minMaxLoc(mix, nullptr, nullptr, &lowest);
    EXPECT_EQ(lowest, dark);
}

// At a corner only pixels inside the image take part: the eroded block is 4 x 4, and a
// border that counted as dark would darken the whole edge.
TEST(ConditionMix, DarkCornerPixelStaysInItsCorner) {
    cv::Mat mix = brightMixWithDarkPixel(cv::Point(0, 0));
    conditionMix(mix);
    EXPECT_EQ(dipExtent(mix), cv::Rect(0, 0, 10, 10));
}

}  // namespace
}  // namespace dottrack
