#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/allocation_counter.h"
#include "bench/bench.h"
#include "bench/stage_floors.h"
#include "bench/thread_clock.h"
#include "cli/cli.h"
#include "field/field.h"
#include "pipeline/pipeline.h"
#include "video/video.h"

namespace dottrack {

const char* const fieldSeriesNames[fieldSeriesCount] = {
    "findFrameCandidates", "locateCandidateCentres", "linkFieldDots",     "describeFieldDots",
    "fitFieldMotion",      "measureFieldFrame",      "SimpleBlobDetector"};

const char* const fieldClock = "processor time of the thread";

namespace {

using Clock = std::chrono::steady_clock;

// Most bytes of decoded frames held at once: some 80 frames of 1920 x 1080, 185 of
// 1280 x 720. The series go forwards and back over them as many times as they need.
constexpr std::size_t maxHeldBytes = std::size_t{512} << 20;

// A boundary between the steps of a frame: both clocks and the allocation count.
struct Mark {
    double threadUs = 0;
    Clock::time_point wall;
    std::int64_t allocations = 0;
};

Mark markNow() {
    Mark mark;
    mark.allocations = allocationCount();
    mark.wall = Clock::now();
    mark.threadUs = threadMicroseconds();
    return mark;
}

// One series by both clocks.
struct TimedSeries {
    Series thread;
    std::vector<double> wallUs;
};

// Adds the step from `start` to `end` to its series.
void record(const Mark& start, const Mark& end, TimedSeries& series) {
    series.thread.microseconds.push_back(end.threadUs - start.threadUs);
    series.wallUs.push_back(
        std::chrono::duration<double, std::micro>(end.wall - start.wall).count());
    series.thread.allocations += end.allocations - start.allocations;
}

// The frames the series go over, decoded into memory as dottrack-field reads them (every
// frame from the first one read), `wanted` of them at most, or fewer when they would hold
// more than maxHeldBytes.
std::vector<cv::Mat> decodeFieldFrames(const std::string& source, int wanted,
                                       std::vector<long>& indices) {
    FrameReader reader;
    const bool live = isLive(classifySource(source));
    const std::string problem =
        openReader(source, FrameChoice::everyFrame, live ? wanted : 0, reader);
    if (!problem.empty()) {
        throw RunError{problem};
    }
    std::vector<cv::Mat> frames;
    std::size_t held = 0;
    SourceFrame next;
    while (static_cast<int>(frames.size()) < wanted) {
        const FrameRead read = readNextFrame(reader, next);
        if (read == FrameRead::noFrame) {
            throw RunError{describeNoFrame(source, reader.live, FrameChoice::everyFrame)};
        }
        if (read != FrameRead::frame) {
            break;
        }
        held += next.frame.total() * next.frame.elemSize();
        if (frames.size() >= 2 && held > maxHeldBytes) {
            break;
        }
        frames.push_back(next.frame);
        indices.push_back(next.index);
        next.frame = cv::Mat();  // the next one is decoded into a buffer of its own
    }
    if (frames.empty()) {
        throw RunError{describeNoFrame(source, reader.live, FrameChoice::everyFrame)};
    }
    return frames;
}

// Measures every frame once, in order, untimed: a frame the measurement refuses ends the
// run here, before anything is timed. The median of the dots found in a frame.
double measureEveryFrame(const std::string& source, const std::vector<cv::Mat>& frames,
                         const std::vector<long>& indices) {
    FieldMeasurement measurement;
    std::vector<double> dots;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::string problem = measureFieldFrame(frames[i], measurement);
        if (!problem.empty()) {
            throw RunError{"frame " + std::to_string(indices[i]) + " of " + source + ": " +
                           problem};
        }
        dots.push_back(static_cast<double>(measurement.centres.size()));
    }
    std::nth_element(dots.begin(), dots.begin() + static_cast<std::ptrdiff_t>(dots.size() / 2),
                     dots.end());
    return dots[dots.size() / 2];
}

// The decoded frame that the k-th frame of a run measures: forwards through them, then back,
// and so on, so that a run carries on from frame to frame without a jump, as the surface
// turning back would.
const cv::Mat& frameOfStep(const std::vector<cv::Mat>& frames, std::size_t step) {
    const std::size_t count = frames.size();
    if (count < 2) {
        return frames[0];
    }
    const std::size_t period = 2 * (count - 1), at = step % period;
    return frames[at < count ? at : period - at];
}

// OpenCV's blob detector, default parameters, on the grey of the frame, its buffers kept.
struct BlobRun {
    cv::Ptr<cv::SimpleBlobDetector> detector = cv::SimpleBlobDetector::create();
    cv::Mat grey;
    std::vector<cv::KeyPoint> blobs;
};

void detectBlobs(const cv::Mat& frame, BlobRun& run) {
    if (frame.channels() == 3) {
        cv::cvtColor(frame, run.grey, cv::COLOR_BGR2GRAY);
        run.detector->detect(run.grey, run.blobs);
    } else {
        run.detector->detect(frame, run.blobs);
    }
}

// The allocations that OpenCV's RANSAC makes in the motion fit that `run` just made: the
// same call made bare on the very points of that fit.
std::int64_t ransacAllocations(const FieldRun& run, cv::Mat& inliers) {
    const std::int64_t before = allocationCount();
    measureFloor(run.fit.from, run.fit.to, run.outlierDistance, inliers);
    return allocationCount() - before;
}

}  // namespace

FieldBenchResults timeFieldSeries(const BenchOptions& options) {
    FieldBenchResults results;
    results.source = options.videoPath;
    std::vector<long> indices;
    const std::vector<cv::Mat> frames =
        decodeFieldFrames(options.videoPath, options.passes + 1, indices);
    results.distinctFrames = static_cast<int>(frames.size());
    results.width = frames[0].cols;
    results.height = frames[0].rows;
    results.dotsPerFrame = measureEveryFrame(options.videoPath, frames, indices);

    // Three runs, each on its own frame of the cycle a third of it away from the others', so
    // that none finds its frame in cache because another just read it: the stages one by one,
    // the whole measurement, and the blob detector. The first frame of each (the dots'
    // scale learnt, the reference frame, the first allocations) is left out.
    const std::size_t period = frames.size() < 2 ? 1 : 2 * (frames.size() - 1);
    const std::size_t offset = period / 3;
    TimedSeries series[fieldSeriesCount];
    std::int64_t stagedRansac = 0, wholeRansac = 0;
    for (TimedSeries* s = series; s != series + fieldSeriesCount; ++s) {
        s->thread.microseconds.reserve(static_cast<std::size_t>(options.passes));
        s->wallUs.reserve(static_cast<std::size_t>(options.passes));
    }
    FieldMeasurement staged, whole;
    BlobRun blobs;
    cv::Mat stagedInliers, wholeInliers;  // each as the fit's own mask, sized alike
    Mark marks[motionSeries + 2];
    for (int step = 0; step <= options.passes; ++step) {
        const bool recorded = step > 0;
        const std::size_t k = static_cast<std::size_t>(step);

        const cv::Mat& frame = frameOfStep(frames, k);
        marks[0] = markNow();
        findFrameCandidates(frame, staged.finder);
        marks[1] = markNow();
        locateCandidateCentres(staged.finder, staged.centres);
        marks[2] = markNow();
        linkFieldDots(staged.centres, staged.run);
        marks[3] = markNow();
        describeFieldDots(staged.centres, staged.run);
        marks[4] = markNow();
        fitFieldMotion(staged.run);
        marks[5] = markNow();
        // Made at the warm-up frame too, so that the bare call sizes its mask as the fit did.
        const std::int64_t stagedFloor = ransacAllocations(staged.run, stagedInliers);
        if (recorded) {
            for (int s = candidatesSeries; s <= motionSeries; ++s) {
                record(marks[s], marks[s + 1], series[s]);
            }
            stagedRansac += stagedFloor;
        }

        const Mark wholeStart = markNow();
        measureFieldFrame(frameOfStep(frames, k + offset), whole);
        const Mark wholeEnd = markNow();
        detectBlobs(frameOfStep(frames, k + 2 * offset), blobs);
        const Mark blobEnd = markNow();
        const std::int64_t wholeFloor = ransacAllocations(whole.run, wholeInliers);
        if (recorded) {
            record(wholeStart, wholeEnd, series[wholeSeries]);
            record(wholeEnd, blobEnd, series[blobSeries]);
            wholeRansac += wholeFloor;
        }
    }
    results.frames = options.passes;
    for (int s = 0; s < fieldSeriesCount; ++s) {
        Series wall{series[s].wallUs, 0};
        results.wallMedianUs[s] = summarise(wall).medianUs;
        results.series[s] = summarise(series[s].thread);
    }
    const double measured = static_cast<double>(options.passes);
    for (int s = 0; s < fieldSeriesCount; ++s) {
        results.ownAllocations[s] = results.series[s].allocationsPerPass;
    }
    results.ownAllocations[motionSeries] -= static_cast<double>(stagedRansac) / measured;
    results.ownAllocations[wholeSeries] -= static_cast<double>(wholeRansac) / measured;
    results.ownAllocations[blobSeries] = std::numeric_limits<double>::quiet_NaN();
    return results;
}

}  // namespace dottrack
