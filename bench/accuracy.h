#pragma once
// dottrack-accuracy's grading: every pass of a generated video measured against its truth,
// beside OpenCV's blob detector, and the report of the figures.

#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "bench/accuracy_figures.h"
#include "measure/measure.h"
#include "pipeline/pipeline.h"

namespace dottrack {

// The truth of one frame: the motion under way and every dot's centre.
struct FrameTruth {
    std::string motion;
    std::vector<cv::Point2d> dots;
};

// Microseconds from `start` to now.
double microsecondsSince(std::chrono::steady_clock::time_point start);

// Reads the truth that dottrack-sample --truth writes, frame by frame. Throws RunError for a
// file that is not one.
std::map<long, FrameTruth> readTruth(const std::string& path);

constexpr int verdictCount = 6;

// What the passes of a run gave, against the truth.
struct Grades {
    Errors centre, blobCentre, displacement, tx, ty, rotation, scale;
    std::vector<double> measureUs, blobUs;  // time per frame of each
    long targetsOnDots = 0, blobsFound = 0, dotsInView = 0, fitsMissing = 0;
    long verdicts[verdictCount] = {};
    Locking locking;
};

// The surface's motion that the measured one is held against: the same fit made on the true
// centres of the dots the markers were seeded on.
struct TrueMotion {
    std::vector<int> dotOfMarker;  // the true dot each marker was seeded on, -1 for none
    long seedFrame = -1;
    double outlierDistance = 0;
    std::vector<cv::Point2f> seeds, now;
    MotionFitBuffers fit;
    SurfaceMotion motion;
};

// Grades the centres that the pass just measured in `frame`, whose truth is `now`.
void gradeCentres(const cv::Mat& frame, const PassRun& run, const FrameTruth& now, Grades& grades);

// Grades the displacements and the motion of the pass of frame `index` that `run` just
// measured, its first pass seeding `trueMotion`.
void gradeMotion(const PassRun& run, long index, const std::map<long, FrameTruth>& truth,
                 TrueMotion& trueMotion, Grades& grades);

// OpenCV's blob detector, default parameters, with its buffers kept from pass to pass.
struct BlobDetection {
    cv::Ptr<cv::SimpleBlobDetector> detector = cv::SimpleBlobDetector::create();
    cv::Mat grey;
    std::vector<cv::KeyPoint> blobs;
};

// Runs the blob detector on the grey of `frame` and grades its centres.
void gradeBlobs(const cv::Mat& frame, const FrameTruth& now, BlobDetection& detection,
                Grades& grades);

// Prints the figures of `grades` for `videoPath`, measured with dots of `scale`.
void printAccuracy(const std::string& videoPath, const DotScale& scale, const Grades& grades);

}  // namespace dottrack
