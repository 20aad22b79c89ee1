#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <opencv2/core/persistence.hpp>

#include "camera/camera.h"

namespace dottrack {

namespace {

mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// The text of the camera file, in the order and with the names of OpenCV's calibration
// sample.
std::string cameraFileText(const CameraModel& camera) {
    cv::FileStorage storage(".yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
    storage << "image_width" << camera.imageSize.width;
    storage << "image_height" << camera.imageSize.height;
    storage << "camera_matrix" << cv::Mat(camera.matrix);
    storage << "distortion_coefficients" << cv::Mat(camera.distortion, true);
    if (!std::isnan(camera.reprojectionError)) {
        storage << "avg_reprojection_error" << camera.reprojectionError;
    }
    return storage.releaseAndGetString();
}

}  // namespace

std::string writeCameraFile(const std::string& path, const CameraModel& camera) {
    const std::string intro = "cannot write the camera file " + path + ": ";
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return intro + "it is a directory";
    }
    const std::string text = cameraFileText(camera);
    // A hidden name beside the file, renamed into place when whole: a reader never sees
    // half a file, and a failed write leaves none.
    const std::filesystem::path target(path);
    std::string temporary =
        (target.parent_path() / ("." + target.filename().string() + ".partial-XXXXXX")).string();
    const int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) {
        return intro + std::strerror(errno);
    }
    std::FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr) {
        const std::string problem = intro + std::strerror(errno);
        close(descriptor);
        std::remove(temporary.c_str());
        return problem;
    }
    // mkstemp makes the file private; a camera file is as readable as any new file.
    fchmod(descriptor, 0666 & ~currentUmask());
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string problem = intro + std::strerror(errno);
        std::remove(temporary.c_str());
        return problem;
    }
    return {};
}

}  // namespace dottrack
