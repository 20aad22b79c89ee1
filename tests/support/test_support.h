#pragma once
// Small builders and file helpers that tests of several subsystems share.

#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace dottrack::test {

// A 640 x 480 BGR frame of one colour.
cv::Mat uniformFrame(unsigned char blue, unsigned char green, unsigned char red);

// Writes an MJPG video of `frames` frames whose grey level (in the top-left 640 x 480,
// black elsewhere) tells their index, in colour or grey; with no frames, a valid container
// holding none. False when the writer cannot be opened. frameIndexOf reads the index back.
bool writeIndexedVideo(const std::string& path, int frames, cv::Size size = cv::Size(640, 480),
                       bool colour = true);
int frameIndexOf(const cv::Mat& frame);

// A test with a fresh scratch folder of its own, removed afterwards.
class ScratchDirTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

}  // namespace dottrack::test
