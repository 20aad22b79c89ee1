#include <algorithm>
#include <cmath>
#include <vector>

#include "measure/dot_window.h"
#include "measure/measure.h"

namespace dottrack {

namespace {

// Margin between a dot's half-depth radius and the soft edge of the window: the dot's
// blurred rim lies inside it, while the background beyond weighs in as little as it can.
constexpr double apertureMargin = 2.0;
// Rows and columns between the soft edge and the rim that gives the background.
constexpr int rimGap = 1;

double medianOf(std::vector<double>& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace

DotScale estimateDotScale(const cv::Mat& frame, const std::vector<cv::Point2f>& targets) {
    std::vector<double> radii, depths, noises;
    const LevelSource source(frame);
    DotWindow window;
    for (const cv::Point2f& target : targets) {
        if (!loadDotWindow(source, static_cast<int>(std::lround(target.x)),
                           static_cast<int>(std::lround(target.y)), maxHalfWindow, HUGE_VAL,
                           window)) {
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

}  // namespace dottrack
