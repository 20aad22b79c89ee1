#include "tools/sample/field_scene.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace dottrack {
namespace {

// The motions' amplitudes.
constexpr double affineTurnDegrees = 3.0;
constexpr double affineStretchX = 0.03, affineStretchY = -0.02, affineShear = 0.015;
constexpr double affineSlideX = 0.02, affineSlideY = -0.015;  // of the frame's size
constexpr double slideSpeed = 0.4;                            // of the spacing, per frame
constexpr double slideDegrees = 25.0;                         // direction of the slides
constexpr double turnDegrees = 12.0;
constexpr double stretchX = 0.10, stretchY = -0.05;
constexpr double leaveShare = 0.4;  // of the frame's width
// Far enough for a lens's bend to show as strain, slow enough that no dot moves fast.
constexpr double rigidTurnDegrees = 6.0;
constexpr double rigidSlideX = 0.1, rigidSlideY = 0.08;  // of the frame's size
// The press: a bulge about a point left of the middle, clear of the covering object, whose
// shift is largest, pressShift, at pressSpread from it (both of the frame's height); about
// 10 % of strain at its centre and a ring squeezed radially around it.
constexpr double pressCentreX = 0.4, pressCentreY = 0.45;  // of the frame's size
constexpr double pressSpread = 0.2;
constexpr double pressShift = 0.012;
// Newton steps that undo the bulge converge to this many px.
constexpr double unpressTolerance = 1e-12;
constexpr int unpressSteps = 50;

// The covering object: a finger-like capsule of radius coverRadius times the frame's height
// that comes in from the right edge, stays, and goes out again; the shares of the video at
// which it starts in, is in, starts out and is out.
constexpr double coverRadius = 0.12;
constexpr double coverIn[] = {0.2, 0.35, 0.6, 0.75};
constexpr double coverReach = 0.3;  // how far past the right edge its tip comes, of the width

const char* const motionNames[] = {"affine", "slide", "turn", "stretch", "leave", "rigid", "press"};
constexpr int motionCount = 7;

cv::Point2d frameCentre(const FieldSettings& s) {
    return {(s.size.width - 1) / 2.0, (s.size.height - 1) / 2.0};
}

double easeOutAndBack(double time, int frameCount) {
    const double u = time / std::max(1.0, frameCount - 1.0);
    return 0.5 * (1.0 - std::cos(2.0 * CV_PI * u));
}

// The frame, as far as the motions are concerned: faster by the scene's speed, and at rest
// once they are over.
double motionTime(const FieldSettings& s, int frameIndex) {
    return std::min(frameIndex * s.speed, std::max(0.0, s.frameCount - 1.0));
}

// The bulge's share of the shift at `distance` from its centre.
double pressShare(const FieldPose& pose, double distance) {
    return pose.pressGain *
           std::exp(-distance * distance / (2 * pose.pressSpread * pose.pressSpread));
}

// The image point where the bulge moves the point `q` of the affine image.
cv::Point2d pressPoint(const FieldPose& pose, cv::Point2d q) {
    const cv::Point2d d = q - pose.pressCentre;
    return q + d * pressShare(pose, std::hypot(d.x, d.y));
}

// The point of the affine image that the bulge moves to `pixel`: the radius r with
// r (1 + share(r)) = the pixel's, by Newton's steps (the map is monotonic for the gains used).
cv::Point2d unpressPoint(const FieldPose& pose, cv::Point2d pixel) {
    const cv::Point2d d = pixel - pose.pressCentre;
    const double seen = std::hypot(d.x, d.y);
    if (seen == 0) {
        return pixel;
    }
    const double spread2 = pose.pressSpread * pose.pressSpread;
    double r = seen;
    for (int step = 0; step < unpressSteps; ++step) {
        const double share = pressShare(pose, r);
        const double slope = 1 + share * (1 - r * r / spread2);
        const double change = (r * (1 + share) - seen) / slope;
        r -= change;
        if (std::abs(change) < unpressTolerance) {
            break;
        }
    }
    return pose.pressCentre + d * (r / seen);
}

// The affine map's image of `point`.
cv::Point2d affineImageOf(const FieldPose& pose, cv::Point2d point) {
    const cv::Vec2d p = pose.surfaceToImage * cv::Vec3d(point.x, point.y, 1.0);
    return {p[0], p[1]};
}

cv::Matx22d rotation(double degrees) {
    const double a = degrees * CV_PI / 180.0;
    return {std::cos(a), -std::sin(a), std::sin(a), std::cos(a)};
}

}  // namespace

std::string fieldMotionName(FieldMotion motion) {
    return motionNames[static_cast<int>(motion)];
}

FieldMotion fieldMotionNamed(const std::string& name) {
    for (int m = 0; m < motionCount; ++m) {
        if (name == motionNames[m]) {
            return static_cast<FieldMotion>(m);
        }
    }
    throw std::invalid_argument("unknown motion '" + name + "'");
}

FieldCover fieldCoverNamed(const std::string& name) {
    if (name == "dark") {
        return FieldCover::dark;
    }
    if (name == "light") {
        return FieldCover::light;
    }
    throw std::invalid_argument("unknown cover '" + name + "'");
}

FieldPose fieldPoseAt(const FieldScene& scene, int frameIndex) {
    const FieldSettings& s = scene.settings;
    const double time = motionTime(s, frameIndex);
    const double ease = easeOutAndBack(time, s.frameCount);
    cv::Matx22d linear = cv::Matx22d::eye();
    cv::Vec2d shift(0, 0);
    FieldPose pose;
    switch (s.motion) {
        case FieldMotion::affine:
            linear = rotation(affineTurnDegrees * ease) *
                     cv::Matx22d(1 + affineStretchX * ease, affineShear * ease, affineShear * ease,
                                 1 + affineStretchY * ease);
            shift = cv::Vec2d(affineSlideX * s.size.width, affineSlideY * s.size.height) * ease;
            break;
        case FieldMotion::slide: {
            // Two periods over the video; the peak speed A 2 pi / period is the limit.
            const double period = std::max(8.0, s.frameCount / 2.0);
            const double amplitude = slideSpeed * s.spacing * period / (2 * CV_PI);
            const double along = amplitude * std::sin(2 * CV_PI * time / period);
            const double a = slideDegrees * CV_PI / 180.0;
            shift = cv::Vec2d(std::cos(a), std::sin(a)) * along;
            break;
        }
        case FieldMotion::turn:
            linear =
                rotation(turnDegrees * std::sin(2 * CV_PI * time / std::max(1, s.frameCount - 1)));
            break;
        case FieldMotion::stretch:
            linear = cv::Matx22d(1 + stretchX * ease, 0, 0, 1 + stretchY * ease);
            break;
        case FieldMotion::leave:
            shift = cv::Vec2d(-leaveShare * s.size.width * ease, 0);
            break;
        case FieldMotion::rigid:
            linear = rotation(rigidTurnDegrees * ease);
            shift = cv::Vec2d(rigidSlideX * s.size.width, rigidSlideY * s.size.height) * ease;
            break;
        case FieldMotion::press:
            pose.pressCentre = {pressCentreX * s.size.width, pressCentreY * s.size.height};
            pose.pressSpread = pressSpread * s.size.height;
            // The shift g r exp(-r^2 / 2 s^2) peaks at r = s, at g s / sqrt(e).
            pose.pressGain = ease * pressShift / pressSpread * std::sqrt(std::exp(1.0));
            break;
    }
    // image = c + linear (surface - c) + shift, about the frame's centre c.
    const cv::Point2d c = frameCentre(s);
    const cv::Vec2d offset = cv::Vec2d(c.x, c.y) - linear * cv::Vec2d(c.x, c.y) + shift;
    const cv::Matx22d inverse = linear.inv();
    const cv::Vec2d back = -(inverse * offset);
    pose.surfaceToImage =
        cv::Matx23d(linear(0, 0), linear(0, 1), offset[0], linear(1, 0), linear(1, 1), offset[1]);
    pose.imageToSurface =
        cv::Matx23d(inverse(0, 0), inverse(0, 1), back[0], inverse(1, 0), inverse(1, 1), back[1]);
    return pose;
}

cv::Point2d surfacePointAt(const FieldPose& pose, cv::Point2d pixel) {
    const cv::Point2d q = pose.pressGain != 0 ? unpressPoint(pose, pixel) : pixel;
    const cv::Vec2d p = pose.imageToSurface * cv::Vec3d(q.x, q.y, 1.0);
    return {p[0], p[1]};
}

cv::Point2d imagePointOf(const FieldPose& pose, cv::Point2d point) {
    const cv::Point2d q = affineImageOf(pose, point);
    return pose.pressGain != 0 ? pressPoint(pose, q) : q;
}

cv::Matx22d surfaceJacobianAt(const FieldPose& pose, cv::Point2d point) {
    const cv::Matx23d& a = pose.surfaceToImage;
    const cv::Matx22d linear(a(0, 0), a(0, 1), a(1, 0), a(1, 1));
    if (pose.pressGain == 0) {
        return linear;
    }
    // The bulge's derivative: (1 + g) I - g d d^T / s^2, g its share at d from its centre.
    const cv::Point2d d = affineImageOf(pose, point) - pose.pressCentre;
    const double share = pressShare(pose, std::hypot(d.x, d.y));
    const double bend = share / (pose.pressSpread * pose.pressSpread);
    const cv::Matx22d press(1 + share - bend * d.x * d.x, -bend * d.x * d.y, -bend * d.x * d.y,
                            1 + share - bend * d.y * d.y);
    return press * linear;
}

double coverOpacityAt(const FieldSettings& s, int frameIndex, cv::Point2d pixel, double margin) {
    if (s.cover == FieldCover::none) {
        return 0.0;
    }
    const double u = frameIndex / std::max(1.0, s.frameCount - 1.0);
    double in = 0.0;
    if (u > coverIn[0] && u < coverIn[3]) {
        const double rise = std::clamp((u - coverIn[0]) / (coverIn[1] - coverIn[0]), 0.0, 1.0);
        const double fall = std::clamp((coverIn[3] - u) / (coverIn[3] - coverIn[2]), 0.0, 1.0);
        const double k = std::min(rise, fall);
        in = k * k * (3 - 2 * k);
    }
    const double radius = coverRadius * s.size.height;
    const cv::Point2d direction = cv::Point2d(-1.0, -0.3) / std::hypot(1.0, 0.3);
    const double outside = radius + s.coverEdge + 2.0;
    const double travel = outside + coverReach * s.size.width;
    const cv::Point2d tip =
        cv::Point2d(s.size.width + outside, 0.6 * s.size.height) + in * travel * direction;
    const cv::Point2d d = pixel - tip;
    const double along = d.dot(direction);
    const double distance = along > 0 ? cv::norm(d) : std::abs(d.cross(direction));
    return std::clamp(0.5 + (radius + margin - distance) / s.coverEdge, 0.0, 1.0);
}

}  // namespace dottrack
