#include <cmath>

#include "tools/sample/lens.h"

namespace dottrack {

namespace {

// Newton's method doubles the correct digits at every step from a start as close as the
// seen pixel; far more than enough, unless there is no ray to find.
constexpr int maxNewtonSteps = 50;
// Agreement asked of the inverse, in normalised coordinates: 1e-9 px at f = 1000 px.
constexpr double idealTolerance = 1e-12;
// px between an ideal pixel and the one found again from where the lens shows it: far more
// than Newton's error, far less than the distance to another ray's point.
constexpr double roundTripTolerance = 1e-6;

struct Distorted {
    cv::Vec2d point;
    cv::Matx22d jacobian;
};

// OpenCV's model of the lens at normalised ideal coordinates, with its derivative.
Distorted distort(const Lens& lens, cv::Vec2d ideal) {
    const double x = ideal[0], y = ideal[1];
    const double r2 = x * x + y * y;
    const double radial = 1 + r2 * (lens.k1 + r2 * (lens.k2 + r2 * lens.k3));
    const double radialSlope = lens.k1 + r2 * (2 * lens.k2 + r2 * 3 * lens.k3);  // d/d(r2)
    Distorted result;
    result.point = {x * radial + 2 * lens.p1 * x * y + lens.p2 * (r2 + 2 * x * x),
                    y * radial + lens.p1 * (r2 + 2 * y * y) + 2 * lens.p2 * x * y};
    const double cross = 2 * x * y * radialSlope + 2 * lens.p1 * x + 2 * lens.p2 * y;
    result.jacobian = {radial + 2 * x * x * radialSlope + 2 * lens.p1 * y + 6 * lens.p2 * x, cross,
                       cross, radial + 2 * y * y * radialSlope + 6 * lens.p1 * y + 2 * lens.p2 * x};
    return result;
}

}  // namespace

CameraModel cameraModelOf(const Lens& lens) {
    CameraModel camera;
    camera.matrix = {lens.focal, 0, lens.principalPoint.x, 0, lens.focal, lens.principalPoint.y, 0,
                     0,          1};
    camera.distortion = {lens.k1, lens.k2, lens.p1, lens.p2, lens.k3};
    camera.imageSize = lens.imageSize;
    camera.reprojectionError = 0;
    return camera;
}

cv::Point2d imagePixelOf(const Lens& lens, cv::Point2d ideal) {
    const cv::Vec2d normalised((ideal.x - lens.principalPoint.x) / lens.focal,
                               (ideal.y - lens.principalPoint.y) / lens.focal);
    const cv::Vec2d seen = distort(lens, normalised).point;
    return {lens.principalPoint.x + lens.focal * seen[0],
            lens.principalPoint.y + lens.focal * seen[1]};
}

cv::Matx22d lensJacobianAt(const Lens& lens, cv::Point2d ideal) {
    // In normalised coordinates and in pixels alike: the focal length scales both sides.
    return distort(lens, cv::Vec2d((ideal.x - lens.principalPoint.x) / lens.focal,
                                   (ideal.y - lens.principalPoint.y) / lens.focal))
        .jacobian;
}

bool idealPixelOf(const Lens& lens, cv::Point2d seen, cv::Point2d& ideal) {
    const cv::Vec2d target((seen.x - lens.principalPoint.x) / lens.focal,
                           (seen.y - lens.principalPoint.y) / lens.focal);
    // From the seen point inwards (or outwards) along a concave (or convex) curve, Newton's
    // steps never pass the root nearest the centre, the one a real ray takes.
    cv::Vec2d estimate = target;
    for (int step = 0; step < maxNewtonSteps; ++step) {
        const Distorted at = distort(lens, estimate);
        const cv::Vec2d miss = at.point - target;
        if (std::abs(miss[0]) < idealTolerance && std::abs(miss[1]) < idealTolerance) {
            // Past the fold the lens shows the ray the other way round: not a real ray.
            if (cv::determinant(at.jacobian) <= 0) {
                return false;
            }
            ideal = {lens.principalPoint.x + lens.focal * estimate[0],
                     lens.principalPoint.y + lens.focal * estimate[1]};
            return true;
        }
        const double det = cv::determinant(at.jacobian);
        if (!(std::abs(det) > 1e-12)) {
            return false;
        }
        estimate -= at.jacobian.inv() * miss;
    }
    return false;
}

bool showsIdealPixel(const Lens& lens, cv::Point2d ideal) {
    // The ray to a seen pixel is the one nearest the centre: any other is past the fold.
    cv::Point2d back;
    return idealPixelOf(lens, imagePixelOf(lens, ideal), back) &&
           std::hypot(back.x - ideal.x, back.y - ideal.y) < roundTripTolerance;
}

bool showsWholeAxes(const Lens& lens) {
    const cv::Point2d centre = lens.principalPoint;
    const double right = lens.imageSize.width - 1, bottom = lens.imageSize.height - 1;
    cv::Point2d ideal;
    for (const cv::Point2d end : {cv::Point2d(0, centre.y), cv::Point2d(right, centre.y),
                                  cv::Point2d(centre.x, 0), cv::Point2d(centre.x, bottom)}) {
        if (!idealPixelOf(lens, end, ideal)) {
            return false;
        }
    }
    return true;
}

cv::Mat traceIdealPixels(const Lens& lens) {
    cv::Mat ideals(lens.imageSize, CV_64FC2);
    for (int row = 0; row < ideals.rows; ++row) {
        auto* out = ideals.ptr<cv::Point2d>(row);
        for (int column = 0; column < ideals.cols; ++column) {
            if (!idealPixelOf(lens, cv::Point2d(column, row), out[column])) {
                out[column] = {std::nan(""), std::nan("")};
            }
        }
    }
    return ideals;
}

}  // namespace dottrack
