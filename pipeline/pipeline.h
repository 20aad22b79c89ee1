#pragma once
// One pass of the tool's stages without windows or files, for every program that runs them
// headless; one measured pass (the stages, then the measurement) and the state a run carries
// from pass to pass; and what is said of a frame that a pass cannot use.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "measure/measure.h"
#include "video/video.h"

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
// update. `frame` must be usable (see describeUnusablePass).
void trackFrame(const cv::Mat& frame, bool firstPass, TrackState& state);

// What a measured run carries from pass to pass.
struct PassRun {
    TrackState track;
    Measurement measurement;
    std::int64_t passes = 0;  // passes measured so far; the first one seeds
};

// Gives `run` what it needs before its first pass.
void preparePassRun(PassRun& run);

// Runs one measured pass on a usable frame: the tool's stages, then the measurement.
void runMeasuredPass(const cv::Mat& frame, PassRun& run);

// The first half of runMeasuredPass, the tool's stages, for a caller that times the second
// apart.
void trackPass(const cv::Mat& frame, PassRun& run);

// The second half of runMeasuredPass, the measurement, which ends the pass.
void measureTrackedPass(const cv::Mat& frame, PassRun& run);

// Why the source `sourceName` gave a run taking `choice` frames none at all.
std::string describeNoFrame(const std::string& sourceName, bool live, FrameChoice choice);

// Why frame `index` of `sourceName` cannot go through a pass; empty when it can.
std::string describeUnusablePass(const cv::Mat& frame, long index, const std::string& sourceName);

// The line that says frame `index` of `sourceName` cannot be used, and the `problem` why.
std::string describeFrameProblem(long index, const std::string& sourceName,
                                 const std::string& problem);

}  // namespace dottrack
