#include "tools/export/track_csv.h"

#include <algorithm>
#include <cmath>

#include "output/output.h"

namespace dottrack {

namespace {

// Appends ",x,y", or ",," when the position was not measured.
void appendMeasured(cv::Point2f position, std::string& text) {
    text += ',';
    if (isMeasured(position)) {
        appendNumber(position.x, text);
        text += ',';
        appendNumber(position.y, text);
    } else {
        text += ',';
    }
}

}  // namespace

const char* const trackCsvHeader =
    "pass,frame,marker,ref_x,ref_y,x,y,target,target_x,target_y,centre_x,centre_y,disp_x,"
    "disp_y\n";
const char* const motionCsvHeader =
    "pass,frame,markers,inliers,tx,ty,rotation_deg,scale,shear_1,shear_2,rms\n";

void formatTrackRows(std::int64_t pass, long frameIndex, const TrackState& state,
                     const Measurement& measurement, std::string& rows) {
    rows.clear();
    const std::size_t markerCount = std::min(state.refMarkers.size(), state.markers.size());
    const cv::Point2f none(NAN, NAN);
    for (std::size_t i = 0; i < markerCount; ++i) {
        appendNumber(pass, rows);
        rows += ',';
        appendNumber(frameIndex, rows);
        rows += ',';
        appendNumber(i, rows);
        rows += ',';
        appendNumber(state.refMarkers[i].x, rows);
        rows += ',';
        appendNumber(state.refMarkers[i].y, rows);
        rows += ',';
        appendNumber(state.markers[i].x, rows);
        rows += ',';
        appendNumber(state.markers[i].y, rows);
        rows += ',';
        const int held = i < state.assignment.size() ? state.assignment[i] : -1;
        if (held >= 0 && static_cast<std::size_t>(held) < state.targets.size()) {
            appendNumber(held, rows);
            rows += ',';
            appendNumber(state.targets[held].x, rows);
            rows += ',';
            appendNumber(state.targets[held].y, rows);
        } else {
            rows += "-1,,";
        }
        appendMeasured(i < measurement.centres.size() ? measurement.centres[i] : none, rows);
        appendMeasured(i < measurement.displacements.size() ? measurement.displacements[i] : none,
                       rows);
        rows += '\n';
    }
}

void formatMotionRow(std::int64_t pass, long frameIndex, const SurfaceMotion& motion,
                     std::string& row) {
    row.clear();
    appendNumber(pass, row);
    row += ',';
    appendNumber(frameIndex, row);
    appendMotionFields(motion, row);
    row += '\n';
}

}  // namespace dottrack
