#include "bench/accuracy_figures.h"

#include <algorithm>

#include <opencv2/core.hpp>

namespace dottrack {

void Errors::add(double value, double wrongFrom) {
    if (value > wrongFrom) {
        ++wrong;
    } else {
        values.push_back(value);
    }
}

double Errors::mean() const {
    double sum = 0;
    for (const double v : values) {
        sum += v;
    }
    return values.empty() ? NAN : sum / static_cast<double>(values.size());
}

double Errors::quantile(double q) const {
    if (values.empty()) {
        return NAN;
    }
    std::vector<double> sorted = values;
    const auto at =
        sorted.begin() + static_cast<std::ptrdiff_t>(std::min(
                             sorted.size() - 1, static_cast<std::size_t>(q * sorted.size())));
    std::nth_element(sorted.begin(), at, sorted.end());
    return *at;
}

double Errors::max() const {
    return values.empty() ? NAN : *std::max_element(values.begin(), values.end());
}

namespace {

int binOf(double v) {
    return std::min(fractionBins - 1, static_cast<int>((v - std::floor(v)) * fractionBins));
}

}  // namespace

void Locking::add(double measuredValue, double trueValue) {
    ++measured[binOf(measuredValue)];
    ++truth[binOf(trueValue)];
    const double phase = 2 * CV_PI * (trueValue - std::floor(trueValue));
    sine += (measuredValue - trueValue) * std::sin(phase);
    cosine += (measuredValue - trueValue) * std::cos(phase);
    ++count;
}

double Locking::flatness(const std::vector<long>& bins) {
    const auto [least, most] = std::minmax_element(bins.begin(), bins.end());
    return *least > 0 ? static_cast<double>(*most) / static_cast<double>(*least) : HUGE_VAL;
}

double medianOf(std::vector<double> values) {
    if (values.empty()) {
        return NAN;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace dottrack
