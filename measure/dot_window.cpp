#include <algorithm>
#include <cmath>
#include <limits>

#include "measure/dot_window.h"

namespace dottrack {

namespace {

// A rim pixel this many times the rim's RMS spread below the background, or a spread this
// many times the dots' typical one, is no noise but a dot reaching into the rim.
constexpr double outlyingRim = 5.0;
constexpr double noisierRim = 2.0;
// Rim pixels within this many standard deviations of the rim's median level are kept when
// the plane is fitted again without the dot, the deviation taken from the median spread.
constexpr double keptSpread = 3.0;
constexpr double medianToDeviation = 1.4826;

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
                                  DotWindow& window) {
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

}  // namespace

bool loadDotWindow(const LevelSource& source, int cx, int cy, int h, double typicalNoise,
                   DotWindow& window) {
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

double coreDepth(const DotWindow& window, cv::Point2d centre, double radius) {
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

int countDarkerThan(const DotWindow& window, double threshold) {
    const int size = window.inside() * window.inside();
    const float limit = static_cast<float>(threshold);
    int count = 0;
    for (int i = 0; i < size; ++i) {
        count += window.darkness[i] > limit ? 1 : 0;
    }
    return count;
}

}  // namespace dottrack
