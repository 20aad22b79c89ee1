#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>

#include "camera/camera.h"
#include "camera/pattern_finders.h"

namespace dottrack {

namespace {

// The smallest circle worth a centre (about 2 px across), in px².
constexpr float minCircleArea = 12.0F;
// A point beyond the pattern counts as there when a blob lies within this share of the
// pattern's local step of where the grid continues.
constexpr double continuationTolerance = 0.25;

// A point one step beyond the pattern, where a larger grid would have one: p[a] + p[b] - p[c].
struct Continuation {
    int a, b, c;
};

// The points one step beyond each of the pattern's four sides.
std::array<std::vector<Continuation>, 4> continuations(const CalibrationPattern& pattern) {
    const int columns = pattern.grid.width, rows = pattern.grid.height;
    const auto at = [columns](int row, int column) { return row * columns + column; };
    std::array<std::vector<Continuation>, 4> sides;
    for (int i = 0; i < rows; ++i) {  // along the rows, both ends
        sides[0].push_back({at(i, 0), at(i, 0), at(i, 1)});
        sides[1].push_back({at(i, columns - 1), at(i, columns - 1), at(i, columns - 2)});
    }
    if (pattern.kind == PatternKind::circles) {
        for (int j = 0; j < columns; ++j) {
            sides[2].push_back({at(0, j), at(0, j), at(1, j)});
            sides[3].push_back({at(rows - 1, j), at(rows - 1, j), at(rows - 2, j)});
        }
        return sides;
    }
    // Rows of acircles alternate: the row beyond sits between two of the outer row's points.
    const int lastShift = (rows - 1) % 2;
    for (int j = 0; j + 1 < columns; ++j) {
        sides[2].push_back({at(0, j), at(0, j + 1), at(1, j)});
        sides[3].push_back({at(rows - 1, j), at(rows - 1, j + 1), at(rows - 2, j + lastShift)});
    }
    return sides;
}

// Whether blobs like the pattern's own continue its grid beyond one of its sides.
bool continuesBeyond(const CalibrationPattern& pattern, const std::vector<cv::Point2f>& points,
                     const std::vector<cv::KeyPoint>& blobs) {
    std::vector<float> sizes;
    for (const cv::KeyPoint& blob : blobs) {
        for (const cv::Point2f& point : points) {
            if (cv::norm(blob.pt - point) < 1.0) {
                sizes.push_back(blob.size);
                break;
            }
        }
    }
    if (sizes.empty()) {
        return false;
    }
    std::nth_element(sizes.begin(), sizes.begin() + sizes.size() / 2, sizes.end());
    const float size = sizes[sizes.size() / 2];
    for (const std::vector<Continuation>& side : continuations(pattern)) {
        std::size_t hits = 0;
        for (const Continuation& next : side) {
            const cv::Point2f predicted = points[next.a] + points[next.b] - points[next.c];
            const double tolerance =
                continuationTolerance * cv::norm(points[next.a] - points[next.c]);
            hits += std::any_of(blobs.begin(), blobs.end(), [&](const cv::KeyPoint& blob) {
                return cv::norm(blob.pt - predicted) < tolerance && blob.size > size / 2 &&
                       blob.size < size * 2;
            });
        }
        if (hits >= 2 && 2 * hits >= side.size()) {
            return true;
        }
    }
    return false;
}

// Numbers `points` as the pattern's when they are not yet. OpenCV's finder of asymmetric
// grids returns the rows of one with an even number of them out of order (each row whole and
// in order along itself): they are sorted across, and the way round that fits is kept.
bool renumberAsPattern(const CalibrationPattern& pattern, std::vector<cv::Point2f>& points) {
    if (numberedAsPattern(pattern, points)) {
        return true;
    }
    const int columns = pattern.grid.width, rows = pattern.grid.height;
    cv::Point2f along(0, 0);
    for (int row = 0; row < rows; ++row) {
        along += points[row * columns + columns - 1] - points[row * columns];
    }
    const cv::Point2f across(-along.y, along.x);
    std::vector<std::pair<double, int>> rowOrder;
    for (int row = 0; row < rows; ++row) {
        double position = 0;
        for (int column = 0; column < columns; ++column) {
            position += across.dot(points[row * columns + column]);
        }
        rowOrder.emplace_back(position, row);
    }
    std::sort(rowOrder.begin(), rowOrder.end());
    std::vector<cv::Point2f> sorted;
    for (const auto& [position, row] : rowOrder) {
        sorted.insert(sorted.end(), points.begin() + row * columns,
                      points.begin() + (row + 1) * columns);
    }
    // Turning the sorted rows half round reverses both orders; a mirror reverses one.
    for (const bool reverseRows : {false, true}) {
        for (const bool reverseEachRow : {false, true}) {
            std::vector<cv::Point2f> candidate(sorted.size());
            for (int row = 0; row < rows; ++row) {
                for (int column = 0; column < columns; ++column) {
                    const int fromRow = reverseRows ? rows - 1 - row : row;
                    const int fromColumn = reverseEachRow ? columns - 1 - column : column;
                    candidate[row * columns + column] = sorted[fromRow * columns + fromColumn];
                }
            }
            if (numberedAsPattern(pattern, candidate)) {
                points = candidate;
                return true;
            }
        }
    }
    return false;
}

// OpenCV's grid finder on the blobs' centres. It works in pixels and misses most grids whose
// circles lie over about 100 px apart: the centres are brought to a 40 px spacing first.
// Its search by clustering finds the small grids (4 x 3) that its first search misses.
bool findCircleGrid(const std::vector<cv::Point2f>& candidates, const CalibrationPattern& pattern,
                    std::vector<cv::Point2f>& points) {
    constexpr double finderSpacing = 40.0;
    const std::optional<double> spacing =
        medianNeighbourDistance({candidates.begin(), candidates.end()});
    if (!spacing) {
        return false;
    }
    const float scale = static_cast<float>(finderSpacing / *spacing);
    std::vector<cv::Point2f> scaled;
    for (const cv::Point2f& candidate : candidates) {
        scaled.push_back(candidate * scale);
    }
    const int flags = pattern.kind == PatternKind::acircles ? cv::CALIB_CB_ASYMMETRIC_GRID
                                                            : cv::CALIB_CB_SYMMETRIC_GRID;
    const cv::Ptr<cv::FeatureDetector> centresGiven;
    if (!cv::findCirclesGrid(scaled, pattern.grid, points, flags, centresGiven) &&
        !cv::findCirclesGrid(scaled, pattern.grid, points, flags | cv::CALIB_CB_CLUSTERING,
                             centresGiven)) {
        return false;
    }
    for (cv::Point2f& point : points) {
        point /= scale;
    }
    return true;
}

}  // namespace

PatternSight findCircles(const cv::Mat& grey, const CalibrationPattern& pattern,
                         std::vector<cv::Point2f>& points) {
    // OpenCV's default detector takes no blob over 5000 px², which a near target exceeds
    // on a large frame: here no circle is refused for less than its share of the frame.
    cv::SimpleBlobDetector::Params parameters;
    parameters.minArea = minCircleArea;
    parameters.maxArea = static_cast<float>(grey.total()) / static_cast<float>(pattern.grid.area());
    std::vector<cv::KeyPoint> blobs;
    cv::SimpleBlobDetector::create(parameters)->detect(grey, blobs);
    std::vector<cv::Point2f> candidates;
    for (const cv::KeyPoint& blob : blobs) {
        candidates.push_back(blob.pt);
    }
    if (candidates.size() < static_cast<std::size_t>(pattern.grid.area()) ||
        !findCircleGrid(candidates, pattern, points) || !renumberAsPattern(pattern, points)) {
        return PatternSight::absent;
    }
    return continuesBeyond(pattern, points, blobs) ? PatternSight::larger : PatternSight::found;
}

}  // namespace dottrack
