#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "present/present.h"

namespace dottrack {

namespace {

const cv::Scalar referenceLineColour(0, 255, 0, 0);
const cv::Scalar trackedLineColour(255, 0, 0, 0);
const cv::Scalar frameCrossColour(0, 0, 255, 0);
const cv::Scalar mixCrossColour(1.0, 0, 0, 0);
constexpr int markerLineThickness = 2;
constexpr int crossThickness = 1;
// Half the extent of a cross arm: each arm is a diagonal of 17 pixels.
constexpr float crossReach = 8.0f;

void drawLine(cv::Mat& image, cv::Point from, cv::Point to, const cv::Scalar& colour,
              int thickness) {
    cv::line(image, from, to, colour, thickness, cv::LINE_8, 0);
}

// Offsets are added to the float coordinates first; only the sums are rounded.
cv::Point crossCorner(cv::Point2f centre, float dx, float dy) {
    return roundToPixel(cv::Point2f(centre.x + dx, centre.y + dy));
}

void drawCross(cv::Mat& image, cv::Point2f centre, const cv::Scalar& colour) {
    drawLine(image, crossCorner(centre, crossReach, crossReach),
             crossCorner(centre, -crossReach, -crossReach), colour, crossThickness);
    drawLine(image, crossCorner(centre, crossReach, -crossReach),
             crossCorner(centre, -crossReach, crossReach), colour, crossThickness);
}

}  // namespace

cv::Point drawingPoint(cv::Point2d position) {
    constexpr double scale = 1 << subPixelBits;
    return {cvRound(position.x * scale), cvRound(position.y * scale)};
}

cv::Point roundToPixel(cv::Point2f position) {
    return {static_cast<int>(std::lrint(static_cast<double>(position.x))),
            static_cast<int>(std::lrint(static_cast<double>(position.y)))};
}

void drawOverlays(cv::Mat& frame, cv::Mat& mix, const std::vector<cv::Point2f>& targets,
                  const std::vector<cv::Point2f>& refMarkers,
                  const std::vector<cv::Point2f>& markers, const std::vector<int>& assignment) {
    // Lists of unequal length only ever draw what all of them describe.
    const size_t markerCount = std::min({refMarkers.size(), markers.size(), assignment.size()});
    for (size_t i = 0; i < markerCount; ++i) {
        const int held = assignment[i];
        if (held < 0 || static_cast<size_t>(held) >= targets.size()) {
            continue;
        }
        const cv::Point target = roundToPixel(targets[held]);
        drawLine(frame, roundToPixel(refMarkers[i]), target, referenceLineColour,
                 markerLineThickness);
        drawLine(frame, roundToPixel(markers[i]), target, trackedLineColour, markerLineThickness);
    }
    for (const cv::Point2f& target : targets) {
        drawCross(frame, target, frameCrossColour);
        drawCross(mix, target, mixCrossColour);
    }
}

}  // namespace dottrack
