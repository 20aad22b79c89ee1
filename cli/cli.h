#pragma once
// What the programs share on their way in and out: their command lines read with CLI11, the
// checks on option values, the one line that tells why a run failed and its exit status,
// and the interrupt that ends a run cleanly.

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

namespace dottrack {

// Exit statuses of the programs.
constexpr int failureStatus = 1;  // a run that cannot go on
constexpr int usageStatus = 2;    // a wrong command line
// Added to the number of the signal that interrupted a run, as shells do.
constexpr int interruptedStatusBase = 128;

// A run that cannot go on: the program says so in one line and exits with status 1.
struct RunError {
    std::string message;
};

// The user asked every run to stop (see catchInterrupts): a run of a file or sequence ends
// with its outputs removed.
struct Interrupted {};

// Sets what every program's command line has in common, before its options are added: an
// option given twice keeps its last value, a flag takes no value, and the help ends with
// `footer`.
void prepareCommandLine(CLI::App& app, const std::string& footer);

// Reads the command line into the options of `app`. Returns the status to exit with at
// once: 0 after printing the help (-h or --help) on standard output, usageStatus after one
// line on standard error for a wrong command line; nothing when the program is to run.
// A check that the final callback of `app` makes may throw CLI::ValidationError.
std::optional<int> readCommandLine(CLI::App& app, int argc, char** argv);

// The value of an option that takes a whole number from `lowest` to `highest`, written in
// decimal digits alone; anything else is refused with the option's name and the range.
CLI::Validator wholeNumberIn(std::uint64_t lowest, std::uint64_t highest);

// The value of an option that takes a number from `lowest` to `highest`, in decimal or
// scientific notation.
CLI::Validator numberIn(double lowest, double highest);

// The value of an option that takes two whole numbers from `lowest` to `highest` written
// WIDTHxHEIGHT, such as 9x6 or 1280x720.
CLI::Validator dimensionsIn(int lowest, int highest);

// The width and height of a value that dimensionsIn accepted; nothing for any other text.
std::optional<std::pair<int, int>> readDimensions(const std::string& text);

// The value of an option that takes a file name: not empty, and not an option (which
// means the name was left out).
CLI::Validator fileName();

// The value of an option that takes a folder: one that exists, or a name for one yet to be
// created, but not a file.
CLI::Validator folderName();

// Whether two names lead to the same file, as far as the file system can tell.
bool samePath(const std::string& a, const std::string& b);

// Refuses, with CLI::ValidationError, an output (an option's name and the file it names,
// none when empty) that is the same file as one of `inputs` or as an output before it: each
// would be written over another once the run is done.
void checkDistinctFiles(std::vector<std::string> inputs,
                        const std::vector<std::pair<std::string, const std::string*>>& outputs);

// The text as one line: line breaks become spaces and trailing spaces go. OpenCV's error
// messages span several lines; a user gets one.
std::string oneLine(std::string text);

// Writes the one line that tells why `program` stops.
void reportError(const std::string& program, const std::string& message);

// The one line that tells what the exception `failure` was: a RunError's message, an OpenCV
// error, running out of memory, or any other exception's own text.
std::string describeFailure(const std::exception_ptr& failure);

// Runs the body of `program` and returns its exit status: the body's own, or, when it
// throws, that of its failure after one line on standard error naming `program`: 1 for a
// RunError or any other failure, 128 + the signal's number for Interrupted.
int runProgram(const std::string& program, const std::function<int()>& body);

// Lets an interrupt or termination end the runs cleanly at their next step (they check
// interruptingSignal); a second one, for a run that has none coming, ends the program at
// once. A signal that the parent shell ignores (a background job) stays ignored.
void catchInterrupts();

// The number of the signal that asked the runs to stop; 0 while none has.
int interruptingSignal();

}  // namespace dottrack
