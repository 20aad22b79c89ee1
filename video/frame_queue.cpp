#include "video/video.h"

#include <exception>

namespace dottrack {

namespace {

// Marks the reader stopped and wakes the run.
void stopReader(FrameQueue& queue, FrameRead end, const std::string& error) {
    {
        const std::lock_guard<std::mutex> lock(queue.mutex);
        queue.readerStopped = true;
        queue.readerEnd = end;
        queue.readerError = error;
    }
    queue.frameReady.notify_one();
}

}  // namespace

void fillFrameQueue(FrameReader& reader, FrameQueue& queue) {
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
        // The slot is neither filled nor held by the run: it is the reader's alone
        // until it is counted as filled.
        FrameRead read = FrameRead::runOver;
        try {
            read = readNextFrame(reader, queue.slots[slot]);
        } catch (const std::exception& error) {
            stopReader(queue, FrameRead::runOver, error.what());
            return;
        }
        if (read != FrameRead::frame) {
            stopReader(queue, read, std::string());
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(queue.mutex);
            ++queue.filled;
        }
        queue.frameReady.notify_one();
    }
    stopReader(queue, FrameRead::runOver, std::string());
}

const SourceFrame* takeFrame(FrameQueue& queue) {
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
