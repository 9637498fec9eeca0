#include "shell/folder_dialog.h"

#include <dirent.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <QStyle>
#include <cerrno>
#include <cstring>
#include <set>

#include "run/operator_view.h"
#include "settings/settings_record.h"
#include "shell/dialog_support.h"
#include "shell/window_metrics.h"

namespace {

constexpr int kPathRole = Qt::UserRole;

// Kernel and memory file systems are not places to store uploads.
bool IsPseudoFileSystem(const QByteArray& type) {
    static const std::set<QByteArray> kPseudo = {
        "proc",       "sysfs",   "devtmpfs",    "devpts",   "cgroup",      "cgroup2",        "securityfs",
        "pstore",     "debugfs", "tracefs",     "mqueue",   "hugetlbfs",   "configfs",       "fusectl",
        "bpf",        "autofs",  "binfmt_misc", "efivarfs", "ramfs",       "nsfs",           "tmpfs",
        "rpc_pipefs", "nfsd",    "overlay",     "squashfs", "fuse.portal", "fuse.gvfsd-fuse"};
    return kPseudo.count(type) > 0;
}

bool IsSystemMountPoint(const QString& root) {
    for (const char* prefix : {"/proc", "/sys", "/dev", "/run", "/boot", "/snap", "/var/lib", "/etc"}) {
        const QString p = QString::fromLatin1(prefix);
        if (root == p || root.startsWith(p + QLatin1Char('/'))) {
            // Removable media are mounted under /run/media by some desktops.
            return !root.startsWith(QStringLiteral("/run/media/"));
        }
    }
    return false;
}

// True when `folder` is `root` or lies below it.
bool IsUnder(const QString& folder, const QString& root) {
    if (root == QLatin1String("/")) {
        return folder.startsWith(QLatin1Char('/'));
    }
    return folder == root || folder.startsWith(root + QLatin1Char('/'));
}

}  // namespace

QStringList FolderDialog::MountedDrives() {
    QStringList drives{QStringLiteral("/"), QDir::cleanPath(QDir::homePath())};
    QStringList others;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QString root = QDir::cleanPath(volume.rootPath());
        if (IsPseudoFileSystem(volume.fileSystemType()) || IsSystemMountPoint(root) ||
            !QFileInfo(root).isDir() || drives.contains(root) || others.contains(root)) {
            continue;
        }
        others << root;
    }
    others.sort();
    drives << others;
    drives.removeDuplicates();
    return drives;
}

FolderDialog::FolderDialog(QWidget* mainWindow, QWidget* settingsDialog, OperatorView& view,
                           QString startFolder, ChosenHandler onChosen, QStringList drives)
    : QDialog(nullptr,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      mainWindow_(mainWindow),
      settingsDialog_(settingsDialog),
      view_(view),
      startFolder_(std::move(startFolder)),
      onChosen_(std::move(onChosen)),
      drives_(drives.isEmpty() ? MountedDrives() : std::move(drives)) {
    setObjectName(QStringLiteral("frmFolder1"));
    setWindowTitle(QStringLiteral("保存ﾌｫﾙﾀﾞ"));
    EnsureResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/gathra/folder_32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/gathra/folder_16.png"), QSize(16, 16));
    setWindowIcon(icon);
    setFont(JapaneseFont());
    setFixedSize(TwipsToPixels(4965), TwipsToPixels(3195));
    AttachToOwner(this, settingsDialog_ != nullptr ? settingsDialog_.data() : mainWindow_.data());

    drive1_ = new QComboBox(this);
    drive1_->setObjectName(QStringLiteral("Drive1"));
    drive1_->setGeometry(TwipsRect(120, 120, 3372, 300));
    for (const QString& root : drives_) {
        drive1_->addItem(style()->standardIcon(QStyle::SP_DriveHDIcon), root, root);
    }
    connect(drive1_, &QComboBox::currentIndexChanged, this, &FolderDialog::DriveChanged);

    dir1_ = new QListWidget(this);
    dir1_->setObjectName(QStringLiteral("Dir1"));
    dir1_->setGeometry(TwipsRect(120, 480, 3372, 2400));
    connect(dir1_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
        if (!OpenFolder(item->data(kPathRole).toString())) {
            view_.Beep();
        }
    });

    const char* texts[2] = {"OK", "ｷｬﾝｾﾙ"};
    QPushButton* buttons[2];
    for (int i = 0; i < 2; ++i) {
        buttons[i] = new QPushButton(QString::fromUtf8(texts[i]), this);
        buttons[i]->setObjectName(ArrayElementName("cmdOK", i));
        buttons[i]->setGeometry(TwipsRect(3720, 120 + 480 * i, 1215, 375));
        buttons[i]->setAutoDefault(false);
        buttons[i]->setDefault(false);
        connect(buttons[i], &QPushButton::clicked, this,
                i == 0 ? &FolderDialog::OkClicked : &FolderDialog::CancelClicked);
    }
    setTabOrder(buttons[0], buttons[1]);
    setTabOrder(buttons[1], drive1_);
    setTabOrder(drive1_, dir1_);

    connect(this, &QDialog::finished, this, &FolderDialog::ReturnToOwner);
}

void FolderDialog::Open() {
    CentreOver(this, mainWindow_);
    if (settingsDialog_ != nullptr) {
        settingsDialog_->setEnabled(false);
    }
    InitFolderLists();
    show();
    raise();
    activateWindow();
}

QString FolderDialog::DriveRootOf(const QString& folder) const {
    QString best;
    for (const QString& root : drives_) {
        if (IsUnder(folder, root) && root.size() > best.size()) {
            best = root;
        }
    }
    return best;
}

bool FolderDialog::SelectDriveFor(const QString& folder) {
    const QString root = DriveRootOf(folder);
    const int index = drive1_->findData(root);
    if (index < 0) {
        return false;
    }
    // Placing the lists at load never reports a drive error: a folder that cannot be shown silently
    // falls back to the current directory.
    const QSignalBlocker blocker(drive1_);
    drive1_->setCurrentIndex(index);
    return true;
}

void FolderDialog::InitFolderLists() {
    const QString start = startFolder_.isEmpty() ? QString() : QDir::cleanPath(startFolder_);
    bool shown = false;
    if (start.startsWith(QLatin1Char('/')) && SelectDriveFor(start)) {
        QCoreApplication::processEvents();
        shown = OpenFolder(start);
    }
    if (!shown) {
        const QString current = QDir::cleanPath(QDir::currentPath());
        SelectDriveFor(current);
        QCoreApplication::processEvents();
        OpenFolder(current);
    }
}

bool FolderDialog::OpenFolder(const QString& folder, int* errorNumber) {
    const QString path = QDir::cleanPath(folder);
    // Reading the folder is the test: a folder that exists but cannot be listed is no place to open.
    DIR* dir = ::opendir(QFile::encodeName(path).constData());
    if (dir == nullptr) {
        if (errorNumber != nullptr) {
            *errorNumber = errno;
        }
        return false;
    }
    ::closedir(dir);
    currentFolder_ = path;
    const QString root = DriveRootOf(path);
    if (!root.isEmpty()) {
        driveFolders_[root] = path;
    }
    FillFolderList();
    return true;
}

void FolderDialog::FillFolderList() {
    dir1_->clear();
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);

    // The path from the drive's root down to the open folder, one line per level.
    const QString root =
        DriveRootOf(currentFolder_).isEmpty() ? QStringLiteral("/") : DriveRootOf(currentFolder_);
    QStringList chain{root};
    if (currentFolder_ != root) {
        const QString rest = currentFolder_.mid(root == QLatin1String("/") ? 1 : root.size() + 1);
        QString path = root;
        for (const QString& part : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            path = path == QLatin1String("/") ? path + part : path + QLatin1Char('/') + part;
            chain << path;
        }
    }
    int level = 0;
    QListWidgetItem* openItem = nullptr;
    for (const QString& path : chain) {
        const QString name = level == 0 ? path : QFileInfo(path).fileName();
        auto* item = new QListWidgetItem(openIcon, QString(level * 2, QLatin1Char(' ')) + name, dir1_);
        item->setData(kPathRole, path);
        openItem = item;
        ++level;
    }
    // The open folder's sub-folders, one level deeper.
    const QDir dir(currentFolder_);
    for (const QString& child :
         dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase)) {
        auto* item = new QListWidgetItem(closedIcon, QString(level * 2, QLatin1Char(' ')) + child, dir1_);
        item->setData(kPathRole, dir.filePath(child));
    }
    dir1_->setCurrentItem(openItem);
}

void FolderDialog::DriveChanged(int index) {
    const QString root = drive1_->itemData(index).toString();
    const QString target = driveFolders_.value(root, root);
    int errorNumber = 0;
    if (!OpenFolder(target, &errorNumber)) {
        // The drive list keeps the new drive; the folder list keeps what it showed.
        view_.Beep();
        view_.ShowMessage(kAppTitle,
                          "ｴﾗｰ " + std::to_string(errorNumber) + "\r\n" + std::strerror(errorNumber),
                          MessageIcon::None);
    }
}

void FolderDialog::CancelClicked() {
    reject();
}

void FolderDialog::OkClicked() {
    if (onChosen_) {
        onChosen_(currentFolder_);
    }
    accept();
}

void FolderDialog::keyPressEvent(QKeyEvent* event) {
    // No button of this dialog reacts to Enter or Esc.
    if (!SwallowEnterAndEscape(event)) {
        QDialog::keyPressEvent(event);
    }
}

void FolderDialog::ReturnToOwner() {
    if (settingsDialog_ != nullptr) {
        settingsDialog_->setEnabled(true);
        settingsDialog_->show();
        settingsDialog_->raise();
        settingsDialog_->activateWindow();
    }
    deleteLater();
}
