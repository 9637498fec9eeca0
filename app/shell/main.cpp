// Gathra: collects the data files of handheld terminals over a serial port.
//
// The program reads no command line and no environment variable of its own: its configuration is the
// settings file beside the executable. SIGTERM and SIGINT end it cleanly: a running upload is stopped,
// and the window closes (port closed) once the upload has ended.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <csignal>

#include "gathra_version.h"
#include "shell/main_window.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminateSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here: the event loop picks the byte up.
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

PlatformFacts ProgramPlatformFacts() {
    PlatformFacts facts;
    facts.ProgramFolder = QCoreApplication::applicationDirPath().toStdString();
    facts.ExecutableName =
        QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
    facts.DocumentsFolder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation).toStdString();
    return facts;
}

}  // namespace

int main(int argc, char** argv) {
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
    window.Load(ProgramPlatformFacts());
    // A signal that arrived while a start-up message box was open ends the program before it is shown.
    if (window.QuitRequested()) {
        return 0;
    }
    window.show();
    return app.exec();
}
