#include "tools/export/export_run.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "cli/cli.h"
#include "output/output.h"
#include "pipeline/pipeline.h"
#include "tools/export/live_view.h"
#include "tools/export/motion_plot.h"
#include "tools/export/track_csv.h"
#include "tools/export/track_plot.h"
#include "video/video.h"

namespace dottrack {

namespace {

// The outputs of a run, each written under a temporary name until it is complete.
struct RunOutputs {
    PendingOutput csv, plot, motion, motionPlot;

    ~RunOutputs() {
        for (PendingOutput* output : {&csv, &plot, &motion, &motionPlot}) {
            discardPendingOutput(*output);
        }
    }
};

// What one run carries from pass to pass.
struct ExportWork {
    const RunSettings* settings = nullptr;
    const ProgressHooks* progress = nullptr;
    bool live = false;
    PassRun run;
    std::string rows;
    std::FILE* csv = nullptr;
    std::string csvName;  // for messages
    std::FILE* motion = nullptr;
    TrackPlot plot;
    std::vector<MotionSample> motionSamples;
    LiveView view;
    std::int64_t decoded = 0;  // passes read without tracking them
    RunEnd end = RunEnd::tripOver;
};

// Tracks and measures one pass and writes what it found. Returns whether the run goes on.
bool processPass(const SourceFrame& pass, ExportWork& work) {
    if (interruptingSignal() != 0) {
        // A live source is recorded until the user says stop: its outputs are kept.
        if (!work.live) {
            throw Interrupted{};
        }
        work.end = RunEnd::interrupted;
        return false;
    }
    const RunSettings& settings = *work.settings;
    const std::string problem = describeUnusablePass(pass.frame, pass.index, settings.source);
    if (!problem.empty()) {
        throw RunError{problem};
    }
    if (settings.camera) {
        const std::string misfit = checkCameraFits(*settings.camera, pass.frame.size());
        if (!misfit.empty()) {
            throw RunError{"cannot measure " + settings.source + " with that camera: " + misfit};
        }
    }
    const std::int64_t number = work.run.passes;
    runMeasuredPass(pass.frame, work.run);
    const TrackState& state = work.run.track;
    const Measurement& measurement = work.run.measurement;
    if (!settings.plotPath.empty()) {
        if (number == 0) {
            startTrackPlot(pass.frame, state, work.plot);
        }
        extendTrackPlot(state, work.plot);
    }
    if (!settings.motionPlotPath.empty()) {
        addMotionSample(number, measurement.motion, work.motionSamples);
    }
    formatTrackRows(number, pass.index, state, measurement, work.rows);
    writeRows(work.csv, work.rows, work.csvName);
    if (work.motion != nullptr) {
        formatMotionRow(number, pass.index, measurement.motion, work.rows);
        writeRows(work.motion, work.rows, "'" + settings.motionPath + "'");
    }
    const bool keyPressed =
        settings.show && showLivePass(pass.frame, state, measurement, number, work.view);
    work.progress->step(work.run.passes);
    if (keyPressed) {
        work.end = RunEnd::keyPressed;
        return false;
    }
    return true;
}

// Counts a pass read without tracking it, for a measure of the decoding alone.
bool countDecodedPass(ExportWork& work) {
    if (interruptingSignal() != 0) {
        throw Interrupted{};
    }
    ++work.decoded;
    work.progress->step(work.decoded);
    return true;
}

// Writes `picture` as a PNG to the output's temporary file.
void writePicture(const cv::Mat& picture, PendingOutput& output) {
    std::vector<uchar> encoded;
    if (!cv::imencode(".png", picture, encoded)) {
        throw RunError{"cannot encode the picture for '" + output.path + "'"};
    }
    std::fwrite(encoded.data(), 1, encoded.size(), output.file);
}

}  // namespace

RunOutcome exportSource(const RunSettings& settings, const ProgressHooks& progress) {
    // Outputs first, so that a bad path fails before the source is opened.
    RunOutputs outputs;
    openOutput(settings.csvPath, outputs.csv);
    openOutput(settings.plotPath, outputs.plot);
    openOutput(settings.motionPath, outputs.motion);
    openOutput(settings.motionPlotPath, outputs.motionPlot);

    FrameReader reader;
    const std::string problem =
        openReader(settings.source, FrameChoice::passes, settings.passLimit, reader);
    if (!problem.empty()) {
        throw RunError{problem};
    }

    ExportWork work;
    work.settings = &settings;
    work.progress = &progress;
    work.live = reader.live;
    preparePassRun(work.run);
    work.run.measurement.camera = settings.camera;
    work.csv = settings.csvPath.empty() ? stdout : outputs.csv.file;
    work.csvName =
        settings.csvPath.empty() ? "the CSV to standard output" : "'" + settings.csvPath + "'";
    work.motion = outputs.motion.file;
    if (settings.show) {
        const std::string viewProblem = openLiveView(settings.source, work.view);
        if (!viewProblem.empty()) {
            throw RunError{viewProblem};
        }
    }
    std::int64_t expectedPasses = settings.passLimit;
    if (expectedPasses == 0 && !reader.live) {
        expectedPasses = framesInOneTrip(
            FrameChoice::passes, static_cast<long>(reader.capture.get(cv::CAP_PROP_FRAME_COUNT)));
    }
    if (!settings.decodeOnly) {
        std::fputs(trackCsvHeader, work.csv);
        if (work.motion != nullptr) {
            std::fputs(motionCsvHeader, work.motion);
        }
    }
    progress.start(expectedPasses);
    // OpenCV keeps its own worker threads for the stages: limiting them to one, to leave a
    // core to the reader, measured no faster, so they are left as they are.
    const bool stopped =
        settings.decodeOnly
            ? processEveryFrame(reader, settings.source, false, progress,
                                [&work](const SourceFrame&) { return countDecodedPass(work); })
            : processEveryFrame(
                  reader, settings.source, settings.decodeAhead, progress,
                  [&work](const SourceFrame& pass) { return processPass(pass, work); });
    if (stopped) {
        work.end = RunEnd::sourceStopped;
    }
    if (!settings.plotPath.empty()) {
        finishTrackPlot(work.run.track, work.run.passes, work.plot);
        writePicture(work.plot.picture, outputs.plot);
    }
    if (!settings.motionPlotPath.empty()) {
        writePicture(drawMotionPlot(work.motionSamples,
                                    std::filesystem::path(settings.source).filename().string()),
                     outputs.motionPlot);
    }
    commitOutput(outputs.plot);
    commitOutput(outputs.motionPlot);
    commitOutput(outputs.motion);
    commitOutput(outputs.csv);
    if (settings.csvPath.empty() && !settings.decodeOnly &&
        (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)) {
        throw RunError{"failed while writing the CSV to standard output"};
    }
    return {work.end, settings.decodeOnly ? work.decoded : work.run.passes};
}

}  // namespace dottrack
