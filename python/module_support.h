#pragma once
// What the module's calls share: errors raised as Python's own, a guard against two threads
// running one object's work at once, and the arguments that name a source and bound a run.

#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

namespace dottrack {

// Raises OSError with `message`.
[[noreturn]] void raiseOsError(const std::string& message);

// Holds an object's busy flag for the length of a call. The work runs without the GIL, so a
// second Python thread could otherwise run it on the same state meanwhile. The flag is set
// and cleared while the GIL is held.
class BusyCall {
public:
    // Throws std::runtime_error with `refusal` when the flag is already set.
    BusyCall(bool& busy, const char* refusal);
    ~BusyCall() { busy_ = false; }
    BusyCall(const BusyCall&) = delete;
    BusyCall& operator=(const BusyCall&) = delete;

private:
    bool& busy_;
};

// The name of a source as the programs take it: a path, a pattern, a pipeline or a camera's
// number.
std::string sourceName(const pybind11::object& source);

// The count that the argument `name` (None or a whole number from 1) sets for a run; 0 for
// None. Raises TypeError or ValueError, saying that None means `noneMeans`.
std::int64_t readRunLimit(const pybind11::object& count, const char* name, const char* noneMeans);

}  // namespace dottrack
