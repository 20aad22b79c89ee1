#include "tools/export/export_run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "app/one_line.h"
#include "app/track_frame.h"
#include "app/video_input.h"
#include "app/video_source.h"
#include "conditioning/conditioning.h"
#include "measure/measure.h"
#include "tools/command_line.h"
#include "tools/export/live_view.h"
#include "tools/export/motion_plot.h"
#include "tools/export/pass_reader.h"
#include "tools/export/pending_output.h"
#include "tools/export/track_csv.h"
#include "tools/export/track_plot.h"

namespace dottrack {

namespace {

volatile std::sig_atomic_t interruptRequested = 0;

// Notes the request, which the runs act on at their next pass. A second one, for a run
// that has none coming (a live source that delivers nothing), ends the program at once.
extern "C" void requestInterrupt(int signalNumber) {
    if (interruptRequested != 0) {
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
    }
    interruptRequested = signalNumber;
}

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
    const RunProgress* progress = nullptr;
    bool live = false;
    TrackState state;
    Measurement measurement;
    std::string rows;
    std::FILE* csv = nullptr;
    std::string csvName;  // for messages
    std::FILE* motion = nullptr;
    TrackPlot plot;
    std::vector<MotionSample> motionSamples;
    LiveView view;
    std::int64_t passesDone = 0;
    RunEnd end = RunEnd::tripOver;
};

void writeRows(std::FILE* file, const std::string& rows, const std::string& name) {
    if (std::fwrite(rows.data(), 1, rows.size(), file) != rows.size()) {
        throw RunError{"cannot write " + name + ": " + std::strerror(errno)};
    }
}

// Tracks and measures one pass and writes what it found. Returns whether the run goes on.
bool processPass(const PassFrame& pass, ExportWork& work) {
    if (interruptRequested != 0) {
        // A live source is recorded until the user says stop: its outputs are kept.
        if (!work.live) {
            throw Interrupted{};
        }
        work.end = RunEnd::interrupted;
        return false;
    }
    const RunSettings& settings = *work.settings;
    const std::string problem = describeUnusableFrame(pass.frame);
    if (!problem.empty()) {
        throw RunError{"cannot use frame " + std::to_string(pass.index) + " of " + settings.source +
                       ": " + problem};
    }
    const bool firstPass = work.passesDone == 0;
    trackFrame(pass.frame, firstPass, work.state);
    measurePass(pass.frame, work.state.targets, work.state.assignment, firstPass, work.measurement);
    if (!settings.plotPath.empty()) {
        if (firstPass) {
            startTrackPlot(pass.frame, work.state, work.plot);
        }
        extendTrackPlot(work.state, work.plot);
    }
    if (!settings.motionPlotPath.empty()) {
        addMotionSample(work.passesDone, work.measurement.motion, work.motionSamples);
    }
    formatTrackRows(work.passesDone, pass.index, work.state, work.measurement, work.rows);
    writeRows(work.csv, work.rows, work.csvName);
    if (work.motion != nullptr) {
        formatMotionRow(work.passesDone, pass.index, work.measurement.motion, work.rows);
        writeRows(work.motion, work.rows, "'" + settings.motionPath + "'");
    }
    const bool keyPressed = settings.show && showLivePass(pass.frame, work.state, work.measurement,
                                                          work.passesDone, work.view);
    ++work.passesDone;
    work.progress->pass(work.passesDone);
    if (keyPressed) {
        work.end = RunEnd::keyPressed;
        return false;
    }
    return true;
}

// Reads and tracks the passes in turn on this thread.
PassRead trackInTurn(PassSource& source, ExportWork& work) {
    PassFrame pass;
    PassRead read = PassRead::runOver;
    while ((read = readNextPass(source, pass)) == PassRead::frame) {
        if (!processPass(pass, work)) {
            return PassRead::runOver;
        }
    }
    return read;
}

// Tracks the passes while a second thread decodes the next ones. OpenCV keeps its own
// worker threads for the stages: limiting them to one, to leave a core to the reader,
// measured no faster, so they are left as they are.
PassRead trackWithReader(PassSource& source, ExportWork& work) {
    FrameQueue queue;
    std::thread reader(fillFrameQueue, std::ref(source), std::ref(queue));
    bool stopped = false;
    try {
        while (const PassFrame* pass = takeFrame(queue)) {
            const bool goOn = processPass(*pass, work);
            releaseFrame(queue);
            if (!goOn) {
                stopped = true;
                cancelReading(queue);
                break;
            }
        }
    } catch (...) {
        cancelReading(queue);
        reader.join();
        throw;
    }
    reader.join();
    if (stopped) {
        return PassRead::runOver;
    }
    if (!queue.readerError.empty()) {
        throw RunError{"cannot read " + work.settings->source + ": " + oneLine(queue.readerError)};
    }
    return queue.readerEnd;
}

// Reads the passes without tracking them, for a measure of the decoding alone.
PassRead decodeOnly(PassSource& source, ExportWork& work) {
    PassFrame pass;
    PassRead read = PassRead::runOver;
    while ((read = readNextPass(source, pass)) == PassRead::frame) {
        if (interruptRequested != 0) {
            throw Interrupted{};
        }
        ++work.passesDone;
        work.progress->pass(work.passesDone);
    }
    return read;
}

void openOutput(const std::string& path, PendingOutput& output) {
    if (path.empty()) {
        return;
    }
    const std::string problem = openPendingOutput(path, output);
    if (!problem.empty()) {
        throw RunError{problem};
    }
}

void commitOutput(PendingOutput& output) {
    if (output.file == nullptr) {
        return;
    }
    const std::string problem = commitPendingOutput(output);
    if (!problem.empty()) {
        throw RunError{problem};
    }
}

// Writes `picture` as a PNG to the output's temporary file.
void writePicture(const cv::Mat& picture, PendingOutput& output) {
    std::vector<uchar> encoded;
    if (!cv::imencode(".png", picture, encoded)) {
        throw RunError{"cannot encode the picture for '" + output.path + "'"};
    }
    std::fwrite(encoded.data(), 1, encoded.size(), output.file);
}

// Why a source gave no frame to track.
std::string describeNoFrame(const std::string& source, bool live) {
    return live ? source + " delivered no frame after the " + std::to_string(warmupFrames) +
                      " it lets settle"
                : source + " holds no frame, even after rewinding to its start";
}

}  // namespace

int interruptingSignal() {
    return interruptRequested;
}

void catchInterrupts() {
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        sigaction(signalNumber, nullptr, &current);
        if (current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction onInterrupt {};
        onInterrupt.sa_handler = requestInterrupt;
        sigemptyset(&onInterrupt.sa_mask);
        onInterrupt.sa_flags = SA_RESTART;
        sigaction(signalNumber, &onInterrupt, nullptr);
    }
}

RunOutcome exportSource(const RunSettings& settings, const RunProgress& progress) {
    // Outputs first, so that a bad path fails before the source is opened.
    RunOutputs outputs;
    openOutput(settings.csvPath, outputs.csv);
    openOutput(settings.plotPath, outputs.plot);
    openOutput(settings.motionPath, outputs.motion);
    openOutput(settings.motionPlotPath, outputs.motionPlot);

    PassSource source;
    const std::string problem = openSource(settings.source, source.capture);
    if (!problem.empty()) {
        throw RunError{problem};
    }
    source.live = isLive(classifySource(settings.source));
    source.passLimit = settings.passLimit;

    ExportWork work;
    work.settings = &settings;
    work.progress = &progress;
    work.live = source.live;
    prepareTrackState(work.state);
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
    if (expectedPasses == 0 && !source.live) {
        expectedPasses =
            passesInOneTrip(static_cast<long>(source.capture.get(cv::CAP_PROP_FRAME_COUNT)));
    }
    progress.start(expectedPasses);

    PassRead read = PassRead::runOver;
    try {
        if (settings.decodeOnly) {
            read = decodeOnly(source, work);
        } else {
            std::fputs(trackCsvHeader, work.csv);
            if (work.motion != nullptr) {
                std::fputs(motionCsvHeader, work.motion);
            }
            read = settings.decodeAhead ? trackWithReader(source, work) : trackInTurn(source, work);
        }
    } catch (...) {
        progress.stop();
        throw;
    }
    progress.stop();
    if (read == PassRead::noFrame) {
        throw RunError{describeNoFrame(settings.source, source.live)};
    }
    if (read == PassRead::stopped) {
        work.end = RunEnd::sourceStopped;
    }
    if (!settings.plotPath.empty()) {
        finishTrackPlot(work.state, work.passesDone, work.plot);
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
    return {work.end, work.passesDone};
}

}  // namespace dottrack
