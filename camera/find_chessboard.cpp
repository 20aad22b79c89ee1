#include <algorithm>
#include <cmath>
#include <cstdint>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "camera/camera.h"
#include "camera/pattern_finders.h"

namespace dottrack {

namespace {

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

}  // namespace

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

}  // namespace dottrack
