#include <algorithm>
#include <array>
#include <cmath>

#include "field/field.h"

namespace dottrack {

namespace {

// Px around a candidate that its profile covers: room for dots of radius up to about 16.
constexpr int profileReach = 20;
// Enough dots for the medians.
constexpr std::size_t maxLearntDots = 1000;
constexpr std::size_t minLearntDots = 3;
// A dot's core must be this many times darker than the noise of the surface around it.
constexpr double minContrastToNoise = 8.0;
// This far beyond a dot's half-depth radius (px) the surface must be back to within this
// share of the dot's depth, all around: not so beside a neighbour, a cut, or an edge.
constexpr double clearGap = 2.5;
constexpr double clearShare = 0.25;
// The dots learnt from are those at least this share of the median depth: faint spots of
// texture do not set the dots' size.
constexpr double typicalDepthShare = 0.5;
// Grey levels: the noise of a frame without any still has the rounding to whole levels.
constexpr double minNoise = 0.5;

// Sums over the rings of whole-pixel radius around a pixel: its radial profile.
struct Profile {
    std::array<double, profileReach + 1> sum{}, squares{};
    std::array<int, profileReach + 1> count{};

    double mean(int r) const { return count[r] > 0 ? sum[r] / count[r] : 0.0; }
};

// The ring (rounded distance) of each offset within profileReach of a pixel; -1 beyond.
const std::array<std::int8_t, (2 * profileReach + 1) * (2 * profileReach + 1)>& ringOf() {
    static const auto table = [] {
        std::array<std::int8_t, (2 * profileReach + 1) * (2 * profileReach + 1)> rings{};
        for (int dy = -profileReach; dy <= profileReach; ++dy) {
            for (int dx = -profileReach; dx <= profileReach; ++dx) {
                const long r = std::lround(std::hypot(dx, dy));
                rings[(dy + profileReach) * (2 * profileReach + 1) + dx + profileReach] =
                    static_cast<std::int8_t>(r <= profileReach ? r : -1);
            }
        }
        return rings;
    }();
    return table;
}

Profile profileAround(const cv::Mat& grey, cv::Point p) {
    Profile profile;
    const auto& rings = ringOf();
    for (int dy = -profileReach; dy <= profileReach; ++dy) {
        const unsigned char* row = grey.ptr<unsigned char>(p.y + dy);
        const std::int8_t* ring = &rings[(dy + profileReach) * (2 * profileReach + 1)];
        for (int dx = -profileReach; dx <= profileReach; ++dx) {
            const int r = ring[dx + profileReach];
            if (r >= 0) {
                const double v = row[p.x + dx];
                profile.sum[r] += v;
                profile.squares[r] += v * v;
                ++profile.count[r];
            }
        }
    }
    return profile;
}

// The darkest pixel within two of `p`.
cv::Point darkestNear(const cv::Mat& grey, cv::Point p) {
    cv::Point darkest = p;
    for (int y = p.y - 2; y <= p.y + 2; ++y) {
        for (int x = p.x - 2; x <= p.x + 2; ++x) {
            if (grey.at<unsigned char>(y, x) < grey.at<unsigned char>(darkest)) {
                darkest = cv::Point(x, y);
            }
        }
    }
    return darkest;
}

double medianOf(std::vector<double>& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace

DotScale learnDotScale(const cv::Mat& grey, const std::vector<cv::Point>& candidates,
                       std::vector<cv::Vec3d>& learnt) {
    learnt.clear();
    std::vector<cv::Point2d> centres;
    for (const cv::Point candidate : candidates) {
        if (learnt.size() == maxLearntDots) {
            break;
        }
        const cv::Point core = darkestNear(grey, candidate);
        const Profile profile = profileAround(grey, core);
        const double coreLevel =
            (profile.sum[0] + profile.sum[1]) / (profile.count[0] + profile.count[1]);
        int surfaceRing = 1;
        for (int r = 2; r <= profileReach; ++r) {
            surfaceRing = profile.mean(r) > profile.mean(surfaceRing) ? r : surfaceRing;
        }
        const double surface = profile.mean(surfaceRing);
        const double noise = std::sqrt(std::max(
            0.0, profile.squares[surfaceRing] / profile.count[surfaceRing] - surface * surface));
        const double depth = surface - coreLevel;
        const double half = coreLevel + depth / 2;
        int edgeRing = 1;
        while (edgeRing < surfaceRing && profile.mean(edgeRing) < half) {
            ++edgeRing;
        }
        const int clearRing = static_cast<int>(std::ceil(edgeRing + clearGap));
        if (depth < minContrastToNoise * std::max(noise, minNoise) || edgeRing >= surfaceRing ||
            clearRing > profileReach || profile.mean(clearRing) < surface - clearShare * depth) {
            continue;
        }
        // The dot's centre and area: its pixels darker than half its depth near the core.
        const double reach = edgeRing + 2.0;
        cv::Point2d sum;
        int area = 0;
        for (int dy = -edgeRing - 2; dy <= edgeRing + 2; ++dy) {
            const unsigned char* row = grey.ptr<unsigned char>(core.y + dy);
            for (int dx = -edgeRing - 2; dx <= edgeRing + 2; ++dx) {
                if (dx * dx + dy * dy <= reach * reach && row[core.x + dx] < half) {
                    sum += cv::Point2d(dx, dy);
                    ++area;
                }
            }
        }
        const cv::Point2d centre = cv::Point2d(core) + sum / std::max(area, 1);
        const double radius = std::sqrt(area / CV_PI);
        const bool seen = std::any_of(centres.begin(), centres.end(), [&](cv::Point2d c) {
            return std::hypot(c.x - centre.x, c.y - centre.y) < radius;
        });
        if (!seen) {
            centres.push_back(centre);
            learnt.emplace_back(radius, depth, noise);
        }
    }
    if (learnt.size() < minLearntDots) {
        return DotScale();
    }
    std::vector<double> values;
    for (const cv::Vec3d& dot : learnt) {
        values.push_back(dot[1]);
    }
    const double typicalDepth = medianOf(values);
    std::vector<double> radii, depths, noises;
    for (const cv::Vec3d& dot : learnt) {
        if (dot[1] >= typicalDepthShare * typicalDepth) {
            radii.push_back(dot[0]);
            depths.push_back(dot[1]);
            noises.push_back(dot[2]);
        }
    }
    return dotScaleFor(medianOf(radii), medianOf(depths), std::max(minNoise, medianOf(noises)));
}

}  // namespace dottrack
