#pragma once

#include <QFont>
#include <QIcon>
#include <QRect>
#include <QString>
#include <string>

// Layout and look shared by Gathra's windows.
//
// Positions and sizes of the windows are designed in twips; at 96 dpi fifteen twips are one pixel.
// Controls are placed absolutely, as designed, because the operators know the windows by their layout.

constexpr int TwipsToPixels(int twips) {
    return (twips + 7) / 15;
}

inline QRect TwipsRect(int left, int top, int width, int height) {
    return QRect(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height));
}

// A font that shows every Japanese text of the windows, half-width katakana included.
QFont JapaneseFont();

// Qt's own texts (standard buttons, file dialogs) in Japanese like the windows, whatever the locale: installs
// Qt's translation qtbase_ja (Debian's qt6-translations-l10n) in the application, once. False when it is
// not installed; Qt's texts then stay English.
bool InstallQtJapanese();

// Registers the pictures of the windows (":/gathra/..."); every window calls it before using one.
void EnsureResources();

// The program icon (the main window and the version box).
QIcon ProgramIcon();

// UTF-8 text with CR LF line breaks (the form the core uses) to a Qt text with "\n" breaks, and back.
QString ToDisplayText(const std::string& text);
std::string FromDisplayText(const QString& text);

// Names of the controls that form an array: the array's name followed by the index ("cmdComm0",
// "cmdComm1", "chkXlsField19"), so tests and tools find each element by objectName.
inline QString ArrayElementName(const char* arrayName, int index) {
    return QString::fromLatin1(arrayName) + QString::number(index);
}
