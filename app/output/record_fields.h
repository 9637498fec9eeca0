#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/settings_record.h"

// A stored record line cut into exactly 20 fields, numbered 1..20 (element 0 unused).
// Fields are CP932 byte strings, untrimmed; no quoting is recognised.
using RecordFields = std::array<std::string, 21>;

// Cuts `line` at every "," into 20 fields; fields beyond the 20th are dropped, missing ones are empty.
RecordFields SplitRecord(std::string_view line);

// The selected fields packed to the front, in record order; the slots behind
// the last selected field are empty. Output slots are numbered 1..20 (element 0 unused).
RecordFields SelectFields(const RecordFields& fields, const FieldSelection& selection);

// The text writer's line: output fields 1..m joined by ",", where slot m+1 is the first empty slot
// from 2 on (m = 20 if none is). Slot 1 is always written.
std::string BuildTextLine(const RecordFields& output);

// The database writers' column set of a row: bit n-1 set when output field n is not empty (n = 1..20).
uint32_t NonEmptyFieldMask(const RecordFields& output);
