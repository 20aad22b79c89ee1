#include <algorithm>
#include <cmath>
#include <limits>

#include "field/field.h"

namespace dottrack {

namespace {

const float none = std::numeric_limits<float>::quiet_NaN();

// A centre is a new dot only when no confirmed dot could be it: none predicted, and none
// whose reference lies, within this many pitches of it. A dot that is back, but not where
// its neighbours put it closely enough to be linked, then stays unlinked rather than being
// numbered twice; the next frame may link it. A dot seen in one frame only (most likely a
// stray centre of the finder) keeps no other from being numbered.
constexpr double newDotClearance = 0.5;
// The linked dots that map a new dot back: all within this many pitches. Wider than the
// neighbourhood of the strain, as the map is extrapolated to a dot coming into view beside
// them, and the dots coming in after it are mapped back through it in turn: a narrow fit's
// error in slope would be carried on from row to row (on a slide a third of the view out and
// back, 0.55 px at the 95th percentile with 2.5 pitches, 0.09 px with 5).
constexpr double mapBackRadius = 5.0;
// Least spread of the linked neighbours that map a new dot back, in squared pitches.
constexpr double leastSpread = 0.5;
// Room made for dots seen later, over those of the reference frame.
constexpr std::size_t reserveFactor = 2;
// Room in each dot's list of neighbours, over the most that any dot of the reference frame
// has: a dot at the edge of the view gains neighbours as dots come into view beside it.
constexpr std::size_t neighbourRoomFactor = 2;

// The finite centres without a dot, in reading order: in rows a pitch high from the
// topmost, left to right within a row.
void orderForReading(const std::vector<cv::Point2f>& centres, double spacing,
                     LinkBuffers& buffers) {
    std::vector<int>& order = buffers.order;
    order.clear();
    makeRoom(order, centres.size());
    float top = std::numeric_limits<float>::infinity();
    for (std::size_t c = 0; c < centres.size(); ++c) {
        if (buffers.dotOfCentre[c] < 0 && std::isfinite(centres[c].x) &&
            std::isfinite(centres[c].y)) {
            order.push_back(static_cast<int>(c));
            top = std::min(top, centres[c].y);
        }
    }
    const auto row = [&](int c) { return std::floor((centres[c].y - top) / spacing + 0.5); };
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        const double rowA = row(a), rowB = row(b);
        if (rowA != rowB) {
            return rowA < rowB;
        }
        return centres[a].x != centres[b].x ? centres[a].x < centres[b].x : a < b;
    });
}

void addDot(DotLinks& links, int centre, cv::Point2f position, cv::Point2f reference) {
    links.buffers.dotOfCentre[centre] = static_cast<int>(links.dotCount());
    links.references.push_back(reference);
    links.estimates.push_back(position);
    std::vector<std::vector<int>>& spare = links.buffers.spareNeighbours;
    if (spare.empty()) {
        links.neighbours.emplace_back();
    } else {
        links.neighbours.push_back(std::move(spare.back()));
        spare.pop_back();
    }
    links.centreOfDot.push_back(centre);
    links.unseenFrames.push_back(0);
    links.standing.push_back(DotStanding::seenOnce);
    links.buffers.predictions.push_back(cv::Point2f(none, none));
}

// The reference position of the centre `centre` (of no dot yet): the affine map from the
// linked dots around it now back to their references, applied to it. False when too few of
// them, or too nearly in a line, fix that map.
bool mapBack(const std::vector<cv::Point2f>& centres, int centre, double spacing,
             std::size_t knownDots, DotLinks& links, cv::Point2f& reference) {
    LinkBuffers& b = links.buffers;
    findPointsNear(b.centreGrid, centres, centres[centre], mapBackRadius * spacing, b.near);
    b.from.clear();
    b.to.clear();
    for (const int c : b.near) {
        const int dot = b.dotOfCentre[c];
        if (dot >= 0 && static_cast<std::size_t>(dot) < knownDots) {
            b.from.push_back(centres[c]);
            b.to.push_back(links.references[dot]);
        }
    }
    cv::Matx23d map;
    if (!fitAffineMap(b.from, b.to, leastSpread * spacing * spacing, map)) {
        return false;
    }
    const cv::Point2f p = centres[centre];
    reference = cv::Point2f(static_cast<float>(map(0, 0) * p.x + map(0, 1) * p.y + map(0, 2)),
                            static_cast<float>(map(1, 0) * p.x + map(1, 1) * p.y + map(1, 2)));
    return true;
}

// Whether a centre is clear of every confirmed dot (no pending prediction near it now, no
// reference near the point it maps back to) and of the dots added this frame.
bool isClearOfKnownDots(const std::vector<cv::Point2f>& centres, int centre, cv::Point2f reference,
                        double spacing, std::size_t knownDots, DotLinks& links) {
    LinkBuffers& b = links.buffers;
    const double clearance = newDotClearance * spacing;
    findPointsNear(b.predictionGrid, b.predictions, centres[centre], clearance, b.nearOther);
    for (const int dot : b.nearOther) {
        if (isMeasured(b.predictions[dot]) && links.standing[dot] == DotStanding::confirmed) {
            return false;
        }
    }
    findPointsNear(b.referenceGrid, links.references, reference,
                   newDotClearance * links.spacing.pitch, b.nearOther);
    for (const int dot : b.nearOther) {
        if (links.standing[dot] == DotStanding::confirmed) {
            return false;
        }
    }
    findPointsNear(b.centreGrid, centres, centres[centre], clearance, b.nearOther);
    return std::none_of(b.nearOther.begin(), b.nearOther.end(),
                        [&](int c) { return b.dotOfCentre[c] >= static_cast<int>(knownDots); });
}

// Each dot from `firstNew` on learns its neighbours in the reference frame, and they it.
void connectNewDots(std::size_t firstNew, DotLinks& links) {
    LinkBuffers& b = links.buffers;
    buildPointGrid(links.references, links.spacing.pitch, b.referenceGrid);
    for (std::size_t i = firstNew; i < links.dotCount(); ++i) {
        findPointsNear(b.referenceGrid, links.references, links.references[i],
                       neighbourRadius * links.spacing.pitch, b.near);
        std::sort(b.near.begin(), b.near.end());
        for (const int j : b.near) {
            if (static_cast<std::size_t>(j) == i) {
                continue;
            }
            links.neighbours[i].push_back(j);
            if (static_cast<std::size_t>(j) < firstNew) {
                links.neighbours[j].push_back(static_cast<int>(i));
            }
        }
    }
}

// The reference frame: every centre is a dot, where it is.
void startReference(const std::vector<cv::Point2f>& centres, DotLinks& links) {
    LinkBuffers& b = links.buffers;
    const DotSpacing spacing = measureDotSpacing(centres, b.referenceGrid);
    if (!(spacing.pitch > 0)) {
        return;  // fewer than two dots, or all in one place: no scale to link by yet
    }
    links.spacing = spacing;
    links.stretch = 1;
    orderForReading(centres, spacing.pitch, b);
    const std::size_t room = reserveFactor * b.order.size();
    links.references.reserve(room);
    links.estimates.reserve(room);
    links.neighbours.reserve(room);
    links.centreOfDot.reserve(room);
    links.unseenFrames.reserve(room);
    links.standing.reserve(room);
    b.predictions.reserve(room);
    b.proposals.reserve(room);
    b.candidateStart.reserve(room + 1);
    // The buffers of linking, with room for as many centres as dots: the frames after this
    // one allocate nothing unless they hold far more.
    for (PointGrid* grid : {&b.centreGrid, &b.predictionGrid, &b.referenceGrid}) {
        reservePointGrid(room, *grid);
    }
    for (std::vector<int>* list :
         {&b.dotOfCentre, &b.candidates, &b.near, &b.nearOther, &b.order}) {
        list->reserve(room);
    }
    b.from.reserve(room);
    b.to.reserve(room);
    for (const int c : b.order) {
        addDot(links, c, centres[c], centres[c]);
    }
    connectNewDots(0, links);
    // Every list of neighbours, and one for each dot the room is made for, with room enough
    // that dots seen later join them without an allocation.
    std::size_t most = 0;
    for (const std::vector<int>& around : links.neighbours) {
        most = std::max(most, around.size());
    }
    const std::size_t listRoom = neighbourRoomFactor * most;
    for (std::vector<int>& around : links.neighbours) {
        around.reserve(listRoom);
    }
    b.spareNeighbours.resize(room - std::min(room, links.dotCount()));
    for (std::vector<int>& around : b.spareNeighbours) {
        around.reserve(listRoom);
    }
}

}  // namespace

void addNewDots(const std::vector<cv::Point2f>& centres, DotLinks& links) {
    LinkBuffers& b = links.buffers;
    if (!links.started()) {
        b.dotOfCentre.assign(centres.size(), -1);
        startReference(centres, links);
        return;
    }
    const std::size_t knownDots = links.dotCount();
    const double spacing = links.spacing.pitch * links.stretch;
    orderForReading(centres, spacing, b);
    for (const int c : b.order) {
        cv::Point2f reference;
        if (mapBack(centres, c, spacing, knownDots, links, reference) &&
            isClearOfKnownDots(centres, c, reference, spacing, knownDots, links)) {
            addDot(links, c, centres[c], reference);
        }
    }
    if (links.dotCount() > knownDots) {
        connectNewDots(knownDots, links);
    }
}

}  // namespace dottrack
