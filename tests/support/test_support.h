#pragma once
// Small builders and file helpers that tests of several subsystems share.

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace dottrack::test {

// A 640 x 480 BGR frame of one colour.
cv::Mat uniformFrame(unsigned char blue, unsigned char green, unsigned char red);

// A fresh empty directory under the system's temporary folder; removed by `removeTree`.
std::string makeTempDir(const std::string& prefix);
void removeTree(const std::string& path);

// Writes an MJPG video of `frameCount` frames of the given size, each made by `makeFrame`
// from its index. Returns false when the writer cannot be opened.
bool writeVideo(const std::string& path, int frameCount, cv::Size size,
                const std::function<cv::Mat(int)>& makeFrame);

// A frame whose brightness encodes its index, so that a test can tell which frame of a
// video it is looking at after compression: see `frameIndexOf`.
cv::Mat indexedFrame(int index, cv::Size size = cv::Size(640, 480));
int frameIndexOf(const cv::Mat& frame);

}  // namespace dottrack::test
