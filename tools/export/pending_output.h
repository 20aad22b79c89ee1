#pragma once
// Output files that appear only when complete: written under a temporary name beside
// the final one and renamed into place, or removed when the run fails.

#include <cstdio>
#include <string>

namespace dottrack {

struct PendingOutput {
    std::string path;      // the final name
    std::string tempPath;  // empty when no temporary file exists
    std::FILE* file = nullptr;
};

// Creates the temporary file for `path` in the same directory. Returns what went wrong, or
// an empty string on success.
std::string openPendingOutput(const std::string& path, PendingOutput& output);

// Closes the temporary file and renames it to the final name. Returns what went wrong (the
// temporary file is then removed), or an empty string on success.
std::string commitPendingOutput(PendingOutput& output);

// Closes and removes the temporary file, if there is one.
void discardPendingOutput(PendingOutput& output);

}  // namespace dottrack
