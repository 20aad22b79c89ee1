#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "field/field.h"

namespace dottrack {

namespace {

// A candidate is darker than all but this many of the eight cells of its ring by at least
// this share of the depth it needs. The edge of a large dark object leaves half the ring
// dark; a neighbour, or a candidate off its dot's centre (a cell or so), one or two.
constexpr double ringDepthShare = 0.5;
constexpr int maxDarkOnRing = 2;

// Sums over s x s cells of the rows summed in `sums`, as rounded means: the cell's sum times
// `scale` / 65536. With the cell's side known when compiled, the loop vectorises.
template <int S>
void meanOfCells(const std::uint16_t* sums, int cols, std::uint32_t scale, unsigned char* out) {
    for (int cx = 0; cx < cols; ++cx) {
        std::uint32_t cell = 0;
        for (int i = 0; i < S; ++i) {
            cell += sums[cx * S + i];
        }
        out[cx] = static_cast<unsigned char>((cell * scale + 32768u) >> 16);
    }
}

// Means of `grey` over cells of s x s px (its last partial cells left out), rounded.
void reduceToCells(const cv::Mat& grey, int s, cv::Mat& coarse, std::vector<std::uint16_t>& sums) {
    const int cols = grey.cols / s, rows = grey.rows / s, width = cols * s;
    coarse.create(rows, cols, CV_8UC1);
    sums.resize(static_cast<std::size_t>(width));
    const std::uint32_t scale = (65536u + s * s / 2) / (s * s);
    for (int cy = 0; cy < rows; ++cy) {
        std::uint16_t* sum = sums.data();
        const unsigned char* first = grey.ptr<unsigned char>(cy * s);
        for (int x = 0; x < width; ++x) {
            sum[x] = first[x];
        }
        for (int j = 1; j < s; ++j) {
            const unsigned char* row = grey.ptr<unsigned char>(cy * s + j);
            for (int x = 0; x < width; ++x) {
                sum[x] = static_cast<std::uint16_t>(sum[x] + row[x]);
            }
        }
        unsigned char* out = coarse.ptr<unsigned char>(cy);
        switch (s) {
            case 1:
                meanOfCells<1>(sum, cols, scale, out);
                break;
            case 2:
                meanOfCells<2>(sum, cols, scale, out);
                break;
            case 3:
                meanOfCells<3>(sum, cols, scale, out);
                break;
            case 4:
                meanOfCells<4>(sum, cols, scale, out);
                break;
            default:  // cells of large dots: few of them
                for (int cx = 0; cx < cols; ++cx) {
                    std::uint32_t cell = 0;
                    for (int i = 0; i < s; ++i) {
                        cell += sum[cx * s + i];
                    }
                    out[cx] = static_cast<unsigned char>((cell * scale + 32768u) >> 16);
                }
        }
    }
}

// Sums of `coarse` over the 3 x 3 cells around each cell; the outermost cells, which no
// candidate is compared with, are left as they are.
void smoothCells(const cv::Mat& coarse, cv::Mat& smoothed, std::vector<std::uint16_t>& sums) {
    smoothed.create(coarse.size(), CV_16UC1);
    sums.resize(static_cast<std::size_t>(coarse.cols));
    for (int y = 1; y + 1 < coarse.rows; ++y) {
        const unsigned char* a = coarse.ptr<unsigned char>(y - 1);
        const unsigned char* b = coarse.ptr<unsigned char>(y);
        const unsigned char* c = coarse.ptr<unsigned char>(y + 1);
        std::uint16_t* column = sums.data();
        for (int x = 0; x < coarse.cols; ++x) {
            column[x] = static_cast<std::uint16_t>(a[x] + b[x] + c[x]);
        }
        std::uint16_t* out = smoothed.ptr<std::uint16_t>(y);
        for (int x = 1; x + 1 < coarse.cols; ++x) {
            out[x] = static_cast<std::uint16_t>(column[x - 1] + column[x] + column[x + 1]);
        }
    }
}

// The cells whose centres lie in `frame`, for cells of s x s px.
cv::Rect cellsIn(cv::Rect frame, int s) {
    const auto first = [s](int start) {
        return static_cast<int>(std::ceil(start / static_cast<double>(s) - 0.5));
    };
    const auto end = [s](int stop) {
        return static_cast<int>(std::floor(stop / static_cast<double>(s) - 0.5));
    };
    return {first(frame.x), first(frame.y), end(frame.x + frame.width) - first(frame.x),
            end(frame.y + frame.height) - first(frame.y)};
}

}  // namespace

bool findDotCandidates(const cv::Mat& paddedGrey, cv::Rect frame, const CandidateRule& rule,
                       DotFinder& f) {
    reduceToCells(paddedGrey, rule.reduction, f.coarse, f.rowSums);
    smoothCells(f.coarse, f.smoothed, f.rowSums);
    const cv::Rect cells = cellsIn(frame, rule.reduction);
    const cv::Mat& s = f.smoothed;
    const int cols = s.cols, rows = s.rows;
    f.candidates.clear();
    f.minima.resize(static_cast<std::size_t>(cols));
    cv::integral(f.coarse, f.coarseSums, CV_32S);
    cv::Point ring[8];
    const int diagonal = static_cast<int>(std::lround(rule.ringCells / std::sqrt(2.0)));
    for (int k = 0; k < 8; ++k) {
        const int steps[8][2] = {{1, 0}, {-1, 0}, {0, 1},  {0, -1},
                                 {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
        const int reach = k < 4 ? rule.ringCells : diagonal;
        ring[k] = cv::Point(steps[k][0] * reach, steps[k][1] * reach);
    }
    for (int y = cells.y; y < cells.y + cells.height; ++y) {
        const std::uint16_t* a = s.ptr<std::uint16_t>(y - 1);
        const std::uint16_t* b = s.ptr<std::uint16_t>(y);
        const std::uint16_t* c = s.ptr<std::uint16_t>(y + 1);
        std::uint8_t* minimum = f.minima.data();
        // Strictly below the neighbours before it, not above those after: one cell of a
        // plateau. Written to vectorise.
        for (int x = cells.x; x < cells.x + cells.width; ++x) {
            const std::uint16_t v = b[x];
            minimum[x] = static_cast<std::uint8_t>((v < a[x - 1]) & (v < a[x]) & (v < a[x + 1]) &
                                                   (v < b[x - 1]) & (v <= b[x + 1]) &
                                                   (v <= c[x - 1]) & (v <= c[x]) & (v <= c[x + 1]));
        }
        for (int x = cells.x; x < cells.x + cells.width; ++x) {
            // Most cells are no minimum: eight at a time are passed over.
            std::uint64_t eight = 0;
            if (x + 8 <= cells.x + cells.width) {
                std::memcpy(&eight, minimum + x, sizeof eight);
                if (eight == 0) {
                    x += 7;
                    continue;
                }
            }
            if (minimum[x] == 0) {
                continue;
            }
            const int left = std::max(0, x - rule.surroundCells);
            const int right = std::min(cols, x + rule.surroundCells + 1);
            const int top = std::max(0, y - rule.surroundCells);
            const int bottom = std::min(rows, y + rule.surroundCells + 1);
            const cv::Mat& sums = f.coarseSums;
            const double surface =
                static_cast<double>(sums.at<int>(bottom, right) - sums.at<int>(top, right) -
                                    sums.at<int>(bottom, left) + sums.at<int>(top, left)) /
                ((right - left) * (bottom - top));
            const double level = b[x] / 9.0;
            const double needed = std::max(rule.depth, rule.depthShare * surface);
            if (surface - level < needed) {
                continue;
            }
            int dark = 0;
            for (int k = 0; k < 8 && rule.ringCells > 0; ++k) {
                const int rx = std::clamp(x + ring[k].x, 0, cols - 1);
                const int ry = std::clamp(y + ring[k].y, 0, rows - 1);
                dark += f.coarse.at<unsigned char>(ry, rx) < level + ringDepthShare * needed;
            }
            if (dark > maxDarkOnRing) {
                continue;
            }
            if (f.candidates.size() == static_cast<std::size_t>(maxDotCandidates)) {
                return false;
            }
            f.candidates.emplace_back(x, y);
        }
    }
    return true;
}

}  // namespace dottrack
