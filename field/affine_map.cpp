#include <cmath>

#include "field/field.h"

namespace dottrack {

bool fitAffineMap(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to,
                  double minSpread, cv::Matx23d& map) {
    const std::size_t count = from.size();
    if (count < 3 || to.size() != count) {
        return false;
    }
    cv::Point2d meanFrom, meanTo;
    for (std::size_t i = 0; i < count; ++i) {
        meanFrom += cv::Point2d(from[i]);
        meanTo += cv::Point2d(to[i]);
    }
    meanFrom /= static_cast<double>(count);
    meanTo /= static_cast<double>(count);
    // Centred on the means, so that the scatter says how the points spread, and the sums
    // keep their precision far from the origin.
    double xx = 0, xy = 0, yy = 0;
    cv::Matx22d target = cv::Matx22d::zeros();
    for (std::size_t i = 0; i < count; ++i) {
        const double x = from[i].x - meanFrom.x, y = from[i].y - meanFrom.y;
        const double u = to[i].x - meanTo.x, v = to[i].y - meanTo.y;
        xx += x * x;
        xy += x * y;
        yy += y * y;
        target += cv::Matx22d(u * x, u * y, v * x, v * y);
    }
    const double half = (xx + yy) / 2;
    const double leastSpread = half - std::hypot((xx - yy) / 2, xy);
    if (!(leastSpread >= minSpread) || !(leastSpread > 0)) {
        return false;
    }
    const cv::Matx22d a = target * cv::Matx22d(xx, xy, xy, yy).inv();
    map = cv::Matx23d(a(0, 0), a(0, 1), meanTo.x - a(0, 0) * meanFrom.x - a(0, 1) * meanFrom.y,
                      a(1, 0), a(1, 1), meanTo.y - a(1, 0) * meanFrom.x - a(1, 1) * meanFrom.y);
    return true;
}

}  // namespace dottrack
