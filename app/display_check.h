#pragma once

#include <string>

namespace dottrack {

// Says why no window could be shown (no display server reachable); empty when one is
// reachable or when the user chose the window system through QT_QPA_PLATFORM.
std::string describeMissingDisplay();

}  // namespace dottrack
