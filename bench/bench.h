#pragma once
// dottrack-bench's figures: what it times, how it times it, and how it reports it.

#include <cstdint>
#include <ostream>
#include <string>

namespace dottrack {

// Measured passes of every series unless the command line says otherwise.
constexpr int defaultBenchPasses = 1000;

struct BenchOptions {
    std::string videoPath = "test.avi";
    int passes = defaultBenchPasses;
    int threads = 0;  // 0: leave OpenCV's choice
    bool json = false;
};

// The figures of one timed step over the measured passes.
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

}  // namespace dottrack
