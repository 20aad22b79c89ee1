#include <cmath>
#include <string>

#include "field/field.h"

namespace dottrack {

std::string readFieldUnits(const std::string& cameraPath, double pitchMm, double mmPerPx,
                           FieldUnits& units) {
    if (!(pitchMm >= 0 && mmPerPx >= 0 && std::isfinite(pitchMm) && std::isfinite(mmPerPx))) {
        return "the dots' pitch and the mm per px must be positive numbers";
    }
    if (pitchMm > 0 && mmPerPx > 0) {
        return "the scale is given twice, by the dots' pitch and in mm per px: give one";
    }
    FieldUnits read;
    read.pitchMm = pitchMm;
    read.mmPerPx = mmPerPx;
    if (!cameraPath.empty()) {
        CameraModel camera;
        const std::string problem = readCameraFile(cameraPath, camera);
        if (!problem.empty()) {
            return problem;
        }
        read.camera = camera;
    }
    units = read;
    return {};
}

}  // namespace dottrack
