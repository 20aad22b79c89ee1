#pragma once
// Where the frames of a run come from and which of them it takes: a video file, an image
// sequence, a camera or a GStreamer pipeline, each named by one word on the command line and
// opened the same way by every program; the video back-ends kept quiet; the tool's passes or
// every frame, read on the run's thread or decoded ahead on a second one.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

namespace dottrack {

enum class SourceKind {
    file,      // a video file
    sequence,  // numbered images, named by a printf pattern such as frames/%04d.png
    camera,    // a camera's number (0, 1, ...) or its device (/dev/video0)
    pipeline,  // a GStreamer pipeline ending in appsink: anything with a '!' in it
};

// What kind of source `name` names.
SourceKind classifySource(const std::string& name);

// Whether the source's frames arrive live, so that it cannot start over from its first frame.
bool isLive(SourceKind kind);

// Opens `name` into `capture` without OpenCV's own complaints on standard error. Returns
// why it cannot be opened, naming it and saying what was tried, or an empty string.
std::string openSource(const std::string& name, cv::VideoCapture& capture);

// Quiets what the video back-ends under OpenCV print on their own, past OpenCV's log
// (FFmpeg's decoders, GStreamer through GLib), for the rest of the process; only the first
// call does anything. To be called before the first capture or writer opens, while the
// process has no other thread that could read the environment.
void quietVideoBackEnds();

// Silences OpenCV's own log and returns the level it had. Opening a file that is not a
// video makes several back-ends complain on standard error before the open fails. The
// first call also quiets the back-ends (quietVideoBackEnds): a damaged frame is then
// decoded as well as it can be, without a word.
cv::utils::logging::LogLevel silenceOpenCvLog();

// Gives OpenCV's log back the level that `silenceOpenCvLog` returned.
void restoreOpenCvLog(cv::utils::logging::LogLevel level);

// Frames at the start of a video that the tool reads and discards.
constexpr int warmupFrames = 45;

// Reads and discards the warm-up frames. `position` counts the frames the capture has
// delivered since the start of the video; reads past the end leave it unchanged.
void skipWarmup(cv::VideoCapture& capture, cv::Mat& frame, long& position);

// Takes the frame of the tool's next pass: one frame is skipped, the following one read
// into `frame`. At the end of the video it rewinds to the first frame; a read that finds no
// frame is treated the same way, so every pass gets a real frame. Returns the index of
// that frame in the video, or -1 when the video yields no frame even after rewinding.
long readPassFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position);

// Which frames of a source a run takes.
enum class FrameChoice {
    passes,      // the tool's: the warm-up dropped, then every second frame
    everyFrame,  // every frame from the first one read
};

// A source being read, and how far its run goes. `limit` 0 means one trip through a video
// or image sequence: the run ends before the first frame that starts it over. With a limit
// the run takes exactly that many frames, a video starting over at its end. A live source
// (camera, pipeline) never starts over: its run ends when it stops delivering frames, or at
// the limit.
struct FrameReader {
    cv::VideoCapture capture;
    FrameChoice choice = FrameChoice::passes;
    bool live = false;
    std::int64_t limit = 0;
    long position = 0;  // frames delivered since the source was opened or rewound
    long previousIndex = -1;
    std::int64_t taken = 0;  // frames the run has taken
    bool warmedUp = false;
};

// Opens the source `name` into `reader` for a run taking `choice` frames up to `limit`.
// Returns why it cannot be opened (see openSource), or an empty string.
std::string openReader(const std::string& name, FrameChoice choice, std::int64_t limit,
                       FrameReader& reader);

// How a read of the run's next frame came out: a frame; the run is over (one trip, or the
// limit); the source yields no frame at all; a live source stopped delivering frames.
enum class FrameRead { frame, runOver, noFrame, stopped };

// A decoded frame with its index in the source (since it was opened, for a live one).
struct SourceFrame {
    cv::Mat frame;
    long index = -1;
};

// Reads the run's next frame into `next`, skipping the warm-up before the first pass.
FrameRead readNextFrame(FrameReader& reader, SourceFrame& next);

// Number of frames that one trip takes through a video of `frameCount` frames; 0 when the
// count is unknown (0 or less).
std::int64_t framesInOneTrip(FrameChoice choice, long frameCount);

// Frames decoded ahead of the run: the reader fills free slots, the run takes them in order
// and gives each back for reuse, so the frame buffers are allocated once.
constexpr std::size_t frameQueueDepth = 4;

struct FrameQueue {
    std::mutex mutex;
    std::condition_variable frameReady;  // a slot was filled, or the reader stopped
    std::condition_variable slotFree;    // a slot was given back, or the run gave up
    std::array<SourceFrame, frameQueueDepth> slots;
    std::size_t oldest = 0;  // the slot the run takes next
    std::size_t filled = 0;  // filled slots, including one the run holds
    bool readerStopped = false;
    FrameRead readerEnd = FrameRead::runOver;
    std::string readerError;  // why the reader failed; empty when it did not
    bool cancelled = false;
};

// Body of the reader thread: reads the frames of `reader` into `queue` until the run is
// over, the source yields no frame, a read throws or the run cancels.
void fillFrameQueue(FrameReader& reader, FrameQueue& queue);

// Waits for the next decoded frame; null once the reader has stopped and every frame it
// delivered has been taken.
const SourceFrame* takeFrame(FrameQueue& queue);

// Gives the slot that `takeFrame` returned back to the reader.
void releaseFrame(FrameQueue& queue);

// Tells the reader to stop at its next step (the run will take no more frames).
void cancelReading(FrameQueue& queue);

// Calls `process` on each frame of the run in order, until the run is over or `process`
// returns false (then runOver), read on this thread or, when `decodeAhead`, decoded ahead on
// a second one. The second thread is joined before any return or throw, a throw from
// `process` included. When a read on it fails, returns runOver with `readerError` saying why
// (empty otherwise); a read in turn throws its error.
FrameRead forEachFrame(FrameReader& reader, bool decodeAhead,
                       const std::function<bool(const SourceFrame&)>& process,
                       std::string& readerError);

}  // namespace dottrack
