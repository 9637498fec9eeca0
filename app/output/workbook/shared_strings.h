#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "output/workbook/biff_record.h"

// The workbook's shared string table (SST). Strings read from a workbook keep their formatting runs
// and phonetic blocks as raw bytes; the table is always written anew, split into CONTINUE records,
// with an EXTSST bucket index that points at the written positions.
class SharedStrings {
public:
    struct Entry {
        std::u16string Text;
        std::string Runs;  // formatting runs, 4 bytes each
        std::string Ext;   // phonetic block (ExtRst)
    };

    // Reads an SST record followed by its CONTINUE records.
    bool Parse(const std::vector<biff::Record>& records, std::string& why);

    // The index of a plain string with this text, added when new.
    uint32_t Add(std::u16string_view text);

    size_t Size() const { return entries_.size(); }
    const Entry& At(uint32_t index) const { return entries_[index]; }

    // The SST record with its CONTINUE records, for a table that starts at stream position
    // `sstOffset`; `extSst` receives the matching EXTSST record. `references` is the number of
    // LABELSST cells in the workbook.
    void Build(uint32_t references, uint32_t sstOffset, std::vector<biff::Record>& records,
               biff::Record& extSst) const;

private:
    std::vector<Entry> entries_;
    std::unordered_map<std::u16string, uint32_t> plain_;
};
