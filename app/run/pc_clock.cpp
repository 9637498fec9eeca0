#include "run/pc_clock.h"

#include <ctime>

PcDateTime SystemClock() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    return PcDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,           local.tm_hour,
                      local.tm_min,         local.tm_sec,     static_cast<int>(millis)};
}

std::chrono::system_clock::time_point SystemTimeOf(const PcDateTime& time) {
    std::tm local{};
    local.tm_year = time.Year - 1900;
    local.tm_mon = time.Month - 1;
    local.tm_mday = time.Day;
    local.tm_hour = time.Hour;
    local.tm_min = time.Minute;
    local.tm_sec = time.Second;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local)) +
           std::chrono::milliseconds(time.Millisecond);
}
