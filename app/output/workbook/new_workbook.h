#pragma once

#include <string>

// The workbook stream of a new, empty BIFF8 workbook with `sheetCount` worksheets named "Sheet1",
// "Sheet2", ...: every record the BIFF8 grammar requires in the globals and in each worksheet, so
// strict readers accept the file. `versionCode` (97, 2000, 2002, 2003) is recorded in the BOF records
// as the version that last saved the file. BOUNDSHEET and INDEX offsets are left for the saver.
std::string BuildNewWorkbookStream(int versionCode, int sheetCount);

// The data of a plain cell XF record (Normal style's font, General format, parent style 0), for a
// book that has no cell format new cells could use.
std::string NewCellXfData();
