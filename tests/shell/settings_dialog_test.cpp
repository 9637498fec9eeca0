// The settings dialog: the enable rules per save format, the control-to-value mapping at its edges,
// values the controls cannot show, the mail-field check, OK and cancel against the real settings file.

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <memory>

#include "shell/settings_dialog.h"
#include "shell_test_support.h"
#include "support/recording_operator_view.h"

class SettingsDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void enableTable_data();
    void enableTable();
    void baud_data();
    void baud();
    void startLine_data();
    void startLine();
    void accessVersionOneShownButNeverChosen();
    void valuesTheControlsCannotShow_data();
    void valuesTheControlsCannotShow();
    void mailFieldCheck_data();
    void mailFieldCheck();
    void cancelLeavesRecordAndFile_data();
    void cancelLeavesRecordAndFile();
    void editsReachRecordAndFile();
    void chosenFolderReachesEverything();
    void databaseNameCheck_data();
    void databaseNameCheck();
    void enterPressesNothing_data();
    void enterPressesNothing();
    void mainWindowDisabledWhileOpen();
    void focusOrder_data();
    void focusOrder();

private:
    void OpenDialog(const std::function<void(SettingsRecord&)>& tweak = {});
    template <typename T>
    T* Find(const char* name) const {
        T* widget = dialog_->findChild<T*>(QString::fromLatin1(name));
        if (widget == nullptr) {
            qFatal("no control %s", name);
        }
        return widget;
    }
    QRadioButton* Option(const char* group, int index) const {
        return Find<QRadioButton>(QByteArray(group).append(QByteArray::number(index)).constData());
    }
    QString IniPath() const { return dir_->path() + "/Gathra.ini"; }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<QWidget> main_;
    SettingsRecord record_;
    RecordingOperatorView view_;
    QPointer<SettingsDialog> dialog_;
    QStringList shownFolders_;
};

void SettingsDialogTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    main_ = std::make_unique<QWidget>();
    main_->show();
    view_ = RecordingOperatorView{};
    shownFolders_.clear();
}

void SettingsDialogTest::cleanup() {
    delete dialog_.data();
    main_.reset();
}

void SettingsDialogTest::OpenDialog(const std::function<void(SettingsRecord&)>& tweak) {
    record_ = WriteSettings(dir_->path(), dir_->path(), tweak);
    dialog_ = new SettingsDialog(main_.get(), record_, view_, [this](const std::string& folder) {
        shownFolders_ << QString::fromStdString(folder);
    });
    dialog_->Open();
}

// Each row: the format the dialog opens with, the format then clicked (-1: none), and the expected state
// of every format-dependent element, in the order of `elements`.
static const char* const kElements[] = {
    "frmFixFname", "txtFixFname", "frmAddDate", "optAddDate0", "optAddDate4", "frmOverWrite", "optOverWrite0",
    "optOverWrite1", "frmXlsTemp", "txtXlsTemp", "frmXlsType", "optXlsType0", "optXlsType3", "optXlsType4",
    "frmXlsF1", "optXlsF11", "frmXlsStartLine", "hsXlsStartLine", "frmMdbType", "optMdbType0", "optMdbType1",
    "frmMdbName", "txtMdbName", "frmMdbTblName", "txtMdbTblName",
    // never disabled
    "frmXlsField", "chkXlsField19", "frmPort", "hsPort", "frmFolder", "cmdFolderRef", "frmMail",
    "txtMailServer", "chkTimeAdjust", "cmdOK0", "cmdOK1"};

void SettingsDialogTest::enableTable_data() {
    QTest::addColumn<int>("openWith");
    QTest::addColumn<int>("click");
    QTest::addColumn<QString>("expected");  // one character per element: 1 enabled, 0 disabled
    //                                         fix  date   over xlstemp  xlstype  xlsf1 start  mdbtype  name
    //                                         tbl   always
    const QString text =
        "11"
        "111"
        "111"
        "00"
        "0000"
        "00"
        "00"
        "000"
        "00"
        "00"
        "11111111111";
    const QString xls =
        "11"
        "111"
        "100"
        "11"
        "1111"
        "11"
        "11"
        "000"
        "00"
        "00"
        "11111111111";
    const QString mdb =
        "00"
        "000"
        "100"
        "00"
        "0000"
        "00"
        "00"
        "110"
        "11"
        "11"
        "11111111111";
    QTest::newRow("opened as CSV/TXT") << 0 << -1 << text;
    QTest::newRow("opened as XLS") << 1 << -1 << xls;
    QTest::newRow("opened as MDB") << 2 << -1 << mdb;
    QTest::newRow("MDB, then XLS chosen") << 2 << 1 << xls;
    QTest::newRow("XLS, then CSV/TXT chosen") << 1 << 0 << text;
    QTest::newRow("CSV/TXT, then MDB chosen") << 0 << 2 << mdb;
    QTest::newRow("opened as CSV(UTF-8)") << 3 << -1 << text;
    QTest::newRow("MDB, then CSV(UTF-8) chosen") << 2 << 3 << text;
}

void SettingsDialogTest::enableTable() {
    QFETCH(int, openWith);
    QFETCH(int, click);
    QFETCH(QString, expected);
    QCOMPARE(expected.size(), int(std::size(kElements)));
    OpenDialog([openWith](SettingsRecord& r) { r.SaveFormat = static_cast<int16_t>(openWith); });
    if (click >= 0) {
        QTest::mouseClick(Option("optSaveFormat", click), Qt::LeftButton);
        QCOMPARE(dialog_->WorkingCopy().SaveFormat, click);
    }
    QString actual;
    for (const char* name : kElements) {
        actual += Find<QWidget>(name)->isEnabled() ? '1' : '0';
    }
    QCOMPARE(actual, expected);
}

void SettingsDialogTest::baud_data() {
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("click");
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("saved");
    QTest::newRow("115200 kept") << 115200 << -1 << 0 << 115200;
    QTest::newRow("38400 kept") << 38400 << -1 << 1 << 38400;
    QTest::newRow("9600 shown as 38.4K, kept") << 9600 << -1 << 1 << 9600;
    QTest::newRow("9600, fast chosen") << 9600 << 0 << 1 << 115200;
    QTest::newRow("9600, 38.4K chosen") << 9600 << 1 << 1 << 38400;
    QTest::newRow("115200, 38.4K chosen") << 115200 << 1 << 0 << 38400;
}

void SettingsDialogTest::baud() {
    QFETCH(int, stored);
    QFETCH(int, click);
    QFETCH(int, shown);
    QFETCH(int, saved);
    OpenDialog([stored](SettingsRecord& r) { r.Baud = stored; });
    QVERIFY(Option("optBaud", shown)->isChecked());
    QVERIFY(!Option("optBaud", 1 - shown)->isChecked());
    if (click >= 0) {
        QTest::mouseClick(Option("optBaud", click), Qt::LeftButton);
    }
    QTest::mouseClick(Find<QPushButton>("cmdOK0"), Qt::LeftButton);
    QCOMPARE(record_.Baud, saved);
    QCOMPARE(IniValue(IniPath(), "Baud"), std::to_string(saved));
}

void SettingsDialogTest::startLine_data() {
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("scrollValue");
    QTest::newRow("0: left end") << 0 << -32768;
    QTest::newRow("1") << 1 << -32767;
    QTest::newRow("32768: middle") << 32768 << 0;
    QTest::newRow("65535: right end") << 65535 << 32767;
}

void SettingsDialogTest::startLine() {
    QFETCH(int, stored);
    QFETCH(int, scrollValue);
    OpenDialog([stored](SettingsRecord& r) {
        r.XlsStartLine = stored;
        r.SaveFormat = kSaveFormatXls;
    });
    auto* bar = Find<QScrollBar>("hsXlsStartLine");
    QCOMPARE(bar->value(), scrollValue);
    QCOMPARE(Find<QLineEdit>("txtXlsStartLine")->text(), QString::number(stored));
    // One step to the right shows and keeps the next row, within the range the store accepts.
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    const int next = std::min(stored + 1, 65535);
    QCOMPARE(Find<QLineEdit>("txtXlsStartLine")->text(), QString::number(next));
    QCOMPARE(dialog_->WorkingCopy().XlsStartLine, next);
    QTest::mouseClick(Find<QPushButton>("cmdOK0"), Qt::LeftButton);
    QCOMPARE(IniValue(IniPath(), "XlsStartLine"), std::to_string(next));
}

void SettingsDialogTest::accessVersionOneShownButNeverChosen() {
    OpenDialog([](SettingsRecord& r) {
        r.MdbType = 1;
        r.SaveFormat = kSaveFormatMdb;
    });
    QRadioButton* access97 = Option("optMdbType", 1);
    QVERIFY(access97->isChecked());
    QVERIFY(!access97->isEnabled());
    QTest::mouseClick(Option("optMdbType", 0), Qt::LeftButton);
    QCOMPARE(dialog_->WorkingCopy().MdbType, 0);
    QTest::mouseClick(access97, Qt::LeftButton);  // disabled: no way back
    QCOMPARE(dialog_->WorkingCopy().MdbType, 0);
    QVERIFY(Option("optMdbType", 0)->isChecked());
}

void SettingsDialogTest::valuesTheControlsCannotShow_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("sendMail");
    QTest::addColumn<QString>("timeAdjust");
    QTest::addColumn<int>("portScroll");
    QTest::addColumn<bool>("mailTicked");
    QTest::addColumn<bool>("timeTicked");
    QTest::addColumn<QString>("mailTls");  // as read; the option shown is also what the save writes
    QTest::addColumn<int>("mailTlsOption");
    QTest::newRow("port 0 after a read error") << 0 << 0 << "1" << 1 << false << true << "" << 0;
    QTest::newRow("send mail 2, MailTls 7") << 1 << 2 << "1" << 1 << false << true << "7" << 1;
    QTest::newRow("send mail -1") << 255 << -1 << "1" << 255 << false << true << "0" << 0;
    QTest::newRow("ordinary") << 7 << 1 << "0" << 7 << true << false << "2" << 2;
    // The clock box shows the number rounded to an integer, a tie going to the even neighbour.
    QTest::newRow("time adjust 0.5") << 1 << 0 << "0.5" << 1 << false << false << "" << 0;
    QTest::newRow("time adjust 0.6") << 1 << 0 << "0.6" << 1 << false << true << "" << 0;
}

void SettingsDialogTest::valuesTheControlsCannotShow() {
    QFETCH(int, port);
    QFETCH(int, sendMail);
    QFETCH(QString, timeAdjust);
    QFETCH(int, portScroll);
    QFETCH(bool, mailTicked);
    QFETCH(bool, timeTicked);
    QFETCH(QString, mailTls);
    QFETCH(int, mailTlsOption);
    OpenDialog([=](SettingsRecord& r) {
        r.MailTls = mailTls.toStdString();
        r.Port = static_cast<int16_t>(port);
        r.SendMail = static_cast<Switch>(sendMail);
        r.TimeAdjust = timeAdjust.toStdString();
        r.MailAddress = "to@example.org";
        r.FromMailAddress = "from@example.org";
        r.MailServer = "localhost";
    });
    QCOMPARE(Find<QScrollBar>("hsPort")->value(), portScroll);
    QCOMPARE(Find<QLineEdit>("txtPort")->text(), QString::number(port));
    QCOMPARE(Find<QCheckBox>("chkSendMail")->isChecked(), mailTicked);
    QCOMPARE(Find<QCheckBox>("chkTimeAdjust")->isChecked(), timeTicked);
    QVERIFY(Option("optMailTls", mailTlsOption)->isChecked());
    // Kept unchanged until the operator touches the control.
    QCOMPARE(dialog_->WorkingCopy().Port, port);
    QCOMPARE(dialog_->WorkingCopy().SendMail, static_cast<Switch>(sendMail));
    QTest::mouseClick(Find<QPushButton>("cmdOK0"), Qt::LeftButton);
    QVERIFY(view_.Messages.empty());
    QCOMPARE(record_.Port, port);
    QCOMPARE(record_.SendMail, static_cast<Switch>(sendMail));
    QCOMPARE(IniValue(IniPath(), "SendMail"), std::to_string(sendMail));
    QCOMPARE(IniValue(IniPath(), "TimeAdjust"), timeAdjust.toStdString());
    QCOMPARE(IniValue(IniPath(), "MailTls"), std::to_string(mailTlsOption));
}

void SettingsDialogTest::mailFieldCheck_data() {
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<QStringList>("fields");  // To, subject, From, server
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("missing");  // the labels of the empty fields, on the message's last line
    QTest::newRow("ticked, all filled") << true << QStringList{"a@x", "s", "b@x", "smtp"} << false << "";
    QTest::newRow("ticked, subject empty") << true << QStringList{"a@x", "", "b@x", "smtp"} << false << "";
    QTest::newRow("ticked, To empty")
        << true << QStringList{"", "s", "b@x", "smtp"} << true << "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)";
    QTest::newRow("ticked, From empty")
        << true << QStringList{"a@x", "s", "", "smtp"} << true << "差出人ﾒｰﾙｱﾄﾞﾚｽ(From)";
    QTest::newRow("ticked, server empty") << true << QStringList{"a@x", "s", "b@x", ""} << true << "ﾒｰﾙｻｰﾊﾞｰ";
    QTest::newRow("ticked, To and server empty")
        << true << QStringList{"", "s", "b@x", ""} << true << "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)、ﾒｰﾙｻｰﾊﾞｰ";
    QTest::newRow("ticked, blank server is text")
        << true << QStringList{"a@x", "", "b@x", " "} << false << "";
    QTest::newRow("not ticked, all empty") << false << QStringList{"", "", "", ""} << false << "";
}

void SettingsDialogTest::mailFieldCheck() {
    QFETCH(bool, ticked);
    QFETCH(QStringList, fields);
    QFETCH(bool, refused);
    QFETCH(QString, missing);
    OpenDialog();
    if (ticked) {
        QTest::mouseClick(Find<QCheckBox>("chkSendMail"), Qt::LeftButton);
    }
    const char* boxes[] = {"txtMailAddress", "txtMailSub", "txtFromMailAddress", "txtMailServer"};
    for (int i = 0; i < 4; ++i) {
        Find<QLineEdit>(boxes[i])->setText(fields[i]);
    }
    QTest::mouseClick(Find<QPushButton>("cmdOK0"), Qt::LeftButton);
    if (refused) {
        QCOMPARE(view_.Messages.size(), size_t(1));
        QCOMPARE(view_.Messages[0].Title, std::string("Gathra"));
        QCOMPARE(view_.Messages[0].Text,
                 std::string("宛先ﾒｰﾙｱﾄﾞﾚｽ(To)\r\n差出人ﾒｰﾙｱﾄﾞﾚｽ(From)\r\nﾒｰﾙｻｰﾊﾞｰ\r\n"
                             "のいずれかが入力されていません！！\r\n未入力: ") +
                     missing.toStdString());
        QVERIFY(view_.Messages[0].Icon == MessageIcon::None);
        QVERIFY(dialog_->isVisible());
        QCOMPARE(record_.SendMail, Switch::Off);
        QCOMPARE(IniValue(IniPath(), "SendMail"), std::string("0"));
    } else {
        QVERIFY(view_.Messages.empty());
        QVERIFY(!dialog_ || !dialog_->isVisible());
        QCOMPARE(record_.SendMail, ticked ? Switch::On : Switch::Off);
        QCOMPARE(QString::fromStdString(record_.MailServer), fields[3]);
        QCOMPARE(IniValue(IniPath(), "SendMail"), std::string(ticked ? "1" : "0"));
    }
}

void SettingsDialogTest::cancelLeavesRecordAndFile_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel button") << "button";
    QTest::newRow("close box") << "close";
    QTest::newRow("Esc") << "Esc";
}

void SettingsDialogTest::cancelLeavesRecordAndFile() {
    QFETCH(QString, how);
    OpenDialog();
    const QByteArray before = FileBytes(IniPath());
    const SettingsRecord original = record_;
    QTest::mouseClick(Option("optSaveFormat", 1), Qt::LeftButton);
    QTest::mouseClick(Find<QCheckBox>("chkXlsField4"), Qt::LeftButton);
    Find<QScrollBar>("hsPort")->setValue(9);
    Find<QLineEdit>("txtFixFname")->setText("changed");
    dialog_->SetFolderLabel("/elsewhere");
    if (how == "close") {
        dialog_->close();
    } else if (how == "Esc") {
        QTest::keyClick(Find<QLineEdit>("txtFixFname"), Qt::Key_Escape);
        QVERIFY(!dialog_ || !dialog_->isVisible());
    } else {
        QTest::mouseClick(Find<QPushButton>("cmdOK1"), Qt::LeftButton);
    }
    QCOMPARE(record_.SaveFormat, original.SaveFormat);
    QCOMPARE(record_.SelectedFields, original.SelectedFields);
    QCOMPARE(record_.Port, original.Port);
    QCOMPARE(record_.FixFname, original.FixFname);
    QCOMPARE(record_.SaveFolder, original.SaveFolder);
    QCOMPARE(FileBytes(IniPath()), before);
    QVERIFY(shownFolders_.isEmpty());
    QVERIFY(main_->isEnabled());
}

void SettingsDialogTest::editsReachRecordAndFile() {
    OpenDialog();
    QTest::mouseClick(Option("optMode", 0), Qt::LeftButton);
    QTest::mouseClick(Option("optAddDate", 4), Qt::LeftButton);
    QTest::mouseClick(Option("optProtocol", 1), Qt::LeftButton);
    QTest::mouseClick(Option("optAutoStart", 1), Qt::LeftButton);
    QTest::mouseClick(Option("optMailTls", 2), Qt::LeftButton);
    QTest::mouseClick(Find<QCheckBox>("chkXlsField0"), Qt::LeftButton);
    QTest::mouseClick(Find<QCheckBox>("chkTimeAdjust"), Qt::LeftButton);
    Find<QScrollBar>("hsPort")->setValue(255);
    Find<QLineEdit>("txtFixFname")->setText("ﾃﾞｰﾀ");
    // The command after each upload takes 254 bytes of CP932 and no more: the 255th is refused.
    auto* command = Find<QLineEdit>("txtAfterUpload");
    QCOMPARE(command->text(), QString());
    command->insert(QString(126, QChar(0x8EE2)) + "cp");  // 252 bytes of 転, then two more
    command->insert("x");
    QCOMPARE(command->text(), QString(126, QChar(0x8EE2)) + "cp");
    command->setText("cp \"$GATHRA_OUTPUT\" /srv/share/");
    QCOMPARE(IniValue(IniPath(), "AfterUpload"), std::string("<missing>"));  // written on OK only
    QCOMPARE(Find<QLineEdit>("txtPort")->text(), QString("255"));
    QTest::mouseClick(Find<QPushButton>("cmdOK0"), Qt::LeftButton);
    QCOMPARE(record_.Mode, LinkMode::Direct);
    QCOMPARE(record_.AddDate, 4);
    QCOMPARE(record_.Protocol, UploadProtocol::Simple);
    QCOMPARE(record_.AutoStart, Switch::On);
    QCOMPARE(record_.SelectedFields[0], 0);
    QCOMPARE(record_.SelectedFields[1], 1);
    QCOMPARE(record_.TimeAdjust, std::string("0"));
    QCOMPARE(record_.Port, 255);
    QCOMPARE(IniValue(IniPath(), "Port"), std::string("255"));
    QCOMPARE(IniValue(IniPath(), "XlsField1"), std::string("0"));
    QCOMPARE(IniValue(IniPath(), "TimeAdjust"), std::string("0"));
    QCOMPARE(IniValue(IniPath(), "FixFname"), std::string("ﾃﾞｰﾀ"));
    QCOMPARE(record_.AfterUpload, std::string("cp \"$GATHRA_OUTPUT\" /srv/share/"));
    QCOMPARE(IniValue(IniPath(), "AfterUpload"), std::string("cp \"$GATHRA_OUTPUT\" /srv/share/"));
    QCOMPARE(IniValue(IniPath(), "MailTls"), std::string("2"));
    QVERIFY(main_->isEnabled());
}

void SettingsDialogTest::chosenFolderReachesEverything() {
    QVERIFY(QDir(dir_->path()).mkpath("chosen/inner"));
    const QString chosen = dir_->path() + "/chosen";
    OpenDialog();
    QTest::mouseClick(Find<QPushButton>("cmdFolderRef"), Qt::LeftButton);
    FolderDialog* chooser = dialog_->OpenFolderDialog();
    QVERIFY(chooser != nullptr);
    QVERIFY(!dialog_->isEnabled());
    QCOMPARE(chooser->CurrentFolder(), dir_->path());  // starts at the dialog's folder
    QVERIFY(chooser->OpenFolder(chosen));
    QTest::mouseClick(chooser->findChild<QPushButton*>("cmdOK0"), Qt::LeftButton);
    QVERIFY(dialog_->isEnabled());
    QCOMPARE(Find<QLabel>("lblFolder")->text(), chosen);
    QCOMPARE(record_.SaveFolder, dir_->path().toStdString());  // not before the dialog's OK
    QTest::mouseClick(Find<QPushButton>("cmdOK0"), Qt::LeftButton);
    QCOMPARE(QString::fromStdString(record_.SaveFolder), chosen);
    QCOMPARE(shownFolders_, QStringList{chosen});
    QCOMPARE(QString::fromStdString(IniValue(IniPath(), "SaveFolder")), chosen);
}

void SettingsDialogTest::databaseNameCheck_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("dbConnect");
    QTest::addColumn<bool>("refused");
    QTest::newRow("database, no name") << int(kSaveFormatMdb) << ""
                                       << "" << true;
    QTest::newRow("database, named") << int(kSaveFormatMdb) << "db"
                                     << "" << false;
    QTest::newRow("server database, no name") << int(kSaveFormatMdb) << ""
                                              << "DSN=gathra" << false;
    QTest::newRow("text, no name") << int(kSaveFormatText) << ""
                                   << "" << false;
}

void SettingsDialogTest::databaseNameCheck() {
    QFETCH(int, format);
    QFETCH(QString, name);
    QFETCH(QString, dbConnect);
    QFETCH(bool, refused);
    OpenDialog([&](SettingsRecord& r) {
        r.SaveFormat = static_cast<int16_t>(format);
        r.DbConnect = dbConnect.toStdString();
    });
    Find<QLineEdit>("txtMdbName")->setText(name);
    QTest::mouseClick(Find<QPushButton>("cmdOK0"), Qt::LeftButton);
    QCOMPARE(view_.Messages.size(), size_t(refused ? 1 : 0));
    if (refused) {
        QCOMPARE(view_.Messages[0].Text, std::string("ﾃﾞｰﾀﾍﾞｰｽ名(MDB)を入力してください"));
        QVERIFY(dialog_->isVisible());
    }
}

void SettingsDialogTest::enterPressesNothing_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("focus");
    QTest::newRow("Enter on OK") << int(Qt::Key_Return) << "cmdOK0";
    QTest::newRow("Enter on cancel") << int(Qt::Key_Enter) << "cmdOK1";
    QTest::newRow("Enter in a text box") << int(Qt::Key_Return) << "txtFixFname";
}

void SettingsDialogTest::enterPressesNothing() {
    QFETCH(int, key);
    QFETCH(QString, focus);
    OpenDialog();
    const QByteArray before = FileBytes(IniPath());
    QWidget* target = Find<QWidget>(focus.toLatin1().constData());
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key));
    QVERIFY(dialog_ && dialog_->isVisible());
    QCOMPARE(FileBytes(IniPath()), before);
    QVERIFY(!main_->isEnabled());
}

void SettingsDialogTest::mainWindowDisabledWhileOpen() {
    main_->move(40, 0);  // room below for the dialog on the test screen (800x600)
    OpenDialog();
    QVERIFY(!main_->isEnabled());
    QVERIFY(dialog_->isEnabled());  // a separate window: the disabled owner does not disable it
    QCOMPARE(dialog_->pos(), main_->pos());
    QCOMPARE(dialog_->windowTitle(), QString("ｵﾌﾟｼｮﾝ設定"));
    QTest::mouseClick(Find<QPushButton>("cmdOK1"), Qt::LeftButton);
    QVERIFY(main_->isEnabled());
}

void SettingsDialogTest::focusOrder_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<QStringList>("stops");  // the enabled stops; an option group is one stop
    QStringList fields;
    for (int i = 0; i < 20; ++i) {
        fields << QStringLiteral("chkXlsField%1").arg(i);
    }
    const QStringList tail =
        fields + QStringList{"optAutoStart",  "optCrcType",     "optStartUpSize", "optProtocol",
                             "chkSendMail",   "txtMailAddress", "txtMailSub",     "txtFromMailAddress",
                             "txtMailServer", "optMailTls",     "chkTimeAdjust",  "txtAfterUpload",
                             "cmdOK0",        "cmdOK1"};
    const QStringList head{"hsPort", "optBaud", "optMode", "optSaveFormat"};
    QTest::newRow("CSV/TXT") << 0
                             << head +
                                    QStringList{"txtFixFname", "optAddDate", "optOverWrite", "cmdFolderRef"} +
                                    tail;
    QTest::newRow("XLS") << 1
                         << head + QStringList{"txtFixFname", "txtXlsTemp",     "optAddDate",  "optXlsType",
                                               "optXlsF1",    "hsXlsStartLine", "cmdFolderRef"} +
                                tail;
    QTest::newRow("MDB") << 2
                         << head + QStringList{"optMdbType", "txtMdbName", "txtMdbTblName", "cmdFolderRef"} +
                                tail;
}

void SettingsDialogTest::focusOrder() {
    QFETCH(int, format);
    QFETCH(QStringList, stops);
    OpenDialog([format](SettingsRecord& r) {
        r.SaveFormat = static_cast<int16_t>(format);
        r.Baud = 38400;  // the second option of the group
        r.MdbType = 1;   // selected, but disabled
    });
    QApplication::setActiveWindow(dialog_);
    QVERIFY(QTest::qWaitForWindowActive(dialog_));
    QWidget* first = Find<QWidget>("hsPort");
    first->setFocus();
    QStringList visited;
    // The focus mark: the dialog's focus colours on the focused control.
    const auto marked = [](QWidget* widget) {
        const QImage image = widget->grab().toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y) & 0xffffff;
                count += pixel == 0x1a66cc || pixel == 0xcce4ff;
            }
        }
        return count > 20;
    };
    for (int i = 0; i < stops.size(); ++i) {
        QWidget* focus = QApplication::focusWidget();
        QVERIFY(focus != nullptr);
        QString name = focus->objectName();
        QVERIFY2(marked(focus), qPrintable(name));
        // The elements of an option group carry the group's name and their index (one digit). Tab lands
        // on the selected option.
        if (auto* option = qobject_cast<QRadioButton*>(focus)) {
            const QAbstractButton* selected = option->group()->checkedButton();
            QVERIFY2(option->isChecked() || selected == nullptr || !selected->isEnabled(), qPrintable(name));
            name.chop(1);
        }
        visited << name;
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    QCOMPARE(visited, stops);
    QCOMPARE(QApplication::focusWidget(), first);  // round again
    // The port is set from the keyboard too: right and page down increase, left decreases.
    const int port = record_.Port;
    QTest::keyClick(first, Qt::Key_Right);
    QCOMPARE(dialog_->WorkingCopy().Port, port + 1);
    QTest::keyClick(first, Qt::Key_PageDown);
    QCOMPARE(dialog_->WorkingCopy().Port, port + 11);
    QTest::keyClick(first, Qt::Key_Left);
    QCOMPARE(dialog_->WorkingCopy().Port, port + 10);
    QCOMPARE(Find<QLineEdit>("txtPort")->text(), QString::number(port + 10));
}

QTEST_MAIN(SettingsDialogTest)
#include "settings_dialog_test.moc"
