#include "pipeline/pipeline.h"

namespace dottrack {

void preparePassRun(PassRun& run) {
    prepareTrackState(run.track);
    run.passes = 0;
}

void runMeasuredPass(const cv::Mat& frame, PassRun& run) {
    trackPass(frame, run);
    measureTrackedPass(frame, run);
}

void trackPass(const cv::Mat& frame, PassRun& run) {
    trackFrame(frame, run.passes == 0, run.track);
}

void measureTrackedPass(const cv::Mat& frame, PassRun& run) {
    measurePass(frame, run.track.targets, run.track.assignment, run.passes == 0, run.measurement);
    ++run.passes;
}

}  // namespace dottrack
