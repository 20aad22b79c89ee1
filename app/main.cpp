// dottrack: follows the dark dots of "test.avi" and shows them live in three windows.
// Any key in a window ends the run.

#include <sys/time.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>

#include "app/timing_line.h"
#include "cli/cli.h"
#include "conditioning/conditioning.h"
#include "detection/detection.h"
#include "pipeline/pipeline.h"
#include "present/present.h"
#include "tracking/tracking.h"
#include "video/video.h"

namespace {

using namespace dottrack;

const char* const programName = "dottrack";
const std::string inputPath = "test.avi";
const std::string outputPath = "demo.avi";
constexpr double outputFps = 15.0;

timeval start_tv;
timeval end_tv;

int run() {
    const auto logLevel = silenceOpenCvLog();
    cv::VideoCapture capture(inputPath);
    cv::VideoWriter writer(outputPath, cv::VideoWriter::fourcc('I', 'Y', 'U', 'V'), outputFps,
                           cv::Size(mixCols, mixRows), true);
    restoreOpenCvLog(logLevel);
    if (!capture.isOpened()) {
        return -1;
    }

    const std::string displayProblem = describeMissingDisplay();
    if (!displayProblem.empty()) {
        reportError(programName, displayProblem);
        return failureStatus;
    }
    cv::namedWindow("mix", cv::WINDOW_AUTOSIZE);
    cv::namedWindow("check", cv::WINDOW_AUTOSIZE);
    cv::namedWindow("mini", cv::WINDOW_AUTOSIZE);

    std::vector<cv::Point2f> refMarkers;
    std::vector<cv::Point2f> markers;
    std::vector<cv::Point2f> targets;
    cv::Mat frame;
    cv::Mat mini;
    cv::Mat mix(mixRows, mixCols, CV_32FC1);
    std::vector<int> assignment;
    assignment.reserve(targetCount);

    // At 640 x 480 OpenCV's worker threads make no pass faster, only its slowest ones
    // slower: the pass runs on this thread alone.
    cv::setNumThreads(1);

    long position = 0;
    skipWarmup(capture, frame, position);
    std::int64_t count = 0;

    for (;;) {
        const long frameIndex = readPassFrame(capture, frame, position);
        if (frameIndex < 0) {
            reportError(programName, describeNoFrame(inputPath, false, FrameChoice::passes));
            return failureStatus;
        }
        const std::string frameProblem = describeUnusablePass(frame, frameIndex, inputPath);
        if (!frameProblem.empty()) {
            reportError(programName, frameProblem);
            return failureStatus;
        }
        const bool firstPass = count == 0;

        gettimeofday(&start_tv, nullptr);
        buildMix(frame, mix);
        if (firstPass) {
            writeFloatSnapshot("mix1.png", mix);
        }
        conditionMix(mix);
        buildMini(mix, mini);
        cv::imshow("mini", mini);
        if (firstPass) {
            writeFloatSnapshot("mini.png", mini);
        }
        findTargets(mini, mix, targets);
        if (firstPass) {
            seedMarkers(targets, refMarkers, markers, assignment);
        }
        updateMaker(targets, refMarkers, markers, assignment);
        gettimeofday(&end_tv, nullptr);
        writeTimingLine(std::cerr, count, start_tv, end_tv);

        drawOverlays(frame, mix, targets, refMarkers, markers, assignment);
        cv::imshow("mix", mix);
        if (firstPass) {
            writeFloatSnapshot("mix.png", mix);
            writeColourSnapshot("check.png", frame);
        }
        cv::imshow("check", frame);

        const int key = cv::waitKey(1);
        count = nextPassCount(count);
        if (key >= 0) {
            return 0;
        }
    }
}

}  // namespace

// Exits with 0 after a key; -1 (255), without a word, when test.avi does not open; 1 after
// one line when the run cannot go on.
int main() {
    return dottrack::runProgram(programName, run);
}
