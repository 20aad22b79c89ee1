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

#include "app/display_check.h"
#include "app/one_line.h"
#include "app/timing_line.h"
#include "app/video_input.h"
#include "conditioning/conditioning.h"
#include "detection/detection.h"
#include "present/present.h"
#include "tracking/tracking.h"

namespace {

using namespace dottrack;

const std::string inputPath = "test.avi";
const std::string outputPath = "demo.avi";
constexpr double outputFps = 15.0;

// Exit status when the run cannot go on (beyond -1 for an input that does not open).
constexpr int failureStatus = 1;

timeval start_tv;
timeval end_tv;

void reportError(const std::string& message) {
    std::cerr << "dottrack: " << message << std::endl;
}

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
        reportError(displayProblem);
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
            reportError(inputPath + " holds no frame, even after rewinding to its start");
            return failureStatus;
        }
        const std::string frameProblem = describeUnusableFrame(frame);
        if (!frameProblem.empty()) {
            reportError("cannot use frame " + std::to_string(frameIndex) + " of " + inputPath +
                        ": " + frameProblem);
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

int main() {
    try {
        return run();
    } catch (const cv::Exception& error) {
        reportError("OpenCV error: " + oneLine(error.what()));
    } catch (const std::exception& error) {
        reportError(oneLine(error.what()));
    }
    return failureStatus;
}
