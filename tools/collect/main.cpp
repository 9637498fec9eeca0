// gathra-collect: Gathra without a window, for a PC beside the cradle that has no screen (a service).
//
// It is built from the same core as Gathra: the same Gathra.ini in the program folder (beside the program,
// or the folder named with --folder), the same engine, link library, writers and mail. A run reads the
// settings file but never writes it (only --init writes one, where none exists). It runs as the window's
// start button does: with AutoStart 1 it serves upload after upload until SIGTERM, SIGINT or SIGHUP (the
// stop button); with AutoStart 0, or with --once, it makes one upload and exits. The exit code says how
// the run ended.

#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "binding/quorlin_binding.h"
#include "common/program_folder.h"
#include "common/system_error.h"
#include "common/visible_text.h"
#include "console_view.h"
#include "gathra_version.h"
#include "history_command.h"
#include "instance_setup.h"
#include "mail/mail_settings_check.h"
#include "run/run_outcome.h"
#include "run/run_state.h"
#include "run/status_line_queue.h"
#include "settings/settings_store.h"
#include "stop_signal_watcher.h"
#include "upload/upload_engine.h"
#include "upload/upload_follow_up.h"

namespace {

constexpr const char* kProgram = "gathra-collect";

constexpr const char* kHelp = R"(Usage: gathra-collect [--folder DIR] [--once] [--beep]
       gathra-collect [--folder DIR] --init | --check
       gathra-collect [--folder DIR] --history [--since YYYY-MM-DD] [--until YYYY-MM-DD]
                      [--terminal ID] [--csv]
       gathra-collect --help | --version

Collects the data files of handheld terminals without a window, with everything Gathra uses:
the settings file Gathra.ini, Back.txt and ports/ in the program folder, the link library
libquorlin.so from beside this program, the writers and the mail. The program folder is this
program's folder, or DIR. A run only reads the settings file, never creates or changes it:
set it up with --init, with Gathra, or by hand first.

It runs as Gathra's start button does. With AutoStart=1 it serves one upload after another
until SIGTERM, SIGINT or SIGHUP, which act as the stop button: a store in progress finishes,
an upload in the middle is answered "CAN". With AutoStart=0, or with --once, it makes one
upload and exits.

Options:
  --folder DIR  the program folder; it must belong to this user (or root) and must not be
                writable by group or others, and each folder above it must belong to this
                user or root and be closed to group and others unless sticky (as /tmp); the
                same holds for this program's folder when it is the program folder
  --once        make one upload and exit, whatever AutoStart says
  --beep        write a BEL to standard error for every beep (otherwise beeps are ignored)
  --init        write a complete Gathra.ini into the program folder when none exists (an
                existing one is never touched): the defaults, with AutoStart=1 and
                SaveFolder=DIR/out; makes DIR/out and DIR/ports
  --check       read the settings and check each prerequisite, one line each (the settings,
                the save folder, the database, the port, the mail server), then exit with the
                code a run would give
  --history     print the upload journal (Gathra-journal.sqlite in the program folder) and
                exit: aligned columns, newest first; it only reads, also while a collector runs
    --since D     uploads from local day D (YYYY-MM-DD) on
    --until D     uploads up to and including local day D
    --terminal ID uploads of this terminal ID only
    --csv         CSV with a header line instead (UTF-8, no byte order mark)
  --help        show this help and exit
  --version     show the version and exit

Output:
  standard output  the status lines, each with a time stamp; on a terminal the record count
                   and the time waited for a terminal are one updating line; after each upload
                   one summary line ("T01: 4件 → <file> 正常終了")
  standard error   message boxes as "title: text" lines (taken as acknowledged), and the
                   reason of a non-zero exit as "gathra-collect: <reason>"

Database password: with a server database (DbConnect), a password that DbConnect does not hold
is read from the file gathra-db-password in $CREDENTIALS_DIRECTORY (systemd's LoadCredential=).

Exit codes (the service restarts after 1, 3 and 4):
  0   the upload was stored (and mailed when asked), or the run was stopped while waiting
      for a terminal
  1   the last upload failed, or it was stopped in the middle
  2   the settings: the file missing or unreadable, a bad value (named with the values it
      takes), DbConnect too long, mail settings that would refuse every mail; or a program
      folder that cannot be used
  3   the port could not be opened: absent, busy, no permission, or libquorlin.so missing
  4   a prerequisite that may come back: the save folder missing or not writable, the
      SQLite file missing, the database server not reachable (with --check: also the mail
      server not answering)
  64  a usage error
)";

struct Options {
    bool once = false;
    bool beep = false;
    bool init = false;
    bool check = false;
    bool hasFolder = false;
    std::string folder;
    bool history = false;
    HistoryRequest historyRequest;
};

int UsageError(const std::string& problem) {
    std::fprintf(stderr, "%s: %s\nTry 'gathra-collect --help'.\n", kProgram, problem.c_str());
    return kExitUsage;
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
        const bool takesValue = arg == "--since" || arg == "--until" || arg == "--terminal";
        if (takesValue && i + 1 >= argc) {
            return UsageError("値がありません: " + arg);
        }
        if (arg == "--history") {
            options.history = true;
        } else if (arg == "--csv") {
            options.historyRequest.Csv = true;
        } else if (arg == "--since") {
            options.historyRequest.Since = argv[++i];
        } else if (arg == "--until") {
            options.historyRequest.Until = argv[++i];
        } else if (arg == "--terminal") {
            options.historyRequest.Terminal = argv[++i];
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "--beep") {
            options.beep = true;
        } else if (arg == "--init") {
            options.init = true;
        } else if (arg == "--check") {
            options.check = true;
        } else if (arg == "--folder" || arg.rfind("--folder=", 0) == 0) {
            if (arg == "--folder" && i + 1 >= argc) {
                return UsageError("--folder にﾌｫﾙﾀﾞがありません");
            }
            options.hasFolder = true;
            options.folder = arg == "--folder" ? argv[++i] : arg.substr(9);
        } else {
            return UsageError("ｵﾌﾟｼｮﾝが正しくありません: " + arg);
        }
    }

    if (options.init && options.check) {
        return UsageError("--init と --check は同時に指定できません");
    }
    const HistoryRequest& history = options.historyRequest;
    if (!options.history && (history.Csv || history.Since || history.Until || history.Terminal)) {
        return UsageError("--since, --until, --terminal と --csv は --history と使います");
    }
    if (options.history && (options.once || options.beep || options.init || options.check)) {
        return UsageError("--history は --once, --beep, --init, --check と使えません");
    }

    // The program folder is this executable's folder, or DIR, checked and held from here on; the settings
    // file is Gathra.ini whatever this program is called, so the collector and the window share one.
    std::string problem;
    const ProgramFolder folder =
        ProgramFolder::Open(options.hasFolder ? options.folder : ExecutableFolder(), problem);
    if (!folder.IsHeld()) {
        std::fprintf(stderr, "%s: %s\n", kProgram, VisibleText(problem).c_str());
        return kExitSettings;
    }
    PlatformFacts platform;
    platform.ProgramFolder = folder.RealPath();
    platform.ProgramFolderFd = folder.Descriptor();
    platform.ExecutableName = "Gathra";
    // The link library, SQLite and the port diagnosis reach the folder through its descriptor too.
    const std::string programFolder = ProgramFolderPath(platform);
    if (options.hasFolder) {
        // Before any thread starts: the link library learns the folder as it loads.
        BindQuorlinFor(programFolder, ExecutableFolder());
    }
    if (options.init || options.check) {
        std::string report;
        const int code = options.init ? InitProgramFolder(platform, report) : CheckInstance(platform, report);
        std::fputs(report.c_str(), code == 0 || options.check ? stdout : stderr);
        return code;
    }
    if (options.history) {
        return PrintHistory(programFolder, history);
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

        SettingsRecord settings;
        reason = LoadSettingsReadOnly(settings, platform);
        if (reason.empty() && UsesServerDatabase(settings)) {
            reason = DbConnectTooLong(settings);
        }
        if (reason.empty()) {
            // Mail settings that would refuse every mail are found before the port is opened, not after
            // each upload has been stored.
            reason = MailSettingsProblem(settings);
        }
        if (!reason.empty()) {
            // A save folder that is not there yet (a mount at boot) may come back; anything else in the
            // settings needs the administrator.
            const bool saveFolder =
                !settings.SaveFolder.empty() && reason == settings.SaveFolder + " : 保存ﾌｫﾙﾀﾞが存在しません";
            exitCode = saveFolder ? kExitPrerequisite : kExitSettings;
        } else if (::access(".", W_OK) != 0) {
            // The save folder is the current directory now.
            reason = settings.SaveFolder + " : 保存ﾌｫﾙﾀﾞに書き込めません (" + SystemErrorText(errno) + ")";
            exitCode = kExitPrerequisite;
        } else {
            AddCredentialPassword(settings);
            if (const std::string warning = MailTlsWarning(settings); !warning.empty()) {
                view.AppendStatus(warning);
            }
            if (options.once) {
                settings.AutoStart = Switch::Off;
            }
            // The journal and the command after each upload; their status lines go straight to the queue,
            // which any thread may fill, with control characters made visible as the view does.
            UploadFollowUp followUp(programFolder, [&out](const std::string& line) {
                out.Push(ConsoleTimeStamp() + " " + VisibleText(line));
            });
            followUp.BeginRun(settings);
            UploadContext context{settings, run, view, BindQuorlin(programFolder)};
            context.ProgramFolder = programFolder;
            UploadResult lastUpload;
            context.UploadEnded = [&](const UploadResult& report) {
                view.AppendStatus(UploadSummaryLine(report));
                followUp.UploadEnded(report);
                lastUpload = report;
            };
            exitCode = CollectExitCode(RunUpload(context), settings, run, lastUpload, view, reason);
            // A normal end waits for the commands; a stop by signal gives them two seconds.
            followUp.Finish(run.StopRequested);
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
