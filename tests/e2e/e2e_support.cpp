#include "tests/e2e/e2e_support.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace dottrack::e2e {

namespace {

// How often a bounded wait looks again.
constexpr milliseconds pollInterval(20);
// Bound on one xdotool call that is not meant to wait for anything.
constexpr milliseconds xdotoolTimeout(10000);
// Bound on reaching the X display at all.
constexpr milliseconds displayTimeout(10000);
// Key presses before giving up on a program that does not end.
constexpr int keyAttempts = 3;
// Bound on writing a sample video.
constexpr milliseconds sampleTimeout(120000);

// Where a program name without a slash is found, as the shell would find it.
std::string resolveProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return program;
}

// The test process's environment with the launch's changes applied, as NAME=VALUE lines.
std::vector<std::string> buildEnvironment(const Launch& launch) {
    std::vector<std::string> names = launch.unsetEnvironment;
    for (const auto& setting : launch.setEnvironment) {
        names.push_back(setting.first);
    }
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const std::string& changed : names) {
            replaced = replaced || changed == name;
        }
        if (!replaced) {
            entries.push_back(text);
        }
    }
    for (const auto& setting : launch.setEnvironment) {
        entries.push_back(setting.first + "=" + setting.second);
    }
    return entries;
}

// The form execve takes a list of strings in: pointers to them, then a null pointer.
std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Sends errno to the parent through `report` and ends the forked child.
[[noreturn]] void failInChild(int report) {
    const int code = errno;
    const ssize_t ignored = write(report, &code, sizeof code);
    (void)ignored;
    _exit(127);
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void becomeProgram(pid_t parent, const char* path, char* const* argv,
                                char* const* envp, const char* directory, const char* out,
                                const char* err, int report) {
    // A test process killed by ctest's timeout takes its programs with it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        failInChild(report);
    }
    if (directory[0] != '\0' && chdir(directory) != 0) {
        failInChild(report);
    }
    // The copies that dup2 makes stay open in the program, the originals do not.
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int outFd = open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFd = open(err, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || outFd < 0 || errFd < 0 || dup2(in, 0) < 0 || dup2(outFd, 1) < 0 ||
        dup2(errFd, 2) < 0) {
        failInChild(report);
    }
    execve(path, argv, envp);
    failInChild(report);
}

// Keeps how a reaped program ended.
void recordStatus(RunningProgram& program, int status) {
    program.reaped = true;
    program.outcome.finished = true;
    program.outcome.exited = WIFEXITED(status);
    program.outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    program.outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    program.outcome.coreDumped = WIFSIGNALED(status) && WCOREDUMP(status);
}

// Ends a program that is still running and waits for it.
void killAndReap(RunningProgram& program) {
    if (program.pid <= 0 || program.reaped) {
        return;
    }
    kill(program.pid, SIGKILL);
    int status = 0;
    while (waitpid(program.pid, &status, 0) < 0 && errno == EINTR) {
    }
    program.reaped = true;
}

// A lock that test processes sharing one display take in turn, held while the file is open.
// It lives in the runtime folder that scripts/test.sh makes and removes, when there is one.
int lockDisplayKeyboard() {
    std::string display = std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "";
    for (char& c : display) {
        if (c == '/' || c == ':') {
            c = '_';
        }
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::filesystem::path folder = runtime != nullptr && runtime[0] != '\0'
                                             ? std::filesystem::path(runtime)
                                             : std::filesystem::temp_directory_path();
    const std::string path = (folder / ("dottrack-e2e-keyboard" + display + ".lock")).string();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    return fd;
}

// The words of a text, split at white space.
std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> words;
    std::string word;
    while (stream >> word) {
        words.push_back(word);
    }
    return words;
}

// Moves `at` past the digits there; returns how many it passed.
size_t skipDigits(const std::string& text, size_t& at) {
    const size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        ++at;
    }
    return at - start;
}

// Splits "count:<digits>\t<number>ms" into its two numbers, the second written as the
// stream writes a double by default: digits, an optional fraction, an optional exponent
// e+NN or e-NN. False for any other line.
bool splitTimingLine(const std::string& line, std::string& count, std::string& milliseconds) {
    static const std::string head = "count:";
    static const std::string tail = "ms";
    if (line.rfind(head, 0) != 0) {
        return false;
    }
    size_t at = head.size();
    if (skipDigits(line, at) == 0 || at >= line.size() || line[at] != '\t') {
        return false;
    }
    count = line.substr(head.size(), at - head.size());
    const size_t numberStart = ++at;
    if (skipDigits(line, at) == 0) {
        return false;
    }
    if (at < line.size() && line[at] == '.' && (++at, skipDigits(line, at) == 0)) {
        return false;
    }
    if (at < line.size() && line[at] == 'e') {
        ++at;
        if (at >= line.size() || (line[at] != '+' && line[at] != '-')) {
            return false;
        }
        ++at;
        if (skipDigits(line, at) == 0) {
            return false;
        }
    }
    milliseconds = line.substr(numberStart, at - numberStart);
    return line.compare(at, std::string::npos, tail) == 0;
}

// Significant digits of a number written as digits, an optional fraction and exponent.
int significantDigits(const std::string& number) {
    const std::string mantissa = number.substr(0, number.find('e'));
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') {
            digits += c;
        }
    }
    const auto first = digits.find_first_not_of('0');
    return first == std::string::npos ? 1 : static_cast<int>(digits.size() - first);
}

}  // namespace

std::string describeOutcome(const Outcome& outcome) {
    if (!outcome.finished) {
        return "still running at the deadline";
    }
    if (outcome.exited) {
        return "exit status " + std::to_string(outcome.status);
    }
    return "killed by signal " + std::to_string(outcome.signal) + " (" + strsignal(outcome.signal) +
           ")" + (outcome.coreDumped ? " (core dumped)" : "");
}

RunningProgram::RunningProgram(RunningProgram&& other) noexcept
    : pid(other.pid), reaped(other.reaped), outcome(other.outcome) {
    other.pid = -1;
}

RunningProgram::~RunningProgram() {
    killAndReap(*this);
}

RunningProgram startProgram(const Launch& launch) {
    // Everything the child needs is built before the fork.
    const std::string path = resolveProgram(launch.program);
    std::vector<std::string> argumentStrings{launch.program};
    argumentStrings.insert(argumentStrings.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<char*> argv = pointersTo(argumentStrings);
    std::vector<std::string> environmentStrings = buildEnvironment(launch);
    std::vector<char*> envp = pointersTo(environmentStrings);
    const std::string out = launch.stdoutPath.empty() ? "/dev/null" : launch.stdoutPath;
    const std::string err = launch.stderrPath.empty() ? "/dev/null" : launch.stderrPath;

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create a pipe: " + std::string(strerror(errno)));
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(report[0]);
        close(report[1]);
        throw std::runtime_error("cannot fork: " + std::string(strerror(errno)));
    }
    if (pid == 0) {
        close(report[0]);
        becomeProgram(parent, path.c_str(), argv.data(), envp.data(),
                      launch.workingDirectory.c_str(), out.c_str(), err.c_str(), report[1]);
    }
    close(report[1]);
    RunningProgram program;
    program.pid = pid;
    // The pipe closes without a word when exec succeeds.
    int childErrno = 0;
    ssize_t got = 0;
    do {
        got = read(report[0], &childErrno, sizeof childErrno);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got > 0) {
        killAndReap(program);
        throw std::runtime_error("cannot start " + path + ": " + strerror(childErrno));
    }
    return program;
}

bool isRunning(RunningProgram& program) {
    if (program.reaped) {
        return false;
    }
    int status = 0;
    const pid_t done = waitpid(program.pid, &status, WNOHANG);
    if (done == program.pid) {
        recordStatus(program, status);
        return false;
    }
    if (done < 0 && errno != EINTR) {
        // Someone else reaped it: it has ended, how is unknown.
        program.reaped = true;
        return false;
    }
    return true;
}

Outcome waitForExit(RunningProgram& program, milliseconds timeout) {
    if (waitUntil([&program]() { return !isRunning(program); }, timeout)) {
        return program.outcome;
    }
    killAndReap(program);
    return Outcome{};
}

bool waitUntil(const std::function<bool()>& condition, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(pollInterval);
    }
}

std::string runForOutput(const std::vector<std::string>& command, milliseconds timeout,
                         Outcome& outcome) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "dottrack-e2e-output-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        throw std::runtime_error("cannot create a temporary file: " + std::string(strerror(errno)));
    }
    close(fd);
    Launch launch;
    launch.program = command.at(0);
    launch.arguments.assign(command.begin() + 1, command.end());
    launch.stdoutPath = pattern;
    {
        RunningProgram program = startProgram(launch);
        outcome = waitForExit(program, timeout);
    }
    const std::string output = readText(pattern);
    unlink(pattern.c_str());
    return output;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

int countLines(const std::string& path) {
    const std::string text = readText(path);
    int lines = 0;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

long residentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

bool holdDisplayOpen() {
    // Loaded at run time like the tool does: the X client library is there wherever the
    // window toolkit is, its headers need not be.
    static const bool held = []() {
        void* library = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
        if (library == nullptr) {
            return false;
        }
        using Connect = void* (*)(const char*, int*);
        using HasError = int (*)(void*);
        using Disconnect = void (*)(void*);
        auto connect = reinterpret_cast<Connect>(dlsym(library, "xcb_connect"));
        auto hasError = reinterpret_cast<HasError>(dlsym(library, "xcb_connection_has_error"));
        auto disconnect = reinterpret_cast<Disconnect>(dlsym(library, "xcb_disconnect"));
        if (connect == nullptr || hasError == nullptr || disconnect == nullptr) {
            return false;
        }
        return waitUntil(
            [&]() {
                // Held until the process ends; the library stays loaded with it.
                void* connection = connect(nullptr, nullptr);
                if (hasError(connection) == 0) {
                    return true;
                }
                disconnect(connection);
                return false;
            },
            displayTimeout);
    }();
    return held;
}

bool haveDisplay() {
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && display[0] != '\0';
}

std::vector<std::string> findWindows(pid_t pid, const std::string& namePattern) {
    Outcome outcome;
    const std::string output = runForOutput({"xdotool", "search", "--all", "--onlyvisible", "--pid",
                                             std::to_string(pid), "--name", namePattern},
                                            xdotoolTimeout, outcome);
    return splitWords(output);
}

std::string waitForWindow(RunningProgram& program, const std::string& name, milliseconds timeout) {
    std::vector<std::string> windows;
    waitUntil(
        [&]() {
            windows = findWindows(program.pid, "^" + name + "$");
            return !windows.empty() || !isRunning(program);
        },
        timeout);
    return windows.empty() ? std::string() : windows.front();
}

bool pressKeyIn(const std::string& window) {
    const int lock = lockDisplayKeyboard();
    Outcome outcome;
    runForOutput({"xdotool", "windowfocus", "--sync", window, "key", "space"}, xdotoolTimeout,
                 outcome);
    if (lock >= 0) {
        close(lock);
    }
    return outcome.finished && outcome.exited && outcome.status == 0;
}

Outcome pressKeyUntilExit(RunningProgram& program, const std::string& window, milliseconds patience,
                          milliseconds timeout) {
    for (int attempt = 0; attempt < keyAttempts && isRunning(program); ++attempt) {
        if (pressKeyIn(window)) {
            waitUntil([&program]() { return !isRunning(program); }, patience);
        }
    }
    return waitForExit(program, timeout);
}

testing::AssertionResult writeSampleVideo(const std::string& path, int frames) {
    Launch launch;
    launch.program = DOTTRACK_SAMPLE_EXE;
    launch.arguments = {path, "--frames", std::to_string(frames)};
    const std::string errors = path + ".stderr";
    launch.stderrPath = errors;
    RunningProgram program = startProgram(launch);
    const Outcome outcome = waitForExit(program, sampleTimeout);
    if (!outcome.finished || !outcome.exited || outcome.status != 0) {
        return testing::AssertionFailure()
               << "dottrack-sample: " << describeOutcome(outcome) << ": " << readText(errors);
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
    launch.setEnvironment = {{"XDG_RUNTIME_DIR", runtime}};
    // Windows must appear on DISPLAY, where xdotool can find them.
    launch.unsetEnvironment = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
#ifdef DOTTRACK_SANITIZED
    // When test.avi does not open, OpenCV goes on to look for a camera through libgphoto2,
    // which leaks in a plug-in it unloads again: the leak checker can name no frame of it
    // to suppress, and would turn the silent exit into a leak report.
    launch.setEnvironment.emplace_back("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0");
#endif
    launch.stdoutPath = dir + "/stdout.txt";
    launch.stderrPath = dir + "/stderr.txt";
    return launch;
}

testing::AssertionResult holdsOnlyTimingLines(const std::vector<std::string>& lines) {
    for (size_t index = 0; index < lines.size(); ++index) {
        std::string count;
        std::string milliseconds;
        if (!splitTimingLine(lines[index], count, milliseconds)) {
            return testing::AssertionFailure()
                   << "line " << index + 1 << " is not a timing line: \"" << lines[index] << "\"";
        }
        if (count != std::to_string(index)) {
            return testing::AssertionFailure()
                   << "line " << index + 1 << " counts " << count << ", expected " << index;
        }
        if (significantDigits(milliseconds) > 6) {
            return testing::AssertionFailure()
                   << "line " << index + 1 << " has more than 6 significant digits: \""
                   << lines[index] << "\"";
        }
    }
    return testing::AssertionSuccess();
}

}  // namespace dottrack::e2e
