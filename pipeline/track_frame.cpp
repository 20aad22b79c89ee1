#include "pipeline/pipeline.h"

#include "conditioning/conditioning.h"
#include "detection/detection.h"
#include "tracking/tracking.h"

namespace dottrack {

void prepareTrackState(TrackState& state) {
    state.mix.create(mixRows, mixCols, CV_32FC1);
    state.assignment.reserve(targetCount);
}

void trackFrame(const cv::Mat& frame, bool firstPass, TrackState& state) {
    buildMix(frame, state.mix);
    conditionMix(state.mix);
    buildMini(state.mix, state.mini);
    findTargets(state.mini, state.mix, state.targets);
    if (firstPass) {
        seedMarkers(state.targets, state.refMarkers, state.markers, state.assignment);
    }
    updateMaker(state.targets, state.refMarkers, state.markers, state.assignment);
}

}  // namespace dottrack
