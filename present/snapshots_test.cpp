#include <gtest/gtest.h>

#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include "present/present.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

class SnapshotsTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = test::makeTempDir("dottrack-snapshots"); }
    void TearDown() override { test::removeTree(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

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

TEST_F(SnapshotsTest, ColourFrameKeepsItsColours) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(10, 20, 30));
    frame.at<cv::Vec3b>(5, 5) = cv::Vec3b(0, 0, 255);
    writeColourSnapshot(path("check.png"), frame);
    const cv::Mat stored = cv::imread(path("check.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(stored.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(stored, frame, cv::NORM_INF), 0.0);
}

TEST_F(SnapshotsTest, UnwritableSnapshotIsSkippedQuietly) {
    std::filesystem::create_directory(path("mix1.png"));
    const cv::Mat mix(480, 640, CV_32FC1, cv::Scalar(0.5));
    EXPECT_NO_THROW(writeFloatSnapshot(path("mix1.png"), mix));
    EXPECT_NO_THROW(writeFloatSnapshot(path("missing-dir/mix.png"), mix));
    EXPECT_TRUE(std::filesystem::is_directory(path("mix1.png")));
}

}  // namespace
}  // namespace dottrack
