#pragma once
// A known camera's lens: the map between the pixels it shows and the ideal pixels of a
// pinhole, for the scenes that are seen through it and the tests that take it out again.
//
// Pixel coordinates: x to the right, y down, origin at the centre of the top-left pixel.

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

// How the pixel the lens shows moves with the ideal pixel at `ideal`: d seen / d ideal.
cv::Matx22d lensJacobianAt(const Lens& lens, cv::Point2d ideal);

// Whether the lens shows the ideal pixel at all: short of the fold of a strong barrel lens,
// beyond which its formula folds points back into view where no ray brings them.
bool showsIdealPixel(const Lens& lens, cv::Point2d ideal);

// The ideal pixel that the lens shows at `seen`, found by Newton's method to 1e-9 px. False
// where no ray leads there (the corners beyond the fold of a strong barrel lens).
bool idealPixelOf(const Lens& lens, cv::Point2d seen, cv::Point2d& ideal);

// Whether real rays lead to the ends of the frame's axes (the middles of its edges): a fold
// of the lens, if any, then cuts no more than the frame's corners.
bool showsWholeAxes(const Lens& lens);

// The ideal pixel of every pixel's centre of the lens's frame: CV_64FC2 of its size, NaN
// where no ray leads.
cv::Mat traceIdealPixels(const Lens& lens);

}  // namespace dottrack
