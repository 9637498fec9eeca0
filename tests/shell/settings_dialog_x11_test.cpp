// The settings dialog on a small screen of a real X server (Xvfb, -noreset so that the server outlives
// the dialog's last window): the screen's size comes from GATHRA_SCREEN ("1024x600"). The dialog stays
// on the screen, OK and cancel stay in view, the keyboard reaches the last field with the page scrolling
// to it, and Esc cancels.
#include <sys/prctl.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

#include "shell/settings_dialog.h"
#include "shell_test_support.h"
#include "support/child_process.h"
#include "support/recording_operator_view.h"

class SettingsDialogX11Test : public QObject {
    Q_OBJECT

private slots:
    void fitsTheScreenByKeyboard();
};

void SettingsDialogX11Test::fitsTheScreenByKeyboard() {
    const QStringList size = qEnvironmentVariable("GATHRA_SCREEN").split('x');
    QTemporaryDir dir;
    SettingsRecord record = WriteSettings(dir.path(), dir.path());
    RecordingOperatorView view;
    QWidget main;
    main.setGeometry(0, 60, 400, 300);
    main.show();
    auto* dialog = new SettingsDialog(&main, record, view, {});
    dialog->Open();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));

    const QRect area = dialog->screen()->availableGeometry();
    QCOMPARE(area.height(), size.value(1).toInt());
    QVERIFY2(area.contains(dialog->frameGeometry()), "the dialog runs off the screen");
    for (const char* name : {"cmdOK0", "cmdOK1"}) {
        auto* button = dialog->findChild<QPushButton*>(name);
        QVERIFY(button->isVisible());
        QVERIFY2(dialog->rect().contains(QRect(button->mapTo(dialog, QPoint(0, 0)), button->size())), name);
    }

    auto* scroll = dialog->findChild<QScrollArea*>("scrSetting");
    auto* server = dialog->findChild<QLineEdit*>("txtMailServer");
    dialog->findChild<QWidget*>("hsPort")->setFocus();
    for (int i = 0; i < 80 && dialog->focusWidget() != server; ++i) {
        QTest::keyClick(dialog->focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(dialog->focusWidget(), server);
    const QRect shown(server->mapTo(scroll->viewport(), QPoint(0, 0)), server->size());
    QVERIFY2(scroll->viewport()->rect().contains(shown), "the focused field is scrolled out of view");

    QTest::keyClick(server, Qt::Key_Escape);
    QTRY_VERIFY(dialog->isHidden());
    QVERIFY(view.Messages.empty());
}

// Starts Xvfb with the screen of GATHRA_SCREEN on a free display before the application connects to it.
int main(int argc, char** argv) {
    ChildProcess xvfb;
    const std::string screen = qEnvironmentVariable("GATHRA_SCREEN", "1024x600").toStdString() + "x24";
    if (!xvfb.Start({"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", screen})) {
        qCritical("Xvfb could not be started (scripts/install-deps.sh installs it)");
        return 1;
    }
    const std::string display = xvfb.ReadLine(std::chrono::seconds(30));
    if (display.empty()) {
        qCritical("Xvfb gave no display: %s", xvfb.Errors().c_str());
        return 1;
    }
    qputenv("DISPLAY", QByteArray(":") + QByteArray::fromStdString(display));
    qputenv("QT_QPA_PLATFORM", "xcb");
    qunsetenv("WAYLAND_DISPLAY");
    int result = 0;
    {
        QApplication app(argc, argv);
        SettingsDialogX11Test test;
        result = QTest::qExec(&test, argc, argv);
    }
    xvfb.Stop();
    return result;
}

#include "settings_dialog_x11_test.moc"
