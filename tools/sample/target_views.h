#pragma once
// Calibration targets seen through a known camera: the lens as a map between the pixels it
// shows and the ideal pixels of a pinhole, poses of a target that cover the whole view, and
// every frame rendered through the lens, sharp and anti-aliased, with mild pixel noise.
//
// Pixel coordinates: x to the right, y down, origin at the centre of the top-left pixel.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/camera.h"

namespace dottrack {

// A pinhole camera of focal length `focal` (px, square pixels) behind a lens with OpenCV's
// radial (k1, k2, k3) and tangential (p1, p2) distortion.
struct Lens {
    cv::Size imageSize{1280, 720};
    double focal = 1000.0;
    cv::Point2d principalPoint{639.5, 359.5};
    double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0;
};

// The lens as a camera file holds it.
CameraModel cameraModelOf(const Lens& lens);

// The pixel at which the lens shows what a pinhole would show at `ideal`.
cv::Point2d imagePixelOf(const Lens& lens, cv::Point2d ideal);

// The ideal pixel that the lens shows at `seen`, found by Newton's method to 1e-9 px. False
// where no ray leads there (the corners beyond the fold of a strong barrel lens).
bool idealPixelOf(const Lens& lens, cv::Point2d seen, cv::Point2d& ideal);

// The ideal ray, as normalised pinhole coordinates (x/z, y/z), through every corner of every
// pixel of the lens's frame: (height + 1) x (width + 1) CV_64FC2, NaN where no ray leads.
cv::Mat traceCornerRays(const Lens& lens);

// Where a target is: camera = R(rotation) target + translation, in mm, the rotation as a
// Rodrigues vector (OpenCV's rvec and tvec).
struct TargetPose {
    cv::Vec3d rotation;
    cv::Vec3d translation;
};

// Views of a calibration target through a lens, each held for a few frames.
struct TargetScene {
    Lens lens;
    CalibrationPattern pattern;
    std::vector<TargetPose> poses;  // one per view
    int holdFrames = 2;             // frames per view: the later ones differ only by noise
    double noiseSigma = 2.0;        // pixel noise, grey levels, new in every frame
    std::uint64_t seed = 1;         // of the noise
    cv::Mat cornerRays;             // traceCornerRays of the lens, traced once
};

// A scene of `views` views of `pattern` through `lens` that moves the target over the whole
// view, its corners included, at several tilts and turns, each pose as close to the frame's
// edge as the whole target (with its white border) fits.
TargetScene makeTargetScene(const Lens& lens, const CalibrationPattern& pattern, int views);

// Frames of the scene's video: every view held for holdFrames.
int targetFrameCount(const TargetScene& scene);

// Renders frame `frameIndex` of the scene as an 8-bit BGR image, reusing `frame`'s buffer.
void renderTargetFrame(const TargetScene& scene, int frameIndex, cv::Mat& frame);

}  // namespace dottrack
