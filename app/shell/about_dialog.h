#pragma once

#include <QDialog>

#include "shell/app_info.h"

class QLabel;
class QPushButton;

// The version box. Opened without waiting from the main window, which it disables while it is
// open; OK, Enter, Esc and the close box close it and give the main window its input back.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* mainWindow, AppInfo info = ThisAppInfo());

    // Opens the box: centre over the main window, disable it, fill the texts; then show.
    void Open();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void ReturnToOwner();

    QWidget* mainWindow_;
    AppInfo info_;
    QLabel* lblTitle_ = nullptr;
    QLabel* lblVersion_ = nullptr;
    QLabel* lblCompany_ = nullptr;
    QPushButton* cmdOK_ = nullptr;
};
