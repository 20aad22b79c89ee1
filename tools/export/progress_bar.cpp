#include "tools/export/progress_bar.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace dottrack {

namespace {

constexpr auto redrawInterval = std::chrono::milliseconds(100);
constexpr int barWidth = 30;
constexpr std::size_t lineRoom = 160;

// Writes the whole line again, from its start, in one write.
void drawProgress(ProgressBar& bar, std::int64_t passesDone,
                  std::chrono::steady_clock::time_point now, bool last) {
    const double seconds = std::chrono::duration<double>(now - bar.start).count();
    const double rate = seconds > 0.0 ? passesDone / seconds : 0.0;
    char line[lineRoom];
    int length = 0;
    // A run may end up longer than expected (a frame count the video got wrong): the bar
    // then shows the count alone.
    const bool lengthKnown = bar.expectedPasses > 0 && passesDone <= bar.expectedPasses;
    if (lengthKnown) {
        const int full = static_cast<int>(barWidth * passesDone / bar.expectedPasses);
        char cells[barWidth + 1];
        std::fill_n(cells, full, '#');
        std::fill_n(cells + full, barWidth - full, '.');
        cells[barWidth] = '\0';
        length =
            std::snprintf(line, lineRoom, "\r[%s] %" PRId64 "/%" PRId64 " passes  %.1f passes/s",
                          cells, passesDone, bar.expectedPasses, rate);
        if (!last && rate > 0.0) {
            const auto left =
                static_cast<std::int64_t>((bar.expectedPasses - passesDone) / rate + 0.5);
            length += std::snprintf(line + length, lineRoom - length,
                                    "  %" PRId64 ":%02" PRId64 " left", left / 60, left % 60);
        }
    } else {
        length = std::snprintf(line, lineRoom, "\r%s%s%" PRId64 " passes  %.1f passes/s",
                               bar.label.c_str(), bar.label.empty() ? "" : "  ", passesDone, rate);
    }
    // Clears what a longer earlier line left to the right.
    length += std::snprintf(line + length, lineRoom - length, "\033[K%s", last ? "\n" : "");
    const ssize_t ignored = write(STDERR_FILENO, line, std::min<std::size_t>(length, lineRoom - 1));
    static_cast<void>(ignored);
    bar.lastDrawn = now;
    bar.drawn = true;
}

}  // namespace

void startProgress(ProgressBar& bar, bool shown, std::int64_t expectedPasses) {
    bar.shown = shown;
    bar.expectedPasses = expectedPasses;
    bar.start = std::chrono::steady_clock::now();
    bar.drawn = false;
}

void updateProgress(ProgressBar& bar, std::int64_t passesDone) {
    if (!bar.shown) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (bar.drawn && now - bar.lastDrawn < redrawInterval) {
        return;
    }
    drawProgress(bar, passesDone, now, false);
}

void finishProgress(ProgressBar& bar, std::int64_t passesDone) {
    if (bar.shown) {
        drawProgress(bar, passesDone, std::chrono::steady_clock::now(), true);
    }
}

void abandonProgress(ProgressBar& bar) {
    if (bar.drawn) {
        const ssize_t ignored = write(STDERR_FILENO, "\n", 1);
        static_cast<void>(ignored);
        bar.drawn = false;
    }
}

}  // namespace dottrack
