#include "output/database/odbc_connection_text.h"

#include <algorithm>
#include <cctype>

#include "common/blanks.h"

namespace {

bool SameKey(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Find(const std::vector<ConnectionAttribute>& attributes,
                 std::initializer_list<std::string_view> keys) {
    for (const ConnectionAttribute& attribute : attributes) {
        for (const std::string_view key : keys) {
            if (SameKey(attribute.Key, key) && !attribute.Value.empty()) {
                return attribute.Value;
            }
        }
    }
    return {};
}

}  // namespace

std::vector<ConnectionAttribute> ParseOdbcConnectionString(std::string_view text) {
    std::vector<ConnectionAttribute> attributes;
    size_t i = 0;
    while (i < text.size()) {
        const size_t equals = text.find('=', i);
        const size_t semicolon = text.find(';', i);
        if (equals == std::string_view::npos || (semicolon != std::string_view::npos && semicolon < equals)) {
            const size_t end = semicolon == std::string_view::npos ? text.size() : semicolon;
            const std::string_view key = TrimBlanks(text.substr(i, end - i));
            if (!key.empty()) {
                attributes.push_back({std::string(key), {}});
            }
            i = end + 1;
            continue;
        }
        ConnectionAttribute attribute{std::string(TrimBlanks(text.substr(i, equals - i))), {}};
        size_t j = equals + 1;
        while (j < text.size() && text[j] == ' ') {
            ++j;
        }
        if (j < text.size() && text[j] == '{') {
            // "}}" inside braces is one "}"; the value ends at a single "}".
            for (++j; j < text.size(); ++j) {
                if (text[j] == '}') {
                    if (j + 1 < text.size() && text[j + 1] == '}') {
                        attribute.Value += '}';
                        ++j;
                        continue;
                    }
                    ++j;
                    break;
                }
                attribute.Value += text[j];
            }
            const size_t end = text.find(';', j);
            i = end == std::string_view::npos ? text.size() : end + 1;
        } else {
            const size_t end = text.find(';', j);
            const size_t stop = end == std::string_view::npos ? text.size() : end;
            attribute.Value = std::string(TrimBlanks(text.substr(j, stop - j)));
            i = stop + 1;
        }
        attributes.push_back(std::move(attribute));
    }
    return attributes;
}

bool IsPasswordKey(std::string_view key) {
    return SameKey(key, "PWD") || SameKey(key, "Password");
}

std::string DataSourceLabel(std::string_view connectionString) {
    const auto attributes = ParseOdbcConnectionString(connectionString);
    if (std::string dsn = Find(attributes, {"DSN", "FILEDSN"}); !dsn.empty()) {
        return dsn;
    }
    const std::string database = Find(attributes, {"Database", "DB", "DBName", "Initial Catalog"});
    std::string server = Find(attributes, {"Server", "Servername", "Host", "Address"});
    if (!server.empty()) {
        if (const std::string port = Find(attributes, {"Port"}); !port.empty()) {
            server += ":" + port;
        }
        return database.empty() ? server : server + "/" + database;
    }
    if (!database.empty()) {
        return database;
    }
    return Find(attributes, {"Driver"});
}

std::string HidePasswords(std::string text, std::string_view connectionString) {
    for (const ConnectionAttribute& attribute : ParseOdbcConnectionString(connectionString)) {
        if (!IsPasswordKey(attribute.Key) || attribute.Value.empty()) {
            continue;
        }
        for (size_t at = text.find(attribute.Value); at != std::string::npos;
             at = text.find(attribute.Value, at + 4)) {
            text.replace(at, attribute.Value.size(), "****");
        }
    }
    return text;
}
