#include <thread>

#include "video/video.h"

namespace dottrack {

namespace {

FrameRead processInTurn(FrameReader& reader,
                        const std::function<bool(const SourceFrame&)>& process) {
    SourceFrame source;
    FrameRead read = FrameRead::runOver;
    while ((read = readNextFrame(reader, source)) == FrameRead::frame) {
        if (!process(source)) {
            return FrameRead::runOver;
        }
    }
    return read;
}

FrameRead processDecodedAhead(FrameReader& reader,
                              const std::function<bool(const SourceFrame&)>& process,
                              std::string& readerError) {
    FrameQueue queue;
    std::thread decoder(fillFrameQueue, std::ref(reader), std::ref(queue));
    bool stopped = false;
    try {
        while (const SourceFrame* source = takeFrame(queue)) {
            const bool goOn = process(*source);
            releaseFrame(queue);
            if (!goOn) {
                stopped = true;
                cancelReading(queue);
                break;
            }
        }
    } catch (...) {
        cancelReading(queue);
        decoder.join();
        throw;
    }
    decoder.join();
    if (stopped) {
        return FrameRead::runOver;
    }
    readerError = queue.readerError;
    return queue.readerEnd;
}

}  // namespace

FrameRead forEachFrame(FrameReader& reader, bool decodeAhead,
                       const std::function<bool(const SourceFrame&)>& process,
                       std::string& readerError) {
    readerError.clear();
    return decodeAhead ? processDecodedAhead(reader, process, readerError)
                       : processInTurn(reader, process);
}

}  // namespace dottrack
