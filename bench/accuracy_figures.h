#pragma once
// The figures the accuracy programs give of measured positions against the truth: errors and
// their quantiles, pixel locking, medians.

#include <cmath>
#include <vector>

namespace dottrack {

// Bins of the histograms of fractional parts.
constexpr int fractionBins = 10;

// Errors of one kind, with the count of those too large to be errors of precision.
struct Errors {
    std::vector<double> values;
    long wrong = 0;

    void add(double value, double wrongFrom = HUGE_VAL);
    double mean() const;
    double quantile(double q) const;
    double max() const;
};

// Fractional parts of positions in bins, and the signed error against the true position's
// fractional part: estimates pulled towards whole pixels show a sine in it.
struct Locking {
    std::vector<long> measured = std::vector<long>(fractionBins, 0);
    std::vector<long> truth = std::vector<long>(fractionBins, 0);
    double sine = 0, cosine = 0;
    long count = 0;

    void add(double measuredValue, double trueValue);
    // The largest bin over the smallest.
    static double flatness(const std::vector<long>& bins);
    // The amplitude of the error's sine against the true position's fractional part, px.
    double pull() const { return count > 0 ? 2.0 * std::hypot(sine, cosine) / count : NAN; }
};

// The median of `values`; NaN when there are none.
double medianOf(std::vector<double> values);

}  // namespace dottrack
