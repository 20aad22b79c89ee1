// dottrack-field-linking: the field's numbers, displacements and strain on simulated dot
// centres with known truth, scene by scene, and the cost of a frame from 100 to 30,000 dots.
// Run by hand; its figures are the ones the README quotes.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>
#include <vector>

#include <CLI/CLI.hpp>
#include <opencv2/core.hpp>

#include "bench/allocation_counter.h"
#include "bench/field_scenes.h"
#include "field/field.h"

namespace dottrack {
namespace {

// Frames left out of the timing and allocation counts: the reference frame and the first
// frames after it, which size the buffers.
constexpr int warmupFrames = 5;

// The processor time the program has used, in ms: on a machine shared with other work, the
// wall clock would count the time slices others take in the middle of a frame. OpenCV runs
// on this one thread (main), so it is this thread's time.
double cpuMilliseconds() {
    return 1e3 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(p * (values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

// What the run of a scene comes to.
struct Outcome {
    long swaps = 0;       // a number on another dot than its own, or on a dot after a false centre
    long falseLinks = 0;  // a dot's number on a false centre
    long linked = 0, shown = 0;  // centres of dots given a number, of all centres of dots
    int numbered = 0, renumbered = 0;
    long found = 0, strained = 0;
    std::vector<double> strain[3];                        // |error| of exx, eyy, exy
    std::vector<double> displacement, laterDisplacement;  // dots of the reference frame, later
    std::vector<double> frameMs, motionMs;
    long frames = 0, allocations = 0, motionAllocations = 0;
    long quietFrames = 0, quietAllocations = 0;  // frames that added no dot
};

// Holds every number to the dot it was first given to, and compares with the truth.
void score(const FieldRun& run, const SimulatedFrame& frame, const SimulatedFrame& reference,
           std::size_t referenceDots, std::vector<int>& owner, std::vector<std::set<int>>& numbers,
           Outcome& out) {
    const DotLinks& links = run.links;
    const FieldResult& result = run.result;
    owner.resize(links.dotCount(), -2);
    out.shown += std::count_if(frame.dotOfCentre.begin(), frame.dotOfCentre.end(),
                               [](int dot) { return dot >= 0; });
    for (std::size_t n = 0; n < links.dotCount(); ++n) {
        const int c = links.centreOfDot[n];
        if (c < 0) {
            continue;
        }
        const int dot = frame.dotOfCentre[c];
        owner[n] = owner[n] == -2 ? dot : owner[n];
        if (dot >= 0) {
            ++out.linked;
            numbers[dot].insert(static_cast<int>(n));
        }
        if (owner[n] != dot) {
            (dot < 0 ? out.falseLinks : out.swaps) += 1;
            continue;
        }
        if (dot < 0) {
            continue;
        }
        ++out.found;
        const cv::Point2d truth = frame.positions[dot] - reference.positions[dot];
        (n < referenceDots ? out.displacement : out.laterDisplacement)
            .push_back(cv::norm(cv::Point2d(result.displacements[n]) - truth));
        if (std::isnan(result.exx[n])) {
            continue;
        }
        ++out.strained;
        const cv::Matx22d f = frame.gradients[dot] * reference.gradients[dot].inv();
        const cv::Matx22d e = (f.t() * f - cv::Matx22d::eye()) * 0.5;
        out.strain[0].push_back(std::abs(result.exx[n] - e(0, 0)));
        out.strain[1].push_back(std::abs(result.eyy[n] - e(1, 1)));
        out.strain[2].push_back(std::abs(result.exy[n] - e(0, 1)));
    }
}

Outcome runScene(const Scene& scene, const FinderFaults& faults, unsigned seed) {
    SceneSimulator simulator(scene, faults, seed);
    FieldRun run;
    MotionFitBuffers motionFit;
    SimulatedFrame frame, reference;
    std::vector<int> owner;  // per number: its dot, -1 for a false centre
    std::vector<std::set<int>> numbers(simulator.dotCount());
    std::size_t referenceDots = 0;
    Outcome out;
    for (int index = 0; index < scene.frames; ++index) {
        simulator.simulate(index, frame);
        const std::size_t dotsBefore = run.links.dotCount();
        const std::int64_t allocationsBefore = allocationCount();
        const double start = cpuMilliseconds();
        updateField(frame.centres, run);
        const double ms = cpuMilliseconds() - start;
        const std::int64_t allocated = allocationCount() - allocationsBefore;
        if (index == 0) {
            reference = frame;
            referenceDots = run.links.dotCount();
        }
        if (index >= warmupFrames) {
            ++out.frames;
            out.frameMs.push_back(ms);
            out.allocations += allocated;
            if (run.links.dotCount() == dotsBefore) {
                ++out.quietFrames;
                out.quietAllocations += allocated;
            }
            // The motion fit alone, again on the same dots: its share of the cost.
            SurfaceMotion motion;
            const std::int64_t before = allocationCount();
            const double fitStart = cpuMilliseconds();
            fitSurfaceMotion(run.links.references, run.result.centres, run.pivot,
                             run.outlierDistance, motionFit, motion);
            out.motionMs.push_back(cpuMilliseconds() - fitStart);
            out.motionAllocations += allocationCount() - before;
        }
        score(run, frame, reference, referenceDots, owner, numbers, out);
    }
    for (const std::set<int>& given : numbers) {
        out.numbered += given.empty() ? 0 : 1;
        out.renumbered += given.size() > 1 ? 1 : 0;
    }
    return out;
}

void printScenes(const FinderFaults& faults, double slideSpeed, double jitter, unsigned seed) {
    std::printf("%-21s %5s %5s %6s %7s %7s %8s %8s %8s %8s %7s %7s %6s\n", "scene", "swaps",
                "false", "renum%", "linked%", "strain%", "exx p50", "exx p95", "eyy p95", "exy p95",
                "disp95", "later95", "ms");
    for (Scene scene : fieldScenes(slideSpeed)) {
        scene.jitter = jitter;
        const Outcome o = runScene(scene, faults, seed);
        std::printf("%-21s %5ld %5ld %6.2f %7.2f %7.1f %8.1e %8.1e %8.1e %8.1e %7.4f %7.4f %6.3f\n",
                    scene.name.c_str(), o.swaps, o.falseLinks,
                    100.0 * o.renumbered / std::max(o.numbered, 1),
                    100.0 * o.linked / std::max(o.shown, 1L),
                    100.0 * o.strained / std::max(o.found, 1L), percentile(o.strain[0], 0.5),
                    percentile(o.strain[0], 0.95), percentile(o.strain[1], 0.95),
                    percentile(o.strain[2], 0.95), percentile(o.displacement, 0.95),
                    percentile(o.laterDisplacement, 0.95), percentile(o.frameMs, 0.5));
    }
}

// The strain's noise on a still surface, against its derivation. With e = (x - X) noise of
// variance 2 sigma^2 per coordinate and w_j = M^-1 (X_j - X_i), M = sum (X_j - X_i)(X_j - X_i)^T,
// the error of F is sum_j (e_j - e_i) w_j^T: Var F_ab = 2 sigma^2 ([M^-1]_bb + (sum_j w_jb)^2),
// and exy = (F12 + F21) / 2. Prints the measured and derived RMS of each component.
void printStrainNoise(unsigned seed) {
    Scene still = costScene(450);
    still.map = [](int) { return cv::Matx23d(1, 0, 0, 0, 1, 0); };
    const FinderFaults faults{0.02, 0, 0};
    SceneSimulator simulator(still, faults, seed);
    FieldRun run;
    SimulatedFrame frame;
    double measured[3] = {0, 0, 0}, derived[3] = {0, 0, 0};
    long count = 0;
    for (int index = 0; index < 40; ++index) {
        simulator.simulate(index, frame);
        updateField(frame.centres, run);
        const DotLinks& links = run.links;
        for (std::size_t i = 0; index > 0 && i < links.dotCount(); ++i) {
            if (std::isnan(run.result.exx[i])) {
                continue;
            }
            const auto offset = [&](int j) {
                const cv::Point2f d = links.references[j] - links.references[i];
                return cv::Vec2d(d.x, d.y);
            };
            cv::Matx22d m = cv::Matx22d::zeros();
            for (const int j : links.neighbours[i]) {
                m += links.centreOfDot[j] >= 0 ? offset(j) * offset(j).t() : cv::Matx22d::zeros();
            }
            const cv::Matx22d inverse = m.inv();
            cv::Vec2d sum;
            for (const int j : links.neighbours[i]) {
                sum += links.centreOfDot[j] >= 0 ? inverse * offset(j) : cv::Vec2d();
            }
            const double varianceX = 2 * 0.02 * 0.02 * (inverse(0, 0) + sum[0] * sum[0]);
            const double varianceY = 2 * 0.02 * 0.02 * (inverse(1, 1) + sum[1] * sum[1]);
            const double errors[3] = {run.result.exx[i], run.result.eyy[i], run.result.exy[i]};
            const double variances[3] = {varianceX, varianceY, (varianceX + varianceY) / 4};
            for (int k = 0; k < 3; ++k) {
                measured[k] += errors[k] * errors[k];
                derived[k] += variances[k];
            }
            ++count;
        }
    }
    std::printf("\nstrain noise on a still surface, 0.02 px, RMS over %ld dot-frames:\n", count);
    const char* names[3] = {"exx", "eyy", "exy"};
    for (int k = 0; k < 3; ++k) {
        std::printf("  %s measured %.3e, derived %.3e\n", names[k], std::sqrt(measured[k] / count),
                    std::sqrt(derived[k] / count));
    }
}

// A long run with the finder's false centres: how many numbers they leave, how many are
// given up, and whether the cost of a frame stays put.
void printLongRun(const FinderFaults& faults, unsigned seed) {
    Scene scene = costScene(450);
    scene.frames = 3000;
    scene.map = [centre = cv::Point2d(scene.view) / 2](int f) {
        const double r = 0.05 * std::sin(f / 100.0), c = std::cos(r), s = std::sin(r);
        return cv::Matx23d(c, -s, centre.x - c * centre.x + s * centre.y + 20 * std::sin(f / 70.0),
                           s, c, centre.y - s * centre.x - c * centre.y);
    };
    SceneSimulator simulator(scene, faults, seed);
    FieldRun run;
    SimulatedFrame frame;
    std::vector<double> early, late;
    for (int index = 0; index < scene.frames; ++index) {
        simulator.simulate(index, frame);
        const double start = cpuMilliseconds();
        updateField(frame.centres, run);
        const double ms = cpuMilliseconds() - start;
        (index < 500 ? early : late).push_back(ms);
    }
    const std::vector<DotStanding>& standing = run.links.standing;
    std::printf(
        "\n%d frames of about 450 dots: %zu numbers, %ld given up, %ld seen once; ms a "
        "frame %.3f (frames 5 to 500), %.3f (500 on)\n",
        scene.frames, standing.size(),
        static_cast<long>(std::count(standing.begin(), standing.end(), DotStanding::givenUp)),
        static_cast<long>(std::count(standing.begin(), standing.end(), DotStanding::seenOnce)),
        percentile({early.begin() + warmupFrames, early.end()}, 0.5), percentile(late, 0.5));
}

void printCost(const FinderFaults& faults, unsigned seed) {
    std::printf("\n%8s %9s %7s %10s %13s %13s %16s\n", "dots", "ms/frame", "us/dot", "motion ms",
                "allocs/frame", "of the motion", "no new dot: allocs");
    for (const int dots : {100, 1000, 3000, 10000, 30000}) {
        const Outcome o = runScene(costScene(dots), faults, seed);
        const double ms = percentile(o.frameMs, 0.5);
        std::printf(
            "%8d %9.3f %7.3f %10.3f %13.2f %13.2f %10.2f (%ld)\n", dots, ms, 1000 * ms / dots,
            percentile(o.motionMs, 0.5), static_cast<double>(o.allocations) / o.frames,
            static_cast<double>(o.motionAllocations) / o.frames,
            static_cast<double>(o.quietAllocations) / std::max(o.quietFrames, 1L), o.quietFrames);
    }
}

}  // namespace
}  // namespace dottrack

int main(int argc, char** argv) {
    CLI::App app("Links simulated dot centres scene by scene and compares with the truth.");
    dottrack::FinderFaults faults;
    unsigned seed = 1;
    double jitter = 0.12, slideSpeed = 0.4;
    bool costOnly = false;
    app.add_option("--seed", seed, "random seed of the scenes");
    app.add_option("--jitter", jitter, "grid jitter, in pitches (default 0.12)");
    app.add_option("--slide", slideSpeed, "the fast slide's speed, pitches a frame (0.4)");
    app.add_option("--misses", faults.missRate, "share of dots the finder misses (0.005)");
    app.add_option("--false", faults.falseRate, "false centres, per dot in view (0.001)");
    app.add_flag("--cost-only", costOnly, "only the cost of a frame, from 100 to 30,000 dots");
    CLI11_PARSE(app, argc, argv);
    cv::setNumThreads(1);
    if (!costOnly) {
        dottrack::printScenes(faults, slideSpeed, jitter, seed);
        dottrack::printStrainNoise(seed);
        dottrack::printLongRun(faults, seed);
    }
    dottrack::printCost(faults, seed);
    return 0;
}
