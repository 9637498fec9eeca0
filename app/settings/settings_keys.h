#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "settings/settings_record.h"

// The keys of Gathra.ini in one typed table: name, kind, default and the range tested at load. The
// table's order is the order in which the file is written; load, re-initialisation and writing all
// walk it, so the key order lives here only.

enum class SettingKind {
    Text,    // stored as read
    Int16,   // leading number, rounded, 16-bit signed
    Int32,   // leading number, rounded, 32-bit signed
    Number,  // leading number kept as its shortest decimal text (TimeAdjust)
};

enum class RangeTest {
    None,   // any value is accepted
    Range,  // tested with every other key at once; a failure re-initialises with the plain reason
    Field,  // an XlsField flag, tested after the ranges; a failure gives the field reason
};

struct SettingKey {
    std::string Name;
    SettingKind Kind = SettingKind::Text;
    // Where the value lives: a text member (Text, Number), or for a number key (Int16, Int32) the
    // reader and writer of its member, which convert an enumerated member to and from its number.
    std::string SettingsRecord::*TextMember = nullptr;
    std::function<int64_t(const SettingsRecord&)> GetNumber;
    std::function<void(SettingsRecord&, int64_t)> SetNumber;
    // The default as it is written to the file. SaveFolder's default depends on the platform and is
    // worked out by the store.
    std::string Default;
    RangeTest Test = RangeTest::None;
    double Min = 0;
    double Max = 0;
};

// All 45 keys in write order.
const std::vector<SettingKey>& SettingsKeyOrder();

// The same keys in load order: as the write order, except that Port is read before Baud.
std::vector<const SettingKey*> SettingsLoadOrder();

// The record's value of `key` as text for the file (numbers in decimal).
std::string SettingValueText(const SettingsRecord& record, const SettingKey& key);

// Stores a number into an Int16 or Int32 key; the caller has checked that it fits.
void SetSettingNumber(SettingsRecord& record, const SettingKey& key, int64_t value);

// The numeric value of `key` used by the range test (TimeAdjust: the number its text holds; *valid is
// set false when that text holds none).
double SettingNumericValue(const SettingsRecord& record, const SettingKey& key, bool* valid);

// The text member of a Text or Number key.
std::string& SettingText(SettingsRecord& record, const SettingKey& key);

// Sets every key of the table to its default; the members that are not (the optional keys, the paths)
// stay. SaveFolder is set empty: its default is the platform's documents folder, which the caller knows.
void SetDefaultSettings(SettingsRecord& record);
// A record with every key at its default.
SettingsRecord DefaultSettings();
