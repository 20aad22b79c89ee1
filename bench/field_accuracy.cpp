// dottrack-field-accuracy: how many of a generated field's dots are found in every frame,
// how close their centres come to the truth, and how fast, beside OpenCV's blob detector on
// the same frames. Run by hand; its figures are the ones the README quotes.

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

#include "bench/accuracy_figures.h"
#include "bench/allocation_counter.h"
#include "cli/cli.h"
#include "field/field.h"
#include "video/video.h"

namespace dottrack {
namespace {

using Clock = std::chrono::steady_clock;

// A centre within this of a true dot is that dot's; farther from every one, it is false.
constexpr double matchDistance = 0.5;

struct TrueDot {
    cv::Point2d centre;
    bool visible = false;
};

// Every frame's dots, sorted by x for the matching.
std::map<long, std::vector<TrueDot>> readTruth(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line != "frame,dot,x,y,visible") {
        throw std::runtime_error(path + " is not the truth of a field from dottrack-sample");
    }
    std::map<long, std::vector<TrueDot>> truth;
    while (std::getline(in, line)) {
        long frame = 0;
        int dot = 0, visible = 0;
        TrueDot t;
        if (std::sscanf(line.c_str(), "%ld,%d,%lf,%lf,%d", &frame, &dot, &t.centre.x, &t.centre.y,
                        &visible) != 5) {
            throw std::runtime_error("malformed line in " + path + ": " + line);
        }
        t.visible = visible != 0;
        truth[frame].push_back(t);
    }
    for (auto& [frame, dots] : truth) {
        std::sort(dots.begin(), dots.end(),
                  [](const TrueDot& a, const TrueDot& b) { return a.centre.x < b.centre.x; });
    }
    return truth;
}

// The figures of one finder over the run.
struct Figures {
    long visible = 0, found = 0, centres = 0, falseCentres = 0, duplicates = 0, onHidden = 0;
    double worstCoverage = 1.0;
    Errors error;
    Locking locking;
    std::vector<double> milliseconds;

    // Matches one frame's centres with its truth.
    void add(const std::vector<TrueDot>& dots, const std::vector<cv::Point2f>& given) {
        std::vector<int> taken(dots.size(), 0);
        for (const cv::Point2f c : given) {
            const auto first =
                std::lower_bound(dots.begin(), dots.end(), c.x - matchDistance,
                                 [](const TrueDot& d, double x) { return d.centre.x < x; });
            int best = -1;
            double bestDistance = matchDistance;
            for (auto d = first; d != dots.end() && d->centre.x <= c.x + matchDistance; ++d) {
                const double distance = cv::norm(d->centre - cv::Point2d(c));
                if (distance <= bestDistance) {
                    best = static_cast<int>(d - dots.begin());
                    bestDistance = distance;
                }
            }
            ++centres;
            if (best < 0) {
                ++falseCentres;
            } else if (taken[best]++ > 0) {
                ++duplicates;
            } else if (!dots[best].visible) {
                ++onHidden;
            } else {
                error.add(bestDistance);
                locking.add(c.x, dots[best].centre.x);
                locking.add(c.y, dots[best].centre.y);
            }
        }
        long visibleNow = 0, foundNow = 0;
        for (std::size_t i = 0; i < dots.size(); ++i) {
            visibleNow += dots[i].visible;
            foundNow += dots[i].visible && taken[i] > 0;
        }
        visible += visibleNow;
        found += foundNow;
        if (visibleNow > 0) {
            worstCoverage = std::min(worstCoverage, static_cast<double>(foundNow) / visibleNow);
        }
    }
};

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Whether the three channels of a colour frame are equal: the video is grey.
bool looksGrey(const cv::Mat& frame) {
    cv::Mat planes[3];
    cv::split(frame, planes);
    return cv::countNonZero(planes[0] != planes[1]) == 0 &&
           cv::countNonZero(planes[1] != planes[2]) == 0;
}

void printComparison(const Figures& ours, const Figures& blobs) {
    const auto percent = [](double part, double whole) {
        return whole > 0 ? 100 * part / whole : NAN;
    };
    const auto row = [](const char* name, double a, double b, const char* format) {
        std::printf("%-46s", name);
        std::printf(format, a);
        std::printf(format, b);
        std::printf("\n");
    };
    std::printf("%-46s%14s%14s\n", "", "dottrack", "blob detector");
    row("dots in view and uncovered, frame by frame", ours.visible, blobs.visible, "%14.0f");
    row("found within 0.5 px (%)", percent(ours.found, ours.visible),
        percent(blobs.found, blobs.visible), "%14.3f");
    row("found, worst frame (%)", 100 * ours.worstCoverage, 100 * blobs.worstCoverage, "%14.3f");
    row("centres given", ours.centres, blobs.centres, "%14.0f");
    row("false centres (% of centres)", percent(ours.falseCentres + ours.duplicates, ours.centres),
        percent(blobs.falseCentres + blobs.duplicates, blobs.centres), "%14.4f");
    row("  of which a second centre on a dot", ours.duplicates, blobs.duplicates, "%14.0f");
    row("centres on dots partly hidden or cut", ours.onHidden, blobs.onHidden, "%14.0f");
    row("centre error, mean (px)", ours.error.mean(), blobs.error.mean(), "%14.4f");
    row("centre error, p95 (px)", ours.error.quantile(0.95), blobs.error.quantile(0.95), "%14.4f");
    row("centre error, largest (px)", ours.error.max(), blobs.error.max(), "%14.4f");
    row("pull towards whole pixels (px)", ours.locking.pull(), blobs.locking.pull(), "%14.4f");
    row("fractional parts, largest / smallest bin", Locking::flatness(ours.locking.measured),
        Locking::flatness(blobs.locking.measured), "%14.3f");
    row("time per frame, median (ms)", medianOf(ours.milliseconds), medianOf(blobs.milliseconds),
        "%14.3f");
    std::printf("\nfractional parts, %d bins: dottrack     ", fractionBins);
    for (const long n : ours.locking.measured) {
        std::printf(" %ld", n);
    }
    std::printf("\n                         true centres ");
    for (const long n : ours.locking.truth) {
        std::printf(" %ld", n);
    }
    std::printf("  (largest / smallest %.3f)\n", Locking::flatness(ours.locking.truth));
}

int run(int argc, char** argv) {
    std::string videoPath, truthPath;
    int maxFrames = 0;
    int repeat = 1;
    bool blobDetector = true;
    CLI::App app{
        "Finds the dots of every frame of VIDEO and compares them with TRUTH.csv (written\n"
        "by dottrack-sample --field --truth for the same video): how many of the dots\n"
        "wholly in view and uncovered get a centre within 0.5 px, how many centres are\n"
        "false, how close they are, and how fast, beside OpenCV's blob detector (default\n"
        "parameters, on the grey frame) on the same frames. One thread.\n",
        "dottrack-field-accuracy"};
    prepareCommandLine(app,
                       "Exit status: 0 after printing the figures; 1 when a file cannot be "
                       "read;\n2 for a wrong command line.");
    app.add_option("VIDEO", videoPath, "a field video written by dottrack-sample")
        ->type_name("")
        ->required();
    app.add_option("TRUTH", truthPath, "its truth file")->type_name("")->required();
    app.add_option("--frames", maxFrames, "only the first N frames")
        ->type_name("N")
        ->transform(wholeNumberIn(1, 10000000));
    app.add_option("--repeat", repeat,
                   "time each frame N times over (default 1): the medians then\n"
                   "shrug off a busy machine better")
        ->type_name("N")
        ->transform(wholeNumberIn(1, 1000));
    app.add_flag("!--no-blob-detector", blobDetector, "leave the blob detector out");
    if (const std::optional<int> status = readCommandLine(app, argc, argv)) {
        return *status;
    }
    const std::map<long, std::vector<TrueDot>> truth = readTruth(truthPath);
    cv::setNumThreads(1);

    cv::VideoCapture capture;
    const auto logLevel = silenceOpenCvLog();
    capture.open(videoPath);
    restoreOpenCvLog(logLevel);
    if (!capture.isOpened()) {
        throw std::runtime_error("cannot open " + videoPath + " as a video");
    }
    cv::Mat decoded, frame, greyFrame;
    DotFinder finder;
    std::vector<cv::Point2f> centres, blobCentres;
    std::vector<cv::KeyPoint> blobs;
    const cv::Ptr<cv::SimpleBlobDetector> detector = cv::SimpleBlobDetector::create();
    Figures ours, theirs;
    std::int64_t allocations = 0;
    long frames = 0, refused = 0;
    bool greyVideo = false;
    for (long index = 0; capture.read(decoded) && (maxFrames == 0 || index < maxFrames); ++index) {
        if (index == 0) {
            greyVideo = looksGrey(decoded);
        }
        if (greyVideo) {
            cv::extractChannel(decoded, frame, 0);
        } else {
            frame = decoded;
        }
        const auto found = truth.find(index);
        const std::vector<TrueDot> none;
        const std::vector<TrueDot>& dots = found == truth.end() ? none : found->second;

        // Each frame `repeat` times over, the two finders in turn, so that both see the same
        // load of the machine.
        for (int pass = 0; pass < repeat; ++pass) {
            const std::int64_t allocated = allocationCount();
            const auto start = Clock::now();
            const bool accepted = findDots(frame, finder, centres);
            const double elapsed = millisecondsSince(start);
            if (index > 0 || pass > 0) {
                allocations += allocationCount() - allocated;
            }
            ours.milliseconds.push_back(elapsed);
            refused += pass == 0 && !accepted;
            if (blobDetector) {
                const auto blobStart = Clock::now();
                if (greyVideo) {
                    detector->detect(frame, blobs);
                } else {
                    cv::cvtColor(frame, greyFrame, cv::COLOR_BGR2GRAY);
                    detector->detect(greyFrame, blobs);
                }
                theirs.milliseconds.push_back(millisecondsSince(blobStart));
            }
        }
        ours.add(dots, centres);
        if (blobDetector) {
            blobCentres.clear();
            for (const cv::KeyPoint& blob : blobs) {
                blobCentres.push_back(blob.pt);
            }
            theirs.add(dots, blobCentres);
        }
        ++frames;
    }
    std::printf(
        "dottrack-field-accuracy: %s, %ld frames of %d x %d, %s; dots of radius %.2f px "
        "learnt, depth %.1f, noise %.2f grey levels; cells of %d px\n",
        videoPath.c_str(), frames, frame.cols, frame.rows, greyVideo ? "grey" : "colour",
        finder.scale.radius, finder.scale.depth, finder.scale.noise, finder.reduction);
    std::printf(
        "frames refused for too many candidates: %ld; heap allocations of the finder "
        "after the first frame: %lld\n\n",
        refused, static_cast<long long>(allocations));
    printComparison(ours, theirs);
    return 0;
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    try {
        return dottrack::run(argc, argv);
    } catch (const std::exception& error) {
        dottrack::reportError("dottrack-field-accuracy", error.what());
        return dottrack::failureStatus;
    }
}
