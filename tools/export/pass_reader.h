#pragma once
// Which frames an export processes, read the way the tool reads them, and a frame queue
// that lets a second thread decode them ahead of the tracking.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace dottrack {

// Where a run's passes come from and how far the run goes. `passLimit` 0 means one trip
// through a video or image sequence: the run ends before the first pass that starts it
// over. A live source (camera, pipeline) never starts over: its run ends when it stops
// delivering frames, or after `passLimit` passes.
struct PassSource {
    cv::VideoCapture capture;
    bool live = false;
    std::int64_t passLimit = 0;
    long position = 0;
    long previousIndex = -1;
    std::int64_t passesRead = 0;
    bool warmedUp = false;
};

// How a read of the next pass came out: a frame; the run is over (one trip, or the pass
// limit); the source yields no frame at all; a live source stopped delivering frames.
enum class PassRead { frame, runOver, noFrame, stopped };

// A decoded pass frame with the index of that frame in the video.
struct PassFrame {
    cv::Mat frame;
    long index = -1;
};

// Reads the frame of the run's next pass into `pass`, skipping the warm-up before the first.
PassRead readNextPass(PassSource& source, PassFrame& pass);

// Number of passes in one trip through a video of `frameCount` frames; 0 when the count is
// unknown (0 or less).
std::int64_t passesInOneTrip(long frameCount);

// Frames decoded ahead of the tracking: the reader fills free slots, the tracker takes
// them in order and gives each back for reuse, so the frame buffers are allocated once.
constexpr std::size_t frameQueueDepth = 4;

struct FrameQueue {
    std::mutex mutex;
    std::condition_variable frameReady;  // a slot was filled, or the reader stopped
    std::condition_variable slotFree;    // a slot was given back, or the tracker gave up
    std::array<PassFrame, frameQueueDepth> slots;
    std::size_t oldest = 0;  // the slot the tracker takes next
    std::size_t filled = 0;  // filled slots, including one the tracker holds
    bool readerStopped = false;
    PassRead readerEnd = PassRead::runOver;
    std::string readerError;  // why the reader failed; empty when it did not
    bool cancelled = false;
};

// Body of the reader thread: reads the passes of `source` into `queue` until the run is
// over, the video yields no frame, a read throws or the tracker cancels.
void fillFrameQueue(PassSource& source, FrameQueue& queue);

// Waits for the next decoded pass; null once the reader has stopped and every frame it
// delivered has been taken.
const PassFrame* takeFrame(FrameQueue& queue);

// Gives the slot that `takeFrame` returned back to the reader.
void releaseFrame(FrameQueue& queue);

// Tells the reader to stop at its next step (the tracker will take no more frames).
void cancelReading(FrameQueue& queue);

}  // namespace dottrack
