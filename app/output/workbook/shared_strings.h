#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "output/workbook/biff_record.h"

// The workbook's shared string table (SST). Strings read from a workbook keep their formatting runs
// and phonetic blocks as raw bytes; the table is always written anew, split into CONTINUE records,
// with an EXTSST bucket index that points at the written positions.
class SharedStrings {
public:
    struct Entry {
        std::u16string Text;
        uint32_t Formatting = 0;  // 1 + index into the formatting list; 0 for a plain string
    };
    struct Formatting {
        std::string Runs;  // formatting runs, 4 bytes each
        std::string Ext;   // phonetic block (ExtRst)
    };

    // Reads an SST record followed by its CONTINUE records. A table whose declared string count
    // disagrees with the strings present (too few, or bytes left over) is refused as damaged.
    bool Parse(const std::vector<biff::Record>& records, std::string& why);

    // The index of a plain string with this text, added when new.
    uint32_t Add(std::u16string_view text);

    size_t Size() const { return entries_.size(); }
    // At least the bytes Build() writes.
    size_t ByteSize() const;
    const Entry& At(uint32_t index) const { return entries_[index]; }

    // The EXTSST index lists every BucketSize-th string, in one record with a 16-bit bucket size: about
    // 128 buckets, at least 8 strings each, up to the largest size 16 bits hold, then as many buckets as
    // the record has room for. 0 for a count that no bucket size can index.
    static uint16_t BucketSize(size_t count);

    // The SST record with its CONTINUE records, for a table that starts at stream position
    // `sstOffset`; `extSst` receives the matching EXTSST record. Only for a table whose Size() has a
    // BucketSize. `references` is the number of
    // LABELSST cells in the workbook.
    void Build(uint32_t references, uint32_t sstOffset, std::vector<biff::Record>& records,
               biff::Record& extSst) const;

private:
    void Index(uint32_t entry);
    void Grow();

    std::vector<Entry> entries_;
    std::vector<Formatting> formatting_;  // of the few strings that carry runs or a phonetic block
    // Open-addressed index of the plain strings (no runs, no phonetic block): entry number + 1, 0 for
    // a free slot. Its size is a power of two, at most half full.
    std::vector<uint32_t> slots_;
    std::vector<uint32_t> hashes_;  // per entry, so growing never hashes a text again
    size_t indexed_ = 0;
};
