// dottrack-bench: times every stage of a pass headless, beside its floor, the decoding of
// the video and the whole headless loop, and counts the heap allocations of each.

#include <iostream>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "bench/bench.h"
#include "cli/cli.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-bench";

const char* const description =
    "Times the stages of dottrack's pass headless on the frames the tool would process\n"
    "(decoded into memory first), each beside its floor (a plain copy of as many bytes,\n"
    "or the same OpenCV calls made bare), then the decoding of those frames and the whole\n"
    "headless loop. Prints per pass the median and 95th percentile in microseconds, the\n"
    "passes per second and the heap allocations, counted after a first warm-up pass.\n"
    "\n"
    "With --field, times instead the measurement of a whole field of dots on every frame\n"
    "of VIDEO (decoded into memory first, gone over forwards and back), stage by stage and\n"
    "in one call, beside OpenCV's blob detector on the same frames, on one thread.\n";

const char* const footer =
    "Exit status: 0 on success; 1 when the video cannot be opened or holds no usable\n"
    "frame (at least 640 x 480, 8-bit colour); 2 for a wrong command line.\n"
    "\n"
    "Example:\n"
    "  dottrack-bench test.avi --passes 2000 --threads 1\n"
    "  dottrack-bench field.avi --field --json";

constexpr int maxPasses = 10000000;
constexpr int maxThreads = 1024;

// Reads the command line into `options`; returns the status to exit with at once, if any.
std::optional<int> readOptions(int argc, char** argv, BenchOptions& options) {
    CLI::App app{description, programName};
    prepareCommandLine(app, footer);
    app.add_option("VIDEO", options.videoPath,
                   "input video file or image sequence such as frames/%04d.png\n(default test.avi)")
        ->type_name("");
    app.add_option("--passes", options.passes,
                   "measured passes of every series, at least 2 (default 1000;\n"
                   "with --field, measured frames, default 200)")
        ->type_name("N")
        ->transform(wholeNumberIn(2, maxPasses));
    CLI::Option* threads = app.add_option("--threads", options.threads,
                                          "OpenCV's thread count (default: OpenCV's own choice)")
                               ->type_name("N")
                               ->transform(wholeNumberIn(1, maxThreads));
    app.add_flag("--json", options.json, "print the figures as one JSON object instead of tables");
    app.add_flag("--field", options.field,
                 "time the measurement of a whole field of dots, on one thread")
        ->excludes(threads);
    const std::optional<int> status = readCommandLine(app, argc, argv);
    if (options.field && app.count("--passes") == 0) {
        options.passes = defaultFieldFrames;
    }
    return status;
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    return runProgram(programName, [argc, argv] {
        BenchOptions options;
        if (const std::optional<int> status = readOptions(argc, argv, options)) {
            return *status;
        }
        if (options.field) {
            cv::setNumThreads(1);
            const FieldBenchResults results = timeFieldSeries(options);
            if (options.json) {
                printFieldJson(std::cout, results);
            } else {
                printFieldTables(std::cout, results);
            }
            return 0;
        }
        if (options.threads > 0) {
            cv::setNumThreads(options.threads);
        }
        const BenchResults results = timeEverySeries(options);
        if (options.json) {
            printJson(std::cout, results);
        } else {
            printTables(std::cout, results);
        }
        return 0;
    });
}
