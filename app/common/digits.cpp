#include "common/digits.h"

#include <cstdio>

std::string ZeroPadded(int value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*d", width, value);
    return text;
}
