#include "tools/sample/target_views.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace dottrack {

namespace {

// Grey levels of the printed target and of what lies around it.
constexpr float paperLevel = 215.0F;
constexpr float inkLevel = 40.0F;
constexpr float surroundLevel = 100.0F;
constexpr float noRayLevel = 0.0F;
// A circle's radius, in steps of its grid.
constexpr double circleRadius = 0.3;
// Sub-samples per side of a pixel that an edge crosses: 256 of them put the pixel's level
// within half a grey level of its exact coverage.
constexpr int edgeSamples = 16;
// How much of the frame's width the target takes face on, and the gap left to the frame.
constexpr double targetWidthShare = 0.45;
constexpr double edgeGapPx = 3.0;
constexpr double degree = CV_PI / 180.0;

enum Surface : std::uint8_t { surround, paper, ink, noRay };

// The printed area in mm: the pattern with a white border one step wide (beyond a
// chessboard's outer squares), which the detectors want around it.
cv::Rect2d printedArea(const CalibrationPattern& pattern) {
    const double step = pattern.spacing;
    // Rows of acircles alternate between points 2 steps apart and the same shifted by 1.
    const double columns =
        pattern.kind == PatternKind::acircles ? 2 * pattern.grid.width : pattern.grid.width;
    const double border = pattern.kind == PatternKind::chessboard ? 2 * step : step;
    return {-border, -border, (columns - 1) * step + 2 * border,
            (pattern.grid.height - 1) * step + 2 * border};
}

Surface surfaceAt(const CalibrationPattern& pattern, const cv::Rect2d& printed, double u,
                  double v) {
    if (!(u >= printed.x && v >= printed.y && u < printed.x + printed.width &&
          v < printed.y + printed.height)) {
        return surround;
    }
    const double step = pattern.spacing;
    const int rows = pattern.grid.height, columns = pattern.grid.width;
    if (pattern.kind == PatternKind::chessboard) {
        const double a = std::floor(u / step), b = std::floor(v / step);
        const bool onBoard = a >= -1 && a <= columns - 1 && b >= -1 && b <= rows - 1;
        return onBoard && static_cast<long>(a + b) % 2 == 0 ? ink : paper;
    }
    // The nearest circle: its row first, since circles never reach half a row away.
    const int row = std::clamp(static_cast<int>(std::lround(v / step)), 0, rows - 1);
    const int shift = pattern.kind == PatternKind::acircles ? row % 2 : 0;
    const int pitch = pattern.kind == PatternKind::acircles ? 2 : 1;
    const int column =
        std::clamp(static_cast<int>(std::lround((u / step - shift) / pitch)), 0, columns - 1);
    const double du = u - (pitch * column + shift) * step, dv = v - row * step;
    return du * du + dv * dv < circleRadius * circleRadius * step * step ? ink : paper;
}

// Whether the whole printed area, with a gap around it, lies within the frame and on real
// rays of the lens at `pose`.
bool fitsInView(const Lens& lens, const CalibrationPattern& pattern, const TargetPose& pose) {
    const cv::Rect2d printed = printedArea(pattern);
    constexpr int samplesPerSide = 24;
    std::vector<cv::Point3d> outline;
    for (int k = 0; k < samplesPerSide; ++k) {
        const double f = static_cast<double>(k) / samplesPerSide;
        const double left = printed.x, top = printed.y;
        const double right = left + printed.width, bottom = top + printed.height;
        outline.emplace_back(left + f * printed.width, top, 0);
        outline.emplace_back(right, top + f * printed.height, 0);
        outline.emplace_back(right - f * printed.width, bottom, 0);
        outline.emplace_back(left, bottom - f * printed.height, 0);
    }
    cv::Matx33d rotation;
    cv::Rodrigues(pose.rotation, rotation);
    for (const cv::Point3d& corner : outline) {
        const cv::Vec3d camera = rotation * cv::Vec3d(corner.x, corner.y, 0) + pose.translation;
        if (camera[2] <= 0) {
            return false;
        }
        const cv::Point2d ideal(lens.principalPoint.x + lens.focal * camera[0] / camera[2],
                                lens.principalPoint.y + lens.focal * camera[1] / camera[2]);
        const cv::Point2d seen = imagePixelOf(lens, ideal);
        cv::Point2d back;
        if (seen.x < edgeGapPx || seen.y < edgeGapPx ||
            seen.x > lens.imageSize.width - 1 - edgeGapPx ||
            seen.y > lens.imageSize.height - 1 - edgeGapPx || !idealPixelOf(lens, seen, back) ||
            cv::norm(back - ideal) > 1e-6) {
            return false;
        }
    }
    return true;
}

// The pose that tilts the target by `tilt` (about x, then y, then the view axis, in degrees)
// at `depth` mm and shows the printed area's centre at the ideal pixel `centre`.
TargetPose poseAt(const Lens& lens, const CalibrationPattern& pattern, cv::Vec3d tilt, double depth,
                  cv::Point2d centre) {
    const cv::Rect2d printed = printedArea(pattern);
    cv::Matx33d aboutX, aboutY, aboutZ;
    cv::Rodrigues(cv::Vec3d(tilt[0] * degree, 0, 0), aboutX);
    cv::Rodrigues(cv::Vec3d(0, tilt[1] * degree, 0), aboutY);
    cv::Rodrigues(cv::Vec3d(0, 0, tilt[2] * degree), aboutZ);
    const cv::Matx33d rotation = aboutZ * aboutY * aboutX;
    const cv::Vec3d middle(printed.x + printed.width / 2, printed.y + printed.height / 2, 0);
    const cv::Vec3d ray((centre.x - lens.principalPoint.x) / lens.focal,
                        (centre.y - lens.principalPoint.y) / lens.focal, 1);
    TargetPose pose;
    cv::Rodrigues(rotation, pose.rotation);
    pose.translation = depth * ray - rotation * middle;
    return pose;
}

}  // namespace

TargetScene makeTargetScene(const Lens& lens, const CalibrationPattern& pattern, int views) {
    TargetScene scene;
    scene.lens = lens;
    scene.pattern = pattern;
    // Corners first, where the lens bends most, then the edges' middles and the centre.
    const std::array<cv::Point2d, 9> towards = {
        {{-1, -1}, {1, 1}, {1, -1}, {-1, 1}, {0, -1}, {1, 0}, {0, 1}, {-1, 0}, {0, 0}}};
    const std::array<cv::Vec3d, 7> tilts = {{{0, 0, 0},
                                             {25, 0, 5},
                                             {0, 25, -5},
                                             {-25, 0, 10},
                                             {0, -25, -10},
                                             {18, 18, 0},
                                             {-18, -18, 0}}};
    const std::array<double, 3> distances = {1.0, 0.85, 1.2};
    const double faceOnDepth =
        lens.focal * printedArea(pattern).width / (targetWidthShare * lens.imageSize.width);
    const cv::Point2d middle = lens.principalPoint;
    const cv::Point2d reach(lens.imageSize.width / 2.0, lens.imageSize.height / 2.0);
    for (int view = 0; view < views; ++view) {
        const cv::Point2d direction = towards[view % towards.size()];
        const cv::Vec3d tilt = tilts[(view + view / towards.size()) % tilts.size()];
        double depth = faceOnDepth * distances[(view / towards.size()) % distances.size()];
        // Back off until the target fits at the centre, then slide it out as far as it fits.
        while (!fitsInView(lens, pattern, poseAt(lens, pattern, tilt, depth, middle))) {
            depth *= 1.1;
        }
        double inside = 0, outside = 1.5;
        for (int halving = 0; halving < 30; ++halving) {
            const double share = (inside + outside) / 2;
            const cv::Point2d centre(middle.x + share * direction.x * reach.x,
                                     middle.y + share * direction.y * reach.y);
            (fitsInView(lens, pattern, poseAt(lens, pattern, tilt, depth, centre)) ? inside
                                                                                   : outside) =
                share;
        }
        const cv::Point2d centre(middle.x + inside * direction.x * reach.x,
                                 middle.y + inside * direction.y * reach.y);
        scene.poses.push_back(poseAt(lens, pattern, tilt, depth, centre));
    }
    scene.cornerRays = traceCornerRays(lens);
    return scene;
}

int targetFrameCount(const TargetScene& scene) {
    return static_cast<int>(scene.poses.size()) * scene.holdFrames;
}

cv::Mat traceCornerRays(const Lens& lens) {
    cv::Mat rays(lens.imageSize.height + 1, lens.imageSize.width + 1, CV_64FC2);
    for (int row = 0; row < rays.rows; ++row) {
        auto* ray = rays.ptr<cv::Vec2d>(row);
        for (int column = 0; column < rays.cols; ++column) {
            cv::Point2d ideal;
            if (idealPixelOf(lens, cv::Point2d(column - 0.5, row - 0.5), ideal)) {
                ray[column] = {(ideal.x - lens.principalPoint.x) / lens.focal,
                               (ideal.y - lens.principalPoint.y) / lens.focal};
            } else {
                ray[column] = {std::nan(""), std::nan("")};
            }
        }
    }
    return rays;
}

void renderTargetFrame(const TargetScene& scene, int frameIndex, cv::Mat& frame) {
    const CalibrationPattern& pattern = scene.pattern;
    const TargetPose& pose = scene.poses.at(frameIndex / scene.holdFrames);
    const cv::Rect2d printed = printedArea(pattern);
    // Normalised pinhole coordinates are the target's plane through a homography.
    cv::Matx33d rotation;
    cv::Rodrigues(pose.rotation, rotation);
    const cv::Matx33d toImage(rotation(0, 0), rotation(0, 1), pose.translation[0], rotation(1, 0),
                              rotation(1, 1), pose.translation[1], rotation(2, 0), rotation(2, 1),
                              pose.translation[2]);
    const cv::Matx33d toTarget = toImage.inv();

    // Where every pixel corner's ray meets the target, and what it finds there.
    const cv::Mat& rays = scene.cornerRays;
    cv::Mat onTarget(rays.size(), CV_64FC2);
    cv::Mat surface(rays.size(), CV_8U);
    for (int row = 0; row < rays.rows; ++row) {
        const auto* ray = rays.ptr<cv::Vec2d>(row);
        auto* point = onTarget.ptr<cv::Vec2d>(row);
        auto* found = surface.ptr<std::uint8_t>(row);
        for (int column = 0; column < rays.cols; ++column) {
            const cv::Vec3d hit = toTarget * cv::Vec3d(ray[column][0], ray[column][1], 1);
            if (std::isnan(ray[column][0])) {
                found[column] = noRay;
            } else if (hit[2] <= 0) {
                found[column] = surround;  // the plane lies behind the camera there
            } else {
                point[column] = {hit[0] / hit[2], hit[1] / hit[2]};
                found[column] = surfaceAt(pattern, printed, point[column][0], point[column][1]);
            }
        }
    }

    // A pixel whose corners all see the same surface shows it; one that an edge crosses
    // shows the average of its sub-samples, placed between its corners' points on the
    // target (within 1e-3 px of their rays, a pixel being that small beside the lens's bend).
    const std::array<float, 4> levels = {surroundLevel, paperLevel, inkLevel, noRayLevel};
    cv::Mat level(scene.lens.imageSize, CV_32F);
    for (int row = 0; row < level.rows; ++row) {
        const auto* above = surface.ptr<std::uint8_t>(row);
        const auto* below = surface.ptr<std::uint8_t>(row + 1);
        const auto* top = onTarget.ptr<cv::Vec2d>(row);
        const auto* bottom = onTarget.ptr<cv::Vec2d>(row + 1);
        auto* out = level.ptr<float>(row);
        for (int column = 0; column < level.cols; ++column) {
            const std::uint8_t first = above[column];
            if (first == above[column + 1] && first == below[column] &&
                first == below[column + 1]) {
                out[column] = levels[first];
                continue;
            }
            if (first == noRay || above[column + 1] == noRay || below[column] == noRay ||
                below[column + 1] == noRay) {
                out[column] = noRayLevel;
                continue;
            }
            double sum = 0;
            for (int i = 0; i < edgeSamples; ++i) {
                const double down = (i + 0.5) / edgeSamples;
                const cv::Vec2d left = (1 - down) * top[column] + down * bottom[column];
                const cv::Vec2d right = (1 - down) * top[column + 1] + down * bottom[column + 1];
                for (int j = 0; j < edgeSamples; ++j) {
                    const double across = (j + 0.5) / edgeSamples;
                    const cv::Vec2d at = (1 - across) * left + across * right;
                    sum += levels[surfaceAt(pattern, printed, at[0], at[1])];
                }
            }
            out[column] = static_cast<float>(sum / (edgeSamples * edgeSamples));
        }
    }

    // The noise of each frame is its own, the same on every run.
    cv::RNG noise(scene.seed * 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(frameIndex));
    cv::Mat grain(level.size(), CV_32F);
    noise.fill(grain, cv::RNG::NORMAL, 0.0, scene.noiseSigma);
    level += grain;
    cv::Mat grey;
    level.convertTo(grey, CV_8U);
    cv::cvtColor(grey, frame, cv::COLOR_GRAY2BGR);
}

}  // namespace dottrack
