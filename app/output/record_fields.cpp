#include "output/record_fields.h"

RecordFields SplitRecord(std::string_view line) {
    RecordFields fields;
    std::string_view rest = line;
    for (int k = 1; k <= 20; ++k) {
        const auto comma = rest.find(',');
        if (comma == std::string_view::npos) {
            fields[k] = std::string(rest);
            rest = {};
        } else {
            fields[k] = std::string(rest.substr(0, comma));
            rest.remove_prefix(comma + 1);
        }
    }
    return fields;
}

RecordFields SelectFields(const RecordFields& fields, const FieldSelection& selection) {
    RecordFields output;
    int n = 1;
    for (int i = 1; i <= 20; ++i) {
        if (selection[i - 1] == 1) {
            output[n++] = fields[i];
        }
    }
    return output;
}

std::string BuildTextLine(const RecordFields& output) {
    std::string line;
    for (int i = 1; i <= 20; ++i) {
        line += output[i];
        if (i == 20 || output[i + 1].empty()) {
            break;
        }
        line += ',';
    }
    return line;
}

uint32_t NonEmptyFieldMask(const RecordFields& output) {
    uint32_t mask = 0;
    for (int n = 1; n <= 20; ++n) {
        if (!output[n].empty()) {
            mask |= 1u << (n - 1);
        }
    }
    return mask;
}
