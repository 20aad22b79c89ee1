#include <string>

#include "batch/batch.h"
#include "cli/cli.h"
#include "pipeline/pipeline.h"

namespace dottrack {

bool processEveryFrame(FrameReader& reader, const std::string& source, bool decodeAhead,
                       const ProgressHooks& progress,
                       const std::function<bool(const SourceFrame&)>& process) {
    FrameRead read = FrameRead::runOver;
    try {
        std::string readerError;
        read = forEachFrame(reader, decodeAhead, process, readerError);
        if (!readerError.empty()) {
            throw RunError{"cannot read " + source + ": " + oneLine(readerError)};
        }
    } catch (...) {
        progress.stop();
        throw;
    }
    progress.stop();
    if (read == FrameRead::noFrame) {
        throw RunError{describeNoFrame(source, reader.live, reader.choice)};
    }
    return read == FrameRead::stopped;
}

void runSingleSource(const SingleRunSettings& settings, const SingleRun& run) {
    ProgressBar bar;
    bar.unit = settings.progressUnit;
    ProgressHooks progress;
    progress.start = [&](std::int64_t expected) {
        startProgress(bar, settings.progressShown, expected);
    };
    progress.step = [&](std::int64_t done) { updateProgress(bar, done); };
    progress.stop = [&] { abandonProgress(bar); };
    const RunOutcome outcome = run(progress);
    const std::string steps = std::to_string(outcome.steps) + " " + settings.progressUnit;
    if (outcome.end == RunEnd::sourceStopped) {
        reportError(settings.program, settings.source + " stopped delivering frames after " +
                                          steps + "; every output is complete");
    } else if (outcome.end == RunEnd::interrupted) {
        reportError(settings.program, "interrupted: the recording of " + settings.source +
                                          " ends after " + steps + "; every output is complete");
    }
}

}  // namespace dottrack
