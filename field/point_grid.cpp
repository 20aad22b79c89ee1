#include <algorithm>
#include <cmath>
#include <limits>

#include "field/field.h"

namespace dottrack {

namespace {

// Most cells per point: beyond it the cells grow, so that a few points far apart (a stray
// centre, far more dots than expected) never make a grid larger than the points warrant.
constexpr double cellsPerPoint = 16.0;
constexpr double fewestCells = 256.0;

bool isFinite(cv::Point2f p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

// The range of cells [first, last] along one axis that reach from `low` to `high`; empty
// (first > last) when none does. Clamped in double, so that no place, however far, overflows.
void cellRange(double low, double high, double origin, double cellSize, int cells, int& first,
               int& last) {
    const double from = std::floor((low - origin) / cellSize);
    const double to = std::floor((high - origin) / cellSize);
    if (!(to >= 0) || !(from <= cells - 1)) {
        first = 0;
        last = -1;
        return;
    }
    first = static_cast<int>(std::max(from, 0.0));
    last = static_cast<int>(std::min(to, static_cast<double>(cells - 1)));
}

}  // namespace

void buildPointGrid(const std::vector<cv::Point2f>& points, double cellSize, PointGrid& grid) {
    double minX = std::numeric_limits<double>::infinity(), minY = minX;
    double maxX = -minX, maxY = -minX;
    int count = 0;
    for (const cv::Point2f& p : points) {
        if (isFinite(p)) {
            minX = std::min(minX, static_cast<double>(p.x));
            minY = std::min(minY, static_cast<double>(p.y));
            maxX = std::max(maxX, static_cast<double>(p.x));
            maxY = std::max(maxY, static_cast<double>(p.y));
            ++count;
        }
    }
    makeRoom(grid.cellOfPoint, points.size());
    makeRoom(grid.entries, static_cast<std::size_t>(count));
    grid.cellOfPoint.assign(points.size(), -1);
    grid.entries.resize(static_cast<std::size_t>(count));
    if (count == 0) {
        grid.columns = grid.rows = 0;
        grid.cellStart.assign(1, 0);
        return;
    }
    double cell = std::max(cellSize, 1e-3);
    const double mostCells = cellsPerPoint * count + fewestCells;
    while ((std::floor((maxX - minX) / cell) + 1) * (std::floor((maxY - minY) / cell) + 1) >
           mostCells) {
        cell *= 2;
    }
    grid.cellSize = cell;
    grid.origin = cv::Point2d(minX, minY);
    grid.columns = static_cast<int>(std::floor((maxX - minX) / cell)) + 1;
    grid.rows = static_cast<int>(std::floor((maxY - minY) / cell)) + 1;
    const int cells = grid.columns * grid.rows;
    // A counting sort: counts, then starts, then each point placed at its cell's cursor,
    // which leaves every start one cell on; shifting back restores them.
    makeRoom(grid.cellStart, static_cast<std::size_t>(cells) + 1);
    grid.cellStart.assign(static_cast<std::size_t>(cells) + 1, 0);
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (isFinite(points[i])) {
            const int column =
                std::min(static_cast<int>((points[i].x - minX) / cell), grid.columns - 1);
            const int row = std::min(static_cast<int>((points[i].y - minY) / cell), grid.rows - 1);
            grid.cellOfPoint[i] = row * grid.columns + column;
            ++grid.cellStart[static_cast<std::size_t>(grid.cellOfPoint[i]) + 1];
        }
    }
    for (int c = 0; c < cells; ++c) {
        grid.cellStart[c + 1] += grid.cellStart[c];
    }
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (grid.cellOfPoint[i] >= 0) {
            grid.entries[grid.cellStart[grid.cellOfPoint[i]]++] = static_cast<int>(i);
        }
    }
    for (int c = cells; c > 0; --c) {
        grid.cellStart[c] = grid.cellStart[c - 1];
    }
    grid.cellStart[0] = 0;
}

void reservePointGrid(std::size_t points, PointGrid& grid) {
    grid.cellOfPoint.reserve(points);
    grid.entries.reserve(points);
    grid.cellStart.reserve(
        static_cast<std::size_t>(cellsPerPoint * static_cast<double>(points) + fewestCells) + 1);
}

void findPointsNear(const PointGrid& grid, const std::vector<cv::Point2f>& points,
                    cv::Point2d place, double radius, std::vector<int>& near) {
    near.clear();
    if (grid.columns == 0 || !std::isfinite(place.x) || !std::isfinite(place.y)) {
        return;
    }
    int firstColumn, lastColumn, firstRow, lastRow;
    cellRange(place.x - radius, place.x + radius, grid.origin.x, grid.cellSize, grid.columns,
              firstColumn, lastColumn);
    cellRange(place.y - radius, place.y + radius, grid.origin.y, grid.cellSize, grid.rows, firstRow,
              lastRow);
    const double reach = radius * radius;
    for (int row = firstRow; row <= lastRow; ++row) {
        const int rowStart = row * grid.columns;
        for (int k = grid.cellStart[rowStart + firstColumn];
             k < grid.cellStart[rowStart + lastColumn + 1]; ++k) {
            const int index = grid.entries[k];
            const double dx = points[index].x - place.x, dy = points[index].y - place.y;
            if (dx * dx + dy * dy <= reach) {
                near.push_back(index);
            }
        }
    }
}

void findNearestDistances(const PointGrid& grid, const std::vector<cv::Point2f>& points, int index,
                          int count, std::vector<double>& distances) {
    distances.clear();
    const int home = grid.cellOfPoint[index];
    if (home < 0 || count <= 0) {
        return;
    }
    const int homeColumn = home % grid.columns, homeRow = home / grid.columns;
    const cv::Point2f p = points[index];
    // Ring r holds the cells r steps from the home cell; every point beyond it lies farther
    // than r cells from any place in the home cell.
    const int lastRing = std::max(grid.columns, grid.rows);
    for (int ring = 0; ring <= lastRing; ++ring) {
        for (int row = homeRow - ring; row <= homeRow + ring; ++row) {
            if (row < 0 || row >= grid.rows) {
                continue;
            }
            const bool edgeRow = row == homeRow - ring || row == homeRow + ring;
            const int step = edgeRow ? 1 : std::max(2 * ring, 1);
            for (int column = homeColumn - ring; column <= homeColumn + ring; column += step) {
                if (column < 0 || column >= grid.columns) {
                    continue;
                }
                const int cell = row * grid.columns + column;
                for (int k = grid.cellStart[cell]; k < grid.cellStart[cell + 1]; ++k) {
                    const int other = grid.entries[k];
                    if (other == index) {
                        continue;
                    }
                    const double d = std::hypot(static_cast<double>(points[other].x) - p.x,
                                                static_cast<double>(points[other].y) - p.y);
                    if (static_cast<int>(distances.size()) < count) {
                        distances.push_back(d);
                    } else if (d < distances.back()) {
                        distances.back() = d;
                    } else {
                        continue;
                    }
                    std::sort(distances.begin(), distances.end());
                }
            }
        }
        if (static_cast<int>(distances.size()) == count &&
            distances.back() <= ring * grid.cellSize) {
            return;
        }
    }
}

}  // namespace dottrack
