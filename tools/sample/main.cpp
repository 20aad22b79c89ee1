// dottrack-sample: writes the synthetic sample video and, optionally, the true dot centres of
// every frame as CSV; or a field of many dots with its truth; or a video of a calibration
// target seen through a known lens.
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "cli/cli.h"
#include "tools/sample/sample_videos.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-sample";

const char* const description =
    "Writes the synthetic sample video: a 640 x 480 colour MJPG AVI at 30 fps of a\n"
    "dotted surface that rests, then translates, shears, twists and is pressed,\n"
    "each motion going out and back, so the last frame matches the first.\n"
    "\n"
    "With --field, writes instead a field of many dots on a surface that moves as\n"
    "--motion says, optionally half covered by an object for a while (--cover), and\n"
    "seen through a lens when --focal, --k1 or --k2 is given.\n"
    "\n"
    "With --target, writes instead a calibration video: a target (circles, acircles\n"
    "or chessboard, as dottrack-calibrate takes them) seen through a camera of focal\n"
    "length --focal and radial distortion --k1, --k2 (OpenCV's model, the principal\n"
    "point at the frame's centre), in --views poses that cover the whole view at\n"
    "several tilts, each held for two frames; grey, sharp, with --noise.\n";

const char* const footer =
    "Exit status: 0 on success; 1 when a file cannot be written; 2 for a wrong\n"
    "command line.\n"
    "\n"
    "Examples:\n"
    "  dottrack-sample test.avi --truth truth.csv --speed 2\n"
    "  dottrack-sample field.avi --field --size 1920x1080 --spacing 49 --motion slide \\\n"
    "      --cover dark --truth field.csv\n"
    "  dottrack-sample press.avi --field --motion press --cover dark\n"
    "  dottrack-sample lens.avi --field --spacing 40 --jitter 0 --motion rigid \\\n"
    "      --focal 1000 --k1 -0.28 --pitch 20 --truth lens.csv\n"
    "  dottrack-sample calib.avi --target circles --grid 9x6 --spacing 20 --size 1280x720 \\\n"
    "      --focal 1000 --k1 -0.28";

constexpr int maxFrameCount = 1000000;
// Beyond these the sample stops being a surface of separate, trackable dots.
constexpr double maxNoiseSigma = 50.0;
constexpr double minDotRadius = 2.0;
constexpr double maxDotRadius = 20.0;
constexpr double maxMotionSpeed = 10.0;
// A field scene: frames from 64 x 64 to 8K, dots from 3 px apart, objects' edges up to 50 px.
constexpr int minFieldSide = 64;
constexpr int maxFieldSide = 7680;
constexpr double minFieldSpacing = 3.0;
constexpr double maxFieldSpacing = 1000.0;
constexpr double maxCoverEdge = 50.0;
constexpr double maxJitter = 0.5;
constexpr int fieldDefaultFrameCount = 120;
// A target's frame: tracing its rays takes 32 bytes a pixel, a frame of 4096 x 4096 half a GB.
constexpr int minTargetSide = 160, maxTargetSide = 4096;
constexpr int maxTargetViews = 1000;
constexpr int maxGridSide = 100;

// The command line as given, before it becomes the options of one kind of video.
struct CommandLine {
    SampleOptions options;
    std::string size = "1280x720";
    double spacing = 0;  // 0: the kind's own default
    std::string fieldMotion = "affine";
    std::string fieldCover;
    std::string grid = "9x6";
};

// Refuses what cannot be written as asked; called once the command line is read.
void checkOptions(const SampleOptions& options) {
    // The MJPG stream goes in an AVI container; other containers would make
    // the writer quietly pick another codec.
    std::string extension = std::filesystem::path(options.videoPath).extension().string();
    for (char& ch : extension) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    if (extension != ".avi") {
        throw CLI::ValidationError("the output video must be an .avi file, got '" +
                                   options.videoPath + "'");
    }
    if (!options.truthPath.empty() && samePath(options.truthPath, options.videoPath)) {
        throw CLI::ValidationError("the truth file and the video must be different files");
    }
}

// The frame size of --size, within the kind's limits.
cv::Size readSize(const std::string& text, int lowest, int highest) {
    const auto size = readDimensions(text);
    if (!size || size->first < lowest || size->second < lowest || size->first > highest ||
        size->second > highest) {
        throw CLI::ValidationError("--size: expected WxH, each from " + std::to_string(lowest) +
                                   " to " + std::to_string(highest) + ", got '" + text + "'");
    }
    return cv::Size(size->first, size->second);
}

// Completes the field's settings from the rest of the command line.
void readFieldSettings(const CLI::App& app, CommandLine& line) {
    SampleOptions& options = line.options;
    FieldSettings& f = options.fieldSettings;
    f.size = readSize(line.size, minFieldSide, maxFieldSide);
    if (line.spacing > 0) {
        if (line.spacing < minFieldSpacing || line.spacing > maxFieldSpacing) {
            throw CLI::ValidationError("--spacing: a field's dots are 3 to 1000 px apart");
        }
        f.spacing = line.spacing;
    }
    f.seed = options.seed;
    f.radius = options.dotRadius;
    f.noiseSigma = options.noiseSigma;
    f.frameCount = app.count("--frames") > 0 ? options.frameCount : fieldDefaultFrameCount;
    f.speed = options.motionSpeed;
    f.motion = fieldMotionNamed(line.fieldMotion);
    f.cover = line.fieldCover.empty() ? FieldCover::none : fieldCoverNamed(line.fieldCover);
    if (f.spacing < 2 * f.radius + 5) {
        throw CLI::ValidationError("--spacing must be at least twice the radius + 5 px");
    }
    if (app.count("--focal") + app.count("--k1") + app.count("--k2") > 0) {
        Lens lens = options.lens;
        lens.imageSize = f.size;
        lens.principalPoint = {(f.size.width - 1) / 2.0, (f.size.height - 1) / 2.0};
        // Beyond a strong barrel lens's fold no ray leads: its corners may lie there, and
        // show nothing, but a frame whose edges do would be no view of the surface.
        if (!showsWholeAxes(lens)) {
            throw CLI::ValidationError(
                "the lens folds inside the frame, short of its edges: take a longer --focal "
                "or a weaker --k1, --k2");
        }
        f.lens = lens;
    }
}

// Completes the target's pattern and lens from the rest of the command line.
void readTargetSettings(CommandLine& line) {
    SampleOptions& options = line.options;
    options.pattern.kind = patternKindNames().at(options.target);
    const auto grid = readDimensions(line.grid);
    options.pattern.grid = {grid->first, grid->second};
    if (line.spacing > 0) {
        options.pattern.spacing = line.spacing;
    }
    const cv::Size size = readSize(line.size, minTargetSide, maxTargetSide);
    options.lens.imageSize = size;
    options.lens.principalPoint = {(size.width - 1) / 2.0, (size.height - 1) / 2.0};
}

// Refuses options that do not go with the kind of video asked for.
void checkKindOptions(const CLI::App& app, const SampleOptions& options) {
    const bool field = options.field, target = !options.target.empty();
    const std::vector<std::string> moving = {"--speed"};
    const std::vector<std::string> fieldOnly = {"--motion", "--cover", "--cover-edge",
                                                "--grey",   "--pitch", "--jitter"};
    const std::vector<std::string> targetOnly = {"--grid", "--views"};
    const std::vector<std::string> lensed = {"--focal", "--k1", "--k2"};
    const std::vector<std::string> dotted = {"--truth", "--frames", "--radius"};
    const std::vector<std::string> sized = {"--size", "--spacing"};
    auto refuse = [&app](const std::vector<std::string>& names, bool allowed, const char* why) {
        for (const std::string& name : names) {
            if (!allowed && app.count(name) > 0) {
                throw CLI::ValidationError(name + " " + why);
            }
        }
    };
    if (field && target) {
        throw CLI::ValidationError("--field and --target do not go together");
    }
    refuse(moving, !target, "is for the sample or a field, not --target");
    refuse(fieldOnly, field, "goes with --field");
    refuse(targetOnly, target, "goes with --target");
    refuse(lensed, field || target, "goes with --field or --target");
    refuse(dotted, !target, "is for a dotted surface, not --target");
    refuse(sized, field || target, "goes with --field or --target");
}

void addFieldOptions(CLI::App& app, CommandLine& line) {
    FieldSettings& f = line.options.fieldSettings;
    app.add_flag("--field", line.options.field,
                 "write a field of many dots instead of the sample; its truth\n"
                 "has the columns frame,dot,x,y,visible (visible: the dot is\n"
                 "wholly in view, 1.5 px from the border, and 4 px clear of\n"
                 "the covering object)");
    app.add_option("--motion", line.fieldMotion,
                   "field: affine (slow, default), slide (fast: up to 0.4 of\n"
                   "the spacing a frame), turn, stretch, leave (a slide that\n"
                   "takes part of the field out of view and back), rigid (a\n"
                   "slow slide and turn, no deformation), or press (a local\n"
                   "bulge that grows and relaxes: strain varying across it)")
        ->type_name("NAME")
        ->check(CLI::IsMember({"affine", "slide", "turn", "stretch", "leave", "rigid", "press"}));
    app.add_option("--cover", line.fieldCover,
                   "field: an object, darker or lighter than the surface,\n"
                   "that comes in from the right, covers part of the field\n"
                   "for a while and leaves")
        ->type_name("dark|light")
        ->check(CLI::IsMember({"dark", "light"}));
    app.add_option("--cover-edge", f.coverEdge,
                   "field: px over which the object's edge fades, 1 (hard)\n"
                   "to 50 (default 6)")
        ->type_name("PX")
        ->check(numberIn(1.0, maxCoverEdge));
    app.add_flag("--grey", f.grey, "field: a grey video rather than a colour one");
    app.add_option("--jitter", f.jitter,
                   "field: how far each dot may lie off its grid node, as a\n"
                   "share of the spacing, 0 (a regular grid) to 0.5 (default\n"
                   "0.15)")
        ->type_name("SHARE")
        ->check(numberIn(0.0, maxJitter));
    app.add_option("--pitch", f.pitchMm,
                   "field: the spacing on the surface in mm (default: as many as\n"
                   "px, 1 mm a px at rest); with it or a lens the truth gains\n"
                   "ideal_x,ideal_y,x_mm,y_mm,disp_x_mm,disp_y_mm")
        ->type_name("MM")
        ->check(numberIn(1e-6, 1e6));
}

void addTargetOptions(CLI::App& app, CommandLine& line) {
    SampleOptions& options = line.options;
    app.add_option("--target", options.target,
                   "write a calibration video of a circles, acircles or\n"
                   "chessboard target instead")
        ->type_name("KIND")
        ->check(CLI::IsMember(patternKindNames()).description(""));
    app.add_option("--grid", line.grid,
                   "target: points per row and rows (a chessboard's inner\n"
                   "corners), 2 to 100 (default 9x6)")
        ->type_name("COLSxROWS")
        ->check(dimensionsIn(2, maxGridSide));
    app.add_option("--focal", options.lens.focal,
                   "field or target: focal length in px (default 1000)")
        ->type_name("F")
        ->check(numberIn(10, 1e6));
    app.add_option("--k1", options.lens.k1,
                   "field or target: radial distortion k1, -1 to 1 (default 0)")
        ->type_name("K")
        ->check(numberIn(-1, 1));
    app.add_option("--k2", options.lens.k2,
                   "field or target: radial distortion k2, -1 to 1 (default 0)")
        ->type_name("K")
        ->check(numberIn(-1, 1));
    app.add_option("--views", options.views, "target: poses, 1 to 1000 (default 24)")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxTargetViews));
}

// Reads the command line into `line`; returns the status to exit with at once, if any.
std::optional<int> readOptions(int argc, char** argv, CommandLine& line) {
    SampleOptions& options = line.options;
    CLI::App app{description, programName};
    prepareCommandLine(app, footer);
    app.add_option("OUT.avi", options.videoPath, "the video to write")->type_name("")->required();
    app.add_option("--truth", options.truthPath,
                   "also write the true centre of every dot in every frame\n"
                   "(columns frame,motion,dot,x,y; x right, y down, origin at\n"
                   "the centre of the top-left pixel)")
        ->type_name("FILE.csv")
        ->check(fileName());
    app.add_option("--seed", options.seed, "dot layout, texture and noise seed (default 1)")
        ->type_name("N")
        ->transform(wholeNumberIn(0, UINT64_MAX));
    app.add_option("--frames", options.frameCount,
                   "number of frames, at least 1 (default 405; a field: 120);\n"
                   "shorter samples compress the motions and move faster")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxFrameCount));
    app.add_option("--noise", options.noiseSigma,
                   "pixel noise, new in every frame: its standard deviation\n"
                   "in grey levels, 0 to 50 (default 2)")
        ->type_name("SIGMA")
        ->check(numberIn(0.0, maxNoiseSigma));
    app.add_option("--radius", options.dotRadius, "dot radius in px, 2 to 20 (default 6.5)")
        ->type_name("R")
        ->check(numberIn(minDotRadius, maxDotRadius));
    app.add_option("--speed", options.motionSpeed,
                   "motion speed factor, 1 to 10 (default 1): every motion\n"
                   "keeps its amplitude but takes 1/F of the frames, and so do\n"
                   "the rests between them; the frames left over rest at the\n"
                   "end. A field's covering object keeps its own time")
        ->type_name("F")
        ->check(numberIn(1.0, maxMotionSpeed));
    app.add_option("--size", line.size, "field or target: frame size (default 1280x720)")
        ->type_name("WxH");
    app.add_option("--spacing", line.spacing,
                   "field: px between neighbouring dots (default 44);\n"
                   "target: its step in mm (default 20)")
        ->type_name("N")
        ->check(numberIn(1e-3, 1e6));
    addFieldOptions(app, line);
    addTargetOptions(app, line);
    app.final_callback([&line, &app] {
        checkOptions(line.options);
        checkKindOptions(app, line.options);
        if (line.options.field) {
            readFieldSettings(app, line);
        } else if (!line.options.target.empty()) {
            readTargetSettings(line);
        }
    });
    return readCommandLine(app, argc, argv);
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    return runProgram(programName, [argc, argv] {
        CommandLine line;
        if (const std::optional<int> status = readOptions(argc, argv, line)) {
            return *status;
        }
        // Failures are reported in one line; OpenCV's own messages (a backend that cannot
        // write the file, for instance) would only repeat them noisily.
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
        if (line.options.field) {
            writeField(line.options);
        } else if (!line.options.target.empty()) {
            writeTargetVideo(line.options);
        } else {
            writeSample(line.options);
        }
        return 0;
    });
}
