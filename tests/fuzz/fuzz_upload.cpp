// Whole uploads over arbitrary terminal lines: the upload engine talks to a scripted link whose reads
// return the input cut at each CR, so every line a terminal might send reaches the enquiry-answer parser,
// the frame check, the record phase and the text writer. The first input byte picks the protocol, the
// checksum coverage and whether the terminal ID names the output. When the lines run out the run is
// stopped, as the stop button would.
#include <algorithm>
#include <cstring>

#include "codec/link_api.h"
#include "fuzz_support.h"
#include "run/run_state.h"
#include "settings/settings_record.h"
#include "upload/upload_engine.h"

namespace {

std::string_view pending;
RunState* activeRun = nullptr;
int silentReads = 0;

int32_t Open(int32_t, int32_t, int32_t) {
    return 1;
}
int32_t Clear() {
    return 1;
}
int32_t Write(const char*) {
    return 1;
}
int32_t Close() {
    return 1;
}

int32_t Read(char* buffer) {
    if (pending.empty()) {
        // Out of lines: a few time-outs, then the operator presses stop.
        if (++silentReads > 3 && activeRun != nullptr) {
            activeRun->IsRunning = false;
            activeRun->StopRequested = true;
        }
        return 0;
    }
    const size_t cr = pending.find('\r');
    const size_t take = std::min<size_t>(cr == std::string_view::npos ? pending.size() : cr + 1, 255);
    std::memcpy(buffer, pending.data(), take);
    buffer[take] = '\0';
    pending.remove_prefix(take);
    return static_cast<int32_t>(take);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string& folder = ScratchFolder();
    SettingsRecord settings;
    settings.SaveFolder = folder;
    settings.BackFilePath = folder + "/Back.txt";
    settings.SaveFormat = kSaveFormatText;
    settings.Protocol = static_cast<UploadProtocol>(data[0] & 1);
    settings.ChecksumCoverage = static_cast<ChecksumCoverage>((data[0] >> 1) & 1);
    settings.OverWrite = 1;
    settings.AddDate = static_cast<int16_t>((data[0] >> 2) & 1);
    settings.FixFname = (data[0] & 8) != 0 ? "" : "FIXED";
    settings.AutoStart = Switch::Off;
    settings.Port = 1;
    settings.Baud = 115200;
    settings.TimeAdjust = "0";
    settings.SelectedFields.fill(1);

    LinkApi link;
    link.vbOpenIrCom = &Open;
    link.ClearIrCom = &Clear;
    link.WriteIrCom = &Write;
    link.vbReadIrCom = &Read;
    link.CloseIrCom = &Close;

    RunState run;
    run.IsRunning = true;
    SilentOperatorView view;
    pending = AsText(data + 1, size - 1);
    activeRun = &run;
    silentReads = 0;
    UploadContext context{settings, run, view, &link, [] { return PcDateTime{2026, 12, 8, 9, 30, 0}; }};
    (void)RunUpload(context);
    activeRun = nullptr;
    return 0;
}
