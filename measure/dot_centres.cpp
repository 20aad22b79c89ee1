#include <algorithm>
#include <cmath>
#include <limits>

#include "measure/dot_window.h"
#include "measure/measure.h"

namespace dottrack {

namespace {

// The centroid has settled when the window moves less than this (px).
constexpr double settledShift = 2e-3;
constexpr int maxIterations = 12;
// How far the estimate may lie from the window's centre pixel before the window follows it.
constexpr double windowSlack = 0.75;
// Darkness within this many times the rim's noise of the background counts as none, and
// within as much of the dot's depth as all: the noise and texture around a dot do not
// pull its centroid, nor the shading inside it.
constexpr double noiseFloor = 3.0;
// A dot's core must also be at least this fraction of the dots' typical depth.
constexpr double minDepthFraction = 0.25;
// The area of a dot's half-depth region against the dots' disc, and the ratio of its
// principal second moments: a round, whole dot has 1 for both.
constexpr double minAreaRatio = 0.5;
constexpr double maxAreaRatio = 1.8;
constexpr double maxElongation = 1.6;

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

DOTTRACK_VECTOR_CLONES Moments momentsAround(const DotWindow& window, cv::Point2d centre,
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

}  // namespace

CentreVerdict locateDotCentre(const cv::Mat& frame, cv::Point2f target, const DotScale& scale,
                              cv::Point2f& centre) {
    const int h = scale.halfWindow;
    const LevelSource source(frame);
    cv::Point2d estimate(target.x, target.y);
    DotWindow window;
    Moments moments;
    double depth = 0;
    bool settled = false;
    for (int iteration = 0; iteration < maxIterations && !settled; ++iteration) {
        // The window moves only once the estimate is well past the middle between two
        // pixels, so that an estimate near it does not swing between two windows.
        const bool moved = iteration == 0 || std::abs(estimate.x - window.cx) > windowSlack ||
                           std::abs(estimate.y - window.cy) > windowSlack;
        if (moved &&
            !loadDotWindow(source, static_cast<int>(std::lround(estimate.x)),
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
