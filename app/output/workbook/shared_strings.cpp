#include "output/workbook/shared_strings.h"

#include <algorithm>
#include <functional>

using namespace biff;

namespace {

// Reads SST data across record boundaries. Character arrays that cross a boundary restart in the
// next record with a fresh option byte saying whether the rest is 8-bit or UTF-16.
class SegmentReader {
public:
    explicit SegmentReader(const std::vector<Record>& records) : records_(records) {}

    bool Bytes(size_t n, std::string& out) {
        while (n > 0) {
            if (!NextIfExhausted()) {
                return false;
            }
            const std::string& d = records_[seg_].data;
            const size_t take = std::min(n, d.size() - pos_);
            out.append(d, pos_, take);
            pos_ += take;
            n -= take;
        }
        return true;
    }
    bool U8(uint8_t& v) {
        std::string b;
        if (!Bytes(1, b)) {
            return false;
        }
        v = static_cast<uint8_t>(b[0]);
        return true;
    }
    bool U16(uint16_t& v) {
        std::string b;
        if (!Bytes(2, b)) {
            return false;
        }
        v = Get16(b, 0);
        return true;
    }
    bool U32(uint32_t& v) {
        std::string b;
        if (!Bytes(4, b)) {
            return false;
        }
        v = Get32(b, 0);
        return true;
    }
    bool Chars(size_t count, bool wide, std::u16string& out) {
        while (count > 0) {
            if (pos_ >= records_[seg_].data.size()) {
                if (seg_ + 1 >= records_.size()) {
                    return false;
                }
                ++seg_;
                pos_ = 0;
                uint8_t flags = 0;
                if (!U8(flags)) {
                    return false;
                }
                wide = (flags & 1) != 0;
            }
            const std::string& d = records_[seg_].data;
            const size_t width = wide ? 2 : 1;
            const size_t fit = (d.size() - pos_) / width;
            if (fit == 0) {
                return false;
            }
            const size_t take = std::min(count, fit);
            for (size_t k = 0; k < take; ++k) {
                out.push_back(wide ? static_cast<char16_t>(Get16(d, pos_ + 2 * k))
                                   : static_cast<char16_t>(static_cast<uint8_t>(d[pos_ + k])));
            }
            pos_ += take * width;
            count -= take;
        }
        return true;
    }

private:
    bool NextIfExhausted() {
        while (pos_ >= records_[seg_].data.size()) {
            if (seg_ + 1 >= records_.size()) {
                return false;
            }
            ++seg_;
            pos_ = 0;
        }
        return true;
    }

    const std::vector<Record>& records_;
    size_t seg_ = 0;
    size_t pos_ = 0;
};

}  // namespace

bool SharedStrings::Parse(const std::vector<Record>& records, std::string& why) {
    *this = SharedStrings{};
    if (records.empty()) {
        return true;
    }
    SegmentReader in(records);
    uint32_t total = 0;
    uint32_t unique = 0;
    if (!in.U32(total) || !in.U32(unique)) {
        why = "共有文字列表が壊れています";
        return false;
    }
    for (uint32_t i = 0; i < unique; ++i) {
        uint16_t cch = 0;
        uint8_t flags = 0;
        uint16_t runs = 0;
        uint32_t extSize = 0;
        Entry e;
        Formatting f;
        bool ok = in.U16(cch) && in.U8(flags);
        if (ok && (flags & 0x08) != 0) {
            ok = in.U16(runs);
        }
        if (ok && (flags & 0x04) != 0) {
            ok = in.U32(extSize);
        }
        ok = ok && in.Chars(cch, (flags & 1) != 0, e.Text);
        ok = ok && in.Bytes(static_cast<size_t>(runs) * 4, f.Runs);
        ok = ok && extSize <= kMaxRecordData * records.size() && in.Bytes(extSize, f.Ext);
        if (!ok) {
            why = "共有文字列表が壊れています";
            return false;
        }
        if (!f.Runs.empty() || !f.Ext.empty()) {
            formatting_.push_back(std::move(f));
            e.Formatting = static_cast<uint32_t>(formatting_.size());
        }
        entries_.push_back(std::move(e));
        hashes_.push_back(static_cast<uint32_t>(std::hash<std::u16string_view>{}(entries_.back().Text)));
        Index(static_cast<uint32_t>(entries_.size() - 1));
    }
    std::string rest;
    if (in.Bytes(1, rest)) {
        why = "共有文字列表の文字列の数が宣言と合いません";
        return false;
    }
    return true;
}

void SharedStrings::Grow() {
    std::vector<uint32_t> old = std::move(slots_);
    slots_.assign(std::max<size_t>(1024, old.size() * 2), 0);
    const size_t mask = slots_.size() - 1;
    for (uint32_t slot : old) {
        if (slot != 0) {
            size_t at = hashes_[slot - 1] & mask;
            while (slots_[at] != 0) {
                at = (at + 1) & mask;
            }
            slots_[at] = slot;
        }
    }
}

// Indexes a plain entry unless an equal plain text is indexed already (the first one wins).
void SharedStrings::Index(uint32_t entry) {
    const Entry& e = entries_[entry];
    if (e.Formatting != 0) {
        return;
    }
    if (2 * (indexed_ + 1) > slots_.size()) {
        Grow();
    }
    const size_t mask = slots_.size() - 1;
    for (size_t at = hashes_[entry] & mask;; at = (at + 1) & mask) {
        const uint32_t slot = slots_[at];
        if (slot == 0) {
            slots_[at] = entry + 1;
            ++indexed_;
            return;
        }
        if (hashes_[slot - 1] == hashes_[entry] && entries_[slot - 1].Text == e.Text) {
            return;
        }
    }
}

uint32_t SharedStrings::Add(std::u16string_view text) {
    const auto hash = static_cast<uint32_t>(std::hash<std::u16string_view>{}(text));
    if (!slots_.empty()) {
        const size_t mask = slots_.size() - 1;
        for (size_t at = hash & mask; slots_[at] != 0; at = (at + 1) & mask) {
            const uint32_t index = slots_[at] - 1;
            if (hashes_[index] == hash && entries_[index].Text == text) {
                return index;
            }
        }
    }
    const auto index = static_cast<uint32_t>(entries_.size());
    entries_.push_back(Entry{std::u16string(text), 0});
    hashes_.push_back(hash);
    Index(index);
    return index;
}

size_t SharedStrings::ByteSize() const {
    size_t bytes = 12;  // SST count fields and EXTSST bucket size
    for (const Entry& e : entries_) {
        bytes += 9 + 2 * e.Text.size();  // header, run count, phonetic size, UTF-16 text
    }
    for (const Formatting& f : formatting_) {
        bytes += f.Runs.size() + f.Ext.size();
    }
    bytes += 8 * (entries_.size() / 8 + 1);                 // EXTSST buckets
    return bytes + 5 * (bytes / (kMaxRecordData - 8) + 2);  // CONTINUE headers and a split character's flag
}

uint16_t SharedStrings::BucketSize(size_t count) {
    constexpr size_t kLargest = 0xFFFF;
    constexpr size_t kMostBuckets = (kMaxRecordData - 2) / 8;  // after the bucket size, 8 bytes each
    const size_t size = std::max<size_t>(8, (count + 127) / 128);
    if (size <= kLargest) {
        return static_cast<uint16_t>(size);
    }
    return (count + kLargest - 1) / kLargest <= kMostBuckets ? static_cast<uint16_t>(kLargest) : 0;
}

void SharedStrings::Build(uint32_t references, uint32_t sstOffset, std::vector<Record>& records,
                          Record& extSst) const {
    records.clear();
    records.push_back(Record{kSst, {}});
    Put32(records.back().data, references);
    Put32(records.back().data, static_cast<uint32_t>(entries_.size()));

    auto room = [&] { return kMaxRecordData - records.back().data.size(); };
    auto ensure = [&](size_t n) {
        if (room() < n) {
            records.push_back(Record{kContinue, {}});
        }
    };

    // Every dsst-th string is listed in EXTSST with the record and offset where it starts.
    const uint16_t dsst = BucketSize(entries_.size());
    std::vector<std::pair<size_t, size_t>> buckets;  // (record index, offset within data)

    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        static const Formatting kPlain;
        const Formatting& f = e.Formatting == 0 ? kPlain : formatting_[e.Formatting - 1];
        bool wide = false;
        for (char16_t c : e.Text) {
            wide = wide || c > 0xFF;
        }
        const size_t width = wide ? 2 : 1;
        const size_t header = 3 + (f.Runs.empty() ? 0 : 2) + (f.Ext.empty() ? 0 : 4);
        ensure(header + (e.Text.empty() ? 0 : width));
        if (i % dsst == 0) {
            buckets.emplace_back(records.size() - 1, records.back().data.size());
        }
        std::string& d0 = records.back().data;
        Put16(d0, static_cast<uint16_t>(e.Text.size()));
        Put8(d0, static_cast<uint8_t>((wide ? 1 : 0) | (f.Ext.empty() ? 0 : 4) | (f.Runs.empty() ? 0 : 8)));
        if (!f.Runs.empty()) {
            Put16(d0, static_cast<uint16_t>(f.Runs.size() / 4));
        }
        if (!f.Ext.empty()) {
            Put32(d0, static_cast<uint32_t>(f.Ext.size()));
        }
        size_t done = 0;
        while (done < e.Text.size()) {
            if (room() < width) {
                records.push_back(Record{kContinue, {}});
                Put8(records.back().data, wide ? 1 : 0);
            }
            const size_t take = std::min(e.Text.size() - done, room() / width);
            std::string& d = records.back().data;
            for (size_t k = 0; k < take; ++k) {
                if (wide) {
                    Put16(d, e.Text[done + k]);
                } else {
                    Put8(d, static_cast<uint8_t>(e.Text[done + k]));
                }
            }
            done += take;
        }
        for (size_t r = 0; r + 4 <= f.Runs.size(); r += 4) {
            ensure(4);
            records.back().data.append(f.Runs, r, 4);
        }
        for (size_t x = 0; x < f.Ext.size();) {
            ensure(1);
            const size_t take = std::min(room(), f.Ext.size() - x);
            records.back().data.append(f.Ext, x, take);
            x += take;
        }
    }

    std::vector<uint32_t> starts;
    uint32_t at = sstOffset;
    for (const Record& r : records) {
        starts.push_back(at);
        at += 4 + static_cast<uint32_t>(r.data.size());
    }
    extSst = Record{kExtSst, {}};
    Put16(extSst.data, dsst);
    for (const auto& [rec, offset] : buckets) {
        Put32(extSst.data, starts[rec] + 4 + static_cast<uint32_t>(offset));
        Put16(extSst.data, static_cast<uint16_t>(4 + offset));
        Put16(extSst.data, 0);
    }
}
