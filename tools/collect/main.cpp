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
#include <optional>
#include <string>
#include <vector>

#include "binding/quorlin_binding.h"
#include "common/program_folder.h"
#include "common/program_folder_lock.h"
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
#include "run_exit.h"
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
                writable by group or others, nor lie inside /usr (the installed files), and
                each folder above it must belong to this user or root and be closed to group
                and others unless sticky (as /tmp); the same holds for this program's folder
                when it is the program folder
  --once        make one upload and exit, whatever AutoStart says
  --beep        write a BEL to standard error for every beep (otherwise beeps are ignored)
  --init        write a complete Gathra.ini into the program folder when none exists (an
                existing one is never touched): the defaults, with AutoStart=1,
                SaveFolder=DIR/out and MailTls=1; makes DIR (mode 0700) when it is missing,
                DIR/out and DIR/ports
  --check       go through a run's steps up to the terminal's enquiry, one line each
                (the settings, the save folder, another Gathra on the folder, the database,
                the port and in Mode 1 the adapter), then exit with exactly the code the run
                would give; the mail server (SendMail=1) is tried and reported, but does not
                change the code, since a run finds it out only after an upload
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
      SQLite file missing, the database server not reachable, or another Gathra already
      serving the program folder
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

// One option of the command line (with its value, when it takes one) into `options`; the exit code when
// the program ends here.
std::optional<int> ParseOption(int argc, char** argv, int& i, Options& options) {
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
    HistoryRequest& history = options.historyRequest;
    if (arg == "--history" || arg == "--csv" || arg == "--once" || arg == "--beep" || arg == "--init" ||
        arg == "--check") {
        bool& flag = arg == "--history" ? options.history
                     : arg == "--csv"   ? history.Csv
                     : arg == "--once"  ? options.once
                     : arg == "--beep"  ? options.beep
                     : arg == "--init"  ? options.init
                                        : options.check;
        flag = true;
    } else if (takesValue) {
        (arg == "--since" ? history.Since : arg == "--until" ? history.Until : history.Terminal) = argv[++i];
    } else if (arg == "--folder" || arg.rfind("--folder=", 0) == 0) {
        if (arg == "--folder" && i + 1 >= argc) {
            return UsageError("--folder にﾌｫﾙﾀﾞがありません");
        }
        options.hasFolder = true;
        options.folder = arg == "--folder" ? argv[++i] : arg.substr(9);
    } else {
        return UsageError("ｵﾌﾟｼｮﾝが正しくありません: " + arg);
    }
    return std::nullopt;
}

// The command line into `options`; the exit code when the program ends here (help, version, usage).
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        if (const std::optional<int> exit = ParseOption(argc, argv, i, options)) {
            return exit;
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
    return std::nullopt;
}

int Refuse(const std::string& problem) {
    std::fprintf(stderr, "%s: %s\n", kProgram, VisibleText(problem).c_str());
    return kExitSettings;
}

// The program folder: this executable's folder, or DIR (made by --init when missing), which must be fit to
// serve, checked and held in `held` from here on; the settings file is Gathra.ini whatever this program is
// called, so the collector and the window share one. The exit code when the folder is refused.
std::optional<int> ChooseProgramFolder(const Options& options, ProgramFolder& held, PlatformFacts& platform) {
    const std::string folder = options.hasFolder ? options.folder : ExecutableFolder();
    if (const std::string problem = InstalledFilesFolderProblem(folder); !problem.empty()) {
        return Refuse(problem);
    }
    if (options.hasFolder && options.init && !options.folder.empty()) {
        if (const std::string problem = MakeProgramFolder(options.folder); !problem.empty()) {
            return Refuse(problem);
        }
    }
    std::string problem;
    held = ProgramFolder::Open(folder, problem);
    if (!held.IsHeld()) {
        return Refuse(problem);
    }
    platform.ProgramFolder = held.RealPath();
    platform.ProgramFolderFd = held.Descriptor();
    platform.ExecutableName = "Gathra";
    if (options.hasFolder) {
        // Before any thread starts: the link library learns the folder as it loads.
        BindQuorlinFor(ProgramFolderPath(platform), ExecutableFolder());
    }
    return std::nullopt;
}

// Serves uploads as the window's start button does, reporting on the console; the exit code.
int Collect(const Options& options, const PlatformFacts& platform) {
    // A reader that went away must not kill the program: its lines are dropped instead.
    std::signal(SIGPIPE, SIG_IGN);

    RunState run;
    run.IsRunning = true;  // a signal from now on is the stop button
    // Before any other thread starts, so that every thread has the two signals blocked.
    StopSignalWatcher watcher(run);

    StatusLineQueue out(STDOUT_FILENO);
    StatusLineQueue err(STDERR_FILENO);
    ConsoleView view([&out](std::string line) { out.Push(std::move(line)); },
                     [&err](std::string line) { err.Push(std::move(line)); }, ::isatty(STDOUT_FILENO) == 1,
                     options.beep);
    SettingsRecord settings;
    std::string reason;
    int exitCode = LoadRunSettings(platform, settings, reason);
    // One program per folder, for the whole run: a second one would meet a busy port half-way. Taken once
    // the settings are known to be usable, so that a run refused for them leaves the folder as it was.
    ProgramFolderLock lock;
    if (exitCode == kExitStored) {
        reason = lock.Acquire(platform.ProgramFolder, platform.ProgramFolderFd);
        exitCode = reason.empty() ? kExitStored : kExitPrerequisite;
    }
    if (exitCode == kExitStored) {
        AddCredentialPassword(settings);
        if (const std::string warning = MailTlsWarning(settings); !warning.empty()) {
            view.AppendStatus(warning);
        }
        if (options.once) {
            settings.AutoStart = Switch::Off;
        }
        // The journal and the command after each upload; their status lines go straight to the queue,
        // which any thread may fill, with control characters made visible as the view does.
        // The link library, SQLite and the port diagnosis reach the folder through its descriptor.
        const std::string programFolder = ProgramFolderPath(platform);
        UploadFollowUp followUp(programFolder, [&out](const std::string& line) {
            out.Push(ConsoleTimeStamp() + " " + VisibleText(line));
        });
        followUp.BeginRun(settings);
        UploadContext context{settings, run, view, BindQuorlin(programFolder)};
        context.ProgramFolder = programFolder;
        UploadResult lastUpload;
        context.UploadEnded = [&](const UploadResult& report) {
            view.AppendSummary(UploadSummaryLine(report));
            followUp.UploadEnded(report);
            lastUpload = report;
        };
        const RunOutcome outcome = RunUpload(context);
        const std::string& failure =
            lastUpload.FailureText.empty() ? view.LastFailure() : lastUpload.FailureText;
        exitCode = RunExitCode(outcome, settings, run, failure, view.LastAppended(), reason);
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
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::optional<int> exit = ParseCommandLine(argc, argv, options)) {
        return *exit;
    }
    ProgramFolder folder;
    PlatformFacts platform;
    if (const std::optional<int> refused = ChooseProgramFolder(options, folder, platform)) {
        return *refused;
    }
    if (options.init || options.check) {
        std::string report;
        const int code = options.init ? InitProgramFolder(platform, report) : CheckInstance(platform, report);
        std::fputs(report.c_str(), code == 0 || options.check ? stdout : stderr);
        return code;
    }
    if (options.history) {
        return PrintHistory(ProgramFolderPath(platform), options.historyRequest);
    }
    return Collect(options, platform);
}
