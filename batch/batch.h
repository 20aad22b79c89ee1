#pragma once
// Many sources at once: each run into a folder by a pool of jobs, its files named after it,
// with one progress line for the whole batch; a source that fails is named in one line and
// does not stop the others.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "output/output.h"

namespace dottrack {

struct BatchSettings {
    std::string program;  // names the lines that tell of failures
    std::vector<std::string> sources;
    std::string outDir;                 // created, with its parents, when missing
    std::vector<std::string> suffixes;  // each source writes NAME + each suffix into outDir
    int jobs = 1;
    bool progressShown = false;
    std::string progressUnit = "passes";  // what the progress line counts
};

// The run of one source of a batch, writing `outputs` (outDir/NAME + each suffix, in the
// order of the suffixes) and telling its steps through `progress`. It throws to fail: a
// RunError with the line that names the source, or anything else; Interrupted stops the
// batch.
using BatchRun =
    std::function<void(const std::string& source, const std::vector<std::string>& outputs,
                       const ProgressHooks& progress)>;

// The name a source's outputs take in the folder: a file's name without its extension,
// or the folder of an image sequence, or the camera's device name.
std::string batchName(const std::string& source);

// Why the sources cannot share one folder (two would write the same files, the first of
// which ends in `suffix`), or an empty string.
std::string findNameClash(const std::vector<std::string>& sources, const std::string& suffix);

// Runs `run` on every source, up to `settings.jobs` at once, after creating the folder;
// each failure is told in one line, and a last line says how many failed. Returns how many
// failed. Throws RunError when the folder cannot be created, and Interrupted when the user
// stopped the batch (the runs under way then remove their outputs).
int runBatch(const BatchSettings& settings, const BatchRun& run);

}  // namespace dottrack
