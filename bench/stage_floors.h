#pragma once
// The floors of the stages: the least work each stage could do, timed beside it. A stage
// far above its floor spends its time in code of its own rather than in the memory
// traffic or the OpenCV calls it cannot avoid.

#include <vector>

#include <opencv2/core.hpp>

namespace dottrack {

// Images that the coarse-map floor keeps from one call to the next.
struct MiniFloorBuffers {
    cv::Mat background;
    cv::Mat contrast;
};

// Moves as many bytes as buildMix does without computing anything: reads the top-left
// 640 x 480 BGR region of `frame` and writes 640 x 480 floats into `out` (created once).
void copyFloor(const cv::Mat& frame, cv::Mat& out);

// conditionMix's OpenCV calls made bare: the 7 x 7 erosion and three 5 x 5 blurs, in place.
void conditionFloor(cv::Mat& mix);

// buildMini's OpenCV calls made bare, the band-pass sum written into a kept buffer
// instead of a temporary: same result, without the temporary's allocation.
void miniFloor(const cv::Mat& mix, cv::Mat& mini, MiniFloorBuffers& buffers);

// findTargets' OpenCV calls made bare: 30 times the map's minimum, the square painted
// over it and the minimum of its block of `mix`, without keeping the targets.
void targetsFloor(cv::Mat& mini, const cv::Mat& mix);

// The robust step of the measurement's motion fit made bare: OpenCV's RANSAC affine fit
// of `to` on `from`, with the measurement's own arguments.
void measureFloor(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to,
                  double outlierDistance, cv::Mat& inliers);

}  // namespace dottrack
