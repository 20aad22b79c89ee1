#pragma once
// The export's live measuring view: one window with the frame of every pass, the tool's
// overlays, each marker's sub-pixel centre and a readout of the surface's motion.

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "measure/measure.h"
#include "pipeline/pipeline.h"

namespace dottrack {

struct LiveView {
    std::string window;
    cv::Mat canvas;  // the frame with everything drawn on it
    cv::Mat mix;     // where the overlays draw the crosses that the view does not show
};

// Opens the view's window, titled after the source. Returns why it cannot (no display), or
// an empty string.
std::string openLiveView(const std::string& sourceName, LiveView& view);

// Shows pass `pass` of `frame` with its results; true when a key was pressed in the window.
bool showLivePass(const cv::Mat& frame, const TrackState& state, const Measurement& measurement,
                  std::int64_t pass, LiveView& view);

}  // namespace dottrack
