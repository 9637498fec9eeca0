#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "run/silent_operator_view.h"

// Shared pieces of the libFuzzer targets.

// A private scratch folder for the process (under /dev/shm when it exists, so file-based targets stay
// fast), created at the first call and reused by every input.
const std::string& ScratchFolder();

// Writes `bytes` to `path`, replacing it. False when it cannot be written.
bool WriteWholeFile(const std::string& path, std::string_view bytes);

inline std::string_view AsText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}
