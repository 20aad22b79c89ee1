#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/calib3d.hpp>

#include "measure/measure.h"

namespace dottrack {

namespace {

// Part of the dots' spacing beyond which a marker is an outlier.
constexpr double spacingFraction = 0.25;
// Rounds of least squares that may still change which markers are in.
constexpr int refineRounds = 5;
// Fewest markers that determine an affine map.
constexpr int fewestMarkers = 3;
constexpr double degreesPerRadian = 180.0 / CV_PI;

// Least-squares affine map from `from` to `to` over the points whose mask entry is set,
// in coordinates centred on their means. False when they are (nearly) collinear.
bool fitLeastSquares(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to,
                     const cv::Mat& mask, cv::Matx23d& map) {
    cv::Point2d meanFrom, meanTo;
    int count = 0;
    for (std::size_t i = 0; i < from.size(); ++i) {
        if (mask.at<uchar>(static_cast<int>(i)) != 0) {
            meanFrom += cv::Point2d(from[i]);
            meanTo += cv::Point2d(to[i]);
            ++count;
        }
    }
    if (count < fewestMarkers) {
        return false;
    }
    meanFrom /= count;
    meanTo /= count;
    cv::Matx22d xx = cv::Matx22d::zeros(), yx = cv::Matx22d::zeros();
    for (std::size_t i = 0; i < from.size(); ++i) {
        if (mask.at<uchar>(static_cast<int>(i)) != 0) {
            const cv::Vec2d x(from[i].x - meanFrom.x, from[i].y - meanFrom.y);
            const cv::Vec2d y(to[i].x - meanTo.x, to[i].y - meanTo.y);
            xx += x * x.t();
            yx += y * x.t();
        }
    }
    const double det = cv::determinant(xx);
    if (!(det > 1e-9 * (xx(0, 0) + xx(1, 1)) * (xx(0, 0) + xx(1, 1)))) {
        return false;
    }
    const cv::Matx22d a = yx * xx.inv();
    const cv::Vec2d shift = cv::Vec2d(meanTo.x, meanTo.y) - a * cv::Vec2d(meanFrom.x, meanFrom.y);
    map = cv::Matx23d(a(0, 0), a(0, 1), shift[0], a(1, 0), a(1, 1), shift[1]);
    return true;
}

// The motion's readings from its map: A = s R(theta) P, with P symmetric and of
// determinant 1 (the polar decomposition with the scale taken out).
bool describeMap(const cv::Matx23d& map, cv::Point2f pivot, SurfaceMotion& motion) {
    const double a11 = map(0, 0), a12 = map(0, 1), a21 = map(1, 0), a22 = map(1, 1);
    const double det = a11 * a22 - a12 * a21;
    if (!(det > 0)) {
        return false;  // a mirrored or collapsed map is no motion of a surface
    }
    const double theta = std::atan2(a21 - a12, a11 + a22);
    const double c = std::cos(theta), s = std::sin(theta);
    const double scale = std::sqrt(det);
    // P = R(-theta) A.
    const double p11 = c * a11 + s * a21, p12 = c * a12 + s * a22;
    const double p21 = -s * a11 + c * a21, p22 = -s * a12 + c * a22;
    motion.rotationDeg = theta * degreesPerRadian;
    motion.scale = scale;
    motion.shear1 = (p11 - p22) / (2.0 * scale);
    motion.shear2 = (p12 + p21) / (2.0 * scale);
    motion.tx = a11 * pivot.x + a12 * pivot.y + map(0, 2) - pivot.x;
    motion.ty = a21 * pivot.x + a22 * pivot.y + map(1, 2) - pivot.y;
    return true;
}

// Squared distance from where `map` takes `from` to `to`.
double squaredResidual(const cv::Matx23d& map, cv::Point2f from, cv::Point2f to) {
    const double x = map(0, 0) * from.x + map(0, 1) * from.y + map(0, 2) - to.x;
    const double y = map(1, 0) * from.x + map(1, 1) * from.y + map(1, 2) - to.y;
    return x * x + y * y;
}

// Marks as inliers the markers that `map` takes within `outlierDistance` of their centre;
// whether that changed the set.
bool classifyMarkers(MotionFitBuffers& buffers, const cv::Matx23d& map, double outlierDistance) {
    bool changed = false;
    for (std::size_t i = 0; i < buffers.from.size(); ++i) {
        const uchar inlier = squaredResidual(map, buffers.from[i], buffers.to[i]) <=
                                     outlierDistance * outlierDistance
                                 ? 1
                                 : 0;
        uchar& mark = buffers.inlierMask.at<uchar>(static_cast<int>(i));
        changed = changed || (mark != 0) != (inlier != 0);
        mark = inlier;
    }
    return changed;
}

}  // namespace

double outlierDistanceFor(const std::vector<cv::Point2f>& seeding) {
    std::vector<double> nearest;
    for (std::size_t i = 0; i < seeding.size(); ++i) {
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t j = 0; j < seeding.size(); ++j) {
            if (j != i && isMeasured(seeding[i]) && isMeasured(seeding[j])) {
                best = std::min(best, cv::norm(cv::Point2d(seeding[i] - seeding[j])));
            }
        }
        if (std::isfinite(best)) {
            nearest.push_back(best);
        }
    }
    if (nearest.empty()) {
        return 0.0;
    }
    const auto middle = nearest.begin() + static_cast<std::ptrdiff_t>(nearest.size() / 2);
    std::nth_element(nearest.begin(), middle, nearest.end());
    return outlierDistanceForSpacing(*middle);
}

double outlierDistanceForSpacing(double nearestSpacing) {
    return spacingFraction * nearestSpacing;
}

void fitSurfaceMotion(const std::vector<cv::Point2f>& seeding,
                      const std::vector<cv::Point2f>& current, cv::Point2f pivot,
                      double outlierDistance, MotionFitBuffers& buffers, SurfaceMotion& motion) {
    motion = SurfaceMotion();
    buffers.from.clear();
    buffers.to.clear();
    const std::size_t count = std::min(seeding.size(), current.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (isMeasured(seeding[i]) && isMeasured(current[i])) {
            buffers.from.push_back(seeding[i]);
            buffers.to.push_back(current[i]);
        }
    }
    motion.markers = static_cast<int>(buffers.from.size());
    if (motion.markers < fewestMarkers || !(outlierDistance > 0)) {
        return;
    }
    const cv::Mat robust =
        cv::estimateAffine2D(buffers.from, buffers.to, buffers.inlierMask, cv::RANSAC,
                             outlierDistance, robustIterations, robustConfidence, 0);
    if (robust.empty()) {
        return;
    }
    // The least-squares map decides anew which markers are in, until the set settles: the
    // consensus of a few markers that the robust step picked is not the fit of the field.
    cv::Matx23d map;
    bool changed = true;
    for (int round = 0; changed && round < refineRounds; ++round) {
        if (!fitLeastSquares(buffers.from, buffers.to, buffers.inlierMask, map)) {
            return;
        }
        changed = classifyMarkers(buffers, map, outlierDistance);
    }
    if ((changed && !fitLeastSquares(buffers.from, buffers.to, buffers.inlierMask, map)) ||
        !describeMap(map, pivot, motion)) {
        return;
    }
    double squares = 0;
    int inliers = 0;
    for (std::size_t i = 0; i < buffers.from.size(); ++i) {
        if (buffers.inlierMask.at<uchar>(static_cast<int>(i)) != 0) {
            squares += squaredResidual(map, buffers.from[i], buffers.to[i]);
            ++inliers;
        }
    }
    motion.map = map;
    motion.inliers = inliers;
    motion.rms = std::sqrt(squares / inliers);
    motion.fitted = true;
}

}  // namespace dottrack
