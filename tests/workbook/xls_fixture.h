#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "run/run_state.h"
#include "settings/settings_record.h"
#include "support/temp_folder.h"

// Helpers for the workbook tests: raw BIFF records for crafting unusual input files, an OLE2 writer
// that does not go through the code under test, an independent structural check of a workbook
// stream, and reading a workbook back with FreeXL.
namespace xlstest {

struct Rec {
    uint16_t id = 0;
    std::string data;
};

std::vector<Rec> ParseRecords(std::string_view stream);
// Concatenates records and sets each BOUNDSHEET offset to the BOF of the matching sheet substream.
std::string Serialize(const std::vector<Rec>& records);

std::string Le16(uint16_t v);
std::string Le32(uint32_t v);

// A compound file holding the given root-level streams, written with libgsf.
void WriteOle(const std::string& path, const std::vector<std::pair<std::string, std::string>>& streams);
// A compound file with root-level streams and one storage (with a class id) holding streams, the way
// a workbook keeps its macro project.
void WriteOleWithStorage(const std::string& path,
                         const std::vector<std::pair<std::string, std::string>>& streams,
                         const std::string& storage, const std::string& classId16,
                         const std::vector<std::pair<std::string, std::string>>& storageStreams);
// The class id and streams of a root-level storage; false when there is no such storage.
bool ReadOleStorage(const std::string& path, const std::string& storage, std::string& classId16,
                    std::vector<std::pair<std::string, std::string>>& streams);
// The root-level streams of a compound file (name and contents), in directory order.
std::vector<std::pair<std::string, std::string>> ReadOleStreams(const std::string& path);
std::string WorkbookStream(const std::string& path);

// Checks what a reader relies on: BOUNDSHEET offsets land on BOF records, INDEX entries on DBCELL
// records whose back offset lands on a ROW record, every cell lies inside DIMENSIONS, EXTSST points at
// string starts inside the SST, LABELSST indices exist, the stream is larger than 4096 bytes. Returns
// the faults found, empty when the file is sound.
std::string CheckStructure(const std::string& path);

using Cells = std::map<std::pair<unsigned, unsigned>, std::string>;  // (row, col), 0-based
struct FreeXlBook {
    std::vector<std::string> SheetNames;
    std::vector<Cells> Sheets;
};
// Reads every worksheet with FreeXL; numbers come back in their shortest decimal form.
bool ReadWithFreeXl(const std::string& path, FreeXlBook& book, std::string& why);
// Reads every worksheet of an .xlsx book with openpyxl (tests/workbook/xlsx_tool.py); cells as text.
bool ReadWithOpenpyxl(const std::string& path, FreeXlBook& book, std::string& why);

// Settings and run state of a workbook store into `dir`: backup file "Back.txt" and output "T01.xls"
// there, every field written, version 2000, the first field as data, the given start row.
void WorkbookStoreSettings(const TempFolder& dir, int32_t startLine, SettingsRecord& settings, RunState& run);

}  // namespace xlstest
