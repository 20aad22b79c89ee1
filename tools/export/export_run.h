#pragma once
// The export of one source: its passes tracked and measured, and its files written whole
// or not at all. The single run and every job of a batch go through it.

#include <cstdint>
#include <optional>
#include <string>

#include "batch/batch.h"
#include "camera/camera.h"
#include "output/output.h"

namespace dottrack {

// What a run reads and writes.
struct RunSettings {
    std::string source;
    std::string csvPath;  // empty: the CSV goes to standard output
    std::string plotPath;
    std::string motionPath;
    std::string motionPlotPath;
    std::int64_t passLimit = 0;  // 0: one trip through a file, or until a live source stops
    bool decodeAhead = true;     // decode the next frames on a second thread
    bool decodeOnly = false;     // only read the frames, to time the decoding
    bool show = false;           // the live measuring view
    // The camera the source was recorded with: its lens is taken out of the dots' centres
    // before their displacements and the motion.
    std::optional<CameraModel> camera;
};

// Runs the export of `settings.source`; the outcome counts passes. Throws RunError (with the one
// line that says why), Interrupted or an OpenCV error on failure, having removed every output it
// started.
RunOutcome exportSource(const RunSettings& settings, const ProgressHooks& progress);

}  // namespace dottrack
