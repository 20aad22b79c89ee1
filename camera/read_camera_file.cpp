#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

#include <opencv2/core/persistence.hpp>

#include "camera/camera.h"

namespace dottrack {

namespace {

// The lengths OpenCV's distortion models come in: k1 k2 p1 p2, then k3, then the rational
// k4 k5 k6, the thin prism s1..s4 and the tilt tx ty.
bool isDistortionLength(int length) {
    return length == 4 || length == 5 || length == 8 || length == 12 || length == 14;
}

// Why the node named `name` is not a whole number of 1 or more, or an empty string.
std::string readPositive(const cv::FileNode& root, const std::string& name, int& value) {
    const cv::FileNode node = root[name];
    if (node.empty()) {
        return "it has no " + name;
    }
    if (!node.isInt() || static_cast<int>(node) < 1) {
        return name + " is not a whole number of 1 or more";
    }
    value = static_cast<int>(node);
    return {};
}

// Reads the matrix named `name`; empty when it is missing or is not a matrix as OpenCV
// writes one.
cv::Mat readMatrix(const cv::FileNode& root, const std::string& name) {
    cv::Mat matrix;
    try {
        root[name] >> matrix;
    } catch (const cv::Exception&) {
        matrix.release();
    }
    return matrix;
}

std::string readFields(const cv::FileNode& root, CameraModel& camera) {
    if (std::string problem = readPositive(root, "image_width", camera.imageSize.width);
        !problem.empty()) {
        return problem;
    }
    if (std::string problem = readPositive(root, "image_height", camera.imageSize.height);
        !problem.empty()) {
        return problem;
    }
    if (root["camera_matrix"].empty()) {
        return "it has no camera_matrix";
    }
    cv::Mat matrix = readMatrix(root, "camera_matrix");
    if (matrix.rows != 3 || matrix.cols != 3 || matrix.channels() != 1 || !cv::checkRange(matrix)) {
        return "camera_matrix is not a 3 x 3 matrix of numbers";
    }
    matrix.convertTo(matrix, CV_64F);
    camera.matrix = cv::Matx33d(matrix.ptr<double>());
    if (!(camera.matrix(0, 0) > 0 && camera.matrix(1, 1) > 0)) {
        return "camera_matrix does not hold two positive focal lengths";
    }
    if (root["distortion_coefficients"].empty()) {
        return "it has no distortion_coefficients";
    }
    const cv::Mat distortion = readMatrix(root, "distortion_coefficients");
    if (distortion.channels() != 1 || std::min(distortion.rows, distortion.cols) != 1 ||
        !isDistortionLength(static_cast<int>(distortion.total())) || !cv::checkRange(distortion)) {
        return "distortion_coefficients is not a row or column of 4, 5, 8, 12 or 14 numbers";
    }
    distortion.reshape(1, 1).convertTo(camera.distortion, CV_64F);
    const cv::FileNode error = root["avg_reprojection_error"];
    camera.reprojectionError = error.isReal() || error.isInt()
                                   ? static_cast<double>(error)
                                   : std::numeric_limits<double>::quiet_NaN();
    return {};
}

}  // namespace

std::string readCameraFile(const std::string& path, CameraModel& camera) {
    const std::string intro = "cannot read the camera file " + path + ": ";
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return intro + (std::filesystem::exists(path, error) ? "it is not a file" : "no such file");
    }
    cv::FileStorage storage;
    try {
        if (!storage.open(path, cv::FileStorage::READ)) {
            return intro + "it cannot be opened";
        }
    } catch (const cv::Exception&) {
        return intro + "it is not a YAML, XML or JSON file that OpenCV can parse";
    }
    CameraModel read;
    const std::string problem = readFields(storage.root(), read);
    if (!problem.empty()) {
        return intro + problem;
    }
    camera = read;
    return {};
}

}  // namespace dottrack
