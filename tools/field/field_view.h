#pragma once
// The field measurement's view of one frame: the frame, dimmed, with one quantity of the dots
// painted between them, each dot's displacement as a magnified arrow, a colour bar with its
// units, the arrows' scale and a readout of the surface's motion. Draws numbers it is given;
// knows nothing of how they were measured.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "measure/measure.h"

namespace dottrack {

// The quantity the view paints between the dots.
enum class FieldQuantity { exx, eyy, exy, rotation, area, disp };

// The names `parseFieldQuantity` reads, for a command line's help.
constexpr const char* fieldQuantityNames = "exx|eyy|exy|rotation|area|disp";

// Reads a quantity's name ("exx" ... "disp"); false for any other text.
bool parseFieldQuantity(const std::string& name, FieldQuantity& quantity);

// One frame's numbers, indexed alike (one entry per dot; NaN centres for dots not found).
struct FieldViewInput {
    const std::vector<cv::Point2f>* centres = nullptr;        // px
    const std::vector<cv::Point2f>* displacements = nullptr;  // px: centre minus reference
    // The painted quantity (strain, degrees, area ratio), NaN where a dot has none. Not read
    // for `disp`, which paints the displacements' length.
    const std::vector<double>* values = nullptr;
    const SurfaceMotion* motion = nullptr;  // nullptr reads as "no fit"
    std::int64_t frameIndex = 0;
    const char* lengthUnit = "px";  // of the displacements and the motion's translation
    double unitsPerPixel = 1.0;
};

// What the view keeps from frame to frame: the colour scale and the arrows' magnification,
// smoothed so that they stay put while the numbers wobble, and its working buffers.
struct FieldView {
    bool scaled = false;  // the scales below hold a frame's worth of history
    FieldQuantity scaledQuantity = FieldQuantity::exx;  // the quantity `colourRange` was learnt on
    double colourRange = 0;        // half the colour bar's span (all of it for `disp`)
    double displacementLevel = 0;  // px: the typical displacement the arrows are scaled to
    cv::Subdiv2D triangulation;
    std::vector<int> dotOfVertex;      // the dot behind each of the triangulation's vertices
    std::vector<int> leadingEdges;     // one edge of each of the triangulation's triangles
    std::vector<cv::Vec3i> triangles;  // dots at the corners of each triangle
    std::vector<double> values;        // per dot: the painted quantity, NaN where none
    std::vector<double> positions;     // per dot: its value's place on the palette
    std::vector<double> scratch;       // values being ranked, edges being measured
    cv::Mat frameBgr;                  // a grey frame, widened
    cv::Mat lightSmall, light;         // what multiplies the frame, reduced and full size
};

// Draws the view of `frame` (8-bit, grey or BGR) with `input` into `view`: BGR, the frame's
// size. Any input draws: no dots, fewer than three, every value NaN.
void drawFieldView(const cv::Mat& frame, const FieldViewInput& input, FieldQuantity quantity,
                   FieldView& state, cv::Mat& view);

// ------------------------------------------------------------------------ The view's parts

// How a quantity is painted and labelled.
struct QuantityStyle {
    const char* title;  // the colour bar's heading
    const char* unit;   // nullptr: the length unit of the input
    double centre;      // the value painted neutral (diverging), or the bar's foot
    double floor;       // the least half-span, so that noise alone does not fill the bar
    bool diverging;     // colours either side of `centre`; otherwise light to dark from 0
};

// The style of `quantity`.
QuantityStyle styleOf(FieldQuantity quantity);

// The light the frame is multiplied by (255: unchanged) at each of 256 palette positions: a
// diverging palette from blue (0) through neutral (127.5) to red (255), or a sequential one
// from light (0) to dark.
const cv::Vec3b* paletteOf(bool diverging);

// The smallest of 1, 2, 3, 4, 5, 6, 8 times a power of ten that is at least `value` (> 0): a
// span whose halves and quarters read well.
double roundUpNicely(double value);

// The largest of 1, 2, 5 times a power of ten that is at most `value` (> 0).
double roundDownNicely(double value);

// Moves a scale kept from frame to frame towards `target`: fast when it must grow, slowly
// when it may shrink.
double smoothScale(double current, double target);

// The value below which `fraction` of the finite `values` lie; NaN when none is. Drops the
// others from `values` and reorders the rest.
double percentileOf(std::vector<double>& values, double fraction);

// Triangulates the dots with a centre inside the frame (Delaunay) into `state.triangles`,
// leaving out triangles with an edge much longer than the dots' spacing. Returns that
// spacing (px: the median edge), 0 with fewer than three dots.
double triangulateDots(const std::vector<cv::Point2f>& centres, cv::Size frameSize,
                       FieldView& state);

// Paints each triangle whose corners all have a finite `positions` (palette positions,
// 0..255, any value clamped) into `state.light` (the frame's size), interpolated linearly
// between the corners; elsewhere the light that dims the frame.
void paintTriangles(const std::vector<cv::Point2f>& centres, const std::vector<double>& positions,
                    const cv::Vec3b* palette, cv::Size frameSize, FieldView& state);

// Sizes of the legends' text and boxes, px.
struct LegendLayout {
    double fontScale;
    int thickness, lineHeight, margin, padding;
};

// The legends' sizes on a frame of `rows` rows: they grow with the frame, so that they read
// alike on any.
LegendLayout layoutFor(int rows);

// Draws the colour bar of `style` spanning `centre` +- `range` (0..`range` when sequential),
// and under it the arrows' magnification with a bar of a round length, at the top right.
void drawColourBar(cv::Mat& view, const QuantityStyle& style, double range,
                   double arrowMagnification, const char* lengthUnit, double unitsPerPixel);

// Draws the frame index, the dots found and the surface's motion at the top left.
void drawMotionReadout(cv::Mat& view, const FieldViewInput& input, int dotsFound);

}  // namespace dottrack
