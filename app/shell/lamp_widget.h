#pragma once

#include <QColor>
#include <QWidget>

// A filled rectangle with a thin black outline: the idle and running lamps of the main window. It takes
// no mouse input, so a double-click on it reaches the window background.
class LampWidget : public QWidget {
    Q_OBJECT
public:
    LampWidget(const QColor& color, QWidget* parent = nullptr);
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};
