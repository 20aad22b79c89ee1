#pragma once
// Small builders and file helpers that tests of several subsystems share.

#include <string>
#include <vector>

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

// Writes every frame of `video` into `folder` (created) as 0000.png, 0001.png, ...: an image
// sequence of it. False when a frame cannot be written.
bool writeFrameSequence(const std::string& video, const std::string& folder);

// The rows of a CSV after its header line, which must be `header`: every field a number, an
// empty one NaN, and as many fields in every row as the header names.
std::vector<std::vector<double>> readNumberRows(const std::string& text, const std::string& header);

// A test with a fresh scratch folder of its own, removed afterwards.
class ScratchDirTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

}  // namespace dottrack::test
