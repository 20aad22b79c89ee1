#include "app/timing_line.h"

#include <limits>

namespace dottrack {

double elapsedMilliseconds(const timeval& start, const timeval& end) {
    const double seconds = static_cast<double>(end.tv_sec) - static_cast<double>(start.tv_sec);
    return (seconds * 1000000.0 + static_cast<double>(end.tv_usec) -
            static_cast<double>(start.tv_usec)) /
           1000.0;
}

void writeTimingLine(std::ostream& out, std::int64_t count, const timeval& start,
                     const timeval& end) {
    out << "count:" << count << "\t" << elapsedMilliseconds(start, end) << "ms" << std::endl;
}

std::int64_t nextPassCount(std::int64_t count) {
    return count < std::numeric_limits<std::int64_t>::max() ? count + 1 : count;
}

}  // namespace dottrack
