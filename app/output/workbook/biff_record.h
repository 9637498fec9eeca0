#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// BIFF8 records: a 16-bit id, a 16-bit length and at most 8224 bytes of data. Record data is kept as
// raw bytes so that records we do not interpret pass through a workbook unchanged.
namespace biff {

inline constexpr size_t kMaxRecordData = 8224;

enum RecordId : uint16_t {
    kFormula = 0x0006,
    kEof = 0x000A,
    kCalcCount = 0x000C,
    kCalcMode = 0x000D,
    kPrecision = 0x000E,
    kRefMode = 0x000F,
    kDelta = 0x0010,
    kIteration = 0x0011,
    kProtect = 0x0012,
    kPassword = 0x0013,
    kHeader = 0x0014,
    kFooter = 0x0015,
    kWindowProtect = 0x0019,
    kDateMode = 0x0022,
    kPrintHeaders = 0x002A,
    kPrintGridlines = 0x002B,
    kFilePass = 0x002F,
    kFont = 0x0031,
    kContinue = 0x003C,
    kWindow1 = 0x003D,
    kBackup = 0x0040,
    kCodePage = 0x0042,
    kDefColWidth = 0x0055,
    kWriteAccess = 0x005C,
    kSaveRecalc = 0x005F,
    kColInfo = 0x007D,
    kGuts = 0x0080,
    kWsBool = 0x0081,
    kGridSet = 0x0082,
    kHCenter = 0x0083,
    kVCenter = 0x0084,
    kBoundSheet = 0x0085,
    kCountry = 0x008C,
    kHideObj = 0x008D,
    kSetup = 0x00A1,
    kMulRk = 0x00BD,
    kMulBlank = 0x00BE,
    kMms = 0x00C1,
    kRString = 0x00D6,
    kDbCell = 0x00D7,
    kBookBool = 0x00DA,
    kXf = 0x00E0,
    kInterfaceHdr = 0x00E1,
    kInterfaceEnd = 0x00E2,
    kSst = 0x00FC,
    kLabelSst = 0x00FD,
    kExtSst = 0x00FF,
    kTabId = 0x013D,
    kUsesElfs = 0x0160,
    kDsf = 0x0161,
    kProt4Rev = 0x01AF,
    kRefreshAll = 0x01B7,
    kProt4RevPass = 0x01BC,
    kDimensions = 0x0200,
    kBlank = 0x0201,
    kNumber = 0x0203,
    kLabel = 0x0204,
    kBoolErr = 0x0205,
    kString = 0x0207,
    kRow = 0x0208,
    kIndex = 0x020B,
    kArray = 0x0221,
    kDefaultRowHeight = 0x0225,
    kTable = 0x0236,
    kWindow2 = 0x023E,
    kRk = 0x027E,
    kStyle = 0x0293,
    kFormulaOld = 0x0406,
    kFormat = 0x041E,
    kShrFmla = 0x04BC,
    kBof = 0x0809,
};

// BOF substream types.
enum : uint16_t { kBofGlobals = 0x0005, kBofWorksheet = 0x0010, kBofChart = 0x0020 };
inline constexpr uint16_t kBiff8Version = 0x0600;

struct Record {
    uint16_t id = 0;
    std::string data;
};

inline uint16_t Get16(std::string_view d, size_t at) {
    if (at + 2 > d.size()) {
        return 0;
    }
    return static_cast<uint16_t>(static_cast<uint8_t>(d[at]) | (static_cast<uint8_t>(d[at + 1]) << 8));
}
inline uint32_t Get32(std::string_view d, size_t at) {
    return static_cast<uint32_t>(Get16(d, at)) | (static_cast<uint32_t>(Get16(d, at + 2)) << 16);
}
inline void Put8(std::string& d, uint8_t v) {
    d.push_back(static_cast<char>(v));
}
inline void Put16(std::string& d, uint16_t v) {
    d.push_back(static_cast<char>(v & 0xFF));
    d.push_back(static_cast<char>(v >> 8));
}
inline void Put32(std::string& d, uint32_t v) {
    Put16(d, static_cast<uint16_t>(v & 0xFFFF));
    Put16(d, static_cast<uint16_t>(v >> 16));
}
inline void PutDouble(std::string& d, double v) {
    char bytes[8];
    std::memcpy(bytes, &v, 8);  // little-endian host, as every Debian target we build for
    d.append(bytes, 8);
}
inline void Set16(std::string& d, size_t at, uint16_t v) {
    d[at] = static_cast<char>(v & 0xFF);
    d[at + 1] = static_cast<char>(v >> 8);
}
inline void Set32(std::string& d, size_t at, uint32_t v) {
    Set16(d, at, static_cast<uint16_t>(v & 0xFFFF));
    Set16(d, at + 2, static_cast<uint16_t>(v >> 16));
}

// Appends one record (header and data) to a stream.
inline void AppendRecord(std::string& stream, uint16_t id, std::string_view data) {
    Put16(stream, id);
    Put16(stream, static_cast<uint16_t>(data.size()));
    stream.append(data);
}
inline void AppendRecord(std::string& stream, const Record& r) {
    AppendRecord(stream, r.id, r.data);
}

// Cuts a workbook stream into records. Stops at the end of the stream; returns false (with a reason)
// when a record header or body runs past the end, or a length exceeds the BIFF8 limit.
bool SplitRecords(std::string_view stream, std::vector<Record>& records, std::vector<size_t>& offsets,
                  std::string& why);

// True for the records that make up a worksheet's cell table (rows, cells, the records attached to
// formula cells, and the row-block index records).
bool IsCellTableRecord(uint16_t id);
// True for cell records that hold a value (as opposed to formatted blanks).
bool IsValueCell(uint16_t id);

// An XLUnicodeString (16-bit count) or ShortXLUnicodeString (8-bit count) for UTF-16 text: 8-bit
// characters when every character fits, else UTF-16LE.
std::string UnicodeString(std::u16string_view text, bool shortCount);

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
// The same into `out`, which is overwritten (its storage is reused).
void Utf8ToUtf16(std::string_view utf8, std::u16string& out);

}  // namespace biff
