#pragma once

#include <string>

// `value` in decimal with leading zeros to at least `width` digits (ZeroPadded(7, 2) is "07"), as dates
// and times appear in file names, log lines and the terminal's clock.
std::string ZeroPadded(int value, int width);
