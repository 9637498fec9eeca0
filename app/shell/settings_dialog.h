#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "settings/settings_record.h"
#include "shell/folder_dialog.h"

class OperatorView;
class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QScrollArea;
class QScrollBar;

// The settings dialog: the only place where the operator changes settings.
//
// The dialog edits a private WorkingCopy of every setting. OK commits it to the process-wide record and
// rewrites the settings file; cancel, Esc and the close box discard it. While it is open the main window
// is disabled. Enter presses no button.
//
// The frames keep their twip layout on a page of their own. On a screen too small for the page (less the
// window frame), the page scrolls and OK and cancel move to a strip at the bottom that stays in view.
//
// Every control carries a prefixed name as objectName (opt, chk, txt, cmd, ...), by which tests find it;
// the elements of a control array carry the array
// name followed by the index: optSaveFormat0..2, optBaud0..1, chkXlsField0..19 (captions F1..F20),
// cmdOK0 ("OK") and cmdOK1 ("ｷｬﾝｾﾙ"), and so on.
//
// Values that the controls cannot show (a Port of 0 left by a read error, a SendMail or an XlsField flag
// other than 0 and 1, a Baud other than 115200 and 38400) are shown in the nearest valid state and kept
// unchanged until the operator changes that control.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    using FolderShower = std::function<void(const std::string& folder)>;

    // `showSaveFolder` writes the main window's save folder label; `view` gives the message boxes.
    SettingsDialog(QWidget* mainWindow, SettingsRecord& record, OperatorView& view,
                   FolderShower showSaveFolder);
    ~SettingsDialog() override;

    // Opens the dialog: placed on the main window's top-left corner, main window disabled, ShowSettings;
    // shown.
    void Open();

    void ShowSettings();
    void UpdateControlStates(int16_t format);
    void SaveSettings();
    // OK: checks the mail fields, saves and closes. Cancel: closes without saving.
    void OkClicked();
    void CancelClicked();
    // Opens the folder chooser on the folder shown.
    void BrowseFolderClicked();
    // The caption of the folder label: the only way SaveFolder changes in the dialog.
    void SetFolderLabel(const QString& folder);

    const SettingsRecord& WorkingCopy() const { return working_; }
    FolderDialog* OpenFolderDialog() const { return folderDialog_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct OptionSpec {
        const char* Text;
        int Left;
        int Top;
        const char* Tooltip = nullptr;  // the option's own, when it differs from the frame's
    };
    struct FrameRow;
    // The frames in the order in which BuildControls creates them.
    static const std::vector<FrameRow>& FrameRows();

    QGroupBox* MakeFrame(const char* name, const char* caption, int left, int top, int width, int height,
                         const char* tooltip);
    QButtonGroup* MakeOptions(QGroupBox* frame, const char* name, const std::vector<OptionSpec>& options,
                              std::function<void(int)> onClick);
    QLineEdit* MakeTextBox(QWidget* parent, const char* name, int left, int top, int width, int height,
                           std::function<void(const std::string&)> onChange);
    // A horizontal scroll bar that is a focus stop, worked with the keys (ScrollBarKeys).
    QScrollBar* MakeScrollBar(QGroupBox* frame, const char* name, int left, int top, int width, int minimum,
                              int maximum, int pageStep);
    // Every control, frame by frame from FrameRows(), then the time check box and the buttons.
    void BuildControls();
    // The frames whose controls are more than one option group or text box.
    void BuildPortFrame(QGroupBox* frame);
    void BuildStartLineFrame(QGroupBox* frame);
    void BuildFolderFrame(QGroupBox* frame);
    void BuildFieldFrame(QGroupBox* frame);
    void BuildMailFrame(QGroupBox* frame);
    void BuildTabOrder();
    // Sizes the dialog to its page, or to the screen's available area less the window frame with the page
    // scrolling, and keeps the window on that area.
    void FitToScreen();
    // The first refusal of OK, as a message box; false when there is none.
    bool RefusedOk();
    void ReturnToOwner();

    QWidget* mainWindow_;
    SettingsRecord& record_;
    OperatorView& view_;
    FolderShower showSaveFolder_;
    SettingsRecord working_;
    QPointer<FolderDialog> folderDialog_;

    QWidget* page_ = nullptr;  // every frame and control at its twip place, scrolled on a small screen
    QScrollArea* scroll_ = nullptr;
    QWidget* buttonStrip_ = nullptr;  // OK and cancel on a small screen
    std::map<std::string, QButtonGroup*> options_;
    std::map<std::string, QGroupBox*> frames_;
    QObject* scrollBarKeys_ = nullptr;  // the key handling of both scroll bars
    QLineEdit* txtPort_ = nullptr;
    QScrollBar* hsPort_ = nullptr;
    QLineEdit* txtFixFname_ = nullptr;
    QLineEdit* txtXlsTemp_ = nullptr;
    QLineEdit* txtXlsStartLine_ = nullptr;
    QScrollBar* hsXlsStartLine_ = nullptr;
    QLineEdit* txtMdbName_ = nullptr;
    QLineEdit* txtMdbTblName_ = nullptr;
    QLabel* lblFolder_ = nullptr;
    QAbstractButton* cmdFolderRef_ = nullptr;
    QCheckBox* chkXlsField_[20] = {};
    QCheckBox* chkSendMail_ = nullptr;
    QLineEdit* txtMailAddress_ = nullptr;
    QLineEdit* txtMailSub_ = nullptr;
    QLineEdit* txtFromMailAddress_ = nullptr;
    QLineEdit* txtMailServer_ = nullptr;
    QCheckBox* chkTimeAdjust_ = nullptr;
    QLineEdit* txtAfterUpload_ = nullptr;
    QAbstractButton* cmdOK_[2] = {nullptr, nullptr};
};
