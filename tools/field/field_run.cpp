#include <cmath>
#include <cstdio>

#include "cli/cli.h"
#include "output/output.h"
#include "pipeline/pipeline.h"
#include "tools/field/field_program.h"
#include "video/video.h"

namespace dottrack {

namespace {

// The video's frame rate when the source tells none (or one past belief).
constexpr double defaultVideoFps = 30;
constexpr double largestVideoFps = 1000;

// The outputs of a run, each written under a temporary name until it is complete.
struct RunOutputs {
    PendingOutput dots, motion;
    FieldVideo video;

    ~RunOutputs() {
        discardPendingOutput(dots);
        discardPendingOutput(motion);
        discardFieldVideo(video);
    }
};

// What one run carries from frame to frame.
struct FieldWork {
    const FieldRunSettings* settings = nullptr;
    const ProgressHooks* progress = nullptr;
    bool live = false;
    double fps = defaultVideoFps;
    FieldMeasurement measurement;
    bool millimetres = false;  // the files' millimetres' columns
    std::string rows;
    std::FILE* dots = nullptr;
    std::string dotsName;  // for messages
    bool dotsStarted = false;
    std::FILE* motion = nullptr;
    std::string motionName;  // for messages
    FieldVideo* video = nullptr;
    FieldWindow window;
    FieldView view;
    cv::Mat canvas;
    std::int64_t frames = 0;
    RunEnd end = RunEnd::tripOver;
    std::string failure;  // why a live source's run stopped short, its outputs kept
};

// The values the view paints for `quantity`; none for the displacement, which it reads itself.
const std::vector<double>* valuesOf(FieldQuantity quantity, const FieldResult& result) {
    switch (quantity) {
        case FieldQuantity::exx:
            return &result.exx;
        case FieldQuantity::eyy:
            return &result.eyy;
        case FieldQuantity::exy:
            return &result.exy;
        case FieldQuantity::rotation:
            return &result.rotationDeg;
        case FieldQuantity::area:
            return &result.areaRatio;
        case FieldQuantity::disp:
            break;
    }
    return nullptr;
}

// Draws the frame's view, then writes it to the video and shows it. Returns whether a key was
// pressed in the window.
bool presentFrame(const SourceFrame& source, FieldWork& work) {
    const FieldRunSettings& settings = *work.settings;
    const FieldResult& result = work.measurement.run.result;
    FieldViewInput input;
    input.centres = &result.centres;
    input.displacements = &result.displacements;
    input.values = valuesOf(settings.colour, result);
    input.motion = &result.motion;
    input.frameIndex = source.index;
    if (result.mmPerPx > 0) {
        input.lengthUnit = "mm";
        input.unitsPerPixel = result.mmPerPx;
    }
    drawFieldView(source.frame, input, settings.colour, work.view, work.canvas);
    if (work.video != nullptr) {
        writeFieldVideoFrame(work.canvas, work.fps, *work.video);
    }
    return settings.show && showFieldView(work.canvas, work.window);
}

// Measures one frame and writes what it found. Returns whether the run goes on.
bool processFrame(const SourceFrame& source, FieldWork& work) {
    if (interruptingSignal() != 0) {
        // A live source is recorded until the user says stop: its outputs are kept.
        if (!work.live) {
            throw Interrupted{};
        }
        work.end = RunEnd::interrupted;
        return false;
    }
    const FieldRunSettings& settings = *work.settings;
    const cv::Mat& frame = source.frame;
    std::string problem;
    if (frame.depth() != CV_8U || (frame.channels() != 1 && frame.channels() != 3)) {
        problem = "not an 8-bit grey or colour image";
    } else {
        problem = measureFieldFrame(frame, work.measurement);
    }
    if (!problem.empty()) {
        const std::string message = describeFrameProblem(source.index, settings.source, problem);
        // A recording cannot be made again: what was measured before the frame is kept.
        if (!work.live) {
            throw RunError{message};
        }
        work.failure = message;
        return false;
    }
    ++work.frames;
    const FieldRun& run = work.measurement.run;
    if (run.links.started()) {
        if (!work.dotsStarted) {
            // Written with the first dots, so that a run that finds none writes nothing at all.
            writeRows(work.dots, work.millimetres ? dotsCsvHeaderMm : dotsCsvHeader, work.dotsName);
            work.dotsStarted = true;
        }
        formatDotRows(source.index, run, work.millimetres, work.rows);
        writeRows(work.dots, work.rows, work.dotsName);
    }
    if (work.motion != nullptr) {
        formatFieldMotionRow(source.index, run.result, work.millimetres, work.rows);
        writeRows(work.motion, work.rows, work.motionName);
    }
    const bool keyPressed = (settings.show || work.video != nullptr) && presentFrame(source, work);
    work.progress->step(work.frames);
    if (keyPressed) {
        work.end = RunEnd::keyPressed;
        return false;
    }
    return settings.frameLimit == 0 || work.frames < settings.frameLimit;
}

// The frames a run is expected to take, for the progress bar; 0 when unknown.
std::int64_t expectedFrames(const FieldRunSettings& settings, FrameReader& reader) {
    if (reader.live) {
        return settings.frameLimit;
    }
    const std::int64_t trip = framesInOneTrip(
        FrameChoice::everyFrame, static_cast<long>(reader.capture.get(cv::CAP_PROP_FRAME_COUNT)));
    return settings.frameLimit > 0 && (trip == 0 || settings.frameLimit < trip)
               ? settings.frameLimit
               : trip;
}

std::string describeNoDots(const FieldRunSettings& settings, std::int64_t frames) {
    return "no dots found in " + settings.source + " (" + std::to_string(frames) +
           (frames == 1 ? " frame" : " frames") + " read): nothing to measure";
}

}  // namespace

RunOutcome measureSource(const FieldRunSettings& settings, const ProgressHooks& progress) {
    // Outputs first, so that a bad path fails before the source is opened.
    RunOutputs outputs;
    openOutput(settings.dotsPath, outputs.dots);
    openOutput(settings.motionPath, outputs.motion);
    if (!settings.videoPath.empty()) {
        const std::string problem = reserveFieldVideo(settings.videoPath, outputs.video);
        if (!problem.empty()) {
            throw RunError{problem};
        }
    }

    // A file is taken once through: started over, its surface would jump back to the start.
    FrameReader reader;
    const std::string problem = openReader(settings.source, FrameChoice::everyFrame, 0, reader);
    if (!problem.empty()) {
        throw RunError{problem};
    }
    FieldWork work;
    work.settings = &settings;
    work.progress = &progress;
    work.live = reader.live;
    work.measurement.units = settings.units;
    work.millimetres = settings.units.scaled();
    const double fps = reader.capture.get(cv::CAP_PROP_FPS);
    work.fps = std::isfinite(fps) && fps > 0 && fps <= largestVideoFps ? fps : defaultVideoFps;
    work.dots = settings.dotsPath.empty() ? stdout : outputs.dots.file;
    work.dotsName =
        settings.dotsPath.empty() ? "the CSV to standard output" : "'" + settings.dotsPath + "'";
    work.motion = outputs.motion.file;
    work.motionName = "'" + settings.motionPath + "'";
    work.video = settings.videoPath.empty() ? nullptr : &outputs.video;
    if (settings.show) {
        const std::string viewProblem = openFieldWindow(work.window);
        if (!viewProblem.empty()) {
            throw RunError{viewProblem};
        }
    }
    if (work.motion != nullptr) {
        writeRows(work.motion, work.millimetres ? fieldMotionCsvHeaderMm : fieldMotionCsvHeader,
                  work.motionName);
    }
    progress.start(expectedFrames(settings, reader));
    if (processEveryFrame(
            reader, settings.source, settings.decodeAhead, progress,
            [&work](const SourceFrame& source) { return processFrame(source, work); })) {
        work.end = RunEnd::sourceStopped;
    }
    if (!work.measurement.run.links.started()) {
        throw RunError{work.failure.empty() ? describeNoDots(settings, work.frames) : work.failure};
    }
    if (work.video != nullptr) {
        const std::string videoProblem = commitFieldVideo(outputs.video);
        if (!videoProblem.empty()) {
            throw RunError{videoProblem};
        }
    }
    commitOutput(outputs.motion);
    commitOutput(outputs.dots);
    if (settings.dotsPath.empty() && (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)) {
        throw RunError{"failed while writing the CSV to standard output"};
    }
    if (!work.failure.empty()) {
        throw RunError{work.failure + "; the outputs hold the frames before it"};
    }
    return {work.end, work.frames};
}

}  // namespace dottrack
