#include "camera/camera.h"

namespace dottrack {

std::string checkCameraFits(const CameraModel& camera, cv::Size frameSize) {
    if (camera.imageSize == frameSize) {
        return {};
    }
    // The matrix holds pixels of the frames it was calibrated on; scaled or cropped frames
    // would need another.
    return "the camera was calibrated on " + std::to_string(camera.imageSize.width) + " x " +
           std::to_string(camera.imageSize.height) + " frames, these are " +
           std::to_string(frameSize.width) + " x " + std::to_string(frameSize.height);
}

}  // namespace dottrack
