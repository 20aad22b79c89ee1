// dottrack-accuracy: how close the measured dot centres, displacements and surface motion
// come to the truth of a generated video, beside OpenCV's blob detector on the same frames.
// Run by hand; its figures are the ones the README quotes.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "app/track_frame.h"
#include "app/video_input.h"
#include "bench/accuracy_figures.h"
#include "measure/measure.h"
#include "tools/command_line.h"

namespace dottrack {
namespace {

using Clock = std::chrono::steady_clock;

// A centre farther than this from every true dot is wrong rather than imprecise.
constexpr double wrongCentre = 0.5;
// A target nearer than this to a true dot's centre lies on that dot.
constexpr double onDotReach = 12.0;

// The truth of one frame: the motion under way and every dot's centre.
struct FrameTruth {
    std::string motion;
    std::vector<cv::Point2d> dots;
};

std::map<long, FrameTruth> readTruth(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line != "frame,motion,dot,x,y") {
        throw std::runtime_error(path + " is not a truth file of dottrack-sample");
    }
    std::map<long, FrameTruth> truth;
    while (std::getline(in, line)) {
        long frame = 0;
        std::size_t dot = 0;
        char motion[32];
        cv::Point2d centre;
        if (std::sscanf(line.c_str(), "%ld,%31[^,],%zu,%lf,%lf", &frame, motion, &dot, &centre.x,
                        &centre.y) != 5) {
            throw std::runtime_error("malformed line in " + path + ": " + line);
        }
        truth[frame].motion = motion;
        truth[frame].dots.push_back(centre);
    }
    return truth;
}

// The true dot nearest to `p`, and its distance.
std::pair<int, double> nearestDot(const std::vector<cv::Point2d>& dots, cv::Point2d p) {
    int best = -1;
    double bestDistance = HUGE_VAL;
    for (std::size_t i = 0; i < dots.size(); ++i) {
        const double distance = cv::norm(dots[i] - p);
        if (distance < bestDistance) {
            best = static_cast<int>(i);
            bestDistance = distance;
        }
    }
    return {best, bestDistance};
}

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

const char* const verdictNames[] = {"found", "near the border", "too faint", "rim not clear",
                                    "wrong shape", "unsettled"};
constexpr int verdictCount = 6;

int run(int argc, char** argv) {
    std::string videoPath, truthPath;
    CLI::App app{"Measures one trip through VIDEO as dottrack-export does and compares the dot\n"
                 "centres, the markers' displacements and the surface's motion with TRUTH.csv\n"
                 "(written by dottrack-sample --truth for the same video), beside OpenCV's blob\n"
                 "detector (default parameters, on the grey frame) on the same frames.\n",
                 "dottrack-accuracy"};
    prepareCommandLine(app, "Exit status: 0 after printing the figures; 1 when a file cannot be "
                            "read;\n2 for a wrong command line.");
    app.add_option("VIDEO", videoPath, "a video written by dottrack-sample")
        ->type_name("")
        ->required();
    app.add_option("TRUTH", truthPath, "its truth file")->type_name("")->required();
    if (const std::optional<int> status = readCommandLine(app, argc, argv)) {
        return *status;
    }
    const std::map<long, FrameTruth> truth = readTruth(truthPath);
    cv::setNumThreads(1);  // as the tool runs

    cv::VideoCapture capture;
    const auto logLevel = silenceOpenCvLog();
    capture.open(videoPath);
    restoreOpenCvLog(logLevel);
    if (!capture.isOpened()) {
        throw std::runtime_error("cannot open " + videoPath + " as a video");
    }
    cv::Mat frame, grey;
    long position = 0;
    skipWarmup(capture, frame, position);

    TrackState state;
    prepareTrackState(state);
    Measurement measurement;
    const cv::Ptr<cv::SimpleBlobDetector> blobDetector = cv::SimpleBlobDetector::create();
    std::vector<cv::KeyPoint> blobs;

    Errors centre, blobCentre, displacement, tx, ty, rotation, scale;
    std::vector<double> measureUs, blobUs;
    long targetsOnDots = 0, blobsFound = 0, dotsInView = 0, fitsMissing = 0;
    long verdicts[verdictCount] = {};
    Locking locking;
    std::vector<int> dotOfMarker;  // the true dot each marker was seeded on
    std::vector<cv::Point2f> trueSeeds, trueNow;
    MotionFitBuffers trueFit;
    SurfaceMotion trueMotion;
    long seedFrame = -1;
    double trueOutlierDistance = 0;

    for (long pass = 0, previous = -1;; ++pass) {
        const long index = readPassFrame(capture, frame, position);
        if (index <= previous || truth.count(index) == 0) {
            break;  // one trip
        }
        previous = index;
        const FrameTruth& now = truth.at(index);
        trackFrame(frame, pass == 0, state);
        const auto start = Clock::now();
        measurePass(frame, state.targets, state.assignment, pass == 0, measurement);
        measureUs.push_back(microsecondsSince(start));

        for (std::size_t t = 0; t < state.targets.size(); ++t) {
            cv::Point2f unused;
            ++verdicts[static_cast<int>(
                locateDotCentre(frame, state.targets[t], measurement.scale, unused))];
            targetsOnDots += nearestDot(now.dots, cv::Point2d(state.targets[t])).second < onDotReach;
            const cv::Point2f c = measurement.targetCentres[t];
            if (isMeasured(c)) {
                const auto [dot, error] = nearestDot(now.dots, cv::Point2d(c));
                centre.add(error, wrongCentre);
                if (error <= wrongCentre && now.motion != "rest") {
                    locking.add(c.x, now.dots[dot].x);
                    locking.add(c.y, now.dots[dot].y);
                }
            }
        }

        // Displacements against the true motion of the dot each marker was seeded on, and
        // the fit against the same fit made on those dots' true centres.
        if (pass == 0) {
            seedFrame = index;
            for (const cv::Point2f& seed : measurement.seedCentres) {
                dotOfMarker.push_back(
                    isMeasured(seed) ? nearestDot(now.dots, cv::Point2d(seed)).first : -1);
            }
        }
        const std::vector<cv::Point2d>& seedDots = truth.at(seedFrame).dots;
        trueSeeds.assign(dotOfMarker.size(), cv::Point2f(NAN, NAN));
        trueNow.assign(dotOfMarker.size(), cv::Point2f(NAN, NAN));
        cv::Point2d pivot;
        int seeded = 0;
        for (std::size_t i = 0; i < dotOfMarker.size(); ++i) {
            const int dot = dotOfMarker[i];
            if (dot < 0) {
                continue;
            }
            pivot += seedDots[dot];
            ++seeded;
            if (pass == 0 || isMeasured(measurement.displacements[i])) {
                trueSeeds[i] = cv::Point2f(seedDots[dot]);
                trueNow[i] = cv::Point2f(now.dots[dot]);
            }
            if (isMeasured(measurement.displacements[i])) {
                const cv::Point2d moved = now.dots[dot] - seedDots[dot];
                displacement.add(cv::norm(cv::Point2d(measurement.displacements[i]) - moved),
                                 wrongCentre);
            }
        }
        if (pass == 0) {
            trueOutlierDistance = outlierDistanceFor(trueSeeds);
        }
        fitSurfaceMotion(trueSeeds, trueNow, cv::Point2f(pivot / std::max(seeded, 1)),
                         trueOutlierDistance, trueFit, trueMotion);
        const SurfaceMotion& m = measurement.motion;
        if (m.fitted && trueMotion.fitted) {
            tx.add(std::abs(m.tx - trueMotion.tx));
            ty.add(std::abs(m.ty - trueMotion.ty));
            rotation.add(std::abs(m.rotationDeg - trueMotion.rotationDeg));
            scale.add(std::abs(m.scale - trueMotion.scale));
        } else if (trueMotion.fitted) {
            ++fitsMissing;
        }

        const auto blobStart = Clock::now();
        cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
        blobDetector->detect(grey, blobs);
        blobUs.push_back(microsecondsSince(blobStart));
        for (const cv::KeyPoint& blob : blobs) {
            blobCentre.add(nearestDot(now.dots, cv::Point2d(blob.pt)).second, wrongCentre);
        }
        blobsFound += static_cast<long>(blobs.size());
        dotsInView += static_cast<long>(now.dots.size());
    }

    const std::size_t passes = measureUs.size();
    std::printf("dottrack-accuracy: %s, %zu passes (one trip); dots of radius %.2f px, window "
                "%d x %d px\n\n",
                videoPath.c_str(), passes, measurement.scale.radius,
                2 * measurement.scale.halfWindow + 1, 2 * measurement.scale.halfWindow + 1);
    std::printf("%-40s %14s %14s\n", "dot centres", "dottrack", "blob detector");
    std::printf("%-40s %14.4f %14.4f\n", "error, mean (px)", centre.mean(), blobCentre.mean());
    std::printf("%-40s %14.4f %14.4f\n", "error, p95 (px)", centre.quantile(0.95),
                blobCentre.quantile(0.95));
    std::printf("%-40s %14.4f %14.4f\n", "error, largest (px)", centre.max(), blobCentre.max());
    std::printf("%-40s %14ld %14ld\n", "wrong (more than 0.5 px off)", centre.wrong,
                blobCentre.wrong);
    std::printf("%-40s %8zu/%-5ld %8ld/%-5ld\n", "centres given / targets or dots on view",
                centre.values.size() + centre.wrong, targetsOnDots, blobsFound, dotsInView);
    std::printf("%-40s %14.1f %14.1f\n\n", "time per frame, median (us)", medianOf(measureUs),
                medianOf(blobUs));

    std::printf("%-40s %9s %9s %9s\n", "marker displacement and surface motion", "mean", "p95",
                "largest");
    const auto row = [](const char* name, const Errors& e, double unit) {
        std::printf("%-40s %9.4f %9.4f %9.4f\n", name, e.mean() * unit, e.quantile(0.95) * unit,
                    e.max() * unit);
    };
    row("displacement error (px)", displacement, 1);
    row("tx against the fit on true centres (px)", tx, 1);
    row("ty against the fit on true centres (px)", ty, 1);
    row("rotation, same (deg)", rotation, 1);
    row("scale, same (x 1e-4)", scale, 1e4);
    std::printf("wrong displacements (more than 0.5 px off): %ld; passes without a fit where the "
                "true centres have one: %ld\n\n",
                displacement.wrong, fitsMissing);

    std::printf("pixel locking, over the passes in motion (%ld coordinates):\n", locking.count);
    std::printf("  fractional parts, 10 bins, measured:");
    for (const long n : locking.measured) {
        std::printf(" %ld", n);
    }
    std::printf("\n  the same, true centres:              ");
    for (const long n : locking.truth) {
        std::printf(" %ld", n);
    }
    std::printf("\n  largest / smallest bin: measured %.3f, true centres %.3f\n",
                Locking::flatness(locking.measured), Locking::flatness(locking.truth));
    std::printf("  pull towards whole pixels (amplitude of the error's sine): %.4f px\n\n",
                locking.pull());
    std::printf("targets per verdict:");
    for (int v = 0; v < verdictCount; ++v) {
        std::printf("%s %s %ld", v > 0 ? "," : "", verdictNames[v], verdicts[v]);
    }
    std::printf("\n");
    return 0;
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    try {
        return dottrack::run(argc, argv);
    } catch (const std::exception& error) {
        dottrack::reportError("dottrack-accuracy", error.what());
        return dottrack::failureStatus;
    }
}
