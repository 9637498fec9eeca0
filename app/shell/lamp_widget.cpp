#include "shell/lamp_widget.h"

#include <QPainter>

LampWidget::LampWidget(const QColor& color, QWidget* parent) : QWidget(parent), color_(color) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void LampWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(color_);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
