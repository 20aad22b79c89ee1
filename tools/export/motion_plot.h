#pragma once
// The export's motion picture: the surface's translation, rotation and scale over the
// passes, each in a panel of its own with axes, units and a legend.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "measure/measure.h"

namespace dottrack {

// What the picture keeps of one pass's motion.
struct MotionSample {
    std::int64_t pass = 0;
    bool fitted = false;
    double tx = 0, ty = 0, rotationDeg = 0, scale = 1;
};

// Appends the motion of pass `pass` to `samples`.
void addMotionSample(std::int64_t pass, const SurfaceMotion& motion,
                     std::vector<MotionSample>& samples);

// Draws the picture of `samples`, titled `title` (the source's name).
cv::Mat drawMotionPlot(const std::vector<MotionSample>& samples, const std::string& title);

}  // namespace dottrack
