#include <opencv2/calib3d.hpp>

#include "camera/camera.h"

namespace dottrack {

namespace {

// k1, k2 and the tangential pair free, k3 held at 0. On a strong barrel lens (k1 = -0.28),
// freeing k3 too moved k1 by less than 0.0003 and f by 0.01 % where the views reach; beyond
// them, in the frame's far corners, the free sixth power ran away (a ray 336 px off, 3.6
// with k3 held).
constexpr int fullModel = cv::CALIB_FIX_K3;
// A first fit of f and k1 alone, the principal point at the frame's centre.
constexpr int focalAndK1 = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_PRINCIPAL_POINT |
                           cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST |
                           cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3;

struct Fit {
    double error = 0;
    cv::Mat matrix, distortion;
};

Fit calibrate(const std::vector<std::vector<cv::Point3f>>& targets,
              const std::vector<std::vector<cv::Point2f>>& views, cv::Size imageSize, Fit start,
              int flags) {
    std::vector<cv::Mat> rotations, translations;
    start.error = cv::calibrateCamera(targets, views, imageSize, start.matrix, start.distortion,
                                      rotations, translations, flags);
    return start;
}

}  // namespace

std::string calibrateFromViews(const std::vector<std::vector<cv::Point2f>>& views,
                               const CalibrationPattern& pattern, cv::Size imageSize,
                               CameraModel& camera) {
    // Each view of a plane tells two of the camera's unknowns, and brings six of its own (its
    // pose). From random sets of sharp views of a strong lens, three put f up to 1.2 % off,
    // four 0.4 %, six and more below 0.1 %: six leave room for real views' noise.
    if (views.size() < minCalibrationViews) {
        return "found " + std::to_string(views.size()) + " distinct views of the pattern, " +
               "a calibration needs at least " + std::to_string(minCalibrationViews);
    }
    const std::vector<std::vector<cv::Point3f>> targets(views.size(), patternPoints(pattern));
    // OpenCV starts from a lens without distortion, which a wide pattern across a strong
    // lens leads to a false minimum (f three times too long); a start from f and k1 fitted
    // with the frame's width as the focal length does not. The better fit is kept.
    Fit guess;
    const double width = imageSize.width;
    guess.matrix = (cv::Mat_<double>(3, 3) << width, 0, (width - 1) / 2, 0, width,
                    (imageSize.height - 1) / 2.0, 0, 0, 1);
    guess.distortion = cv::Mat::zeros(1, 5, CV_64F);
    guess = calibrate(targets, views, imageSize, guess, focalAndK1);
    const Fit guided =
        calibrate(targets, views, imageSize, guess, fullModel | cv::CALIB_USE_INTRINSIC_GUESS);
    const Fit plain = calibrate(targets, views, imageSize, Fit(), fullModel);
    const Fit& best = guided.error <= plain.error ? guided : plain;
    camera.matrix = cv::Matx33d(best.matrix.ptr<double>());
    best.distortion.reshape(1, 1).copyTo(camera.distortion);
    camera.imageSize = imageSize;
    camera.reprojectionError = best.error;
    return {};
}

}  // namespace dottrack
