// dottrack-calibrate: measures the camera, its lens included, from a video of a calibration
// pattern, and writes what it found as a camera file that OpenCV's programs read too.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include <opencv2/core.hpp>

#include "camera/camera.h"
#include "cli/cli.h"
#include "tools/calibrate/collect_views.h"
#include "video/video.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-calibrate";

const char* const description =
    "Finds a calibration pattern in the frames of SOURCE, calibrates the camera from the\n"
    "views it shows, and writes the camera matrix and the lens's distortion as an OpenCV\n"
    "camera file (YAML). Frames without the pattern are skipped, and so are frames that\n"
    "repeat a view already taken (its points on average within a quarter of the\n"
    "pattern's step of where they were). Show the pattern all over the view, its corners\n"
    "included, at several tilts, sharp and wholly in view.\n"
    "\n"
    "SOURCE is a video file, an image sequence (frames/%04d.png), a camera (0 or\n"
    "/dev/video0) or a GStreamer pipeline ending in appsink (anything with a '!'). A file\n"
    "is read to its end; a camera or pipeline until it stops, --frames are read, or\n"
    "Ctrl-C.\n";

const char* const footer =
    "Patterns, dark on a light ground with a white border, as OpenCV's calibration sample\n"
    "takes them:\n"
    "  circles     a grid of COLS x ROWS circles; MM is the distance between neighbours\n"
    "  acircles    an asymmetric grid: ROWS rows of COLS circles 2 MM apart, every other\n"
    "              row shifted by MM, the rows MM apart\n"
    "  chessboard  COLS x ROWS inner corners (a board of COLS+1 x ROWS+1 squares); MM is\n"
    "              a square's side\n"
    "\n"
    "The camera file holds image_width, image_height, camera_matrix,\n"
    "distortion_coefficients (k1 k2 p1 p2 k3) and avg_reprojection_error (px). It is\n"
    "written whole or not at all.\n"
    "\n"
    "Exit status: 0 when the camera file is written; 1 when the source cannot be read, it\n"
    "shows too few distinct views of the pattern (at least 6) or a pattern with more\n"
    "points than asked, or the file cannot be written; 2 for a wrong command line.\n"
    "\n"
    "Example:\n"
    "  dottrack-calibrate calib.avi --pattern circles --grid 9x6 --spacing 20 --out camera.yml";

constexpr std::int64_t maxFrames = 1000000000;
constexpr int maxGridSide = 100;
// More views than this add little to a calibration but time: the solver's cost grows faster
// than their number.
constexpr std::size_t maxCalibrationViews = 50;

struct CalibrateOptions {
    std::string source;
    CalibrationPattern pattern;
    std::string kind;
    std::string grid;
    std::string outPath;
    std::int64_t frameLimit = 0;
};

// Reads the command line into `options`; returns the status to exit with at once, if any.
std::optional<int> readOptions(int argc, char** argv, CalibrateOptions& options) {
    CLI::App app{description, programName};
    prepareCommandLine(app, footer);
    app.add_option("SOURCE", options.source, "the video, image sequence, camera or pipeline")
        ->type_name("")
        ->required();
    app.add_option("--pattern", options.kind, "circles, acircles or chessboard")
        ->type_name("KIND")
        ->required()
        ->check(CLI::IsMember(patternKindNames()).description(""));
    app.add_option("--grid", options.grid,
                   "the pattern's points per row and rows (a chessboard's inner\n"
                   "corners), each 2 to 100")
        ->type_name("COLSxROWS")
        ->required()
        ->check(dimensionsIn(2, maxGridSide));
    app.add_option("--spacing", options.pattern.spacing, "the pattern's step in mm (see below)")
        ->type_name("MM")
        ->required()
        ->check(numberIn(1e-3, 1e6));
    app.add_option("--out", options.outPath, "the camera file to write")
        ->type_name("FILE.yml")
        ->required()
        ->check(fileName());
    app.add_option("--frames", options.frameLimit, "read at most N frames")
        ->type_name("N")
        ->transform(wholeNumberIn(1, maxFrames));
    app.final_callback([&options] {
        options.pattern.kind = patternKindNames().at(options.kind);
        const auto grid = readDimensions(options.grid);
        options.pattern.grid = {grid->first, grid->second};
        if (samePath(options.outPath, options.source)) {
            throw CLI::ValidationError("the camera file and the source must be different files");
        }
    });
    return readCommandLine(app, argc, argv);
}

std::string describePattern(const CalibrateOptions& options) {
    return std::to_string(options.pattern.grid.width) + " x " +
           std::to_string(options.pattern.grid.height) + " " + options.kind + " pattern";
}

// Why the views cannot be calibrated from, or an empty string.
std::string refuseViews(const CalibrateOptions& options, const ViewCollection& collection) {
    const std::string frames = std::to_string(collection.frames) + " frames of " + options.source;
    if (collection.frames == 0) {
        return options.source + " holds no frame";
    }
    if (collection.views.size() >= minCalibrationViews) {
        return {};
    }
    if (collection.largerFrames > 0) {
        return "the pattern in " + std::to_string(collection.largerFrames) + " of the " + frames +
               " has more points than the " + describePattern(options) +
               " asked: give its whole grid";
    }
    if (collection.views.empty()) {
        return "found no " + describePattern(options) + " in the " + frames +
               " (are the kind and the grid right, and the pattern dark on a light ground, "
               "wholly in view?)";
    }
    return "found " + std::to_string(collection.views.size()) + " distinct views of the " +
           describePattern(options) + " in the " + frames + "; a calibration needs at least " +
           std::to_string(minCalibrationViews);
}

void calibrate(const CalibrateOptions& options) {
    // Before the frames are read: reading a long video only to fail at the end is no way to
    // say that a folder is missing.
    const std::filesystem::path folder = std::filesystem::absolute(options.outPath).parent_path();
    if (std::error_code error; !std::filesystem::is_directory(folder, error)) {
        throw RunError{"cannot write the camera file " + options.outPath + ": no folder " +
                       folder.string()};
    }
    cv::VideoCapture capture;
    if (const std::string problem = openSource(options.source, capture); !problem.empty()) {
        throw RunError{problem};
    }
    // Ctrl-C ends the reading of a live source, and the views so far are calibrated.
    if (isLive(classifySource(options.source))) {
        catchInterrupts();
    }
    const ViewCollection collection = collectViews(capture, options.pattern, options.frameLimit);
    if (!collection.problem.empty()) {
        throw RunError{options.source + ": " + collection.problem};
    }
    if (const std::string refusal = refuseViews(options, collection); !refusal.empty()) {
        throw RunError{refusal};
    }
    const auto views = spreadViews(collection.views, maxCalibrationViews);
    CameraModel camera;
    if (const std::string problem =
            calibrateFromViews(views, options.pattern, collection.frameSize, camera);
        !problem.empty()) {
        throw RunError{problem};
    }
    if (const std::string problem = writeCameraFile(options.outPath, camera); !problem.empty()) {
        throw RunError{problem};
    }
    const cv::Matx33d& k = camera.matrix;
    std::printf("views: %zu of %lld frames (the pattern in %lld)\n", views.size(),
                static_cast<long long>(collection.frames),
                static_cast<long long>(collection.patternFrames));
    std::printf("reprojection error: %.4f px\n", camera.reprojectionError);
    std::printf("focal length: %.2f x %.2f px; principal point: %.2f, %.2f px\n", k(0, 0), k(1, 1),
                k(0, 2), k(1, 2));
    std::printf("distortion (k1 k2 p1 p2 k3):");
    for (const double coefficient : camera.distortion) {
        std::printf(" %.6g", coefficient);
    }
    std::printf("\nwrote %s\n", options.outPath.c_str());
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    return runProgram(programName, [argc, argv] {
        CalibrateOptions options;
        if (const std::optional<int> status = readOptions(argc, argv, options)) {
            return *status;
        }
        calibrate(options);
        return 0;
    });
}
