#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "codec/link_api.h"
#include "run/operator_view.h"
#include "run/run_outcome.h"
#include "run/run_state.h"
#include "run/upload_report.h"
#include "settings/settings_record.h"

// The PC's local date and time, as used for the terminal's clock ("TW") and for file names.
struct PcDateTime {
    int Year = 0;
    int Month = 0;
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
};
using PcClock = std::function<PcDateTime()>;

// The system's local time.
PcDateTime SystemClock();

// Everything one upload run works with. Link is nullptr when libquorlin.so could not be loaded.
struct UploadContext {
    SettingsRecord& Settings;
    RunState& Run;
    OperatorView& View;
    const LinkApi* Link = nullptr;
    PcClock Clock = SystemClock;
    // Time between two attempts to open the port again after its device was gone.
    std::chrono::milliseconds ReconnectInterval{1000};
    // Called on the engine's thread once the terminal has the final answer of an upload that got past the
    // enquiry, however it ended; it must not wait long, since the next upload waits for it.
    std::function<void(const UploadReport&)> UploadEnded{};
    // The program folder whose ports/ the link reads. When set, a port that did not open gets one more
    // status line saying why (binding/port_diagnosis.h); empty for a link that is not the library.
    std::string ProgramFolder{};
    // A rehearsal (gathra-collect --check): the run takes every step up to the terminal (the database
    // check, the port and, in Mode 1, the adapter), then closes the port and returns StoppedIdle instead of
    // saying a word to a terminal. A step that fails ends it as it ends a real run.
    bool StopBeforeTerminal = false;
};

// Runs uploads from the port line to the final reply; with AutoStart 1 serves one upload after another
// on the open port until stopped. Returns when the run is over (port closed, SetRunning(false) called),
// with how it ended.
//
// A device that is gone (an unplugged cradle, a hung-up line: the library's IrComState says -1 after a
// failed read or write) ends the upload in progress unstored ("CAN", "異常終了"). While the run goes on,
// the port is then closed and opened again once per ReconnectInterval until the device is back or the run
// is stopped; the run then goes on waiting for a terminal. Without automatic start an upload that failed
// this way still ends the run, while a run that was only waiting for a terminal always reconnects.
RunOutcome RunUpload(UploadContext& context);
