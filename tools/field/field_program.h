#pragma once
// dottrack-field's parts: the run of one source through the field measurement, and what is
// written and shown of it (the two CSV files, the live window, the video of the view). The
// single run and every job of a batch go through `measureSource`.

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "batch/batch.h"
#include "field/field.h"
#include "output/output.h"
#include "tools/field/field_view.h"

namespace dottrack {

// ------------------------------------------------------------------------------- One run

// What a run reads and writes.
struct FieldRunSettings {
    std::string source;
    std::string dotsPath;  // empty: the dots' CSV goes to standard output
    std::string motionPath;
    std::string videoPath;
    std::int64_t frameLimit = 0;  // 0: one trip through a file, or until a live source stops
    bool decodeAhead = true;      // decode the next frames on a second thread
    bool show = false;            // the live window
    FieldQuantity colour = FieldQuantity::disp;
    // The camera and the scale, read once for every run (`readFieldUnits`). With a scale
    // both files gain their millimetres' columns.
    FieldUnits units;
};

// Measures every frame of `settings.source` and writes its outputs; the outcome counts
// frames. Throws RunError (with the
// one line that says why), Interrupted or an OpenCV error on failure, having removed every
// output it started; but a live source's frame that cannot be measured ends its run with the
// outputs of the frames before it complete, and then a RunError.
RunOutcome measureSource(const FieldRunSettings& settings, const ProgressHooks& progress);

// ----------------------------------------------------------------------------- CSV files

// The first lines of the two files, with their newlines: without a scale, and with one
// (the millimetres' columns appended).
extern const char* const dotsCsvHeader;
extern const char* const dotsCsvHeaderMm;
extern const char* const fieldMotionCsvHeader;
extern const char* const fieldMotionCsvHeaderMm;

// Replaces `rows` with one line per dot that outputs list (`isListed`), in increasing dot
// number, for frame `frameIndex` of the source; with `millimetres`, the columns of
// dotsCsvHeaderMm. `rows` keeps its buffer from call to call.
void formatDotRows(long frameIndex, const FieldRun& run, bool millimetres, std::string& rows);

// Replaces `row` with the line of the surface's motion in frame `frameIndex`, with
// `millimetres` the columns of fieldMotionCsvHeaderMm; the fit's fields are empty when the
// frame has none.
void formatFieldMotionRow(long frameIndex, const FieldResult& result, bool millimetres,
                          std::string& row);

// ------------------------------------------------------------------------ The live window

// The window's name: one window, whatever the source.
constexpr const char* fieldWindowName = "dottrack-field";

struct FieldWindow {
    bool sized = false;  // fitted to the first frame shown
};

// Opens the window. Returns why it cannot (no display), or an empty string.
std::string openFieldWindow(FieldWindow& window);

// Shows one frame's view; true when a key was pressed in the window.
bool showFieldView(const cv::Mat& view, FieldWindow& window);

// -------------------------------------------------------------------- The video of the view

// The view of every frame as an MJPG AVI, written under a temporary name beside the final
// one and renamed into place when complete, like every output.
struct FieldVideo {
    std::string path;      // the final name
    std::string tempPath;  // empty when no temporary file exists
    double fps = 0;
    cv::VideoWriter writer;
};

// Claims a temporary file beside `path` (so that a folder that cannot be written fails before
// the source is opened). Returns what went wrong, or an empty string.
std::string reserveFieldVideo(const std::string& path, FieldVideo& video);

// Appends `view` (BGR) to the video, opening it at the first frame with `fps` frames a second
// (the source's, when known). Throws RunError when it cannot be written.
void writeFieldVideoFrame(const cv::Mat& view, double fps, FieldVideo& video);

// Finishes the video and renames it into place. Returns what went wrong (the temporary file is
// then removed), or an empty string.
std::string commitFieldVideo(FieldVideo& video);

// Closes and removes the temporary file, if there is one.
void discardFieldVideo(FieldVideo& video);

}  // namespace dottrack
