#include "tools/export/live_view.h"

#include <cstdio>
#include <utility>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"
#include "present/present.h"

namespace dottrack {

namespace {

constexpr int centreRadius = 3;
const cv::Scalar centreColour(255, 255, 0);  // cyan: apart from the tool's green, blue, red
const cv::Scalar readoutColour(255, 255, 255);
const cv::Scalar bandColour(0, 0, 0);
constexpr int lineHeight = 22;
constexpr int bandHeight = 2 * lineHeight + 2;
constexpr double bandDimming = 0.35;
constexpr double readoutScale = 0.5;

// The readout's two lines: the pass and the markers, then the motion.
std::pair<std::string, std::string> describeMotion(std::int64_t pass,
                                                   const Measurement& measurement) {
    const SurfaceMotion& m = measurement.motion;
    char first[120], second[160];
    std::snprintf(first, sizeof first, "pass %lld   markers with a centre %d, in the fit %d",
                  static_cast<long long>(pass), m.markers, m.fitted ? m.inliers : 0);
    if (m.fitted) {
        std::snprintf(second, sizeof second,
                      "tx %+.2f px  ty %+.2f px  rotation %+.3f deg  scale %.4f", m.tx, m.ty,
                      m.rotationDeg, m.scale);
    } else {
        std::snprintf(second, sizeof second, "no fit: fewer than 3 markers with a centre");
    }
    return {first, second};
}

}  // namespace

std::string openLiveView(const std::string& sourceName, LiveView& view) {
    const std::string displayProblem = describeMissingDisplay();
    if (!displayProblem.empty()) {
        return "cannot show the live view: " + displayProblem;
    }
    view.window = "dottrack-export: " + sourceName;
    cv::namedWindow(view.window, cv::WINDOW_AUTOSIZE);
    view.mix.create(mixRows, mixCols, CV_32FC1);
    return {};
}

bool showLivePass(const cv::Mat& frame, const TrackState& state, const Measurement& measurement,
                  std::int64_t pass, LiveView& view) {
    frame(cv::Rect(0, 0, mixCols, mixRows)).copyTo(view.canvas);
    drawOverlays(view.canvas, view.mix, state.targets, state.refMarkers, state.markers,
                 state.assignment);
    for (const cv::Point2f& centre : measurement.centres) {
        if (isMeasured(centre)) {
            cv::circle(view.canvas, drawingPoint(centre), centreRadius << subPixelBits,
                       centreColour, 1, cv::LINE_AA, subPixelBits);
        }
    }
    cv::Mat band = view.canvas(cv::Rect(0, 0, view.canvas.cols, bandHeight));
    band.convertTo(band, -1, bandDimming);
    const auto [first, second] = describeMotion(pass, measurement);
    cv::putText(view.canvas, first, cv::Point(8, lineHeight - 6), cv::FONT_HERSHEY_SIMPLEX,
                readoutScale, readoutColour, 1, cv::LINE_AA);
    cv::putText(view.canvas, second, cv::Point(8, 2 * lineHeight - 6), cv::FONT_HERSHEY_SIMPLEX,
                readoutScale, readoutColour, 1, cv::LINE_AA);
    cv::imshow(view.window, view.canvas);
    return cv::waitKey(1) >= 0;
}

}  // namespace dottrack
