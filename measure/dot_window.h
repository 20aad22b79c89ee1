#pragma once
// Inside the dots' centres: the square of a frame around a dot, with the background under it
// taken out, that both learning the dots' scale and the centroid read. Internal to the
// library; measure.h is its interface.

#include <array>

#include <opencv2/core.hpp>

#include "conditioning/conditioning.h"

namespace dottrack {

// Half the side of the square in which the dots' size is first looked for, and the
// largest window: room for dots of radius up to about 16 px.
constexpr int maxHalfWindow = 20;
constexpr int maxInside = 2 * maxHalfWindow - 1;
// A dot's core must be this many times darker than the rim's noise.
constexpr double minContrastToNoise = 8.0;

// The loops over a window's pixels run several times faster in the wider vectors of newer
// processors (and gathering every third byte needs SSSE3's byte shuffles): clones for those
// sets are picked when the program loads, the plain build serving older processors. Every
// clone computes the same values, rounded the same way (no fused multiply-adds).
#if defined(__GNUC__) && defined(__x86_64__)
#define DOTTRACK_VECTOR_CLONES __attribute__((target_clones("avx2", "ssse3", "default")))
#else
#define DOTTRACK_VECTOR_CLONES
#endif

// A square of the frame around a dot: the background is a plane fitted by least squares
// to its rim (its outermost ring of pixels), and `darkness` holds how far each pixel
// inside the rim lies below that plane, in green + red levels.
struct DotWindow {
    int cx = 0, cy = 0, h = 0;
    double noise = 0;       // RMS of the rim about the plane
    double darkestRim = 0;  // how far the darkest rim pixel lies below the plane
    std::array<float, maxInside * maxInside> darkness;

    int inside() const { return 2 * h - 1; }
    int left() const { return cx - h + 1; }
    int top() const { return cy - h + 1; }
    float darknessAt(int x, int y) const { return darkness[(y - top()) * inside() + x - left()]; }
};

// Where a window reads its levels: green + red of a colour frame (the tool's intensity times
// 510, without its rounding) inside the region the tool works on, or the grey of a grey
// frame, the whole frame being the region.
struct LevelSource {
    const cv::Mat& frame;
    bool grey;
    int cols, rows;

    explicit LevelSource(const cv::Mat& image)
        : frame(image),
          grey(image.channels() == 1),
          cols(grey ? image.cols : mixCols),
          rows(grey ? image.rows : mixRows) {}
    int at(const unsigned char* row, int x) const {
        return grey ? row[x] : row[3 * x + 1] + row[3 * x + 2];
    }
};

// Loads the window of half side h centred on (cx, cy); false when it does not lie wholly
// inside the source's region. A rim that a dot reaches into (a pixel far below the plane, or
// a spread past twice `typicalNoise`) has its plane fitted again without the dot.
bool loadDotWindow(const LevelSource& source, int cx, int cy, int h, double typicalNoise,
                   DotWindow& window);

// Mean darkness of the window's pixels within `radius` of `centre`.
double coreDepth(const DotWindow& window, cv::Point2d centre, double radius);

// How many of the window's pixels are darker than `threshold`.
int countDarkerThan(const DotWindow& window, double threshold);

}  // namespace dottrack
