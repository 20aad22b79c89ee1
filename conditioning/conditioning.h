#pragma once
// Image conditioning: the colour frame becomes the float intensity image `mix`,
// and `mix` becomes the 1/8-scale band-passed coarse map `mini`.

#include <string>

#include <opencv2/core.hpp>

namespace dottrack {

// Size of the region of a frame that the tool works on, and of `mix`.
constexpr int mixRows = 480;
constexpr int mixCols = 640;

// Size of the coarse map: `mix` reduced by 8 in each direction.
constexpr int miniScale = 8;
constexpr int miniRows = mixRows / miniScale;
constexpr int miniCols = mixCols / miniScale;

// Says what is wrong with a frame that `buildMix` cannot read (empty, smaller
// than 640 x 480, or not 8-bit with three channels); empty when it is usable.
std::string describeUnusableFrame(const cv::Mat& frame);

// Writes into every pixel of `mix` (480 x 640, CV_32FC1) the intensity (G + R) / 510
// of the top-left 640 x 480 region of `frame`. Throws cv::Exception for a frame that
// `describeUnusableFrame` refuses, so that it never reads outside the frame.
void buildMix(const cv::Mat& frame, cv::Mat& mix);

// Widens dark spots by three pixels (a 7 x 7 minimum) and smooths them with three 5 x 5
// box blurs, in place.
void conditionMix(cv::Mat& mix);

// Reduces `mix` by 8 into `mini` (60 x 80, CV_32FC1), band-passes it around 0.5,
// smooths it and masks its four corners.
void buildMini(const cv::Mat& mix, cv::Mat& mini);

// Band-pass of the coarse map: 2 x (src - its 8 x 8 mean) + 0.5, smoothed 3 x 3, into dst.
// src and dst may be the same image.
void filter(const cv::Mat& src, cv::Mat& dst);

// Fills the four corner triangles of the coarse map with 0.5, the level of "no contrast".
void maskCorners(cv::Mat& mini);

}  // namespace dottrack
