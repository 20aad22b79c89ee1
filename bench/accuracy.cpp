// dottrack-accuracy: how close the measured dot centres, displacements and surface motion
// come to the truth of a generated video, beside OpenCV's blob detector on the same frames;
// for a field of many dots, the whole field measurement. Run by hand; its figures are the
// ones the documentation quotes.

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/accuracy.h"
#include "bench/allocation_counter.h"
#include "bench/field_accuracy.h"
#include "bench/stage_floors.h"
#include "bench/thread_clock.h"
#include "cli/cli.h"
#include "pipeline/pipeline.h"
#include "video/video.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-accuracy";

struct Options {
    std::string videoPath;
    std::string truthPath;
    // A field's camera and scale, as dottrack-field takes them.
    std::string cameraPath;
    double pitchMm = 0;
    double mmPerPx = 0;
};

// Past belief either way for a pitch in mm or mm per px.
constexpr double largestScale = 1e6;

// Reads the command line into `options`; returns the status to exit with at once, if any.
std::optional<int> readOptions(int argc, char** argv, Options& options) {
    CLI::App app{
        "Measures one trip through VIDEO as dottrack-export does and compares the dot\n"
        "centres, the markers' displacements and the surface's motion with TRUTH.csv\n"
        "(written by dottrack-sample --truth for the same video), beside OpenCV's blob\n"
        "detector (default parameters, on the grey frame) on the same frames.\n"
        "\n"
        "With the truth of a field (dottrack-sample --field --truth), measures instead every\n"
        "frame as dottrack-field does, on one thread, and grades the whole measurement: the\n"
        "dots found, false centres and their errors, each number kept to its dot, the\n"
        "displacements, the strain, time and allocations, beside the blob detector. A field\n"
        "through a lens, or with a pitch, has the surface's positions in its truth: its\n"
        "displacements and strain are graded on those, with the lens taken out by --camera\n"
        "or left in, and with --pitch or --mm-per-px the scale and the displacements in mm\n"
        "too. On a surface that does not deform (--motion rigid), the strain's error is the\n"
        "apparent strain the lens leaves.\n",
        programName};
    prepareCommandLine(app,
                       "Exit status: 0 after printing the figures; 1 when a file cannot be "
                       "read;\n2 for a wrong command line.");
    app.add_option("VIDEO", options.videoPath, "a video written by dottrack-sample")
        ->type_name("")
        ->required();
    app.add_option("TRUTH", options.truthPath, "its truth file")->type_name("")->required();
    app.add_option("--camera", options.cameraPath,
                   "a field: take the lens of this camera file out, as\n"
                   "dottrack-field --camera does")
        ->type_name("FILE")
        ->check(fileName());
    app.add_option("--pitch", options.pitchMm, "a field: the scale from the dots' spacing in mm")
        ->type_name("MM")
        ->check(numberIn(largestScale / 1e12, largestScale));
    app.add_option("--mm-per-px", options.mmPerPx, "a field: the scale itself, instead")
        ->type_name("S")
        ->check(numberIn(largestScale / 1e12, largestScale));
    app.final_callback([&options] {
        if (options.pitchMm > 0 && options.mmPerPx > 0) {
            throw CLI::ValidationError("--pitch and --mm-per-px both give the scale: give one");
        }
        const bool units =
            !options.cameraPath.empty() || options.pitchMm > 0 || options.mmPerPx > 0;
        if (units && std::ifstream(options.truthPath) && !isFieldTruth(options.truthPath)) {
            throw CLI::ValidationError(
                "--camera, --pitch and --mm-per-px go with the truth of a field "
                "(dottrack-sample --field --truth)");
        }
    });
    return readCommandLine(app, argc, argv);
}

// Measures one trip through the video as the export does, and grades every pass.
void gradeOneTrip(const Options& options, const std::map<long, FrameTruth>& truth, PassRun& run,
                  Grades& grades) {
    FrameReader reader;
    const std::string problem = openReader(options.videoPath, FrameChoice::passes, 0, reader);
    if (!problem.empty()) {
        throw RunError{problem};
    }
    preparePassRun(run);
    TrueMotion trueMotion;
    BlobDetection blobs;
    SourceFrame next;
    FrameRead read = FrameRead::runOver;
    while ((read = readNextFrame(reader, next)) == FrameRead::frame && truth.count(next.index)) {
        const std::string unusable =
            describeUnusablePass(next.frame, next.index, options.videoPath);
        if (!unusable.empty()) {
            throw RunError{unusable};
        }
        const FrameTruth& now = truth.at(next.index);
        // The measurement is timed apart from the tool's stages that precede it.
        trackPass(next.frame, run);
        const auto start = std::chrono::steady_clock::now();
        measureTrackedPass(next.frame, run);
        grades.measureUs.push_back(microsecondsSince(start));
        gradeCentres(next.frame, run, now, grades);
        gradeMotion(run, next.index, truth, trueMotion, grades);
        gradeBlobs(next.frame, now, blobs, grades);
    }
    if (read == FrameRead::noFrame) {
        throw RunError{describeNoFrame(options.videoPath, reader.live, FrameChoice::passes)};
    }
}

// Measures every frame of a field as dottrack-field does, and grades each against the truth,
// the blob detector on the same frame beside it.
void gradeField(const Options& options) {
    FieldMeasurement measurement;
    const std::string unusable =
        readFieldUnits(options.cameraPath, options.pitchMm, options.mmPerPx, measurement.units);
    if (!unusable.empty()) {
        throw RunError{unusable};
    }
    const FieldTruth truth = readFieldTruth(options.truthPath);
    FrameReader reader;
    const std::string problem = openReader(options.videoPath, FrameChoice::everyFrame, 0, reader);
    if (!problem.empty()) {
        throw RunError{problem};
    }
    FieldGrades grades;
    grades.truthMmPerPx = truth.mmPerPx;
    BlobDetection blobs;
    std::vector<cv::Point2f> blobCentres;
    cv::Mat inliers;
    SourceFrame next;
    FrameRead read = FrameRead::runOver;
    while ((read = readNextFrame(reader, next)) == FrameRead::frame &&
           truth.frames.count(next.index)) {
        const std::int64_t allocated = allocationCount();
        const double start = threadMicroseconds();
        const std::string refused = measureFieldFrame(next.frame, measurement);
        const double elapsed = threadMicroseconds() - start;
        const std::int64_t measuredAllocations = allocationCount() - allocated;
        if (!refused.empty()) {
            throw RunError{"frame " + std::to_string(next.index) + " of " + options.videoPath +
                           ": " + refused};
        }
        // The motion fit's RANSAC made bare on the very points of its fit: OpenCV's share.
        const std::int64_t floorStart = allocationCount();
        measureFloor(measurement.run.fit.from, measurement.run.fit.to,
                     measurement.run.outlierDistance, inliers);
        if (grades.frames > 0) {
            grades.allocations += measuredAllocations;
            grades.ransacAllocations += allocationCount() - floorStart;
        }
        grades.ours.milliseconds.push_back(elapsed / 1e3);
        const std::vector<FieldTruthDot>& dots = truth.frames.at(next.index);
        gradeFieldFrame(measurement, next.index, dots, grades);

        const double blobStart = threadMicroseconds();
        cv::cvtColor(next.frame, blobs.grey, cv::COLOR_BGR2GRAY);
        blobs.detector->detect(blobs.grey, blobs.blobs);
        grades.blobs.milliseconds.push_back((threadMicroseconds() - blobStart) / 1e3);
        blobCentres.clear();
        for (const cv::KeyPoint& blob : blobs.blobs) {
            blobCentres.push_back(blob.pt);
        }
        grades.blobs.add(dots, blobCentres);
    }
    if (read == FrameRead::noFrame) {
        throw RunError{describeNoFrame(options.videoPath, reader.live, FrameChoice::everyFrame)};
    }
    printFieldAccuracy(options.videoPath, options.cameraPath, measurement, grades);
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
        cv::setNumThreads(1);  // as the tool runs, and as the field's figures are given
        if (isFieldTruth(options.truthPath)) {
            gradeField(options);
            return 0;
        }
        const std::map<long, FrameTruth> truth = readTruth(options.truthPath);
        PassRun run;
        Grades grades;
        gradeOneTrip(options, truth, run, grades);
        printAccuracy(options.videoPath, run.measurement.scale, grades);
        return 0;
    });
}
