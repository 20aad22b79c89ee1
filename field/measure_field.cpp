#include <string>

#include "field/field.h"

namespace dottrack {

std::string measureFieldFrame(const cv::Mat& frame, FieldMeasurement& measurement) {
    const cv::Size size = frame.size();
    if (measurement.frames > 0 && size != measurement.frameSize) {
        return "a frame of " + std::to_string(size.width) + " x " + std::to_string(size.height) +
               " px after frames of " + std::to_string(measurement.frameSize.width) + " x " +
               std::to_string(measurement.frameSize.height) +
               ": the dots of one run are measured in one frame size";
    }
    if (!findDots(frame, measurement.finder, measurement.centres)) {
        return "more than " + std::to_string(maxDotCandidates) +
               " dots in one frame, more than can be measured";
    }
    measurement.frameSize = size;
    ++measurement.frames;
    updateField(measurement.centres, measurement.run);
    return {};
}

}  // namespace dottrack
