#include <algorithm>
#include <cmath>
#include <numeric>

#include "field/field.h"

namespace dottrack {

namespace {

// Neighbours whose mean distance gives the pitch: the four sides of a square grid's cell.
// Jitter moves single neighbours nearer or farther, hardly their mean, where the nearest
// alone comes out short of the grid's pitch.
constexpr int pitchNeighbours = 4;

double medianOf(std::vector<double>& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace

DotSpacing measureDotSpacing(const std::vector<cv::Point2f>& points, PointGrid& grid) {
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    int count = 0;
    for (const cv::Point2f& p : points) {
        if (std::isfinite(p.x) && std::isfinite(p.y)) {
            minX = count == 0 ? p.x : std::min(minX, static_cast<double>(p.x));
            minY = count == 0 ? p.y : std::min(minY, static_cast<double>(p.y));
            maxX = count == 0 ? p.x : std::max(maxX, static_cast<double>(p.x));
            maxY = count == 0 ? p.y : std::max(maxY, static_cast<double>(p.y));
            ++count;
        }
    }
    if (count < 2) {
        return {};
    }
    // About one point a cell.
    buildPointGrid(points, std::max(std::sqrt((maxX - minX) * (maxY - minY) / count), 1.0), grid);
    std::vector<double> nearest, pitch, distances;
    nearest.reserve(static_cast<std::size_t>(count));
    pitch.reserve(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < points.size(); ++i) {
        findNearestDistances(grid, points, static_cast<int>(i), pitchNeighbours, distances);
        if (!distances.empty()) {
            nearest.push_back(distances.front());
            pitch.push_back(std::accumulate(distances.begin(), distances.end(), 0.0) /
                            static_cast<double>(distances.size()));
        }
    }
    return {medianOf(pitch), medianOf(nearest)};
}

}  // namespace dottrack
