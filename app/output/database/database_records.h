#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "output/backup_lines.h"
#include "output/record_fields.h"

// The backup file as the database writers read it: record by record, each cut into its fields, the
// selected fields packed to the front and converted from CP932 to UTF-8 for the database.
class DatabaseRecords {
public:
    // False when the backup file cannot be opened; ErrorNumber() then holds the system's error number.
    bool Open(const FileAt& backupFile) { return backup_.Open(backupFile); }
    // The next record's output fields. False at the end of the file and at a read failure; Failed()
    // tells the two apart.
    bool Next(const FieldSelection& selection, RecordFields& output);
    bool Failed() const { return backup_.Failed(); }
    int ErrorNumber() const { return backup_.ErrorNumber(); }

private:
    BackupLines backup_;
    std::string line_;
};
