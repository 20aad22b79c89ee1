#include "cli/cli.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>

#include <opencv2/core.hpp>

namespace dottrack {

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    const auto end = text.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

void reportError(const std::string& program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), oneLine(message).c_str());
}

std::string describeFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const RunError& error) {
        return error.message;
    } catch (const cv::Exception& error) {
        return "OpenCV error: " + oneLine(error.what());
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& error) {
        return oneLine(error.what());
    } catch (...) {
        return "unexpected failure";
    }
}

int runProgram(const std::string& program, const std::function<int()>& body) {
    try {
        return body();
    } catch (const Interrupted&) {
        reportError(program, "interrupted");
        return interruptedStatusBase + interruptingSignal();
    } catch (const std::bad_alloc&) {
        // Said without building a message, which could need the memory that ran out.
        std::fprintf(stderr, "%s: out of memory\n", program.c_str());
    } catch (...) {
        reportError(program, describeFailure(std::current_exception()));
    }
    return failureStatus;
}

}  // namespace dottrack
