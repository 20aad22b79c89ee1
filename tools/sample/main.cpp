// dottrack-sample: writes the synthetic sample video and, optionally, the true
// dot centres of every frame as CSV.
#include <cctype>
#include <cerrno>
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
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include "cli/cli.h"
#include "tools/sample/field_scene.h"
#include "tools/sample/sample_scene.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-sample";

const char* const description =
    "Writes the synthetic sample video: a 640 x 480 colour MJPG AVI at 30 fps of a\n"
    "dotted surface that rests, then translates, shears, twists and is pressed,\n"
    "each motion going out and back, so the last frame matches the first.\n";

const char* const footer =
    "Exit status: 0 on success; 1 when a file cannot be written; 2 for a wrong\n"
    "command line.\n"
    "\n"
    "Examples:\n"
    "  dottrack-sample test.avi --truth truth.csv --speed 2\n"
    "  dottrack-sample field.avi --field --size 1920x1080 --spacing 49 --motion slide \\\n"
    "      --cover dark --truth field.csv";

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
constexpr int fieldDefaultFrameCount = 120;

struct Options {
    std::string videoPath;
    std::string truthPath;
    std::uint64_t seed = 1;
    int frameCount = sampleDefaultFrameCount;
    double noiseSigma = sampleNoiseSigma;
    double dotRadius = sampleDotRadius;
    double motionSpeed = 1.0;
    bool field = false;
    std::string fieldSize = "1280x720";
    FieldSettings fieldSettings;
    std::string fieldMotion = "affine";
    std::string fieldCover;
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

// Completes the field's settings from the rest of the command line.
void readFieldSettings(const CLI::App& app, Options& options) {
    FieldSettings& f = options.fieldSettings;
    int width = 0, height = 0;
    char tail = 0;
    if (std::sscanf(options.fieldSize.c_str(), "%dx%d%c", &width, &height, &tail) != 2 ||
        width < minFieldSide || height < minFieldSide || width > maxFieldSide ||
        height > maxFieldSide) {
        throw CLI::ValidationError(
            "--size: expected WxH, each from " + std::to_string(minFieldSide) + " to " +
            std::to_string(maxFieldSide) + ", got '" + options.fieldSize + "'");
    }
    f.size = cv::Size(width, height);
    f.seed = options.seed;
    f.radius = options.dotRadius;
    f.noiseSigma = options.noiseSigma;
    f.frameCount = app.count("--frames") > 0 ? options.frameCount : fieldDefaultFrameCount;
    f.motion = fieldMotionNamed(options.fieldMotion);
    f.cover = options.fieldCover.empty() ? FieldCover::none : fieldCoverNamed(options.fieldCover);
    if (f.spacing < 2 * f.radius + 5) {
        throw CLI::ValidationError("--spacing must be at least twice the radius + 5 px");
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
    CLI::Option* field =
        app.add_flag("--field", options.field,
                     "write a field of many dots instead of the sample; its truth\n"
                     "has the columns frame,dot,x,y,visible (visible: the dot is\n"
                     "wholly in view, 1.5 px from the border, and 4 px clear of\n"
                     "the covering object)");
    FieldSettings& f = options.fieldSettings;
    app.add_option("--size", options.fieldSize, "field: frame size (default 1280x720)")
        ->type_name("WxH")
        ->needs(field);
    app.add_option("--spacing", f.spacing, "field: px between neighbouring dots (default 44)")
        ->type_name("PX")
        ->check(numberIn(minFieldSpacing, maxFieldSpacing))
        ->needs(field);
    app.add_option("--motion", options.fieldMotion,
                   "field: affine (slow, default), slide (fast: up to 0.4 of\n"
                   "the spacing a frame), turn, stretch, or leave (a slide\n"
                   "that takes part of the field out of view and back)")
        ->type_name("NAME")
        ->check(CLI::IsMember({"affine", "slide", "turn", "stretch", "leave"}))
        ->needs(field);
    app.add_option("--cover", options.fieldCover,
                   "field: an object, darker or lighter than the surface,\n"
                   "that comes in from the right, covers part of the field\n"
                   "for a while and leaves")
        ->type_name("dark|light")
        ->check(CLI::IsMember({"dark", "light"}))
        ->needs(field);
    app.add_option("--cover-edge", f.coverEdge,
                   "field: px over which the object's edge fades, 1 (hard)\n"
                   "to 50 (default 6)")
        ->type_name("PX")
        ->check(numberIn(1.0, maxCoverEdge))
        ->needs(field);
    app.add_flag("--grey", f.grey, "field: a grey video rather than a colour one")->needs(field);
    app.get_option("--speed")->excludes(field);
    app.final_callback([&options, &app] {
        checkOptions(options);
        if (options.field) {
            readFieldSettings(app, options);
        }
    });
    return readCommandLine(app, argc, argv);
}

// What a video of either kind is made of: its frames, drawn one by one into `frame`, and the
// truth of each frame, written as lines of CSV after `truthHeader`.
struct VideoContents {
    cv::Size size;
    bool colour = true;
    int frameCount = 0;
    const char* truthHeader = "";
    std::function<void(int, cv::Mat&)> drawFrame;
    std::function<void(int, std::FILE*)> writeTruth;
};

void writeVideo(const Options& options, const VideoContents& contents) {
    // Open the truth file first so a bad path fails before any rendering.
    std::FILE* truth = nullptr;
    if (!options.truthPath.empty()) {
        truth = std::fopen(options.truthPath.c_str(), "w");
        if (truth == nullptr) {
            throw RunError{"cannot write truth file '" + options.truthPath +
                           "': " + std::strerror(errno)};
        }
        std::fputs(contents.truthHeader, truth);
    }
    auto closeTruth = [&truth]() {
        const bool ok = truth == nullptr || (!std::ferror(truth) && std::fclose(truth) == 0);
        truth = nullptr;
        return ok;
    };

    // FFmpeg's MJPG encoder first: its files decode cleanly with every reader
    // backend. Any other backend that can write MJPG will do if it is missing.
    const int fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    const cv::Size size = contents.size;
    cv::VideoWriter writer(options.videoPath, cv::CAP_FFMPEG, fourcc, sampleFps, size,
                           contents.colour);
    if (!writer.isOpened()) {
        writer.open(options.videoPath, cv::CAP_ANY, fourcc, sampleFps, size, contents.colour);
    }
    if (!writer.isOpened()) {
        if (truth != nullptr) {
            closeTruth();
            std::remove(options.truthPath.c_str());
        }
        throw RunError{"cannot open '" + options.videoPath +
                       "' for writing as an MJPG video (does the directory exist and is it "
                       "writable?)"};
    }

    cv::Mat frame;
    for (int f = 0; f < contents.frameCount; ++f) {
        contents.drawFrame(f, frame);
        writer.write(frame);
        if (truth != nullptr) {
            contents.writeTruth(f, truth);
        }
    }
    writer.release();

    if (!closeTruth()) {
        throw RunError{"failed while writing truth file '" + options.truthPath + "'"};
    }
    std::error_code error;
    if (std::filesystem::file_size(options.videoPath, error) == 0 || error) {
        throw RunError{"video file '" + options.videoPath + "' was not written"};
    }
}

void writeSample(const Options& options) {
    SampleScene scene = makeScene(options.seed);
    scene.noiseSigma = options.noiseSigma;
    scene.dotRadius = options.dotRadius;
    scene.motionSpeed = options.motionSpeed;
    const int frameCount = options.frameCount;
    VideoContents contents;
    contents.size = cv::Size(sampleWidth, sampleHeight);
    contents.frameCount = frameCount;
    contents.truthHeader = "frame,motion,dot,x,y\n";
    contents.drawFrame = [&](int f, cv::Mat& frame) { renderFrame(scene, f, frameCount, frame); };
    contents.writeTruth = [&](int f, std::FILE* truth) {
        const std::string motion = motionAt(scene, f, frameCount);
        const std::vector<cv::Point2d> centres = dotCentresAt(scene, f, frameCount);
        for (std::size_t d = 0; d < centres.size(); ++d) {
            std::fprintf(truth, "%d,%s,%zu,%.17g,%.17g\n", f, motion.c_str(), d, centres[d].x,
                         centres[d].y);
        }
    };
    writeVideo(options, contents);
}

void writeField(const Options& options) {
    const FieldScene scene = makeFieldScene(options.fieldSettings);
    VideoContents contents;
    contents.size = scene.settings.size;
    contents.colour = !scene.settings.grey;
    contents.frameCount = scene.settings.frameCount;
    contents.truthHeader = "frame,dot,x,y,visible\n";
    contents.drawFrame = [&](int f, cv::Mat& frame) { renderFieldFrame(scene, f, frame); };
    contents.writeTruth = [&](int f, std::FILE* truth) {
        for (const DotTruth& dot : fieldTruthAt(scene, f)) {
            std::fprintf(truth, "%d,%d,%.17g,%.17g,%d\n", f, dot.dot, dot.centre.x, dot.centre.y,
                         dot.visible ? 1 : 0);
        }
    };
    writeVideo(options, contents);
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    return runProgram(programName, [argc, argv] {
        Options options;
        if (const std::optional<int> status = readOptions(argc, argv, options)) {
            return *status;
        }
        // Failures are reported in one line; OpenCV's own messages (a backend that cannot
        // write the file, for instance) would only repeat them noisily.
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
        if (options.field) {
            writeField(options);
        } else {
            writeSample(options);
        }
        return 0;
    });
}
