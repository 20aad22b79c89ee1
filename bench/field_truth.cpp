#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "bench/field_accuracy.h"
#include "cli/cli.h"

namespace dottrack {

namespace {

// The first columns of a field's truth; a lens or a pitch adds the surface's positions.
const char* const fieldTruthColumns = "frame,dot,x,y,visible";
const char* const placedTruthHeader =
    "frame,dot,x,y,visible,ideal_x,ideal_y,x_mm,y_mm,disp_x_mm,disp_y_mm";

// A centre within this of a true dot is that dot's; farther from every one, it is false.
constexpr double matchDistance = 0.5;

bool startsFieldTruth(const std::string& header) {
    return header.rfind(fieldTruthColumns, 0) == 0;
}

}  // namespace

bool isFieldTruth(const std::string& path) {
    std::ifstream in(path);
    std::string header;
    return std::getline(in, header) && startsFieldTruth(header);
}

FieldTruth readFieldTruth(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || !startsFieldTruth(line)) {
        throw RunError{path + " is not the truth of a field from dottrack-sample"};
    }
    const bool placed = line == placedTruthHeader;
    const int columns = placed ? 9 : 5;  // read; disp_x_mm, disp_y_mm follow from the rest
    FieldTruth truth;
    while (std::getline(in, line)) {
        long frame = 0;
        int visible = 0;
        FieldTruthDot t;
        cv::Point2d mm;
        if (std::sscanf(line.c_str(), "%ld,%d,%lf,%lf,%d,%lf,%lf,%lf,%lf", &frame, &t.dot,
                        &t.centre.x, &t.centre.y, &visible, &t.ideal.x, &t.ideal.y, &mm.x,
                        &mm.y) < columns ||
            t.dot < 0) {
            throw RunError{"malformed line in " + path + ": " + line};
        }
        t.visible = visible != 0;
        if (!placed) {
            t.ideal = t.centre;
        } else if (truth.mmPerPx == 0 && std::abs(t.ideal.x) > 1) {
            truth.mmPerPx = mm.x / t.ideal.x;
        }
        truth.frames[frame].push_back(t);
    }
    for (auto& [frame, dots] : truth.frames) {
        std::sort(dots.begin(), dots.end(), [](const FieldTruthDot& a, const FieldTruthDot& b) {
            return a.centre.x < b.centre.x;
        });
    }
    return truth;
}

int nearestTrueDot(const std::vector<FieldTruthDot>& dots, cv::Point2d point, double reach,
                   double& distance) {
    const auto first =
        std::lower_bound(dots.begin(), dots.end(), point.x - reach,
                         [](const FieldTruthDot& d, double x) { return d.centre.x < x; });
    int best = -1;
    distance = reach;
    for (auto d = first; d != dots.end() && d->centre.x <= point.x + reach; ++d) {
        const double gap = cv::norm(d->centre - point);
        if (gap <= distance) {
            best = static_cast<int>(d - dots.begin());
            distance = gap;
        }
    }
    return best;
}

void CentreFigures::add(const std::vector<FieldTruthDot>& dots,
                        const std::vector<cv::Point2f>& given) {
    std::vector<int> taken(dots.size(), 0);
    for (const cv::Point2f c : given) {
        double distance = 0;
        const int best = nearestTrueDot(dots, cv::Point2d(c), matchDistance, distance);
        ++centres;
        if (best < 0) {
            ++falseCentres;
        } else if (taken[best]++ > 0) {
            ++duplicates;
        } else if (!dots[best].visible) {
            ++onHidden;
        } else {
            error.add(distance);
            locking.add(c.x, dots[best].centre.x);
            locking.add(c.y, dots[best].centre.y);
        }
    }
    long visibleNow = 0, foundNow = 0;
    for (std::size_t i = 0; i < dots.size(); ++i) {
        visibleNow += dots[i].visible;
        foundNow += dots[i].visible && taken[i] > 0;
    }
    visible += visibleNow;
    found += foundNow;
    if (visibleNow > 0) {
        worstCoverage = std::min(worstCoverage, static_cast<double>(foundNow) / visibleNow);
    }
}

}  // namespace dottrack
