#include "output/workbook/xlsx_xml.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace xlsx {

std::string UnpackedLimitText() {
    return "展開後の大きさが上限 (" + std::to_string(kMaxUnpackedBytes >> 20) + " MiB) を超えます";
}

std::string_view LocalName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon == nullptr ? std::string_view(name) : std::string_view(colon + 1);
}

std::string_view Prefix(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon == nullptr ? std::string_view()
                            : std::string_view(name, static_cast<size_t>(colon - name + 1));
}

const char* Attribute(const char** attributes, std::string_view local, bool prefixed) {
    for (size_t i = 0; attributes[i] != nullptr; i += 2) {
        const bool hasPrefix = std::strchr(attributes[i], ':') != nullptr;
        if (hasPrefix == prefixed && LocalName(attributes[i]) == local) {
            return attributes[i + 1];
        }
    }
    return nullptr;
}

bool ParseCellReference(std::string_view text, uint32_t& row, uint32_t& col, bool needRow) {
    size_t i = 0;
    uint32_t c = 0;
    for (; i < text.size() && i < 4; ++i) {
        char ch = text[i];
        if (ch >= 'a' && ch <= 'z') {
            ch = static_cast<char>(ch - 'a' + 'A');
        }
        if (ch < 'A' || ch > 'Z') {
            break;
        }
        c = c * 26 + static_cast<uint32_t>(ch - 'A' + 1);
    }
    if (i == 0) {
        return false;
    }
    uint64_t r = 0;
    const size_t digitsAt = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i - digitsAt < 10; ++i) {
        r = r * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (i != text.size() || (needRow && (i == digitsAt || r == 0)) || r > UINT32_MAX) {
        return false;
    }
    row = r == 0 ? 0 : static_cast<uint32_t>(r - 1);
    col = c - 1;
    return true;
}

void AppendCellReference(std::string& out, uint32_t row, uint32_t col) {
    char letters[4];
    int n = 0;
    for (uint32_t c = col + 1; c > 0 && n < 4; c = (c - 1) / 26) {
        letters[n++] = static_cast<char>('A' + (c - 1) % 26);
    }
    while (n > 0) {
        out.push_back(letters[--n]);
    }
    char digits[12];
    int d = 0;
    for (uint64_t r = static_cast<uint64_t>(row) + 1; r > 0; r /= 10) {
        digits[d++] = static_cast<char>('0' + r % 10);
    }
    while (d > 0) {
        out.push_back(digits[--d]);
    }
}

std::string CellReference(uint32_t row, uint32_t col) {
    std::string out;
    AppendCellReference(out, row, col);
    return out;
}

void AppendEscaped(std::string& out, std::string_view text) {
    size_t from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char* entity = nullptr;
        switch (text[i]) {
            case '&':
                entity = "&amp;";
                break;
            case '<':
                entity = "&lt;";
                break;
            case '>':
                entity = "&gt;";
                break;
            case '"':
                entity = "&quot;";
                break;
            default:
                continue;
        }
        out.append(text, from, i - from);
        out += entity;
        from = i + 1;
    }
    out.append(text, from, text.size() - from);
}

namespace {

void AppendHexEscape(std::string& out, uint32_t code) {
    static const char kHex[] = "0123456789ABCDEF";
    out += "_x";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out.push_back(kHex[(code >> shift) & 0xF]);
    }
    out.push_back('_');
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The length of the valid UTF-8 sequence at `at` and its code point; 0 when it is invalid.
size_t DecodeUtf8(std::string_view s, size_t at, uint32_t& code) {
    const auto b0 = static_cast<unsigned char>(s[at]);
    size_t length = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
    if (length == 0 || at + length > s.size()) {
        return 0;
    }
    code = length == 1 ? b0 : length == 2 ? b0 & 0x1F : length == 3 ? b0 & 0x0F : b0 & 0x07;
    for (size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(s[at + k]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (b & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

size_t AppendCellText(std::string& out, std::string_view utf8) {
    size_t units = 0;
    size_t from = 0;  // start of the bytes not yet copied
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b >= 0x20 && b < 0x80 && b != '&' && b != '<' && b != '>' && b != '_') {
            ++units;
            ++i;
            continue;
        }
        out.append(utf8, from, i - from);
        uint32_t code = 0;
        size_t length = DecodeUtf8(utf8, i, code);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no valid sequence
            ++units;
            from = ++i;
            continue;
        }
        if (code == '&') {
            out += "&amp;";
        } else if (code == '<') {
            out += "&lt;";
        } else if (code == '>') {
            out += "&gt;";
        } else if (code == '_') {
            const bool looksEscaped = i + 6 < utf8.size() && utf8[i + 1] == 'x' && IsHex(utf8[i + 2]) &&
                                      IsHex(utf8[i + 3]) && IsHex(utf8[i + 4]) && IsHex(utf8[i + 5]) &&
                                      utf8[i + 6] == '_';
            out += looksEscaped ? "_x005F_" : "_";
        } else if ((code < 0x20 && code != '\t' && code != '\n') || code == 0xFFFE || code == 0xFFFF) {
            AppendHexEscape(out, code);
        } else {
            out.append(utf8, i, length);
        }
        units += code >= 0x10000 ? 2 : 1;
        i += length;
        from = i;
    }
    out.append(utf8, from, utf8.size() - from);
    return units;
}

bool NeedsPreserve(std::string_view utf8) {
    if (utf8.empty()) {
        return false;
    }
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    return blank(utf8.front()) || blank(utf8.back()) ||
           utf8.find_first_of("\t\n\r") != std::string_view::npos ||
           utf8.find("  ") != std::string_view::npos;
}

namespace {

// The parser's allocator: every block carries its owner's count and its own size in front, so that the
// parser of one document never holds more than kMaxParserBytes. Expat's allocator calls take no context;
// the owner is the reader whose call into expat is running on this thread.
struct alignas(std::max_align_t) BlockHeader {
    XmlReader::Memory* Owner;
    size_t Size;
};

thread_local XmlReader::Memory* tRunning = nullptr;

// Makes `memory` the owner of what expat allocates until the scope ends.
class RunningParser {
public:
    explicit RunningParser(XmlReader::Memory& memory) : previous_(tRunning) { tRunning = &memory; }
    ~RunningParser() { tRunning = previous_; }
    RunningParser(const RunningParser&) = delete;
    RunningParser& operator=(const RunningParser&) = delete;

private:
    XmlReader::Memory* previous_;
};

void* ParserRealloc(void* block, size_t size) {
    BlockHeader* header = block == nullptr ? nullptr : static_cast<BlockHeader*>(block) - 1;
    XmlReader::Memory* owner = header != nullptr ? header->Owner : tRunning;
    const size_t before = header != nullptr ? header->Size : 0;
    if (owner != nullptr && size > before && owner->Used + (size - before) > kMaxParserBytes) {
        owner->Refused = true;
        return nullptr;
    }
    auto* grown = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + size));
    if (grown == nullptr) {
        return nullptr;
    }
    *grown = {owner, size};
    if (owner != nullptr) {
        owner->Used = owner->Used - before + size;
    }
    return grown + 1;
}

void* ParserMalloc(size_t size) {
    return ParserRealloc(nullptr, size);
}

void ParserFree(void* block) {
    if (block != nullptr) {
        BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
        if (header->Owner != nullptr) {
            header->Owner->Used -= header->Size;
        }
        std::free(header);
    }
}

const XML_Memory_Handling_Suite kParserMemory = {&ParserMalloc, &ParserRealloc, &ParserFree};

}  // namespace

XmlReader::XmlReader() {
    RunningParser running(memory_);
    parser_ = XML_ParserCreate_MM("UTF-8", &kParserMemory, nullptr);
    if (parser_ == nullptr) {
        why_ = "メモリが足りません";
        return;
    }
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &XmlReader::OnStart, &XmlReader::OnEnd);
    XML_SetCharacterDataHandler(parser_, &XmlReader::OnText);
    XML_SetStartDoctypeDeclHandler(parser_, &XmlReader::OnDoctype);
    XML_SetEntityDeclHandler(parser_, &XmlReader::OnEntity);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
}

XmlReader::~XmlReader() {
    Release();
}

void XmlReader::Release() {
    if (parser_ != nullptr) {
        RunningParser running(memory_);
        XML_ParserFree(parser_);
        parser_ = nullptr;
    }
}

void XmlReader::Stop(const std::string& why) {
    if (why_.empty()) {
        why_ = why;
    }
    XML_StopParser(parser_, XML_FALSE);
}

bool XmlReader::EmptyTag() const {
    int offset = 0, size = 0;
    const char* context = XML_GetInputContext(parser_, &offset, &size);
    const int end = offset + XML_GetCurrentByteCount(parser_);
    return context != nullptr && end >= 2 && end <= size && context[end - 2] == '/' &&
           context[end - 1] == '>';
}

bool XmlReader::Feed(std::string_view bytes, bool last) {
    if (!why_.empty() || parser_ == nullptr) {
        return false;
    }
    RunningParser running(memory_);
    if (XML_Parse(parser_, bytes.data(), static_cast<int>(bytes.size()), last ? XML_TRUE : XML_FALSE) ==
        XML_STATUS_OK) {
        return true;
    }
    if (why_.empty() && memory_.Refused) {
        why_ = "XML の要素が大きすぎます";
    } else if (why_.empty()) {
        why_ = std::string("XML が壊れています (") + std::to_string(XML_GetCurrentLineNumber(parser_)) +
               " 行: " + XML_ErrorString(XML_GetErrorCode(parser_)) + ")";
    }
    return false;
}

bool XmlReader::ReadEntry(zip_t* archive, zip_uint64_t index, uint64_t& budget) {
    zip_stat_t st;
    zip_file_t* file = nullptr;
    if (zip_stat_index(archive, index, 0, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0 ||
        (file = zip_fopen_index(archive, index, 0)) == nullptr) {
        why_ = std::string("部品を読めません (") + zip_strerror(archive) + ")";
        return false;
    }
    // One buffer for every part a thread reads, so a book of many small parts does not allocate one each.
    static thread_local std::vector<char> buffer(64 * 1024);
    uint64_t inflated = 0;
    bool ok = true;
    for (;;) {
        const zip_int64_t n = zip_fread(file, buffer.data(), buffer.size());
        if (n < 0) {
            why_ = std::string("部品を読めません (") + zip_file_strerror(file) + ")";
            ok = false;
            break;
        }
        // libzip goes on inflating past the size an entry declares: its bytes are counted here.
        inflated += static_cast<uint64_t>(n);
        if (inflated > st.size || static_cast<uint64_t>(n) > budget) {
            why_ = inflated > st.size ? "宣言された大きさを超えています" : UnpackedLimitText();
            ok = false;
            break;
        }
        budget -= static_cast<uint64_t>(n);
        if (!Feed({buffer.data(), static_cast<size_t>(n)}, n == 0)) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
    }
    zip_fclose(file);
    return ok;
}

void XmlReader::OnStart(void* self, const XML_Char* name, const XML_Char** attributes) {
    auto* reader = static_cast<XmlReader*>(self);
    if (++reader->depth_ > kMaxDepth) {
        reader->Stop("XML の入れ子が深すぎます");
        return;
    }
    reader->Start(name, attributes);
}

void XmlReader::OnEnd(void* self, const XML_Char* name) {
    auto* reader = static_cast<XmlReader*>(self);
    --reader->depth_;
    reader->End(name);
}

void XmlReader::OnText(void* self, const XML_Char* text, int length) {
    static_cast<XmlReader*>(self)->Text(text, length);
}

void XmlReader::OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<XmlReader*>(self)->Stop("DTD を含む XML は扱えません");
}

void XmlReader::OnEntity(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                         const XML_Char*, const XML_Char*, const XML_Char*) {
    static_cast<XmlReader*>(self)->Stop("実体宣言を含む XML は扱えません");
}

}  // namespace xlsx
