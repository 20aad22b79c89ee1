#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "camera/camera.h"

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

// Whether `points` are numbered as the pattern's: the homography of the target's plane puts
// each within a share of the distance between neighbours of its point. A strong lens bends
// the rows by a sixth of that at most; a wrong numbering puts points a whole step off.
bool numberedAsPattern(const CalibrationPattern& pattern, const std::vector<cv::Point2f>& points) {
    constexpr double tolerance = 0.4;
    std::vector<cv::Point2f> plane;
    for (const cv::Point3f& point : patternPoints(pattern)) {
        plane.emplace_back(point.x, point.y);
    }
    const cv::Mat homography = cv::findHomography(plane, points, 0);
    if (homography.empty()) {
        return false;
    }
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(plane, mapped, homography);
    const std::optional<double> step = medianNeighbourDistance({points.begin(), points.end()});
    if (!step) {
        return false;
    }
    const double limit = tolerance * *step;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (cv::norm(mapped[i] - points[i]) > limit) {
            return false;
        }
    }
    return true;
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

// Whether `points` are the inner corners of a whole board: the squares around and between
// them, the outer ones one step beyond, alternate dark and light, each clearly apart from its
// neighbours (compared only with them, as light may fall unevenly). The finder also takes
// the junctions of the outer squares with the white border for corners, and so finds a grid
// one row too long, or turned a quarter round, on a board of the other dimensions.
bool coversWholeBoard(const cv::Mat& grey, const CalibrationPattern& pattern,
                      const std::vector<cv::Point2f>& points) {
    const int columns = pattern.grid.width, rows = pattern.grid.height;
    // The corners with a ring one step beyond: rows extended first, then columns.
    cv::Mat_<cv::Point2f> ring(rows + 2, columns + 2);
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < columns; ++j) {
            ring(i + 1, j + 1) = points[i * columns + j];
        }
        ring(i + 1, 0) = 2 * ring(i + 1, 1) - ring(i + 1, 2);
        ring(i + 1, columns + 1) = 2 * ring(i + 1, columns) - ring(i + 1, columns - 1);
    }
    for (int j = 0; j < columns + 2; ++j) {
        ring(0, j) = 2 * ring(1, j) - ring(2, j);
        ring(rows + 1, j) = 2 * ring(rows, j) - ring(rows - 1, j);
    }
    cv::Mat_<float> level(rows + 1, columns + 1);  // at each square's middle
    for (int i = 0; i <= rows; ++i) {
        for (int j = 0; j <= columns; ++j) {
            const cv::Point2f middle =
                (ring(i, j) + ring(i, j + 1) + ring(i + 1, j) + ring(i + 1, j + 1)) / 4;
            const cv::Point at(cvRound(middle.x), cvRound(middle.y));
            if (!cv::Rect(0, 0, grey.cols, grey.rows).contains(at)) {
                return false;
            }
            level(i, j) = grey.at<std::uint8_t>(at);
        }
    }
    // Each step to a neighbour, signed so that it is positive when the squares of even place
    // are the dark ones.
    std::vector<float> steps;
    for (int i = 0; i <= rows; ++i) {
        for (int j = 0; j <= columns; ++j) {
            const float sign = (i + j) % 2 == 0 ? 1.0F : -1.0F;
            if (j < columns) {
                steps.push_back(sign * (level(i, j + 1) - level(i, j)));
            }
            if (i < rows) {
                steps.push_back(sign * (level(i + 1, j) - level(i, j)));
            }
        }
    }
    std::vector<float> sizes(steps.size());
    std::transform(steps.begin(), steps.end(), sizes.begin(), [](float v) { return std::abs(v); });
    std::nth_element(sizes.begin(), sizes.begin() + sizes.size() / 2, sizes.end());
    const float contrast = sizes[sizes.size() / 2] / 4;
    const bool evenDark = steps.front() > 0;
    return contrast > 0 && std::all_of(steps.begin(), steps.end(), [&](float step) {
               return (evenDark ? step : -step) > contrast;
           });
}

// The chessboard finder's search without its options that move the corners: normalising the
// image doubles their error on sharp frames.
constexpr int chessboardSearch = cv::CALIB_CB_EXHAUSTIVE;

// Looks for the board in the frame at half size first, a quarter of the cost, where a board
// of squares over about 20 px is found as surely; its corners, a tenth of a pixel off there,
// serve to tell views apart, and refinePattern finds those of a view taken again.
bool searchChessboard(const cv::Mat& grey, cv::Size grid, std::vector<cv::Point2f>& points,
                      int flags, cv::Mat& layout) {
    cv::Mat half;
    cv::resize(grey, half, {}, 0.5, 0.5, cv::INTER_AREA);
    if (cv::findChessboardCornersSB(half, grid, points, flags, layout)) {
        for (cv::Point2f& point : points) {
            point = point * 2 + cv::Point2f(0.5F, 0.5F);  // pixel centres, not corners, at 0
        }
        return true;
    }
    return (flags & cv::CALIB_CB_LARGER) == 0 &&
           cv::findChessboardCornersSB(grey, grid, points, flags, layout);
}

PatternSight findChessboard(const cv::Mat& grey, const CalibrationPattern& pattern,
                            std::vector<cv::Point2f>& points) {
    cv::Mat layout;
    if (searchChessboard(grey, pattern.grid, points, chessboardSearch, layout) &&
        numberedAsPattern(pattern, points) && coversWholeBoard(grey, pattern, points)) {
        return PatternSight::found;
    }
    std::vector<cv::Point2f> larger;
    if (searchChessboard(grey, pattern.grid, larger, chessboardSearch | cv::CALIB_CB_LARGER,
                         layout) &&
        larger.size() > static_cast<std::size_t>(pattern.grid.area())) {
        return PatternSight::larger;
    }
    return PatternSight::absent;
}

cv::Mat greyOf(const cv::Mat& frame) {
    cv::Mat grey = frame;
    if (frame.channels() == 3) {
        cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    }
    return grey;
}

}  // namespace

PatternSight findPattern(const cv::Mat& frame, const CalibrationPattern& pattern,
                         std::vector<cv::Point2f>& points) {
    const cv::Mat grey = greyOf(frame);
    return pattern.kind == PatternKind::chessboard ? findChessboard(grey, pattern, points)
                                                   : findCircles(grey, pattern, points);
}

}  // namespace dottrack
