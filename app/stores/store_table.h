#pragma once

#include <cstdint>
#include <memory>

#include "output/database/database_store_options.h"
#include "output/output_store.h"
#include "settings/settings_record.h"

// The one decoding of SaveFormat (with XlsType and DbConnect) into a store. Everything that asks which
// format an upload is stored in (the engine, the settings dialog, --check) asks here; a new format is a
// folder under app/output/ and one line of this table.

// The closed set of stores.
enum class StoreKind { Text, Xls, Xlsx, SqliteFile, ServerDatabase, Utf8Csv };

// The store the settings choose; nullptr for a SaveFormat no store takes (the settings store refuses
// such a value when it loads the file). A database store takes `databaseOptions` (an upload uses the
// defaults; tests and benchmarks give their own).
std::unique_ptr<OutputStore> StoreFor(const SettingsRecord& settings,
                                      const DatabaseStoreOptions& databaseOptions = {});
// Which store that is; false for a SaveFormat no store takes.
bool StoreKindOf(const SettingsRecord& settings, StoreKind& kind);
