#include <gtest/gtest.h>

#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include "present/present.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

using SnapshotsTest = test::ScratchDirTest;

TEST_F(SnapshotsTest, FloatImageIsStoredAsScaledRoundedSaturatedGrey) {
    cv::Mat map(60, 80, CV_32FC1, cv::Scalar(0.5));
    map.at<float>(10, 10) = -0.3f;
    map.at<float>(10, 11) = 1.7f;
    map.at<float>(10, 12) = 0.1f;   // 25.5: ties to even, 26
    map.at<float>(10, 13) = 0.25f;  // 63.75
    const cv::Mat before = map.clone();
    writeFloatSnapshot(path("mini.png"), map);
    EXPECT_EQ(cv::norm(map, before, cv::NORM_INF), 0.0) << "the image is left as it was";

    const cv::Mat stored = cv::imread(path("mini.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(stored.size(), cv::Size(80, 60));
    ASSERT_EQ(stored.type(), CV_8UC1);
    EXPECT_EQ(stored.at<unsigned char>(0, 0), 128) << "127.5 rounds to even";
    EXPECT_EQ(stored.at<unsigned char>(10, 10), 0);
    EXPECT_EQ(stored.at<unsigned char>(10, 11), 255);
    EXPECT_EQ(stored.at<unsigned char>(10, 12), 26);
    EXPECT_EQ(stored.at<unsigned char>(10, 13), 64);
}

}  // namespace
}  // namespace dottrack
