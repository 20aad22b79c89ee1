// dottrack-sample: writes the synthetic sample video and, optionally, the true
// dot centres of every frame as CSV; or a video of a calibration target seen
// through a known lens.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include "tools/command_line.h"
#include "tools/sample/sample_scene.h"
#include "tools/sample/target_views.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-sample";

const char* const description =
    "Writes the synthetic sample video: a 640 x 480 colour MJPG AVI at 30 fps of a\n"
    "dotted surface that rests, then translates, shears, twists and is pressed,\n"
    "each motion going out and back, so the last frame matches the first.\n"
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
    "  dottrack-sample calib.avi --target circles --grid 9x6 --spacing 20 --size 1280x720\n"
    "      --focal 1000 --k1 -0.28";

constexpr int maxFrameCount = 1000000;
// Beyond these the sample stops being a surface of separate, trackable dots.
constexpr double maxNoiseSigma = 50.0;
constexpr double minDotRadius = 2.0;
constexpr double maxDotRadius = 20.0;
constexpr double maxMotionSpeed = 10.0;
constexpr int maxTargetViews = 1000;
constexpr int maxGridSide = 100;
// A target's frame: tracing its rays takes 32 bytes a pixel, a frame of 4096 x 4096 half a GB.
constexpr int minTargetSide = 160, maxTargetSide = 4096;

struct Options {
    std::string videoPath;
    std::string truthPath;
    std::uint64_t seed = 1;
    int frameCount = sampleDefaultFrameCount;
    double noiseSigma = sampleNoiseSigma;
    double dotRadius = sampleDotRadius;
    double motionSpeed = 1.0;
    // A calibration video, when target is set.
    std::string target;
    CalibrationPattern pattern;
    Lens lens;
    std::string grid = "9x6";
    std::string size = "1280x720";
    int views = 24;
};

// Refuses what cannot be written as asked; called once the command line is read.
void checkOptions(const Options& options) {
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

// Reads the command line into `options`; returns the status to exit with at once, if any.
std::optional<int> readOptions(int argc, char** argv, Options& options) {
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
                   "number of frames, at least 1 (default 405); shorter\n"
                   "videos compress the motions and move faster")
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
                   "the rests between them; the frames left over rest at the end")
        ->type_name("F")
        ->check(numberIn(1.0, maxMotionSpeed));
    app.add_option("--target", options.target,
                   "write a calibration video of a circles, acircles or\n"
                   "chessboard target instead")
        ->type_name("KIND")
        ->check(CLI::IsMember(patternKindNames()).description(""));
    app.add_option("--grid", options.grid,
                   "the target's points per row and rows (a chessboard's inner\n"
                   "corners), 2 to 100 (default 9x6)")
        ->type_name("COLSxROWS")
        ->check(dimensionsIn(2, maxGridSide));
    app.add_option("--spacing", options.pattern.spacing, "the target's step in mm (default 20)")
        ->type_name("MM")
        ->check(numberIn(1e-3, 1e6));
    app.add_option("--size", options.size, "the frame's size (default 1280x720)")
        ->type_name("WxH")
        ->check(dimensionsIn(minTargetSide, maxTargetSide));
    app.add_option("--focal", options.lens.focal, "focal length in px (default 1000)")
        ->type_name("F")
        ->check(numberIn(10, 1e6));
    app.add_option("--k1", options.lens.k1, "radial distortion k1, -1 to 1 (default 0)")
        ->type_name("K")
        ->check(numberIn(-1, 1));
    app.add_option("--k2", options.lens.k2, "radial distortion k2, -1 to 1 (default 0)")
        ->type_name("K")
        ->check(numberIn(-1, 1));
    app.add_option("--views", options.views, "the target's poses, 1 to 1000 (default 24)")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxTargetViews));
    app.final_callback([&options, &app] {
        checkOptions(options);
        // The dotted surface's options and the target's do not mix.
        const std::vector<std::string> surfaceOptions = {"--truth", "--frames", "--radius",
                                                         "--speed"};
        const std::vector<std::string> targetOptions = {"--grid", "--spacing", "--size", "--focal",
                                                        "--k1",   "--k2",      "--views"};
        for (const std::string& name : options.target.empty() ? targetOptions : surfaceOptions) {
            if (app.count(name) > 0) {
                throw CLI::ValidationError(
                    name + (options.target.empty() ? " goes with --target"
                                                   : " is for the dotted surface, not --target"));
            }
        }
    });
    return readCommandLine(app, argc, argv);
}

// Opens the MJPG writer of a colour video of `size` at `path`.
cv::VideoWriter openVideoWriter(const std::string& path, cv::Size size) {
    // FFmpeg's MJPG encoder first: its files decode cleanly with every reader
    // backend. Any other backend that can write MJPG will do if it is missing.
    const int fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, fourcc, sampleFps, size, true);
    if (!writer.isOpened()) {
        writer.open(path, cv::CAP_ANY, fourcc, sampleFps, size, true);
    }
    return writer;
}

std::string cannotWrite(const std::string& path) {
    return "cannot open '" + path +
           "' for writing as an MJPG video (does the directory exist and is it writable?)";
}

void checkWritten(const std::string& path) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) == 0 || error) {
        throw RunError{"video file '" + path + "' was not written"};
    }
}

void writeTargetVideo(Options options) {
    options.pattern.kind = patternKindNames().at(options.target);
    const auto grid = readDimensions(options.grid);
    const auto size = readDimensions(options.size);
    options.pattern.grid = {grid->first, grid->second};
    options.lens.imageSize = {size->first, size->second};
    options.lens.principalPoint = {(size->first - 1) / 2.0, (size->second - 1) / 2.0};
    TargetScene scene = makeTargetScene(options.lens, options.pattern, options.views);
    scene.noiseSigma = options.noiseSigma;
    scene.seed = options.seed;
    cv::VideoWriter writer = openVideoWriter(options.videoPath, options.lens.imageSize);
    if (!writer.isOpened()) {
        throw RunError{cannotWrite(options.videoPath)};
    }
    cv::Mat frame;
    for (int f = 0; f < targetFrameCount(scene); ++f) {
        renderTargetFrame(scene, f, frame);
        writer.write(frame);
    }
    writer.release();
    checkWritten(options.videoPath);
}

void writeSample(const Options& options) {
    SampleScene scene = makeScene(options.seed);
    scene.noiseSigma = options.noiseSigma;
    scene.dotRadius = options.dotRadius;
    scene.motionSpeed = options.motionSpeed;
    const int frameCount = options.frameCount;

    // Open the truth file first so a bad path fails before any rendering.
    std::FILE* truth = nullptr;
    if (!options.truthPath.empty()) {
        truth = std::fopen(options.truthPath.c_str(), "w");
        if (truth == nullptr) {
            throw RunError{"cannot write truth file '" + options.truthPath +
                           "': " + std::strerror(errno)};
        }
        std::fputs("frame,motion,dot,x,y\n", truth);
    }
    auto closeTruth = [&truth]() {
        const bool ok = truth == nullptr || (!std::ferror(truth) && std::fclose(truth) == 0);
        truth = nullptr;
        return ok;
    };

    cv::VideoWriter writer =
        openVideoWriter(options.videoPath, cv::Size(sampleWidth, sampleHeight));
    if (!writer.isOpened()) {
        if (truth != nullptr) {
            closeTruth();
            std::remove(options.truthPath.c_str());
        }
        throw RunError{cannotWrite(options.videoPath)};
    }

    cv::Mat frame;
    for (int f = 0; f < frameCount; ++f) {
        renderFrame(scene, f, frameCount, frame);
        writer.write(frame);
        if (truth != nullptr) {
            const std::string motion = motionAt(scene, f, frameCount);
            const std::vector<cv::Point2d> centres = dotCentresAt(scene, f, frameCount);
            for (std::size_t d = 0; d < centres.size(); ++d) {
                std::fprintf(truth, "%d,%s,%zu,%.17g,%.17g\n", f, motion.c_str(), d, centres[d].x,
                             centres[d].y);
            }
        }
    }
    writer.release();

    if (!closeTruth()) {
        throw RunError{"failed while writing truth file '" + options.truthPath + "'"};
    }
    checkWritten(options.videoPath);
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    Options options;
    if (const std::optional<int> status = readOptions(argc, argv, options)) {
        return *status;
    }
    // Failures are reported in one line below; OpenCV's own messages (a backend
    // that cannot write the file, for instance) would only repeat them noisily.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    try {
        if (options.target.empty()) {
            writeSample(options);
        } else {
            writeTargetVideo(options);
        }
        return 0;
    } catch (const RunError& e) {
        reportError(programName, e.message);
    } catch (const cv::Exception& e) {
        reportError(programName, "OpenCV error: " + e.err);
    } catch (const std::exception& e) {
        reportError(programName, e.what());
    } catch (...) {
        reportError(programName, "unexpected failure");
    }
    return failureStatus;
}
