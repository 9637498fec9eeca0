#include "settings/settings_keys.h"

#include "settings/number_text.h"

namespace {

SettingKey Text(std::string name, std::string SettingsRecord::*member) {
    SettingKey key;
    key.Name = std::move(name);
    key.Kind = SettingKind::Text;
    key.TextMember = member;
    return key;
}

SettingKey Number(std::string name, SettingKind kind, int64_t fallback, RangeTest test, int64_t min,
                  int64_t max) {
    SettingKey key;
    key.Name = std::move(name);
    key.Kind = kind;
    key.Default = std::to_string(fallback);
    key.Test = test;
    key.Min = static_cast<double>(min);
    key.Max = static_cast<double>(max);
    return key;
}

// A number key of member type T: an integer or an enumeration over one.
template <typename T>
SettingKey NumberKey(std::string name, SettingKind kind, T SettingsRecord::*member, int64_t fallback,
                     RangeTest test, int64_t min, int64_t max) {
    SettingKey key = Number(std::move(name), kind, fallback, test, min, max);
    key.GetNumber = [member](const SettingsRecord& record) { return static_cast<int64_t>(record.*member); };
    key.SetNumber = [member](SettingsRecord& record, int64_t value) {
        record.*member = static_cast<T>(value);
    };
    return key;
}

template <typename T>
SettingKey Int16(std::string name, T SettingsRecord::*member, int16_t fallback,
                 RangeTest test = RangeTest::None, int min = 0, int max = 0) {
    static_assert(sizeof(T) == sizeof(int16_t));
    return NumberKey(std::move(name), SettingKind::Int16, member, fallback, test, min, max);
}

SettingKey Int32(std::string name, int32_t SettingsRecord::*member, int32_t fallback,
                 RangeTest test = RangeTest::None, int64_t min = 0, int64_t max = 0) {
    return NumberKey(std::move(name), SettingKind::Int32, member, fallback, test, min, max);
}

// Key XlsField<index + 1>: element `index` of SelectedFields.
SettingKey FieldFlag(size_t index) {
    SettingKey key =
        Number("XlsField" + std::to_string(index + 1), SettingKind::Int16, 1, RangeTest::Field, 0, 1);
    key.GetNumber = [index](const SettingsRecord& record) { return record.SelectedFields[index]; };
    key.SetNumber = [index](SettingsRecord& record, int64_t value) {
        record.SelectedFields[index] = static_cast<int16_t>(value);
    };
    return key;
}

std::vector<SettingKey> BuildTable() {
    using R = SettingsRecord;
    std::vector<SettingKey> keys;
    keys.push_back(Text("SaveFolder", &R::SaveFolder));
    keys.push_back(Int32("Baud", &R::Baud, 115200));
    keys.push_back(Int16("Port", &R::Port, 1, RangeTest::Range, 1, 255));
    keys.push_back(Int16("Mode", &R::Mode, 1, RangeTest::Range, 0, 1));
    keys.push_back(Int16("CrcType", &R::ChecksumCoverage, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("OverWrite", &R::OverWrite, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("StartUpSize", &R::StartUpSize, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("AutoStart", &R::AutoStart, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("Protocol", &R::Protocol, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("SendMail", &R::SendMail, 0));
    keys.push_back(Text("MailAddress", &R::MailAddress));
    keys.push_back(Text("MailSub", &R::MailSub));
    keys.push_back(Text("FromMailAddress", &R::FromMailAddress));
    keys.push_back(Text("MailServer", &R::MailServer));
    for (size_t index = 0; index < std::tuple_size_v<FieldSelection>; ++index) {
        keys.push_back(FieldFlag(index));
    }
    keys.push_back(Int16("AddDate", &R::AddDate, 0, RangeTest::Range, 0, 4));
    keys.push_back(Text("FixFname", &R::FixFname));
    SettingKey timeAdjust = Text("TimeAdjust", &R::TimeAdjust);
    timeAdjust.Kind = SettingKind::Number;
    timeAdjust.Default = "1";
    timeAdjust.Test = RangeTest::Range;
    timeAdjust.Min = 0;
    timeAdjust.Max = 1;
    keys.push_back(std::move(timeAdjust));
    keys.push_back(Int16("SaveFormat", &R::SaveFormat, 0, RangeTest::Range, 0, 3));
    keys.push_back(Int16("XlsType", &R::XlsType, 1, RangeTest::Range, 0, 4));
    keys.push_back(Text("XlsTemp", &R::XlsTemp));
    keys.push_back(Int16("XlsF1", &R::XlsF1, 1, RangeTest::Range, 0, 1));
    keys.push_back(Int32("XlsStartLine", &R::XlsStartLine, 1, RangeTest::Range, 0, 65535));
    keys.push_back(Int16("MdbType", &R::MdbType, 0, RangeTest::Range, 0, 1));
    keys.push_back(Text("MdbName", &R::DatabaseName));
    keys.push_back(Text("MdbTblName", &R::MdbTblName));
    return keys;
}

}  // namespace

const std::vector<SettingKey>& SettingsKeyOrder() {
    static const std::vector<SettingKey> keys = BuildTable();
    return keys;
}

std::vector<const SettingKey*> SettingsLoadOrder() {
    std::vector<const SettingKey*> order;
    for (const SettingKey& key : SettingsKeyOrder()) {
        order.push_back(&key);
    }
    // The one difference between the two orders: SaveFolder, Port, Baud, Mode.
    std::swap(order[1], order[2]);
    return order;
}

std::string SettingValueText(const SettingsRecord& record, const SettingKey& key) {
    if (key.Kind == SettingKind::Text || key.Kind == SettingKind::Number) {
        return record.*key.TextMember;
    }
    return std::to_string(key.GetNumber(record));
}

void SetSettingNumber(SettingsRecord& record, const SettingKey& key, int64_t value) {
    key.SetNumber(record, value);
}

double SettingNumericValue(const SettingsRecord& record, const SettingKey& key, bool* valid) {
    *valid = true;
    if (key.Kind == SettingKind::Number) {
        const auto value = NumberTextValue(record.*key.TextMember);
        *valid = value.has_value();
        return value.value_or(0.0);
    }
    if (key.Kind == SettingKind::Text) {
        *valid = false;
        return 0.0;
    }
    return static_cast<double>(key.GetNumber(record));
}

std::string& SettingText(SettingsRecord& record, const SettingKey& key) {
    return record.*key.TextMember;
}

void SetDefaultSettings(SettingsRecord& record) {
    for (const SettingKey& key : SettingsKeyOrder()) {
        if (key.Kind == SettingKind::Text || key.Kind == SettingKind::Number) {
            SettingText(record, key) = key.Default;
        } else {
            SetSettingNumber(record, key, std::stoll(key.Default));
        }
    }
}

SettingsRecord DefaultSettings() {
    SettingsRecord record;
    SetDefaultSettings(record);
    return record;
}
