#include <opencv2/calib3d.hpp>

#include "camera/camera.h"

namespace dottrack {

namespace {

// OpenCV's default stops after a few fixed-point steps, which leaves up to 0.05 px towards
// the corners of a strong lens, more than a centre's own error; this one leaves none.
const cv::TermCriteria convergedUndistortion(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100,
                                             1e-12);

}  // namespace

void undistortCentres(const std::vector<cv::Point2d>& seen, const CameraModel& camera,
                      std::vector<cv::Point2d>& ideal) {
    if (seen.empty()) {
        ideal.clear();
        return;
    }
    cv::undistortPoints(seen, ideal, camera.matrix, camera.distortion, cv::noArray(), camera.matrix,
                        convergedUndistortion);
}

}  // namespace dottrack
