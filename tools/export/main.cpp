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
#include <string>
#include <system_error>
#include <thread>
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

const char* const usageText =
    "Usage: dottrack-export [VIDEO] [--out FILE.csv] [--plot FILE.png] [--passes N]\n"
    "                       [--threads 1|2] [--quiet] [--decode-only]\n"
    "\n"
    "Runs dottrack's tracking on VIDEO (default: test.avi) without any window and\n"
    "writes every marker's positions in every pass as CSV (to standard output unless\n"
    "--out is given), and optionally a picture of the tracks.\n"
    "\n"
    "The passes are dottrack's: the first 45 frames (0 to 44) are read and dropped,\n"
    "then each pass drops one frame and processes the next (frames 46, 48, ...). The\n"
    "first pass seeds the 30 markers, numbered in the order of its targets, darkest\n"
    "first. By default the run is one trip through the video: it ends before the\n"
    "first pass that would start the video over. A video of 46 frames or fewer is\n"
    "used up before the first pass, which therefore starts over at frame 0; its trip\n"
    "is frames 0, 2, 4, ... to the end.\n"
    "\n"
    "Options:\n"
    "  --out FILE      write the CSV to FILE instead of standard output\n"
    "  --plot FILE     also write a PNG picture of the tracks to FILE\n"
    "  --passes N      run exactly N passes (N >= 1) instead of one trip; at the end\n"
    "                  of the video it starts over like dottrack, counting on\n"
    "  --threads N     2 (default): decode the next frames on a second thread\n"
    "                  while tracking; 1: decode and track in turn on one thread.\n"
    "                  The output is the same either way\n"
    "  --quiet         no progress bar (it is shown only when standard error is a\n"
    "                  terminal and the CSV does not go to one)\n"
    "  --decode-only   only read the frames of the run, to measure the decoding\n"
    "                  speed; writes nothing (no --out or --plot)\n"
    "  -h, --help      show this help and exit\n"
    "\n"
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
    "  dottrack-export test.avi --out tracks.csv --plot tracks.png\n";

const char* const programName = "dottrack-export";
constexpr std::int64_t maxPasses = 1000000000000;
constexpr int usageStatus = 2;
constexpr int failureStatus = 1;
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
    bool help = false;
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

// Whether two names lead to the same file (as far as the file system can tell).
bool samePath(const std::string& a, const std::string& b) {
    std::error_code errorA, errorB;
    const auto canonicalA = std::filesystem::weakly_canonical(a, errorA);
    const auto canonicalB = std::filesystem::weakly_canonical(b, errorB);
    return !errorA && !errorB && canonicalA == canonicalB;
}

// Reads the command line; throws UsageError for a wrong one.
ExportOptions parseArguments(int argc, char** argv) {
    ExportOptions options;
    bool videoGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        const std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
            inlineValue = true;
        }
        const auto takeValue = [&]() {
            if (inlineValue) {
                return value;
            }
            // An option where the value should be is a forgotten value, not a file name.
            if (i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0) {
                throw UsageError{arg + " needs a value"};
            }
            return std::string(argv[++i]);
        };
        const auto takePath = [&]() {
            std::string path = takeValue();
            if (path.empty()) {
                throw UsageError{arg + " needs a file name"};
            }
            return path;
        };
        const bool flag =
            arg == "--help" || arg == "-h" || arg == "--quiet" || arg == "--decode-only";
        if (flag && inlineValue) {
            throw UsageError{arg + " takes no value"};
        }
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--out") {
            options.csvPath = takePath();
        } else if (arg == "--plot") {
            options.plotPath = takePath();
        } else if (arg == "--passes") {
            options.passLimit =
                static_cast<std::int64_t>(parseWholeNumber(arg, takeValue(), 1, maxPasses));
        } else if (arg == "--threads") {
            options.threads = static_cast<int>(parseWholeNumber(arg, takeValue(), 1, 2));
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--decode-only") {
            options.decodeOnly = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"unknown option '" + arg + "' (see --help)"};
        } else if (!videoGiven) {
            options.videoPath = arg;
            videoGiven = true;
        } else {
            throw UsageError{"unexpected argument '" + arg + "': only one video is read"};
        }
    }
    if (options.help) {
        return options;
    }
    if (options.decodeOnly && (!options.csvPath.empty() || !options.plotPath.empty())) {
        throw UsageError{"--decode-only writes nothing: leave out --out and --plot"};
    }
    const std::vector<std::pair<std::string, std::string>> distinctFiles = {
        {options.csvPath, options.videoPath},
        {options.plotPath, options.videoPath},
        {options.plotPath, options.csvPath}};
    for (const auto& [output, other] : distinctFiles) {
        if (!output.empty() && !other.empty() && samePath(output, other)) {
            throw UsageError{"'" + output +
                             "' is named twice: the video, the CSV and the "
                             "picture must be different files"};
        }
    }
    return options;
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

// Writes the one line that explains a failure.
void reportError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", programName, message.c_str());
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    ExportOptions options;
    try {
        options = parseArguments(argc, argv);
    } catch (const UsageError& error) {
        reportError(error.message);
        return usageStatus;
    }
    if (options.help) {
        std::fputs(usageText, stdout);
        return 0;
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
        reportError(error.message);
    } catch (const Interrupted&) {
        reportError("interrupted");
        status = interruptedStatusBase + interruptRequested;
    } catch (const cv::Exception& error) {
        reportError("OpenCV error: " + oneLine(error.what()));
    } catch (const std::exception& error) {
        reportError(oneLine(error.what()));
    }
    discardPendingOutput(csvOutput);
    discardPendingOutput(plotOutput);
    return status;
}
