#include <algorithm>
#include <array>
#include <cmath>

#include "tracking/tracking.h"

namespace dottrack {

namespace {

// A marker never picks a target this far away or farther.
constexpr double noTargetDistance = 1000.0;
// A marker holds its nearest target only when it is at most this far.
constexpr double associationGate = 30.0;
// Starting distance when looking for the nearest of a target's claimants.
constexpr double noClaimantDistance = 10000.0;
// The reference position moves only towards a target strictly nearer than this.
constexpr double referenceReach = 30.0;

// New coordinate from two weighted terms: each term is formed in double and rounded to
// float, then the two floats are added in single precision.
float blendCoordinate(float p, double pWeight, float q, double qWeight) {
    const float pTerm = static_cast<float>(static_cast<double>(p) * pWeight);
    const float qTerm = static_cast<float>(static_cast<double>(q) * qWeight);
    return pTerm + qTerm;
}

cv::Point2f blend(cv::Point2f p, double pWeight, cv::Point2f q, double qWeight) {
    return {blendCoordinate(p.x, pWeight, q.x, qWeight),
            blendCoordinate(p.y, pWeight, q.y, qWeight)};
}

// Weight of the target in the reference update: a Gaussian of width 5 px in the distance,
// flat below 2.5 px.
double referenceWeight(double distance) {
    const double scaled = distance / 5.0;
    const double u = scaled < 0.5 ? 0.5 : scaled;
    return std::exp(-0.5 * (u * u));
}

}  // namespace

double trackingDistance(cv::Point2f a, cv::Point2f b) {
    const float dx = a.x - b.x;
    const float dy = a.y - b.y;
    const double dxWide = dx;
    const double dyWide = dy;
    return std::sqrt(dxWide * dxWide + dyWide * dyWide);
}

void updateMaker(const std::vector<cv::Point2f>& targets, std::vector<cv::Point2f>& refMarkers,
                 std::vector<cv::Point2f>& markers, std::vector<int>& assignment) {
    // How many markers picked each target in this call; one per thread, so that passes
    // may run side by side.
    thread_local static std::array<int, maxTargets> tarCount{};

    const int targetsUsed = static_cast<int>(std::min<size_t>(targets.size(), maxTargets));
    const int markerCount = static_cast<int>(std::min(refMarkers.size(), markers.size()));
    assignment.resize(markerCount);

    std::fill_n(tarCount.begin(), targetsUsed, 0);

    // Each marker, on its own, picks its nearest target; the lowest index wins a tie.
    for (int i = 0; i < markerCount; ++i) {
        assignment[i] = -1;
        double best = noTargetDistance;
        for (int k = 0; k < targetsUsed; ++k) {
            const double distance = trackingDistance(markers[i], targets[k]);
            if (distance < best) {
                best = distance;
                assignment[i] = k;
            }
        }
        if (best > associationGate) {
            assignment[i] = -1;
        } else {
            ++tarCount[assignment[i]];
        }
    }

    if (targetsUsed == 0) {
        return;
    }

    // A target claimed by several markers stays with the nearest (lowest index on a tie);
    // the others hold nothing this frame and are not offered another target.
    for (int k = 0; k < targetsUsed; ++k) {
        if (tarCount[k] < 2) {
            continue;
        }
        double best = noClaimantDistance;
        int kept = 0;
        for (int j = 0; j < markerCount; ++j) {
            if (assignment[j] != k) {
                continue;
            }
            const double distance = trackingDistance(markers[j], targets[k]);
            if (distance < best) {
                best = distance;
                kept = j;
            }
        }
        for (int j = 0; j < markerCount; ++j) {
            if (assignment[j] == k && j != kept) {
                assignment[j] = -1;
            }
        }
    }

    for (int j = 0; j < markerCount; ++j) {
        const int k = assignment[j];
        if (k < 0) {
            markers[j] = blend(markers[j], 0.95, refMarkers[j], 0.05);
            continue;
        }
        const cv::Point2f target = targets[k];
        const double distance = trackingDistance(refMarkers[j], target);
        if (distance < referenceReach) {
            const double w = referenceWeight(distance);
            refMarkers[j] = blend(refMarkers[j], 1.0 - w, target, w);
        }
        // The tracked position heads for the target itself, not for the new reference.
        markers[j] = blend(markers[j], 0.8, target, 0.2);
    }
}

}  // namespace dottrack
