// The real Gathra program in a program folder of its own: automatic start against gathra-termsim, the
// stored file, the status lines on standard output, and a clean end on SIGTERM, with and without
// libquorlin.so.

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <memory>

#include "codec/text_encoding.h"
#include "shell_test_support.h"

class ProgramTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void automaticUploadStoresFile();
    void uploadGoesOnWhileStandardOutputIsNotRead();
    void endsWithoutLinkLibrary();
    void endsWhileStartUpMessageWaits();

private:
    // A program folder with Gathra (and, when asked, libquorlin.so and gathra-termsim).
    QString MakeProgramFolder(QTemporaryDir& dir, bool withLink);
    // A program folder with the simulator whose settings start an upload automatically (direct mode).
    QString MakeUploadFolder(QTemporaryDir& dir);
    void StartGathra(QProcess& gathra, const QString& folder);
    // Starts gathra-termsim serving one upload of `records` as terminal T01 on COM1; waits until it is ready.
    void StartTerminal(QProcess& sim, const QString& folder, const QStringList& records);
    static void EndGathra(QProcess& gathra);

    QString bin_;
};

void ProgramTest::initTestCase() {
    bin_ = qEnvironmentVariable("GATHRA_BIN_DIR");
    if (bin_.isEmpty() || !QFile::exists(bin_ + "/Gathra")) {
        QSKIP("GATHRA_BIN_DIR does not hold Gathra");
    }
}

QString ProgramTest::MakeProgramFolder(QTemporaryDir& dir, bool withLink) {
    const QString folder = dir.path();
    QStringList files{"Gathra"};
    if (withLink) {
        files << "libquorlin.so"
              << "gathra-termsim";
    }
    for (const QString& file : files) {
        if (!QFile::copy(bin_ + "/" + file, folder + "/" + file)) {
            qWarning("cannot copy %s", qPrintable(file));
            return {};
        }
    }
    QDir(folder).mkdir("out");
    return folder;
}

QString ProgramTest::MakeUploadFolder(QTemporaryDir& dir) {
    const QString folder = MakeProgramFolder(dir, true);
    if (!folder.isEmpty()) {
        WriteSettings(folder, folder + "/out", [](SettingsRecord& r) {
            r.AutoStart = Switch::On;
            r.Mode = LinkMode::Direct;  // the simulator plays the terminal only, not the adapter
            r.TimeAdjust.assign(1, '0');
        });
    }
    return folder;
}

void ProgramTest::StartGathra(QProcess& gathra, const QString& folder) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    gathra.setProcessEnvironment(env);
    gathra.setWorkingDirectory(folder);
    gathra.start(folder + "/Gathra", {});
    QVERIFY2(gathra.waitForStarted(10000), qPrintable(gathra.errorString()));
}

void ProgramTest::EndGathra(QProcess& gathra) {
    gathra.terminate();  // SIGTERM
    QVERIFY2(gathra.waitForFinished(30000), "Gathra did not end on SIGTERM");
    QCOMPARE(gathra.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gathra.exitCode(), 0);
}

void ProgramTest::automaticUploadStoresFile() {
    if (!QFile::exists(bin_ + "/gathra-termsim")) {
        QSKIP("gathra-termsim is not built");
    }
    QTemporaryDir dir;
    const QString folder = MakeUploadFolder(dir);
    QVERIFY(!folder.isEmpty());
    const QStringList records{"A001,ﾃｽﾄ,10", "A002,商品,20", "A003,abc,30"};
    QProcess sim;
    StartTerminal(sim, folder, records);
    if (QTest::currentTestFailed()) {
        return;
    }
    QByteArray simOutput;

    QProcess gathra;
    StartGathra(gathra, folder);
    QVERIFY2(sim.waitForFinished(90000), simOutput.constData());
    simOutput += sim.readAll();
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY2(simOutput.contains("upload 1: ACK"), simOutput.constData());

    const QString stored = folder + "/out/T01.txt";
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(stored), 20000);
    QByteArray status;
    QTRY_VERIFY_WITH_TIMEOUT((status += gathra.readAll()).contains("正常終了"), 20000);
    EndGathra(gathra);
    status += gathra.readAll();

    // The status lines carry a time stamp; the port line comes first.
    const QList<QByteArray> lines = status.split('\n');
    QVERIFY2(lines.first().contains("COM1"), status.constData());
    QVERIFY(QRegularExpression(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )")
                .match(QString::fromUtf8(lines.first()))
                .hasMatch());
    const QByteArray file = FileBytes(stored);
    for (const QString& record : records) {
        const QByteArray line = QByteArray::fromStdString(Utf8ToCp932(record.toStdString())) + "\r\n";
        QVERIFY2(file.contains(line), qPrintable(record));
    }
}

void ProgramTest::StartTerminal(QProcess& sim, const QString& folder, const QStringList& records) {
    QFile recordFile(folder + "/records.txt");
    QVERIFY(recordFile.open(QIODevice::WriteOnly));
    recordFile.write(records.join("\n").toUtf8() + "\n");
    recordFile.close();
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(folder + "/gathra-termsim",
              {"--folder", folder, "--port", "1", "--records", recordFile.fileName(), "--id", "T01",
               "--uploads", "1", "--time-limit", "90"});
    QVERIFY(sim.waitForStarted(10000));
    QByteArray simOutput;
    QTRY_VERIFY_WITH_TIMEOUT((simOutput += sim.readAll()).contains("ready:"), 20000);
}

// Standard output is a pipe that nobody reads (a service manager that stalls, a script that forgot it):
// after the first few lines it takes nothing more, yet the upload of 2,000 records is stored and
// answered, and SIGTERM still ends the program.
void ProgramTest::uploadGoesOnWhileStandardOutputIsNotRead() {
    if (!QFile::exists(bin_ + "/gathra-termsim")) {
        QSKIP("gathra-termsim is not built");
    }
    QTemporaryDir dir;
    const QString folder = MakeUploadFolder(dir);
    QVERIFY(!folder.isEmpty());
    QStringList records;
    for (int i = 1; i <= 2000; ++i) {
        records << QStringLiteral("A%1,ﾃｽﾄ,%2").arg(i, 4, 10, QLatin1Char('0')).arg(i * 10);
    }
    QProcess sim;
    StartTerminal(sim, folder, records);
    if (QTest::currentTestFailed()) {
        return;
    }

    int stalled[2] = {-1, -1};
    QVERIFY(::pipe2(stalled, O_CLOEXEC) == 0);
    ::fcntl(stalled[1], F_SETPIPE_SZ, 4096);  // one page: a few dozen status lines fill it
    QProcess gathra;
    gathra.setChildProcessModifier([&stalled] { ::dup2(stalled[1], STDOUT_FILENO); });
    StartGathra(gathra, folder);
    ::close(stalled[1]);

    const bool simEnded = sim.waitForFinished(90000);
    const QByteArray simOutput = sim.readAll();
    ::close(stalled[0]);  // the reader goes away only now; before, the pipe was full and unread
    QVERIFY2(simEnded, simOutput.constData());
    QVERIFY2(simOutput.contains("upload 1: ACK"), simOutput.constData());
    const QList<QByteArray> lines = FileBytes(folder + "/out/T01.txt").split('\n');
    QCOMPARE(lines.size(), 2001);  // 2,000 lines and the empty rest after the last line feed
    EndGathra(gathra);
}

void ProgramTest::endsWithoutLinkLibrary() {
    QTemporaryDir dir;
    const QString folder = MakeProgramFolder(dir, false);
    QVERIFY(!folder.isEmpty());
    // The automatic start fails to open the port (the engine may wait on a message box for it).
    WriteSettings(folder, folder + "/out", [](SettingsRecord& r) { r.AutoStart = Switch::On; });
    QProcess gathra;
    StartGathra(gathra, folder);
    QByteArray status;
    QTRY_VERIFY_WITH_TIMEOUT((status += gathra.readAll()).contains("COM1"), 20000);
    EndGathra(gathra);
}

void ProgramTest::endsWhileStartUpMessageWaits() {
    QTemporaryDir dir;
    const QString folder = MakeProgramFolder(dir, false);
    QVERIFY(!folder.isEmpty());
    // No settings file: start-up waits in the "File Read" box for the operator, before the window shows.
    QProcess gathra;
    StartGathra(gathra, folder);
    QVERIFY(!gathra.waitForFinished(3000));
    EndGathra(gathra);
    QVERIFY(QFile::exists(folder + "/Gathra.ini"));  // the re-initialisation went on after the box
}

QTEST_MAIN(ProgramTest)
#include "program_test.moc"
