#include <algorithm>

#include "camera/camera.h"

namespace dottrack {

namespace {

// A share of the pattern's step in the image: views closer than that add nothing to a
// calibration but weight, and a video held still yields hundreds of them.
constexpr double repeatShareOfStep = 0.25;

double meanDistance(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b,
                    bool reversed) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sum += cv::norm(a[i] - b[reversed ? b.size() - 1 - i : i]);
    }
    return sum / static_cast<double>(a.size());
}

}  // namespace

bool repeatsView(const std::vector<std::vector<cv::Point2f>>& taken,
                 const std::vector<cv::Point2f>& points) {
    const std::optional<double> step = medianNeighbourDistance({points.begin(), points.end()});
    if (!step) {
        return false;
    }
    const double tolerance = repeatShareOfStep * *step;
    return std::any_of(taken.begin(), taken.end(), [&](const std::vector<cv::Point2f>& view) {
        return view.size() == points.size() &&
               std::min(meanDistance(points, view, false), meanDistance(points, view, true)) <
                   tolerance;
    });
}

}  // namespace dottrack
