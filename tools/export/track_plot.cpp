#include "tools/export/track_plot.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"
#include "present/present.h"
#include "tracking/tracking.h"

namespace dottrack {

namespace {

// How much of the frame's brightness the background keeps, so that the paths stand out.
constexpr double dimming = 0.4;
// A path gets a new vertex once the marker has moved this far from the last one: short
// enough to follow every turn, long enough to leave out the jitter of a resting marker.
constexpr double pathStep = 0.5;
constexpr int pathThickness = 2;
constexpr int dotRadius = 3;
const cv::Scalar outlineColour(0, 0, 0);
const cv::Scalar legendColour(255, 255, 255);
constexpr double legendScale = 0.5;
constexpr double labelScale = 0.35;

// One fully saturated colour per marker, evenly spaced around the hue wheel.
std::vector<cv::Scalar> makeHueWheel(std::size_t count) {
    cv::Mat hsv(1, static_cast<int>(count), CV_8UC3);
    for (std::size_t i = 0; i < count; ++i) {
        const int hue = static_cast<int>(180 * i / count);
        hsv.at<cv::Vec3b>(0, static_cast<int>(i)) = cv::Vec3b(hue, 255, 255);
    }
    cv::Mat bgr;
    cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
    std::vector<cv::Scalar> colours;
    for (std::size_t i = 0; i < count; ++i) {
        const cv::Vec3b colour = bgr.at<cv::Vec3b>(0, static_cast<int>(i));
        colours.emplace_back(colour[0], colour[1], colour[2]);
    }
    return colours;
}

void drawPathSegment(TrackPlot& plot, std::size_t marker, cv::Point2f to) {
    cv::line(plot.picture, drawingPoint(plot.pathEnds[marker]), drawingPoint(to),
             plot.colours[marker], pathThickness, cv::LINE_AA, subPixelBits);
    plot.pathEnds[marker] = to;
}

// Text with a dark outline, legible on any background.
void drawText(cv::Mat& picture, const std::string& text, cv::Point origin, double scale,
              const cv::Scalar& colour) {
    cv::putText(picture, text, origin, cv::FONT_HERSHEY_SIMPLEX, scale, outlineColour, 3,
                cv::LINE_AA);
    cv::putText(picture, text, origin, cv::FONT_HERSHEY_SIMPLEX, scale, colour, 1, cv::LINE_AA);
}

}  // namespace

void startTrackPlot(const cv::Mat& frame, const TrackState& state, TrackPlot& plot) {
    frame(cv::Rect(0, 0, mixCols, mixRows)).convertTo(plot.picture, CV_8UC3, dimming);
    plot.seeds = state.markers;
    plot.pathEnds = state.markers;
    plot.colours = makeHueWheel(state.markers.size());
    plot.largestDisplacement = 0.0;
    plot.largestMarker = -1;
}

void extendTrackPlot(const TrackState& state, TrackPlot& plot) {
    const std::size_t markerCount = std::min(state.markers.size(), plot.seeds.size());
    for (std::size_t i = 0; i < markerCount; ++i) {
        const cv::Point2f position = state.markers[i];
        const double displacement = trackingDistance(position, plot.seeds[i]);
        if (displacement > plot.largestDisplacement) {
            plot.largestDisplacement = displacement;
            plot.largestMarker = static_cast<int>(i);
        }
        if (trackingDistance(position, plot.pathEnds[i]) >= pathStep) {
            drawPathSegment(plot, i, position);
        }
    }
}

void finishTrackPlot(const TrackState& state, std::int64_t passes, TrackPlot& plot) {
    const std::size_t markerCount =
        std::min({state.markers.size(), state.refMarkers.size(), plot.seeds.size()});
    for (std::size_t i = 0; i < markerCount; ++i) {
        drawPathSegment(plot, i, state.markers[i]);
    }
    for (std::size_t i = 0; i < markerCount; ++i) {
        const cv::Point centre = drawingPoint(state.refMarkers[i]);
        cv::circle(plot.picture, centre, (dotRadius + 1) << subPixelBits, outlineColour, cv::FILLED,
                   cv::LINE_AA, subPixelBits);
        cv::circle(plot.picture, centre, dotRadius << subPixelBits, plot.colours[i], cv::FILLED,
                   cv::LINE_AA, subPixelBits);
        const cv::Point labelAt(cvRound(state.refMarkers[i].x) + dotRadius + 2,
                                cvRound(state.refMarkers[i].y) - dotRadius - 2);
        drawText(plot.picture, std::to_string(i), labelAt, labelScale, plot.colours[i]);
    }
    char legend[128];
    if (plot.largestMarker >= 0) {
        std::snprintf(legend, sizeof legend,
                      "%lld passes, largest displacement %.1f px (marker %d)",
                      static_cast<long long>(passes), plot.largestDisplacement, plot.largestMarker);
    } else {
        std::snprintf(legend, sizeof legend, "%lld passes, largest displacement 0.0 px",
                      static_cast<long long>(passes));
    }
    drawText(plot.picture, legend, cv::Point(8, mixRows - 10), legendScale, legendColour);
}

}  // namespace dottrack
