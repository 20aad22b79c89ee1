#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "camera/camera.h"

namespace dottrack {

namespace {

// The largest distance between the points of two numberings of the same pattern.
double largestDistance(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    double largest = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        largest = std::max(largest, cv::norm(a[i] - b[i]));
    }
    return largest;
}

}  // namespace

void refinePattern(const cv::Mat& frame, const CalibrationPattern& pattern,
                   std::vector<cv::Point2f>& points) {
    const std::optional<double> step = medianNeighbourDistance({points.begin(), points.end()});
    if (pattern.kind != PatternKind::chessboard || !step) {
        return;
    }
    // The finder's accurate mode works on the frame enlarged, four times the cost: only the
    // board and its white border, two steps wide, are searched again.
    const int border = static_cast<int>(std::ceil(2 * *step));
    const cv::Rect area =
        (cv::boundingRect(points) + cv::Size(2 * border, 2 * border) - cv::Point(border, border)) &
        cv::Rect(0, 0, frame.cols, frame.rows);
    cv::Mat grey = frame(area);
    if (frame.channels() == 3) {
        cv::cvtColor(grey, grey, cv::COLOR_BGR2GRAY);
    }
    std::vector<cv::Point2f> accurate;
    if (!cv::findChessboardCornersSB(grey, pattern.grid, accurate, cv::CALIB_CB_ACCURACY)) {
        return;
    }
    for (cv::Point2f& point : accurate) {
        point += cv::Point2f(area.tl());
    }
    // The same corners, numbered the same way round as before (a board turned half round
    // looks the same), or none.
    if (largestDistance(accurate, points) > *step / 2) {
        std::reverse(accurate.begin(), accurate.end());
    }
    if (largestDistance(accurate, points) < *step / 2) {
        points = accurate;
    }
}

}  // namespace dottrack
