#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "conditioning/conditioning.h"
#include "measure/measure.h"

namespace dottrack {

namespace {

// Margin between a dot's half-depth radius and the soft edge of the window: the dot's
// blurred rim lies inside it, while the background beyond weighs in as little as it can.
constexpr double apertureMargin = 2.0;
// Rows and columns between the soft edge and the rim that gives the background.
constexpr int rimGap = 1;
// Half the side of the square in which the dots' size is first looked for, and the
// largest window: room for dots of radius up to about 16 px.
constexpr int maxHalfWindow = 20;
constexpr int maxInside = 2 * maxHalfWindow - 1;
// The centroid has settled when the window moves less than this (px).
constexpr double settledShift = 2e-3;
constexpr int maxIterations = 12;
// A rim pixel this many times the rim's RMS spread below the background, or a spread this
// many times the dots' typical one, is no noise but a dot reaching into the rim.
constexpr double outlyingRim = 5.0;
constexpr double noisierRim = 2.0;
// Rim pixels within this many standard deviations of the rim's median level are kept when
// the plane is fitted again without the dot, the deviation taken from the median spread.
constexpr double keptSpread = 3.0;
constexpr double medianToDeviation = 1.4826;
// How far the estimate may lie from the window's centre pixel before the window follows it.
constexpr double windowSlack = 0.75;
// Darkness within this many times the rim's noise of the background counts as none, and
// within as much of the dot's depth as all: the noise and texture around a dot do not
// pull its centroid, nor the shading inside it.
constexpr double noiseFloor = 3.0;
// A dot's core must be this many times darker than the rim's noise...
constexpr double minContrastToNoise = 8.0;
// ... and at least this fraction of the dots' typical depth.
constexpr double minDepthFraction = 0.25;
// The area of a dot's half-depth region against the dots' disc, and the ratio of its
// principal second moments: a round, whole dot has 1 for both.
constexpr double minAreaRatio = 0.5;
constexpr double maxAreaRatio = 1.8;
constexpr double maxElongation = 1.6;

// A square of the frame around a dot: the background is a plane fitted by least squares
// to its rim (its outermost ring of pixels), and `darkness` holds how far each pixel
// inside the rim lies below that plane, in green + red levels.
struct Window {
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

// The loops over a window's pixels run several times faster in the wider vectors of newer
// processors (and gathering every third byte needs SSSE3's byte shuffles): clones for those
// sets are picked when the program loads, the plain build serving older processors. Every
// clone computes the same values, rounded the same way (no fused multiply-adds).
#if defined(__GNUC__) && defined(__x86_64__)
#define DOTTRACK_VECTOR_CLONES __attribute__((target_clones("avx2", "ssse3", "default")))
#else
#define DOTTRACK_VECTOR_CLONES
#endif

// Green + red of `count` pixels from `pixels` on, as floats.
DOTTRACK_VECTOR_CLONES void gatherLevels(const unsigned char* __restrict pixels, int count,
                                         float* __restrict levels) {
    for (int i = 0; i < count; ++i) {
        levels[i] = static_cast<float>(pixels[3 * i + 1] + pixels[3 * i + 2]);
    }
}

// The grey of `count` pixels from `pixels` on, as floats.
DOTTRACK_VECTOR_CLONES void gatherGreyLevels(const unsigned char* __restrict pixels, int count,
                                             float* __restrict levels) {
    for (int i = 0; i < count; ++i) {
        levels[i] = static_cast<float>(pixels[i]);
    }
}

// Calls visit(level, dx, dy) for every pixel of the rim of the window, with its offset
// from the centre.
template <typename Visit>
void forEachRimPixel(const LevelSource& source, int cx, int cy, int h, Visit visit) {
    for (const int dy : {-h, h}) {
        const unsigned char* row = source.frame.ptr<unsigned char>(cy + dy);
        for (int dx = -h; dx <= h; ++dx) {
            visit(source.at(row, cx + dx), dx, dy);
        }
    }
    for (int dy = -h + 1; dy <= h - 1; ++dy) {
        const unsigned char* row = source.frame.ptr<unsigned char>(cy + dy);
        visit(source.at(row, cx - h), -h, dy);
        visit(source.at(row, cx + h), h, dy);
    }
}

// Fits the background plane again, by least squares over the rim pixels that lie within a
// few times the rim's median spread of its median level, and takes the noise from those
// alone: robust while the dot covers less than half of the rim.
void fitBackgroundWithoutOutliers(const LevelSource& source, double& mean, double& gx, double& gy,
                                  Window& window) {
    const int cx = window.cx, cy = window.cy, h = window.h;
    std::array<float, 8 * maxHalfWindow> values;
    const auto end = values.begin() + 8 * h;
    const auto middle = values.begin() + 4 * h;
    std::size_t taken = 0;
    forEachRimPixel(source, cx, cy, h,
                    [&](int level, int, int) { values[taken++] = static_cast<float>(level); });
    std::nth_element(values.begin(), middle, end);
    const double median = *middle;
    for (auto value = values.begin(); value != end; ++value) {
        *value = static_cast<float>(std::abs(*value - median));
    }
    std::nth_element(values.begin(), middle, end);
    const double limit =
        keptSpread * medianToDeviation * std::max(1.0, static_cast<double>(*middle));
    cv::Matx33d normal = cv::Matx33d::zeros();
    cv::Vec3d moment;
    forEachRimPixel(source, cx, cy, h, [&](int level, int dx, int dy) {
        if (std::abs(level - median) <= limit) {
            const cv::Vec3d term(1.0, dx, dy);
            normal += term * term.t();
            moment += level * term;
        }
    });
    cv::Vec3d plane;
    if (!cv::solve(normal, moment, plane)) {
        return;
    }
    double squares = 0;
    int kept = 0;
    forEachRimPixel(source, cx, cy, h, [&](int level, int dx, int dy) {
        if (std::abs(level - median) <= limit) {
            const double residual = plane[0] + plane[1] * dx + plane[2] * dy - level;
            squares += residual * residual;
            ++kept;
        }
    });
    mean = plane[0];
    gx = plane[1];
    gy = plane[2];
    window.noise = std::sqrt(squares / std::max(1, kept - 3));
}

// Loads the window of half side h centred on (cx, cy); false when it does not lie wholly
// inside the source's region.
bool loadWindow(const LevelSource& source, int cx, int cy, int h, double typicalNoise,
                Window& window) {
    if (h < 2 || h > maxHalfWindow || cx - h < 0 || cy - h < 0 || cx + h >= source.cols ||
        cy + h >= source.rows) {
        return false;
    }
    window.cx = cx;
    window.cy = cy;
    window.h = h;
    // The rim is symmetric about its centre, so the plane's three terms separate, and its
    // sums are exact in integers.
    const int count = 8 * h;
    const double spread = 2.0 * h * (h + 1) * (2 * h + 1) / 3.0 + 2.0 * (2 * h - 1) * h * h;
    long sum = 0, sumX = 0, sumY = 0, squares = 0;
    forEachRimPixel(source, cx, cy, h, [&](int level, int dx, int dy) {
        sum += level;
        squares += static_cast<long>(level) * level;
        sumX += static_cast<long>(level) * dx;
        sumY += static_cast<long>(level) * dy;
    });
    double mean = static_cast<double>(sum) / count;
    double gx = sumX / spread, gy = sumY / spread;
    // What the plane leaves of the rim's spread about its mean.
    const double residual = static_cast<double>(squares) - mean * static_cast<double>(sum) -
                            gx * static_cast<double>(sumX) - gy * static_cast<double>(sumY);
    window.noise = std::sqrt(std::max(0.0, residual) / (count - 3));
    double darkest = -std::numeric_limits<double>::infinity();
    forEachRimPixel(source, cx, cy, h, [&](int level, int dx, int dy) {
        darkest = std::max(darkest, mean + gx * dx + gy * dy - level);
    });
    window.darkestRim = darkest;
    if (darkest > outlyingRim * window.noise || window.noise > noisierRim * typicalNoise) {
        // A dot reaches into the rim (the window is not yet on its dot): its pixels would
        // tilt the plane and make the rim look noisy enough to drown every weight. The plane
        // is fitted again to the rim without them.
        fitBackgroundWithoutOutliers(source, mean, gx, gy, window);
    }
    const int side = window.inside();
    std::array<float, maxInside> rowPlane;
    for (int i = 0; i < side; ++i) {
        rowPlane[i] = static_cast<float>(gx * (i + 1 - h));
    }
    std::array<float, maxInside> levels;
    for (int j = 0; j < side; ++j) {
        const unsigned char* row = source.frame.ptr<unsigned char>(window.top() + j);
        if (source.grey) {
            gatherGreyLevels(row + window.left(), side, levels.data());
        } else {
            gatherLevels(row + 3 * window.left(), side, levels.data());
        }
        const float start = static_cast<float>(mean + gy * (window.top() + j - cy));
        float* darkness = &window.darkness[j * side];
        for (int i = 0; i < side; ++i) {
            darkness[i] = (start + rowPlane[i]) - levels[i];
        }
    }
    return true;
}

// The centroid and second moments of the dot's cover inside the soft circle of radius
// `aperture` around `centre`, relative to `centre`. A pixel's cover is the part of it the
// dot covers, read from its darkness: none within the noise floor of the background, all
// within the noise floor of the dot's `depth`, in proportion in between; so the dot's
// shading and the background's texture do not weigh in, only its outline. A pixel counts
// by the part of it the circle covers, ramping over one pixel. The weight is 0 when
// nothing is dark.
struct Moments {
    double weight = 0, x = 0, y = 0;  // the centroid's offset from `centre`
    double xx = 0, xy = 0, yy = 0;    // central second moments
};

DOTTRACK_VECTOR_CLONES Moments momentsAround(const Window& window, cv::Point2d centre,
                                             double aperture, double depth) {
    const int side = window.inside();
    const float edge = static_cast<float>(aperture + 0.5);
    const double floor = noiseFloor * window.noise;
    const float offset = static_cast<float>(floor);
    const float scale = static_cast<float>(1.0 / std::max(1.0, depth - 2.0 * floor));
    std::array<float, maxInside> dx;
    // Sums down each column of w, w dy and w dy^2: every row adds to them element by
    // element, which vectorises, and no sum runs along a row.
    std::array<float, maxInside> columnW{}, columnWy{}, columnWyy{};
    // Only the rows and columns that the circle reaches.
    const auto firstInside = [&](double middle, int start) {
        return std::clamp(static_cast<int>(std::floor(middle - edge)) + 1 - start, 0, side);
    };
    const auto endInside = [&](double middle, int start) {
        return std::clamp(static_cast<int>(std::ceil(middle + edge)) - start, 0, side);
    };
    const int firstColumn = firstInside(centre.x, window.left());
    const int endColumn = endInside(centre.x, window.left());
    const int firstRow = firstInside(centre.y, window.top());
    const int endRow = endInside(centre.y, window.top());
    for (int i = firstColumn; i < endColumn; ++i) {
        dx[i] = static_cast<float>(window.left() + i - centre.x);
    }
    for (int j = firstRow; j < endRow; ++j) {
        const float dy = static_cast<float>(window.top() + j - centre.y);
        const float dy2 = dy * dy;
        const float* darkness = &window.darkness[j * side];
        for (int i = firstColumn; i < endColumn; ++i) {
            const float ramp = edge - std::sqrt(dx[i] * dx[i] + dy2);
            const float part = (darkness[i] - offset) * scale;
            // Each clamped to 0..1, written the way the compiler turns into min and max.
            const float cover = std::min(std::max(ramp, 0.0f), 1.0f);
            const float dark = std::min(std::max(part, 0.0f), 1.0f);
            const float w = cover * dark;
            columnW[i] += w;
            columnWy[i] += w * dy;
            columnWyy[i] += w * dy2;
        }
    }
    double w = 0, wx = 0, wy = 0, wxx = 0, wxy = 0, wyy = 0;
    for (int i = firstColumn; i < endColumn; ++i) {
        const double x = dx[i];
        w += columnW[i];
        wx += columnW[i] * x;
        wxx += columnW[i] * x * x;
        wy += columnWy[i];
        wxy += columnWy[i] * x;
        wyy += columnWyy[i];
    }
    Moments moments;
    if (w > 0) {
        moments.weight = w;
        moments.x = wx / w;
        moments.y = wy / w;
        moments.xx = wxx / w - moments.x * moments.x;
        moments.xy = wxy / w - moments.x * moments.y;
        moments.yy = wyy / w - moments.y * moments.y;
    }
    return moments;
}

// Ratio of the larger to the smaller principal second moment.
double elongationOf(const Moments& m) {
    const double half = 0.5 * (m.xx + m.yy);
    const double spread = std::sqrt(0.25 * (m.xx - m.yy) * (m.xx - m.yy) + m.xy * m.xy);
    return half - spread > 0 ? (half + spread) / (half - spread)
                             : std::numeric_limits<double>::infinity();
}

// Mean darkness of the window's pixels within `radius` of `centre`.
double coreDepth(const Window& window, cv::Point2d centre, double radius) {
    const double limit = radius * radius;
    const int reach = static_cast<int>(std::ceil(radius));
    const int cx = static_cast<int>(std::lround(centre.x));
    const int cy = static_cast<int>(std::lround(centre.y));
    double sum = 0;
    int count = 0;
    for (int y = std::max(cy - reach, window.top());
         y <= std::min(cy + reach, window.top() + window.inside() - 1); ++y) {
        for (int x = std::max(cx - reach, window.left());
             x <= std::min(cx + reach, window.left() + window.inside() - 1); ++x) {
            const double dx = x - centre.x, dy = y - centre.y;
            if (dx * dx + dy * dy <= limit) {
                sum += window.darknessAt(x, y);
                ++count;
            }
        }
    }
    return count > 0 ? sum / count : 0.0;
}

// How many of the window's pixels are darker than `threshold`.
int countDarkerThan(const Window& window, double threshold) {
    const int size = window.inside() * window.inside();
    const float limit = static_cast<float>(threshold);
    int count = 0;
    for (int i = 0; i < size; ++i) {
        count += window.darkness[i] > limit ? 1 : 0;
    }
    return count;
}

double medianOf(std::vector<double>& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace

DotScale estimateDotScale(const cv::Mat& frame, const std::vector<cv::Point2f>& targets) {
    std::vector<double> radii, depths, noises;
    const LevelSource source(frame);
    Window window;
    for (const cv::Point2f& target : targets) {
        if (!loadWindow(source, static_cast<int>(std::lround(target.x)),
                        static_cast<int>(std::lround(target.y)), maxHalfWindow, HUGE_VAL, window)) {
            continue;
        }
        const int size = window.inside() * window.inside();
        const int darkest = static_cast<int>(
            std::max_element(window.darkness.begin(), window.darkness.begin() + size) -
            window.darkness.begin());
        const cv::Point2d core(window.left() + darkest % window.inside(),
                               window.top() + darkest / window.inside());
        const double depth = coreDepth(window, core, 1.5);
        if (depth < minContrastToNoise * window.noise || window.darkestRim > depth / 2) {
            continue;  // no dot here, or not one alone
        }
        radii.push_back(std::sqrt(countDarkerThan(window, depth / 2) / CV_PI));
        depths.push_back(depth);
        noises.push_back(window.noise);
    }
    if (radii.empty()) {
        return DotScale();
    }
    return dotScaleFor(medianOf(radii), medianOf(depths), medianOf(noises));
}

DotScale dotScaleFor(double radius, double depth, double noise) {
    DotScale scale;
    scale.radius = radius;
    scale.depth = depth;
    scale.noise = noise;
    scale.aperture = scale.radius + apertureMargin;
    scale.halfWindow =
        std::min(maxHalfWindow, static_cast<int>(std::ceil(scale.aperture + 0.5)) + rimGap);
    return scale;
}

CentreVerdict locateDotCentre(const cv::Mat& frame, cv::Point2f target, const DotScale& scale,
                              cv::Point2f& centre) {
    const int h = scale.halfWindow;
    const LevelSource source(frame);
    cv::Point2d estimate(target.x, target.y);
    Window window;
    Moments moments;
    double depth = 0;
    bool settled = false;
    for (int iteration = 0; iteration < maxIterations && !settled; ++iteration) {
        // The window moves only once the estimate is well past the middle between two
        // pixels, so that an estimate near it does not swing between two windows.
        const bool moved = iteration == 0 || std::abs(estimate.x - window.cx) > windowSlack ||
                           std::abs(estimate.y - window.cy) > windowSlack;
        if (moved &&
            !loadWindow(source, static_cast<int>(std::lround(estimate.x)),
                        static_cast<int>(std::lround(estimate.y)), h, scale.noise, window)) {
            return CentreVerdict::nearBorder;
        }
        if (moved) {
            // The dot's depth scales its cover: taken once per window, about its centre.
            depth = coreDepth(window, cv::Point2d(window.cx, window.cy), 0.5 * scale.radius);
        }
        moments = momentsAround(window, estimate, scale.aperture, depth);
        if (moments.weight <= 0) {
            return CentreVerdict::tooFaint;
        }
        estimate += cv::Point2d(moments.x, moments.y);
        settled = std::hypot(moments.x, moments.y) < settledShift;
        if (std::hypot(estimate.x - target.x, estimate.y - target.y) > h) {
            return CentreVerdict::unsettled;
        }
    }
    if (!settled) {
        return CentreVerdict::unsettled;
    }
    depth = coreDepth(window, estimate, 0.5 * scale.radius);
    if (depth < minContrastToNoise * window.noise || depth < minDepthFraction * scale.depth) {
        return CentreVerdict::tooFaint;
    }
    if (window.darkestRim > depth / 2) {
        return CentreVerdict::rimNotClear;
    }
    const double areaRatio =
        countDarkerThan(window, depth / 2) / (CV_PI * scale.radius * scale.radius);
    if (areaRatio < minAreaRatio || areaRatio > maxAreaRatio ||
        elongationOf(moments) > maxElongation) {
        return CentreVerdict::wrongShape;
    }
    centre = cv::Point2f(static_cast<float>(estimate.x), static_cast<float>(estimate.y));
    return CentreVerdict::found;
}

void locateDotCentres(const cv::Mat& frame, const std::vector<cv::Point2f>& targets,
                      const DotScale& scale, std::vector<cv::Point2f>& centres) {
    const float none = std::numeric_limits<float>::quiet_NaN();
    centres.assign(targets.size(), cv::Point2f(none, none));
    if (!scale.known()) {
        return;
    }
    for (std::size_t i = 0; i < targets.size(); ++i) {
        locateDotCentre(frame, targets[i], scale, centres[i]);
    }
}

}  // namespace dottrack
