#include <algorithm>
#include <cmath>
#include <limits>

#include "bench/field_accuracy.h"

namespace dottrack {

namespace {

const double unknown = std::numeric_limits<double>::quiet_NaN();
const cv::Point2f nowhere(std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::quiet_NaN());

// Numbers not found yet have no owner.
constexpr int noOwnerYet = -2;
// The true dots whose maps back a dot seen later after the reference frame: as many of
// the nearest as fix an affine map many times over.
constexpr int mapBackDots = 12;

// Sizes every per-dot list of the identity to hold true dot `dot`.
void sizeForDot(int dot, FieldIdentity& id) {
    const std::size_t size = static_cast<std::size_t>(dot) + 1;
    if (id.firstNumber.size() >= size) {
        return;
    }
    id.references.resize(size, cv::Point2d(unknown, unknown));
    id.firstNumber.resize(size, -1);
    id.lastVisible.resize(size, -1);
    id.cameBack.resize(size, 0);
    id.renumbered.resize(size, 0);
    id.renumberedAfterBack.resize(size, 0);
}

bool isKnown(cv::Point2d p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

// Where the true dot at `dots[slot]` lies in the reference frame, in ideal px. The reference
// frame's truth holds every dot that reached into it; a dot beyond it is mapped back by the
// least-squares affine map from the nearest true dots that it does hold, as they are now, to
// where they were then: exact for a surface whose motion is affine, as the field's own map
// back would be with true centres.
cv::Point2d trueReferenceOf(const std::vector<FieldTruthDot>& dots, int slot, FieldIdentity& id) {
    const FieldTruthDot& target = dots[slot];
    if (isKnown(id.references[target.dot])) {
        return id.references[target.dot];
    }
    std::vector<std::pair<double, int>> nearest;
    for (std::size_t i = 0; i < dots.size(); ++i) {
        if (isKnown(id.references[dots[i].dot])) {
            nearest.emplace_back(cv::norm(dots[i].ideal - target.ideal), static_cast<int>(i));
        }
    }
    const std::size_t used = std::min<std::size_t>(nearest.size(), mapBackDots);
    if (used < 3) {
        return {unknown, unknown};
    }
    std::partial_sort(nearest.begin(), nearest.begin() + static_cast<std::ptrdiff_t>(used),
                      nearest.end());
    cv::Mat from(static_cast<int>(used), 3, CV_64F), to(static_cast<int>(used), 2, CV_64F);
    for (std::size_t k = 0; k < used; ++k) {
        const FieldTruthDot& d = dots[nearest[k].second];
        const int row = static_cast<int>(k);
        from.at<double>(row, 0) = d.ideal.x - target.ideal.x;
        from.at<double>(row, 1) = d.ideal.y - target.ideal.y;
        from.at<double>(row, 2) = 1.0;
        to.at<double>(row, 0) = id.references[d.dot].x;
        to.at<double>(row, 1) = id.references[d.dot].y;
    }
    cv::Mat map;
    if (!cv::solve(from, to, map, cv::DECOMP_SVD)) {
        return {unknown, unknown};
    }
    // Offsets from the dot itself: its place is the map's constant term.
    id.references[target.dot] = cv::Point2d(map.at<double>(2, 0), map.at<double>(2, 1));
    return id.references[target.dot];
}

// Notes which true dots are visible now, and which of them come back after a frame when
// they were not (covered, or out of view).
void followVisibility(long index, const std::vector<FieldTruthDot>& dots, FieldIdentity& id) {
    for (const FieldTruthDot& d : dots) {
        if (!d.visible) {
            continue;
        }
        if (id.lastVisible[d.dot] >= 0 && id.lastVisible[d.dot] < index - 1) {
            id.cameBack[d.dot] = 1;
        }
        id.lastVisible[d.dot] = index;
    }
}

// Holds the number `number`, whose centre lies on the true dot `dot` (-1 for none), to the
// dot it was first found on. Whether the centre is its owner's.
bool checkOwner(int number, int dot, FieldIdentity& id) {
    if (id.ownerOfNumber.size() <= static_cast<std::size_t>(number)) {
        id.ownerOfNumber.resize(static_cast<std::size_t>(number) + 1, noOwnerYet);
    }
    int& owner = id.ownerOfNumber[number];
    if (owner == noOwnerYet) {
        owner = dot;
        id.numbersOnFalse += dot < 0 ? 1 : 0;
    } else if (dot >= 0 && owner != dot) {
        (owner >= 0 ? id.swaps : id.strayOwners) += 1;
    }
    if (dot >= 0) {
        if (id.firstNumber[dot] < 0) {
            id.firstNumber[dot] = number;
        } else if (id.firstNumber[dot] != number) {
            id.renumbered[dot] = 1;
            id.renumberedAfterBack[dot] = id.cameBack[dot];
        }
    }
    return dot >= 0 && owner == dot;
}

// The true strain at each number with strain: F fitted by the same least squares to the true
// positions of the same neighbours.
void gradeStrain(const DotLinks& links, const FieldResult& result,
                 const std::vector<cv::Point2f>& trueReferences,
                 const std::vector<cv::Point2f>& trueCentres, FieldGrades& grades) {
    for (std::size_t n = 0; n < trueCentres.size(); ++n) {
        if (!isMeasured(trueCentres[n]) || std::isnan(result.exx[n])) {
            continue;
        }
        ++grades.strained;
        cv::Matx22d gradient;
        if (!fitDeformationGradient(trueReferences, trueCentres, static_cast<int>(n),
                                    links.neighbours[n], links.spacing.pitch, gradient)) {
            continue;
        }
        const DotDeformation truth = describeDeformation(gradient);
        grades.strain[0].add(std::abs(result.exx[n] - truth.exx));
        grades.strain[1].add(std::abs(result.eyy[n] - truth.eyy));
        grades.strain[2].add(std::abs(result.exy[n] - truth.exy));
    }
}

}  // namespace

void gradeFieldFrame(const FieldMeasurement& measurement, long index,
                     const std::vector<FieldTruthDot>& dots, FieldGrades& grades) {
    const DotLinks& links = measurement.run.links;
    const FieldResult& result = measurement.run.result;
    FieldIdentity& id = grades.identity;
    for (const FieldTruthDot& d : dots) {
        sizeForDot(d.dot, id);
    }
    if (id.referenceFrame < 0 && links.started()) {
        id.referenceFrame = index;
        id.referenceNumbers = links.dotCount();
        for (const FieldTruthDot& d : dots) {
            id.references[d.dot] = d.ideal;
        }
    }
    followVisibility(index, dots, id);

    const double reach = std::max(1.0, measurement.finder.scale.radius);
    std::vector<cv::Point2f> centres;
    std::vector<cv::Point2f> trueReferences(links.dotCount(), nowhere);
    std::vector<cv::Point2f> trueCentres(links.dotCount(), nowhere);
    for (std::size_t n = 0; n < links.dotCount(); ++n) {
        if (!isListed(links, n) || result.found[n] == 0) {
            continue;
        }
        const cv::Point2f centre = result.centres[n];
        centres.push_back(centre);
        double distance = 0;
        const int slot = nearestTrueDot(dots, cv::Point2d(centre), reach, distance);
        if (!checkOwner(static_cast<int>(n), slot >= 0 ? dots[slot].dot : -1, id)) {
            continue;
        }
        ++grades.onDots;
        const cv::Point2d reference = trueReferenceOf(dots, slot, id);
        if (!isKnown(reference)) {
            continue;
        }
        // Through a lens the displacements are of the ideal positions: with the camera, so
        // are the measured ones; without, the lens's bend is the error.
        const cv::Point2d moved = dots[slot].ideal - reference;
        const double error = cv::norm(cv::Point2d(result.displacements[n]) - moved);
        grades.displacement.add(error);
        if (n >= id.referenceNumbers) {
            grades.laterDisplacement.add(error);
        }
        grades.idealCentre.add(cv::norm(cv::Point2d(result.idealCentres[n]) - dots[slot].ideal));
        if (result.mmPerPx > 0 && grades.truthMmPerPx > 0) {
            grades.displacementMm.add(
                cv::norm(result.displacementsMm[n] - moved * grades.truthMmPerPx));
        }
        trueReferences[n] = cv::Point2f(reference);
        trueCentres[n] = cv::Point2f(dots[slot].ideal);
    }
    grades.ours.add(dots, centres);
    gradeStrain(links, result, trueReferences, trueCentres, grades);
    ++grades.frames;
}

}  // namespace dottrack
