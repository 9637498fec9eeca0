#include "shell/message_box.h"

#include "common/visible_text.h"
#include "shell/window_metrics.h"

namespace {

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Critical:
            return QMessageBox::Critical;
        case MessageIcon::Exclamation:
            return QMessageBox::Warning;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

std::unique_ptr<QMessageBox> NewMessageBox(const std::string& title, const std::string& text,
                                           MessageIcon icon) {
    auto box = std::make_unique<QMessageBox>(ToQtIcon(icon), QString::fromStdString(title),
                                             ToDisplayText(VisibleLines(text)), QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    box->setObjectName(QStringLiteral("MessageBox"));
    box->setFont(JapaneseFont());
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}
