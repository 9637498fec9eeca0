#include "shell/window_metrics.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

// The pictures live in gathra_gui, a static library: its resources must be registered by hand.
void EnsureResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(gathra);
        return true;
    }();
    (void)registered;
}

bool InstallQtJapanese() {
    // Owned by the application, which outlives every window.
    static QTranslator* translator = nullptr;
    if (translator != nullptr) {
        return true;
    }
    auto* loaded = new QTranslator(QCoreApplication::instance());
    if (!loaded->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(loaded)) {
        delete loaded;
        return false;
    }
    translator = loaded;
    return true;
}

QFont JapaneseFont() {
    QFont font;
    // IPA Gothic has the half-width katakana the texts use; the others are fall-backs.
    font.setFamilies({QStringLiteral("IPAGothic"), QStringLiteral("IPAPGothic"),
                      QStringLiteral("Noto Sans CJK JP"), QStringLiteral("VL Gothic")});
    // Pixel size, not point size: the layout is in pixels and must not grow with the screen's dpi.
    font.setPixelSize(12);
    return font;
}

QIcon ProgramIcon() {
    EnsureResources();
    return QIcon(QStringLiteral(":/gathra/gathra.png"));
}

QString ToDisplayText(const std::string& text) {
    QString display = QString::fromStdString(text);
    display.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return display;
}

std::string FromDisplayText(const QString& text) {
    QString core = text;
    core.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return core.toStdString();
}
