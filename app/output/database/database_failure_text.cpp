#include "output/database/database_failure_text.h"

namespace {

// The first name the text puts in quotes ('x', "x" or `x`), without them; empty when there is none.
std::string FirstQuoted(std::string_view text) {
    const size_t open = text.find_first_of("'\"`");
    if (open == std::string_view::npos) {
        return {};
    }
    const size_t close = text.find(text[open], open + 1);
    return close == std::string_view::npos ? std::string()
                                           : std::string(text.substr(open + 1, close - open - 1));
}

std::string NoTable(std::string_view table) {
    return "ﾃｰﾌﾞﾙ " + std::string(table) + " がありません";
}

std::string NoColumn(std::string_view table, std::string_view column) {
    return "ﾃｰﾌﾞﾙ " + std::string(table) + " に列 " + std::string(column) + " がありません";
}

constexpr const char* kLocked = "ﾃﾞｰﾀﾍﾞｰｽが他のﾌﾟﾛｸﾞﾗﾑにﾛｯｸされています";
constexpr const char* kNotADatabase = "ﾃﾞｰﾀﾍﾞｰｽのﾌｧｲﾙではありません";

}  // namespace

std::string DescribeDatabaseFailure(std::string_view driverText, std::string_view sqlState,
                                    std::string_view table) {
    // The ODBC state says what happened; the driver's text names the column in quotes.
    if (sqlState == "42S02" || sqlState == "42P01") {
        return NoTable(table);
    }
    if (sqlState == "42S22" || sqlState == "42703") {
        const std::string column = FirstQuoted(driverText);
        return column.empty() ? std::string() : NoColumn(table, column);
    }
    if (sqlState == "55P03") {
        return kLocked;
    }
    // SQLite's own texts, also behind its ODBC driver's general state (which adds to them): the table is
    // the one being stored into, the column the word after "named".
    if (driverText.find("no such table: ") != std::string_view::npos) {
        return NoTable(table);
    }
    if (const size_t has = driverText.find(" has no column named "); has != std::string_view::npos) {
        const std::string_view column = driverText.substr(has + 21);
        return NoColumn(table, column.substr(0, column.find(' ')));
    }
    if (driverText.find("database is locked") != std::string_view::npos ||
        driverText.find("database table is locked") != std::string_view::npos) {
        return kLocked;
    }
    if (driverText.find("file is not a database") != std::string_view::npos) {
        return kNotADatabase;
    }
    return {};
}

std::string WithDescription(const std::string& driverText, std::string_view sqlState,
                            std::string_view table) {
    const std::string description = DescribeDatabaseFailure(driverText, sqlState, table);
    return description.empty() ? driverText : description + " (" + driverText + ")";
}
