// The main window with the real upload engine, the real libquorlin.so and the simulated terminal: what
// the operator meets when the upload thread waits on something slow.

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <memory>

#include "shell/main_window.h"
#include "shell_test_support.h"
#include "smtp_sink_process.h"
#include "termsim.h"

class WindowUploadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void stopDuringMailEndsRunPromptly();

private:
    QString bin_;
};

void WindowUploadTest::initTestCase() {
    bin_ = qEnvironmentVariable("GATHRA_BIN_DIR");
    if (bin_.isEmpty() || !QFile::exists(bin_ + "/libquorlin.so")) {
        QSKIP("GATHRA_BIN_DIR does not hold libquorlin.so");
    }
}

// The stored file is mailed to a server that accepts the connection and never answers. Stop pressed
// during that wait ends the run within 2 s: the mail is cancelled, the terminal gets "CAN", and the
// report ends with the stop line.
void WindowUploadTest::stopDuringMailEndsRunPromptly() {
    QTemporaryDir dir;
    QVERIFY(QFile::copy(bin_ + "/libquorlin.so", dir.filePath("libquorlin.so")));
    QVERIFY(QDir(dir.path()).mkdir("out"));
    SilentSmtpServer silent;
    QVERIFY(silent.Listening());
    WriteSettings(dir.path(), dir.filePath("out"), [&silent](SettingsRecord& r) {
        r.AutoStart = Switch::Off;
        r.Mode = LinkMode::Direct;  // the simulator plays the terminal only
        r.TimeAdjust.assign(1, '0');
        r.OverWrite = 1;
        r.SendMail = Switch::On;
        r.MailAddress = "office@example.jp";
        r.FromMailAddress = "gathra@example.jp";
        r.MailSub = "棚卸ﾃﾞｰﾀ";
        r.MailServer = silent.Address();
    });
    termsim::Simulator sim;
    termsim::Options options;
    options.records = {"A,1", "B,2"};
    QVERIFY(sim.Start(dir.path().toStdString(), 1, options));

    MainWindow window;
    window.Load(FactsFor(dir.path()));
    window.show();
    window.StartUpTimer().stop();
    window.StartClicked();
    QVERIFY2(QTest::qWaitFor([&] { return silent.WaitForConnection(std::chrono::milliseconds(0)); }, 30000),
             window.StatusText().c_str());
    QTest::qWait(300);  // well into the wait for the server's greeting

    QTest::mouseClick(window.findChild<QPushButton*>("cmdComm1"), Qt::LeftButton);
    const auto stopped = std::chrono::steady_clock::now();
    QVERIFY(QTest::qWaitFor([&] { return !window.UploadUnderWay(); }, 30000));
    const auto took = std::chrono::steady_clock::now() - stopped;
    QVERIFY2(took < std::chrono::seconds(2),
             qPrintable(QStringLiteral("the run ended %1 ms after Stop")
                            .arg(std::chrono::duration_cast<std::chrono::milliseconds>(took).count())));

    sim.WaitFinished(5000);
    QCOMPARE(sim.FinalAnswers(), std::vector<std::string>{"CAN"});
    const QString status = QString::fromStdString(window.StatusText());
    QVERIFY2(status.contains("office@example.jp宛 ﾒｰﾙ登録失敗:"), qPrintable(status));
    QVERIFY2(status.endsWith("異常終了\r\n通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"), qPrintable(status));
    QVERIFY(window.findChild<QPushButton*>("cmdComm0")->isEnabled());
    // The mail failed, so the store is undone (no T01.txt, no temporary file): the terminal sends
    // again and nothing is stored twice. LOG.TXT keeps the run's lines.
    const QStringList left = QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(left, QStringList{"LOG.TXT"});
    sim.Stop();
}

QTEST_MAIN(WindowUploadTest)
#include "window_upload_test.moc"
