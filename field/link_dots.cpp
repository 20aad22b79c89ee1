// Matching works in three steps, each of which only ever declines when in doubt:
// 1. Each dot's motion since the last frame is voted by its neighbours: every dot offers the
//    displacements to the centres near where it was, and the displacement that most of a
//    dot's neighbours offer too (within a tolerance) predicts where it is now. No velocity is
//    assumed, so a sudden start or stop is the same as any other frame.
// 2. A prediction and a centre are linked only when they pick each other beyond doubt.
// 3. The dots left over are predicted from the affine motion of their linked neighbours
//    (or of all linked dots, far from any), and step 2 runs again, until nothing more links:
//    the links grow into regions that were covered or out of view.

#include <algorithm>
#include <cmath>
#include <limits>

#include "field/field.h"

namespace dottrack {

namespace {

const float none = std::numeric_limits<float>::quiet_NaN();

// Lengths in pitches of the current frame (the reference frame's pitch times the surface's
// least stretch since).
// How far from where a dot was its centre is looked for: the motion between frames must stay
// below it. A regular grid moved by half its pitch looks the same moved back by half, so no
// method can tell more from the centres alone.
constexpr double candidateRadius = 0.5;
// How much the motions of two neighbours may differ and still count as one motion: room for
// a turn or a stretch between two frames over a neighbourhood, well short of a grid's jitter.
constexpr double consensusTolerance = 0.1;
// Neighbours that must offer the motion a dot's prediction follows (or all it has, if fewer).
constexpr int fewestVoters = 3;
// The farthest a centre may lie from a prediction and be linked to it: a prediction from
// where a dot was seen in the last frame is good to a tenth of a pitch (the vote's
// tolerance); one carried through frames where the dot went unseen less so. A tight gate
// keeps a stray centre from taking the place of a dot the finder missed.
constexpr double seenGate = 0.15, gatePerUnseenFrame = 0.05, widestGate = 0.3;
// What every rival must keep beyond twice the distance of a link.
constexpr double rivalMargin = 0.1;
// Least spread of the linked dots a motion is fitted to, in squared pitches: less is a line.
constexpr double leastSpread = 0.5;
// Rounds of prediction from what is linked, each reaching one neighbourhood further.
constexpr int predictionRounds = 8;
// Bounds on the stretch that scales the spacing: beyond them no spacing means much.
constexpr double leastStretch = 0.5, mostStretch = 2.0;

bool isLookedFor(const DotLinks& links, int dot) {
    return links.standing[dot] != DotStanding::givenUp;
}

cv::Point2f mapPoint(const cv::Matx23d& m, cv::Point2f p) {
    return cv::Point2f(static_cast<float>(m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2)),
                       static_cast<float>(m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)));
}

// Step 1: the prediction of each dot that has centres near its estimate, from the
// displacement most of its neighbours offer; none where they do not agree on one. A dot
// without neighbours is expected where it was.
void predictByVote(const std::vector<cv::Point2f>& centres, double spacing, DotLinks& links) {
    LinkBuffers& b = links.buffers;
    const int dots = static_cast<int>(links.dotCount());
    b.candidateStart.resize(static_cast<std::size_t>(dots) + 1);
    b.candidates.clear();
    for (int i = 0; i < dots; ++i) {
        b.candidateStart[i] = static_cast<int>(b.candidates.size());
        if (isLookedFor(links, i)) {
            findPointsNear(b.centreGrid, centres, links.estimates[i], candidateRadius * spacing,
                           b.near);
            b.candidates.insert(b.candidates.end(), b.near.begin(), b.near.end());
        }
    }
    b.candidateStart[dots] = static_cast<int>(b.candidates.size());
    const auto offered = [&](int dot, int candidate) {
        return cv::Point2d(centres[b.candidates[candidate]] - links.estimates[dot]);
    };
    const double tolerance = consensusTolerance * spacing;
    for (int i = 0; i < dots; ++i) {
        if (b.candidateStart[i] == b.candidateStart[i + 1]) {
            continue;
        }
        const std::vector<int>& around = links.neighbours[i];
        if (around.empty()) {
            b.predictions[i] = links.estimates[i];
            continue;
        }
        int voters = 0;
        for (const int k : around) {
            voters += b.candidateStart[k + 1] > b.candidateStart[k] ? 1 : 0;
        }
        int best = 0, second = 0;
        cv::Point2d bestShift;
        for (int a = b.candidateStart[i]; a < b.candidateStart[i + 1]; ++a) {
            const cv::Point2d shift = offered(i, a);
            int support = 0;
            cv::Point2d sum;
            for (const int k : around) {
                double closest = tolerance * tolerance;  // squared, as every gap below
                cv::Point2d agreeing;
                bool agrees = false;
                for (int c = b.candidateStart[k]; c < b.candidateStart[k + 1]; ++c) {
                    const cv::Point2d other = offered(k, c);
                    const double gap = (other - shift).dot(other - shift);
                    if (gap <= closest) {
                        closest = gap;
                        agreeing = other;
                        agrees = true;
                    }
                }
                if (agrees) {
                    ++support;
                    sum += agreeing;
                }
            }
            if (support > best) {
                second = best;
                best = support;
                bestShift = sum / support;
            } else {
                second = std::max(second, support);
            }
        }
        // A majority of the neighbours that offer anything, and no second motion with half
        // as many: two centres close together, or a grid that looks alike either way.
        if (voters > 0 && best >= std::min(fewestVoters, voters) && 2 * best > voters &&
            2 * second < best) {
            b.predictions[i] = cv::Point2f(cv::Point2d(links.estimates[i]) + bestShift);
        }
    }
}

// Step 2: links each predicted dot to the centre nearest its prediction when that centre is
// free and within the dot's gate, every other centre lies at least twice as far from the
// prediction (plus a margin), and every other pending prediction as far from the centre.
// Two dots can then never pick one centre, and the order of the dots does not matter. The
// links made.
int acceptLinks(const std::vector<cv::Point2f>& centres, double spacing, DotLinks& links) {
    LinkBuffers& b = links.buffers;
    const int dots = static_cast<int>(links.dotCount());
    buildPointGrid(b.predictions, candidateRadius * spacing, b.predictionGrid);
    b.proposals.assign(static_cast<std::size_t>(dots), -1);
    const double margin = rivalMargin * spacing;
    for (int i = 0; i < dots; ++i) {
        const cv::Point2f prediction = b.predictions[i];
        if (!isMeasured(prediction)) {
            continue;
        }
        const double gate =
            std::min(seenGate + gatePerUnseenFrame * links.unseenFrames[i], widestGate) * spacing;
        findPointsNear(b.centreGrid, centres, prediction, 2 * gate + margin, b.near);
        int nearest = -1;
        double first = std::numeric_limits<double>::infinity(), second = first;
        for (const int c : b.near) {
            const double distance = cv::norm(cv::Point2d(centres[c] - prediction));
            if (distance < first) {
                second = first;
                first = distance;
                nearest = c;
            } else {
                second = std::min(second, distance);
            }
        }
        if (nearest < 0 || first > gate || b.dotOfCentre[nearest] >= 0 ||
            second < 2 * first + margin) {
            continue;
        }
        findPointsNear(b.predictionGrid, b.predictions, centres[nearest], 2 * first + margin,
                       b.nearOther);
        if (std::any_of(b.nearOther.begin(), b.nearOther.end(), [i](int k) { return k != i; })) {
            continue;
        }
        b.proposals[i] = nearest;
    }
    int made = 0;
    for (int i = 0; i < dots; ++i) {
        if (b.proposals[i] >= 0) {
            links.centreOfDot[i] = b.proposals[i];
            b.dotOfCentre[b.proposals[i]] = i;
            b.predictions[i] = cv::Point2f(none, none);
            ++made;
        }
    }
    return made;
}

// Step 3: predicts every dot not linked yet by the affine motion since the last frame of its
// linked neighbours, or of all linked dots when too few of those are. False when nothing is
// linked.
bool predictFromLinked(const std::vector<cv::Point2f>& centres, double spacing, DotLinks& links) {
    LinkBuffers& b = links.buffers;
    const int dots = static_cast<int>(links.dotCount());
    const double spread = leastSpread * spacing * spacing;
    b.from.clear();
    b.to.clear();
    for (int i = 0; i < dots; ++i) {
        if (links.centreOfDot[i] >= 0) {
            b.from.push_back(links.estimates[i]);
            b.to.push_back(centres[links.centreOfDot[i]]);
        }
    }
    if (b.from.empty()) {
        return false;
    }
    cv::Matx23d whole, local;
    const bool wholeFitted = fitAffineMap(b.from, b.to, spread, whole);
    for (int i = 0; i < dots; ++i) {
        if (links.centreOfDot[i] >= 0 || !isLookedFor(links, i)) {
            continue;
        }
        b.from.clear();
        b.to.clear();
        for (const int k : links.neighbours[i]) {
            if (links.centreOfDot[k] >= 0) {
                b.from.push_back(links.estimates[k]);
                b.to.push_back(centres[links.centreOfDot[k]]);
            }
        }
        if (fitAffineMap(b.from, b.to, spread, local)) {
            b.predictions[i] = mapPoint(local, links.estimates[i]);
        } else {
            b.predictions[i] =
                wholeFitted ? mapPoint(whole, links.estimates[i]) : cv::Point2f(none, none);
        }
    }
    return true;
}

// The surface's least stretch since the reference frame, from the affine fit of the linked
// dots' references to their centres; unchanged when they do not fix one.
void measureStretch(const std::vector<cv::Point2f>& centres, DotLinks& links) {
    LinkBuffers& b = links.buffers;
    b.from.clear();
    b.to.clear();
    for (std::size_t i = 0; i < links.dotCount(); ++i) {
        if (links.centreOfDot[i] >= 0) {
            b.from.push_back(links.references[i]);
            b.to.push_back(centres[links.centreOfDot[i]]);
        }
    }
    cv::Matx23d map;
    if (!fitAffineMap(b.from, b.to, leastSpread * links.spacing.pitch * links.spacing.pitch, map)) {
        return;
    }
    // The smaller singular value of the map's linear part.
    const cv::Matx22d a(map(0, 0), map(0, 1), map(1, 0), map(1, 1));
    const cv::Matx22d gram = a.t() * a;
    const double half = (gram(0, 0) + gram(1, 1)) / 2;
    const double least = half - std::hypot((gram(0, 0) - gram(1, 1)) / 2, gram(0, 1));
    links.stretch = std::clamp(std::sqrt(std::max(least, 0.0)), leastStretch, mostStretch);
}

// Steps 1 to 3; leaves the predictions of the dots not linked in the buffers. The links made.
int linkKnownDots(const std::vector<cv::Point2f>& centres, DotLinks& links) {
    const double spacing = links.spacing.pitch * links.stretch;
    buildPointGrid(centres, candidateRadius * spacing, links.buffers.centreGrid);
    predictByVote(centres, spacing, links);
    int linked = 0;
    for (int round = 0, made = 0; (made = acceptLinks(centres, spacing, links)) > 0; ++round) {
        linked += made;
        if (round == predictionRounds || !predictFromLinked(centres, spacing, links)) {
            break;
        }
    }
    return linked;
}

}  // namespace

void matchDots(const std::vector<cv::Point2f>& centres, DotLinks& links) {
    LinkBuffers& b = links.buffers;
    const std::size_t dots = links.dotCount();
    makeRoom(b.dotOfCentre, centres.size());
    makeRoom(b.candidates, dots);
    makeRoom(b.from, dots);
    makeRoom(b.to, dots);
    links.centreOfDot.assign(dots, -1);
    b.dotOfCentre.assign(centres.size(), -1);
    b.predictions.assign(dots, cv::Point2f(none, none));
    const bool linked = dots > 0 && !centres.empty() && linkKnownDots(centres, links) > 0;
    updateStanding(centres, links);
    if (!linked) {
        return;  // nothing tells where the lost dots went: they stay where they were
    }
    for (std::size_t i = 0; i < dots; ++i) {
        if (links.centreOfDot[i] >= 0) {
            links.estimates[i] = centres[links.centreOfDot[i]];
        } else if (isMeasured(b.predictions[i])) {
            links.estimates[i] = b.predictions[i];
        }
    }
    measureStretch(centres, links);
}

void linkDots(const std::vector<cv::Point2f>& centres, DotLinks& links) {
    matchDots(centres, links);
    addNewDots(centres, links);
}

}  // namespace dottrack
