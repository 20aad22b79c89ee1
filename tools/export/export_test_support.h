#pragma once
// What the export's tests share: running a program with its output captured, and reading
// the CSV back.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace dottrack::test {

struct ProgramRun {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs `program` with `arguments` in `scratchDir` and waits for it (a hung run is killed);
// its standard output and error go through files there.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& scratchDir);

// One row of the export's CSV.
struct TrackRow {
    std::int64_t pass = 0;
    long frame = 0;
    int marker = 0;
    cv::Point2f ref;
    cv::Point2f position;
    int target = -1;
    cv::Point2f targetPosition;  // (0, 0) when the marker holds none
};

// Parses the CSV text; a wrong header or a malformed row adds a test failure naming it.
std::vector<TrackRow> parseTrackCsv(const std::string& text);

}  // namespace dottrack::test
