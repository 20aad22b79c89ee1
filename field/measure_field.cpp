#include <limits>
#include <string>

#include "field/field.h"

namespace dottrack {

namespace {

const cv::Point2f nowhere(std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::quiet_NaN());

// Sizes `buffer` to `count`, with room to grow (makeRoom), so that later frames with a few
// more dots allocate nothing.
template <typename Point>
void sizeBuffer(std::size_t count, std::vector<Point>& buffer) {
    makeRoom(buffer, count);
    buffer.resize(count);
}

// The found centres as a lens without distortion would have shown them.
void undistortFound(FieldMeasurement& m) {
    const std::size_t count = m.centres.size();
    sizeBuffer(count, m.seen);
    sizeBuffer(count, m.ideal);
    sizeBuffer(count, m.idealCentres);
    for (std::size_t i = 0; i < count; ++i) {
        m.seen[i] = m.centres[i];
    }
    undistortCentres(m.seen, *m.units.camera, m.ideal);
    for (std::size_t i = 0; i < count; ++i) {
        m.idealCentres[i] = cv::Point2f(m.ideal[i]);
    }
}

// The result as linking left it holds the centres it was given: the ideal ones. It keeps
// those apart and gives each dot back the very centre the finder saw.
void restoreSeenCentres(FieldMeasurement& m) {
    FieldResult& result = m.run.result;
    result.idealCentres = result.centres;
    const std::vector<int>& centreOfDot = m.run.links.centreOfDot;
    for (std::size_t i = 0; i < result.dotCount(); ++i) {
        result.centres[i] = centreOfDot[i] >= 0 ? m.centres[centreOfDot[i]] : nowhere;
    }
}

// Sets the scale once the reference frame is known, and gives the result its millimetres.
void measureInMillimetres(FieldMeasurement& m) {
    const FieldUnits& units = m.units;
    FieldResult& result = m.run.result;
    if (result.mmPerPx == 0 && m.run.links.started()) {
        if (units.mmPerPx > 0) {
            result.mmPerPx = units.mmPerPx;
        } else if (units.pitchMm > 0) {
            // Once per run: the reference positions are where the dots were in that frame.
            const std::vector<cv::Point2f>& references = m.run.links.references;
            const std::optional<double> scale = scaleFromPitch(
                std::vector<cv::Point2d>(references.begin(), references.end()), units.pitchMm);
            result.mmPerPx = scale.value_or(0.0);
        }
    }
    const double scale = result.mmPerPx;
    if (scale == 0) {
        return;
    }
    const std::size_t dots = result.dotCount();
    sizeBuffer(dots, result.idealCentresMm);
    sizeBuffer(dots, result.displacementsMm);
    for (std::size_t i = 0; i < dots; ++i) {
        result.idealCentresMm[i] = cv::Point2d(result.idealCentres[i]) * scale;
        result.displacementsMm[i] = cv::Point2d(result.displacements[i]) * scale;
    }
    const SurfaceMotion& motion = result.motion;
    const double none = std::numeric_limits<double>::quiet_NaN();
    result.txMm = motion.fitted ? motion.tx * scale : none;
    result.tyMm = motion.fitted ? motion.ty * scale : none;
}

}  // namespace

std::string measureFieldFrame(const cv::Mat& frame, FieldMeasurement& measurement) {
    const cv::Size size = frame.size();
    if (measurement.frames > 0 && size != measurement.frameSize) {
        return "a frame of " + std::to_string(size.width) + " x " + std::to_string(size.height) +
               " px after frames of " + std::to_string(measurement.frameSize.width) + " x " +
               std::to_string(measurement.frameSize.height) +
               ": the dots of one run are measured in one frame size";
    }
    const std::optional<CameraModel>& camera = measurement.units.camera;
    if (camera) {
        const std::string problem = checkCameraFits(*camera, size);
        if (!problem.empty()) {
            return problem;
        }
    }
    if (!findDots(frame, measurement.finder, measurement.centres)) {
        return "more than " + std::to_string(maxDotCandidates) +
               " dots in one frame, more than can be measured";
    }
    measurement.frameSize = size;
    ++measurement.frames;
    if (camera) {
        undistortFound(measurement);
        updateField(measurement.idealCentres, measurement.run);
        restoreSeenCentres(measurement);
    } else {
        updateField(measurement.centres, measurement.run);
        measurement.run.result.idealCentres = measurement.run.result.centres;
    }
    measureInMillimetres(measurement);
    return {};
}

}  // namespace dottrack
