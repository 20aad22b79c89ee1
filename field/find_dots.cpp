#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "field/field.h"

namespace dottrack {

namespace {

// Px of repeated border pixels around the grey: the widest measuring window, and room for it
// to follow its estimate. A dot cut by the border repeats as a dark streak, which no dot's
// surroundings show.
constexpr int greyMargin = 24;

// Until the dots are known, candidates are looked for on cells of this many px, as minima
// darker than this share of the surface's level and by at least minimumDepth grey levels,
// the surface being the mean over a square this many cells from the candidate.
constexpr int learningReduction = 2;
constexpr double learningDepthShare = 0.2;
constexpr int learningSurroundCells = 15;
constexpr double minimumDepth = 8.0;
// Once they are known: cells of about half a dot's radius, candidates at least this share
// of the dots' depth darker than the mean over a square of about four radii, and than a ring
// of cells just beyond the dot.
constexpr double candidateDepthShare = 0.35;
// A found dot's surroundings, sampled on a circle just beyond its measuring window, fit a
// plane to within this many times the noise, or this share of the depth, whichever is
// larger...
constexpr int surroundSamples = 16;
constexpr double surroundNoise = 4.0;
constexpr double surroundDepthShare = 0.1;
// ... and its darkness below that plane, sampled in the same directions at this share of its
// radius, changes across the dot little enough: a change of G pulls the centroid by about
// G R / 16 depth towards the darker side, which must stay below this many px. Compression
// alone, when heavy, makes G up to 0.3 depth on a dot of radius 3, 0.2 on one of 6.5.
constexpr double innerShare = 0.5;
constexpr double maxSidePull = 0.1;
// Last, its outline is round (or elliptic) to within a third harmonic of this share of the
// depth in the darkness on its edge: an object that cuts away a pixel of its edge makes it
// 0.13 to 0.19 and pulls its centre 0.2 to 0.6 px, while compression alone leaves it below
// 0.05.
constexpr double maxThirdHarmonic = 0.08;
// The buffers of candidates and centres keep room for twice as many as they hold, and grow to
// three times when they do not: a later frame allocates only with half as many again as any
// frame before.
template <typename T>
void keepRoom(std::vector<T>& buffer) {
    if (buffer.capacity() < 2 * buffer.size()) {
        buffer.reserve(3 * buffer.size());
    }
}

// The frame's grey, widened by greyMargin px of its outermost pixels, repeated.
void prepareGrey(const cv::Mat& frame, cv::Mat& padded) {
    padded.create(frame.rows + 2 * greyMargin, frame.cols + 2 * greyMargin, CV_8UC1);
    cv::Mat inside = padded(cv::Rect(greyMargin, greyMargin, frame.cols, frame.rows));
    if (frame.channels() == 3) {
        cv::cvtColor(frame, inside, cv::COLOR_BGR2GRAY);
    } else {
        frame.copyTo(inside);
    }
    for (int y = greyMargin; y < greyMargin + frame.rows; ++y) {
        unsigned char* row = padded.ptr<unsigned char>(y);
        std::memset(row, row[greyMargin], greyMargin);
        std::memset(row + greyMargin + frame.cols, row[greyMargin + frame.cols - 1], greyMargin);
    }
    for (int y = 0; y < greyMargin; ++y) {
        padded.row(greyMargin).copyTo(padded.row(y));
        padded.row(greyMargin + frame.rows - 1).copyTo(padded.row(padded.rows - 1 - y));
    }
}

// The grey at a point between pixels, interpolated.
double greyAt(const cv::Mat& grey, double x, double y) {
    const int ix = static_cast<int>(std::floor(x)), iy = static_cast<int>(std::floor(y));
    const double fx = x - ix, fy = y - iy;
    const unsigned char* row = grey.ptr<unsigned char>(iy);
    const unsigned char* next = grey.ptr<unsigned char>(iy + 1);
    return (1 - fy) * ((1 - fx) * row[ix] + fx * row[ix + 1]) +
           fy * ((1 - fx) * next[ix] + fx * next[ix + 1]);
}

// The directions of the samples round a dot, evenly spread.
struct Directions {
    double cosine[surroundSamples], sine[surroundSamples];
};

const Directions& directions() {
    static const Directions table = [] {
        Directions d;
        for (int k = 0; k < surroundSamples; ++k) {
            d.cosine[k] = std::cos(2 * CV_PI * k / surroundSamples);
            d.sine[k] = std::sin(2 * CV_PI * k / surroundSamples);
        }
        return d;
    }();
    return table;
}

// Whether a found dot stands clear of anything but the surface: with the surface around it a
// plane, and as dark below that plane on every side. The edge of a covering object across the
// dot or near it fails the plane, and so does the streak that a dot cut by the frame's border
// leaves in the repeated border; seen through a soft edge or a shadow's, the dot is darker on
// one side than on the other.
bool standsClear(const cv::Mat& grey, cv::Point2f centre, const DotScale& scale) {
    const Directions& d = directions();
    const double ring = scale.aperture + 1.0;
    double values[surroundSamples];
    double mean = 0, gx = 0, gy = 0;
    for (int k = 0; k < surroundSamples; ++k) {
        values[k] = greyAt(grey, centre.x + ring * d.cosine[k], centre.y + ring * d.sine[k]);
        mean += values[k];
        gx += values[k] * d.cosine[k];
        gy += values[k] * d.sine[k];
    }
    // Samples evenly round a circle: the plane's three terms separate.
    mean /= surroundSamples;
    gx *= 2.0 / (surroundSamples * ring);
    gy *= 2.0 / (surroundSamples * ring);
    const double tolerance =
        std::max(surroundNoise * scale.noise, surroundDepthShare * scale.depth);
    for (int k = 0; k < surroundSamples; ++k) {
        const double plane = mean + ring * (gx * d.cosine[k] + gy * d.sine[k]);
        if (std::abs(values[k] - plane) > tolerance) {
            return false;
        }
    }
    // Halfway to its edge, round it: the darkness's slope times the dot's diameter, how much
    // darker the dot is on one side than on the other.
    const double inner = innerShare * scale.radius;
    double sx = 0, sy = 0;
    for (int k = 0; k < surroundSamples; ++k) {
        const double dx = inner * d.cosine[k], dy = inner * d.sine[k];
        const double darkness =
            mean + gx * dx + gy * dy - greyAt(grey, centre.x + dx, centre.y + dy);
        sx += darkness * d.cosine[k];
        sy += darkness * d.sine[k];
    }
    const double across = std::hypot(sx, sy) * 2.0 / (surroundSamples * inner) * 2 * scale.radius;
    if (across * scale.radius / 16 > maxSidePull * scale.depth) {
        return false;
    }
    // On its edge, round it: the darkness's third harmonic, which neither a shift of the
    // centre nor an ellipse has, but an outline with a part cut away does.
    double s3x = 0, s3y = 0;
    for (int k = 0; k < surroundSamples; ++k) {
        const double dx = scale.radius * d.cosine[k], dy = scale.radius * d.sine[k];
        const double darkness =
            mean + gx * dx + gy * dy - greyAt(grey, centre.x + dx, centre.y + dy);
        s3x += darkness * d.cosine[3 * k % surroundSamples];
        s3y += darkness * d.sine[3 * k % surroundSamples];
    }
    return std::hypot(s3x, s3y) * 2.0 / surroundSamples <= maxThirdHarmonic * scale.depth;
}

// Looks for the dots' scale among the candidates of a frame whose dots are not known yet.
void learnScale(cv::Rect frame, DotFinder& f) {
    CandidateRule rule;
    rule.reduction = learningReduction;
    rule.depth = minimumDepth;
    rule.depthShare = learningDepthShare;
    rule.surroundCells = learningSurroundCells;
    findDotCandidates(f.paddedGrey, frame, rule, f);
    for (cv::Point& c : f.candidates) {
        c = c * learningReduction + cv::Point(learningReduction / 2, learningReduction / 2);
    }
    f.scale = learnDotScale(f.paddedGrey, f.candidates, f.learnt);
    if (f.scale.known()) {
        f.reduction = std::max(1, static_cast<int>(std::lround(f.scale.radius / 2)));
    }
}

}  // namespace

bool findFrameCandidates(const cv::Mat& frame, DotFinder& finder) {
    if (frame.depth() != CV_8U || (frame.channels() != 1 && frame.channels() != 3)) {
        throw std::invalid_argument("dots are found in 8-bit grey or BGR frames only");
    }
    DotFinder& f = finder;
    f.candidates.clear();
    f.tooManyCandidates = false;
    if (frame.empty()) {
        return true;
    }
    prepareGrey(frame, f.paddedGrey);
    const cv::Rect inside(greyMargin, greyMargin, frame.cols, frame.rows);
    if (!f.scale.known()) {
        learnScale(inside, f);
        if (!f.scale.known()) {
            f.candidates.clear();  // those it learnt from are no cells of the coarse image
            return true;
        }
    }
    const int s = f.reduction;
    CandidateRule rule;
    rule.reduction = s;
    rule.depth = std::max(minimumDepth, candidateDepthShare * f.scale.depth);
    rule.surroundCells = static_cast<int>(std::ceil(2 * f.scale.radius / s)) + 1;
    rule.ringCells = static_cast<int>(std::ceil((f.scale.radius + 1) / s + 0.5));
    if (!findDotCandidates(f.paddedGrey, inside, rule, f)) {
        f.candidates.clear();
        f.tooManyCandidates = true;
        return false;
    }
    return true;
}

void locateCandidateCentres(DotFinder& finder, std::vector<cv::Point2f>& centres) {
    DotFinder& f = finder;
    centres.clear();
    // Each candidate is the one lowest cell of its dot's bowl in the smoothed cells: a dot
    // gives no second one.
    const int s = f.reduction;
    for (const cv::Point cell : f.candidates) {
        const cv::Point2f target((cell.x + 0.5f) * s - 0.5f, (cell.y + 0.5f) * s - 0.5f);
        cv::Point2f centre;
        if (locateDotCentre(f.paddedGrey, target, f.scale, centre) != CentreVerdict::found ||
            !standsClear(f.paddedGrey, centre, f.scale)) {
            continue;
        }
        centres.push_back(centre - cv::Point2f(greyMargin, greyMargin));
    }
    // Room for later frames with more dots than this one, so that they allocate nothing.
    keepRoom(f.candidates);
    keepRoom(centres);
}

bool findDots(const cv::Mat& frame, DotFinder& finder, std::vector<cv::Point2f>& centres) {
    centres.clear();
    if (!findFrameCandidates(frame, finder)) {
        return false;
    }
    locateCandidateCentres(finder, centres);
    return true;
}

}  // namespace dottrack
