// Gathra: collects the data files of handheld terminals over a serial port.
//
// Its configuration is the settings file in the program folder: the executable's folder, or the folder
// named with --folder DIR, the one option it takes (other arguments are ignored). The folder must belong
// to the user and be closed to group and others, and so must the folders above it (sticky ones aside), or
// the program refuses to start (exit code 2); it is held open from that check on.
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
#include <optional>
#include <string>

#include "binding/quorlin_binding.h"
#include "common/program_folder.h"
#include "common/visible_text.h"
#include "gathra_version.h"
#include "shell/main_window.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminateSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here: the event loop picks the byte up.
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

// The folder given with --folder DIR or --folder=DIR; nullopt without one. A --folder without its DIR
// names the empty folder, which the check refuses.
std::optional<std::string> FolderOption(int argc, char** argv) {
    std::optional<std::string> folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--folder") {
            folder = i + 1 < argc ? argv[++i] : "";
        } else if (arg.rfind("--folder=", 0) == 0) {
            folder = arg.substr(9);
        }
    }
    return folder;
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

}  // namespace

int main(int argc, char** argv) {
    const std::optional<std::string> option = FolderOption(argc, argv);
    std::string problem;
    const ProgramFolder folder = ProgramFolder::Open(option ? *option : ExecutableFolder(), problem);
    if (!folder.IsHeld()) {
        std::fprintf(stderr, "Gathra: %s\n", VisibleText(problem).c_str());
        return 2;
    }
    if (option) {
        // Before any thread starts: the link library learns the folder as it loads.
        BindQuorlinFor(folder.HeldPath(), ExecutableFolder());
    }

    // Qt would interpret options such as -style or -platform; the program takes none.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Gathra"));
    QApplication::setApplicationVersion(QString::fromLatin1(kGathraVersion));

    std::signal(SIGPIPE, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        struct sigaction action {};
        action.sa_handler = OnTerminateSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGHUP, &action, nullptr);
    }

    MainWindow window;
    if (g_signalPipe[0] >= 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
            char byte = 0;
            [[maybe_unused]] const ssize_t got = ::read(g_signalPipe[0], &byte, 1);
            window.RequestQuit();
        });
    }
    window.Load(ProgramPlatformFacts(folder));
    // A signal that arrived while a start-up message box was open ends the program before it is shown.
    if (window.QuitRequested()) {
        return 0;
    }
    window.show();
    return app.exec();
}
