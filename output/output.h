#pragma once
// What the programs write and how: files that appear only when complete, numbers in the
// shortest text that reads back to the very value held, and a progress line on standard
// error.

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace dottrack {

struct SurfaceMotion;  // measure/measure.h

// An output file written under a temporary name beside the final one and renamed into
// place when complete, or removed when the run fails.
struct PendingOutput {
    std::string path;      // the final name
    std::string tempPath;  // empty when no temporary file exists
    std::FILE* file = nullptr;
};

// Creates the temporary file for `path` in the same directory (a device or a pipe, such as
// /dev/null, is opened in place instead). Returns what went wrong, or an empty string on
// success.
std::string openPendingOutput(const std::string& path, PendingOutput& output);

// Closes the temporary file and renames it to the final name. Returns what went wrong (the
// temporary file is then removed), or an empty string on success.
std::string commitPendingOutput(PendingOutput& output);

// Closes and removes the temporary file, if there is one.
void discardPendingOutput(PendingOutput& output);

// The same for a run, which a failure ends (RunError, cli/cli.h, with what went wrong):
// opens `output` for `path`, or nothing when `path` is empty...
void openOutput(const std::string& path, PendingOutput& output);
// ... commits it when it was opened...
void commitOutput(PendingOutput& output);
// ... and writes `rows` to its file, `name` naming it should the write fail.
void writeRows(std::FILE* file, const std::string& rows, const std::string& name);

// Appends `value` in decimal to `text`; a float or double in the shortest form that reads
// back to the same value (std::to_chars), never more digits than that and never fewer.
template <typename Number>
void appendNumber(Number value, std::string& text) {
    // Longest text of a double or a 64-bit integer, with room to spare.
    char digits[32];
    const std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, result.ptr);
}

// Appends the surface motion's fields, each after a comma: the markers, the inliers (0 when no
// fit held), then tx, ty, rotation_deg, scale, shear_1, shear_2 and rms, empty when no fit
// held. Every program's motion CSV writes them so.
void appendMotionFields(const SurfaceMotion& motion, std::string& text);

// A one-line progress bar on standard error: the steps done (passes, frames), the steps per
// second and, when the length of the run is known, a bar and the time left.
struct ProgressBar {
    bool shown = false;
    std::string label;            // shown before the counts, when not empty
    std::string unit = "passes";  // what the counts count
    std::int64_t expected = 0;    // steps, 0 when unknown
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDrawn;
    bool drawn = false;
};

// Starts timing the run; the bar is drawn only when `shown`.
void startProgress(ProgressBar& bar, bool shown, std::int64_t expected);

// Redraws the bar after `done` steps, at most ten times a second.
void updateProgress(ProgressBar& bar, std::int64_t done);

// Draws the final state and ends the line.
void finishProgress(ProgressBar& bar, std::int64_t done);

// Ends the line of a bar already drawn, so that a message can follow on a line of its own.
void abandonProgress(ProgressBar& bar);

// Hooks through which a run tells how far it has got: before its first step (with the steps
// expected, 0 when unknown), after every step, and when it stops drawing progress.
struct ProgressHooks {
    std::function<void(std::int64_t expected)> start = [](std::int64_t) {};
    std::function<void(std::int64_t done)> step = [](std::int64_t) {};
    std::function<void()> stop = [] {};
};

}  // namespace dottrack
