// GCC 12 takes a state of <regex> for uninitialised when the sanitizers instrument it.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "tests/e2e/e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <opencv2/imgcodecs.hpp>

extern char** environ;

namespace dottrack::e2e {

namespace {

constexpr milliseconds pollInterval(20);
// Bound on reaching the X display at all.
constexpr milliseconds displayTimeout(10000);
// Key presses before giving up on a program that does not end.
constexpr int keyAttempts = 3;
constexpr milliseconds sampleTimeout(120000);
// Time the window toolkit gets to paint a window that has just been uncovered.
constexpr milliseconds repaintTime(500);

// The text as one word of a shell command.
std::string quoted(const std::string& text) {
    std::string word = "'";
    for (char c : text) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
}

// Runs xdotool (bounded) and returns its standard output; `ok` tells whether it succeeded.
std::string xdotool(const std::string& arguments, bool& ok) {
    FILE* pipe = popen(("timeout 10 xdotool " + arguments + " 2>/dev/null").c_str(), "r");
    std::string output;
    char buffer[256];
    for (size_t got = 0; pipe != nullptr && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, got);
    }
    ok = pipe != nullptr && pclose(pipe) == 0;
    return output;
}

// A lock that test processes sharing one display take in turn, held while the file is open.
int lockDisplayKeyboard() {
    std::string display = std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "";
    std::replace(display.begin(), display.end(), '/', '_');
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder = runtime != nullptr && runtime[0] != '\0' ? runtime : "/tmp";
    const std::string path = folder + "/dottrack-e2e-keyboard" + display + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    while (fd >= 0 && flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    return fd;
}

}  // namespace

// The shell sets the program up and becomes it (exec keeps the process id).
RunningProgram::RunningProgram(const Launch& launch) {
    std::string command = "cd " + quoted(launch.workingDirectory) + " && exec env";
    // env takes its options (the names to unset) before the settings.
    for (const bool setting : {false, true}) {
        for (const std::string& change : launch.environment) {
            if ((change.find('=') != std::string::npos) == setting) {
                command += (setting ? " " : " -u ") + quoted(change);
            }
        }
    }
    command += " " + quoted(launch.program);
    for (const std::string& word : launch.arguments) {
        command += " " + quoted(word);
    }
    command += " </dev/null >" + quoted(launch.stdoutPath) + " 2>" + quoted(launch.stderrPath);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    const int error =
        posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
    if (error != 0) {
        throw std::runtime_error("cannot start a shell: " + std::string(strerror(error)));
    }
}

RunningProgram::~RunningProgram() {
    if (isRunning()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool RunningProgram::isRunning() {
    int status = 0;
    if (status_ != stillRunning || waitpid(pid_, &status, WNOHANG) != pid_) {
        return status_ == stillRunning;
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return false;
}

int RunningProgram::waitForExit(milliseconds timeout) {
    if (!waitUntil([this]() { return !isRunning(); }, timeout)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        status_ = -SIGKILL;
        return stillRunning;
    }
    return status_;
}

ProgramOutcome runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& dir, milliseconds timeout) {
    const Launch launch{program, arguments, dir, {}, dir + "/run.out", dir + "/run.err"};
    ProgramOutcome outcome;
    outcome.status = RunningProgram(launch).waitForExit(timeout);
    outcome.out = readText(launch.stdoutPath);
    outcome.err = readText(launch.stderrPath);
    std::filesystem::remove(launch.stdoutPath);
    std::filesystem::remove(launch.stderrPath);
    return outcome;
}

bool waitUntil(const std::function<bool()>& condition, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(pollInterval);
    }
    return true;
}

std::string readText(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void requireDisplay() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        GTEST_SKIP() << "DISPLAY is not set: run the end-to-end tests through scripts/test.sh, "
                        "which provides a virtual display";
    }
    bool answers = false;
    waitUntil([&]() { return xdotool("getdisplaygeometry", answers), answers; }, displayTimeout);
    ASSERT_TRUE(answers) << "the X display " << display << " does not answer";
}

std::vector<std::string> findWindows(pid_t pid, const std::string& namePattern) {
    bool ok = false;
    std::istringstream output(xdotool("search --all --onlyvisible --pid " + std::to_string(pid) +
                                          " --name " + quoted(namePattern),
                                      ok));
    std::vector<std::string> windows;
    for (std::string window; output >> window;) {
        windows.push_back(window);
    }
    return windows;
}

std::string waitForWindow(RunningProgram& program, const std::string& name, milliseconds timeout) {
    std::vector<std::string> windows;
    waitUntil(
        [&]() {
            windows = findWindows(program.pid(), "^" + name + "$");
            return !windows.empty() || !program.isRunning();
        },
        timeout);
    return windows.empty() ? std::string() : windows.front();
}

int pressKeyUntilExit(RunningProgram& program, const std::string& window, milliseconds patience,
                      milliseconds timeout) {
    for (int attempt = 0; attempt < keyAttempts && program.isRunning(); ++attempt) {
        const int lock = lockDisplayKeyboard();
        bool pressed = false;
        xdotool("windowfocus --sync " + window + " key space", pressed);
        if (lock >= 0) {
            close(lock);
        }
        if (pressed) {
            waitUntil([&program]() { return !program.isRunning(); }, patience);
        }
    }
    return program.waitForExit(timeout);
}

void expectLiveRunEndsOnAKey(Launch launch, const std::string& windowName) {
    launch.environment.push_back("DISPLAY");
    EXPECT_EQ(RunningProgram(launch).waitForExit(exitTimeout), 1);
    EXPECT_NE(readText(launch.stderrPath).find("no display"), std::string::npos);
    launch.environment.pop_back();
    RunningProgram program(launch);
    const std::string window = waitForWindow(program, windowName, windowTimeout);
    ASSERT_FALSE(window.empty()) << readText(launch.stderrPath);
    ASSERT_EQ(pressKeyUntilExit(program, window, keyTimeout, exitTimeout), 0);
    EXPECT_EQ(readText(launch.stderrPath), "");
}

cv::Mat captureWindow(const std::string& window, const std::string& scratchPath) {
    // Other tests open their windows at the top left: below them this one is seen whole.
    const int lock = lockDisplayKeyboard();
    bool moved = false;
    xdotool("windowmove --sync " + window + " 0 640 windowraise " + window, moved);
    std::this_thread::sleep_for(repaintTime);
    const std::string command =
        "timeout 10 import -window " + window + " " + quoted(scratchPath) + " 2>/dev/null";
    const bool captured = moved && std::system(command.c_str()) == 0;
    xdotool("windowmove " + window + " 0 0", moved);
    if (lock >= 0) {
        close(lock);
    }
    return captured ? cv::imread(scratchPath, cv::IMREAD_COLOR) : cv::Mat();
}

testing::AssertionResult writeSampleVideo(const std::string& path, int frames) {
    Launch launch;
    launch.program = DOTTRACK_SAMPLE_EXE;
    launch.arguments = {path, "--frames", std::to_string(frames)};
    launch.stderrPath = path + ".stderr";
    const int status = RunningProgram(launch).waitForExit(sampleTimeout);
    if (status != 0) {
        return testing::AssertionFailure()
               << "dottrack-sample: status " << status << ": " << readText(launch.stderrPath);
    }
    return testing::AssertionSuccess();
}

Launch toolLaunch(const std::string& dir) {
    const std::string runtime = dir + "/runtime";
    if (mkdir(runtime.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot create " + runtime + ": " + strerror(errno));
    }
    Launch launch;
    launch.program = DOTTRACK_EXE;
    launch.workingDirectory = dir;
    // Windows must appear on DISPLAY, where xdotool can find them.
    launch.environment = {"XDG_RUNTIME_DIR=" + runtime, "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
#ifdef DOTTRACK_SANITIZED
    // When test.avi does not open, OpenCV goes on to look for a camera through libgphoto2,
    // which leaks in a plug-in it unloads again: the leak checker can name no frame of it
    // to suppress, and would turn the silent exit into a leak report.
    launch.environment.push_back("OPENCV_VIDEOIO_PRIORITY_GPHOTO2=0");
#endif
    launch.stdoutPath = dir + "/stdout.txt";
    launch.stderrPath = dir + "/stderr.txt";
    return launch;
}

testing::AssertionResult holdsOnlyTimingLines(const std::vector<std::string>& lines) {
    // Milliseconds as a stream writes a double by default: at most 6 significant digits.
    const std::regex time("[0-9]{1,6}(\\.[0-9]{1,5})?(e\\+[0-9]+)?ms");
    for (size_t index = 0; index < lines.size(); ++index) {
        const std::string head = "count:" + std::to_string(index) + "\t";
        if (lines[index].rfind(head, 0) != 0 ||
            !std::regex_match(lines[index].substr(head.size()), time)) {
            return testing::AssertionFailure() << "line " << index + 1 << " is not timing line "
                                               << index << ": \"" << lines[index] << "\"";
        }
    }
    return testing::AssertionSuccess();
}

}  // namespace dottrack::e2e
