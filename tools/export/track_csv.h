#pragma once
// The export's CSV files: every marker's track, one row per marker per pass, and the
// surface's motion, one row per pass. Coordinates read back to the very floats the tracker
// holds.

#include <cstdint>
#include <string>

#include "measure/measure.h"
#include "pipeline/pipeline.h"

namespace dottrack {

// The first lines of the two files, with their newlines.
extern const char* const trackCsvHeader;
extern const char* const motionCsvHeader;

// Replaces `rows` with one line per marker of `state`, for pass `pass` of frame
// `frameIndex`, with what `measurement` holds of each marker. `rows` keeps its buffer
// from call to call.
void formatTrackRows(std::int64_t pass, long frameIndex, const TrackState& state,
                     const Measurement& measurement, std::string& rows);

// Replaces `row` with the line of the surface's motion in pass `pass` of frame `frameIndex`;
// the fit's fields are empty when the pass has none.
void formatMotionRow(std::int64_t pass, long frameIndex, const SurfaceMotion& motion,
                     std::string& row);

}  // namespace dottrack
