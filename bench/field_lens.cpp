// dottrack-field-lens: how well the field is measured through a lens, with and without the
// camera taken out, on a generated surface that slides and turns without deforming: the
// apparent strain, and the displacements in ideal px and in mm against the truth. Run by
// hand; its figures are the ones the camera's documentation quotes.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "bench/accuracy_figures.h"
#include "cli/cli.h"
#include "field/field.h"
#include "video/video.h"

namespace dottrack {
namespace {

const char* const programName = "dottrack-field-lens";
const char* const truthHeader =
    "frame,dot,x,y,visible,ideal_x,ideal_y,x_mm,y_mm,disp_x_mm,disp_y_mm";

// A measured dot within this of a true dot's image is that dot.
constexpr double matchDistance = 0.5;

struct TrueDot {
    int dot = 0;
    cv::Point2d seen, ideal, displacementMm;
};

struct Truth {
    std::map<long, std::vector<TrueDot>> frames;
    double mmPerPx = 0;  // of the ideal image, as the truth's millimetres hold it
};

Truth readTruth(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line != truthHeader) {
        throw std::runtime_error(path +
                                 " is not the truth of a field through a lens, or with a pitch, "
                                 "from dottrack-sample");
    }
    Truth truth;
    while (std::getline(in, line)) {
        long frame = 0;
        int visible = 0;
        TrueDot t;
        cv::Point2d mm;
        if (std::sscanf(line.c_str(), "%ld,%d,%lf,%lf,%d,%lf,%lf,%lf,%lf,%lf,%lf", &frame, &t.dot,
                        &t.seen.x, &t.seen.y, &visible, &t.ideal.x, &t.ideal.y, &mm.x, &mm.y,
                        &t.displacementMm.x, &t.displacementMm.y) != 11) {
            throw std::runtime_error("malformed line in " + path + ": " + line);
        }
        if (truth.mmPerPx == 0 && std::abs(t.ideal.x) > 1) {
            truth.mmPerPx = mm.x / t.ideal.x;
        }
        truth.frames[frame].push_back(t);
    }
    return truth;
}

// The true dot whose image is within matchDistance of `seen`, if any.
const TrueDot* trueDotAt(const std::vector<TrueDot>& dots, cv::Point2f seen) {
    for (const TrueDot& dot : dots) {
        if (std::hypot(dot.seen.x - seen.x, dot.seen.y - seen.y) < matchDistance) {
            return &dot;
        }
    }
    return nullptr;
}

struct Figures {
    long centres = 0, unmatched = 0, swaps = 0;
    Errors exx, eyy, exy;                  // the apparent strain: the truth is none
    Errors displacementPx;                 // ideal px, against the ideal truth
    Errors displacementMm;                 // with a scale
    Errors seenError;                      // the centre against the dot's image
    Errors idealError;                     // the undistorted centre against the ideal truth
    std::map<std::size_t, int> trueDotOf;  // each number's true dot, as first matched
};

void gradeFrame(const FieldResult& result, const std::vector<TrueDot>& dots, double truthMmPerPx,
                Figures& figures) {
    for (std::size_t i = 0; i < result.dotCount(); ++i) {
        if (!result.found[i]) {
            continue;
        }
        ++figures.centres;
        const TrueDot* dot = trueDotAt(dots, result.centres[i]);
        if (dot == nullptr) {
            ++figures.unmatched;
            continue;
        }
        const auto [known, added] = figures.trueDotOf.emplace(i, dot->dot);
        if (!added && known->second != dot->dot) {
            ++figures.swaps;
            continue;
        }
        if (!std::isnan(result.exx[i])) {
            figures.exx.add(std::abs(result.exx[i]));
            figures.eyy.add(std::abs(result.eyy[i]));
            figures.exy.add(std::abs(result.exy[i]));
        }
        const cv::Point2d trueDisplacement = dot->displacementMm / truthMmPerPx;
        figures.displacementPx.add(
            cv::norm(cv::Point2d(result.displacements[i]) - trueDisplacement));
        figures.seenError.add(cv::norm(cv::Point2d(result.centres[i]) - dot->seen));
        figures.idealError.add(cv::norm(cv::Point2d(result.idealCentres[i]) - dot->ideal));
        if (result.mmPerPx > 0) {
            figures.displacementMm.add(cv::norm(result.displacementsMm[i] - dot->displacementMm));
        }
    }
}

void printFigures(const Figures& f, double truthMmPerPx, double mmPerPx) {
    std::printf("centres %ld, not on a true dot %ld, on another dot than their number's %ld\n",
                f.centres, f.unmatched, f.swaps);
    std::printf("apparent strain, p50 / p95 / largest:\n");
    for (const auto& [name, errors] :
         {std::pair<const char*, const Errors*>{"exx", &f.exx}, {"eyy", &f.eyy}, {"exy", &f.exy}}) {
        std::printf("  %s  %.3g / %.3g / %.3g  (%zu values)\n", name, errors->quantile(0.5),
                    errors->quantile(0.95), errors->max(), errors->values.size());
    }
    std::printf("displacement error, ideal px: mean %.4f, p95 %.4f, largest %.4f\n",
                f.displacementPx.mean(), f.displacementPx.quantile(0.95), f.displacementPx.max());
    std::printf("centre error, px: mean %.4f, p95 %.4f, largest %.4f\n", f.seenError.mean(),
                f.seenError.quantile(0.95), f.seenError.max());
    std::printf("ideal centre error, px: mean %.4f, p95 %.4f, largest %.4f\n", f.idealError.mean(),
                f.idealError.quantile(0.95), f.idealError.max());
    if (mmPerPx > 0) {
        std::printf("scale: %.6f mm per ideal px (truth %.6f, %+.3f %%)\n", mmPerPx, truthMmPerPx,
                    100 * (mmPerPx / truthMmPerPx - 1));
        std::printf("displacement error, mm: mean %.4f, p95 %.4f, largest %.4f\n",
                    f.displacementMm.mean(), f.displacementMm.quantile(0.95),
                    f.displacementMm.max());
    }
}

int run(int argc, char** argv) {
    std::string videoPath, truthPath, cameraPath;
    double pitchMm = 0, mmPerPx = 0;
    int maxFrames = 0;
    CLI::App app{
        "Measures the field of VIDEO, as dottrack-field does, and compares it with TRUTH.csv\n"
        "(written by dottrack-sample --field with a lens or --pitch, and --motion rigid or\n"
        "slide or turn: a surface that does not deform): the apparent strain, and the\n"
        "displacements in ideal px and, with a scale, in mm. A measured dot within 0.5 px\n"
        "of a true dot's image is that dot.\n",
        programName};
    prepareCommandLine(app,
                       "Exit status: 0 after printing the figures; 1 when a file cannot be "
                       "read;\n2 for a wrong command line.");
    app.add_option("VIDEO", videoPath, "a field video written by dottrack-sample")
        ->type_name("")
        ->required();
    app.add_option("TRUTH", truthPath, "its truth file")->type_name("")->required();
    app.add_option("--camera", cameraPath, "take the lens of this camera file out")
        ->type_name("FILE");
    app.add_option("--pitch", pitchMm, "the scale from the dots' spacing in mm")
        ->type_name("MM")
        ->check(numberIn(1e-6, 1e6));
    app.add_option("--mm-per-px", mmPerPx, "the scale itself")
        ->type_name("S")
        ->check(numberIn(1e-9, 1e6));
    app.add_option("--frames", maxFrames, "only the first N frames")
        ->type_name("N")
        ->transform(wholeNumberIn(1, 10000000));
    if (const std::optional<int> status = readCommandLine(app, argc, argv)) {
        return *status;
    }
    FieldMeasurement measurement;
    const std::string problem = readFieldUnits(cameraPath, pitchMm, mmPerPx, measurement.units);
    if (!problem.empty()) {
        throw std::runtime_error(problem);
    }
    const Truth truth = readTruth(truthPath);
    cv::VideoCapture capture;
    const std::string unopened = openSource(videoPath, capture);
    if (!unopened.empty()) {
        throw std::runtime_error(unopened);
    }
    cv::setNumThreads(1);
    Figures figures;
    cv::Mat frame;
    const std::vector<TrueDot> none;
    std::vector<double> milliseconds;
    long frames = 0;
    for (long index = 0; capture.read(frame) && (maxFrames == 0 || index < maxFrames); ++index) {
        const auto start = std::chrono::steady_clock::now();
        const std::string refused = measureFieldFrame(frame, measurement);
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (!refused.empty()) {
            throw std::runtime_error("frame " + std::to_string(index) + ": " + refused);
        }
        const auto dots = truth.frames.find(index);
        gradeFrame(measurement.run.result, dots == truth.frames.end() ? none : dots->second,
                   truth.mmPerPx, figures);
        ++frames;
    }
    const std::string camera = cameraPath.empty() ? "no camera" : "camera " + cameraPath;
    std::printf("%s: %s, %ld frames, %s; a frame measured in %.2f ms (median, one thread)\n",
                programName, videoPath.c_str(), frames, camera.c_str(), medianOf(milliseconds));
    printFigures(figures, truth.mmPerPx, measurement.run.result.mmPerPx);
    return 0;
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    try {
        return dottrack::run(argc, argv);
    } catch (const std::exception& error) {
        dottrack::reportError(dottrack::programName, error.what());
        return dottrack::failureStatus;
    }
}
