// dottrack-export: runs the tool's tracking and measurement on any video source without the
// tool's windows, and writes every marker's track, the dots' centres and the surface's motion
// as CSV, with pictures; one source at a time, live in a window, or many in a batch.

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "cli/cli.h"
#include "output/output.h"
#include "tools/export/export_run.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-export";

const char* const description =
    "Runs dottrack's tracking on SOURCE without dottrack's windows, measures every dot's\n"
    "centre to a fraction of a pixel and the surface's motion, and writes every marker's\n"
    "positions in every pass as CSV (to standard output unless --out is given), and\n"
    "optionally the motion per pass and pictures. With several sources, or --out-dir,\n"
    "it exports each into a folder, several at once.\n"
    "\n"
    "SOURCE is a video file (default: test.avi); an image sequence, as a pattern such\n"
    "as frames/%04d.png (numbers from 0 to 4 on); a camera, by number (0 is\n"
    "/dev/video0) or device (/dev/video0); or a GStreamer pipeline ending in appsink\n"
    "(anything with a '!' in it), such as\n"
    "  'multifilesrc location=f/%04d.png caps=image/png,framerate=30/1 ! pngdec !\n"
    "   videoconvert ! video/x-raw,format=BGR ! appsink'\n"
    "\n"
    "The passes are dottrack's: the first 45 frames (0 to 44) are read and dropped,\n"
    "then each pass drops one frame and processes the next (frames 46, 48, ...). The\n"
    "first pass seeds the 30 markers, numbered in the order of its targets, darkest\n"
    "first. A file or sequence is run for one trip by default: the run ends before the\n"
    "first pass that would start it over (one of 46 frames or fewer is used up before\n"
    "the first pass, which therefore starts over at frame 0). A camera or pipeline is\n"
    "live: it never starts over, and its run ends when it stops delivering frames, at\n"
    "a key in the live view, or at Ctrl-C, each time with every output complete.\n";

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
    "  centre_x, centre_y  the sub-pixel centre of the dot under that target; empty\n"
    "                      when it holds none, or the target is not on one whole dot\n"
    "  disp_x, disp_y      that centre minus the marker's centre in the first pass\n"
    "Positions are in pixels: x to the right, y down, 0 at the centre of the top-left\n"
    "pixel. Each is written in the shortest form that reads back to the same float.\n"
    "With --camera, the displacements and the motion are of the centres with the lens\n"
    "taken out (ideal pixels of the camera's matrix); centre_x, centre_y stay where the\n"
    "dots are seen.\n"
    "\n"
    "Motion CSV (--motion): one row per pass, an affine map fitted to the markers'\n"
    "displacements (outliers rejected):\n"
    "  pass, frame         as above\n"
    "  markers, inliers    markers with a centre now and in the first pass; those kept\n"
    "  tx, ty              motion of the centroid of the first pass's centres (px)\n"
    "  rotation_deg        positive turns +x towards +y: clockwise on screen\n"
    "  scale               sqrt(det A) of the map's linear part A: above 1 the dots spread\n"
    "  shear_1, shear_2    the pure shear left in A: (P11 - P22) / 2s and P12 / s, where\n"
    "                      A = R(rotation) P with P symmetric\n"
    "  rms                 RMS distance of the kept markers from the fit (px)\n"
    "The fit's fields are empty in a pass with fewer than 3 usable markers.\n"
    "\n"
    "Pictures: --plot shows the first processed frame dimmed and every marker's tracked\n"
    "path; --motion-plot the translation, rotation and scale over the passes.\n"
    "\n"
    "Outputs are written under a temporary name and renamed when complete: a failed\n"
    "run, or an interrupted run of a file, leaves none behind. Exit status: 0 when every\n"
    "run went through (a live source that stops delivering frames ends its run so); 1\n"
    "when a source cannot be opened or yields no usable frame (at least 640 x 480,\n"
    "8-bit colour), the camera file cannot be read or is for frames of another size, an\n"
    "output cannot be written, no display can be reached for --show, or a source of a\n"
    "batch failed (the others are written); 2 for a wrong command line;\n"
    "128 + the signal's number when a run of a file was interrupted (130 for Ctrl-C).\n"
    "\n"
    "Examples:\n"
    "  dottrack-export test.avi --out tracks.csv --motion motion.csv --plot tracks.png\n"
    "  dottrack-export 0 --show --out camera.csv --motion camera-motion.csv\n"
    "  dottrack-export videos/*.avi --out-dir results --pictures --jobs 2";

constexpr std::int64_t maxPasses = 1000000000000;
constexpr int maxJobs = 1024;
// What each source of a batch writes into the folder, the pictures last.
const char* const csvSuffix = ".csv";
const std::vector<std::string> batchSuffixes = {csvSuffix, ".motion.csv"};
const std::vector<std::string> pictureSuffixes = {".png", ".motion.png"};

struct ExportOptions {
    std::vector<std::string> sources;
    std::string cameraPath;
    RunSettings run;
    int threads = 2;
    bool quiet = false;
    std::string outDir;
    bool pictures = false;
    int jobs = 0;  // 0: one per core (jobsFor)
};

bool batchMode(const ExportOptions& options) {
    return options.sources.size() > 1 || !options.outDir.empty();
}

// Refuses options that contradict each other; called once the command line is read.
void checkOptions(const ExportOptions& options) {
    const RunSettings& run = options.run;
    const std::vector<std::pair<std::string, const std::string*>> outputs = {
        {"--out", &run.csvPath},
        {"--plot", &run.plotPath},
        {"--motion", &run.motionPath},
        {"--motion-plot", &run.motionPlotPath}};
    if (batchMode(options)) {
        if (options.outDir.empty()) {
            throw CLI::ValidationError("several sources are written into a folder: give --out-dir");
        }
        for (const auto& [option, path] : outputs) {
            if (!path->empty()) {
                throw CLI::ValidationError(option +
                                           " names one file: with --out-dir every "
                                           "source's files are named after it");
            }
        }
        if (run.decodeOnly || (run.show && options.sources.size() > 1)) {
            throw CLI::ValidationError(std::string(run.decodeOnly ? "--decode-only" : "--show") +
                                       " takes one source");
        }
        const std::string clash = findNameClash(options.sources, csvSuffix);
        if (!clash.empty()) {
            throw CLI::ValidationError(clash);
        }
        return;
    }
    if (options.pictures) {
        throw CLI::ValidationError(
            "--pictures goes with --out-dir; for one file use --plot "
            "and --motion-plot");
    }
    if (run.decodeOnly && (!run.csvPath.empty() || !run.plotPath.empty() ||
                           !run.motionPath.empty() || !run.motionPlotPath.empty() || run.show)) {
        throw CLI::ValidationError(
            "--decode-only writes and shows nothing: leave out --out, "
            "--plot, --motion, --motion-plot and --show");
    }
    // Every file named must be a file of its own.
    checkDistinctFiles({options.sources.front()}, outputs);
}

// Reads the command line into `options`; returns the status to exit with at once, if any.
std::optional<int> readOptions(int argc, char** argv, ExportOptions& options) {
    CLI::App app{description, programName};
    prepareCommandLine(app, footer);
    RunSettings& run = options.run;
    app.add_option("SOURCE", options.sources,
                   "the video file, image sequence, camera or pipeline to track\n"
                   "(default: test.avi); several go with --out-dir")
        ->type_name("");
    app.add_option("--out", run.csvPath, "write the CSV to FILE instead of standard output")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--motion", run.motionPath, "also write the surface's motion per pass as CSV")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--plot", run.plotPath, "also write a PNG picture of the tracks to FILE")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--motion-plot", run.motionPlotPath,
                   "also write a PNG picture of the motion over the passes")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--camera", options.cameraPath,
                   "a camera file, as dottrack-calibrate writes it: take its\n"
                   "lens out of the centres before the displacements and the\n"
                   "motion")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--passes", run.passLimit,
                   "run exactly N passes (N >= 1) instead of one trip; a file\n"
                   "starts over at its end like dottrack, counting on; a live\n"
                   "source ends sooner if it stops")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxPasses));
    app.add_flag("--show", run.show,
                 "show the frame, the tracking, the dots' centres and the motion\n"
                 "live in a window; a key in it ends the run, outputs complete");
    app.add_option("--out-dir", options.outDir,
                   "write each source's NAME.csv and NAME.motion.csv into DIR,\n"
                   "created when missing (NAME: the file's name without its\n"
                   "extension, or the folder of an image sequence)")
        ->type_name("DIR")
        ->check(fileName())
        ->check(folderName());
    app.add_flag("--pictures", options.pictures,
                 "with --out-dir, also write NAME.png and NAME.motion.png");
    app.add_option("--jobs", options.jobs,
                   "with --out-dir, export up to N sources at once (default:\n"
                   "one per core)")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxJobs));
    app.add_option("--threads", options.threads,
                   "one source: 2 (default) decodes the next frames on a second\n"
                   "thread while tracking; 1 decodes and tracks in turn. The\n"
                   "output is the same either way")
        ->type_name("N")
        ->transform(wholeNumberIn(1, 2));
    app.add_flag("--quiet", options.quiet,
                 "no progress line (it is shown only when standard error is a\n"
                 "terminal and the CSV does not go to one)");
    app.add_flag("--decode-only", run.decodeOnly,
                 "only read the frames of the run, to measure the decoding\n"
                 "speed; writes nothing");
    app.final_callback([&options] {
        if (options.sources.empty()) {
            options.sources.push_back("test.avi");
        }
        checkOptions(options);
    });
    return readCommandLine(app, argc, argv);
}

// Exports the one source, with a progress bar on a terminal.
int exportOne(ExportOptions& options) {
    RunSettings& run = options.run;
    run.source = options.sources.front();
    run.decodeAhead = options.threads > 1;
    const bool csvOnTerminal = run.csvPath.empty() && !run.decodeOnly && isatty(STDOUT_FILENO);
    SingleRunSettings single;
    single.program = programName;
    single.source = run.source;
    single.progressShown = !options.quiet && isatty(STDERR_FILENO) && !csvOnTerminal;
    runSingleSource(single,
                    [&run](const ProgressHooks& progress) { return exportSource(run, progress); });
    return 0;
}

// Exports every source into the folder, its files named after it.
int exportMany(const ExportOptions& options) {
    BatchSettings batch;
    batch.program = programName;
    batch.sources = options.sources;
    batch.outDir = options.outDir;
    batch.suffixes = batchSuffixes;
    if (options.pictures) {
        batch.suffixes.insert(batch.suffixes.end(), pictureSuffixes.begin(), pictureSuffixes.end());
    }
    batch.jobs = jobsFor(options.jobs);
    batch.progressShown = !options.quiet && isatty(STDERR_FILENO);
    const std::int64_t passLimit = options.run.passLimit;
    const std::optional<CameraModel>& camera = options.run.camera;
    const auto exportInto = [passLimit, &camera](const std::string& source,
                                                 const std::vector<std::string>& outputs,
                                                 const ProgressHooks& progress) {
        RunSettings run;
        run.source = source;
        run.csvPath = outputs[0];
        run.motionPath = outputs[1];
        if (outputs.size() > 2) {
            run.plotPath = outputs[2];
            run.motionPlotPath = outputs[3];
        }
        run.passLimit = passLimit;
        run.camera = camera;
        // The jobs keep the cores busy: each decodes and tracks in turn.
        run.decodeAhead = false;
        exportSource(run, progress);
    };
    return runBatch(batch, exportInto) > 0 ? failureStatus : 0;
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    return runProgram(programName, [argc, argv] {
        ExportOptions options;
        if (const std::optional<int> status = readOptions(argc, argv, options)) {
            return *status;
        }
        if (!options.cameraPath.empty()) {
            CameraModel camera;
            const std::string problem = readCameraFile(options.cameraPath, camera);
            if (!problem.empty()) {
                throw RunError{problem};
            }
            options.run.camera = camera;
        }
        catchInterrupts();
        // A reader that closes the pipe early makes the next write fail and the run end with
        // its outputs removed, rather than be killed with a temporary file left behind.
        std::signal(SIGPIPE, SIG_IGN);
        return batchMode(options) ? exportMany(options) : exportOne(options);
    });
}
