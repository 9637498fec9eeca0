#pragma once

#include <QDialog>
#include <QMap>
#include <QPointer>
#include <QStringList>
#include <functional>

class OperatorView;
class QComboBox;
class QListWidget;
class QListWidgetItem;
class QPushButton;

// The folder chooser: picks the folder where output files are stored.
//
// The drive list (Drive1) holds the mounted file systems: "/" and the user's home folder always,
// removable media and other real file systems where mounted. Each drive remembers the folder last open
// on it, as a drive of the old systems remembered its current directory. The folder list (Dir1) shows
// the open folder's path from the drive's root down, followed by its sub-folders; a single click only
// highlights a folder, a double-click opens it. OK hands the open folder to the owner, cancel and the
// close box discard. Neither button reacts to Enter or Esc.
//
// Element names: cmdOK0 ("OK"), cmdOK1 ("ｷｬﾝｾﾙ").
class FolderDialog : public QDialog {
    Q_OBJECT
public:
    using ChosenHandler = std::function<void(const QString& folder)>;

    // `settingsDialog` is disabled while the chooser is open; `mainWindow` only places it; `view` gives the
    // beep and the message box for a drive that cannot be read. An empty `drives` means the mounted ones.
    FolderDialog(QWidget* mainWindow, QWidget* settingsDialog, OperatorView& view, QString startFolder,
                 ChosenHandler onChosen, QStringList drives = {});

    // Opens the chooser: centre over the main window, disable the settings dialog, InitFolderLists; then
    // show.
    void Open();

    // The folder open in the folder list.
    QString CurrentFolder() const { return currentFolder_; }

    // OK hands the open folder to the owner and closes; cancel closes.
    void OkClicked();
    void CancelClicked();
    // Opens `folder` in the folder list; false (and errno in `errorNumber`) when it cannot be read.
    bool OpenFolder(const QString& folder, int* errorNumber = nullptr);

    // The machine's mounted file systems worth offering as drives.
    static QStringList MountedDrives();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void InitFolderLists();
    void DriveChanged(int index);
    bool SelectDriveFor(const QString& folder);
    QString DriveRootOf(const QString& folder) const;
    void FillFolderList();
    void ReturnToOwner();

    QPointer<QWidget> mainWindow_;
    QPointer<QWidget> settingsDialog_;
    OperatorView& view_;
    QString startFolder_;
    ChosenHandler onChosen_;
    QStringList drives_;
    QMap<QString, QString> driveFolders_;  // drive root -> folder last open on it
    QString currentFolder_;
    QComboBox* drive1_ = nullptr;
    QListWidget* dir1_ = nullptr;
};
