#pragma once

#include <QMessageBox>
#include <memory>
#include <string>

#include "run/operator_view.h"

// The program's message box: `text` (CR LF line breaks, outside text made visible) shown as plain text, so
// that markup in a value is shown as typed, in the windows' font, modal for the application, with an OK
// button only. Without a parent: a disabled owner (a dialog is open) would disable the box too.
std::unique_ptr<QMessageBox> NewMessageBox(const std::string& title, const std::string& text,
                                           MessageIcon icon);
