#include "stores/store_table.h"

#include <optional>

#include "output/csv/utf8_csv_store.h"
#include "output/database/save_to_database.h"
#include "output/database/server_database.h"
#include "output/text/text_store.h"
#include "output/workbook/workbook_store.h"

namespace {

// One line per store, the first that matches wins.
struct StoreLine {
    int16_t SaveFormat;
    std::optional<int16_t> XlsType;      // only with this XlsType
    std::optional<bool> ServerDatabase;  // only with (true) or without (false) a DbConnect
    StoreKind Kind;
    std::unique_ptr<OutputStore> (*Make)();
};

const StoreLine kStores[] = {
    {0, {}, {}, StoreKind::Text, [] { return std::unique_ptr<OutputStore>(new TextStore); }},
    {1,
     kXlsTypeXlsx,
     {},
     StoreKind::Xlsx,
     [] { return std::unique_ptr<OutputStore>(new WorkbookStore(WorkbookStore::Format::Xlsx)); }},
    {1,
     {},
     {},
     StoreKind::Xls,
     [] { return std::unique_ptr<OutputStore>(new WorkbookStore(WorkbookStore::Format::Xls)); }},
    {2,
     {},
     true,
     StoreKind::ServerDatabase,
     [] { return std::unique_ptr<OutputStore>(new ServerDatabaseStore); }},
    {2, {}, false, StoreKind::SqliteFile, [] { return std::unique_ptr<OutputStore>(new SqliteFileStore); }},
    {3, {}, {}, StoreKind::Utf8Csv, [] { return std::unique_ptr<OutputStore>(new Utf8CsvStore); }},
};

const StoreLine* LineFor(const SettingsRecord& settings) {
    for (const StoreLine& line : kStores) {
        if (line.SaveFormat == settings.SaveFormat && (!line.XlsType || *line.XlsType == settings.XlsType) &&
            (!line.ServerDatabase || *line.ServerDatabase == !settings.DbConnect.empty())) {
            return &line;
        }
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<OutputStore> StoreFor(const SettingsRecord& settings) {
    const StoreLine* line = LineFor(settings);
    return line != nullptr ? line->Make() : nullptr;
}

bool StoreKindOf(const SettingsRecord& settings, StoreKind& kind) {
    const StoreLine* line = LineFor(settings);
    if (line != nullptr) {
        kind = line->Kind;
    }
    return line != nullptr;
}
