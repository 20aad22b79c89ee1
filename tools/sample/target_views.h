#pragma once
// Calibration targets seen through a known camera (its lens in lens.h): poses of a target
// that cover the whole view, and every frame rendered through the lens, sharp and
// anti-aliased, with mild pixel noise.
//
// Pixel coordinates: x to the right, y down, origin at the centre of the top-left pixel.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/camera.h"
#include "tools/sample/lens.h"

namespace dottrack {

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
