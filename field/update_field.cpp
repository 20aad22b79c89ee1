#include <limits>

#include "field/field.h"

namespace dottrack {

namespace {

constexpr double none = std::numeric_limits<double>::quiet_NaN();
const cv::Point2f nowhere(std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::quiet_NaN());

// Sizes every per-dot list of `result` to `dots`: they only ever grow, as dots are added.
void sizeResult(std::size_t dots, FieldResult& result) {
    result.found.resize(dots);
    result.centres.resize(dots);
    result.displacements.resize(dots);
    for (std::vector<double>* values :
         {&result.exx, &result.eyy, &result.exy, &result.rotationDeg, &result.areaRatio}) {
        values->resize(dots);
    }
}

// What a run fixes in its reference frame: the motion's pivot and outlier distance, and room
// for the dots seen later.
void startRun(FieldRun& run) {
    const DotLinks& links = run.links;
    cv::Point2d sum;
    for (const cv::Point2f& reference : links.references) {
        sum += cv::Point2d(reference);
    }
    run.pivot = cv::Point2f(sum / static_cast<double>(links.dotCount()));
    run.outlierDistance = outlierDistanceForSpacing(links.spacing.nearest);
    const std::size_t room = links.references.capacity();
    FieldResult& result = run.result;
    result.found.reserve(room);
    result.centres.reserve(room);
    result.displacements.reserve(room);
    for (std::vector<double>* values :
         {&result.exx, &result.eyy, &result.exy, &result.rotationDeg, &result.areaRatio}) {
        values->reserve(room);
    }
    run.fit.from.reserve(room);
    run.fit.to.reserve(room);
}

}  // namespace

void linkFieldDots(const std::vector<cv::Point2f>& centres, FieldRun& run) {
    const bool started = run.links.started();
    linkDots(centres, run.links);
    if (!started && run.links.started()) {
        startRun(run);
    }
    sizeResult(run.links.dotCount(), run.result);
}

void describeFieldDots(const std::vector<cv::Point2f>& centres, FieldRun& run) {
    const DotLinks& links = run.links;
    FieldResult& result = run.result;
    const std::size_t dots = links.dotCount();
    for (std::size_t i = 0; i < dots; ++i) {
        const int centre = links.centreOfDot[i];
        result.found[i] = centre >= 0 ? 1 : 0;
        result.centres[i] = centre >= 0 ? centres[centre] : nowhere;
        result.displacements[i] = centre >= 0 ? centres[centre] - links.references[i] : nowhere;
    }
    cv::Matx22d gradient;
    for (std::size_t i = 0; i < dots; ++i) {
        if (fitDeformationGradient(links.references, result.centres, static_cast<int>(i),
                                   links.neighbours[i], links.spacing.pitch, gradient)) {
            const DotDeformation deformation = describeDeformation(gradient);
            result.exx[i] = deformation.exx;
            result.eyy[i] = deformation.eyy;
            result.exy[i] = deformation.exy;
            result.rotationDeg[i] = deformation.rotationDeg;
            result.areaRatio[i] = deformation.areaRatio;
        } else {
            result.exx[i] = result.eyy[i] = result.exy[i] = none;
            result.rotationDeg[i] = result.areaRatio[i] = none;
        }
    }
}

void fitFieldMotion(FieldRun& run) {
    fitSurfaceMotion(run.links.references, run.result.centres, run.pivot, run.outlierDistance,
                     run.fit, run.result.motion);
}

void updateField(const std::vector<cv::Point2f>& centres, FieldRun& run) {
    linkFieldDots(centres, run);
    describeFieldDots(centres, run);
    fitFieldMotion(run);
}

}  // namespace dottrack
