#include "shell/dialog_support.h"

#include <QWindow>

void AttachToOwner(QWidget* dialog, QWidget* owner) {
    if (owner == nullptr) {
        return;
    }
    dialog->winId();  // creates the native window so that it can name its owner
    owner->winId();
    if (dialog->windowHandle() != nullptr && owner->windowHandle() != nullptr) {
        dialog->windowHandle()->setTransientParent(owner->windowHandle());
    }
}

void CentreOver(QWidget* dialog, const QWidget* over) {
    if (over == nullptr) {
        return;
    }
    const QRect outer = over->frameGeometry();
    const QSize size = dialog->frameGeometry().size();
    dialog->move(outer.left() + (outer.width() - size.width()) / 2,
                 outer.top() + (outer.height() - size.height()) / 2);
}

bool SwallowEnterAndEscape(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return true;
        default:
            return false;
    }
}
