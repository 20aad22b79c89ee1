#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "tools/field/field_view.h"

namespace dottrack {

namespace {

// A triangle with an edge this many spacings long spans a hole, a covered region or the
// outside of the field, not the surface between neighbours.
constexpr double longestEdgeInSpacings = 1.8;
// The map is painted at most this many pixels wide and then enlarged: it is linear within a
// triangle, so the enlarged map differs from one painted at full size only along the edges.
constexpr int mapWidthLimit = 640;
// The light of the frame away from the painted triangles, 255 being the frame unchanged.
constexpr double dimmedLight = 0.45 * 255;
// How far a triangle's colour replaces the dimmed light.
constexpr double mapOpacity = 0.9;
// Dots a little outside the frame still shape the triangles along its border.
constexpr float outsideMargin = 64;
// Pixel centres within this distance of a triangle's edge belong to it, so that two triangles
// sharing an edge leave no pixel between them unpainted.
constexpr double edgeTolerance = 1e-4;

double edgeLength(cv::Point2f a, cv::Point2f b) {
    return std::hypot(static_cast<double>(a.x) - b.x, static_cast<double>(a.y) - b.y);
}

double longestEdge(const std::vector<cv::Point2f>& centres, const cv::Vec3i& triangle) {
    const cv::Point2f a = centres[triangle[0]], b = centres[triangle[1]], c = centres[triangle[2]];
    return std::max({edgeLength(a, b), edgeLength(b, c), edgeLength(c, a)});
}

// The span of row `y` inside the triangle `corners`: false when the row misses it.
bool rowSpan(const cv::Point2d* corners, double y, double& left, double& right) {
    left = INFINITY;
    right = -INFINITY;
    for (int i = 0; i < 3; ++i) {
        const cv::Point2d p = corners[i], q = corners[(i + 1) % 3];
        if (p.y == q.y || y < std::min(p.y, q.y) || y > std::max(p.y, q.y)) {
            continue;
        }
        const double x = p.x + (y - p.y) * (q.x - p.x) / (q.y - p.y);
        left = std::min(left, x);
        right = std::max(right, x);
    }
    return left <= right;
}

// Paints one triangle of the reduced map: `corners` in its pixels, `positions` the palette
// positions at the corners.
void paintTriangle(const cv::Point2d* corners, const double* positions, const cv::Vec3b* light,
                   cv::Mat& map) {
    const cv::Point2d u = corners[1] - corners[0], v = corners[2] - corners[0];
    const double area = u.x * v.y - u.y * v.x;
    if (std::abs(area) < 1e-9) {
        return;
    }
    // The palette position is a plane over the triangle: its slope along x and y.
    const double du = positions[1] - positions[0], dv = positions[2] - positions[0];
    const double slopeX = (du * v.y - dv * u.y) / area;
    const double slopeY = (dv * u.x - du * v.x) / area;
    const double top = std::min({corners[0].y, corners[1].y, corners[2].y});
    const double bottom = std::max({corners[0].y, corners[1].y, corners[2].y});
    const int firstRow = std::max(0, static_cast<int>(std::ceil(top - edgeTolerance)));
    const int lastRow =
        std::min(map.rows - 1, static_cast<int>(std::floor(bottom + edgeTolerance)));
    for (int y = firstRow; y <= lastRow; ++y) {
        double left, right;
        const double rowY = std::clamp(static_cast<double>(y), top, bottom);
        if (!rowSpan(corners, rowY, left, right)) {
            continue;
        }
        const int first = std::max(0, static_cast<int>(std::ceil(left - edgeTolerance)));
        const int last =
            std::min(map.cols - 1, static_cast<int>(std::floor(right + edgeTolerance)));
        cv::Vec3b* row = map.ptr<cv::Vec3b>(y);
        double position =
            positions[0] + slopeX * (first - corners[0].x) + slopeY * (y - corners[0].y) + 0.5;
        for (int x = first; x <= last; ++x, position += slopeX) {
            row[x] = light[static_cast<int>(std::clamp(position, 0.0, 255.0))];
        }
    }
}

}  // namespace

double triangulateDots(const std::vector<cv::Point2f>& centres, cv::Size frameSize,
                       FieldView& state) {
    state.triangles.clear();
    const cv::Rect2f bounds(-outsideMargin, -outsideMargin, frameSize.width + 2 * outsideMargin,
                            frameSize.height + 2 * outsideMargin);
    const auto inside = [&](cv::Point2f p) {
        return p.x >= bounds.x && p.y >= bounds.y && p.x < bounds.br().x && p.y < bounds.br().y;
    };
    const std::size_t usable = static_cast<std::size_t>(std::count_if(
        centres.begin(), centres.end(), [&](cv::Point2f p) { return isMeasured(p) && inside(p); }));
    if (usable < 3) {
        return 0;
    }
    // The first four vertices are the triangulation's own: a null one and the three corners
    // of the triangle enclosing every point. A dot at another's place adds none.
    constexpr int firstDotVertex = 4;
    state.triangulation.initDelaunay(bounds);
    state.dotOfVertex.assign(firstDotVertex + usable, -1);
    for (std::size_t dot = 0; dot < centres.size(); ++dot) {
        if (isMeasured(centres[dot]) && inside(centres[dot])) {
            int& owner = state.dotOfVertex[state.triangulation.insert(centres[dot])];
            owner = owner < 0 ? static_cast<int>(dot) : owner;
        }
    }
    state.triangulation.getLeadingEdgeList(state.leadingEdges);
    state.scratch.clear();
    for (const int edge : state.leadingEdges) {
        const int second = state.triangulation.getEdge(edge, cv::Subdiv2D::NEXT_AROUND_LEFT);
        const int third = state.triangulation.getEdge(second, cv::Subdiv2D::NEXT_AROUND_LEFT);
        const int a = state.triangulation.edgeOrg(edge), b = state.triangulation.edgeOrg(second),
                  c = state.triangulation.edgeOrg(third);
        if (a < firstDotVertex || b < firstDotVertex || c < firstDotVertex ||
            state.triangulation.getEdge(third, cv::Subdiv2D::NEXT_AROUND_LEFT) != edge) {
            continue;
        }
        const cv::Vec3i triangle(state.dotOfVertex[a], state.dotOfVertex[b], state.dotOfVertex[c]);
        state.triangles.push_back(triangle);
        for (int corner = 0; corner < 3; ++corner) {
            state.scratch.push_back(
                edgeLength(centres[triangle[corner]], centres[triangle[(corner + 1) % 3]]));
        }
    }
    if (state.triangles.empty()) {
        return 0;
    }
    const auto middle = state.scratch.begin() + state.scratch.size() / 2;
    std::nth_element(state.scratch.begin(), middle, state.scratch.end());
    const double spacing = *middle;
    const auto tooLong = [&](const cv::Vec3i& triangle) {
        return longestEdge(centres, triangle) > longestEdgeInSpacings * spacing;
    };
    state.triangles.erase(std::remove_if(state.triangles.begin(), state.triangles.end(), tooLong),
                          state.triangles.end());
    return spacing;
}

void paintTriangles(const std::vector<cv::Point2f>& centres, const std::vector<double>& positions,
                    const cv::Vec3b* palette, cv::Size frameSize, FieldView& state) {
    const int reduction = std::max(1, (frameSize.width + mapWidthLimit - 1) / mapWidthLimit);
    const cv::Size reduced((frameSize.width + reduction - 1) / reduction,
                           (frameSize.height + reduction - 1) / reduction);
    state.lightSmall.create(reduced, CV_8UC3);
    state.lightSmall.setTo(cv::Scalar::all(dimmedLight));
    cv::Vec3b light[256];
    for (int i = 0; i < 256; ++i) {
        for (int channel = 0; channel < 3; ++channel) {
            light[i][channel] = cv::saturate_cast<uchar>(dimmedLight * (1 - mapOpacity) +
                                                         palette[i][channel] * mapOpacity);
        }
    }
    // Pixel centres of the reduced map, as enlarging it will place them on the frame.
    const double scaleX = static_cast<double>(reduced.width) / frameSize.width;
    const double scaleY = static_cast<double>(reduced.height) / frameSize.height;
    for (const cv::Vec3i& triangle : state.triangles) {
        cv::Point2d corners[3];
        double cornerPositions[3];
        bool painted = true;
        for (int corner = 0; corner < 3; ++corner) {
            const int dot = triangle[corner];
            cornerPositions[corner] =
                dot < static_cast<int>(positions.size()) ? positions[dot] : NAN;
            painted = painted && std::isfinite(cornerPositions[corner]);
            corners[corner] = {(centres[dot].x + 0.5) * scaleX - 0.5,
                               (centres[dot].y + 0.5) * scaleY - 0.5};
        }
        if (painted) {
            paintTriangle(corners, cornerPositions, light, state.lightSmall);
        }
    }
    cv::resize(state.lightSmall, state.light, frameSize, 0, 0, cv::INTER_LINEAR);
}

}  // namespace dottrack
