#include "video/video.h"

#include <dlfcn.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

namespace dottrack {

namespace {

// OpenCV's FFmpeg back-end reads these each time it opens a video. A user who sets either
// asks for FFmpeg's messages, which OpenCV then prints on standard output: left as set.
const char* const ffmpegLevelVariable = "OPENCV_FFMPEG_LOGLEVEL";
const char* const ffmpegDebugVariable = "OPENCV_FFMPEG_DEBUG";
// FFmpeg's "quiet". Otherwise its decoders report each damaged frame ("error dc",
// "overread") straight on standard error, then conceal the damage and deliver the frame.
const char* const ffmpegQuiet = "-8";

void quietFfmpeg() {
    if (std::getenv(ffmpegLevelVariable) == nullptr &&
        std::getenv(ffmpegDebugVariable) == nullptr) {
        setenv(ffmpegLevelVariable, ffmpegQuiet, 0);
    }
}

// The part of GLib's structured log (GLib 2.50 on) used here, as GLib lays it out: the
// library is taken from the process at run time, so no GLib headers are needed to build.
struct GlibLogField {
    const char* key;
    const void* value;
    ssize_t length;  // negative: a string ending with a null character
};
using GlibLogWriter = int (*)(int level, const GlibLogField* fields, std::size_t count,
                              void* userData);
using SetGlibLogWriter = void (*)(GlibLogWriter writer, void* userData,
                                  void (*freeUserData)(void*));
constexpr int glibLevelCritical = 1 << 3;
constexpr int glibLevelWarning = 1 << 4;
constexpr int glibWriterHandled = 1;
// GStreamer's core logs in this domain, its libraries in "GStreamer-<library>".
constexpr std::string_view gstreamerDomain = "GStreamer";
constexpr std::string_view gstreamerLibraryDomain = "GStreamer-";

// Where every message goes that is not dropped: GLib's own writer.
GlibLogWriter glibDefaultWriter = nullptr;

bool loggedByGStreamer(const GlibLogField* fields, std::size_t count) {
    for (std::size_t index = 0; index < count; ++index) {
        const GlibLogField& field = fields[index];
        if (std::strcmp(field.key, "GLIB_DOMAIN") == 0 && field.value != nullptr) {
            const auto* text = static_cast<const char*>(field.value);
            const std::string_view domain =
                field.length < 0 ? std::string_view(text) : std::string_view(text, field.length);
            return domain == gstreamerDomain ||
                   domain.substr(0, gstreamerLibraryDomain.size()) == gstreamerLibraryDomain;
        }
    }
    return false;
}

// GLib hands every message of the process to this, on whichever thread logs it. GStreamer's
// warnings and criticals are dropped; its errors (which abort) and everything else go on.
extern "C" int dropGStreamerComplaints(int level, const GlibLogField* fields, std::size_t count,
                                       void* userData) {
    if ((level & (glibLevelCritical | glibLevelWarning)) != 0 && loggedByGStreamer(fields, count)) {
        return glibWriterHandled;
    }
    return glibDefaultWriter(level, fields, count, userData);
}

// When OpenCV's GStreamer back-end gives up on a file it cannot read, it sets its pipeline
// to the NULL state only if the error has already reached the pipeline's bus; the
// streaming thread that found the error may still be passing it up. When that race is
// lost (now and then, more often under load), GStreamer complains on standard error that
// elements were dropped outside the NULL state, from the main thread inside the open, and
// from the streaming thread, which goes on posting to the disposed pipeline, possibly after
// the open has returned. Hence a filter on GLib's log writer, where GLib's messages end,
// for the whole process: a handler for GStreamer's domain would lose to the one that
// GStreamer installs for itself when the back-end first starts it.
void quietGStreamer() {
    // Loaded already where OpenCV's video I/O links GStreamer, as Debian's does; without
    // GLib there is no GStreamer to quiet. It stays loaded: its writer calls back here.
    void* glib = dlopen("libglib-2.0.so.0", RTLD_LAZY | RTLD_LOCAL);
    if (glib == nullptr) {
        return;
    }
    auto setWriter = reinterpret_cast<SetGlibLogWriter>(dlsym(glib, "g_log_set_writer_func"));
    glibDefaultWriter = reinterpret_cast<GlibLogWriter>(dlsym(glib, "g_log_writer_default"));
    // GLib takes one writer per process (a second aborts); nothing else here sets one.
    if (setWriter != nullptr && glibDefaultWriter != nullptr) {
        setWriter(dropGStreamerComplaints, nullptr, nullptr);
    }
}

}  // namespace

void quietVideoBackEnds() {
    static std::once_flag quieted;
    std::call_once(quieted, []() {
        quietFfmpeg();
        quietGStreamer();
    });
}

cv::utils::logging::LogLevel silenceOpenCvLog() {
    quietVideoBackEnds();
    return cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
}

void restoreOpenCvLog(cv::utils::logging::LogLevel level) {
    cv::utils::logging::setLogLevel(level);
}

}  // namespace dottrack
