#pragma once

#include <string>

namespace dottrack {

// The text as one line: line breaks become spaces and trailing spaces go. OpenCV's error
// messages span several lines; a user gets one.
std::string oneLine(std::string text);

}  // namespace dottrack
