// Takes the documentation's pictures of Gathra's windows (docs/screenshots/). Not a test and not part of
// the program: run it by hand under Xvfb, with the build's program folder and the output folder:
//
//   xvfb-run -a build/tests/gathra_screenshots build/bin docs/screenshots
//
// The "after an upload" picture is a real upload: the real engine and libquorlin.so against
// gathra-termsim on ports/COM1 of a temporary program folder.

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <chrono>
#include <cstdio>

#include "common/program_folder_lock.h"
#include "journal/upload_journal.h"
#include "settings/settings_store.h"
#include "shell/about_dialog.h"
#include "shell/folder_dialog.h"
#include "shell/history_window.h"
#include "shell/main_window.h"
#include "shell/message_box.h"
#include "shell/settings_dialog.h"
#include "shell/window_metrics.h"
#include "shell_test_support.h"
#include "support/recording_operator_view.h"

namespace {

bool Save(QWidget* widget, const QString& path) {
    widget->show();
    for (int i = 0; i < 10; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
    const bool saved = widget->grab().save(path);
    std::printf("%s %s\n", saved ? "saved" : "FAILED", qPrintable(path));
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: gathra_screenshots BIN_DIR OUTPUT_DIR\n");
        return 2;
    }
    // Absolute: loading the settings makes the save folder the current directory.
    const QString bin = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const QString out = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
    QDir().mkpath(out);

    // A fixed, readable folder name: it shows in the pictures.
    const QString program = QDir::tempPath() + "/gathra-demo";
    QDir(program).removeRecursively();
    QDir().mkpath(program);
    const QString saveFolder = program + "/データ";
    QDir().mkpath(saveFolder + "/2026");
    for (const char* file : {"libquorlin.so", "gathra-termsim"}) {
        QFile::copy(bin + "/" + file, program + "/" + file);
    }
    WriteSettings(program, saveFolder, [](SettingsRecord& r) {
        r.Mode = LinkMode::Direct;
        r.TimeAdjust.assign(1, '0');
    });

    int failures = 0;
    MainWindow window;
    window.Load(FactsFor(program));
    window.StartUpTimer().stop();
    window.OnStartUpTimer();  // idle, as 500 ms after start-up
    failures += !Save(&window, out + "/main_idle.png");

    // A real upload from the simulated terminal.
    QFile records(program + "/records.txt");
    records.open(QIODevice::WriteOnly);
    records.write("A001,ﾃｽﾄ商品,10\nA002,ｶﾀｶﾅ,20\nA003,サンプル,30\nA004,abc,40\nA005,漢字,50\n");
    records.close();
    QProcess sim;
    sim.start(program + "/gathra-termsim",
              {"--folder", program, "--port", "1", "--records", records.fileName(), "--id", "T01",
               "--uploads", "1", "--time-limit", "60"});
    sim.waitForStarted();
    QByteArray simOutput;
    for (int i = 0; i < 200 && !simOutput.contains("ready:"); ++i) {
        sim.waitForReadyRead(100);
        simOutput += sim.readAll();
    }
    window.StartClicked();
    sim.waitForFinished(30000);
    failures += !Save(&window, out + "/main_after_upload.png");

    // The history: the real upload above, and four weeks of earlier ones from three terminals.
    {
        UploadJournal journal(UploadJournal::PathIn(program.toStdString()));
        journal.OpenForWriting();
        const auto now = std::chrono::system_clock::now();
        for (int day = 28; day >= 1; --day) {
            for (int n = 0; n < 1 + (day * 7) % 4; ++n) {
                UploadResult report;
                report.Started = now - std::chrono::hours(24 * day + 3 * n + 2);
                report.Ended = report.Started + std::chrono::seconds(4);
                report.Port = 1;
                report.TerminalId = n == 0 ? "T01" : n == 1 ? "T02" : "T07";
                report.RecordsAnnounced = 20 + (day * 13 + n * 7) % 60;
                report.Format = "text";
                report.Output =
                    (saveFolder + "/" + QString::fromStdString(report.TerminalId) + ".txt").toStdString();
                report.Outcome = (day + n) % 9 == 4 ? UploadOutcome::Failed : UploadOutcome::Stored;
                report.RecordsStored = report.Outcome == UploadOutcome::Stored ? report.RecordsAnnounced : 0;
                report.Answer = report.Outcome == UploadOutcome::Stored ? FinalAnswer::Ack : FinalAnswer::Can;
                if (report.Outcome == UploadOutcome::Failed) {
                    report.FailureText = "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ";
                }
                journal.Add(report);
            }
        }
    }
    window.HistoryClicked();
    failures += !Save(window.OpenHistoryWindow(), out + "/history.png");
    window.OpenHistoryWindow()->close();

    const char* formats[] = {"settings_csv.png", "settings_xls.png", "settings_mdb.png"};
    for (int16_t format = 0; format < 3; ++format) {
        window.Settings().SaveFormat = format;
        window.Settings().DatabaseName = format == 2 ? "uploads" : "";
        auto* dialog = new SettingsDialog(&window, window.Settings(), window, {});
        dialog->Open();
        failures += !Save(dialog, out + "/" + formats[format]);
        if (format == 0) {
            dialog->BrowseFolderClicked();
            failures += !Save(dialog->OpenFolderDialog(), out + "/folder_chooser.png");
            dialog->OpenFolderDialog()->CancelClicked();
        }
        dialog->CancelClicked();
        QCoreApplication::processEvents();
    }

    auto* about = new AboutDialog(&window);
    about->Open();
    failures += !Save(about, out + "/about.png");
    about->accept();
    QCoreApplication::processEvents();

    // The boxes and Qt's own file dialog, as the program shows them.
    InstallQtJapanese();
    failures += !Save(NewMessageBox("Gathra", ProgramFolderLock::HeldText(program.toStdString(), "4711"),
                                    MessageIcon::Critical)
                          .get(),
                      out + "/second_window.png");
    // A settings file with a bad value, re-initialised by the real store; its box as the window shows it.
    WriteSettings(program, saveFolder, [](SettingsRecord& r) { r.Port = 0; });
    SettingsRecord record;
    RecordingOperatorView said;
    LoadSettings(record, FactsFor(program), said);
    failures += !Save(NewMessageBox("File Read", said.Messages.at(0).Text, MessageIcon::None).get(),
                      out + "/settings_reset.png");
    QFileDialog files(&window, QStringLiteral("CSV出力"), saveFolder, QStringLiteral("CSV (*.csv)"));
    files.setAcceptMode(QFileDialog::AcceptSave);
    files.setOption(QFileDialog::DontUseNativeDialog);
    files.selectFile(QStringLiteral("history.csv"));
    failures += !Save(&files, out + "/file_dialog.png");
    QDir(program).removeRecursively();
    return failures == 0 ? 0 : 1;
}
