#pragma once
// The tool's per-frame work without windows or files, for the programs that run it
// headless (the benchmark, the export, the tests).

#include <vector>

#include <opencv2/core.hpp>

namespace dottrack {

// Everything that one pass computes and the next one carries on from. Create it once and
// reuse it, so that the images and lists keep their buffers.
struct TrackState {
    cv::Mat mix;
    cv::Mat mini;
    std::vector<cv::Point2f> targets;
    std::vector<cv::Point2f> refMarkers;
    std::vector<cv::Point2f> markers;
    std::vector<int> assignment;
};

// Gives `state` the sizes and reserved room that the tool sets up before its first pass.
void prepareTrackState(TrackState& state);

// Runs the stages of one pass on `frame`, in the tool's order: intensity image,
// conditioning, coarse map, targets, seeding (on the first pass only) and the marker
// update. `frame` must be usable (see describeUnusableFrame).
void trackFrame(const cv::Mat& frame, bool firstPass, TrackState& state);

}  // namespace dottrack
