#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ostream>

namespace dottrack {

// Milliseconds from `start` to `end`, computed in double precision and rounded once.
double elapsedMilliseconds(const timeval& start, const timeval& end);

// Writes "count:<count>\t<milliseconds>ms" and a newline, then flushes. The milliseconds
// use the stream's default formatting (at most 6 significant digits).
void writeTimingLine(std::ostream& out, std::int64_t count, const timeval& start,
                     const timeval& end);

// The counter of the next pass. It saturates instead of wrapping, so that a run of any
// length never comes back to the first pass.
std::int64_t nextPassCount(std::int64_t count);

}  // namespace dottrack
