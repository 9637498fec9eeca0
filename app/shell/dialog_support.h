#pragma once

#include <QKeyEvent>
#include <QLabel>
#include <QRect>
#include <QWidget>

// Helpers for Gathra's dialogs. The dialogs are separate top-level windows (not children of their owner,
// so that disabling the owner leaves them usable), placed over the owner and kept above it.

// Makes `dialog` a transient window of `owner`: stays above it, no task-bar entry.
void AttachToOwner(QWidget* dialog, QWidget* owner);

// Moves `dialog` so that it is centred over `over` (frame geometry, as the operator sees the windows).
void CentreOver(QWidget* dialog, const QWidget* over);

// Accepts Enter, keypad Enter and Esc, so that they reach no button and do not close the dialog; true when
// the key was one of them. Dialogs whose buttons must ignore both keys call this from keyPressEvent.
bool SwallowEnterAndEscape(QKeyEvent* event);

// A label of type `Label` (QLabel or a class derived from it) named `name`, placed at `geometry`.
template <typename Label = QLabel>
Label* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* label = new Label(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setText(text);
    label->setGeometry(geometry);
    return label;
}
