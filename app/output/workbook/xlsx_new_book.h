#pragma once

#include <string>
#include <utility>
#include <vector>

// The parts of a new, empty .xlsx book with `sheetCount` worksheets named "Sheet1", "Sheet2", ... (as
// the .xls writer names them), each as its name in the archive and its XML: the content types, the
// relationships, the workbook, one cell format and the worksheets.
std::vector<std::pair<std::string, std::string>> NewXlsxParts(int sheetCount);
