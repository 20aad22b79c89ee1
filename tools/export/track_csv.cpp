#include "tools/export/track_csv.h"

#include <algorithm>
#include <charconv>

namespace dottrack {

namespace {

// Longest text of a float or a 64-bit integer, with room to spare.
constexpr std::size_t numberRoom = 32;

// Appends `value` in decimal; a float in the shortest form that reads back to the same float.
template <typename Number>
void appendNumber(Number value, std::string& text) {
    char digits[numberRoom];
    const std::to_chars_result result = std::to_chars(digits, digits + numberRoom, value);
    text.append(digits, result.ptr);
}

}  // namespace

const char* const trackCsvHeader = "pass,frame,marker,ref_x,ref_y,x,y,target,target_x,target_y\n";

void formatTrackRows(std::int64_t pass, long frameIndex, const TrackState& state,
                     std::string& rows) {
    rows.clear();
    const std::size_t markerCount = std::min(state.refMarkers.size(), state.markers.size());
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
        rows += '\n';
    }
}

}  // namespace dottrack
