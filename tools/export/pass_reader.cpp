#include "tools/export/pass_reader.h"

#include <exception>

#include "app/video_input.h"

namespace dottrack {

namespace {

// The frame of the next pass of a live source: one frame dropped, the next one read, never
// starting over. Returns its index since the source was opened, or -1 when the source
// stopped delivering frames.
long readLivePassFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    if (!capture.grab()) {
        return -1;
    }
    ++position;
    capture >> frame;
    if (frame.empty()) {
        return -1;
    }
    return position++;
}

// A pass belongs to the run while the pass limit allows it or, without a limit, until the
// frame index goes back: the video has started over.
bool passBelongsToRun(const PassSource& source, long index) {
    if (source.passLimit > 0 || source.live) {
        return true;
    }
    return source.passesRead == 0 || index > source.previousIndex;
}

// Marks the reader stopped and wakes the tracker.
void stopReader(FrameQueue& queue, PassRead end, const std::string& error) {
    {
        const std::lock_guard<std::mutex> lock(queue.mutex);
        queue.readerStopped = true;
        queue.readerEnd = end;
        queue.readerError = error;
    }
    queue.frameReady.notify_one();
}

}  // namespace

PassRead readNextPass(PassSource& source, PassFrame& pass) {
    if (source.passLimit > 0 && source.passesRead >= source.passLimit) {
        return PassRead::runOver;
    }
    if (!source.warmedUp) {
        skipWarmup(source.capture, pass.frame, source.position);
        source.warmedUp = true;
    }
    pass.index = source.live ? readLivePassFrame(source.capture, pass.frame, source.position)
                             : readPassFrame(source.capture, pass.frame, source.position);
    if (pass.index < 0) {
        return source.live && source.passesRead > 0 ? PassRead::stopped : PassRead::noFrame;
    }
    if (!passBelongsToRun(source, pass.index)) {
        return PassRead::runOver;
    }
    source.previousIndex = pass.index;
    ++source.passesRead;
    return PassRead::frame;
}

std::int64_t passesInOneTrip(long frameCount) {
    if (frameCount <= 0) {
        return 0;
    }
    // Frame warmupFrames + 1 is the first pass's; a shorter video is used up by the warm-up
    // (or, at warmupFrames + 1 frames, by the first pass's skip) and its trip starts at 0.
    const long firstPassFrame = warmupFrames + 1;
    if (frameCount > firstPassFrame) {
        return (frameCount - 1 - firstPassFrame) / 2 + 1;
    }
    return (frameCount + 1) / 2;
}

void fillFrameQueue(PassSource& source, FrameQueue& queue) {
    for (;;) {
        std::size_t slot = 0;
        {
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.slotFree.wait(lock,
                                [&] { return queue.cancelled || queue.filled < frameQueueDepth; });
            if (queue.cancelled) {
                break;
            }
            slot = (queue.oldest + queue.filled) % frameQueueDepth;
        }
        // The slot is neither filled nor held by the tracker: it is the reader's alone
        // until it is counted as filled.
        PassRead read = PassRead::runOver;
        try {
            read = readNextPass(source, queue.slots[slot]);
        } catch (const std::exception& error) {
            stopReader(queue, PassRead::runOver, error.what());
            return;
        }
        if (read != PassRead::frame) {
            stopReader(queue, read, std::string());
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(queue.mutex);
            ++queue.filled;
        }
        queue.frameReady.notify_one();
    }
    stopReader(queue, PassRead::runOver, std::string());
}

const PassFrame* takeFrame(FrameQueue& queue) {
    std::unique_lock<std::mutex> lock(queue.mutex);
    queue.frameReady.wait(lock, [&] { return queue.filled > 0 || queue.readerStopped; });
    if (queue.filled == 0) {
        return nullptr;
    }
    return &queue.slots[queue.oldest];
}

void releaseFrame(FrameQueue& queue) {
    {
        const std::lock_guard<std::mutex> lock(queue.mutex);
        queue.oldest = (queue.oldest + 1) % frameQueueDepth;
        --queue.filled;
    }
    queue.slotFree.notify_one();
}

void cancelReading(FrameQueue& queue) {
    {
        const std::lock_guard<std::mutex> lock(queue.mutex);
        queue.cancelled = true;
    }
    queue.slotFree.notify_one();
}

}  // namespace dottrack
