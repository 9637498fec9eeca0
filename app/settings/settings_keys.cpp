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

SettingKey Int16(std::string name, int16_t SettingsRecord::*member, int16_t fallback,
                 RangeTest test = RangeTest::None, int min = 0, int max = 0) {
    SettingKey key = Number(std::move(name), SettingKind::Int16, fallback, test, min, max);
    key.Int16Member = member;
    return key;
}

SettingKey Int32(std::string name, int32_t SettingsRecord::*member, int32_t fallback,
                 RangeTest test = RangeTest::None, int64_t min = 0, int64_t max = 0) {
    SettingKey key = Number(std::move(name), SettingKind::Int32, fallback, test, min, max);
    key.Int32Member = member;
    return key;
}

std::vector<SettingKey> BuildTable() {
    using R = SettingsRecord;
    std::vector<SettingKey> keys;
    keys.push_back(Text("SaveFolder", &R::SaveFolder));
    keys.push_back(Int32("Baud", &R::Baud, 115200));
    keys.push_back(Int16("Port", &R::Port, 1, RangeTest::Range, 1, 255));
    keys.push_back(Int16("Mode", &R::Mode, 1, RangeTest::Range, 0, 1));
    keys.push_back(Int16("CrcType", &R::CrcType, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("OverWrite", &R::OverWrite, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("StartUpSize", &R::StartUpSize, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("AutoStart", &R::AutoStart, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("Protocol", &R::Protocol, 0, RangeTest::Range, 0, 1));
    keys.push_back(Int16("SendMail", &R::SendMail, 0));
    keys.push_back(Text("MailAddress", &R::MailAddress));
    keys.push_back(Text("MailSub", &R::MailSub));
    keys.push_back(Text("FromMailAddress", &R::FromMailAddress));
    keys.push_back(Text("MailServer", &R::MailServer));
    for (int n = 1; n <= 20; ++n) {
        SettingKey field = Int16("XlsField" + std::to_string(n), nullptr, 1, RangeTest::Field, 0, 1);
        field.FieldNumber = n;
        keys.push_back(std::move(field));
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
    keys.push_back(Int16("SaveFormat", &R::SaveFormat, 0, RangeTest::Range, 0, 2));
    keys.push_back(Int16("XlsType", &R::XlsType, 1, RangeTest::Range, 0, 3));
    keys.push_back(Text("XlsTemp", &R::XlsTemp));
    keys.push_back(Int16("XlsF1", &R::XlsF1, 1, RangeTest::Range, 0, 1));
    keys.push_back(Int32("XlsStartLine", &R::XlsStartLine, 1, RangeTest::Range, 0, 65535));
    keys.push_back(Int16("MdbType", &R::MdbType, 0, RangeTest::Range, 0, 1));
    keys.push_back(Text("MdbName", &R::MdbName));
    keys.push_back(Text("MdbTblName", &R::MdbTblName));
    return keys;
}

int64_t NumberOf(const SettingsRecord& record, const SettingKey& key) {
    if (key.FieldNumber != 0) {
        return record.XlsField[static_cast<size_t>(key.FieldNumber)];
    }
    return key.Kind == SettingKind::Int32 ? record.*key.Int32Member : record.*key.Int16Member;
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
    return std::to_string(NumberOf(record, key));
}

void SetSettingNumber(SettingsRecord& record, const SettingKey& key, int64_t value) {
    if (key.FieldNumber != 0) {
        record.XlsField[static_cast<size_t>(key.FieldNumber)] = static_cast<int16_t>(value);
    } else if (key.Kind == SettingKind::Int32) {
        record.*key.Int32Member = static_cast<int32_t>(value);
    } else {
        record.*key.Int16Member = static_cast<int16_t>(value);
    }
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
    return static_cast<double>(NumberOf(record, key));
}

std::string& SettingText(SettingsRecord& record, const SettingKey& key) {
    return record.*key.TextMember;
}
