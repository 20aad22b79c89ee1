#pragma once
// The views of a calibration pattern that a source's frames offer: each frame searched, the
// frames without the pattern and those that repeat a view already taken skipped.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "camera/camera.h"

namespace dottrack {

struct ViewCollection {
    std::vector<std::vector<cv::Point2f>> views;  // the pattern's points, one view each
    cv::Size frameSize;
    std::int64_t frames = 0;         // frames read
    std::int64_t patternFrames = 0;  // frames that show the pattern
    std::int64_t largerFrames = 0;   // frames that show a pattern larger than asked
    std::string problem;             // why the frames could not all be read, or empty
};

// Reads the frames of `capture` until it stops, `frameLimit` frames (0: no limit) have been
// read, or an interrupt asks the run to stop, and collects the distinct views of `pattern` in them.
ViewCollection collectViews(cv::VideoCapture& capture, const CalibrationPattern& pattern,
                            std::int64_t frameLimit);

// At most `count` of the views, spread evenly over the order they were taken in.
std::vector<std::vector<cv::Point2f>> spreadViews(
    const std::vector<std::vector<cv::Point2f>>& views, std::size_t count);

}  // namespace dottrack
