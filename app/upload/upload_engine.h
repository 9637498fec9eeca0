#pragma once

#include <functional>

#include "codec/link_api.h"
#include "settings/settings_record.h"
#include "run/operator_view.h"
#include "run/run_outcome.h"
#include "run/run_state.h"

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
};

// Runs uploads from the port line to the final reply; with AutoStart 1 serves one upload after another
// on the open port until stopped. Returns when the run is over (port closed, SetRunningState(0) called),
// with how it ended.
RunOutcome RunUpload(UploadContext& context);
