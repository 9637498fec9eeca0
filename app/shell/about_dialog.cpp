#include "shell/about_dialog.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include "shell/dialog_support.h"
#include "shell/window_metrics.h"

namespace {

// The version box's labels show plain text from their top left corner.
QLabel* PlainLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    QLabel* label = MakeLabel(parent, name, text, geometry);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

}  // namespace

AboutDialog::AboutDialog(QWidget* mainWindow, AppInfo info)
    : QDialog(nullptr,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      mainWindow_(mainWindow),
      info_(std::move(info)) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
    setWindowIcon(ProgramIcon());
    setFont(JapaneseFont());
    setFixedSize(TwipsToPixels(4485), TwipsToPixels(2175));
    AttachToOwner(this, mainWindow_);

    auto* picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    picIcon->setGeometry(TwipsRect(240, 240, 540, 540));
    picIcon->setPixmap(ProgramIcon().pixmap(32, 32));
    picIcon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    lblTitle_ =
        PlainLabel(this, "lblTitle", QStringLiteral("ｱﾌﾟﾘｹｰｼｮﾝ ﾀｲﾄﾙ"), TwipsRect(840, 240, 3276, 240));
    QPalette black = lblTitle_->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    lblTitle_->setPalette(black);
    lblVersion_ = PlainLabel(this, "lblVersion", QStringLiteral("ﾊﾞｰｼﾞｮﾝ"), TwipsRect(840, 480, 3276, 228));
    lblCompany_ = PlainLabel(this, "lblCompany", QStringLiteral("会社名"), TwipsRect(840, 840, 1812, 228));

    cmdOK_ = new QPushButton(QStringLiteral("OK"), this);
    cmdOK_->setObjectName(QStringLiteral("cmdOK"));
    cmdOK_->setGeometry(TwipsRect(2976, 828, 1380, 345));
    // Enter presses the default button; Esc rejects the dialog: both close the box.
    cmdOK_->setDefault(true);
    cmdOK_->setAutoDefault(true);
    connect(cmdOK_, &QPushButton::clicked, this, &QDialog::accept);

    auto* image1 = new QLabel(this);
    image1->setObjectName(QStringLiteral("Image1"));
    image1->setGeometry(TwipsRect(120, 1320, 4215, 780));
    image1->setPixmap(QPixmap(QStringLiteral(":/gathra/about_picture.jpg")));
    image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    connect(this, &QDialog::finished, this, &AboutDialog::ReturnToOwner);
}

void AboutDialog::Open() {
    // Each step on its own: a failing one leaves the others to run.
    CentreOver(this, mainWindow_);
    if (mainWindow_ != nullptr) {
        mainWindow_->setEnabled(false);
    }
    setWindowTitle(QString::fromStdString(info_.Title) + QStringLiteral("のﾊﾞｰｼﾞｮﾝ情報"));
    lblVersion_->setText(QString::fromStdString(VersionText(info_)));
    lblTitle_->setText(QString::fromStdString(info_.Title));
    lblCompany_->setText(QString::fromStdString(info_.CompanyName));
    show();
    raise();
    activateWindow();
    cmdOK_->setFocus();
}

void AboutDialog::ReturnToOwner() {
    if (mainWindow_ != nullptr) {
        mainWindow_->setEnabled(true);
        mainWindow_->raise();
        mainWindow_->activateWindow();
    }
    deleteLater();
}

void AboutDialog::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    // Two lines on top of each other: white (2 pixels) under grey make one engraved separator.
    QPainter painter(this);
    const int y = TwipsToPixels(716);
    painter.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::FlatCap));
    painter.drawLine(TwipsToPixels(108), y + 1, TwipsToPixels(4320), y + 1);
    painter.setPen(QPen(QColor(128, 128, 128), 1));
    painter.drawLine(TwipsToPixels(120), y, TwipsToPixels(4320), y);
}
