#include "bench/stage_floors.h"

#include <cstring>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"
#include "detection/detection.h"
#include "measure/measure.h"

namespace dottrack {

namespace {

// The square findTargets paints around each coarse find, and the value it paints.
constexpr int suppressionRadius = 6;
constexpr double suppressedValue = 80.0;

}  // namespace

void copyFloor(const cv::Mat& frame, cv::Mat& out) {
    CV_Assert(describeUnusableFrame(frame).empty());
    out.create(mixRows, mixCols, CV_32FC1);
    constexpr size_t frameRowBytes = 3 * mixCols;
    constexpr size_t mixRowBytes = sizeof(float) * mixCols;
    for (int y = 0; y < mixRows; ++y) {
        const unsigned char* source = frame.ptr<unsigned char>(y);
        unsigned char* target = out.ptr<unsigned char>(y);
        // The frame row fills the first three quarters of the float row; its start,
        // still in cache, fills the rest.
        std::memcpy(target, source, frameRowBytes);
        std::memcpy(target + frameRowBytes, source, mixRowBytes - frameRowBytes);
    }
}

void conditionFloor(cv::Mat& mix) {
    cv::erode(mix, mix, cv::Mat(), cv::Point(-1, -1), 3, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
    for (int pass = 0; pass < 3; ++pass) {
        cv::blur(mix, mix, cv::Size(5, 5), cv::Point(-1, -1), cv::BORDER_DEFAULT);
    }
}

void miniFloor(const cv::Mat& mix, cv::Mat& mini, MiniFloorBuffers& buffers) {
    constexpr double scale = 1.0 / miniScale;
    cv::resize(mix, mini, cv::Size(0, 0), scale, scale, cv::INTER_AREA);
    cv::blur(mini, buffers.background, cv::Size(8, 8), cv::Point(-1, -1), cv::BORDER_DEFAULT);
    // The call that the expression 2 x (mini - background) + 0.5 evaluates to.
    cv::addWeighted(mini, 2.0, buffers.background, -2.0, 0.5, buffers.contrast);
    cv::blur(buffers.contrast, mini, cv::Size(3, 3), cv::Point(-1, -1), cv::BORDER_DEFAULT);
    for (int pass = 0; pass < 2; ++pass) {
        cv::blur(mini, mini, cv::Size(3, 3), cv::Point(-1, -1), cv::BORDER_DEFAULT);
    }
    // Nothing but its four fillPoly calls.
    maskCorners(mini);
}

void targetsFloor(cv::Mat& mini, const cv::Mat& mix) {
    const cv::Point reach(suppressionRadius, suppressionRadius);
    for (int found = 0; found < targetCount; ++found) {
        cv::Point coarse;
        cv::minMaxLoc(mini, nullptr, nullptr, &coarse, nullptr, cv::noArray());
        cv::rectangle(mini, coarse - reach, coarse + reach, cv::Scalar(suppressedValue), cv::FILLED,
                      cv::LINE_8, 0);
        const cv::Mat block(mix, cv::Rect(coarse * miniScale, cv::Size(miniScale, miniScale)));
        cv::Point fine;
        cv::minMaxLoc(block, nullptr, nullptr, &fine, nullptr, cv::noArray());
    }
}

void measureFloor(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to,
                  double outlierDistance, cv::Mat& inliers) {
    if (from.size() >= 3) {
        cv::estimateAffine2D(from, to, inliers, cv::RANSAC, outlierDistance, robustIterations,
                             robustConfidence, 0);
    }
}

}  // namespace dottrack
