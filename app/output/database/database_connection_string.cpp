#include "output/database/database_connection_string.h"

namespace {

constexpr std::string_view kProviderKey = "Provider=";
constexpr std::string_view kDataSourceKey = "Data Source=";

std::optional<ConnectionTarget> Fail(std::string* why, std::string reason) {
    if (why != nullptr) {
        *why = std::move(reason);
    }
    return std::nullopt;
}

}  // namespace

std::string BuildConnectionString(int16_t mdbType, std::string_view databasePath) {
    std::string text(kProviderKey);
    text += mdbType == 0 ? kProviderCurrent : kProviderLegacy;
    text += ';';
    text += kDataSourceKey;
    text += databasePath;
    return text;
}

std::optional<ConnectionTarget> ParseConnectionString(std::string_view text, std::string* why) {
    if (!text.starts_with(kProviderKey)) {
        return Fail(why, "connection string does not start with Provider=");
    }
    text.remove_prefix(kProviderKey.size());
    const auto semicolon = text.find(';');
    if (semicolon == std::string_view::npos) {
        return Fail(why, "connection string has no ; after the provider");
    }
    const std::string_view provider = text.substr(0, semicolon);
    ConnectionTarget target;
    if (provider == kProviderCurrent) {
        target.Provider = DatabaseProvider::Current;
    } else if (provider == kProviderLegacy) {
        target.Provider = DatabaseProvider::Legacy;
    } else {
        return Fail(why, "unknown provider: " + std::string(provider));
    }
    text.remove_prefix(semicolon + 1);
    if (!text.starts_with(kDataSourceKey)) {
        return Fail(why, "connection string has no Data Source= after the provider");
    }
    text.remove_prefix(kDataSourceKey.size());
    if (text.empty()) {
        return Fail(why, "connection string names no database file");
    }
    target.DataSource = std::string(text);
    return target;
}
