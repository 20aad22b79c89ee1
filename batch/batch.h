#pragma once
// Many sources at once: each run into a folder by a pool of jobs, its files named after it,
// with one progress line for the whole batch; a source that fails is named in one line and
// does not stop the others. And one source on its own, told the same way by every program.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "output/output.h"
#include "video/video.h"

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

// The sources a batch runs at once: `asked`, or one per core when that is 0.
int jobsFor(int asked);

// Runs `run` on every source, up to `settings.jobs` at once (OpenCV's own workers turned off
// for the rest of the process, since the jobs fill the cores), after creating the folder;
// each failure is told in one line, and a last line says how many failed. Returns how many
// failed. Throws RunError when the folder cannot be created, and Interrupted when the user
// stopped the batch (the runs under way then remove their outputs).
int runBatch(const BatchSettings& settings, const BatchRun& run);

// ------------------------------------------------------------------- One source on its own

// How the run of one source that went through ended.
enum class RunEnd {
    tripOver,       // one trip through a file or sequence, or the limit asked for
    sourceStopped,  // a live source stopped delivering frames
    keyPressed,     // a key in the live view
    interrupted,    // a live source's recording ended by an interrupt (Ctrl-C)
};

struct RunOutcome {
    RunEnd end = RunEnd::tripOver;
    std::int64_t steps = 0;  // passes or frames, as the program counts them
};

// The run of one source on its own, telling its steps through `progress`. It throws to
// fail, as a BatchRun does.
// Runs `process` on each frame of the run that `reader` gives (the next ones decoded on a
// second thread when `decodeAhead`) until it returns false or the run is over, and stops
// `progress` however that ends. Returns whether a live source stopped delivering frames;
// throws RunError, naming `source`, when it cannot be read or gives no frame at all.
bool processEveryFrame(FrameReader& reader, const std::string& source, bool decodeAhead,
                       const ProgressHooks& progress,
                       const std::function<bool(const SourceFrame&)>& process);

using SingleRun = std::function<RunOutcome(const ProgressHooks& progress)>;

struct SingleRunSettings {
    std::string program;  // names the line that tells how a live source's run ended
    std::string source;
    bool progressShown = false;  // a progress line on standard error
    std::string progressUnit = "passes";
};

// Runs one source, with a progress line when asked; then, when a live source's run ended
// because the source stopped or an interrupt stopped its recording, says so in one line
// on standard error, with the steps taken and that every output is complete.
void runSingleSource(const SingleRunSettings& settings, const SingleRun& run);

}  // namespace dottrack
