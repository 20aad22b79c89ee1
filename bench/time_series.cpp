#include "bench/bench.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "bench/allocation_counter.h"
#include "bench/stage_floors.h"
#include "cli/cli.h"
#include "conditioning/conditioning.h"
#include "detection/detection.h"
#include "measure/measure.h"
#include "pipeline/pipeline.h"
#include "present/present.h"
#include "tracking/tracking.h"
#include "video/video.h"

namespace dottrack {

const char* const stepNames[stepCount] = {
    "buildMix",    "conditionMix", "buildMini", "findTargets", "seedMarkers+updateMaker",
    "measurePass", "drawOverlays"};

const Step flooredSteps[floorCount] = {mixStep, conditionStep, miniStep, targetsStep, measureStep};
const char* const floorNames[floorCount] = {
    "copy of the bytes", "erode + 3 blurs", "resize + 5 blurs + addWeighted + 4 fillPoly",
    "30 x (minMaxLoc + rectangle + minMaxLoc)", "estimateAffine2D (RANSAC)"};

namespace {

using Clock = std::chrono::steady_clock;

constexpr double microsecondsPerSecond = 1e6;
constexpr double tailFraction = 0.95;

// Microseconds from `start` to `end`.
double microsecondsBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::micro>(end - start).count();
}

// Opens the video for a run of the tool's passes, `limit` of them or one trip (0).
void openForTiming(const std::string& path, std::int64_t limit, FrameReader& reader) {
    // The series read the source three times over: a camera or a pipeline cannot be.
    if (isLive(classifySource(path))) {
        throw RunError{"cannot time " + path +
                       ": the bench reads its source more than once, "
                       "which a camera or a pipeline cannot give; record it to a file first"};
    }
    const std::string problem = openReader(path, FrameChoice::passes, limit, reader);
    if (!problem.empty()) {
        throw RunError{problem};
    }
}

// Takes the frame of the next pass as the tool would, refusing what the tool refuses.
// False when the run is over.
bool readUsablePass(const std::string& path, FrameReader& reader, SourceFrame& next) {
    const FrameRead read = readNextFrame(reader, next);
    if (read == FrameRead::noFrame) {
        throw RunError{describeNoFrame(path, false, FrameChoice::passes)};
    }
    const std::string problem =
        read == FrameRead::frame ? describeUnusablePass(next.frame, next.index, path) : "";
    if (!problem.empty()) {
        throw RunError{problem};
    }
    return read == FrameRead::frame;
}

// The frames of the first `wanted` passes, stopping early at the end of the first trip
// through the video: the timed series cycle over them.
std::vector<cv::Mat> decodePassFrames(const std::string& path, int wanted) {
    FrameReader reader;
    openForTiming(path, 0, reader);
    std::vector<cv::Mat> frames;
    SourceFrame next;
    while (static_cast<int>(frames.size()) < wanted && readUsablePass(path, reader, next)) {
        frames.push_back(next.frame);
        next.frame = cv::Mat();  // the next one is decoded into a buffer of its own
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

// From the video itself, through two readers in step, starting it over at its end: the
// decoding alone (the dropped frame and the read one), and decoding with the pass as a
// headless run of the tool does them.
void timeVideo(const std::string& path, int passes, Series& decode, Series& loop) {
    reserveSeries(&decode, 1, passes);
    reserveSeries(&loop, 1, passes);
    FrameReader decodeOnly;
    openForTiming(path, passes + 1, decodeOnly);
    FrameReader headless;
    openForTiming(path, passes + 1, headless);
    SourceFrame decoded;
    SourceFrame next;
    TrackState state;
    prepareTrackState(state);
    Marks marks;
    for (int pass = 0; pass <= passes; ++pass) {
        mark(marks, 0);
        readUsablePass(path, decodeOnly, decoded);
        mark(marks, 1);
        if (pass > 0) {
            recordSteps(marks, 0, 1, &decode);
        }

        mark(marks, 0);
        readUsablePass(path, headless, next);
        trackFrame(next.frame, pass == 0, state);
        mark(marks, 1);
        if (pass > 0) {
            recordSteps(marks, 0, 1, &loop);
        }
    }
}

}  // namespace

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

BenchResults timeEverySeries(const BenchOptions& options) {
    BenchResults results;
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

}  // namespace dottrack
