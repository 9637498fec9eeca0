#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "run/operator_view.h"

// Shared pieces of the libFuzzer targets.

// An operator view that shows nothing; message boxes count as acknowledged.
class SilentOperatorView : public OperatorView {
public:
    void ShowStatus(int16_t, const std::string&) override {}
    void SetRunningState(int16_t) override {}
    void SetFileLabel(const std::string& text) override { label_ = text; }
    std::string FileLabel() const override { return label_; }
    void SetProgressMax(int) override {}
    void SetProgressValue(int) override {}
    void SetProgressVisible(bool) override {}
    void SetBusyPointer(bool) override {}
    void Beep() override {}
    void ShowMessage(const std::string&, const std::string&, MessageIcon) override {}
    void ProcessPendingEvents() override {}

private:
    std::string label_;
};

// A private scratch folder for the process (under /dev/shm when it exists, so file-based targets stay
// fast), created at the first call and reused by every input.
const std::string& ScratchFolder();

// Writes `bytes` to `path`, replacing it. False when it cannot be written.
bool WriteWholeFile(const std::string& path, std::string_view bytes);

inline std::string_view AsText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}
