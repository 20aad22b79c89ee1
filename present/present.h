#pragma once
// Presentation: what the viewer sees of a frame's results, the first-frame snapshots, and
// whether a window can be shown at all.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace dottrack {

// Pixel of a position: each coordinate widened to double and rounded to nearest, ties
// to even.
cv::Point roundToPixel(cv::Point2f position);

// Drawing coordinates carry this many fractional bits (the `shift` of OpenCV's drawing
// calls), so that what is drawn lands on sub-pixel positions rather than whole pixels.
constexpr int subPixelBits = 4;

// A position in drawing coordinates of subPixelBits fractional bits, rounded to nearest.
cv::Point drawingPoint(cv::Point2d position);

// Draws on `frame`, for every marker that holds a target, a green line from its reference
// position and a blue line from its tracked position to the target; then a red diagonal
// cross on every target, and the same crosses with the value 1.0 on `mix`.
void drawOverlays(cv::Mat& frame, cv::Mat& mix, const std::vector<cv::Point2f>& targets,
                  const std::vector<cv::Point2f>& refMarkers,
                  const std::vector<cv::Point2f>& markers, const std::vector<int>& assignment);

// Writes a float image whose range 0..1 becomes grey levels 0..255 (rounded, saturated)
// as an 8-bit PNG. A file that cannot be written is skipped without a word.
void writeFloatSnapshot(const std::string& path, const cv::Mat& image);

// Writes an 8-bit colour image as a PNG. A file that cannot be written is skipped without
// a word.
void writeColourSnapshot(const std::string& path, const cv::Mat& image);

// Says why no window could be shown (no display server reachable); empty when one is
// reachable or when the user chose the window system through QT_QPA_PLATFORM. The window
// toolkit aborts the process when it cannot connect, so this is asked before any window.
std::string describeMissingDisplay();

}  // namespace dottrack
