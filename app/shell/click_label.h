#pragma once

#include <QLabel>

// A plain-text label that keeps its double-clicks to itself: a double-click on a label is not a
// double-click on the window background (which minimises the main window). The label that opens the
// stored file listens to doubleClicked.
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    explicit ClickLabel(QWidget* parent = nullptr);

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
