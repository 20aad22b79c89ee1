#pragma once
// The videos dottrack-sample writes: the sample, a field of many dots, a calibration target
// seen through a lens; each with its truth where it has one.

#include <cstdint>
#include <string>

#include "tools/sample/field_scene.h"
#include "tools/sample/sample_scene.h"
#include "tools/sample/target_views.h"

namespace dottrack {

// What the command line asks for.
struct SampleOptions {
    std::string videoPath;
    std::string truthPath;
    std::uint64_t seed = 1;
    int frameCount = sampleDefaultFrameCount;
    double noiseSigma = sampleNoiseSigma;
    double dotRadius = sampleDotRadius;
    double motionSpeed = 1.0;
    // A field of many dots, when `field` is set.
    bool field = false;
    FieldSettings fieldSettings;
    // A calibration video, when `target` is set.
    std::string target;
    CalibrationPattern pattern;
    Lens lens;
    int views = 24;
};

// Writes the sample video, and its truth when asked. Throws RunError when a file cannot be
// written.
void writeSample(const SampleOptions& options);

// Writes a field of many dots, and its truth when asked.
void writeField(const SampleOptions& options);

// Writes a calibration video of the target through the lens.
void writeTargetVideo(const SampleOptions& options);

}  // namespace dottrack
