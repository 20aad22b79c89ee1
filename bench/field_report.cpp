#include <cmath>
#include <iomanip>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/allocation_counter.h"
#include "bench/bench.h"

namespace dottrack {

namespace {

constexpr int seriesColumn = 26;
constexpr int timeColumn = 11;
constexpr int countColumn = 13;
constexpr double microsecondsPerMillisecond = 1e3;

// A ratio, or 0 when the denominator is not positive.
double ratioOf(double numerator, double denominator) {
    return denominator > 0 ? numerator / denominator : 0;
}

// The blob detector's median time over the whole measurement's.
double blobRatio(const FieldBenchResults& results) {
    return ratioOf(results.series[blobSeries].medianUs, results.series[wholeSeries].medianUs);
}

}  // namespace

void printFieldTables(std::ostream& out, const FieldBenchResults& results) {
    out << "dottrack-bench --field: " << results.source << ", " << results.frames
        << " frames after a warm-up frame, forwards and back over " << results.distinctFrames
        << " decoded frames of " << results.width << " x " << results.height << ", " << std::fixed
        << std::setprecision(0) << results.dotsPerFrame
        << " dots found in a frame (median); one OpenCV thread; times are the " << fieldClock
        << "; allocations counted by " << allocationCountingMethod() << "\n\n";
    out << std::left << std::setw(seriesColumn) << "per frame (microseconds)" << std::right
        << std::setw(timeColumn) << "median" << std::setw(timeColumn) << "p95"
        << std::setw(countColumn) << "wall median" << std::setw(countColumn) << "allocations"
        << std::setw(countColumn) << "of our own"
        << "\n";
    for (int s = 0; s < fieldSeriesCount; ++s) {
        const Figures& figures = results.series[s];
        out << std::left << std::setw(seriesColumn) << fieldSeriesNames[s] << std::right
            << std::setprecision(1) << std::setw(timeColumn) << figures.medianUs
            << std::setw(timeColumn) << figures.p95Us << std::setw(countColumn)
            << results.wallMedianUs[s] << std::setprecision(2) << std::setw(countColumn)
            << figures.allocationsPerPass << std::setw(countColumn);
        if (std::isnan(results.ownAllocations[s])) {
            out << "-";
        } else {
            out << results.ownAllocations[s];
        }
        out << "\n";
    }
    out << "\nof our own: all but those inside OpenCV's RANSAC in the motion fit, counted by "
           "making it bare on the fit's very points\n";
    out << "SimpleBlobDetector / measureFieldFrame, medians: " << std::setprecision(1)
        << blobRatio(results) << "\n";
}

void printFieldJson(std::ostream& out, const FieldBenchResults& results) {
    nlohmann::ordered_json json = {
        {"video", results.source},
        {"frames", results.frames},
        {"distinctFrames", results.distinctFrames},
        {"width", results.width},
        {"height", results.height},
        {"dotsPerFrame", results.dotsPerFrame},
        {"threads", 1},
        {"clock", fieldClock},
        {"allocationCounting", allocationCountingMethod()},
        {"frame_ms", results.series[wholeSeries].medianUs / microsecondsPerMillisecond},
        {"blob_frame_ms", results.series[blobSeries].medianUs / microsecondsPerMillisecond},
        {"blobToFrame", blobRatio(results)}};
    for (int s = 0; s < fieldSeriesCount; ++s) {
        const Figures& figures = results.series[s];
        json["stages"][fieldSeriesNames[s]] = {
            {"medianUs", figures.medianUs},
            {"p95Us", figures.p95Us},
            {"wallMedianUs", results.wallMedianUs[s]},
            {"framesPerSecond", figures.passesPerSecond},
            {"allocationsPerFrame", figures.allocationsPerPass},
            {"ownAllocationsPerFrame", results.ownAllocations[s]}};
    }
    out << json.dump(1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

}  // namespace dottrack
