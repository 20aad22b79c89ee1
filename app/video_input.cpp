#include "app/video_input.h"

#include "app/quiet_backends.h"

namespace dottrack {

namespace {

void rewind(cv::VideoCapture& capture, long& position) {
    capture.set(cv::CAP_PROP_POS_AVI_RATIO, 0.0);
    position = 0;
}

bool readFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    capture >> frame;
    if (frame.empty()) {
        return false;
    }
    ++position;
    return true;
}

}  // namespace

cv::utils::logging::LogLevel silenceOpenCvLog() {
    quietVideoBackEnds();
    return cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
}

void restoreOpenCvLog(cv::utils::logging::LogLevel level) {
    cv::utils::logging::setLogLevel(level);
}

void skipWarmup(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    for (int skipped = 0; skipped < warmupFrames; ++skipped) {
        readFrame(capture, frame, position);
    }
}

long readPassFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    // The frame between two processed ones is taken and dropped.
    if (capture.grab()) {
        ++position;
    } else {
        rewind(capture, position);
    }
    // When the dropped frame was the last one, the read finds nothing: start again from
    // the first frame rather than hand an empty image to the stages.
    if (!readFrame(capture, frame, position)) {
        rewind(capture, position);
        if (!readFrame(capture, frame, position)) {
            return -1;
        }
    }
    return position - 1;
}

}  // namespace dottrack
