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
// A found dot lies at least this many px beyond its radius inside the centres of the frame's
// outermost pixels: nearer, its blurred edge reaches them, repeats beyond the border, and
// pulls its centre out.
constexpr double borderInset = 1.0;
// Its surroundings, sampled on a circle just beyond its measuring window, fit a plane to
// within this many times the noise, or this share of the depth, whichever is larger...
constexpr int surroundSamples = 16;
constexpr double surroundNoise = 4.0;
constexpr double surroundDepthShare = 0.1;
// ... and its darkness below that plane, sampled at this share of its radius, changes across
// the dot by less than this share of the depth: a change of G pulls the centroid by about
// G R / 16 depth towards the darker side, 0.05 px for a dot of radius 6.5.
constexpr int innerSamples = 8;
constexpr double innerShare = 0.5;
constexpr double evenShare = 0.12;
// The buffers of candidates and centres keep room for half as many again as the most so far.
template <typename T>
void keepRoom(std::vector<T>& buffer) {
    if (buffer.capacity() < buffer.size() + buffer.size() / 2) {
        buffer.reserve(2 * buffer.size());
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

// Whether a found dot stands clear of anything but the surface: lying wholly in the frame,
// with the surface around it a plane, and as dark below that plane on every side. The edge
// of a covering object across the dot or near it fails the plane; seen through a soft edge or
// a shadow's, the dot is darker on one side than on the other.
bool standsClear(const cv::Mat& grey, cv::Rect frame, cv::Point2f centre, const DotScale& scale) {
    const double inset = scale.radius + borderInset;
    if (centre.x < frame.x + inset || centre.y < frame.y + inset ||
        centre.x > frame.x + frame.width - 1 - inset ||
        centre.y > frame.y + frame.height - 1 - inset) {
        return false;
    }
    const double ring = scale.aperture + 1.0;
    double values[surroundSamples];
    double mean = 0, gx = 0, gy = 0;
    for (int k = 0; k < surroundSamples; ++k) {
        const double angle = 2 * CV_PI * k / surroundSamples;
        values[k] =
            greyAt(grey, centre.x + ring * std::cos(angle), centre.y + ring * std::sin(angle));
        mean += values[k];
        gx += values[k] * std::cos(angle);
        gy += values[k] * std::sin(angle);
    }
    // Samples evenly round a circle: the plane's three terms separate.
    mean /= surroundSamples;
    gx *= 2.0 / (surroundSamples * ring);
    gy *= 2.0 / (surroundSamples * ring);
    const double tolerance =
        std::max(surroundNoise * scale.noise, surroundDepthShare * scale.depth);
    for (int k = 0; k < surroundSamples; ++k) {
        const double angle = 2 * CV_PI * k / surroundSamples;
        const double plane = mean + ring * (gx * std::cos(angle) + gy * std::sin(angle));
        if (std::abs(values[k] - plane) > tolerance) {
            return false;
        }
    }
    // The darkness's slope inside the dot, from samples evenly round a circle, times the
    // dot's diameter: how much darker the dot is on one side than on the other.
    const double inner = innerShare * scale.radius;
    double sx = 0, sy = 0;
    for (int k = 0; k < innerSamples; ++k) {
        const double angle = 2 * CV_PI * k / innerSamples;
        const double dx = inner * std::cos(angle), dy = inner * std::sin(angle);
        const double darkness =
            mean + gx * dx + gy * dy - greyAt(grey, centre.x + dx, centre.y + dy);
        sx += darkness * std::cos(angle);
        sy += darkness * std::sin(angle);
    }
    const double across = std::hypot(sx, sy) * 2.0 / (innerSamples * inner) * 2 * scale.radius;
    return across <= evenShare * scale.depth;
}

// Marks the cells within a dot's radius and a pixel of its centre (in the padded grey) as
// taken.
void claimCells(cv::Point2f centre, const DotFinder& f, cv::Mat& claimed) {
    const double reach = (f.scale.radius + 1.0) / f.reduction;
    const double cx = (centre.x + 0.5) / f.reduction - 0.5;
    const double cy = (centre.y + 0.5) / f.reduction - 0.5;
    const int x0 = std::max(0, static_cast<int>(std::floor(cx - reach)));
    const int x1 = std::min(claimed.cols - 1, static_cast<int>(std::ceil(cx + reach)));
    const int y0 = std::max(0, static_cast<int>(std::floor(cy - reach)));
    const int y1 = std::min(claimed.rows - 1, static_cast<int>(std::ceil(cy + reach)));
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= reach * reach) {
                claimed.at<unsigned char>(y, x) = 1;
            }
        }
    }
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

bool findDots(const cv::Mat& frame, DotFinder& finder, std::vector<cv::Point2f>& centres) {
    if (frame.depth() != CV_8U || (frame.channels() != 1 && frame.channels() != 3)) {
        throw std::invalid_argument("dots are found in 8-bit grey or BGR frames only");
    }
    DotFinder& f = finder;
    centres.clear();
    f.tooManyCandidates = false;
    if (frame.empty()) {
        return true;
    }
    prepareGrey(frame, f.paddedGrey);
    const cv::Rect inside(greyMargin, greyMargin, frame.cols, frame.rows);
    if (!f.scale.known()) {
        learnScale(inside, f);
        if (!f.scale.known()) {
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
        f.tooManyCandidates = true;
        return false;
    }
    // Created continuous; cleared without setTo, which allocates.
    f.claimed.create(f.coarse.size(), CV_8UC1);
    std::memset(f.claimed.data, 0, f.claimed.total());
    for (const cv::Point cell : f.candidates) {
        if (f.claimed.at<unsigned char>(cell) != 0) {
            continue;
        }
        const cv::Point2f target((cell.x + 0.5f) * s - 0.5f, (cell.y + 0.5f) * s - 0.5f);
        cv::Point2f centre;
        if (locateDotCentre(f.paddedGrey, target, f.scale, centre) != CentreVerdict::found ||
            !standsClear(f.paddedGrey, inside, centre, f.scale)) {
            continue;
        }
        claimCells(centre, f, f.claimed);
        centres.push_back(centre - cv::Point2f(greyMargin, greyMargin));
    }
    // Room for later frames with more dots than this one, so that they allocate nothing.
    keepRoom(f.candidates);
    keepRoom(centres);
    return true;
}

}  // namespace dottrack
