#pragma once
// Many sources at once: each exported into a folder by a pool of jobs, with one progress
// line for the whole batch; a source that fails does not stop the others.

#include <cstdint>
#include <string>
#include <vector>

namespace dottrack {

struct BatchSettings {
    std::vector<std::string> sources;
    std::string outDir;
    bool pictures = false;  // also the tracks' and the motion's pictures
    std::int64_t passLimit = 0;
    int jobs = 1;
    bool progressShown = false;
};

// The name a source's outputs take in the folder: a file's name without its extension,
// or the folder of an image sequence, or the camera's device name.
std::string batchName(const std::string& source);

// Why the sources cannot share one folder (two would write the same files), or an empty
// string.
std::string findNameClash(const std::vector<std::string>& sources);

// Exports every source into `settings.outDir` as NAME.csv and NAME.motion.csv (and, with
// pictures, NAME.png and NAME.motion.png), up to `settings.jobs` at once; each failure is
// told in one line naming it. Returns how many failed. Throws Interrupted when the user
// stopped the batch; the outputs of the sources it was working on are then removed.
int runBatch(const BatchSettings& settings);

}  // namespace dottrack
