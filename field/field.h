#pragma once
// The whole-surface measurement: every dot of every frame, each keeping its number for the
// whole run, its displacement since the reference frame, the deformation around it, and the
// surface's motion. Independent of the tool's tracking.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/camera.h"
#include "measure/measure.h"

namespace dottrack {

// -------------------------------------------------------------------------- Finding the dots

// The most candidate dots a frame may hold. A field with more (a 4K frame of dots of radius 3
// holds some 80,000) is no field that can be measured in time: the frame is left without
// centres, at the cost of one look at its coarse image.
constexpr int maxDotCandidates = 100000;

// What the finder learns of the dots (their size, their darkness) from the first frame that
// shows any, and the buffers it keeps so that later frames allocate nothing.
struct DotFinder {
    DotScale scale;                  // the dots' radius, depth and background noise, in grey levels
    int reduction = 0;               // px of the frame per side of a cell of the coarse image
    bool tooManyCandidates = false;  // the last frame held more than maxDotCandidates

    // Buffers, kept from frame to frame.
    cv::Mat paddedGrey;  // the frame's grey, its outermost pixels repeated beyond its border
    cv::Mat coarse;      // CV_8U means of the grey over cells of reduction x reduction px
    cv::Mat smoothed;    // CV_16U sums of `coarse` over 3 x 3 cells
    cv::Mat coarseSums;  // CV_32S integral image of `coarse`
    std::vector<std::uint16_t> rowSums;
    std::vector<std::uint8_t> minima;
    std::vector<cv::Point> candidates;  // cells of `coarse`
    std::vector<cv::Vec3d> learnt;      // radius, depth, noise of the dots learnt from
};

// Finds every dark dot on a light surface in `frame` (CV_8UC1 or CV_8UC3 BGR, any size) and
// gives its sub-pixel centre, in no particular order. `centres` keeps its buffer. Returns
// false, with no centres, when the frame holds more than maxDotCandidates candidate dots;
// throws std::invalid_argument for a frame of any other type.
bool findDots(const cv::Mat& frame, DotFinder& finder, std::vector<cv::Point2f>& centres);

// findDots in two steps, to time them apart. First, the candidate dots of `frame`, the dots'
// scale learnt first if it is not known yet: leaves them in finder.candidates (none when the
// scale is still not known) and returns false, with none, when there are more than
// maxDotCandidates.
bool findFrameCandidates(const cv::Mat& frame, DotFinder& finder);

// Then the sub-pixel centre of each candidate that is a whole dot standing clear, into
// `centres` (emptied first).
void locateCandidateCentres(DotFinder& finder, std::vector<cv::Point2f>& centres);

// What makes a cell of the coarse image a candidate dot: a local minimum of the cells'
// means, smoothed over 3 x 3 cells, darker than the mean over the square around it...
struct CandidateRule {
    int reduction = 1;      // px per side of a cell
    double depth = 0;       // ... by at least this many grey levels,
    double depthShare = 0;  // and by at least this share of that mean;
    int surroundCells = 0;  // cells from the candidate to the square's sides
    int ringCells = 0;      // and darker than most cells this far from it (0: not asked)
};

// The candidate dots in `frame`, a rectangle of `paddedGrey` (CV_8UC1, which reaches at least
// a few cells beyond it), that the rule takes: finder.candidates holds their cells in raster
// order. False when there are more than maxDotCandidates.
bool findDotCandidates(const cv::Mat& paddedGrey, cv::Rect frame, const CandidateRule& rule,
                       DotFinder& finder);

// Learns the dots' radius (at half depth), depth and background noise from the dots at
// `candidates`, approximate centres in `grey` (CV_8UC1) at least 22 px from its border: the
// median over those that are single, whole, round dots. Not known when fewer than three are.
DotScale learnDotScale(const cv::Mat& grey, const std::vector<cv::Point>& candidates,
                       std::vector<cv::Vec3d>& learnt);

// ---------------------------------------------------------------------------- Bucket index

// Makes room in `buffer` for `count` elements, twice as many when it has to grow: a buffer
// kept from frame to frame then allocates only in a frame that needs more than any before
// it, and seldom.
template <typename T>
void makeRoom(std::vector<T>& buffer, std::size_t count) {
    if (buffer.capacity() < count) {
        buffer.reserve(2 * count);
    }
}

// Points sorted into square cells, so that the points near a place are found without looking
// at the others.
struct PointGrid {
    double cellSize = 0;
    cv::Point2d origin;  // the corner of the first cell
    int columns = 0, rows = 0;
    std::vector<int> cellStart;    // per cell, its first entry; one more at the end
    std::vector<int> entries;      // point indices, cell after cell
    std::vector<int> cellOfPoint;  // per point, its cell (-1 for a point left out)
};

// Sorts the finite points of `points` into cells of `cellSize` px, or larger ones when the
// points spread so far that the cells would outnumber them many times over.
void buildPointGrid(const std::vector<cv::Point2f>& points, double cellSize, PointGrid& grid);

// Makes room in `grid` for `points` points however they spread, so that building it for as
// many allocates nothing.
void reservePointGrid(std::size_t points, PointGrid& grid);

// The points of `grid` within `radius` of `place`, as indices into `points` (in no order).
void findPointsNear(const PointGrid& grid, const std::vector<cv::Point2f>& points,
                    cv::Point2d place, double radius, std::vector<int>& near);

// The distance from point `index` to its `count` nearest others, nearest first, into
// `distances` (fewer when there are fewer others).
void findNearestDistances(const PointGrid& grid, const std::vector<cv::Point2f>& points, int index,
                          int count, std::vector<double>& distances);

// Least-squares affine map taking `from` to `to`. False when the points spread less than
// `minSpread` px^2 (the smaller eigenvalue of their scatter about their mean) across some
// direction, too nearly collinear to tell the map.
bool fitAffineMap(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to,
                  double minSpread, cv::Matx23d& map);

// ---------------------------------------------------------------------------------- Numbers

// The dots around each dot, for its motion and its deformation: all within this many
// pitches of it in the reference frame.
constexpr double neighbourRadius = 2.5;

// How far apart the dots of a frame are.
struct DotSpacing {
    double pitch = 0;    // px: median over the dots of the mean distance to their 4 nearest
    double nearest = 0;  // px: median distance from a dot to its nearest
};

// The spacing of the finite points of `points`; zeros with fewer than two.
DotSpacing measureDotSpacing(const std::vector<cv::Point2f>& points, PointGrid& grid);

// Working buffers of linking, kept from frame to frame so that it allocates nothing.
struct LinkBuffers {
    PointGrid centreGrid;                  // this frame's centres
    PointGrid predictionGrid;              // predictions of the dots not linked yet
    PointGrid referenceGrid;               // every dot's reference position
    std::vector<int> dotOfCentre;          // per centre: its dot, -1 for none
    std::vector<cv::Point2f> predictions;  // per dot: where it should be now; NaN for none
    std::vector<int> candidateStart;       // per dot (and one more): its first candidate
    std::vector<int> candidates;           // centres near each dot's estimate, dot after dot
    std::vector<int> proposals;            // per dot: the centre one pass of matching gives it
    std::vector<int> near, nearOther;      // what a search of a grid found
    std::vector<cv::Point2f> from, to;     // point pairs of an affine fit
    std::vector<int> order;                // centres in reading order
    std::vector<std::vector<int>> spareNeighbours;  // lists with room, for dots seen later
};

// How far a dot's number is to be trusted.
enum class DotStanding : std::uint8_t {
    seenOnce,   // numbered in one frame only: maybe a stray centre of the finder
    confirmed,  // seen in two frames or more
    givenUp,    // seen once, then long missing where its neighbours were seen: a stray centre,
                // no longer looked for
};

// Each dot's number and what linking knows of it, indexed by number, carried from frame to
// frame.
struct DotLinks {
    DotSpacing spacing;                        // of the reference frame
    double stretch = 1;                        // the surface's least stretch, last frame
    std::vector<cv::Point2f> references;       // per dot: its position in the reference frame
    std::vector<cv::Point2f> estimates;        // per dot: where it was, or was predicted to
                                               // be, in the last frame with a link
    std::vector<std::vector<int>> neighbours;  // per dot: the dots within neighbourRadius
                                               // pitches of it in the reference frame
    std::vector<int> centreOfDot;              // per dot: its centre this frame, -1 for none
    std::vector<int> unseenFrames;             // per dot: frames since it last had a centre
    std::vector<DotStanding> standing;         // per dot
    LinkBuffers buffers;
    std::size_t dotCount() const { return references.size(); }
    bool started() const { return !references.empty(); }
};

// Gives each known dot its centre among `centres` (in `links.centreOfDot`, and the other way
// in `links.buffers.dotOfCentre`) where one is unmistakably its own; updates the estimates
// and, through `updateStanding`, each dot's standing.
void matchDots(const std::vector<cv::Point2f>& centres, DotLinks& links);

// Once a frame's dots are matched (`matchDots` calls it): counts one more frame unseen for
// every dot without a centre, confirms every dot with one, and gives up a dot seen in one
// frame only that has long been missing where its neighbours were seen (a stray centre of
// the finder).
void updateStanding(const std::vector<cv::Point2f>& centres, DotLinks& links);

// Numbers, in reading order, the centres that `matchDots` left without a dot and that are
// unmistakably of dots not seen before, and gives each its reference position: its centre in
// the reference frame (the first with at least two centres), later the point its linked
// neighbours' motion maps it back to.
void addNewDots(const std::vector<cv::Point2f>& centres, DotLinks& links);

// Whether a dot is one that outputs list, found or lost: every numbered dot but those given
// up as stray centres of the finder.
inline bool isListed(const DotLinks& links, std::size_t dot) {
    return links.standing[dot] != DotStanding::givenUp;
}

// Links one frame's centres to the dots' numbers: `matchDots`, then `addNewDots`.
void linkDots(const std::vector<cv::Point2f>& centres, DotLinks& links);

// ------------------------------------------------------------------------------ Deformation

// The deformation at one dot, read from the gradient F of the map reference -> now.
struct DotDeformation {
    double exx = 0, eyy = 0, exy = 0;  // Green-Lagrange strain (F^T F - I) / 2, tensor parts
    double rotationDeg = 0;            // atan2(F21 - F12, F11 + F22): +x turning towards +y
    double areaRatio = 0;              // det F
};

// The deformation gradient at `dot`: F minimising the sum over its `neighbours` that have a
// centre of |(x_j - x_i) - F (X_j - X_i)|^2, X the references, x the centres. False when the
// dot has no centre, or its neighbours with one are fewer than 3 or spread too little across
// some direction (less than twice the squared `spacing`).
bool fitDeformationGradient(const std::vector<cv::Point2f>& references,
                            const std::vector<cv::Point2f>& centres, int dot,
                            const std::vector<int>& neighbours, double spacing,
                            cv::Matx22d& gradient);

// The strain, rotation and area ratio of a deformation gradient.
DotDeformation describeDeformation(const cv::Matx22d& gradient);

// ----------------------------------------------------------------------- Frame after frame

// What one frame measured, indexed by dot number.
struct FieldResult {
    std::vector<std::uint8_t> found;         // 1 when the dot has a centre in this frame
    std::vector<cv::Point2f> centres;        // as the finder gave them; NaN when lost
    std::vector<cv::Point2f> displacements;  // centre minus reference; NaN when lost
    // Through a camera (`FieldUnits`), where a lens without distortion would show each dot,
    // which the displacements, the deformation and the motion are of; otherwise the
    // centres. NaN when lost.
    std::vector<cv::Point2f> idealCentres;
    std::vector<double> exx, eyy, exy;  // strain; NaN where it could not be fitted
    std::vector<double> rotationDeg;    // local rotation; NaN likewise
    std::vector<double> areaRatio;      // det F; NaN likewise
    SurfaceMotion motion;               // reference -> now, over the dots found
    // With a scale (`FieldUnits`), once the reference frame has set it: mm on the surface per
    // ideal px, and what is in px above in mm: the ideal centres, the displacements and the
    // motion's translation. 0, empty and NaN without one.
    double mmPerPx = 0;
    std::vector<cv::Point2d> idealCentresMm;
    std::vector<cv::Point2d> displacementsMm;
    double txMm = std::numeric_limits<double>::quiet_NaN();
    double tyMm = std::numeric_limits<double>::quiet_NaN();
    std::size_t dotCount() const { return found.size(); }
};

// Everything a run carries from frame to frame.
struct FieldRun {
    DotLinks links;
    FieldResult result;
    cv::Point2f pivot;           // centroid of the reference frame's dots
    double outlierDistance = 0;  // px, from the reference frame's spacing
    MotionFitBuffers fit;
};

// Measures one frame from its dots' centres (in any order): links them, then gives every
// known dot its centre, displacement and deformation, and the surface its motion. A frame
// without centres leaves every dot lost and the motion not fitted.
void updateField(const std::vector<cv::Point2f>& centres, FieldRun& run);

// updateField in three steps, to time them apart. First, links the centres to the dots'
// numbers, fixes what the reference frame fixes, and sizes the result to the dots known.
void linkFieldDots(const std::vector<cv::Point2f>& centres, FieldRun& run);

// Then gives every known dot its centre, displacement and deformation in `run.result`.
void describeFieldDots(const std::vector<cv::Point2f>& centres, FieldRun& run);

// Last, fits the surface's motion to the dots found (`run.result.motion`).
void fitFieldMotion(FieldRun& run);

// ------------------------------------------------------------------------------ One frame

// How a run's centres become positions on the surface, for a surface roughly parallel to the
// sensor: the camera's lens taken out, and a scale.
struct FieldUnits {
    // With a camera, the centres are undistorted (to ideal px of its matrix) before they are
    // linked, so that numbers, displacements, deformation and motion are the lens's no more.
    std::optional<CameraModel> camera;
    // The scale: `mmPerPx` mm per ideal px when above 0; otherwise, when above 0, `pitchMm`
    // (the dots' spacing on the surface) over the median distance between neighbouring dots
    // of the reference frame (`scaleFromPitch`). Neither: no millimetres.
    double pitchMm = 0;
    double mmPerPx = 0;
    // Whether a scale is given: the outputs then hold millimetres too.
    bool scaled() const { return pitchMm > 0 || mmPerPx > 0; }
};

// Reads the camera file at `cameraPath` (none when empty) and takes the scale into `units`.
// Returns why they cannot serve, in one line, or an empty string.
std::string readFieldUnits(const std::string& cameraPath, double pitchMm, double mmPerPx,
                           FieldUnits& units);

// Everything a field measurement carries from frame to frame: what the finder has learnt of
// the dots, their numbers and the last frame's result (`run.result`). Create one per run, and
// give it its `units` before the first frame.
struct FieldMeasurement {
    FieldUnits units;
    DotFinder finder;
    FieldRun run;
    std::vector<cv::Point2f> centres;       // the last frame's dots, as found
    std::vector<cv::Point2f> idealCentres;  // the same through the camera: what is linked
    std::vector<cv::Point2d> seen, ideal;   // buffers of the undistortion
    cv::Size frameSize;                     // of the first frame measured; every frame must match
    std::int64_t frames = 0;                // frames measured
};

// Measures one frame (CV_8UC1 or CV_8UC3): finds its dots and updates the run. Returns why the
// frame cannot be measured (a size other than the first frame's or the camera's, far too many
// dots), the run unchanged; or an empty string.
std::string measureFieldFrame(const cv::Mat& frame, FieldMeasurement& measurement);

}  // namespace dottrack
