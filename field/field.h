#pragma once
// The whole-surface measurement: every dot of every frame, each dot's number kept from frame
// to frame, and the deformation at each dot. Independent of the tool's tracking.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "measure/measure.h"

namespace dottrack {

// ---- Finding the dots ----

// The most candidate dots a frame may hold. A field with more (a 4K frame of dots of radius 3
// holds some 80,000) is no field that can be measured in time: the frame is left without
// centres, at the cost of one look at its coarse image.
constexpr int maxDotCandidates = 100000;

// What the finder learns of the dots (their size, their darkness) from the first frame that
// shows any, and the buffers it keeps so that later frames allocate nothing.
struct DotFinder {
    DotScale scale;                  // the dots' radius, depth and background noise, in grey levels
    int reduction = 0;               // px of the frame per side of a cell of the coarse image
    bool tooManyCandidates = false;  // the last frame held more than maxDotCandidates

    // Buffers, kept from frame to frame.
    cv::Mat paddedGrey;  // the frame's grey, its outermost pixels repeated beyond its border
    cv::Mat coarse;      // CV_8U means of the grey over cells of reduction x reduction px
    cv::Mat smoothed;    // CV_16U sums of `coarse` over 3 x 3 cells
    cv::Mat coarseSums;  // CV_32S integral image of `coarse`
    std::vector<std::uint16_t> rowSums;
    std::vector<std::uint8_t> minima;
    std::vector<cv::Point> candidates;  // cells of `coarse`
    std::vector<cv::Vec3d> learnt;      // radius, depth, noise of the dots learnt from
};

// Finds every dark dot on a light surface in `frame` (CV_8UC1 or CV_8UC3 BGR, any size) and
// gives its sub-pixel centre, in no particular order. `centres` keeps its buffer. Returns
// false, with no centres, when the frame holds more than maxDotCandidates candidate dots;
// throws std::invalid_argument for a frame of any other type.
bool findDots(const cv::Mat& frame, DotFinder& finder, std::vector<cv::Point2f>& centres);

// What makes a cell of the coarse image a candidate dot: a local minimum of the cells'
// means, smoothed over 3 x 3 cells, darker than the mean over the square around it...
struct CandidateRule {
    int reduction = 1;      // px per side of a cell
    double depth = 0;       // ... by at least this many grey levels,
    double depthShare = 0;  // and by at least this share of that mean;
    int surroundCells = 0;  // cells from the candidate to the square's sides
    int ringCells = 0;      // and darker than most cells this far from it (0: not asked)
};

// The candidate dots in `frame`, a rectangle of `paddedGrey` (CV_8UC1, which reaches at least
// a few cells beyond it), that the rule takes: finder.candidates holds their cells in raster
// order. False when there are more than maxDotCandidates.
bool findDotCandidates(const cv::Mat& paddedGrey, cv::Rect frame, const CandidateRule& rule,
                       DotFinder& finder);

// Learns the dots' radius (at half depth), depth and background noise from the dots at
// `candidates`, approximate centres in `grey` (CV_8UC1) at least 22 px from its border: the
// median over those that are single, whole, round dots. Not known when fewer than three are.
DotScale learnDotScale(const cv::Mat& grey, const std::vector<cv::Point>& candidates,
                       std::vector<cv::Vec3d>& learnt);

}  // namespace dottrack
