#pragma once
// Small builders and file helpers that tests of several subsystems share.

#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace dottrack::test {

// A 640 x 480 BGR frame of one colour.
cv::Mat uniformFrame(unsigned char blue, unsigned char green, unsigned char red);

// A frame whose grey level in its top-left 640 x 480 encodes its index, so that a test can
// tell which frame of a video it is looking at after compression; black elsewhere.
cv::Mat indexedFrame(int index, cv::Size size = cv::Size(640, 480));
int frameIndexOf(const cv::Mat& frame);

// Writes an MJPG video of `frames` indexed frames, in colour or grey; with no frames, a
// valid container holding none. False when the writer cannot be opened.
bool writeIndexedVideo(const std::string& path, int frames, cv::Size size = cv::Size(640, 480),
                       bool colour = true);

// A test with a fresh scratch folder of its own, removed afterwards.
class ScratchDirTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

}  // namespace dottrack::test
