#include <limits>

#include "measure/measure.h"

namespace dottrack {

namespace {

const float none = std::numeric_limits<float>::quiet_NaN();

// Centroid of the measured positions; NaN when there is none.
cv::Point2f centroidOf(const std::vector<cv::Point2f>& positions) {
    cv::Point2d sum;
    int count = 0;
    for (const cv::Point2f& p : positions) {
        if (isMeasured(p)) {
            sum += cv::Point2d(p);
            ++count;
        }
    }
    if (count == 0) {
        return {none, none};
    }
    return cv::Point2f(sum / count);
}

// The markers' centres as a lens without distortion would have shown them, into
// m.idealCentres; NaN where a marker has no centre.
const std::vector<cv::Point2f>& undistortMarkers(Measurement& m) {
    m.seen.clear();
    for (const cv::Point2f& centre : m.centres) {
        if (isMeasured(centre)) {
            m.seen.emplace_back(centre);
        }
    }
    undistortCentres(m.seen, *m.camera, m.ideal);
    m.idealCentres.resize(m.centres.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < m.centres.size(); ++i) {
        m.idealCentres[i] = isMeasured(m.centres[i]) ? cv::Point2f(m.ideal[next++]) : m.centres[i];
    }
    return m.idealCentres;
}

}  // namespace

void measurePass(const cv::Mat& frame, const std::vector<cv::Point2f>& targets,
                 const std::vector<int>& assignment, bool firstPass, Measurement& measurement) {
    Measurement& m = measurement;
    if (firstPass) {
        m.scale = DotScale();
    }
    if (!m.scale.known()) {
        m.scale = estimateDotScale(frame, targets);
    }
    locateDotCentres(frame, targets, m.scale, m.targetCentres);

    const std::size_t markerCount = assignment.size();
    m.centres.resize(markerCount);
    m.displacements.resize(markerCount);
    for (std::size_t i = 0; i < markerCount; ++i) {
        const int held = assignment[i];
        m.centres[i] = held >= 0 && static_cast<std::size_t>(held) < m.targetCentres.size()
                           ? m.targetCentres[held]
                           : cv::Point2f(none, none);
    }
    // What the displacements and the motion are of: the centres, or through the camera the
    // ideal ones.
    const std::vector<cv::Point2f>& positions = m.camera ? undistortMarkers(m) : m.centres;
    if (firstPass) {
        m.seedCentres = positions;
        m.seedCentroid = centroidOf(m.seedCentres);
        m.outlierDistance = outlierDistanceFor(m.seedCentres);
        m.fit.from.reserve(markerCount);
        m.fit.to.reserve(markerCount);
    }
    for (std::size_t i = 0; i < markerCount; ++i) {
        const bool known =
            i < m.seedCentres.size() && isMeasured(m.seedCentres[i]) && isMeasured(positions[i]);
        m.displacements[i] = known ? positions[i] - m.seedCentres[i] : cv::Point2f(none, none);
    }
    fitSurfaceMotion(m.seedCentres, positions, m.seedCentroid, m.outlierDistance, m.fit, m.motion);
}

}  // namespace dottrack
