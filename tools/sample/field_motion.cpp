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

// The covering object: a finger-like capsule of radius coverRadius times the frame's height
// that comes in from the right edge, stays, and goes out again; the shares of the video at
// which it starts in, is in, starts out and is out.
constexpr double coverRadius = 0.12;
constexpr double coverIn[] = {0.2, 0.35, 0.6, 0.75};
constexpr double coverReach = 0.3;  // how far past the right edge its tip comes, of the width

const char* const motionNames[] = {"affine", "slide", "turn", "stretch", "leave", "rigid"};
constexpr int motionCount = 6;

cv::Point2d frameCentre(const FieldSettings& s) {
    return {(s.size.width - 1) / 2.0, (s.size.height - 1) / 2.0};
}

double easeOutAndBack(int frameIndex, int frameCount) {
    const double u = frameIndex / std::max(1.0, frameCount - 1.0);
    return 0.5 * (1.0 - std::cos(2.0 * CV_PI * u));
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
    const double ease = easeOutAndBack(frameIndex, s.frameCount);
    cv::Matx22d linear = cv::Matx22d::eye();
    cv::Vec2d shift(0, 0);
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
            const double along = amplitude * std::sin(2 * CV_PI * frameIndex / period);
            const double a = slideDegrees * CV_PI / 180.0;
            shift = cv::Vec2d(std::cos(a), std::sin(a)) * along;
            break;
        }
        case FieldMotion::turn:
            linear = rotation(turnDegrees *
                              std::sin(2 * CV_PI * frameIndex / std::max(1, s.frameCount - 1)));
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
    }
    // image = c + linear (surface - c) + shift, about the frame's centre c.
    const cv::Point2d c = frameCentre(s);
    const cv::Vec2d offset = cv::Vec2d(c.x, c.y) - linear * cv::Vec2d(c.x, c.y) + shift;
    const cv::Matx22d inverse = linear.inv();
    const cv::Vec2d back = -(inverse * offset);
    FieldPose pose;
    pose.surfaceToImage =
        cv::Matx23d(linear(0, 0), linear(0, 1), offset[0], linear(1, 0), linear(1, 1), offset[1]);
    pose.imageToSurface =
        cv::Matx23d(inverse(0, 0), inverse(0, 1), back[0], inverse(1, 0), inverse(1, 1), back[1]);
    return pose;
}

cv::Point2d surfacePointAt(const FieldPose& pose, cv::Point2d pixel) {
    const cv::Vec2d p = pose.imageToSurface * cv::Vec3d(pixel.x, pixel.y, 1.0);
    return {p[0], p[1]};
}

cv::Point2d imagePointOf(const FieldPose& pose, cv::Point2d point) {
    const cv::Vec2d p = pose.surfaceToImage * cv::Vec3d(point.x, point.y, 1.0);
    return {p[0], p[1]};
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
