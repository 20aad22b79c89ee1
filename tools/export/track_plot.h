#pragma once
// The export's picture: the first processed frame dimmed, every marker's tracked path in
// its own colour, its reference position as a dot, and a legend.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "pipeline/pipeline.h"

namespace dottrack {

struct TrackPlot {
    cv::Mat picture;                    // the dimmed frame with the paths drawn so far
    std::vector<cv::Point2f> seeds;     // each marker's position when it was seeded
    std::vector<cv::Point2f> pathEnds;  // where the drawn part of each path ends
    std::vector<cv::Scalar> colours;    // one per marker, around the hue wheel
    double largestDisplacement = 0.0;   // px, from a marker's seed to its tracked position
    int largestMarker = -1;
};

// Starts the picture from the first pass: its frame (the top-left 640 x 480) and the
// markers just seeded.
void startTrackPlot(const cv::Mat& frame, const TrackState& state, TrackPlot& plot);

// Extends the paths and the largest displacement with the markers of the latest pass.
void extendTrackPlot(const TrackState& state, TrackPlot& plot);

// Completes the picture after the last pass of a run of `passes` passes: the ends of the
// paths, the reference dots with the markers' numbers, and the legend.
void finishTrackPlot(const TrackState& state, std::int64_t passes, TrackPlot& plot);

}  // namespace dottrack
