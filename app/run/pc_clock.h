#pragma once

#include <chrono>
#include <functional>

// The PC's local date and time: the terminal's clock ("TW"), file names, log lines and the times of an
// upload's result all come from one clock, which tests replace.
struct PcDateTime {
    int Year = 0;
    int Month = 0;
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};
using PcClock = std::function<PcDateTime()>;

// The system's local time.
PcDateTime SystemClock();

// The moment a local date and time names (the later one where a change of the offset repeats it).
std::chrono::system_clock::time_point SystemTimeOf(const PcDateTime& time);
