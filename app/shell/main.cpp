// Gathra: collects the data files of handheld terminals over a serial port.
//
// Its configuration is the settings file in the program folder: the executable's folder, or the folder
// named with --folder DIR, the one option it takes besides --help and --version (other arguments are
// ignored; --refusal TEXT is the launcher's, which hands its own refusal over to be shown). The folder
// must belong to the user and be closed to group and others, and so must the folders above it (sticky
// ones aside); no folder inside /usr may serve. Otherwise the program refuses to start (exit code 2), in a
// box as well as on standard error. The folder is held open from that check on. A folder another Gathra
// serves is refused the same way (exit code 4).
// SIGTERM, SIGINT and SIGHUP end it as closing the window does: a running upload is stopped, and the
// window closes (port closed) once the upload has ended.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "binding/quorlin_binding.h"
#include "common/program_folder.h"
#include "common/program_folder_lock.h"
#include "common/visible_text.h"
#include "gathra_version.h"
#include "shell/main_window.h"
#include "shell/message_box.h"
#include "shell/window_metrics.h"

namespace {

int g_signalPipe[2] = {-1, -1};

constexpr int kExitRefused = 2;  // a program folder that cannot serve (as gathra-collect)
constexpr int kExitBusy = 4;     // another Gathra serves the folder (as gathra-collect)

constexpr const char* kHelp = R"(Usage: Gathra [--folder DIR]
       Gathra --help | --version

Collects the data files of handheld terminals over a serial port, in a window. Its settings
(Gathra.ini), Back.txt and ports/ live in the program folder: this program's folder, or DIR.
The folder must belong to this user (or root), must not be writable by group or others, and
must not lie inside /usr, where the package's files are: the launcher "gathra" starts Gathra
with a folder of the user's own. Each folder above it must belong to this user or root and be
closed to group and others unless sticky (as /tmp). One Gathra (or gathra-collect) serves a folder at a time.

SIGTERM, SIGINT and SIGHUP end it as closing the window does.
)";

void OnTerminateSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here: the event loop picks the byte up.
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

// The value of --NAME VALUE or --NAME=VALUE; nullopt without one. A --NAME without its value gives the
// empty text (for --folder: the empty folder, which the check refuses).
std::optional<std::string> OptionValue(int argc, char** argv, const std::string& name) {
    std::optional<std::string> value;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == name) {
            value = i + 1 < argc ? argv[++i] : "";
        } else if (arg.rfind(name + "=", 0) == 0) {
            value = arg.substr(name.size() + 1);
        }
    }
    return value;
}

PlatformFacts ProgramPlatformFacts(const ProgramFolder& folder) {
    PlatformFacts facts;
    facts.ProgramFolder = folder.RealPath();
    facts.ProgramFolderFd = folder.Descriptor();
    facts.ExecutableName =
        QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
    facts.DocumentsFolder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation).toStdString();
    return facts;
}

// Why the program folder (DIR, or this program's folder) cannot serve (with what to do, on a line of its
// own), or empty, the folder then checked and held in `held`.
std::string FolderRefusal(const std::optional<std::string>& folder, ProgramFolder& held) {
    const std::string dir = folder ? *folder : ExecutableFolder();
    if (std::string problem = InstalledFilesFolderProblem(dir); !problem.empty()) {
        return problem + "\r\ngathra から起動してください";
    }
    std::string problem;
    held = ProgramFolder::Open(dir, problem);
    return VisibleText(problem);
}

// A refusal to start, on standard error and, where there is a screen, in a box: started from the desktop
// menu, nobody reads standard error. Returns `code`.
int Refuse(const std::string& text, int code, QApplication* app) {
    std::string line = text;
    for (size_t at = line.find("\r\n"); at != std::string::npos; at = line.find("\r\n", at)) {
        line.replace(at, 2, " ");
    }
    std::fprintf(stderr, "Gathra: %s\n", line.c_str());
    if (app != nullptr) {
        NewMessageBox("Gathra", text, MessageIcon::Critical)->exec();
    }
    return code;
}

// A screen someone looks at: without a display QApplication would end the program, and on the offscreen
// platform a box would wait for a click that never comes.
bool ScreenAvailable() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform == "offscreen" || platform == "minimal") {
        return false;
    }
    return !platform.isEmpty() || !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Ends the program as closing the window does on SIGTERM, SIGINT and SIGHUP.
void WatchTerminateSignals(MainWindow& window) {
    std::signal(SIGPIPE, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = OnTerminateSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(g_signalPipe[0], &byte, 1);
        window.RequestQuit();
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Help and version before anything looks for a screen.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Gathra %s\n", kGathraVersion);
            return 0;
        }
    }
    const std::optional<std::string> folder = OptionValue(argc, argv, "--folder");
    // The launcher's own refusal, when it was started from the menu: shown as Gathra's.
    const std::optional<std::string> launcherRefusal = OptionValue(argc, argv, "--refusal");
    ProgramFolder programFolder;
    const std::string refusal = launcherRefusal ? *launcherRefusal : FolderRefusal(folder, programFolder);
    if (refusal.empty() && folder) {
        // Before any thread starts: the link library learns the folder as it loads.
        BindQuorlinFor(programFolder.HeldPath(), ExecutableFolder());
    }
    if (!refusal.empty() && !ScreenAvailable()) {
        return Refuse(refusal, kExitRefused, nullptr);
    }

    // Qt would interpret options such as -style or -platform; the program takes none.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Gathra"));
    QApplication::setApplicationVersion(QString::fromLatin1(kGathraVersion));
    InstallQtJapanese();
    if (!refusal.empty()) {
        return Refuse(refusal, kExitRefused, &app);
    }
    const PlatformFacts facts = ProgramPlatformFacts(programFolder);
    // One program per folder, for the program's life: a second window would fight over the port.
    ProgramFolderLock lock;
    if (const std::string held = lock.Acquire(facts.ProgramFolder, facts.ProgramFolderFd); !held.empty()) {
        return Refuse(held, kExitBusy, &app);
    }

    MainWindow window;
    WatchTerminateSignals(window);
    window.Load(facts);
    // A signal that arrived while a start-up message box was open ends the program before it is shown.
    if (window.QuitRequested()) {
        return 0;
    }
    window.show();
    return app.exec();
}
