// The version box and the folder chooser.

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <cerrno>
#include <cstring>
#include <memory>

#include "shell/about_dialog.h"
#include "shell/folder_dialog.h"
#include "shell_test_support.h"
#include "support/recording_operator_view.h"

namespace {

// The folder list's line for `path` (each line keeps its folder's full path).
QListWidgetItem* ItemFor(QListWidget* list, const QString& path) {
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->data(Qt::UserRole).toString() == path) {
            return list->item(i);
        }
    }
    return nullptr;
}

}  // namespace

class SmallDialogsTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void versionText_data();
    void versionText();
    void aboutShowsThisBuild();
    void aboutClosesOnEnterEscapeAndOk_data();
    void aboutClosesOnEnterEscapeAndOk();

    void chooserStartsAtFolder_data();
    void chooserStartsAtFolder();
    void highlightedIsNotChosen();
    void doubleClickOpensFolder();
    void cancelAndCloseBoxChooseNothing_data();
    void cancelAndCloseBoxChooseNothing();
    void unreadableDriveKeepsFolder();
    void driveRemembersItsFolder();
    void chooserKeysDoNothing_data();
    void chooserKeysDoNothing();
    void mountedDrivesIncludeRootAndHome();

private:
    FolderDialog* OpenChooser(const QString& start, QStringList drives = {});

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<QWidget> main_;
    std::unique_ptr<QWidget> settings_;
    RecordingOperatorView view_;
    QStringList chosen_;
    QString savedCwd_;
};

void SmallDialogsTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(dir_->path()).mkpath("a/b"));
    QVERIFY(QDir(dir_->path()).mkpath("c"));
    main_ = std::make_unique<QWidget>();
    settings_ = std::make_unique<QWidget>();
    main_->show();
    settings_->show();
    view_ = RecordingOperatorView{};
    chosen_.clear();
    savedCwd_ = QDir::currentPath();
}

void SmallDialogsTest::cleanup() {
    QDir::setCurrent(savedCwd_);
    settings_.reset();
    main_.reset();
}

void SmallDialogsTest::versionText_data() {
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("revision");
    QTest::addColumn<QString>("expected");
    QTest::newRow("this build") << 4 << 0 << 1 << "Ver.4.0.1";
    QTest::newRow("no leading zeros or blanks") << 10 << 2 << 30 << "Ver.10.2.30";
}

void SmallDialogsTest::versionText() {
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, revision);
    QFETCH(QString, expected);
    AppInfo info{"Gathra", major, minor, revision, "x"};
    QCOMPARE(QString::fromStdString(VersionText(info)), expected);
}

void SmallDialogsTest::aboutShowsThisBuild() {
    auto* box = new AboutDialog(main_.get());
    box->Open();
    QCOMPARE(box->windowTitle(), QString("Gathraのﾊﾞｰｼﾞｮﾝ情報"));
    QCOMPARE(box->findChild<QLabel*>("lblTitle")->text(), QString("Gathra"));
    QCOMPARE(box->findChild<QLabel*>("lblVersion")->text(), QString("Ver.4.0.1"));
    QVERIFY(!box->findChild<QLabel*>("lblCompany")->text().isEmpty());
    QVERIFY(!box->findChild<QLabel*>("Image1")->pixmap().isNull());
    QVERIFY(!main_->isEnabled());
    delete box;
}

void SmallDialogsTest::aboutClosesOnEnterEscapeAndOk_data() {
    QTest::addColumn<int>("key");  // 0: click OK
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
    QTest::newRow("Esc") << int(Qt::Key_Escape);
    QTest::newRow("OK button") << 0;
}

void SmallDialogsTest::aboutClosesOnEnterEscapeAndOk() {
    QFETCH(int, key);
    QPointer<AboutDialog> box = new AboutDialog(main_.get());
    box->Open();
    QVERIFY(!main_->isEnabled());
    if (key == 0) {
        QTest::mouseClick(box->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
    } else {
        QTest::keyClick(box.data(), Qt::Key(key));
    }
    QVERIFY(!box || !box->isVisible());
    QVERIFY(main_->isEnabled());
    QTRY_VERIFY(box.isNull());  // gone, so the next press of the button starts afresh
}

FolderDialog* SmallDialogsTest::OpenChooser(const QString& start, QStringList drives) {
    auto* chooser = new FolderDialog(
        main_.get(), settings_.get(), view_, start, [this](const QString& folder) { chosen_ << folder; },
        drives);
    chooser->Open();
    return chooser;
}

void SmallDialogsTest::chooserStartsAtFolder_data() {
    QTest::addColumn<QString>("start");     // relative to the temporary folder; "-" = empty text
    QTest::addColumn<QString>("expected");  // "" = the process's current directory
    QTest::newRow("existing folder") << "a"
                                     << "a";
    QTest::newRow("trailing separator") << "a/"
                                        << "a";
    QTest::newRow("missing folder") << "gone"
                                    << "";
    QTest::newRow("empty text") << "-"
                                << "";
}

void SmallDialogsTest::chooserStartsAtFolder() {
    QFETCH(QString, start);
    QFETCH(QString, expected);
    QDir::setCurrent(dir_->path() + "/c");
    const QString startText = start == "-" ? QString() : dir_->path() + "/" + start;
    FolderDialog* chooser = OpenChooser(startText);
    QVERIFY(!settings_->isEnabled());
    const QString want = expected.isEmpty() ? dir_->path() + "/c" : dir_->path() + "/" + expected;
    QCOMPARE(chooser->CurrentFolder(), want);
    QVERIFY(view_.Messages.empty());
    QTest::mouseClick(chooser->findChild<QPushButton*>("cmdOK0"), Qt::LeftButton);
    QCOMPARE(chosen_, QStringList{want});
    QVERIFY(settings_->isEnabled());
}

void SmallDialogsTest::highlightedIsNotChosen() {
    FolderDialog* chooser = OpenChooser(dir_->path());
    auto* list = chooser->findChild<QListWidget*>("Dir1");
    QListWidgetItem* item = ItemFor(list, dir_->path() + "/a");
    QVERIFY(item != nullptr);
    const QRect rect = list->visualItemRect(item);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    QCOMPARE(list->currentItem(), item);
    QTest::mouseClick(chooser->findChild<QPushButton*>("cmdOK0"), Qt::LeftButton);
    QCOMPARE(chosen_, QStringList{dir_->path()});
}

void SmallDialogsTest::doubleClickOpensFolder() {
    FolderDialog* chooser = OpenChooser(dir_->path());
    auto* list = chooser->findChild<QListWidget*>("Dir1");
    QListWidgetItem* item = ItemFor(list, dir_->path() + "/a");
    QVERIFY(item != nullptr);
    emit list->itemDoubleClicked(item);
    QCOMPARE(chooser->CurrentFolder(), dir_->path() + "/a");
    // The list now shows the path down to "a" and its sub-folder "b".
    QVERIFY(ItemFor(list, dir_->path() + "/a/b") != nullptr);
    QVERIFY(ItemFor(list, dir_->path() + "/c") == nullptr);
    QTest::mouseClick(chooser->findChild<QPushButton*>("cmdOK0"), Qt::LeftButton);
    QCOMPARE(chosen_, QStringList{dir_->path() + "/a"});
}

void SmallDialogsTest::cancelAndCloseBoxChooseNothing_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("cancel") << false;
    QTest::newRow("close box") << true;
}

void SmallDialogsTest::cancelAndCloseBoxChooseNothing() {
    QFETCH(bool, closeBox);
    FolderDialog* chooser = OpenChooser(dir_->path());
    QVERIFY(chooser->OpenFolder(dir_->path() + "/c"));
    if (closeBox) {
        chooser->close();
    } else {
        QTest::mouseClick(chooser->findChild<QPushButton*>("cmdOK1"), Qt::LeftButton);
    }
    QVERIFY(chosen_.isEmpty());
    QVERIFY(settings_->isEnabled());
}

void SmallDialogsTest::unreadableDriveKeepsFolder() {
    const QString missingDrive = dir_->path() + "/unplugged";
    FolderDialog* chooser = OpenChooser(dir_->path() + "/a", {"/", dir_->path(), missingDrive});
    auto* drives = chooser->findChild<QComboBox*>("Drive1");
    drives->setCurrentIndex(2);
    QCOMPARE(view_.Beeps, 1);
    QCOMPARE(view_.Messages.size(), size_t(1));
    QCOMPARE(view_.Messages[0].Title, std::string("Gathra"));
    QCOMPARE(view_.Messages[0].Text, "ｴﾗｰ " + std::to_string(ENOENT) + "\r\n" + std::strerror(ENOENT));
    QCOMPARE(drives->currentIndex(), 2);  // the drive list keeps the new drive
    QCOMPARE(chooser->CurrentFolder(), dir_->path() + "/a");
    delete chooser;
}

void SmallDialogsTest::driveRemembersItsFolder() {
    FolderDialog* chooser = OpenChooser(dir_->path() + "/a/b", {"/", dir_->path()});
    auto* drives = chooser->findChild<QComboBox*>("Drive1");
    QCOMPARE(drives->currentIndex(), 1);
    drives->setCurrentIndex(0);
    QCOMPARE(chooser->CurrentFolder(), QString("/"));
    drives->setCurrentIndex(1);
    QCOMPARE(chooser->CurrentFolder(), dir_->path() + "/a/b");
    QVERIFY(view_.Messages.empty());
    delete chooser;
}

void SmallDialogsTest::chooserKeysDoNothing_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Esc") << int(Qt::Key_Escape);
    QTest::newRow("Enter") << int(Qt::Key_Return);
}

void SmallDialogsTest::chooserKeysDoNothing() {
    QFETCH(int, key);
    QPointer<FolderDialog> chooser = OpenChooser(dir_->path());
    auto* ok = chooser->findChild<QPushButton*>("cmdOK0");
    ok->setFocus();
    QTest::keyClick(ok, Qt::Key(key));
    QVERIFY(chooser && chooser->isVisible());
    QVERIFY(chosen_.isEmpty());
    delete chooser.data();
}

void SmallDialogsTest::mountedDrivesIncludeRootAndHome() {
    QStringList drives = FolderDialog::MountedDrives();
    QVERIFY(drives.contains("/"));
    QVERIFY(drives.contains(QDir::cleanPath(QDir::homePath())));
    QCOMPARE(drives.removeDuplicates(), 0);
    for (const QString& drive : drives) {
        QVERIFY2(!drive.startsWith("/proc") && !drive.startsWith("/sys"), qPrintable(drive));
    }
}

QTEST_MAIN(SmallDialogsTest)
#include "small_dialogs_test.moc"
