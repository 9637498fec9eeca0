#pragma once

#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <string>

#include "settings/settings_record.h"

// A settings record with the settings store's defaults and the given save folder.
SettingsRecord DefaultSettings(const std::string& saveFolder);

// Writes `record` (after `tweak`) as Gathra.ini into `programFolder` through the real settings store and
// returns the record as written (SettingsFilePath set).
SettingsRecord WriteSettings(const QString& programFolder, const QString& saveFolder,
                             const std::function<void(SettingsRecord&)>& tweak = {});

// Platform facts for a program folder holding "Gathra".
PlatformFacts FactsFor(const QString& programFolder);

// The bytes of a file ("" when it cannot be read).
QByteArray FileBytes(const QString& path);

// The value of `key` in the settings file at `path`.
std::string IniValue(const QString& path, const std::string& key);
