#pragma once

#include <string>
#include <string_view>

// Store failures in the operator's words. The drivers describe a failure in English; for the failures an
// operator can put right (a table or column that is not there, a database another program holds, a file
// that is no database), the failure line carries a Japanese description between its head and the
// driver's own text.

// The Japanese description of the failure that `driverText` and `sqlState` (the ODBC state; empty for
// SQLite) describe, while storing into `table`; empty for every other failure.
std::string DescribeDatabaseFailure(std::string_view driverText, std::string_view sqlState,
                                    std::string_view table);

// `driverText`, after its description when there is one: "<description> (<driver text>)".
std::string WithDescription(const std::string& driverText, std::string_view sqlState, std::string_view table);
