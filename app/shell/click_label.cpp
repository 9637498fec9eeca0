#include "shell/click_label.h"

#include <QMouseEvent>

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);  // texts come from terminals and settings: never interpret markup
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setWordWrap(true);
}

void ClickLabel::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    emit doubleClicked();
}
