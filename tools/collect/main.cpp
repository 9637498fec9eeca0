// gathra-collect: Gathra without a window, for a PC beside the cradle that has no screen (a service).
//
// It is built from the same core as Gathra: the same Gathra.ini beside the program, the same engine,
// link library, writers and mail. It reads the settings file but never writes it. It runs as the window's
// start button does: with AutoStart 1 it serves upload after upload until SIGTERM or SIGINT (the stop
// button); with AutoStart 0, or with --once, it makes one upload and exits. The exit code says how the
// run ended.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "binding/quorlin_binding.h"
#include "common/visible_text.h"
#include "console_view.h"
#include "gathra_version.h"
#include "run/run_outcome.h"
#include "run/run_state.h"
#include "run/status_line_queue.h"
#include "settings/settings_store.h"
#include "stop_signal_watcher.h"
#include "upload/upload_engine.h"

namespace {

enum ExitCode {
    kExitStored = 0,    // stored (and mailed when asked), or stopped while waiting for a terminal
    kExitFailed = 1,    // the last upload failed or was stopped in the middle
    kExitSettings = 2,  // the settings file or the database
    kExitPort = 3,      // the port could not be opened
    kExitUsage = 64,    // bad command line (EX_USAGE)
};

constexpr const char* kProgram = "gathra-collect";

constexpr const char* kHelp = R"(Usage: gathra-collect [--once] [--beep]
       gathra-collect --help | --version

Collects the data files of handheld terminals without a window, with everything Gathra uses:
the settings file Gathra.ini, Back.txt and ports/ beside this program, the link library
libquorlin.so from the same folder, the writers and the mail. The settings file is only read,
never created or changed: set it up with Gathra (or by hand) first.

It runs as Gathra's start button does. With AutoStart=1 it serves one upload after another
until SIGTERM or SIGINT, which act as the stop button: a store in progress finishes, an upload
in the middle is answered "CAN". With AutoStart=0, or with --once, it makes one upload and
exits.

Options:
  --once      make one upload and exit, whatever AutoStart says
  --beep      write a BEL to standard error for every beep (otherwise beeps are ignored)
  --help      show this help and exit
  --version   show the version and exit

Output:
  standard output  the status lines, each with a time stamp; on a terminal the record count
                   is one updating line
  standard error   message boxes as "title: text" lines (taken as acknowledged), and the
                   reason of a non-zero exit as "gathra-collect: <reason>"

Exit codes:
  0   the upload was stored (and mailed when asked), or the run was stopped while waiting
      for a terminal
  1   the last upload failed, or it was stopped in the middle
  2   a problem with the settings file (missing, unreadable, a bad value, no save folder) or
      with the database
  3   the port could not be opened (or libquorlin.so could not be loaded)
  64  a usage error
)";

struct Options {
    bool once = false;
    bool beep = false;
};

int UsageError(const std::string& problem) {
    std::fprintf(stderr, "%s: %s\nTry 'gathra-collect --help'.\n", kProgram, problem.c_str());
    return kExitUsage;
}

// The exit code of an ended run, and the reason to give for a non-zero one.
int ExitCodeFor(RunOutcome outcome, const SettingsRecord& settings, const RunState& run,
                std::string& reason) {
    switch (outcome) {
        case RunOutcome::Stored:
        case RunOutcome::StoppedIdle:
            return kExitStored;
        case RunOutcome::Failed:
            reason = "異常終了";
            return kExitFailed;
        case RunOutcome::StoppedMidUpload:
            reason = "受信中に停止しました";
            return kExitFailed;
        case RunOutcome::PortNotOpened:
            reason = "COM" + std::to_string(settings.Port) + " ｵｰﾌﾟﾝｴﾗｰ";
            return kExitPort;
        case RunOutcome::DatabaseMissing:
            reason = run.OutputPath + " が存在しません。";
            return kExitSettings;
    }
    return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kHelp, stdout);
            return kExitStored;
        }
        if (arg == "--version") {
            std::printf("%s %s\n", kProgram, kGathraVersion);
            return kExitStored;
        }
        if (arg == "--once") {
            options.once = true;
        } else if (arg == "--beep") {
            options.beep = true;
        } else {
            return UsageError("ｵﾌﾟｼｮﾝが正しくありません: " + arg);
        }
    }

    // A reader that went away must not kill the program: its lines are dropped instead.
    std::signal(SIGPIPE, SIG_IGN);

    RunState run;
    run.IsRunning = true;  // a signal from now on is the stop button
    // Before any other thread starts, so that every thread has the two signals blocked.
    StopSignalWatcher watcher(run);

    int exitCode = kExitStored;
    std::string reason;
    {
        StatusLineQueue out(STDOUT_FILENO);
        StatusLineQueue err(STDERR_FILENO);
        ConsoleView view([&out](std::string line) { out.Push(std::move(line)); },
                         [&err](std::string line) { err.Push(std::move(line)); },
                         ::isatty(STDOUT_FILENO) == 1, options.beep);

        // The program folder is this executable's folder; the settings file is Gathra.ini whatever this
        // program is called, so the collector and the window share one.
        PlatformFacts platform;
        platform.ProgramFolder = ExecutableFolder();
        platform.ExecutableName = "Gathra";

        SettingsRecord settings;
        reason = LoadSettingsReadOnly(settings, platform);
        if (!reason.empty()) {
            exitCode = kExitSettings;
        } else {
            if (const std::string warning = MailTlsWarning(settings); !warning.empty()) {
                view.AppendStatus(warning);
            }
            if (options.once) {
                settings.AutoStart = Switch::Off;
            }
            UploadContext context{settings, run, view, BindQuorlin(platform.ProgramFolder)};
            exitCode = ExitCodeFor(RunUpload(context), settings, run, reason);
        }
        if (exitCode != kExitStored) {
            // The reason may quote outside text (a driver's message, a path from the terminal).
            err.Push(std::string(kProgram) + ": " + VisibleText(OneLine(reason)));
        }
        // Leave what can be written; a console that does not drain does not hold up the end.
        out.Flush(std::chrono::milliseconds(2000));
        err.Flush(std::chrono::milliseconds(2000));
    }
    return exitCode;
}
