#include <algorithm>
#include <cmath>

#include "field/field.h"

namespace dottrack {

namespace {

// Frames unseen beyond which the count stops.
constexpr int mostUnseenFrames = 1000;
// A dot seen in one frame only is given up once it has gone unseen for more than
// strayFrames while predicted among the frame's dots (strayMargin in from the outermost),
// with at least strayNeighbours of its neighbours predicted there seen: it was a
// stray centre of the finder, numbered because one frame could not tell, which would
// otherwise be looked for to the end of the run. A dot that left the view, or went under a
// cover with its neighbours, is still looked for.
constexpr int strayFrames = 5;
constexpr double strayMargin = 0.25;
constexpr double strayNeighbours = 0.8;

// Whether a dot seen once, now unseen for long, was a stray centre (see strayFrames).
bool isStray(const cv::Rect2d& inside, const DotLinks& links, std::size_t dot) {
    const std::vector<cv::Point2f>& predictions = links.buffers.predictions;
    const auto expected = [&](int k) {
        return !isMeasured(predictions[k]) || inside.contains(cv::Point2d(predictions[k]));
    };
    if (links.unseenFrames[dot] <= strayFrames || !isMeasured(predictions[dot]) ||
        !expected(static_cast<int>(dot))) {
        return false;
    }
    int seen = 0, shouldBe = 0;
    for (const int k : links.neighbours[dot]) {
        if (links.standing[k] == DotStanding::givenUp) {
            continue;
        }
        const bool found = links.centreOfDot[k] >= 0;
        seen += found ? 1 : 0;
        shouldBe += found || expected(k) ? 1 : 0;
    }
    return shouldBe > 0 && seen >= strayNeighbours * shouldBe;
}

}  // namespace

void updateStanding(const std::vector<cv::Point2f>& centres, DotLinks& links) {
    const double spacing = links.spacing.pitch * links.stretch;
    double left = HUGE_VAL, top = HUGE_VAL, right = -HUGE_VAL, bottom = -HUGE_VAL;
    for (const cv::Point2f& c : centres) {
        if (std::isfinite(c.x) && std::isfinite(c.y)) {
            left = std::min(left, static_cast<double>(c.x));
            top = std::min(top, static_cast<double>(c.y));
            right = std::max(right, static_cast<double>(c.x));
            bottom = std::max(bottom, static_cast<double>(c.y));
        }
    }
    const double margin = strayMargin * spacing;
    const cv::Rect2d inside(left + margin, top + margin, right - left - 2 * margin,
                            bottom - top - 2 * margin);
    for (std::size_t i = 0; i < links.dotCount(); ++i) {
        DotStanding& standing = links.standing[i];
        if (links.centreOfDot[i] >= 0) {
            links.unseenFrames[i] = 0;
            standing = DotStanding::confirmed;
            continue;
        }
        links.unseenFrames[i] = std::min(links.unseenFrames[i] + 1, mostUnseenFrames);
        if (standing == DotStanding::seenOnce && isStray(inside, links, i)) {
            standing = DotStanding::givenUp;
        }
    }
}

}  // namespace dottrack
