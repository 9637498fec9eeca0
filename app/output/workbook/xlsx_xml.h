#pragma once

#include <expat.h>
#include <zip.h>

#include <cstdint>
#include <string>
#include <string_view>

// The XML side of the .xlsx writer: a guarded streaming reader over expat, cell references and the
// escapes of SpreadsheetML text.
namespace xlsx {

inline constexpr uint32_t kMaxRows = 1048576;   // rows a worksheet of the format holds
inline constexpr uint32_t kMaxColumns = 16384;  // columns A..XFD
// Elements nested deeper than this end a document: workbooks as spreadsheet programs write them stay
// under 20 levels.
inline constexpr int kMaxDepth = 256;
// What expat may hold for one document: its buffer (the longest tag, name or attribute value plus one
// piece of input), the names it has met, the open elements. A document that needs more is refused.
inline constexpr size_t kMaxParserBytes = 16u << 20;
// The bytes a book's parts may unpack to, counted as they are inflated.
inline constexpr uint64_t kMaxUnpackedBytes = 512ull << 20;
// The reason for a book past kMaxUnpackedBytes.
std::string UnpackedLimitText();

// The part of a qualified name after its prefix ("x:row" -> "row").
std::string_view LocalName(const char* name);
// The prefix of a qualified name with its colon ("x:row" -> "x:"), empty when it has none.
std::string_view Prefix(const char* name);
// The value of the attribute whose local name is `local` (any prefix when `prefixed`, none otherwise),
// or nullptr.
const char* Attribute(const char** attributes, std::string_view local, bool prefixed = false);

// "B12" -> 0-based row 11, column 1. Rows and columns past the format's limits are still parsed (the
// caller refuses them); false for anything that is no cell reference. `needRow` false accepts a bare
// column ("B").
bool ParseCellReference(std::string_view text, uint32_t& row, uint32_t& col, bool needRow = true);
// The A1-style reference of a 0-based cell.
void AppendCellReference(std::string& out, uint32_t row, uint32_t col);
std::string CellReference(uint32_t row, uint32_t col);

// Appends `text` for an XML attribute value or element content: & < > " escaped.
void AppendEscaped(std::string& out, std::string_view text);
// Appends UTF-8 cell text as SpreadsheetML stores it: XML-escaped, with characters XML cannot hold (and
// a carriage return, which XML readers turn into a line feed) as _xHHHH_, and a literal "_xHHHH_" kept
// literal by escaping its underscore (_x005F_). Invalid UTF-8 becomes U+FFFD. Returns the text's length
// in UTF-16 units, the unit of the cell limit.
size_t AppendCellText(std::string& out, std::string_view utf8);
// True when cell text needs xml:space="preserve" to keep its blanks.
bool NeedsPreserve(std::string_view utf8);

// A streaming XML reader: bytes go in in pieces, handlers see elements as they end. A document with a
// DTD (and so any entity declaration) is refused before anything in it is expanded, and so is one nested
// deeper than kMaxDepth or needing more than kMaxParserBytes of the parser.
class XmlReader {
public:
    XmlReader();
    virtual ~XmlReader();
    XmlReader(const XmlReader&) = delete;
    XmlReader& operator=(const XmlReader&) = delete;

    // The next piece of the document; `last` for the end. False when the document is malformed, has a
    // DTD, is too deep or too large, or a handler stopped; Why() then tells the reason.
    bool Feed(std::string_view bytes, bool last);
    // The whole entry `index` of `archive`, read in pieces. The inflated bytes are counted as they
    // arrive: an entry that yields more than its header declares is refused, and so is one that takes
    // more than `budget` (what the book may still unpack), which is reduced by what was read.
    bool ReadEntry(zip_t* archive, zip_uint64_t index, uint64_t& budget);
    // Frees the parser at once; Feed fails from then on.
    void Release();
    const std::string& Why() const { return why_; }

    // What the parser of one document holds, counted by the allocator it is given.
    struct Memory {
        size_t Used = 0;
        bool Refused = false;  // an allocation past kMaxParserBytes was refused
    };

protected:
    virtual void Start(const char* name, const char** attributes) = 0;
    virtual void End(const char* name) = 0;
    virtual void Text(const char* /*text*/, int /*length*/) {}
    // Ends the parse with a failure.
    void Stop(const std::string& why);
    // Byte position and length of the event being handled (the length is 0 for the end of an empty
    // element, whose start event covers the whole tag).
    uint64_t EventAt() const { return static_cast<uint64_t>(XML_GetCurrentByteIndex(parser_)); }
    int EventLength() const { return XML_GetCurrentByteCount(parser_); }
    // True when the start tag being handled is an empty element ("<c/>").
    bool EmptyTag() const;
    bool Stopped() const { return !why_.empty(); }

private:
    static void OnStart(void* self, const XML_Char* name, const XML_Char** attributes);
    static void OnEnd(void* self, const XML_Char* name);
    static void OnText(void* self, const XML_Char* text, int length);
    static void OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int);
    static void OnEntity(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                         const XML_Char*, const XML_Char*, const XML_Char*);

    Memory memory_;
    XML_Parser parser_;
    std::string why_;
    int depth_ = 0;
};

}  // namespace xlsx
