#include <algorithm>
#include <cmath>
#include <limits>

#include "camera/camera.h"

namespace dottrack {

namespace {

// How much farther than the nearest dot, typically, a neighbour may be.
constexpr double neighbourReach = 1.25;

}  // namespace

std::optional<double> medianNeighbourDistance(const std::vector<cv::Point2d>& points) {
    const std::size_t count = points.size();
    if (count < 2) {
        return std::nullopt;
    }
    // Sorted by x, a dot's nearest neighbour is found by walking out both ways until the
    // gap in x alone exceeds the best distance: about the square root of the dots per dot.
    std::vector<cv::Point2d> byX = points;
    std::sort(byX.begin(), byX.end(),
              [](const cv::Point2d& a, const cv::Point2d& b) { return a.x < b.x; });
    std::vector<double> nearest(count);
    for (std::size_t i = 0; i < count; ++i) {
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t j = i + 1; j < count && byX[j].x - byX[i].x < best; ++j) {
            best = std::min(best, std::hypot(byX[j].x - byX[i].x, byX[j].y - byX[i].y));
        }
        for (std::size_t j = i; j-- > 0 && byX[i].x - byX[j].x < best;) {
            best = std::min(best, std::hypot(byX[j].x - byX[i].x, byX[j].y - byX[i].y));
        }
        nearest[i] = best;
    }
    // The median: a stray speck or a dot run into another moves it by one place at most.
    const auto middle = nearest.begin() + static_cast<std::ptrdiff_t>(count / 2);
    std::nth_element(nearest.begin(), middle, nearest.end());
    double median = *middle;
    if (count % 2 == 0) {
        median = (median + *std::max_element(nearest.begin(), middle)) / 2;
    }
    if (!(median > 0)) {
        return std::nullopt;
    }
    return median;
}

std::optional<double> medianNeighbourSpacing(const std::vector<cv::Point2d>& points) {
    const std::optional<double> nearest = medianNeighbourDistance(points);
    if (!nearest) {
        return std::nullopt;
    }
    // Neighbours: as near as the nearest, give or take far more than the centres' noise and
    // far less than the diagonal of a square grid.
    const double reach = neighbourReach * *nearest;
    std::vector<cv::Point2d> byX = points;
    std::sort(byX.begin(), byX.end(),
              [](const cv::Point2d& a, const cv::Point2d& b) { return a.x < b.x; });
    std::vector<double> distances;
    for (std::size_t i = 0; i < byX.size(); ++i) {
        for (std::size_t j = i + 1; j < byX.size() && byX[j].x - byX[i].x < reach; ++j) {
            const double distance = std::hypot(byX[j].x - byX[i].x, byX[j].y - byX[i].y);
            if (distance < reach) {
                distances.push_back(distance);
            }
        }
    }
    const auto middle = distances.begin() + static_cast<std::ptrdiff_t>(distances.size() / 2);
    std::nth_element(distances.begin(), middle, distances.end());
    return *middle;
}

std::optional<double> scaleFromPitch(const std::vector<cv::Point2d>& idealCentres, double pitchMm) {
    const std::optional<double> spacing = medianNeighbourSpacing(idealCentres);
    return spacing ? std::optional<double>(pitchMm / *spacing) : std::nullopt;
}

}  // namespace dottrack
