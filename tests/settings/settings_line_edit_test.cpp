// The settings dialog's line edits as the operator types and pastes into them: control characters are
// dropped, the CP932 value limit holds, and what was pasted reaches Gathra.ini as one clean line.
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "settings/setting_text.h"
#include "shell/settings_dialog.h"
#include "shell_test_support.h"
#include "support/recording_operator_view.h"

class SettingsLineEditTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        main_ = std::make_unique<QWidget>();
        main_->show();
        view_ = RecordingOperatorView{};
        record_ = WriteSettings(dir_->path(), dir_->path());
        dialog_ = new SettingsDialog(main_.get(), record_, view_, [](const std::string&) {});
        dialog_->Open();
    }
    void cleanup() {
        delete dialog_.data();
        main_.reset();
    }

    void controlCharactersAreDropped_data() {
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("kept");
        QTest::newRow("crlf") << QString("在庫\r\nBcc: x") << QString("在庫Bcc: x");
        QTest::newRow("lf") << QString("a\nb") << QString("ab");
        QTest::newRow("tab_esc_del") << QString(
                                            "a\tb\x1b"
                                            "c\x7f"
                                            "d")
                                     << QString("abcd");
    }
    void controlCharactersAreDropped() {
        QFETCH(QString, pasted);
        QFETCH(QString, kept);
        for (const char* name : {"txtMailSub", "txtMailAddress", "txtFixFname", "txtMailServer"}) {
            QLineEdit* box = Box(name);
            box->clear();
            QTest::keyClicks(box, "x");
            QGuiApplication::clipboard()->setText(pasted);
            box->paste();
            QCOMPARE(box->text(), "x" + kept);
            QCOMPARE(box->cursorPosition(), box->text().size());
            QTest::keyClick(box, Qt::Key_Home);
            QTest::keyClick(box, Qt::Key_Return);  // no line break can be typed either
            QCOMPARE(box->text(), "x" + kept);
        }
    }

    void limitCountsCp932Bytes() {
        QLineEdit* box = Box("txtMailSub");
        box->clear();
        // 127 kanji are 254 bytes in CP932 (381 in UTF-8): they fit, one more byte does not.
        box->insert(QString(127, QChar(0x68DA)));
        QCOMPARE(box->text().size(), 127);
        QTest::keyClicks(box, "a");
        QCOMPARE(box->text().size(), 127);

        // Half-width katakana take one byte each.
        box->clear();
        box->insert(QString(254, QChar(0xFF71)));
        QCOMPARE(box->text().size(), 254);
        QTest::keyClicks(box, "a");
        QCOMPARE(box->text().size(), 254);

        // A paste that would go past the limit is refused whole; the value stays as it was.
        box->clear();
        QTest::keyClicks(box, QString(250, 'a'));
        QGuiApplication::clipboard()->setText("bcdef");
        box->paste();
        QCOMPARE(box->text(), QString(250, 'a'));
        QGuiApplication::clipboard()->setText("bc\r\nde");
        box->paste();
        QCOMPARE(box->text(), QString(250, 'a') + "bcde");
    }

    void pastedLineReachesTheFileAsOneLine() {
        QLineEdit* box = Box("txtMailSub");
        box->clear();
        QGuiApplication::clipboard()->setText("月次\r\n在庫");
        box->paste();
        QTest::mouseClick(dialog_->findChild<QPushButton*>("cmdOK0"), Qt::LeftButton);
        QVERIFY(view_.Messages.empty());
        QCOMPARE(IniValue(dir_->path() + "/Gathra.ini", "MailSub"), std::string("月次在庫"));
    }

private:
    QLineEdit* Box(const char* name) const {
        auto* box = dialog_->findChild<QLineEdit*>(QString::fromLatin1(name));
        if (box == nullptr) {
            qFatal("no control %s", name);
        }
        return box;
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<QWidget> main_;
    SettingsRecord record_;
    RecordingOperatorView view_;
    QPointer<SettingsDialog> dialog_;
};

QTEST_MAIN(SettingsLineEditTest)
#include "settings_line_edit_test.moc"
