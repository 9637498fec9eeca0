#include "common/system_error.h"

#include <cstring>

std::string SystemErrorText(int number) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in `buffer`.
    return strerror_r(number, buffer, sizeof buffer);
}
