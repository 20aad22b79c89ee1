// dottrack-bench: times every stage of a pass headless, beside its floor, the decoding of
// the video and the whole headless loop, and counts the heap allocations of each.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "app/track_frame.h"
#include "app/video_input.h"
#include "app/video_source.h"
#include "bench/allocation_counter.h"
#include "bench/stage_floors.h"
#include "conditioning/conditioning.h"
#include "detection/detection.h"
#include "measure/measure.h"
#include "present/present.h"
#include "tools/command_line.h"
#include "tracking/tracking.h"

namespace dottrack {
namespace {

using Clock = std::chrono::steady_clock;

const char* const programName = "dottrack-bench";

const char* const description =
    "Times the stages of dottrack's pass headless on the frames the tool would process\n"
    "(decoded into memory first), each beside its floor (a plain copy of as many bytes,\n"
    "or the same OpenCV calls made bare), then the decoding of those frames and the whole\n"
    "headless loop. Prints per pass the median and 95th percentile in microseconds, the\n"
    "passes per second and the heap allocations, counted after a first warm-up pass.\n";

const char* const footer =
    "Exit status: 0 on success; 1 when the video cannot be opened or holds no usable\n"
    "frame (at least 640 x 480, 8-bit colour); 2 for a wrong command line.\n"
    "\n"
    "Example:\n"
    "  dottrack-bench test.avi --passes 2000 --threads 1";

constexpr int defaultPasses = 1000;
constexpr int maxPasses = 10000000;
constexpr int maxThreads = 1024;
constexpr double microsecondsPerSecond = 1e6;
constexpr double tailFraction = 0.95;

struct Options {
    std::string videoPath = "test.avi";
    int passes = defaultPasses;
    int threads = 0;  // 0: leave OpenCV's choice
    bool json = false;
};

// Durations and allocations of one timed step over the measured passes.
struct Series {
    std::vector<double> microseconds;
    std::int64_t allocations = 0;
};

struct Figures {
    double medianUs = 0;
    double p95Us = 0;
    double passesPerSecond = 0;
    double allocationsPerPass = 0;
};

// The steps of a pass in the tool's order, then the overlays drawn after the timing line.
// The measurement, which the export adds to the pass, comes after them, before the overlays.
enum Step {
    mixStep,
    conditionStep,
    miniStep,
    targetsStep,
    trackingStep,
    measureStep,
    overlayStep,
    stepCount
};
const char* const stepNames[stepCount] = {
    "buildMix",    "conditionMix", "buildMini", "findTargets", "seedMarkers+updateMaker",
    "measurePass", "drawOverlays"};

// The floored stages, and their floors.
constexpr int floorCount = 5;
const Step flooredSteps[floorCount] = {mixStep, conditionStep, miniStep, targetsStep, measureStep};
const char* const floorNames[floorCount] = {
    "copy of the bytes", "erode + 3 blurs", "resize + 5 blurs + addWeighted + 4 fillPoly",
    "30 x (minMaxLoc + rectangle + minMaxLoc)", "estimateAffine2D (RANSAC)"};

struct Results {
    std::string videoPath;
    int passes = 0;
    int distinctFrames = 0;
    int threads = 0;
    Figures steps[stepCount];
    Figures floors[floorCount];
    Figures pass;
    Figures decode;
    Figures loop;
};

// Reads the command line into `options`; returns the status to exit with at once, if any.
std::optional<int> readOptions(int argc, char** argv, Options& options) {
    CLI::App app{description, programName};
    prepareCommandLine(app, footer);
    app.add_option("VIDEO", options.videoPath,
                   "input video file or image sequence such as frames/%04d.png\n(default test.avi)")
        ->type_name("");
    app.add_option("--passes", options.passes,
                   "measured passes of every series, at least 2 (default 1000)")
        ->type_name("N")
        ->transform(wholeNumberIn(2, maxPasses));
    app.add_option("--threads", options.threads,
                   "OpenCV's thread count (default: OpenCV's own choice)")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxThreads));
    app.add_flag("--json", options.json, "print the figures as one JSON object instead of tables");
    return readCommandLine(app, argc, argv);
}

// Microseconds from `start` to `end`.
double microsecondsBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::micro>(end - start).count();
}

// Median, 95th percentile (nearest rank) and rate of a series; sorts its durations.
Figures summarise(Series& series) {
    std::vector<double>& values = series.microseconds;
    Figures figures;
    if (values.empty()) {
        return figures;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    figures.medianUs = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
    const auto tailRank = static_cast<size_t>(std::ceil(tailFraction * static_cast<double>(n)));
    figures.p95Us = values[std::max<size_t>(tailRank, 1) - 1];
    double total = 0;
    for (const double value : values) {
        total += value;
    }
    figures.passesPerSecond =
        total > 0 ? static_cast<double>(n) * microsecondsPerSecond / total : 0;
    figures.allocationsPerPass = static_cast<double>(series.allocations) / static_cast<double>(n);
    return figures;
}

// Opens the video as the tool does, quietly, and reads past the warm-up frames.
void openAtFirstPass(const std::string& path, cv::VideoCapture& capture, long& position) {
    // The series read the source three times over: a camera or a pipeline cannot be.
    if (isLive(classifySource(path))) {
        throw RunError{"cannot time " + path +
                       ": the bench reads its source more than once, "
                       "which a camera or a pipeline cannot give; record it to a file first"};
    }
    const std::string problem = openSource(path, capture);
    if (!problem.empty()) {
        throw RunError{problem};
    }
    cv::Mat frame;
    position = 0;
    skipWarmup(capture, frame, position);
}

// Takes the frame of the next pass as the tool would, refusing what the tool refuses.
// Returns its index in the video.
long readUsablePassFrame(const std::string& path, cv::VideoCapture& capture, cv::Mat& frame,
                         long& position) {
    const long index = readPassFrame(capture, frame, position);
    if (index < 0) {
        throw RunError{path + " holds no frame, even after rewinding to its start"};
    }
    const std::string problem = describeUnusableFrame(frame);
    if (!problem.empty()) {
        throw RunError{"cannot use frame " + std::to_string(index) + " of " + path + ": " +
                       problem};
    }
    return index;
}

// The frames of the first `wanted` passes, stopping early at the end of the first trip
// through the video (the first rewind): the timed series cycle over them.
std::vector<cv::Mat> decodePassFrames(const std::string& path, int wanted) {
    cv::VideoCapture capture;
    long position = 0;
    openAtFirstPass(path, capture, position);
    std::vector<cv::Mat> frames;
    long previousIndex = -1;
    while (static_cast<int>(frames.size()) < wanted) {
        cv::Mat frame;
        const long index = readUsablePassFrame(path, capture, frame, position);
        if (index <= previousIndex) {
            break;
        }
        previousIndex = index;
        frames.push_back(frame);
    }
    return frames;
}

// Series are sized before the passes so that recording never allocates.
void reserveSeries(Series* series, int count, int passes) {
    for (int i = 0; i < count; ++i) {
        series[i].microseconds.reserve(static_cast<size_t>(passes));
    }
}

// Boundaries of the steps of one pass: the clock and the allocation count at each.
struct Marks {
    Clock::time_point time[stepCount + 1];
    std::int64_t allocations[stepCount + 1];
};

// Notes the clock and the allocation count at a boundary of a pass.
void mark(Marks& marks, int boundary) {
    marks.time[boundary] = Clock::now();
    marks.allocations[boundary] = allocationCount();
}

// Adds steps [first, last) of a pass, each between its boundary and the next, to their
// series.
void recordSteps(const Marks& marks, int first, int last, Series* series) {
    for (int i = first; i < last; ++i) {
        series[i].microseconds.push_back(microsecondsBetween(marks.time[i], marks.time[i + 1]));
        series[i].allocations += marks.allocations[i + 1] - marks.allocations[i];
    }
}

// Every series of one pass on frames held in memory, interleaved so that whatever else
// the machine does weighs on all of them alike: each stage on its own in the tool's order,
// the floors, and the whole pass through trackFrame. Each of the three works on its own
// images and on a frame a third of the cycle away from the others', so none finds the
// frame in cache because another just read it. Pass 0 (seeding, first allocations) is not
// recorded.
struct MemorySeries {
    Series steps[stepCount];
    Series floors[floorCount];
    Series pass;
};

void timeInMemory(const std::vector<cv::Mat>& frames, int passes, MemorySeries& series) {
    reserveSeries(series.steps, stepCount, passes);
    reserveSeries(series.floors, floorCount, passes);
    reserveSeries(&series.pass, 1, passes);
    TrackState staged;
    prepareTrackState(staged);
    cv::Mat overlaid;
    cv::Mat floorMix(mixRows, mixCols, CV_32FC1);
    cv::Mat floorMini;
    MiniFloorBuffers floorBuffers;
    Measurement measured;
    cv::Mat floorInliers;
    TrackState whole;
    prepareTrackState(whole);
    const size_t offset = frames.size() / 3;
    Marks marks;
    for (int pass = 0; pass <= passes; ++pass) {
        const bool recorded = pass > 0;
        const size_t first = static_cast<size_t>(pass) % frames.size();

        const cv::Mat& frame = frames[first];
        mark(marks, mixStep);
        buildMix(frame, staged.mix);
        mark(marks, conditionStep);
        conditionMix(staged.mix);
        mark(marks, miniStep);
        buildMini(staged.mix, staged.mini);
        mark(marks, targetsStep);
        findTargets(staged.mini, staged.mix, staged.targets);
        mark(marks, trackingStep);
        if (pass == 0) {
            seedMarkers(staged.targets, staged.refMarkers, staged.markers, staged.assignment);
        }
        updateMaker(staged.targets, staged.refMarkers, staged.markers, staged.assignment);
        mark(marks, measureStep);
        measurePass(frame, staged.targets, staged.assignment, pass == 0, measured);
        mark(marks, overlayStep);
        if (recorded) {
            recordSteps(marks, mixStep, overlayStep, series.steps);
        }
        frame.copyTo(overlaid);
        mark(marks, overlayStep);
        drawOverlays(overlaid, staged.mix, staged.targets, staged.refMarkers, staged.markers,
                     staged.assignment);
        mark(marks, stepCount);
        if (recorded) {
            recordSteps(marks, overlayStep, stepCount, series.steps);
        }

        // The copy floor writes into the buffer that buildMix then fills, outside the
        // timing, for the conditioning floor to start from.
        const cv::Mat& floorFrame = frames[(first + offset) % frames.size()];
        mark(marks, 0);
        copyFloor(floorFrame, floorMix);
        mark(marks, 1);
        if (recorded) {
            recordSteps(marks, 0, 1, series.floors);
        }
        buildMix(floorFrame, floorMix);
        mark(marks, 1);
        conditionFloor(floorMix);
        mark(marks, 2);
        miniFloor(floorMix, floorMini, floorBuffers);
        mark(marks, 3);
        targetsFloor(floorMini, floorMix);
        mark(marks, 4);
        // The robust fit on the very markers of this pass's measurement.
        measureFloor(measured.fit.from, measured.fit.to, measured.outlierDistance, floorInliers);
        mark(marks, 5);
        if (recorded) {
            recordSteps(marks, 1, floorCount, series.floors);
        }

        mark(marks, 0);
        trackFrame(frames[(first + 2 * offset) % frames.size()], pass == 0, whole);
        mark(marks, 1);
        if (recorded) {
            recordSteps(marks, 0, 1, &series.pass);
        }
    }
}

// From the video itself, through two captures read in step: the decoding alone (the
// dropped frame and the read one, with the rewinds), and decoding with the pass as a
// headless run of the tool does them.
void timeVideo(const std::string& path, int passes, Series& decode, Series& loop) {
    reserveSeries(&decode, 1, passes);
    reserveSeries(&loop, 1, passes);
    cv::VideoCapture decodeOnly;
    long decodePosition = 0;
    openAtFirstPass(path, decodeOnly, decodePosition);
    cv::VideoCapture headless;
    long headlessPosition = 0;
    openAtFirstPass(path, headless, headlessPosition);
    cv::Mat decoded;
    cv::Mat frame;
    TrackState state;
    prepareTrackState(state);
    Marks marks;
    for (int pass = 0; pass <= passes; ++pass) {
        mark(marks, 0);
        readUsablePassFrame(path, decodeOnly, decoded, decodePosition);
        mark(marks, 1);
        if (pass > 0) {
            recordSteps(marks, 0, 1, &decode);
        }

        mark(marks, 0);
        readUsablePassFrame(path, headless, frame, headlessPosition);
        trackFrame(frame, pass == 0, state);
        mark(marks, 1);
        if (pass > 0) {
            recordSteps(marks, 0, 1, &loop);
        }
    }
}

Results measure(const Options& options) {
    Results results;
    results.videoPath = options.videoPath;
    results.passes = options.passes;
    results.threads = cv::getNumThreads();
    const std::vector<cv::Mat> frames = decodePassFrames(options.videoPath, options.passes + 1);
    results.distinctFrames = static_cast<int>(frames.size());

    MemorySeries memory;
    timeInMemory(frames, options.passes, memory);
    Series decode;
    Series loop;
    timeVideo(options.videoPath, options.passes, decode, loop);

    for (int i = 0; i < stepCount; ++i) {
        results.steps[i] = summarise(memory.steps[i]);
    }
    for (int i = 0; i < floorCount; ++i) {
        results.floors[i] = summarise(memory.floors[i]);
    }
    results.pass = summarise(memory.pass);
    results.decode = summarise(decode);
    results.loop = summarise(loop);
    return results;
}

// A ratio, or 0 when the denominator is not positive.
double ratioOf(double numerator, double denominator) {
    return denominator > 0 ? numerator / denominator : 0;
}

// The headless loop against decoding and processing done apart, by their medians.
double loopRatio(const Results& results) {
    return ratioOf(results.loop.medianUs, results.decode.medianUs + results.pass.medianUs);
}

// Column widths of the tables.
constexpr int stepColumn = 26;
constexpr int stageColumn = 14;
constexpr int floorColumn = 44;
constexpr int timeColumn = 10;
constexpr int countColumn = 13;

// One row of the first table: a step or series and its figures.
void printFiguresRow(std::ostream& out, const std::string& name, const Figures& figures) {
    out << std::left << std::setw(stepColumn) << name << std::right << std::fixed
        << std::setprecision(1) << std::setw(timeColumn) << figures.medianUs
        << std::setw(timeColumn) << figures.p95Us << std::setw(countColumn)
        << figures.passesPerSecond << std::setprecision(2) << std::setw(countColumn)
        << figures.allocationsPerPass << "\n";
}

// The figures as two tables: the steps and series, then the floors beside their stages.
void printTables(std::ostream& out, const Results& results) {
    out << "dottrack-bench: " << results.videoPath << ", " << results.passes
        << " passes after a warm-up pass, cycling over " << results.distinctFrames
        << " decoded frames; OpenCV threads " << results.threads << "; allocations counted by "
        << allocationCountingMethod() << "\n\n";
    out << std::left << std::setw(stepColumn) << "per pass (microseconds)" << std::right
        << std::setw(timeColumn) << "median" << std::setw(timeColumn) << "p95"
        << std::setw(countColumn) << "passes/s" << std::setw(countColumn) << "allocations"
        << "\n";
    for (int i = 0; i < stepCount; ++i) {
        printFiguresRow(out, stepNames[i], results.steps[i]);
    }
    printFiguresRow(out, "pass (timing line)", results.pass);
    printFiguresRow(out, "decode (grab + read)", results.decode);
    printFiguresRow(out, "headless loop", results.loop);

    out << "\n"
        << std::left << std::setw(stageColumn) << "floor of" << std::setw(floorColumn) << "floor"
        << std::right << std::setw(timeColumn) << "median" << std::setw(timeColumn) << "p95"
        << std::setw(countColumn) << "allocations" << std::setw(countColumn) << "stage/floor"
        << std::setw(countColumn) << "own allocs"
        << "\n";
    for (int i = 0; i < floorCount; ++i) {
        const Figures& floor = results.floors[i];
        const Figures& stage = results.steps[flooredSteps[i]];
        out << std::left << std::setw(stageColumn) << stepNames[flooredSteps[i]]
            << std::setw(floorColumn) << floorNames[i] << std::right << std::fixed
            << std::setprecision(1) << std::setw(timeColumn) << floor.medianUs
            << std::setw(timeColumn) << floor.p95Us << std::setprecision(2)
            << std::setw(countColumn) << floor.allocationsPerPass << std::setw(countColumn)
            << ratioOf(stage.medianUs, floor.medianUs) << std::setw(countColumn)
            << stage.allocationsPerPass - floor.allocationsPerPass << "\n";
    }
    out << "\nheadless loop / (decode + pass), medians: " << std::setprecision(3)
        << loopRatio(results) << "\n";
}

// The figures of a series as the members of a JSON object.
nlohmann::ordered_json describeFigures(const Figures& figures) {
    return {{"medianUs", figures.medianUs},
            {"p95Us", figures.p95Us},
            {"passesPerSecond", figures.passesPerSecond},
            {"allocationsPerPass", figures.allocationsPerPass}};
}

// The figures as one JSON object: the same numbers as the tables. A number JSON cannot
// hold (not finite) is written as null.
void printJson(std::ostream& out, const Results& results) {
    nlohmann::ordered_json json = {{"video", results.videoPath},
                                   {"passes", results.passes},
                                   {"distinctFrames", results.distinctFrames},
                                   {"threads", results.threads},
                                   {"allocationCounting", allocationCountingMethod()}};
    for (int i = 0; i < stepCount; ++i) {
        json["stages"][stepNames[i]] = describeFigures(results.steps[i]);
    }
    for (int i = 0; i < floorCount; ++i) {
        const Figures& floor = results.floors[i];
        const Figures& stage = results.steps[flooredSteps[i]];
        nlohmann::ordered_json floorJson = {{"floor", floorNames[i]}};
        floorJson.update(describeFigures(floor));
        floorJson["stageToFloor"] = ratioOf(stage.medianUs, floor.medianUs);
        floorJson["ownAllocationsPerPass"] = stage.allocationsPerPass - floor.allocationsPerPass;
        json["floors"][stepNames[flooredSteps[i]]] = floorJson;
    }
    json["pass"] = describeFigures(results.pass);
    json["decode"] = describeFigures(results.decode);
    json["headlessLoop"] = describeFigures(results.loop);
    json["loopToDecodePlusPass"] = loopRatio(results);
    // A video's name need not be UTF-8: its stray bytes become U+FFFD rather than an error.
    out << json.dump(1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

// The whole program; every failure ends here as one line and an exit status.
int run(int argc, char** argv) {
    Options options;
    if (const std::optional<int> status = readOptions(argc, argv, options)) {
        return *status;
    }
    try {
        if (options.threads > 0) {
            cv::setNumThreads(options.threads);
        }
        const Results results = measure(options);
        if (options.json) {
            printJson(std::cout, results);
        } else {
            printTables(std::cout, results);
        }
        return 0;
    } catch (const RunError& error) {
        reportError(programName, error.message);
    } catch (const cv::Exception& error) {
        reportError(programName, "OpenCV error: " + std::string(error.what()));
    } catch (const std::exception& error) {
        reportError(programName, error.what());
    }
    return failureStatus;
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    return dottrack::run(argc, argv);
}
