#include "tools/export/batch.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include <opencv2/core.hpp>

#include "app/one_line.h"
#include "app/video_source.h"
#include "tools/command_line.h"
#include "tools/export/export_run.h"
#include "tools/export/progress_bar.h"

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
    std::int64_t passes = 0;
    ProgressBar bar;
};

void describeProgress(BatchState& batch, std::size_t total) {
    batch.bar.label = std::to_string(batch.done + batch.failed) + "/" + std::to_string(total) +
                      " sources" +
                      (batch.failed > 0 ? " (" + std::to_string(batch.failed) + " failed)" : "");
}

// Tells why a source failed, on a line of its own below the progress line.
void reportFailure(BatchState& batch, const std::string& message) {
    abandonProgress(batch.bar);
    reportError("dottrack-export", message);
}

// One job: takes the next source until none is left or the batch is interrupted.
void runJobs(const BatchSettings& settings, BatchState& batch) {
    const std::filesystem::path folder(settings.outDir);
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
        const std::string name = batchName(source);
        RunSettings run;
        run.source = source;
        run.csvPath = (folder / (name + ".csv")).string();
        run.motionPath = (folder / (name + ".motion.csv")).string();
        if (settings.pictures) {
            run.plotPath = (folder / (name + ".png")).string();
            run.motionPlotPath = (folder / (name + ".motion.png")).string();
        }
        run.passLimit = settings.passLimit;
        // The jobs keep the cores busy: each decodes and tracks in turn.
        run.decodeAhead = false;
        RunProgress progress;
        progress.pass = [&batch](std::int64_t) {
            const std::lock_guard<std::mutex> lock(batch.mutex);
            updateProgress(batch.bar, ++batch.passes);
        };
        std::string failure;
        try {
            exportSource(run, progress);
        } catch (const RunError& error) {
            failure = error.message;
        } catch (const Interrupted&) {
            const std::lock_guard<std::mutex> lock(batch.mutex);
            batch.interrupted = true;
            return;
        } catch (const cv::Exception& error) {
            failure = source + ": OpenCV error: " + oneLine(error.what());
        } catch (const std::exception& error) {
            failure = source + ": " + oneLine(error.what());
        }
        const std::lock_guard<std::mutex> lock(batch.mutex);
        if (failure.empty()) {
            ++batch.done;
        } else {
            ++batch.failed;
            reportFailure(batch, failure);
        }
        describeProgress(batch, settings.sources.size());
        updateProgress(batch.bar, batch.passes);
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

std::string findNameClash(const std::vector<std::string>& sources) {
    std::map<std::string, std::string> owners;
    for (const std::string& source : sources) {
        const auto [owner, added] = owners.emplace(batchName(source), source);
        if (!added) {
            return "'" + owner->second + "' and '" + source + "' would both write " + owner->first +
                   ".csv: give them different names";
        }
    }
    return {};
}

int runBatch(const BatchSettings& settings) {
    BatchState batch;
    startProgress(batch.bar, settings.progressShown, 0);
    describeProgress(batch, settings.sources.size());
    const int jobCount =
        std::max(1, std::min(settings.jobs, static_cast<int>(settings.sources.size())));
    std::vector<std::thread> jobs;
    for (int job = 1; job < jobCount; ++job) {
        jobs.emplace_back(runJobs, std::cref(settings), std::ref(batch));
    }
    runJobs(settings, batch);
    for (std::thread& job : jobs) {
        job.join();
    }
    if (batch.interrupted) {
        abandonProgress(batch.bar);
        throw Interrupted{};
    }
    finishProgress(batch.bar, batch.passes);
    return batch.failed;
}

}  // namespace dottrack
