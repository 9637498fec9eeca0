#include "shell_test_support.h"

#include <QFile>

#include "settings/settings_store.h"
#include "support/recording_operator_view.h"

SettingsRecord DefaultSettings(const std::string& saveFolder) {
    SettingsRecord r;
    r.SaveFolder = saveFolder;
    r.Baud = 115200;
    r.Port = 1;
    r.Mode = LinkMode::Adapter;
    r.TimeAdjust = "1";
    r.XlsType = 1;
    r.XlsF1 = 1;
    r.XlsStartLine = 1;
    r.SelectedFields.fill(1);
    return r;
}

SettingsRecord WriteSettings(const QString& programFolder, const QString& saveFolder,
                             const std::function<void(SettingsRecord&)>& tweak) {
    SettingsRecord record = DefaultSettings(saveFolder.toStdString());
    record.SettingsFilePath = (programFolder + QStringLiteral("/Gathra.ini")).toStdString();
    record.BackFilePath = (programFolder + QStringLiteral("/Back.txt")).toStdString();
    if (tweak) {
        tweak(record);
    }
    RecordingOperatorView view;
    WriteSettingsFile(record, view);
    return record;
}

PlatformFacts FactsFor(const QString& programFolder) {
    PlatformFacts facts;
    facts.ProgramFolder = programFolder.toStdString();
    facts.ExecutableName = "Gathra";
    facts.DocumentsFolder = programFolder.toStdString();
    return facts;
}

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

std::string IniValue(const QString& path, const std::string& key) {
    return ReadIniString(key, kAppTitle, "<missing>", path.toStdString());
}
