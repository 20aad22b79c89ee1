#pragma once
// A one-line progress bar on standard error: passes done, passes per second and, when the
// length of the run is known, a bar and the time left.

#include <chrono>
#include <cstdint>
#include <string>

namespace dottrack {

struct ProgressBar {
    bool shown = false;
    std::string label;                // shown before the counts, when not empty
    std::int64_t expectedPasses = 0;  // 0 when unknown
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDrawn;
    bool drawn = false;
};

// Starts timing the run; the bar is drawn only when `shown`.
void startProgress(ProgressBar& bar, bool shown, std::int64_t expectedPasses);

// Redraws the bar after `passesDone` passes, at most ten times a second.
void updateProgress(ProgressBar& bar, std::int64_t passesDone);

// Draws the final state and ends the line.
void finishProgress(ProgressBar& bar, std::int64_t passesDone);

// Ends the line of a bar already drawn, so that a message can follow on a line of its own.
void abandonProgress(ProgressBar& bar);

}  // namespace dottrack
