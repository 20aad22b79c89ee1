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
// Once they are known: cells of about half a dot's radius (at most 4 px), candidates at
// least this share of the dots' depth darker than the mean over a square of about four
// radii, and darker by half as much than every cell of a ring just beyond the dot, which
// the edge of a large dark object is not.
constexpr int maxReduction = 4;
constexpr double candidateDepthShare = 0.35;
constexpr double ringDepthShare = 0.5;
// A found dot's surroundings, sampled on a circle just beyond its measuring window, fit a
// plane to within this many times the noise, or this share of the depth, whichever is
// larger: a covering object's edge across them does not.
constexpr int surroundSamples = 16;
constexpr double surroundNoise = 6.0;
constexpr double surroundDepthShare = 0.15;
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

// Means of `grey` over cells of s x s px (its last partial cells left out), rounded.
void reduceToCells(const cv::Mat& grey, int s, cv::Mat& coarse, std::vector<std::uint16_t>& sums) {
    const int cols = grey.cols / s, rows = grey.rows / s, width = cols * s;
    coarse.create(rows, cols, CV_8UC1);
    sums.resize(static_cast<std::size_t>(width));
    const std::uint32_t scale = (65536u + s * s / 2) / (s * s);
    for (int cy = 0; cy < rows; ++cy) {
        std::uint16_t* sum = sums.data();
        const unsigned char* first = grey.ptr<unsigned char>(cy * s);
        for (int x = 0; x < width; ++x) {
            sum[x] = first[x];
        }
        for (int j = 1; j < s; ++j) {
            const unsigned char* row = grey.ptr<unsigned char>(cy * s + j);
            for (int x = 0; x < width; ++x) {
                sum[x] = static_cast<std::uint16_t>(sum[x] + row[x]);
            }
        }
        unsigned char* out = coarse.ptr<unsigned char>(cy);
        for (int cx = 0; cx < cols; ++cx) {
            std::uint32_t cell = 0;
            for (int i = 0; i < s; ++i) {
                cell += sum[cx * s + i];
            }
            out[cx] = static_cast<unsigned char>((cell * scale + 32768u) >> 16);
        }
    }
}

// Sums of `coarse` over the 3 x 3 cells around each cell; the outermost cells, which no
// candidate is compared with, are left as they are.
void smoothCells(const cv::Mat& coarse, cv::Mat& smoothed, std::vector<std::uint16_t>& sums) {
    smoothed.create(coarse.size(), CV_16UC1);
    sums.resize(static_cast<std::size_t>(coarse.cols));
    for (int y = 1; y + 1 < coarse.rows; ++y) {
        const unsigned char* a = coarse.ptr<unsigned char>(y - 1);
        const unsigned char* b = coarse.ptr<unsigned char>(y);
        const unsigned char* c = coarse.ptr<unsigned char>(y + 1);
        std::uint16_t* column = sums.data();
        for (int x = 0; x < coarse.cols; ++x) {
            column[x] = static_cast<std::uint16_t>(a[x] + b[x] + c[x]);
        }
        std::uint16_t* out = smoothed.ptr<std::uint16_t>(y);
        for (int x = 1; x + 1 < coarse.cols; ++x) {
            out[x] = static_cast<std::uint16_t>(column[x - 1] + column[x] + column[x + 1]);
        }
    }
}

// What makes a cell a candidate dot.
struct CandidateRule {
    double depth = 0;       // grey levels below the surface's mean, at least...
    double depthShare = 0;  // ... and this share of the surface's mean
    int surroundCells = 0;  // the square of the surface's mean reaches this far
    int ringCells = 0;      // the ring that must be clear of darkness; 0: none
};

// The local minima of the smoothed cells that the rule takes, in raster order; false when
// there are more than maxDotCandidates.
bool collectCandidates(const CandidateRule& rule, DotFinder& f) {
    const cv::Mat& s = f.smoothed;
    const int cols = s.cols, rows = s.rows;
    f.candidates.clear();
    f.minima.resize(static_cast<std::size_t>(cols));
    cv::integral(f.coarse, f.coarseSums, CV_32S);
    cv::Point ring[8];
    const int diagonal = static_cast<int>(std::lround(rule.ringCells / std::sqrt(2.0)));
    for (int k = 0; k < 8; ++k) {
        const int steps[8][2] = {{1, 0}, {-1, 0}, {0, 1},  {0, -1},
                                 {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
        const int reach = k < 4 ? rule.ringCells : diagonal;
        ring[k] = cv::Point(steps[k][0] * reach, steps[k][1] * reach);
    }
    for (int y = 2; y + 2 < rows; ++y) {
        const std::uint16_t* a = s.ptr<std::uint16_t>(y - 1);
        const std::uint16_t* b = s.ptr<std::uint16_t>(y);
        const std::uint16_t* c = s.ptr<std::uint16_t>(y + 1);
        std::uint8_t* minimum = f.minima.data();
        // Strictly below the neighbours before it, not above those after: one cell of a
        // plateau. Written to vectorise.
        for (int x = 2; x + 2 < cols; ++x) {
            const std::uint16_t v = b[x];
            minimum[x] = static_cast<std::uint8_t>((v < a[x - 1]) & (v < a[x]) & (v < a[x + 1]) &
                                                   (v < b[x - 1]) & (v <= b[x + 1]) &
                                                   (v <= c[x - 1]) & (v <= c[x]) & (v <= c[x + 1]));
        }
        for (int x = 2; x + 2 < cols; ++x) {
            if (minimum[x] == 0) {
                continue;
            }
            const int left = std::max(0, x - rule.surroundCells);
            const int right = std::min(cols, x + rule.surroundCells + 1);
            const int top = std::max(0, y - rule.surroundCells);
            const int bottom = std::min(rows, y + rule.surroundCells + 1);
            const cv::Mat& sums = f.coarseSums;
            const double surface =
                static_cast<double>(sums.at<int>(bottom, right) - sums.at<int>(top, right) -
                                    sums.at<int>(bottom, left) + sums.at<int>(top, left)) /
                ((right - left) * (bottom - top));
            const double level = b[x] / 9.0;
            const double needed = std::max(rule.depth, rule.depthShare * surface);
            if (surface - level < needed) {
                continue;
            }
            bool clear = true;
            for (int k = 0; k < 8 && clear && rule.ringCells > 0; ++k) {
                const int rx = std::clamp(x + ring[k].x, 0, cols - 1);
                const int ry = std::clamp(y + ring[k].y, 0, rows - 1);
                clear = f.coarse.at<unsigned char>(ry, rx) >= level + ringDepthShare * needed;
            }
            if (!clear) {
                continue;
            }
            if (f.candidates.size() == static_cast<std::size_t>(maxDotCandidates)) {
                return false;
            }
            f.candidates.emplace_back(x, y);
        }
    }
    return true;
}

// Whether the surface around a found dot is free of anything but the dot: its samples on a
// circle just beyond the measuring window fit a plane closely.
bool surroundingsClear(const cv::Mat& grey, cv::Point2f centre, const DotScale& scale) {
    const double radius = scale.aperture + 1.0;
    double values[surroundSamples];
    double mean = 0, gx = 0, gy = 0;
    for (int k = 0; k < surroundSamples; ++k) {
        const double angle = 2 * CV_PI * k / surroundSamples;
        const double x = centre.x + radius * std::cos(angle);
        const double y = centre.y + radius * std::sin(angle);
        const int ix = static_cast<int>(std::floor(x)), iy = static_cast<int>(std::floor(y));
        const double fx = x - ix, fy = y - iy;
        const unsigned char* row = grey.ptr<unsigned char>(iy);
        const unsigned char* next = grey.ptr<unsigned char>(iy + 1);
        values[k] = (1 - fy) * ((1 - fx) * row[ix] + fx * row[ix + 1]) +
                    fy * ((1 - fx) * next[ix] + fx * next[ix + 1]);
        mean += values[k];
        gx += values[k] * std::cos(angle);
        gy += values[k] * std::sin(angle);
    }
    // Samples evenly round a circle: the plane's three terms separate.
    mean /= surroundSamples;
    gx *= 2.0 / surroundSamples;
    gy *= 2.0 / surroundSamples;
    const double tolerance =
        std::max(surroundNoise * scale.noise, surroundDepthShare * scale.depth);
    for (int k = 0; k < surroundSamples; ++k) {
        const double angle = 2 * CV_PI * k / surroundSamples;
        if (std::abs(values[k] - mean - gx * std::cos(angle) - gy * std::sin(angle)) > tolerance) {
            return false;
        }
    }
    return true;
}

// Marks the cells within a dot's radius and a pixel of its centre as taken.
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
void learnScale(const cv::Mat& inside, DotFinder& f) {
    reduceToCells(inside, learningReduction, f.coarse, f.rowSums);
    smoothCells(f.coarse, f.smoothed, f.rowSums);
    CandidateRule rule;
    rule.depth = minimumDepth;
    rule.depthShare = learningDepthShare;
    rule.surroundCells = learningSurroundCells;
    collectCandidates(rule, f);
    for (cv::Point& c : f.candidates) {
        c = c * learningReduction + cv::Point(greyMargin, greyMargin);
    }
    f.scale = learnDotScale(f.paddedGrey, f.candidates, f.learnt);
    if (f.scale.known()) {
        f.reduction = std::clamp(static_cast<int>(f.scale.radius / 2), 1, maxReduction);
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
    const cv::Mat inside = f.paddedGrey(cv::Rect(greyMargin, greyMargin, frame.cols, frame.rows));
    if (!f.scale.known()) {
        learnScale(inside, f);
        if (!f.scale.known()) {
            return true;
        }
    }
    const int s = f.reduction;
    reduceToCells(inside, s, f.coarse, f.rowSums);
    smoothCells(f.coarse, f.smoothed, f.rowSums);
    CandidateRule rule;
    rule.depth = std::max(minimumDepth, candidateDepthShare * f.scale.depth);
    rule.surroundCells = static_cast<int>(std::ceil(2 * f.scale.radius / s)) + 1;
    rule.ringCells = static_cast<int>(std::ceil((f.scale.radius + 1) / s)) + 1;
    if (!collectCandidates(rule, f)) {
        f.tooManyCandidates = true;
        return false;
    }
    // Created continuous; cleared without setTo, which allocates.
    f.claimed.create(f.coarse.size(), CV_8UC1);
    std::memset(f.claimed.data, 0, f.claimed.total());
    const cv::Point2f toPadded(greyMargin, greyMargin);
    for (const cv::Point cell : f.candidates) {
        if (f.claimed.at<unsigned char>(cell) != 0) {
            continue;
        }
        const cv::Point2f target((cell.x + 0.5f) * s - 0.5f + greyMargin,
                                 (cell.y + 0.5f) * s - 0.5f + greyMargin);
        cv::Point2f centre;
        if (locateDotCentre(f.paddedGrey, target, f.scale, centre) != CentreVerdict::found ||
            !surroundingsClear(f.paddedGrey, centre, f.scale)) {
            continue;
        }
        centre -= toPadded;
        centres.push_back(centre);
        claimCells(centre, f, f.claimed);
    }
    // Room for later frames with more dots than this one, so that they allocate nothing.
    keepRoom(f.candidates);
    keepRoom(centres);
    return true;
}

}  // namespace dottrack
