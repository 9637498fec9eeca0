// The real Gathra program on a real X server (Xvfb), driven the way an operator would: the start-up
// "File Read" box is acknowledged with a key press, after which the settings file is initialised, the
// main window shows, a second Gathra and a collector on its folder are refused, and SIGTERM ends the
// program cleanly.
//
// The test starts its own Xvfb on a free display number (-displayfd), so it runs beside other tests and
// leaves nothing behind. Every wait is bounded. A missing Xvfb or xdotool is a failure, not a skip: the
// set-up script installs both.

#include <sys/prctl.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

#include "shell_test_support.h"

namespace {

// Children die with the test, even when it is killed by the test runner's time limit.
void DieWithParent() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

const QString kMainTitle = QStringLiteral("GATHRA for Windows(CSV/TXT/XLS/MDB/MAIL対応)");

}  // namespace

class ProgramX11Test : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void startUpBoxAcknowledgedByKey();

private:
    // Runs xdotool with `args`; false when it fails or does not end within `timeoutMs`.
    bool Xdotool(const QStringList& args, int timeoutMs, QByteArray* output = nullptr);

    QString bin_;
    QString xdotool_;
    QString display_;
    QProcess xvfb_;
};

void ProgramX11Test::initTestCase() {
    bin_ = qEnvironmentVariable("GATHRA_BIN_DIR");
    QVERIFY2(!bin_.isEmpty() && QFile::exists(bin_ + "/Gathra"), "GATHRA_BIN_DIR does not hold Gathra");
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    xdotool_ = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    QVERIFY2(!xvfb.isEmpty(),
             "Xvfb is not installed: add the Debian package xvfb to scripts/install-deps.sh");
    QVERIFY2(!xdotool_.isEmpty(),
             "xdotool is not installed: add the Debian package xdotool to scripts/install-deps.sh");

    // -displayfd 1: the server picks a free display and writes its number to our pipe once it listens.
    xvfb_.setChildProcessModifier(DieWithParent);
    xvfb_.start(xvfb, {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    QVERIFY2(xvfb_.waitForStarted(10000), qPrintable(xvfb_.errorString()));
    QByteArray number;
    const QDeadlineTimer deadline(30000);
    while (!number.contains('\n') && !deadline.hasExpired() && xvfb_.state() == QProcess::Running) {
        xvfb_.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        number += xvfb_.readAllStandardOutput();
    }
    QVERIFY2(number.contains('\n'), xvfb_.readAllStandardError().constData());
    display_ = ":" + QString::fromLatin1(number.trimmed());
}

void ProgramX11Test::cleanupTestCase() {
    if (xvfb_.state() != QProcess::NotRunning) {
        xvfb_.terminate();
        if (!xvfb_.waitForFinished(10000)) {
            xvfb_.kill();
            xvfb_.waitForFinished(5000);
        }
    }
}

bool ProgramX11Test::Xdotool(const QStringList& args, int timeoutMs, QByteArray* output) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    env.remove("XAUTHORITY");
    tool.setProcessEnvironment(env);
    tool.setChildProcessModifier(DieWithParent);
    tool.start(xdotool_, args);
    if (!tool.waitForStarted(10000)) {
        return false;
    }
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished(5000);
        qWarning("xdotool %s: no answer within %d ms", qPrintable(args.join(' ')), timeoutMs);
        return false;
    }
    if (output) {
        *output = tool.readAllStandardOutput();
    }
    return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

void ProgramX11Test::startUpBoxAcknowledgedByKey() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath("program");
    const QString home = dir.filePath("home");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QDir().mkpath(home + "/Documents"));
    QVERIFY(QDir().mkpath(home + "/runtime"));
    QFile::setPermissions(home + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(QFile::copy(bin_ + "/Gathra", folder + "/Gathra"));
    const QString ini = folder + "/Gathra.ini";

    // A home of its own: the default save folder (the documents folder) and any desktop caches land here.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", display_);
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home + "/.config");
    env.insert("XDG_DATA_HOME", home + "/.local/share");
    env.insert("XDG_CACHE_HOME", home + "/.cache");
    env.insert("XDG_RUNTIME_DIR", home + "/runtime");
    env.remove("XAUTHORITY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("SESSION_MANAGER");

    QProcess gathra;
    gathra.setProcessEnvironment(env);
    gathra.setWorkingDirectory(folder);
    gathra.setChildProcessModifier(DieWithParent);
    gathra.start(folder + "/Gathra", {});
    QVERIFY2(gathra.waitForStarted(10000), qPrintable(gathra.errorString()));

    // No settings file: start-up waits in the modal box before it writes anything.
    QByteArray found;
    QVERIFY2(Xdotool({"search", "--sync", "--onlyvisible", "--name", "^File Read$"}, 60000, &found),
             gathra.readAllStandardError().constData());
    const QByteArray box = found.split('\n').first().trimmed();
    QVERIFY(!box.isEmpty());
    QVERIFY(!QFile::exists(ini));
    QCOMPARE(gathra.state(), QProcess::Running);

    // No window manager runs, so the box gets the input focus directly; Return presses its OK button.
    QVERIFY(Xdotool({"windowfocus", "--sync", QString::fromLatin1(box), "key", "Return"}, 30000));

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ini), 30000);
    QByteArray mainFound;
    QVERIFY2(Xdotool({"search", "--sync", "--onlyvisible", "--name", "^GATHRA for Windows\\(CSV/"}, 60000,
                     &mainFound),
             gathra.readAllStandardError().constData());
    const QByteArray mainWindow = mainFound.split('\n').first().trimmed();
    QByteArray name;
    QVERIFY(Xdotool({"getwindowname", QString::fromLatin1(mainWindow)}, 30000, &name));
    QCOMPARE(QString::fromUtf8(name).trimmed(), kMainTitle);
    // The box is gone once the window shows.
    QVERIFY(!Xdotool({"search", "--onlyvisible", "--name", "^File Read$"}, 30000));

    // The initialised file: one section, every key, the save folder in the child's own home.
    const QByteArray text = FileBytes(ini);
    QStringList sections;
    int keys = 0;
    for (const QByteArray& raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            sections << QString::fromUtf8(line);
        } else if (line.contains('=')) {
            ++keys;
        }
    }
    QCOMPARE(sections, QStringList{"[Gathra]"});
    QCOMPARE(keys, 45);
    QCOMPARE(QString::fromStdString(IniValue(ini, "SaveFolder")), home + "/Documents");

    // A second Gathra and a collector on the same folder do not start: the window says why in a box, the
    // collector on standard error with the exit code a service tries again after.
    const QString held = QStringLiteral("Gathraはこのﾌｫﾙﾀﾞで既に起動しています (%1, pid %2)")
                             .arg(folder)
                             .arg(gathra.processId());
    QProcess collector;
    collector.start(bin_ + "/gathra-collect", {"--folder", folder, "--once"});
    QVERIFY(collector.waitForFinished(30000));
    QCOMPARE(collector.exitCode(), 4);
    QCOMPARE(QString::fromUtf8(collector.readAllStandardError()), "gathra-collect: " + held + "\n");
    QProcess second;
    second.setProcessEnvironment(env);
    second.setChildProcessModifier(DieWithParent);
    second.start(folder + "/Gathra", {});
    QByteArray boxFound;
    QVERIFY(Xdotool({"search", "--sync", "--onlyvisible", "--name", "^Gathra$"}, 60000, &boxFound));
    const QByteArray secondBox = boxFound.split('\n').first().trimmed();
    QVERIFY(Xdotool({"windowfocus", "--sync", QString::fromLatin1(secondBox), "key", "Return"}, 30000));
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitCode(), 4);
    QCOMPARE(QString::fromUtf8(second.readAllStandardError()).trimmed(), "Gathra: " + held);

    gathra.terminate();  // SIGTERM
    QVERIFY2(gathra.waitForFinished(30000), "Gathra did not end on SIGTERM");
    QCOMPARE(gathra.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gathra.exitCode(), 0);
}

QTEST_GUILESS_MAIN(ProgramX11Test)
#include "program_x11_test.moc"
