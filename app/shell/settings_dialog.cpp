#include "shell/settings_dialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>
#include <QValidator>
#include <algorithm>
#include <cstdint>
#include <memory>

#include "run/operator_view.h"
#include "settings/number_text.h"
#include "settings/setting_text.h"
#include "settings/settings_store.h"
#include "shell/dialog_support.h"
#include "shell/folder_dialog.h"
#include "shell/window_metrics.h"
#include "stores/store_table.h"

namespace {

// The line edits' rule for what is typed or pasted: control characters (CR and LF of a pasted line
// among them) are dropped, and an edit that would take the value past 254 bytes of CP932 is refused.
class SettingTextValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& position) const override {
        QString kept;
        kept.reserve(input.size());
        for (qsizetype i = 0; i < input.size(); ++i) {
            if (IsSettingControl(input[i].unicode())) {
                position -= i < position ? 1 : 0;
            } else {
                kept += input[i];
            }
        }
        input = kept;
        return FitsSettingValue(input.toStdString()) ? Acceptable : Invalid;
    }
};

// The keyboard focus as a clear mark on every kind of control, whatever the desktop's style draws.
constexpr const char* kFocusMarks =
    "QRadioButton:focus, QCheckBox:focus { background-color: #cce4ff; }"
    "QLineEdit:focus, QPushButton:focus, QScrollBar:focus { border: 2px solid #1a66cc; }";

// The window manager's frame around `window` (title bar, borders); none before it has been shown.
QMargins FrameMargins(const QWidget* window) {
    const QRect outer = window->frameGeometry();
    const QRect inner = window->geometry();
    return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
            outer.bottom() - inner.bottom()};
}

// The twip place of OK (0) and cancel (1) on the page.
QRect OkButtonPlace(int index) {
    return TwipsRect(7560, 7920 + 960 * index, 1935, 855);
}

constexpr int kBaudFast = 115200;
constexpr int kBaudSlow = 38400;
// hsXlsStartLine runs from -32768 to 32767 for the start rows 0 to 65535.
constexpr int kStartLineOffset = 32768;

// Selects option `index` of `group`; an index no option has leaves the group without a selection.
void SelectOption(QButtonGroup* group, int index) {
    if (QAbstractButton* button = group->button(index)) {
        button->setChecked(true);
        return;
    }
    group->setExclusive(false);
    for (QAbstractButton* button : group->buttons()) {
        button->setChecked(false);
    }
    group->setExclusive(true);
}

// An option group is one focus stop, and Tab lands on its selected option (or, when that cannot take the
// focus, on its first enabled one), so that the space key never changes a setting by surprise. Qt moves
// the stop to whichever option last had the focus; before that every option would be a candidate.
void SetOptionTabStops(const std::map<std::string, QButtonGroup*>& groups) {
    for (const auto& [name, group] : groups) {
        QAbstractButton* stop = group->checkedButton();
        if (stop == nullptr || !stop->isEnabled()) {
            stop = nullptr;
            for (QAbstractButton* button : group->buttons()) {
                if (button->isEnabled()) {
                    stop = button;
                    break;
                }
            }
        }
        for (QAbstractButton* button : group->buttons()) {
            const int policy = button->focusPolicy();
            const bool takesTab = stop == nullptr || button == stop;
            button->setFocusPolicy(
                static_cast<Qt::FocusPolicy>(takesTab ? policy | Qt::TabFocus : policy & ~Qt::TabFocus));
        }
    }
}

// The numeric value of a number kept as text, rounded to the nearest integer with ties to even, read as
// the settings store reads numbers (never by the C library, whose decimal point follows the locale).
int64_t RoundedNumber(const std::string& text) {
    return LeadingInteger(text, INT64_MIN, INT64_MAX).value_or(0);
}

// The keys of a focused scroll bar as the operators know them: left and up decrease by the small
// change, right and down increase; page up and page down by the large change; Home and End go to the
// ends. (Qt's scroll bars turn some of these round.)
class ScrollBarKeys : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* bar = qobject_cast<QScrollBar*>(watched);
        if (bar == nullptr || event->type() != QEvent::KeyPress) {
            return false;
        }
        QAbstractSlider::SliderAction action = QAbstractSlider::SliderNoAction;
        switch (static_cast<QKeyEvent*>(event)->key()) {
            case Qt::Key_Left:
            case Qt::Key_Up:
                action = QAbstractSlider::SliderSingleStepSub;
                break;
            case Qt::Key_Right:
            case Qt::Key_Down:
                action = QAbstractSlider::SliderSingleStepAdd;
                break;
            case Qt::Key_PageUp:
                action = QAbstractSlider::SliderPageStepSub;
                break;
            case Qt::Key_PageDown:
                action = QAbstractSlider::SliderPageStepAdd;
                break;
            case Qt::Key_Home:
                action = QAbstractSlider::SliderToMinimum;
                break;
            case Qt::Key_End:
                action = QAbstractSlider::SliderToMaximum;
                break;
            default:
                return false;
        }
        bar->triggerAction(action);
        return true;
    }
};

}  // namespace

SettingsDialog::SettingsDialog(QWidget* mainWindow, SettingsRecord& record, OperatorView& view,
                               FolderShower showSaveFolder)
    : QDialog(nullptr,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      mainWindow_(mainWindow),
      record_(record),
      view_(view),
      showSaveFolder_(std::move(showSaveFolder)),
      working_(record) {
    setObjectName(QStringLiteral("frmSetting"));
    setWindowTitle(QStringLiteral("ｵﾌﾟｼｮﾝ設定"));
    setWindowIcon(ProgramIcon());
    setFont(JapaneseFont());
    setStyleSheet(QString::fromLatin1(kFocusMarks));
    page_ = new QWidget;
    page_->setObjectName(QStringLiteral("pageSetting"));
    // The designed height, the mail protection row and one row below for the command after each upload.
    page_->setFixedSize(TwipsToPixels(9645), TwipsToPixels(10215 + 735));
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("scrSetting"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setFocusPolicy(Qt::NoFocus);  // the page's controls are the focus stops
    scroll_->setWidget(page_);
    buttonStrip_ = new QWidget(this);
    buttonStrip_->setObjectName(QStringLiteral("stripButtons"));
    auto* strip = new QHBoxLayout(buttonStrip_);
    strip->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(scroll_);
    layout->addWidget(buttonStrip_);
    AttachToOwner(this, mainWindow_);
    BuildControls();
    BuildTabOrder();
    FitToScreen();
    connect(this, &QDialog::finished, this, &SettingsDialog::ReturnToOwner);
}

SettingsDialog::~SettingsDialog() {
    delete folderDialog_.data();
}

// One frame of the dialog and what it holds: an option group, a text box, or controls that a member
// function builds. The rows are in the order in which the controls are created.
struct SettingsDialog::FrameRow {
    struct FrameSpec {
        const char* Name;
        const char* Caption;
        int Left, Top, Width, Height;  // twips
        const char* Tooltip;
    };
    struct OptionGroupSpec {
        const char* Name = nullptr;
        std::vector<OptionSpec> Specs = {};
        void (*Choose)(SettingsRecord& record, int index) = nullptr;  // a click on option `index`
    };
    struct TextBoxSpec {
        const char* Name = nullptr;
        int Left = 0, Top = 0, Width = 0, Height = 0;  // twips
        std::string SettingsRecord::*Setting = nullptr;
        QLineEdit* SettingsDialog::*Box = nullptr;
        const char* Tooltip = nullptr;  // the box's own, when it differs from the frame's
    };

    FrameSpec Frame;
    OptionGroupSpec Options = {};
    TextBoxSpec Text = {};
    void (SettingsDialog::*Fill)(QGroupBox* frame) = nullptr;
};

const std::vector<SettingsDialog::FrameRow>& SettingsDialog::FrameRows() {
    static const std::vector<FrameRow> rows = {
        {.Frame = {"frmPort", "ﾎﾟｰﾄ", 120, 120, 5055, 615, "COMﾎﾟｰﾄ番号を選択してください"},
         .Fill = &SettingsDialog::BuildPortFrame},
        {.Frame = {"frmAddDate", "日付・時刻付加(CSV/TXT/XLS)", 5280, 120, 4215, 2175,
                   "日付・時刻の付加方法を指定してください"},
         .Options = {"optAddDate",
                     {{"日付・時刻なし", 120, 240},
                      {"ﾌｧｲﾙ名を日付(YYYYMMDD)にする", 120, 600},
                      {"ﾌｧｲﾙ名を日時(YYYYMMDDHHMM)にする", 120, 960},
                      {"ﾌｧｲﾙ名に日時(YYYYMMDD)を付加する", 120, 1320},
                      {"ﾌｧｲﾙ名に日時(YYYYMMDDHHMM)を付加する", 120, 1680}},
                     [](SettingsRecord& r, int index) { r.AddDate = static_cast<int16_t>(index); }}},
        {.Frame = {"frmBaud", "ﾎﾞｰﾚｰﾄ", 120, 840, 2175, 975,
                   "通信速度を選択してください（通常は、｢115.2Kbps｣）"},
         .Options = {"optBaud",
                     {{"115.2K bps (最高速)", 120, 240}, {"38.4K bps", 120, 480}},
                     [](SettingsRecord& r, int index) { r.Baud = index == 0 ? kBaudFast : kBaudSlow; }}},
        {.Frame = {"frmMode", "ﾓｰﾄﾞ", 2400, 840, 2775, 975, "通信ﾓｰﾄﾞを選択してください"},
         .Options = {"optMode",
                     {{"RS232C ﾀﾞｲﾚｸﾄ通信(LNU)", 120, 240}, {"IR通信(CQD-6xxx/QR-30)", 120, 480}},
                     [](SettingsRecord& r, int index) { r.Mode = static_cast<LinkMode>(index); }}},
        // The fourth choice on a row of its own below the three, the frame taller for it.
        {.Frame = {"frmSaveFormat", "保存ﾌｧｲﾙ形式", 120, 1920, 2175, 1215,
                   "保存するﾌｧｲﾙ形式を選択してください"},
         .Options = {"optSaveFormat",
                     {{"CSV/TXT", 120, 240}, {"XLS", 1320, 240}, {"MDB", 120, 480}, {"CSV(UTF-8)", 120, 720}},
                     [](SettingsRecord& r, int index) { r.SaveFormat = static_cast<int16_t>(index); }}},
        {.Frame = {"frmFixFname", "保存ﾌｧｲﾙ名(CSV/TXT/XLS)", 2400, 1920, 2775, 615,
                   "保存したいﾌｧｲﾙ名(拡張子は指定不要)を指定してください"},
         .Text = {"txtFixFname", 120, 240, 2535, 270, &SettingsRecord::FixFname,
                  &SettingsDialog::txtFixFname_,
                  "保存したいﾌｧｲﾙ名(拡張子はTXT固定、指定不要)を指定してください"}},
        {.Frame = {"frmOverWrite", "保存ﾓｰﾄﾞ(CSV/TXT)", 5280, 2400, 4215, 855, "保存ﾓｰﾄﾞを選択してください"},
         .Options = {"optOverWrite",
                     {{"追加ﾓｰﾄﾞ", 120, 360}, {"上書ﾓｰﾄﾞ", 2160, 360}},
                     [](SettingsRecord& r, int index) { r.OverWrite = static_cast<int16_t>(index); }}},
        {.Frame = {"frmXlsTemp", "ﾃﾝﾌﾟﾚｰﾄ(XLS)", 2400, 2640, 2775, 615,
                   "XLSﾃﾝﾌﾟﾚｰﾄﾌｧｲﾙを指定してください(省略した場合は、ﾃﾝﾌﾟﾚｰﾄを使用しません)"},
         .Text = {"txtXlsTemp", 120, 240, 2535, 264, &SettingsRecord::XlsTemp, &SettingsDialog::txtXlsTemp_}},
        // Two columns for the four .xls versions, the .xlsx choice on a row of its own below them.
        {.Frame = {"frmXlsType", "保存形式(XLS)", 120, 3360, 2895, 950, "XLS形式を選択してください"},
         .Options = {"optXlsType",
                     {{"EXCEL97", 120, 200},
                      {"EXCEL2000", 1440, 200},
                      {"EXCEL2002", 120, 440},
                      {"EXCEL2003", 1440, 440},
                      {"EXCEL2007以降(.xlsx)", 120, 680}},
                     [](SettingsRecord& r, int index) { r.XlsType = static_cast<int16_t>(index); }}},
        {.Frame = {"frmXlsF1", "第一ﾌｨｰﾙﾄﾞの扱い(XLS)", 3120, 3360, 2052, 855,
                   "ｼｰﾄ分けに使用を選択すると、第一ﾌｨｰﾙﾄﾞﾃﾞｰﾀを元にｼｰﾄ1～10に分割してﾃﾞｰﾀを取り込みます"},
         .Options = {"optXlsF1",
                     {{"ｼｰﾄ分けに使用", 120, 240,
                       "第一ﾌｨｰﾙﾄﾞﾃﾞｰﾀをｼｰﾄ分けに使用する場合は、｢ｼｰﾄ分けに使用｣を選択してください"},
                      {"ﾃﾞｰﾀとして扱う", 120, 480}},
                     [](SettingsRecord& r, int index) { r.XlsF1 = static_cast<int16_t>(index); }}},
        {.Frame = {"frmXlsStartLine", "書込開始行(XLS)", 5280, 3360, 4215, 855,
                   "追加書込を行う場合は、0を指定します"},
         .Fill = &SettingsDialog::BuildStartLineFrame},
        {.Frame = {"frmMdbType", "ACCESSﾊﾞｰｼﾞｮﾝ(MDB)", 120, 4320, 2052, 852,
                   "MDB形式を選択してください\n"
                   "ﾃﾞｰﾀﾍﾞｰｽは SQLite 3 のﾌｧｲﾙです(どちらを選んでも同じです)"},
         .Options = {"optMdbType",
                     {{"ACCESS 97/2000", 120, 240}, {"ACCESS 97", 120, 480}},
                     [](SettingsRecord& r, int index) { r.MdbType = static_cast<int16_t>(index); }}},
        {.Frame = {"frmMdbName", "ﾃﾞｰﾀﾍﾞｰｽ名(MDB)", 2280, 4320, 3375, 852,
                   "ﾃﾞｰﾀﾍﾞｰｽﾌｧｲﾙ名を指定してください\n"
                   "保存ﾌｫﾙﾀﾞの <名前>.mdb という SQLite 3 のﾌｧｲﾙです。sqlite3 で作成します:\n"
                   "sqlite3 <名前>.mdb \"CREATE TABLE T01 (F1 TEXT, F2 TEXT, ... F20 TEXT);\""},
         .Text = {"txtMdbName", 120, 348, 3135, 264, &SettingsRecord::DatabaseName,
                  &SettingsDialog::txtMdbName_}},
        {.Frame = {"frmMdbTblName", "保存ﾃｰﾌﾞﾙ名(MDB)", 5760, 4320, 3735, 852,
                   "ﾃｰﾌﾞﾙ名を指定してください(省略した場合は、ﾀｰﾐﾅﾙIDがﾃｰﾌﾞﾙ名となります)"},
         .Text = {"txtMdbTblName", 120, 360, 3495, 264, &SettingsRecord::MdbTblName,
                  &SettingsDialog::txtMdbTblName_}},
        {.Frame = {"frmFolder", "保存ﾌｫﾙﾀﾞ", 120, 5280, 9375, 612, "保存ﾌｫﾙﾀﾞを選択してください"},
         .Fill = &SettingsDialog::BuildFolderFrame},
        {.Frame = {"frmXlsField", "取り込みﾌｨｰﾙﾄﾞ選択", 120, 6000, 5295, 1335,
                   "取り込みたいﾌｨｰﾙﾄﾞをﾁｪｯｸしてください"},
         .Fill = &SettingsDialog::BuildFieldFrame},
        {.Frame = {"frmAutoStart", "ｵｰﾄｽﾀｰﾄ", 5520, 6000, 1935, 612,
                   "GATHRA実行時、通信をｵｰﾄｽﾀｰﾄする場合は、「する」を選択してください"},
         .Options = {"optAutoStart",
                     {{"しない", 120, 240}, {"する", 960, 240}},
                     [](SettingsRecord& r, int index) { r.AutoStart = static_cast<Switch>(index); }}},
        {.Frame = {"frmStartUpSize", "ｽﾀｰﾄｻｲｽﾞ", 7560, 6000, 1935, 612,
                   "GATHRAを最小化して起動する場合は、｢ｱｲｺﾝ｣を選択してください"},
         .Options = {"optStartUpSize",
                     {{"ﾉｰﾏﾙ", 120, 240}, {"ｱｲｺﾝ", 960, 240}},
                     [](SettingsRecord& r, int index) { r.StartUpSize = static_cast<int16_t>(index); }}},
        {.Frame = {"frmCrcType", "CRCﾀｲﾌﾟ", 5520, 6720, 1935, 612,
                   "ﾁｪｯｸｻﾑの計算方法を選択してください（通常は、「ﾀｲﾌﾟ1」）"},
         .Options = {"optCrcType",
                     {{"ﾀｲﾌﾟ1", 120, 240}, {"ﾀｲﾌﾟ2", 960, 240}},
                     [](SettingsRecord& r, int index) {
                         r.ChecksumCoverage = static_cast<ChecksumCoverage>(index);
                     }}},
        {.Frame = {"frmProtocol", "ﾌﾟﾛﾄｺﾙ", 7560, 6720, 1935, 615,
                   "通信ﾌﾟﾛﾄｺﾙを選択してください(通常は、｢専用｣)"},
         .Options = {"optProtocol",
                     {{"専用", 120, 240}, {"ｼﾝﾌﾟﾙ", 960, 240}},
                     [](SettingsRecord& r, int index) { r.Protocol = static_cast<UploadProtocol>(index); }}},
        {.Frame = {"frmMail", "ﾒｰﾙ送信", 120, 7440, 7335, 2655,
                   "ｱｯﾌﾟﾛｰﾄﾞしたﾌｧｲﾙを添付して、指定ｱﾄﾞﾚｽへﾒｰﾙしたい場合は、この項目を設定してください"},
         .Fill = &SettingsDialog::BuildMailFrame},
        {.Frame = {"frmAfterUpload", "ｱｯﾌﾟﾛｰﾄﾞ後ｺﾏﾝﾄﾞ", 120, 10200, 9375, 615,
                   "ｱｯﾌﾟﾛｰﾄﾞごとに実行するｺﾏﾝﾄﾞ(保存ﾌｫﾙﾀﾞで /bin/sh -c により実行、空欄なら実行しない)"},
         .Text = {"txtAfterUpload", 120, 240, 9135, 270, &SettingsRecord::AfterUpload,
                  &SettingsDialog::txtAfterUpload_}},
    };
    return rows;
}

QGroupBox* SettingsDialog::MakeFrame(const char* name, const char* caption, int left, int top, int width,
                                     int height, const char* tooltip) {
    auto* frame = new QGroupBox(QString::fromUtf8(caption), page_);
    frame->setObjectName(QString::fromLatin1(name));
    frame->setGeometry(TwipsRect(left, top, width, height));
    frame->setToolTip(QString::fromUtf8(tooltip));
    frames_[name] = frame;
    return frame;
}

QButtonGroup* SettingsDialog::MakeOptions(QGroupBox* frame, const char* name,
                                          const std::vector<OptionSpec>& options,
                                          std::function<void(int)> onClick) {
    auto* group = new QButtonGroup(this);
    group->setObjectName(QString::fromLatin1(name));
    int index = 0;
    for (const OptionSpec& option : options) {
        auto* button = new QRadioButton(QString::fromUtf8(option.Text), frame);
        button->setObjectName(ArrayElementName(name, index));
        button->adjustSize();
        button->move(TwipsToPixels(option.Left), TwipsToPixels(option.Top));
        button->resize(button->width(), TwipsToPixels(255));
        if (option.Tooltip != nullptr) {
            button->setToolTip(QString::fromUtf8(option.Tooltip));
        }
        group->addButton(button, index);
        ++index;
    }
    // Clicks only: filling the controls from the record does not count as the operator's choice.
    connect(group, &QButtonGroup::idClicked, this, std::move(onClick));
    options_[name] = group;
    return group;
}

QLineEdit* SettingsDialog::MakeTextBox(QWidget* parent, const char* name, int left, int top, int width,
                                       int height, std::function<void(const std::string&)> onChange) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setValidator(new SettingTextValidator(box));
    box->setGeometry(TwipsRect(left, top, width, height));
    if (onChange) {
        connect(box, &QLineEdit::textChanged, this,
                [onChange = std::move(onChange)](const QString& text) { onChange(text.toStdString()); });
    }
    return box;
}

QScrollBar* SettingsDialog::MakeScrollBar(QGroupBox* frame, const char* name, int left, int top, int width,
                                          int minimum, int maximum, int pageStep) {
    auto* bar = new QScrollBar(Qt::Horizontal, frame);
    bar->setObjectName(QString::fromLatin1(name));
    // A focus stop, worked with the keys like the other controls (Qt's scroll bars take no focus).
    if (scrollBarKeys_ == nullptr) {
        scrollBarKeys_ = new ScrollBarKeys(this);
    }
    bar->setFocusPolicy(Qt::StrongFocus);
    bar->installEventFilter(scrollBarKeys_);
    bar->setGeometry(TwipsRect(left, top, width, 255));
    bar->setRange(minimum, maximum);
    bar->setSingleStep(1);
    bar->setPageStep(pageStep);
    return bar;
}

void SettingsDialog::BuildControls() {
    for (const FrameRow& row : FrameRows()) {
        const FrameRow::FrameSpec& f = row.Frame;
        QGroupBox* frame = MakeFrame(f.Name, f.Caption, f.Left, f.Top, f.Width, f.Height, f.Tooltip);
        if (row.Options.Name != nullptr) {
            MakeOptions(frame, row.Options.Name, row.Options.Specs,
                        [this, choose = row.Options.Choose](int index) { choose(working_, index); });
        } else if (row.Text.Name != nullptr) {
            const FrameRow::TextBoxSpec& t = row.Text;
            QLineEdit* box = MakeTextBox(
                frame, t.Name, t.Left, t.Top, t.Width, t.Height,
                [this, setting = t.Setting](const std::string& text) { working_.*setting = text; });
            if (t.Tooltip != nullptr) {
                box->setToolTip(QString::fromUtf8(t.Tooltip));
            }
            this->*t.Box = box;
        } else {
            (this->*row.Fill)(frame);
        }
    }
    // A new save format enables and disables the controls that depend on it.
    connect(options_.at("optSaveFormat"), &QButtonGroup::idClicked, this,
            [this] { UpdateControlStates(working_.SaveFormat); });

    chkTimeAdjust_ = new QCheckBox(QStringLiteral("PCと日時を合わせる"), page_);
    chkTimeAdjust_->setObjectName(QStringLiteral("chkTimeAdjust"));
    chkTimeAdjust_->setGeometry(TwipsRect(7560, 7440, 1935, 375));
    connect(chkTimeAdjust_, &QCheckBox::clicked, this,
            [this](bool checked) { working_.TimeAdjust.assign(1, checked ? '1' : '0'); });

    const char* texts[2] = {"OK", "ｷｬﾝｾﾙ"};
    for (int i = 0; i < 2; ++i) {
        auto* button = new QPushButton(QString::fromUtf8(texts[i]), page_);
        button->setObjectName(ArrayElementName("cmdOK", i));
        button->setGeometry(OkButtonPlace(i));
        // Neither button is the dialog's default: Enter presses nothing.
        button->setAutoDefault(false);
        button->setDefault(false);
        connect(button, &QPushButton::clicked, this,
                i == 0 ? &SettingsDialog::OkClicked : &SettingsDialog::CancelClicked);
        cmdOK_[i] = button;
    }
}

void SettingsDialog::BuildPortFrame(QGroupBox* frame) {
    txtPort_ = MakeTextBox(frame, "txtPort", 120, 240, 615, 270, nullptr);
    txtPort_->setEnabled(false);  // display only
    hsPort_ = MakeScrollBar(frame, "hsPort", 840, 240, 4095, 1, 255, 10);
    connect(hsPort_, &QScrollBar::valueChanged, this, [this](int value) {
        txtPort_->setText(QString::number(value));
        working_.Port = static_cast<int16_t>(value);
    });
}

void SettingsDialog::BuildStartLineFrame(QGroupBox* frame) {
    txtXlsStartLine_ = MakeTextBox(frame, "txtXlsStartLine", 120, 360, 975, 270, nullptr);
    txtXlsStartLine_->setEnabled(false);  // display only
    txtXlsStartLine_->setToolTip(QStringLiteral("XLS形式で追加書込を行う場合は、0を指定します"));
    hsXlsStartLine_ = MakeScrollBar(frame, "hsXlsStartLine", 1200, 360, 2895, -32768, 32767, 50);
    connect(hsXlsStartLine_, &QScrollBar::valueChanged, this, [this](int value) {
        const int32_t line = value + kStartLineOffset;
        txtXlsStartLine_->setText(QString::number(line));
        working_.XlsStartLine = line;
    });
}

void SettingsDialog::BuildFolderFrame(QGroupBox* frame) {
    lblFolder_ = new QLabel(frame);
    lblFolder_->setObjectName(QStringLiteral("lblFolder"));
    lblFolder_->setTextFormat(Qt::PlainText);
    lblFolder_->setGeometry(TwipsRect(120, 240, 8295, 255));
    auto* folderRef = new QPushButton(QStringLiteral("参照"), frame);
    folderRef->setObjectName(QStringLiteral("cmdFolderRef"));
    folderRef->setGeometry(TwipsRect(8520, 240, 735, 252));
    folderRef->setAutoDefault(false);
    connect(folderRef, &QPushButton::clicked, this, &SettingsDialog::BrowseFolderClicked);
    cmdFolderRef_ = folderRef;
}

void SettingsDialog::BuildFieldFrame(QGroupBox* frame) {
    for (int i = 0; i < 20; ++i) {
        auto* box = new QCheckBox(QStringLiteral("F%1").arg(i + 1), frame);
        box->setObjectName(ArrayElementName("chkXlsField", i));
        box->setGeometry(TwipsRect(120 + 1080 * (i % 5), 240 + 240 * (i / 5), 732, 252));
        connect(box, &QCheckBox::clicked, this,
                [this, i](bool checked) { working_.SelectedFields[i] = checked ? 1 : 0; });
        chkXlsField_[i] = box;
    }
}

void SettingsDialog::BuildMailFrame(QGroupBox* frame) {
    chkSendMail_ = new QCheckBox(QStringLiteral("ｱｯﾌﾟﾛｰﾄﾞﾌｧｲﾙを添付してﾒｰﾙする"), frame);
    chkSendMail_->setObjectName(QStringLiteral("chkSendMail"));
    chkSendMail_->setGeometry(TwipsRect(240, 360, 5415, 255));
    connect(chkSendMail_, &QCheckBox::clicked, this,
            [this](bool checked) { working_.SendMail = checked ? Switch::On : Switch::Off; });
    struct MailRow {
        const char* Caption;
        const char* LabelName;
        const char* BoxName;
        std::string SettingsRecord::*Field;
        QLineEdit** Box;
    };
    const MailRow rows[] = {
        {"宛先ﾒｰﾙｱﾄﾞﾚｽ(To)", "lblMailAddress", "txtMailAddress", &SettingsRecord::MailAddress,
         &txtMailAddress_},
        {"件名", "lblMailSub", "txtMailSub", &SettingsRecord::MailSub, &txtMailSub_},
        {"差出人ﾒｰﾙｱﾄﾞﾚｽ(From)", "lblFromMailAddress", "txtFromMailAddress", &SettingsRecord::FromMailAddress,
         &txtFromMailAddress_},
        {"ﾒｰﾙｻｰﾊﾞｰ", "lblMailServer", "txtMailServer", &SettingsRecord::MailServer, &txtMailServer_},
    };
    int top = 720;
    for (const MailRow& row : rows) {
        auto* caption = new QLabel(QString::fromUtf8(row.Caption), frame);
        caption->setObjectName(QString::fromLatin1(row.LabelName));
        caption->setGeometry(TwipsRect(240, top, 2055, 270));
        auto field = row.Field;
        *row.Box = MakeTextBox(frame, row.BoxName, 2400, top, 4815, 270,
                               [this, field](const std::string& text) { working_.*field = text; });
        top += 360;
    }
    // MailTls: how the mail is protected on its way to the server.
    auto* caption = new QLabel(QStringLiteral("暗号化"), frame);
    caption->setObjectName(QStringLiteral("lblMailTls"));
    caption->setGeometry(TwipsRect(240, top, 900, 270));
    MakeOptions(frame, "optMailTls",
                {{"STARTTLS(提供時)", 1200, top, "ｻｰﾊﾞｰが STARTTLS を提供するときだけ暗号化します"},
                 {"STARTTLS(必須)", 3240, top, "STARTTLS を提供しないｻｰﾊﾞｰには送信しません"},
                 {"SMTPS(465)", 5280, top, "最初から TLS で接続します(ﾎﾟｰﾄ番号の指定がなければ 465)"}},
                [this](int index) { working_.MailTls = std::to_string(index); });
}

void SettingsDialog::BuildTabOrder() {
    std::vector<QWidget*> order;
    auto addGroup = [&](const char* name) {
        for (QAbstractButton* button : options_.at(name)->buttons()) {
            order.push_back(button);
        }
    };
    order.push_back(hsPort_);
    addGroup("optBaud");
    addGroup("optMode");
    addGroup("optSaveFormat");
    order.push_back(txtFixFname_);
    order.push_back(txtXlsTemp_);
    addGroup("optAddDate");
    addGroup("optOverWrite");
    addGroup("optXlsType");
    addGroup("optXlsF1");
    order.push_back(hsXlsStartLine_);
    addGroup("optMdbType");
    order.push_back(txtMdbName_);
    order.push_back(txtMdbTblName_);
    order.push_back(cmdFolderRef_);
    for (QCheckBox* box : chkXlsField_) {
        order.push_back(box);
    }
    addGroup("optAutoStart");
    addGroup("optCrcType");
    addGroup("optStartUpSize");
    addGroup("optProtocol");
    for (QWidget* widget : std::initializer_list<QWidget*>{chkSendMail_, txtMailAddress_, txtMailSub_,
                                                           txtFromMailAddress_, txtMailServer_}) {
        order.push_back(widget);
    }
    addGroup("optMailTls");
    for (QWidget* widget :
         std::initializer_list<QWidget*>{chkTimeAdjust_, txtAfterUpload_, cmdOK_[0], cmdOK_[1]}) {
        order.push_back(widget);
    }
    for (size_t i = 1; i < order.size(); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
}

void SettingsDialog::FitToScreen() {
    QScreen* screen = mainWindow_ != nullptr ? mainWindow_->screen() : this->screen();
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->availableGeometry();
    // Before it is first shown the dialog has no frame yet: the main window's stands for it.
    QMargins frame = FrameMargins(this);
    if (frame.isNull() && mainWindow_ != nullptr) {
        frame = FrameMargins(mainWindow_);
    }
    const QSize room(area.width() - frame.left() - frame.right(),
                     area.height() - frame.top() - frame.bottom());
    const QSize page = page_->size();
    const bool fits = page.width() <= room.width() && page.height() <= room.height();
    for (int i = 0; i < 2; ++i) {
        QAbstractButton* button = cmdOK_[i];
        if (fits) {
            buttonStrip_->layout()->removeWidget(button);
            button->setParent(page_);
            button->setGeometry(OkButtonPlace(i));
        } else if (button->parentWidget() != buttonStrip_) {
            button->setParent(buttonStrip_);
            buttonStrip_->layout()->addWidget(button);
        }
        button->show();
    }
    buttonStrip_->setVisible(!fits);
    const Qt::ScrollBarPolicy bars = fits ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded;
    scroll_->setHorizontalScrollBarPolicy(bars);
    scroll_->setVerticalScrollBarPolicy(bars);
    QSize size = page;
    if (!fits) {
        const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
        size = QSize(std::min(page.width() + bar, room.width()), room.height());
    }
    setFixedSize(size);
    // The frame stays on the available area, moved up or left only as far as it must.
    const QSize outer = size.grownBy(frame);
    const int x = std::max(area.left(), std::min(pos().x(), area.left() + area.width() - outer.width()));
    const int y = std::max(area.top(), std::min(pos().y(), area.top() + area.height() - outer.height()));
    move(x, y);
}

void SettingsDialog::Open() {
    if (mainWindow_ != nullptr) {
        move(mainWindow_->pos());
        mainWindow_->setEnabled(false);
    }
    FitToScreen();
    ShowSettings();
    show();
    raise();
    activateWindow();
}

void SettingsDialog::ShowSettings() {
    const SettingsRecord& r = record_;
    hsPort_->setValue(std::clamp<int>(r.Port, 1, 255));
    txtPort_->setText(QString::number(r.Port));
    SelectOption(options_.at("optMode"), static_cast<int>(r.Mode));
    SelectOption(options_.at("optBaud"), r.Baud == kBaudFast ? 0 : 1);
    SetFolderLabel(QString::fromStdString(r.SaveFolder));
    SelectOption(options_.at("optOverWrite"), r.OverWrite);
    SelectOption(options_.at("optStartUpSize"), r.StartUpSize);
    SelectOption(options_.at("optAutoStart"), static_cast<int>(r.AutoStart));
    SelectOption(options_.at("optCrcType"), static_cast<int>(r.ChecksumCoverage));
    SelectOption(options_.at("optProtocol"), static_cast<int>(r.Protocol));
    // Only 1 sends mail; any other value shows as not ticked.
    chkSendMail_->setChecked(r.SendMail == Switch::On);
    txtMailAddress_->setText(QString::fromStdString(r.MailAddress));
    txtMailSub_->setText(QString::fromStdString(r.MailSub));
    txtFromMailAddress_->setText(QString::fromStdString(r.FromMailAddress));
    txtMailServer_->setText(QString::fromStdString(r.MailServer));
    SelectOption(options_.at("optMailTls"), MailTlsMode(r));
    SelectOption(options_.at("optAddDate"), r.AddDate);
    txtFixFname_->setText(QString::fromStdString(r.FixFname));
    chkTimeAdjust_->setChecked(RoundedNumber(r.TimeAdjust) == 1);
    for (int i = 0; i < 20; ++i) {
        chkXlsField_[i]->setChecked(r.SelectedFields[i] == 1);
    }
    SelectOption(options_.at("optSaveFormat"), r.SaveFormat);
    SelectOption(options_.at("optXlsType"), r.XlsType);
    txtXlsTemp_->setText(QString::fromStdString(r.XlsTemp));
    SelectOption(options_.at("optXlsF1"), r.XlsF1);
    hsXlsStartLine_->setValue(std::clamp<int32_t>(r.XlsStartLine, 0, 65535) - kStartLineOffset);
    txtXlsStartLine_->setText(QString::number(r.XlsStartLine));
    SelectOption(options_.at("optMdbType"), r.MdbType);
    txtMdbName_->setText(QString::fromStdString(r.DatabaseName));
    txtMdbTblName_->setText(QString::fromStdString(r.MdbTblName));
    txtAfterUpload_->setText(QString::fromStdString(r.AfterUpload));
    UpdateControlStates(r.SaveFormat);
    SetOptionTabStops(options_);
    // Filling the controls wrote parts of the copy; it starts equal to the record in every field.
    working_ = record_;
}

void SettingsDialog::UpdateControlStates(int16_t format) {
    // The groups the chosen store reads are enabled; any other format value changes nothing.
    SettingsRecord chosen = working_;
    chosen.SaveFormat = format;
    const std::unique_ptr<OutputStore> store = StoreFor(chosen);
    if (store == nullptr) {
        return;
    }
    const StoreOptions uses = store->Options();
    auto setFrame = [this](const char* name, bool on) { frames_.at(name)->setEnabled(on); };
    auto setOptions = [this](const char* name, bool on) {
        for (QAbstractButton* button : options_.at(name)->buttons()) {
            button->setEnabled(on);
        }
    };
    setFrame("frmFixFname", uses.FileName);
    txtFixFname_->setEnabled(uses.FileName);
    setFrame("frmAddDate", uses.FileName);
    setOptions("optAddDate", uses.FileName);
    setOptions("optOverWrite", uses.OverWrite);  // the frame frmOverWrite stays enabled
    setFrame("frmXlsTemp", uses.Workbook);
    txtXlsTemp_->setEnabled(uses.Workbook);
    setFrame("frmXlsType", uses.Workbook);
    setOptions("optXlsType", uses.Workbook);
    setFrame("frmXlsF1", uses.Workbook);
    setOptions("optXlsF1", uses.Workbook);
    setFrame("frmXlsStartLine", uses.Workbook);
    hsXlsStartLine_->setEnabled(uses.Workbook);
    setFrame("frmMdbType", uses.Database);
    options_.at("optMdbType")->button(0)->setEnabled(uses.Database);
    // "ACCESS 97" can be shown as selected but never chosen.
    options_.at("optMdbType")->button(1)->setEnabled(false);
    setFrame("frmMdbName", uses.Database);
    txtMdbName_->setEnabled(uses.Database);
    setFrame("frmMdbTblName", uses.Database);
    txtMdbTblName_->setEnabled(uses.Database);
    SetOptionTabStops(options_);
}

void SettingsDialog::SetFolderLabel(const QString& folder) {
    lblFolder_->setText(folder);
    working_.SaveFolder = folder.toStdString();
}

void SettingsDialog::BrowseFolderClicked() {
    if (!folderDialog_) {
        folderDialog_ = new FolderDialog(mainWindow_, this, view_, lblFolder_->text(),
                                         [this](const QString& folder) { SetFolderLabel(folder); });
    }
    folderDialog_->Open();
}

void SettingsDialog::CancelClicked() {
    reject();
}

void SettingsDialog::OkClicked() {
    if (RefusedOk()) {
        return;
    }
    SaveSettings();
    accept();
}

bool SettingsDialog::RefusedOk() {
    if (chkSendMail_->checkState() == Qt::Checked) {
        // The message names the three fields; the line after it, with the labels, the ones left empty.
        std::string missing;
        QLineEdit* first = nullptr;
        for (QLineEdit* box : {txtMailAddress_, txtFromMailAddress_, txtMailServer_}) {
            if (box->text().isEmpty()) {
                const QString name = box->objectName().replace(QStringLiteral("txt"), QStringLiteral("lbl"));
                missing += (missing.empty() ? "" : "、") + findChild<QLabel*>(name)->text().toStdString();
                first = first != nullptr ? first : box;
            }
        }
        if (first != nullptr) {
            view_.ShowMessage(
                kAppTitle,
                "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)\r\n差出人ﾒｰﾙｱﾄﾞﾚｽ(From)\r\nﾒｰﾙｻｰﾊﾞｰ\r\nのいずれかが入力されていません！！"
                "\r\n未入力: " +
                    missing,
                MessageIcon::None);
            first->setFocus();
            return true;
        }
    }
    // The database store opens <save folder>/<name>.mdb: without a name there is no file to open. A server
    // database (DbConnect) does not use the name.
    StoreKind kind{};
    if (StoreKindOf(working_, kind) && kind == StoreKind::SqliteFile && txtMdbName_->text().isEmpty()) {
        view_.ShowMessage(kAppTitle, "ﾃﾞｰﾀﾍﾞｰｽ名(MDB)を入力してください", MessageIcon::None);
        txtMdbName_->setFocus();
        return true;
    }
    return false;
}

void SettingsDialog::SaveSettings() {
    record_.SaveFolder = working_.SaveFolder;
    if (showSaveFolder_) {
        showSaveFolder_(record_.SaveFolder);
    }
    // Every other key; the two paths are the program's, not the dialog's.
    const std::string settingsFilePath = record_.SettingsFilePath;
    const std::string backFilePath = record_.BackFilePath;
    const int programFolderFd = record_.ProgramFolderFd;
    record_ = working_;
    record_.SettingsFilePath = settingsFilePath;
    record_.BackFilePath = backFilePath;
    record_.ProgramFolderFd = programFolderFd;
    // The dialog writes MailTls as chosen (a value it could not show, as the 1 it counts as).
    record_.MailTls = std::to_string(options_.at("optMailTls")->checkedId());
    WriteSettingsFile(record_, view_, true);
}

void SettingsDialog::keyPressEvent(QKeyEvent* event) {
    // Esc cancels, like the cancel button; Enter presses no button.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        CancelClicked();
        return;
    }
    if (!SwallowEnterAndEscape(event)) {
        QDialog::keyPressEvent(event);
    }
}

void SettingsDialog::closeEvent(QCloseEvent* event) {
    // While the folder chooser is open this dialog takes no input, its close box included.
    if (event->spontaneous() && !isEnabled()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void SettingsDialog::ReturnToOwner() {
    if (folderDialog_) {
        folderDialog_->hide();
    }
    if (mainWindow_ != nullptr) {
        mainWindow_->setEnabled(true);
        mainWindow_->raise();
        mainWindow_->activateWindow();
    }
    deleteLater();
}
