#pragma once
// Measurement beyond the tool's tracking: the sub-pixel centre of the dot under each
// target, each marker's displacement since seeding, and the surface's motion fitted to
// those displacements. Reads a pass's frame and results; never changes them.

#include <cstddef>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/camera.h"

namespace dottrack {

// The size of the dots, learnt from the first frame that shows any, and the measuring
// window that follows from it.
struct DotScale {
    double radius = 0.0;    // px: the radius at half the dot's depth
    double depth = 0.0;     // typical darkness of a dot's core, in the frame's levels
    double noise = 0.0;     // typical spread of the background around a dot, the same units
    double aperture = 0.0;  // px: radius of the soft circular window the centroid uses
    int halfWindow = 0;     // the square around the aperture, whose rim gives the background
    bool known() const { return halfWindow > 0; }
};

// Learns the dots' size from the targets of `frame` that sit on a whole, single dot (the
// median over them); not known when none does. A colour frame (8-bit BGR) is read as green +
// red in its top-left 640 x 480, the region the tool works on; a grey frame (8-bit, one
// channel) as its grey, all of it. So are the frames of the calls below.
DotScale estimateDotScale(const cv::Mat& frame, const std::vector<cv::Point2f>& targets);

// The scale of dots of this radius (px at half depth), depth and background noise (in the
// frame's levels): the measuring window follows from the radius.
DotScale dotScaleFor(double radius, double depth, double noise);

// Why a target got no centre, or that it got one.
enum class CentreVerdict { found, nearBorder, tooFaint, rimNotClear, wrongShape, unsettled };

// The sub-pixel centre of the dot at `target`: a darkness-weighted centroid inside a soft
// circular window, the background a plane fitted to the rim of the square around it, the
// window moved onto the estimate until it settles. Gives a verdict other than `found`
// (and leaves `centre` alone) for a target that is not on one whole dot.
CentreVerdict locateDotCentre(const cv::Mat& frame, cv::Point2f target, const DotScale& scale,
                              cv::Point2f& centre);

// `locateDotCentre` for every target; NaN coordinates where a target gets no centre.
// `centres` keeps its buffer from call to call.
void locateDotCentres(const cv::Mat& frame, const std::vector<cv::Point2f>& targets,
                      const DotScale& scale, std::vector<cv::Point2f>& centres);

// The surface's motion in one pass: the affine map from the markers' seeding centres to
// their current centres, and what it means. x right, y down.
struct SurfaceMotion {
    bool fitted = false;     // false when fewer than 3 markers were usable, or no fit held
    int markers = 0;         // markers with a centre now and at seeding
    int inliers = 0;         // markers the fit kept
    cv::Matx23d map;         // current = map * (seeding, 1)
    double tx = 0, ty = 0;   // px: motion of the centroid of all seeding centres
    double rotationDeg = 0;  // positive turns +x towards +y (clockwise on screen)
    double scale = 0;        // sqrt(det A): above 1 the field spreads
    double shear1 = 0;       // (P11 - P22) / 2s, where A = R(rotation) P, P symmetric
    double shear2 = 0;       // P12 / s
    double rms = 0;          // px: RMS residual of the inliers
};

// Buffers of the fit, kept from pass to pass so that it allocates nothing of its own.
struct MotionFitBuffers {
    std::vector<cv::Point2f> from;
    std::vector<cv::Point2f> to;
    cv::Mat inlierMask;
};

// Most draws of RANSAC, and the confidence at which it stops drawing sooner.
constexpr int robustIterations = 2000;
constexpr double robustConfidence = 0.995;

// Fits `motion` to the markers whose `seeding` and `current` centres are both known (not
// NaN): a robust fit (RANSAC) that rejects the markers lying farther than
// `outlierDistance` from where it maps them, refined by least squares on the others.
// `pivot` is the point whose motion gives tx, ty.
void fitSurfaceMotion(const std::vector<cv::Point2f>& seeding,
                      const std::vector<cv::Point2f>& current, cv::Point2f pivot,
                      double outlierDistance, MotionFitBuffers& buffers, SurfaceMotion& motion);

// How far a marker may lie from the fitted motion before it counts as an outlier: a quarter
// of the median distance from a seeding centre to its nearest neighbour, so that a marker
// that has moved onto a neighbouring dot is always out, while the departure of a smoothly
// deformed surface from an affine map is not. 0 when fewer than two centres are known.
double outlierDistanceFor(const std::vector<cv::Point2f>& seeding);

// The same distance for centres whose median distance to their nearest neighbour is
// `nearestSpacing`, for callers that know it already.
double outlierDistanceForSpacing(double nearestSpacing);

// What a run measures, carried from pass to pass.
struct Measurement {
    // The camera, when known before the first pass: its lens is then taken out of the
    // centres (to ideal px of its matrix) before the displacements and the motion, which
    // `seedCentres`, `seedCentroid` and `idealCentres` are of; `centres` stay where the dots
    // are seen.
    std::optional<CameraModel> camera;
    DotScale scale;
    std::vector<cv::Point2f> targetCentres;  // per target of the pass
    std::vector<cv::Point2f> seedCentres;    // per marker: its centre at seeding
    cv::Point2f seedCentroid;                // centroid of the seeding centres
    double outlierDistance = 0;              // px, from the seeding centres' spacing
    std::vector<cv::Point2f> centres;        // per marker: the centre of the target it holds
    std::vector<cv::Point2f> idealCentres;   // per marker, through the camera; NaN likewise
    std::vector<cv::Point2f> displacements;  // per marker: centre minus seeding centre
    SurfaceMotion motion;
    MotionFitBuffers fit;
    std::vector<cv::Point2d> seen, ideal;  // buffers of the undistortion
};

// Measures one pass, after the marker update: the dots' centres, each marker's centre and
// displacement, and the surface's motion. `firstPass` starts a new run (the seeding). The
// frames must be of the camera's size, if there is one.
void measurePass(const cv::Mat& frame, const std::vector<cv::Point2f>& targets,
                 const std::vector<int>& assignment, bool firstPass, Measurement& measurement);

// Whether a measured position exists (it is NaN when it does not).
inline bool isMeasured(cv::Point2f p) {
    return p.x == p.x && p.y == p.y;
}

}  // namespace dottrack
