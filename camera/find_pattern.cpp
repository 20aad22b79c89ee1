#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "camera/camera.h"
#include "camera/pattern_finders.h"

namespace dottrack {

namespace {

cv::Mat greyOf(const cv::Mat& frame) {
    cv::Mat grey = frame;
    if (frame.channels() == 3) {
        cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    }
    return grey;
}

}  // namespace

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

PatternSight findPattern(const cv::Mat& frame, const CalibrationPattern& pattern,
                         std::vector<cv::Point2f>& points) {
    const cv::Mat grey = greyOf(frame);
    return pattern.kind == PatternKind::chessboard ? findChessboard(grey, pattern, points)
                                                   : findCircles(grey, pattern, points);
}

}  // namespace dottrack
