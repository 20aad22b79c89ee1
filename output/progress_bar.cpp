#include "output/output.h"

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
void drawProgress(ProgressBar& bar, std::int64_t done, std::chrono::steady_clock::time_point now,
                  bool last) {
    const double seconds = std::chrono::duration<double>(now - bar.start).count();
    const double rate = seconds > 0.0 ? done / seconds : 0.0;
    char line[lineRoom];
    int length = 0;
    // A run may end up longer than expected (a frame count the video got wrong): the bar
    // then shows the count alone.
    const bool lengthKnown = bar.expected > 0 && done <= bar.expected;
    if (lengthKnown) {
        const int full = static_cast<int>(barWidth * done / bar.expected);
        char cells[barWidth + 1];
        std::fill_n(cells, full, '#');
        std::fill_n(cells + full, barWidth - full, '.');
        cells[barWidth] = '\0';
        length = std::snprintf(line, lineRoom, "\r[%s] %" PRId64 "/%" PRId64 " %s  %.1f %s/s",
                               cells, done, bar.expected, bar.unit.c_str(), rate, bar.unit.c_str());
        if (!last && rate > 0.0) {
            const auto left = static_cast<std::int64_t>((bar.expected - done) / rate + 0.5);
            length += std::snprintf(line + length, lineRoom - length,
                                    "  %" PRId64 ":%02" PRId64 " left", left / 60, left % 60);
        }
    } else {
        length = std::snprintf(line, lineRoom, "\r%s%s%" PRId64 " %s  %.1f %s/s", bar.label.c_str(),
                               bar.label.empty() ? "" : "  ", done, bar.unit.c_str(), rate,
                               bar.unit.c_str());
    }
    // Clears what a longer earlier line left to the right.
    length += std::snprintf(line + length, lineRoom - length, "\033[K%s", last ? "\n" : "");
    const ssize_t ignored = write(STDERR_FILENO, line, std::min<std::size_t>(length, lineRoom - 1));
    static_cast<void>(ignored);
    bar.lastDrawn = now;
    bar.drawn = true;
}

}  // namespace

void startProgress(ProgressBar& bar, bool shown, std::int64_t expected) {
    bar.shown = shown;
    bar.expected = expected;
    bar.start = std::chrono::steady_clock::now();
    bar.drawn = false;
}

void updateProgress(ProgressBar& bar, std::int64_t done) {
    if (!bar.shown) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (bar.drawn && now - bar.lastDrawn < redrawInterval) {
        return;
    }
    drawProgress(bar, done, now, false);
}

void finishProgress(ProgressBar& bar, std::int64_t done) {
    if (bar.shown) {
        drawProgress(bar, done, std::chrono::steady_clock::now(), true);
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
