#pragma once
// dottrack-bench's figures: what it times, how it times it, and how it reports it.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace dottrack {

// Measured passes of every series unless the command line says otherwise; with --field,
// measured frames: a frame of a field costs as much as dozens of passes of the tool, most of
// it in the blob detector timed beside it.
constexpr int defaultBenchPasses = 1000;
constexpr int defaultFieldFrames = 200;

struct BenchOptions {
    std::string videoPath = "test.avi";
    int passes = defaultBenchPasses;
    int threads = 0;  // 0: leave OpenCV's choice
    bool json = false;
    bool field = false;  // time the field's measurement instead of the tool's pass
};

// The figures of one timed step over the measured passes.
struct Figures {
    double medianUs = 0;
    double p95Us = 0;
    double passesPerSecond = 0;
    double allocationsPerPass = 0;
};

// Durations and allocations of one timed step over the measured passes.
struct Series {
    std::vector<double> microseconds;
    std::int64_t allocations = 0;
};

// Median, 95th percentile (nearest rank) and rate of a series; sorts its durations.
Figures summarise(Series& series);

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
extern const char* const stepNames[stepCount];

// The floored stages, and their floors.
constexpr int floorCount = 5;
extern const Step flooredSteps[floorCount];
extern const char* const floorNames[floorCount];

struct BenchResults {
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

// Times every series on the video that `options` names. Throws RunError for a video the
// bench cannot time.
BenchResults timeEverySeries(const BenchOptions& options);

// Writes the figures as two tables: the steps and series, then the floors beside their
// stages.
void printTables(std::ostream& out, const BenchResults& results);

// Writes the figures as one JSON object: the same numbers as the tables.
void printJson(std::ostream& out, const BenchResults& results);

// ------------------------------------------------------------------------------ The field

// The field's stages in the order a frame goes through them, then the whole measurement of a
// frame in one call, and OpenCV's blob detector on the same frames.
enum FieldSeries {
    candidatesSeries,
    centresSeries,
    linkSeries,
    describeSeries,
    motionSeries,
    wholeSeries,
    blobSeries,
    fieldSeriesCount
};
extern const char* const fieldSeriesNames[fieldSeriesCount];

// What the field's series are timed by: the processor time of the one thread they run on.
extern const char* const fieldClock;

struct FieldBenchResults {
    std::string source;
    int frames = 0;  // measured, after a first frame left out
    int distinctFrames = 0;
    int width = 0, height = 0;
    double dotsPerFrame = 0;                // median of the dots found in a frame
    Figures series[fieldSeriesCount];       // by fieldClock
    double wallMedianUs[fieldSeriesCount];  // the same series by the wall clock
    // Per frame, the allocations of our own: all but those inside OpenCV's RANSAC in the
    // motion fit, counted by making it bare on the very points of the fit. NaN for the blob
    // detector, which is all OpenCV's.
    double ownAllocations[fieldSeriesCount];
};

// Times the field's series on the frames of the source that `options` names. Throws
// RunError for a source the bench cannot time.
FieldBenchResults timeFieldSeries(const BenchOptions& options);

// Writes the field's figures as a table.
void printFieldTables(std::ostream& out, const FieldBenchResults& results);

// Writes the field's figures as one JSON object; `frame_ms` is the median of the whole
// measurement of a frame.
void printFieldJson(std::ostream& out, const FieldBenchResults& results);

}  // namespace dottrack
