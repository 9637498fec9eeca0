#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "codec/link_api.h"
#include "run/operator_view.h"
#include "run/pc_clock.h"
#include "run/run_outcome.h"
#include "run/run_state.h"
#include "run/upload_result.h"
#include "settings/settings_record.h"

// Everything one upload run works with. Link is nullptr when libquorlin.so could not be loaded.
struct UploadContext {
    SettingsRecord& Settings;
    RunState& Run;
    OperatorView& View;
    const LinkApi* Link = nullptr;
    PcClock Clock = SystemClock;
    // Time between two attempts to open the port again after its device was gone.
    std::chrono::milliseconds ReconnectInterval{1000};
    // How long after the final "ACK" has left the device must still be there for the answer to count as
    // out (on top of the answer's time on the wire).
    std::chrono::milliseconds FinalAnswerSettle{100};
    // Called on the engine's thread with the result of each upload that got past the enquiry, once the
    // terminal has its final answer, however it ended; it must not wait long, since the next upload waits
    // for it.
    std::function<void(const UploadResult&)> UploadEnded{};
    // Called on the engine's thread as it begins to wait for a terminal: at the start of the run and, with
    // automatic start, once the previous upload has its final answer and the run goes on. A Stop from here
    // on ends the run with "異常終了" and "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"; a Stop after an upload's final
    // answer and before this call ends it without them.
    std::function<void()> WaitingForTerminal{};
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
// The run's store comes from the settings (stores/store_table.h); its target is checked before the port
// is opened. At "END" the store is prepared, mailed when asked, committed, and kept only once the final
// "ACK" is out: written, and the device still there FinalAnswerSettle after it. A failed mail, a failed
// commit or an "ACK" that is not out undoes the store ("ACK送信ｴﾗｰ" for the last), so that the terminal's
// resend stores each record once. Each upload's UploadResult is decided here and handed to UploadEnded.
//
// A device that is gone (an unplugged cradle, a hung-up line: the library's IrComState says -1 after a
// failed read or write) ends the upload in progress unstored ("CAN", "異常終了"). While the run goes on,
// the port is then closed and opened again once per ReconnectInterval until the device is back or the run
// is stopped; the run then goes on waiting for a terminal. Without automatic start an upload that failed
// this way still ends the run, while a run that was only waiting for a terminal always reconnects.
RunOutcome RunUpload(UploadContext& context);
