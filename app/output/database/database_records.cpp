#include "output/database/database_records.h"

#include "codec/text_encoding.h"

namespace {

// Plain ASCII is the same in both encodings and needs no converter.
std::string FieldToUtf8(const std::string& cp932) {
    for (const char c : cp932) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return Cp932ToUtf8(cp932);
        }
    }
    return cp932;
}

}  // namespace

bool DatabaseRecords::Next(const FieldSelection& selection, RecordFields& output) {
    if (!backup_.Next(line_)) {
        return false;
    }
    output = SelectFields(SplitRecord(line_), selection);
    for (int n = 1; n <= 20; ++n) {
        output[n] = FieldToUtf8(output[n]);
    }
    return true;
}
