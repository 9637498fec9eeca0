#include "stores/store_table.h"

#include <optional>
#include <type_traits>

#include "output/csv/utf8_csv_store.h"
#include "output/database/save_to_database.h"
#include "output/database/server_database.h"
#include "output/text/text_store.h"
#include "output/workbook/workbook_store.h"

namespace {

// A store of its kind; a database store gets the options of its statements.
template <class Store, auto... Arguments>
std::unique_ptr<OutputStore> MakeStore(const DatabaseStoreOptions& options) {
    if constexpr (std::is_base_of_v<DatabaseStore, Store>) {
        return std::make_unique<Store>(options);
    } else {
        return std::make_unique<Store>(Arguments...);
    }
}

// One line per store, the first that matches wins.
struct StoreLine {
    int16_t SaveFormat;
    std::optional<int16_t> XlsType;      // only with this XlsType
    std::optional<bool> ServerDatabase;  // only with (true) or without (false) a DbConnect
    StoreKind Kind;
    std::unique_ptr<OutputStore> (*Make)(const DatabaseStoreOptions& options);
};

const StoreLine kStores[] = {
    {0, {}, {}, StoreKind::Text, MakeStore<TextStore>},
    {1, kXlsTypeXlsx, {}, StoreKind::Xlsx, MakeStore<WorkbookStore, WorkbookStore::Format::Xlsx>},
    {1, {}, {}, StoreKind::Xls, MakeStore<WorkbookStore, WorkbookStore::Format::Xls>},
    {2, {}, true, StoreKind::ServerDatabase, MakeStore<ServerDatabaseStore>},
    {2, {}, false, StoreKind::SqliteFile, MakeStore<SqliteFileStore>},
    {3, {}, {}, StoreKind::Utf8Csv, MakeStore<Utf8CsvStore>},
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

std::unique_ptr<OutputStore> StoreFor(const SettingsRecord& settings,
                                      const DatabaseStoreOptions& databaseOptions) {
    const StoreLine* line = LineFor(settings);
    return line != nullptr ? line->Make(databaseOptions) : nullptr;
}

bool StoreKindOf(const SettingsRecord& settings, StoreKind& kind) {
    const StoreLine* line = LineFor(settings);
    if (line != nullptr) {
        kind = line->Kind;
    }
    return line != nullptr;
}
