// dottrack-export: runs the tool's tracking on a video without any window and writes every
// marker's track as CSV, optionally with a picture of the paths.

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "app/one_line.h"
#include "app/track_frame.h"
#include "app/video_input.h"
#include "conditioning/conditioning.h"
#include "tools/command_line.h"
#include "tools/export/pass_reader.h"
#include "tools/export/pending_output.h"
#include "tools/export/progress_bar.h"
#include "tools/export/track_csv.h"
#include "tools/export/track_plot.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-export";

const char* const description =
    "Runs dottrack's tracking on VIDEO without any window and writes every marker's\n"
    "positions in every pass as CSV (to standard output unless --out is given), and\n"
    "optionally a picture of the tracks.\n"
    "\n"
    "The passes are dottrack's: the first 45 frames (0 to 44) are read and dropped,\n"
    "then each pass drops one frame and processes the next (frames 46, 48, ...). The\n"
    "first pass seeds the 30 markers, numbered in the order of its targets, darkest\n"
    "first. By default the run is one trip through the video: it ends before the\n"
    "first pass that would start the video over. A video of 46 frames or fewer is\n"
    "used up before the first pass, which therefore starts over at frame 0; its trip\n"
    "is frames 0, 2, 4, ... to the end.\n";

const char* const footer =
    "CSV: a header line, then one row per marker per pass, in pass and marker order:\n"
    "  pass                pass number from 0 (the count of dottrack's timing line)\n"
    "  frame               index in the video of the frame processed, from 0\n"
    "  marker              marker number, 0 to 29\n"
    "  ref_x, ref_y        the marker's reference position after the pass\n"
    "  x, y                the marker's tracked position after the pass\n"
    "  target              number of the target the marker holds in this pass (0 is\n"
    "                      the darkest spot of the frame), or -1 when it holds none\n"
    "  target_x, target_y  that target's position; empty when it holds none\n"
    "Positions are in pixels: x to the right, y down, 0 at the centre of the top-left\n"
    "pixel. Each is written in the shortest form that reads back to the same float.\n"
    "\n"
    "Picture: the first processed frame dimmed; each marker's tracked path as a line\n"
    "in its own colour, and a dot with its number at its reference position at the\n"
    "end of the run; a legend gives the number of passes and the largest displacement\n"
    "of a marker from its seeded position (in px).\n"
    "\n"
    "Outputs are written under a temporary name and renamed when complete: a failed\n"
    "or interrupted run leaves none behind. Exit status: 0 on success; 1 when the\n"
    "video cannot be opened or holds no usable frame (at least 640 x 480, 8-bit\n"
    "colour), or an output cannot be written; 2 for a wrong command line; 128 + the\n"
    "signal's number when interrupted (130 for Ctrl-C).\n"
    "\n"
    "Example:\n"
    "  dottrack-export test.avi --out tracks.csv --plot tracks.png";

constexpr std::int64_t maxPasses = 1000000000000;
// Added to the number of the signal that interrupted the run, as shells do.
constexpr int interruptedStatusBase = 128;
// A PNG only: the picture is encoded in memory before it goes to its temporary file.
const std::string plotEncoding = ".png";

struct ExportOptions {
    std::string videoPath = "test.avi";
    std::string csvPath;  // empty: standard output
    std::string plotPath;
    std::int64_t passLimit = 0;
    int threads = 2;
    bool quiet = false;
    bool decodeOnly = false;
};

// The user asked the run to stop.
struct Interrupted {};

// The number of the signal that asked the run to stop; 0 while none has.
volatile std::sig_atomic_t interruptRequested = 0;

// Signal handler: notes the request, which the next pass acts on.
extern "C" void requestInterrupt(int signalNumber) {
    interruptRequested = signalNumber;
}

// Lets an interrupt or termination end the run cleanly (outputs removed) at the next pass.
// A signal the parent shell ignores (a background job) stays ignored.
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

// Refuses options that contradict each other; called once the command line is read.
void checkOptions(const ExportOptions& options) {
    if (options.decodeOnly && (!options.csvPath.empty() || !options.plotPath.empty())) {
        throw CLI::ValidationError("--decode-only writes nothing: leave out --out and --plot");
    }
    const std::vector<std::pair<std::string, std::string>> distinctFiles = {
        {options.csvPath, options.videoPath},
        {options.plotPath, options.videoPath},
        {options.plotPath, options.csvPath}};
    for (const auto& [output, other] : distinctFiles) {
        if (!output.empty() && !other.empty() && samePath(output, other)) {
            throw CLI::ValidationError("'" + output +
                                       "' is named twice: the video, the CSV and the "
                                       "picture must be different files");
        }
    }
}

// Reads the command line into `options`; returns the status to exit with at once, if any.
std::optional<int> readOptions(int argc, char** argv, ExportOptions& options) {
    CLI::App app{description, programName};
    prepareCommandLine(app, footer);
    app.add_option("VIDEO", options.videoPath, "the video to track (default: test.avi)")
        ->type_name("");
    app.add_option("--out", options.csvPath, "write the CSV to FILE instead of standard output")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--plot", options.plotPath, "also write a PNG picture of the tracks to FILE")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--passes", options.passLimit,
                   "run exactly N passes (N >= 1) instead of one trip; at the end\n"
                   "of the video it starts over like dottrack, counting on")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxPasses));
    app.add_option("--threads", options.threads,
                   "2 (default): decode the next frames on a second thread\n"
                   "while tracking; 1: decode and track in turn on one thread.\n"
                   "The output is the same either way")
        ->type_name("N")
        ->transform(wholeNumberIn(1, 2));
    app.add_flag("--quiet", options.quiet,
                 "no progress bar (it is shown only when standard error is a\n"
                 "terminal and the CSV does not go to one)");
    app.add_flag("--decode-only", options.decodeOnly,
                 "only read the frames of the run, to measure the decoding\n"
                 "speed; writes nothing (no --out or --plot)");
    app.final_callback([&options] { checkOptions(options); });
    return readCommandLine(app, argc, argv);
}

// What one run carries from pass to pass.
struct ExportWork {
    std::string videoPath;
    TrackState state;
    std::string rows;
    std::FILE* csv = nullptr;
    std::string csvName;  // for messages
    bool plotting = false;
    TrackPlot plot;
    std::int64_t passesDone = 0;
    ProgressBar progress;
};

// Ends the run when a signal asked it to stop.
void checkInterrupt() {
    if (interruptRequested != 0) {
        throw Interrupted{};
    }
}

// Tracks one pass and writes its rows.
void processPass(const PassFrame& pass, ExportWork& work) {
    checkInterrupt();
    const std::string problem = describeUnusableFrame(pass.frame);
    if (!problem.empty()) {
        throw RunError{"cannot use frame " + std::to_string(pass.index) + " of " + work.videoPath +
                       ": " + problem};
    }
    const bool firstPass = work.passesDone == 0;
    trackFrame(pass.frame, firstPass, work.state);
    if (work.plotting) {
        if (firstPass) {
            startTrackPlot(pass.frame, work.state, work.plot);
        }
        extendTrackPlot(work.state, work.plot);
    }
    formatTrackRows(work.passesDone, pass.index, work.state, work.rows);
    if (std::fwrite(work.rows.data(), 1, work.rows.size(), work.csv) != work.rows.size()) {
        throw RunError{"cannot write the CSV to " + work.csvName + ": " + std::strerror(errno)};
    }
    ++work.passesDone;
    updateProgress(work.progress, work.passesDone);
}

// Reads and tracks the passes in turn on this thread.
PassRead trackInTurn(PassSource& source, ExportWork& work) {
    PassFrame pass;
    PassRead read = PassRead::runOver;
    while ((read = readNextPass(source, pass)) == PassRead::frame) {
        processPass(pass, work);
    }
    return read;
}

// Tracks the passes while a second thread decodes the next ones. OpenCV keeps its own
// worker threads for the stages: limiting them to one, to leave a core to the reader,
// measured no faster, so they are left as they are.
PassRead trackWithReader(PassSource& source, ExportWork& work) {
    FrameQueue queue;
    std::thread reader(fillFrameQueue, std::ref(source), std::ref(queue));
    try {
        while (const PassFrame* pass = takeFrame(queue)) {
            processPass(*pass, work);
            releaseFrame(queue);
        }
    } catch (...) {
        cancelReading(queue);
        reader.join();
        throw;
    }
    reader.join();
    if (!queue.readerError.empty()) {
        throw RunError{"cannot read " + work.videoPath + ": " + oneLine(queue.readerError)};
    }
    return queue.readerEnd;
}

// Reads the passes without tracking them, for a measure of the decoding alone.
PassRead decodeOnly(PassSource& source, ExportWork& work) {
    PassFrame pass;
    PassRead read = PassRead::runOver;
    while ((read = readNextPass(source, pass)) == PassRead::frame) {
        checkInterrupt();
        ++work.passesDone;
        updateProgress(work.progress, work.passesDone);
    }
    return read;
}

// Completes the picture and writes it, as a PNG, to the output's temporary file.
void writePlot(ExportWork& work, PendingOutput& output) {
    finishTrackPlot(work.state, work.passesDone, work.plot);
    std::vector<uchar> encoded;
    if (!cv::imencode(plotEncoding, work.plot.picture, encoded)) {
        throw RunError{"cannot encode the picture for '" + output.path + "'"};
    }
    std::fwrite(encoded.data(), 1, encoded.size(), output.file);
}

// Creates the temporary file of an output; throws RunError when it cannot.
void openOutput(const std::string& path, PendingOutput& output) {
    const std::string problem = openPendingOutput(path, output);
    if (!problem.empty()) {
        throw RunError{problem};
    }
}

// Puts a complete output in place; throws RunError when it cannot.
void commitOutput(PendingOutput& output) {
    const std::string problem = commitPendingOutput(output);
    if (!problem.empty()) {
        throw RunError{problem};
    }
}

// The whole run: outputs first (so that a bad path fails at once), then the video, the
// passes, and the outputs put in place. Throws on any failure; the caller discards the
// temporary files.
void runExport(const ExportOptions& options, PendingOutput& csvOutput, PendingOutput& plotOutput) {
    if (!options.csvPath.empty()) {
        openOutput(options.csvPath, csvOutput);
    }
    if (!options.plotPath.empty()) {
        openOutput(options.plotPath, plotOutput);
    }

    // A missing file is told as such, before OpenCV tries every back-end on it.
    std::error_code noFile;
    if (!std::filesystem::exists(options.videoPath, noFile)) {
        throw RunError{"cannot open " + options.videoPath + ": no such file"};
    }
    PassSource source;
    const auto logLevel = silenceOpenCvLog();
    source.capture.open(options.videoPath);
    restoreOpenCvLog(logLevel);
    if (!source.capture.isOpened()) {
        throw RunError{"cannot open " + options.videoPath + " as a video"};
    }
    source.passLimit = options.passLimit;

    ExportWork work;
    work.videoPath = options.videoPath;
    prepareTrackState(work.state);
    work.csv = options.csvPath.empty() ? stdout : csvOutput.file;
    work.csvName = options.csvPath.empty() ? "standard output" : "'" + options.csvPath + "'";
    work.plotting = !options.plotPath.empty();
    const std::int64_t expectedPasses =
        options.passLimit > 0
            ? options.passLimit
            : passesInOneTrip(static_cast<long>(source.capture.get(cv::CAP_PROP_FRAME_COUNT)));
    const bool csvOnTerminal =
        options.csvPath.empty() && !options.decodeOnly && isatty(STDOUT_FILENO);
    startProgress(work.progress, !options.quiet && isatty(STDERR_FILENO) && !csvOnTerminal,
                  expectedPasses);

    PassRead end = PassRead::runOver;
    try {
        if (options.decodeOnly) {
            end = decodeOnly(source, work);
        } else {
            std::fputs(trackCsvHeader, work.csv);
            end = options.threads > 1 ? trackWithReader(source, work) : trackInTurn(source, work);
        }
    } catch (...) {
        abandonProgress(work.progress);
        throw;
    }
    if (end == PassRead::noFrame) {
        abandonProgress(work.progress);
        throw RunError{options.videoPath + " holds no frame, even after rewinding to its start"};
    }
    finishProgress(work.progress, work.passesDone);
    if (work.plotting) {
        writePlot(work, plotOutput);
        commitOutput(plotOutput);
    }
    if (csvOutput.file != nullptr) {
        commitOutput(csvOutput);
    } else if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        throw RunError{"failed while writing the CSV to standard output"};
    }
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    ExportOptions options;
    if (const std::optional<int> status = readOptions(argc, argv, options)) {
        return *status;
    }

    catchInterrupts();
    // A reader that closes the pipe early makes the next write fail and the run end with
    // its outputs removed, rather than be killed with a temporary file left behind.
    std::signal(SIGPIPE, SIG_IGN);

    PendingOutput csvOutput;
    PendingOutput plotOutput;
    int status = failureStatus;
    try {
        runExport(options, csvOutput, plotOutput);
        status = 0;
    } catch (const RunError& error) {
        reportError(programName, error.message);
    } catch (const Interrupted&) {
        reportError(programName, "interrupted");
        status = interruptedStatusBase + interruptRequested;
    } catch (const cv::Exception& error) {
        reportError(programName, "OpenCV error: " + std::string(error.what()));
    } catch (const std::exception& error) {
        reportError(programName, error.what());
    }
    discardPendingOutput(csvOutput);
    discardPendingOutput(plotOutput);
    return status;
}
