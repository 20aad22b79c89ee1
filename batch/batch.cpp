#include "batch/batch.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include <opencv2/core.hpp>

#include "cli/cli.h"
#include "video/video.h"

namespace dottrack {

namespace {

// What the jobs share, behind one lock: the next source to take, the progress line and
// the counts it shows.
struct BatchState {
    std::mutex mutex;
    std::size_t next = 0;
    int done = 0;
    int failed = 0;
    bool interrupted = false;
    std::int64_t steps = 0;
    ProgressBar bar;
};

void describeProgress(BatchState& batch, std::size_t total) {
    batch.bar.label = std::to_string(batch.done + batch.failed) + "/" + std::to_string(total) +
                      " sources" +
                      (batch.failed > 0 ? " (" + std::to_string(batch.failed) + " failed)" : "");
}

// The files of one source: the folder, its name, and each suffix.
std::vector<std::string> outputsOf(const BatchSettings& settings, const std::string& source) {
    const std::filesystem::path folder(settings.outDir);
    const std::string name = batchName(source);
    std::vector<std::string> outputs;
    for (const std::string& suffix : settings.suffixes) {
        outputs.push_back((folder / (name + suffix)).string());
    }
    return outputs;
}

// One job: takes the next source until none is left or the batch is interrupted.
void runJobs(const BatchSettings& settings, const BatchRun& run, BatchState& batch) {
    ProgressHooks progress;
    progress.step = [&batch](std::int64_t) {
        const std::lock_guard<std::mutex> lock(batch.mutex);
        updateProgress(batch.bar, ++batch.steps);
    };
    for (;;) {
        std::size_t index = 0;
        {
            const std::lock_guard<std::mutex> lock(batch.mutex);
            if (batch.next >= settings.sources.size() || batch.interrupted) {
                return;
            }
            index = batch.next++;
        }
        const std::string& source = settings.sources[index];
        std::string failure;
        try {
            run(source, outputsOf(settings, source), progress);
        } catch (const RunError& error) {
            failure = error.message;
        } catch (const Interrupted&) {
            const std::lock_guard<std::mutex> lock(batch.mutex);
            batch.interrupted = true;
            return;
        } catch (...) {
            failure = source + ": " + describeFailure(std::current_exception());
        }
        const std::lock_guard<std::mutex> lock(batch.mutex);
        if (failure.empty()) {
            ++batch.done;
        } else {
            ++batch.failed;
            // On a line of its own, below the progress line.
            abandonProgress(batch.bar);
            reportError(settings.program, failure);
        }
        describeProgress(batch, settings.sources.size());
        updateProgress(batch.bar, batch.steps);
    }
}

}  // namespace

std::string batchName(const std::string& source) {
    const std::filesystem::path path(source);
    if (classifySource(source) == SourceKind::sequence) {
        const std::string folder = path.parent_path().filename().string();
        return folder.empty() ? "sequence" : folder;
    }
    if (classifySource(source) == SourceKind::pipeline) {
        return "pipeline";
    }
    if (classifySource(source) == SourceKind::camera && path.filename() == source) {
        return "camera" + source;
    }
    return path.stem().string();
}

std::string findNameClash(const std::vector<std::string>& sources, const std::string& suffix) {
    std::map<std::string, std::string> owners;
    for (const std::string& source : sources) {
        const auto [owner, added] = owners.emplace(batchName(source), source);
        if (!added) {
            return "'" + owner->second + "' and '" + source + "' would both write " + owner->first +
                   suffix + ": give them different names";
        }
    }
    return {};
}

int jobsFor(int asked) {
    return asked > 0 ? asked : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

int runBatch(const BatchSettings& settings, const BatchRun& run) {
    std::error_code error;
    std::filesystem::create_directories(settings.outDir, error);
    if (error) {
        throw RunError{"cannot create the folder '" + settings.outDir + "': " + error.message()};
    }
    // The jobs fill the cores; OpenCV's own workers would only take turns with them.
    cv::setNumThreads(1);
    BatchState batch;
    batch.bar.unit = settings.progressUnit;
    startProgress(batch.bar, settings.progressShown, 0);
    describeProgress(batch, settings.sources.size());
    const int jobCount =
        std::max(1, std::min(settings.jobs, static_cast<int>(settings.sources.size())));
    std::vector<std::thread> jobs;
    for (int job = 1; job < jobCount; ++job) {
        jobs.emplace_back(runJobs, std::cref(settings), std::cref(run), std::ref(batch));
    }
    runJobs(settings, run, batch);
    for (std::thread& job : jobs) {
        job.join();
    }
    if (batch.interrupted) {
        abandonProgress(batch.bar);
        throw Interrupted{};
    }
    finishProgress(batch.bar, batch.steps);
    if (batch.failed > 0) {
        reportError(settings.program, std::to_string(batch.failed) + " of " +
                                          std::to_string(settings.sources.size()) +
                                          " sources failed; the others are written");
    }
    return batch.failed;
}

}  // namespace dottrack
