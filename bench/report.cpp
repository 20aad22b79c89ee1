#include "bench/bench.h"

#include <iomanip>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/allocation_counter.h"

namespace dottrack {

namespace {

// A ratio, or 0 when the denominator is not positive.
double ratioOf(double numerator, double denominator) {
    return denominator > 0 ? numerator / denominator : 0;
}

// The headless loop against decoding and processing done apart, by their medians.
double loopRatio(const BenchResults& results) {
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

// The figures of a series as the members of a JSON object.
nlohmann::ordered_json describeFigures(const Figures& figures) {
    return {{"medianUs", figures.medianUs},
            {"p95Us", figures.p95Us},
            {"passesPerSecond", figures.passesPerSecond},
            {"allocationsPerPass", figures.allocationsPerPass}};
}

}  // namespace

void printTables(std::ostream& out, const BenchResults& results) {
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

void printJson(std::ostream& out, const BenchResults& results) {
    // A number JSON cannot hold (not finite) is written as null.
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

}  // namespace dottrack
