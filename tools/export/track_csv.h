#pragma once
// The export's CSV: one row per marker per pass, with coordinates that read back to the
// very floats the tracker holds.

#include <cstdint>
#include <string>

#include "app/track_frame.h"

namespace dottrack {

// The CSV's first line, with its newline.
extern const char* const trackCsvHeader;

// Replaces `rows` with one line per marker of `state`, for pass `pass` of frame
// `frameIndex`. `rows` keeps its buffer from call to call.
void formatTrackRows(std::int64_t pass, long frameIndex, const TrackState& state,
                     std::string& rows);

}  // namespace dottrack
