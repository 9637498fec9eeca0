#include "output/workbook/biff_record.h"

namespace biff {

bool SplitRecords(std::string_view stream, std::vector<Record>& records, std::vector<size_t>& offsets,
                  std::string& why) {
    size_t at = 0;
    while (at < stream.size()) {
        if (at + 4 > stream.size()) {
            why = "レコードの見出しが途中で切れています";
            return false;
        }
        const uint16_t id = Get16(stream, at);
        const uint16_t len = Get16(stream, at + 2);
        if (id == 0 && len == 0) {
            // Zero padding after the last substream.
            break;
        }
        if (len > kMaxRecordData) {
            why = "レコード長が上限を超えています";
            return false;
        }
        if (at + 4 + len > stream.size()) {
            why = "レコードが途中で切れています";
            return false;
        }
        offsets.push_back(at);
        records.push_back(Record{id, std::string(stream.substr(at + 4, len))});
        at += 4 + len;
    }
    return true;
}

bool IsCellTableRecord(uint16_t id) {
    switch (id) {
        case kRow:
        case kDbCell:
        case kBlank:
        case kMulBlank:
        case kNumber:
        case kLabel:
        case kBoolErr:
        case kFormula:
        case kFormulaOld:
        case kString:
        case kRk:
        case kMulRk:
        case kLabelSst:
        case kRString:
        case kShrFmla:
        case kArray:
        case kTable:
            return true;
        default:
            return false;
    }
}

bool IsValueCell(uint16_t id) {
    switch (id) {
        case kNumber:
        case kRk:
        case kMulRk:
        case kLabel:
        case kLabelSst:
        case kRString:
        case kBoolErr:
        case kFormula:
        case kFormulaOld:
            return true;
        default:
            return false;
    }
}

std::string UnicodeString(std::u16string_view text, bool shortCount) {
    std::string out;
    bool wide = false;
    for (char16_t c : text) {
        wide = wide || c > 0xFF;
    }
    if (shortCount) {
        Put8(out, static_cast<uint8_t>(text.size()));
    } else {
        Put16(out, static_cast<uint16_t>(text.size()));
    }
    Put8(out, wide ? 1 : 0);
    for (char16_t c : text) {
        if (wide) {
            Put16(out, c);
        } else {
            Put8(out, static_cast<uint8_t>(c));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    Utf8ToUtf16(s, out);
    return out;
}

void Utf8ToUtf16(std::string_view s, std::u16string& out) {
    // No UTF-8 sequence gives more UTF-16 units than it has bytes.
    out.resize(s.size());
    char16_t* o = out.data();
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<uint8_t>(s[i]);
        if (b < 0x80) {
            *o++ = b;
            ++i;
            continue;
        }
        uint32_t cp = 0xFFFD;
        size_t need = 0;
        if (b >= 0xC2 && b < 0xE0) {
            cp = b & 0x1F;
            need = 1;
        } else if (b >= 0xE0 && b < 0xF0) {
            cp = b & 0x0F;
            need = 2;
        } else if (b >= 0xF0 && b < 0xF5) {
            cp = b & 0x07;
            need = 3;
        }
        size_t used = 1;
        if (need > 0) {
            bool ok = true;
            for (size_t k = 1; ok && k <= need; ++k) {
                if (i + k >= s.size() || (static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) {
                    ok = false;
                } else {
                    cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
                }
            }
            const bool overlong = (need == 2 && cp < 0x800) || (need == 3 && cp < 0x10000);
            if (ok && !overlong && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
                used = need + 1;
            } else {
                cp = 0xFFFD;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
            *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            *o++ = static_cast<char16_t>(cp);
        }
        i += used;
    }
    out.resize(static_cast<size_t>(o - out.data()));
}

}  // namespace biff
