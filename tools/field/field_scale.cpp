#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "tools/field/field_view.h"

namespace dottrack {

namespace {

// Per frame, the share of the way a scale moves towards its target: at once nearly when the
// numbers outgrow it, over a second or two when they fall back, so that it does not flicker.
constexpr double growRate = 0.5;
constexpr double shrinkRate = 0.03;

// Stops of the palettes, RGB, evenly spaced. Their neutral is light: the view multiplies the
// frame by the palette, so that the dark dots stay dark on whatever colour they sit.
constexpr std::array<std::array<int, 3>, 9> divergingStops{{{33, 102, 172},
                                                            {67, 147, 195},
                                                            {146, 197, 222},
                                                            {209, 229, 240},
                                                            {247, 247, 247},
                                                            {253, 219, 199},
                                                            {244, 165, 130},
                                                            {214, 96, 77},
                                                            {178, 24, 43}}};
constexpr std::array<std::array<int, 3>, 8> sequentialStops{{{255, 255, 217},
                                                             {237, 248, 177},
                                                             {199, 233, 180},
                                                             {127, 205, 187},
                                                             {65, 182, 196},
                                                             {29, 145, 192},
                                                             {34, 94, 168},
                                                             {37, 52, 148}}};

template <std::size_t count>
std::array<cv::Vec3b, 256> spreadStops(const std::array<std::array<int, 3>, count>& stops) {
    std::array<cv::Vec3b, 256> palette;
    for (int i = 0; i < 256; ++i) {
        const double at = i / 255.0 * (count - 1);
        const std::size_t below = std::min(static_cast<std::size_t>(at), count - 2);
        const double weight = at - below;
        for (int channel = 0; channel < 3; ++channel) {
            const double mixed =
                stops[below][channel] * (1 - weight) + stops[below + 1][channel] * weight;
            palette[i][2 - channel] = cv::saturate_cast<uchar>(mixed);  // RGB stops, BGR pixels
        }
    }
    return palette;
}

}  // namespace

bool parseFieldQuantity(const std::string& name, FieldQuantity& quantity) {
    static const std::pair<const char*, FieldQuantity> names[] = {
        {"exx", FieldQuantity::exx},   {"eyy", FieldQuantity::eyy},
        {"exy", FieldQuantity::exy},   {"rotation", FieldQuantity::rotation},
        {"area", FieldQuantity::area}, {"disp", FieldQuantity::disp}};
    for (const auto& [text, value] : names) {
        if (name == text) {
            quantity = value;
            return true;
        }
    }
    return false;
}

QuantityStyle styleOf(FieldQuantity quantity) {
    switch (quantity) {
        case FieldQuantity::exx:
            return {"exx (Green-Lagrange)", "strain", 0.0, 1e-3, true};
        case FieldQuantity::eyy:
            return {"eyy (Green-Lagrange)", "strain", 0.0, 1e-3, true};
        case FieldQuantity::exy:
            return {"exy (Green-Lagrange)", "strain", 0.0, 1e-3, true};
        case FieldQuantity::rotation:
            return {"local rotation", "deg", 0.0, 0.05, true};
        case FieldQuantity::area:
            return {"area ratio (det F)", "ratio", 1.0, 2e-3, true};
        case FieldQuantity::disp:
            break;
    }
    return {"displacement", nullptr, 0.0, 0.5, false};
}

const cv::Vec3b* paletteOf(bool diverging) {
    static const std::array<cv::Vec3b, 256> divergingPalette = spreadStops(divergingStops);
    static const std::array<cv::Vec3b, 256> sequentialPalette = spreadStops(sequentialStops);
    return diverging ? divergingPalette.data() : sequentialPalette.data();
}

double roundUpNicely(double value) {
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double factor : {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 8.0}) {
        if (factor * power >= value * (1 - 1e-9)) {
            return factor * power;
        }
    }
    return 10 * power;
}

double roundDownNicely(double value) {
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double factor : {5.0, 2.0}) {
        if (factor * power <= value * (1 + 1e-9)) {
            return factor * power;
        }
    }
    return power;
}

double smoothScale(double current, double target) {
    return current + (target - current) * (target > current ? growRate : shrinkRate);
}

double percentileOf(std::vector<double>& values, double fraction) {
    values.erase(std::remove_if(values.begin(), values.end(),
                                [](double value) { return !std::isfinite(value); }),
                 values.end());
    if (values.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const auto rank =
        values.begin() + static_cast<std::ptrdiff_t>(std::lround(fraction * (values.size() - 1)));
    std::nth_element(values.begin(), rank, values.end());
    return *rank;
}

}  // namespace dottrack
