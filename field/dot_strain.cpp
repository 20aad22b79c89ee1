#include <cmath>

#include "field/field.h"

namespace dottrack {

namespace {

// Fewest neighbours with a centre that a gradient is fitted to: two fix it, a third gives
// the least squares something to average.
constexpr int fewestNeighbours = 3;
// Least spread of the neighbours across any direction, in squared pitches: as much as two
// neighbours a pitch away on either side. It bounds the strain's noise where a dot's
// neighbourhood is cut by the view's edge or a cover.
constexpr double leastSpread = 2.0;
constexpr double degreesPerRadian = 180.0 / CV_PI;

}  // namespace

bool fitDeformationGradient(const std::vector<cv::Point2f>& references,
                            const std::vector<cv::Point2f>& centres, int dot,
                            const std::vector<int>& neighbours, double spacing,
                            cv::Matx22d& gradient) {
    const cv::Point2f centre = centres[dot], reference = references[dot];
    if (!isMeasured(centre)) {
        return false;
    }
    // Normal equations of the least squares: F (sum dX dX^T) = sum dx dX^T.
    double xx = 0, xy = 0, yy = 0;
    cv::Matx22d offsets = cv::Matx22d::zeros();
    int count = 0;
    for (const int j : neighbours) {
        if (!isMeasured(centres[j])) {
            continue;
        }
        const double referenceX = static_cast<double>(references[j].x) - reference.x;
        const double referenceY = static_cast<double>(references[j].y) - reference.y;
        const double currentX = static_cast<double>(centres[j].x) - centre.x;
        const double currentY = static_cast<double>(centres[j].y) - centre.y;
        xx += referenceX * referenceX;
        xy += referenceX * referenceY;
        yy += referenceY * referenceY;
        offsets += cv::Matx22d(currentX * referenceX, currentX * referenceY, currentY * referenceX,
                               currentY * referenceY);
        ++count;
    }
    const double half = (xx + yy) / 2;
    const double leastEigenvalue = half - std::hypot((xx - yy) / 2, xy);
    if (count < fewestNeighbours || !(leastEigenvalue >= leastSpread * spacing * spacing)) {
        return false;
    }
    gradient = offsets * cv::Matx22d(xx, xy, xy, yy).inv();
    return true;
}

DotDeformation describeDeformation(const cv::Matx22d& gradient) {
    const double f11 = gradient(0, 0), f12 = gradient(0, 1);
    const double f21 = gradient(1, 0), f22 = gradient(1, 1);
    DotDeformation deformation;
    // E = (F^T F - I) / 2: the columns of F are where the reference axes went.
    deformation.exx = (f11 * f11 + f21 * f21 - 1.0) / 2;
    deformation.eyy = (f12 * f12 + f22 * f22 - 1.0) / 2;
    deformation.exy = (f11 * f12 + f21 * f22) / 2;
    deformation.rotationDeg = std::atan2(f21 - f12, f11 + f22) * degreesPerRadian;
    deformation.areaRatio = f11 * f22 - f12 * f21;
    return deformation;
}

}  // namespace dottrack
