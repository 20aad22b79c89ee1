// dottrack-field: measures every dot of a dotted surface in every frame of any video source,
// each dot keeping its number, with its displacement and the strain around it, and the
// surface's motion; written as CSV, shown live in a window or drawn into a video; one source
// at a time or many in a batch.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "cli/cli.h"
#include "output/output.h"
#include "tools/field/field_program.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-field";

const char* const description =
    "Finds every dark dot on a light surface in every frame of SOURCE, gives each a number\n"
    "that it keeps for the whole run, and measures its centre, its displacement since the\n"
    "reference frame (the first with dots) and the strain around it, and the surface's\n"
    "motion. Writes one row per dot per frame as CSV (to standard output unless --out is\n"
    "given), optionally the motion per frame, and shows the field live in a window or\n"
    "draws it into a video. With several sources, or --out-dir, it measures each into a\n"
    "folder, several at once.\n"
    "\n"
    "SOURCE is a video file; an image sequence, as a pattern such as frames/%04d.png\n"
    "(numbers from 0 to 4 on); a camera, by number (0 is /dev/video0) or device\n"
    "(/dev/video0); or a GStreamer pipeline ending in appsink (anything with a '!' in it).\n"
    "Every frame is measured, from the first one read: a file or sequence once through, a\n"
    "camera or pipeline until it stops delivering frames, a key in the live window or\n"
    "Ctrl-C, each time with every output complete; --frames N stops after N frames.\n"
    "\n"
    "With --camera, the lens is taken out of the centres before they are numbered:\n"
    "displacements, strain and motion are then the surface's, not the lens's. With\n"
    "--pitch or --mm-per-px, both files also give lengths in millimetres on the\n"
    "surface, for a surface roughly parallel to the sensor.\n";

const char* const footer =
    "Dots CSV: a header line, then per frame one row per numbered dot, in dot order:\n"
    "  frame               index of the frame in the source, from 0\n"
    "  dot                 the dot's number, from 0, the same for the whole run\n"
    "  state               found, or lost (known but not found: every field after empty)\n"
    "  x, y                the dot's sub-pixel centre (px)\n"
    "  disp_x, disp_y      that centre minus the dot's reference position (px)\n"
    "  exx, eyy, exy       Green-Lagrange strain (F^T F - I) / 2, F fitted to the dots\n"
    "                      within 2.5 pitches; the tensor's parts, not engineering shear\n"
    "  rotation_deg        atan2(F21 - F12, F11 + F22): +x turning towards +y\n"
    "  area_ratio          det F\n"
    "With a scale (--pitch or --mm-per-px), four more at the end:\n"
    "  x_mm, y_mm          the centre on the surface (mm): through --camera, where a lens\n"
    "                      without distortion would show it, times the scale\n"
    "  disp_x_mm,\n"
    "  disp_y_mm           the displacement (mm)\n"
    "Through --camera, x, y stay where the dots are seen; disp_x, disp_y (px), the\n"
    "strain, the rotation and the motion are of the centres with the lens taken out.\n"
    "Empty where a value does not exist (too few neighbours for F). Frames before the\n"
    "first with dots have no rows. Positions: x to the right, y down, 0 at the centre of\n"
    "the top-left pixel; each number in the shortest form that reads back to the value.\n"
    "\n"
    "Motion CSV (--motion): one row per frame, an affine map fitted to every dot found\n"
    "that has a reference (outliers rejected), as dottrack-export fits it:\n"
    "  frame, dots, inliers, tx, ty, rotation_deg, scale, shear_1, shear_2, rms\n"
    "With a scale, tx_mm, ty_mm at the end: the translation in mm. The fit's fields are\n"
    "empty in a frame with fewer than 3 such dots.\n"
    "\n"
    "Outputs are written under a temporary name and renamed when complete: a failed\n"
    "run, or an interrupted run of a file, leaves none behind. Exit status: 0 when every\n"
    "run went through (a live source that stops delivering frames ends its run so); 1\n"
    "when a source cannot be opened, yields no frame or no dots, the camera file cannot\n"
    "be read or is for frames of another size, a frame cannot be measured (another\n"
    "size, far too many dots: a live source keeps the outputs of the frames before it),\n"
    "an output cannot be written, no display can be reached for --show, or a source of\n"
    "a batch failed (the others are written); 2 for a wrong command line; 128 + the\n"
    "signal's number when a run of a file was interrupted.\n"
    "\n"
    "Examples:\n"
    "  dottrack-field field.avi --out dots.csv --motion motion.csv\n"
    "  dottrack-field 0 --show --colour exx --out camera.csv --video camera-view.avi\n"
    "  dottrack-field videos/*.avi --out-dir results --jobs 2\n"
    "  dottrack-field field.avi --camera camera.yml --pitch 2 --out dots.csv";

constexpr std::int64_t maxFrames = 1000000000000;
// Past belief either way for a pitch in mm or mm per px; a positive number is all they need.
constexpr double largestScale = 1e6;
constexpr int maxJobs = 1024;
// What each source of a batch writes into the folder.
const char* const csvSuffix = ".csv";
const std::vector<std::string> batchSuffixes = {csvSuffix, ".motion.csv"};

struct FieldOptions {
    std::vector<std::string> sources;
    std::string cameraPath;
    double pitchMm = 0;
    double mmPerPx = 0;
    FieldRunSettings run;
    std::string colour;
    int threads = 2;
    bool quiet = false;
    std::string outDir;
    int jobs = 0;  // 0: one per core (jobsFor)
};

// The value of --colour: one of the quantities the view paints.
CLI::Validator fieldQuantity() {
    return CLI::Validator(
        [](std::string& name) {
            FieldQuantity quantity;
            return parseFieldQuantity(name, quantity)
                       ? std::string()
                       : "'" + name + "' is none of " + fieldQuantityNames;
        },
        "");
}

// The writer chooses its container by the name: an MJPG stream goes in an AVI.
CLI::Validator aviName() {
    return CLI::Validator(
        [](std::string& name) {
            std::string extension = std::filesystem::path(name).extension().string();
            std::transform(extension.begin(), extension.end(), extension.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            return extension == ".avi" ? std::string()
                                       : "the video must be an .avi file, got '" + name + "'";
        },
        "");
}

bool batchMode(const FieldOptions& options) {
    return options.sources.size() > 1 || !options.outDir.empty();
}

// Refuses options that contradict each other; called once the command line is read.
void checkOptions(const FieldOptions& options) {
    const FieldRunSettings& run = options.run;
    const std::vector<std::pair<std::string, const std::string*>> outputs = {
        {"--out", &run.dotsPath}, {"--motion", &run.motionPath}, {"--video", &run.videoPath}};
    if (batchMode(options)) {
        if (options.outDir.empty()) {
            throw CLI::ValidationError("several sources are written into a folder: give --out-dir");
        }
        if (run.show || !run.videoPath.empty()) {
            throw CLI::ValidationError(std::string(run.show ? "--show" : "--video") +
                                       " takes one source, without --out-dir");
        }
        for (const auto& [option, path] : outputs) {
            if (!path->empty()) {
                throw CLI::ValidationError(option +
                                           " names one file: with --out-dir every "
                                           "source's files are named after it");
            }
        }
        const std::string clash = findNameClash(options.sources, csvSuffix);
        if (!clash.empty()) {
            throw CLI::ValidationError(clash);
        }
    }
    if (options.pitchMm > 0 && options.mmPerPx > 0) {
        throw CLI::ValidationError("--pitch and --mm-per-px both give the scale: give one");
    }
    if (!options.colour.empty() && !run.show && run.videoPath.empty()) {
        throw CLI::ValidationError("--colour chooses what --show and --video paint: give either");
    }
    // Every file named must be a file of its own: an output written over the camera file
    // would replace it once the run is done.
    std::vector<std::string> inputs = {options.sources.front()};
    if (!options.cameraPath.empty()) {
        inputs.push_back(options.cameraPath);
    }
    checkDistinctFiles(inputs, outputs);
}

// Reads the command line into `options`; returns the status to exit with at once, if any.
std::optional<int> readOptions(int argc, char** argv, FieldOptions& options) {
    CLI::App app{description, programName};
    prepareCommandLine(app, footer);
    FieldRunSettings& run = options.run;
    app.add_option("SOURCE", options.sources,
                   "the video file, image sequence, camera or pipeline to\n"
                   "measure; several go with --out-dir")
        ->type_name("")
        ->required();
    app.add_option("--out", run.dotsPath, "write the dots' CSV to FILE instead of standard output")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--motion", run.motionPath, "also write the surface's motion per frame as CSV")
        ->type_name("FILE")
        ->check(fileName());
    app.add_flag("--show", run.show,
                 "show the field live in a window: the frame, a colour map of\n"
                 "one quantity between the dots, displacement arrows, a colour\n"
                 "bar and the surface's motion; a key in it ends the run,\n"
                 "outputs complete");
    app.add_option("--colour", options.colour,
                   "what --show and --video paint: exx, eyy, exy (strain),\n"
                   "rotation (deg), area (ratio) or disp (displacement's\n"
                   "length, the default)")
        ->type_name(fieldQuantityNames)
        ->check(fieldQuantity());
    app.add_option("--video", run.videoPath,
                   "also draw that view of every frame into an MJPG AVI, at the\n"
                   "source's frame rate (30 when it tells none)")
        ->type_name("FILE.avi")
        ->check(fileName())
        ->check(aviName());
    app.add_option("--camera", options.cameraPath,
                   "a camera file, as dottrack-calibrate writes it: take its\n"
                   "lens out of the centres before the numbers, displacements,\n"
                   "strain and motion")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--pitch", options.pitchMm,
                   "the dots' spacing on the surface in mm: the scale is that\n"
                   "over the median distance between neighbouring dots of the\n"
                   "reference frame; adds the millimetres to both files")
        ->type_name("MM")
        ->check(numberIn(largestScale / 1e12, largestScale));
    app.add_option("--mm-per-px", options.mmPerPx,
                   "the scale itself, mm on the surface per px (through\n"
                   "--camera, per px of the lens taken out), instead of --pitch")
        ->type_name("S")
        ->check(numberIn(largestScale / 1e12, largestScale));
    app.add_option("--frames", run.frameLimit,
                   "stop after N frames (N >= 1); a file or sequence ends sooner\n"
                   "at its end")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxFrames));
    app.add_option("--out-dir", options.outDir,
                   "write each source's NAME.csv and NAME.motion.csv into DIR,\n"
                   "created when missing (NAME: the file's name without its\n"
                   "extension, or the folder of an image sequence)")
        ->type_name("DIR")
        ->check(fileName())
        ->check(folderName());
    app.add_option("--jobs", options.jobs,
                   "with --out-dir, measure up to N sources at once (default:\n"
                   "one per core)")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxJobs));
    app.add_option("--threads", options.threads,
                   "one source: 2 (default) decodes the next frames on a second\n"
                   "thread while measuring; 1 decodes and measures in turn. The\n"
                   "output is the same either way")
        ->type_name("N")
        ->transform(wholeNumberIn(1, 2));
    app.add_flag("--quiet", options.quiet,
                 "no progress line (it is shown only when standard error is a\n"
                 "terminal and the CSV does not go to one)");
    app.final_callback([&options] { checkOptions(options); });
    const std::optional<int> status = readCommandLine(app, argc, argv);
    if (!options.colour.empty()) {
        parseFieldQuantity(options.colour, run.colour);
    }
    return status;
}

// Measures the one source, with a progress bar on a terminal.
int measureOne(FieldOptions& options) {
    FieldRunSettings& run = options.run;
    run.source = options.sources.front();
    run.decodeAhead = options.threads > 1;
    const bool csvOnTerminal = run.dotsPath.empty() && isatty(STDOUT_FILENO);
    SingleRunSettings single;
    single.program = programName;
    single.source = run.source;
    single.progressShown = !options.quiet && isatty(STDERR_FILENO) && !csvOnTerminal;
    single.progressUnit = "frames";
    runSingleSource(single,
                    [&run](const ProgressHooks& progress) { return measureSource(run, progress); });
    return 0;
}

// Measures every source into the folder, its files named after it.
int measureMany(const FieldOptions& options) {
    BatchSettings batch;
    batch.program = programName;
    batch.sources = options.sources;
    batch.outDir = options.outDir;
    batch.suffixes = batchSuffixes;
    batch.progressUnit = "frames";
    batch.jobs = jobsFor(options.jobs);
    batch.progressShown = !options.quiet && isatty(STDERR_FILENO);
    const FieldRunSettings& settings = options.run;
    const auto measureInto = [&settings](const std::string& source,
                                         const std::vector<std::string>& outputs,
                                         const ProgressHooks& progress) {
        FieldRunSettings run;
        run.source = source;
        run.dotsPath = outputs[0];
        run.motionPath = outputs[1];
        run.frameLimit = settings.frameLimit;
        run.units = settings.units;
        // The jobs keep the cores busy: each decodes and measures in turn.
        run.decodeAhead = false;
        measureSource(run, progress);
    };
    return runBatch(batch, measureInto) > 0 ? failureStatus : 0;
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    return runProgram(programName, [argc, argv] {
        FieldOptions options;
        if (const std::optional<int> status = readOptions(argc, argv, options)) {
            return *status;
        }
        const std::string problem =
            readFieldUnits(options.cameraPath, options.pitchMm, options.mmPerPx, options.run.units);
        if (!problem.empty()) {
            throw RunError{problem};
        }
        catchInterrupts();
        // A reader that closes the pipe early makes the next write fail and the run end with
        // its outputs removed, rather than be killed with a temporary file left behind.
        std::signal(SIGPIPE, SIG_IGN);
        return batchMode(options) ? measureMany(options) : measureOne(options);
    });
}
