#include "bench/accuracy.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include <opencv2/imgproc.hpp>

#include "cli/cli.h"

namespace dottrack {

namespace {

// A centre farther than this from every true dot is wrong rather than imprecise.
constexpr double wrongCentre = 0.5;
// A target nearer than this to a true dot's centre lies on that dot.
constexpr double onDotReach = 12.0;

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

}  // namespace

double microsecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

std::map<long, FrameTruth> readTruth(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line != "frame,motion,dot,x,y") {
        throw RunError{path + " is not a truth file of dottrack-sample"};
    }
    std::map<long, FrameTruth> truth;
    while (std::getline(in, line)) {
        long frame = 0;
        std::size_t dot = 0;
        char motion[32];
        cv::Point2d centre;
        if (std::sscanf(line.c_str(), "%ld,%31[^,],%zu,%lf,%lf", &frame, motion, &dot, &centre.x,
                        &centre.y) != 5) {
            throw RunError{"malformed line in " + path + ": " + line};
        }
        truth[frame].motion = motion;
        truth[frame].dots.push_back(centre);
    }
    return truth;
}

void gradeCentres(const cv::Mat& frame, const PassRun& run, const FrameTruth& now, Grades& grades) {
    const std::vector<cv::Point2f>& targets = run.track.targets;
    const Measurement& measurement = run.measurement;
    for (std::size_t t = 0; t < targets.size(); ++t) {
        cv::Point2f unused;
        ++grades.verdicts[static_cast<int>(
            locateDotCentre(frame, targets[t], measurement.scale, unused))];
        grades.targetsOnDots += nearestDot(now.dots, cv::Point2d(targets[t])).second < onDotReach;
        const cv::Point2f c = measurement.targetCentres[t];
        if (isMeasured(c)) {
            const auto [dot, error] = nearestDot(now.dots, cv::Point2d(c));
            grades.centre.add(error, wrongCentre);
            if (error <= wrongCentre && now.motion != "rest") {
                grades.locking.add(c.x, now.dots[dot].x);
                grades.locking.add(c.y, now.dots[dot].y);
            }
        }
    }
}

void gradeMotion(const PassRun& run, long index, const std::map<long, FrameTruth>& truth,
                 TrueMotion& trueMotion, Grades& grades) {
    const Measurement& measurement = run.measurement;
    const std::vector<cv::Point2d>& nowDots = truth.at(index).dots;
    const bool firstPass = run.passes == 1;
    std::vector<int>& dotOfMarker = trueMotion.dotOfMarker;
    if (firstPass) {
        trueMotion.seedFrame = index;
        for (const cv::Point2f& seed : measurement.seedCentres) {
            dotOfMarker.push_back(isMeasured(seed) ? nearestDot(nowDots, cv::Point2d(seed)).first
                                                   : -1);
        }
    }
    const std::vector<cv::Point2d>& seedDots = truth.at(trueMotion.seedFrame).dots;
    trueMotion.seeds.assign(dotOfMarker.size(), cv::Point2f(NAN, NAN));
    trueMotion.now.assign(dotOfMarker.size(), cv::Point2f(NAN, NAN));
    cv::Point2d pivot;
    int seeded = 0;
    for (std::size_t i = 0; i < dotOfMarker.size(); ++i) {
        const int dot = dotOfMarker[i];
        if (dot < 0) {
            continue;
        }
        pivot += seedDots[dot];
        ++seeded;
        if (firstPass || isMeasured(measurement.displacements[i])) {
            trueMotion.seeds[i] = cv::Point2f(seedDots[dot]);
            trueMotion.now[i] = cv::Point2f(nowDots[dot]);
        }
        if (isMeasured(measurement.displacements[i])) {
            const cv::Point2d moved = nowDots[dot] - seedDots[dot];
            grades.displacement.add(cv::norm(cv::Point2d(measurement.displacements[i]) - moved),
                                    wrongCentre);
        }
    }
    if (firstPass) {
        trueMotion.outlierDistance = outlierDistanceFor(trueMotion.seeds);
    }
    fitSurfaceMotion(trueMotion.seeds, trueMotion.now, cv::Point2f(pivot / std::max(seeded, 1)),
                     trueMotion.outlierDistance, trueMotion.fit, trueMotion.motion);
    const SurfaceMotion& m = measurement.motion;
    if (m.fitted && trueMotion.motion.fitted) {
        grades.tx.add(std::abs(m.tx - trueMotion.motion.tx));
        grades.ty.add(std::abs(m.ty - trueMotion.motion.ty));
        grades.rotation.add(std::abs(m.rotationDeg - trueMotion.motion.rotationDeg));
        grades.scale.add(std::abs(m.scale - trueMotion.motion.scale));
    } else if (trueMotion.motion.fitted) {
        ++grades.fitsMissing;
    }
}

void gradeBlobs(const cv::Mat& frame, const FrameTruth& now, BlobDetection& detection,
                Grades& grades) {
    const auto start = std::chrono::steady_clock::now();
    cv::cvtColor(frame, detection.grey, cv::COLOR_BGR2GRAY);
    detection.detector->detect(detection.grey, detection.blobs);
    grades.blobUs.push_back(microsecondsSince(start));
    for (const cv::KeyPoint& blob : detection.blobs) {
        grades.blobCentre.add(nearestDot(now.dots, cv::Point2d(blob.pt)).second, wrongCentre);
    }
    grades.blobsFound += static_cast<long>(detection.blobs.size());
    grades.dotsInView += static_cast<long>(now.dots.size());
}

}  // namespace dottrack
