#include "present/present.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>

namespace dottrack {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Whether an X server answers on DISPLAY. The window toolkit aborts the process when it
// cannot connect, so the connection is tried here first, through the X client library
// loaded at run time (the toolkit itself depends on it).
enum class XAnswer { yes, no, unknown };

XAnswer tryXServer() {
    void* library = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) {
        return XAnswer::unknown;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(library, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(library, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(library, "xcb_disconnect"));
    XAnswer answer = XAnswer::unknown;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* connection = connect(nullptr, nullptr);
        answer = hasError(connection) == 0 ? XAnswer::yes : XAnswer::no;
        disconnect(connection);
    }
    dlclose(library);
    return answer;
}

bool waylandSocketExists() {
    const std::string name = environment("WAYLAND_DISPLAY");
    if (name.empty()) {
        return false;
    }
    const std::string path =
        name.front() == '/' ? name : environment("XDG_RUNTIME_DIR") + "/" + name;
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

std::string describeMissingDisplay() {
    if (!environment("QT_QPA_PLATFORM").empty() || waylandSocketExists()) {
        return {};
    }
    const std::string display = environment("DISPLAY");
    if (display.empty()) {
        return "no display: DISPLAY is not set (run it in a desktop session, or under xvfb-run)";
    }
    if (tryXServer() == XAnswer::no) {
        return "no display: cannot connect to the X server at DISPLAY=" + display;
    }
    return {};
}

}  // namespace dottrack
