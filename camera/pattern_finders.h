#pragma once
// Inside findPattern: the finders of each kind of pattern, and the check they share. Internal
// to the library; camera.h is its interface.

#include <vector>

#include <opencv2/core.hpp>

#include "camera/camera.h"

namespace dottrack {

// Finds a grid of circles (symmetric or not) in a grey frame, as findPattern does.
PatternSight findCircles(const cv::Mat& grey, const CalibrationPattern& pattern,
                         std::vector<cv::Point2f>& points);

// Finds a chessboard's inner corners in a grey frame, as findPattern does.
PatternSight findChessboard(const cv::Mat& grey, const CalibrationPattern& pattern,
                            std::vector<cv::Point2f>& points);

// Whether `points` are numbered as the pattern's: the homography of the target's plane puts
// each within a share of the distance between neighbours of its point. A strong lens bends
// the rows by a sixth of that at most; a wrong numbering puts points a whole step off.
bool numberedAsPattern(const CalibrationPattern& pattern, const std::vector<cv::Point2f>& points);

}  // namespace dottrack
