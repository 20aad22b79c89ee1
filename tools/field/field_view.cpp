#include "tools/field/field_view.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "present/present.h"

namespace dottrack {

namespace {

// The colour bar spans a little more than nearly all of the values, so that a uniform field
// stays short of the palette's ends.
constexpr double colourPercentile = 0.97;
constexpr double colourHeadroom = 1.2;
// The arrows are magnified so that most of them reach about this share of the dots' spacing.
constexpr double arrowPercentile = 0.9;
constexpr double arrowReach = 0.6;
// px: displacements below this are noise the arrows need not show.
constexpr double leastDisplacementLevel = 0.05;
constexpr double largestMagnification = 50;
constexpr double smallestMagnification = 0.1;
// px: shorter arrows are left out, their heads would hide them.
constexpr double shortestArrow = 1.5;
// The spacing assumed while the dots are too few to tell it, as a share of the frame's width.
constexpr double assumedSpacingShare = 0.05;
// px on a 720-row frame: the arrows' shaft, head and dark edge.
constexpr double arrowHalfWidth = 1.0;
constexpr double arrowHeadLength = 7.0;
constexpr double headFlare = 0.45;  // the head's half-width over its length
constexpr double arrowEdge = 1.0;
const cv::Scalar arrowColour(255, 255, 255);
const cv::Scalar arrowEdgeColour(20, 20, 20);

const std::vector<cv::Point2f> noPoints;

// Each dot's painted value: the quantity given, or the displacement's length for `disp`; NaN
// for a dot not found.
void collectValues(const FieldViewInput& input, FieldQuantity quantity, std::vector<double>& out) {
    const std::vector<cv::Point2f>& centres = input.centres ? *input.centres : noPoints;
    const std::vector<cv::Point2f>& displacements =
        input.displacements ? *input.displacements : noPoints;
    out.assign(centres.size(), NAN);
    for (std::size_t dot = 0; dot < centres.size(); ++dot) {
        if (!isMeasured(centres[dot])) {
            continue;
        }
        if (quantity == FieldQuantity::disp) {
            if (dot < displacements.size()) {
                const cv::Point2f d = displacements[dot];
                out[dot] = std::hypot(d.x, d.y) * input.unitsPerPixel;
            }
        } else if (input.values && dot < input.values->size()) {
            out[dot] = (*input.values)[dot];
        }
    }
}

// Learns this frame's colour range from the values' spread about the neutral value, and
// returns the range the bar shows.
double updateColourRange(const QuantityStyle& style, double floor, FieldQuantity quantity,
                         FieldView& state) {
    state.scratch.resize(state.values.size());
    std::transform(state.values.begin(), state.values.end(), state.scratch.begin(),
                   [&](double value) { return std::abs(value - style.centre); });
    const double spread = percentileOf(state.scratch, colourPercentile);
    const bool fresh = !state.scaled || state.scaledQuantity != quantity;
    if (std::isfinite(spread)) {
        const double target = std::max(floor, spread * colourHeadroom);
        state.colourRange = fresh ? target : smoothScale(state.colourRange, target);
    } else if (fresh) {
        state.colourRange = floor;
    }
    state.scaledQuantity = quantity;
    return roundUpNicely(std::max(floor, state.colourRange));
}

// Learns this frame's typical displacement, and returns the arrows' magnification.
double updateArrowMagnification(const FieldViewInput& input, double spacing, int frameWidth,
                                FieldView& state) {
    const std::vector<cv::Point2f>& centres = input.centres ? *input.centres : noPoints;
    const std::vector<cv::Point2f>& displacements =
        input.displacements ? *input.displacements : noPoints;
    state.scratch.clear();
    for (std::size_t dot = 0; dot < std::min(centres.size(), displacements.size()); ++dot) {
        if (isMeasured(centres[dot])) {
            state.scratch.push_back(std::hypot(displacements[dot].x, displacements[dot].y));
        }
    }
    const double level = percentileOf(state.scratch, arrowPercentile);
    if (std::isfinite(level)) {
        const double target = std::max(level, leastDisplacementLevel);
        state.displacementLevel =
            state.scaled ? smoothScale(state.displacementLevel, target) : target;
    }
    const double typical = std::max(state.displacementLevel, leastDisplacementLevel);
    const double reach = arrowReach * (spacing > 0 ? spacing : assumedSpacingShare * frameWidth);
    return std::clamp(roundDownNicely(reach / typical), smallestMagnification,
                      largestMagnification);
}

// Fills the arrow from `tail` to `tip` with a shaft `halfWidth` wide each side and a head
// `head` long, in drawing coordinates.
void fillArrow(cv::Mat& view, cv::Point2d tail, cv::Point2d tip, double halfWidth, double head,
               const cv::Scalar& colour) {
    const cv::Point2d along = (tip - tail) / std::hypot(tip.x - tail.x, tip.y - tail.y);
    const cv::Point2d across(-along.y * halfWidth, along.x * halfWidth);
    const cv::Point2d base = tip - along * head;
    const cv::Point2d flare = across * (head * headFlare / halfWidth);
    const cv::Point shaft[] = {drawingPoint(tail + across), drawingPoint(base + across),
                               drawingPoint(base - across), drawingPoint(tail - across)};
    const cv::Point point[] = {drawingPoint(tip), drawingPoint(base + flare),
                               drawingPoint(base - flare)};
    cv::fillConvexPoly(view, shaft, 4, colour, cv::LINE_AA, subPixelBits);
    cv::fillConvexPoly(view, point, 3, colour, cv::LINE_AA, subPixelBits);
}

// Each dot's arrow: light, edged in dark so that it reads on any colour and on the dots.
void drawArrows(cv::Mat& view, const FieldViewInput& input, double magnification) {
    if (!input.centres || !input.displacements) {
        return;
    }
    const double unit = layoutFor(view.rows).lineHeight / 24.0;
    const double halfWidth = arrowHalfWidth * unit, headLength = arrowHeadLength * unit;
    const std::vector<cv::Point2f>& centres = *input.centres;
    const std::vector<cv::Point2f>& displacements = *input.displacements;
    for (std::size_t dot = 0; dot < std::min(centres.size(), displacements.size()); ++dot) {
        const cv::Point2d tip = centres[dot];
        const cv::Point2d reach = cv::Point2d(displacements[dot]) * magnification;
        const double length = std::hypot(reach.x, reach.y);
        if (!isMeasured(centres[dot]) || !(length >= shortestArrow)) {
            continue;
        }
        const double head = std::min(headLength, 0.5 * length);
        const cv::Point2d edge = reach * (arrowEdge * unit / length);
        fillArrow(view, tip - reach - edge, tip + edge * 2.0, halfWidth + arrowEdge * unit,
                  head + 2 * arrowEdge * unit, arrowEdgeColour);
        fillArrow(view, tip - reach, tip, halfWidth, head, arrowColour);
    }
}

}  // namespace

void drawFieldView(const cv::Mat& frame, const FieldViewInput& input, FieldQuantity quantity,
                   FieldView& state, cv::Mat& view) {
    CV_Assert(frame.depth() == CV_8U && !frame.empty());
    const cv::Mat* bgr = &frame;
    if (frame.channels() != 3) {
        cv::cvtColor(frame, state.frameBgr,
                     frame.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
        bgr = &state.frameBgr;
    }
    const std::vector<cv::Point2f>& centres = input.centres ? *input.centres : noPoints;
    const int dotsFound =
        static_cast<int>(std::count_if(centres.begin(), centres.end(), isMeasured));

    const QuantityStyle style = styleOf(quantity);
    const double floor = style.diverging ? style.floor : style.floor * input.unitsPerPixel;
    collectValues(input, quantity, state.values);
    const double range = updateColourRange(style, floor, quantity, state);
    state.positions.resize(state.values.size());
    std::transform(state.values.begin(), state.values.end(), state.positions.begin(),
                   [&](double value) {
                       return style.diverging ? 127.5 + 127.5 * (value - style.centre) / range
                                              : 255.0 * value / range;
                   });

    const double spacing = triangulateDots(centres, frame.size(), state);
    paintTriangles(centres, state.positions, paletteOf(style.diverging), frame.size(), state);
    cv::multiply(*bgr, state.light, view, 1.0 / 255);

    const double magnification = updateArrowMagnification(input, spacing, frame.cols, state);
    state.scaled = true;
    drawArrows(view, input, magnification);
    drawColourBar(view, style, range, magnification, input.lengthUnit, input.unitsPerPixel);
    drawMotionReadout(view, input, dotsFound);
}

}  // namespace dottrack
