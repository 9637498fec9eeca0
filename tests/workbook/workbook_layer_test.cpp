#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "output/workbook/new_workbook.h"
#include "output/workbook/shared_strings.h"
#include "output/workbook/workbook.h"
#include "xls_fixture.h"

using namespace xlstest;

namespace {

// --- crafting input workbooks the way other programs write them --------------------------------

std::string Cell(uint16_t row, uint16_t col, uint16_t xf) {
    return Le16(row) + Le16(col) + Le16(xf);
}
Rec Number(uint16_t row, uint16_t col, uint16_t xf, double v) {
    std::string d = Cell(row, col, xf);
    d.append(reinterpret_cast<const char*>(&v), 8);
    return {0x0203, d};
}
Rec MulRk(uint16_t row, uint16_t col, const std::vector<std::pair<uint16_t, int>>& values) {
    std::string d = Le16(row) + Le16(col);
    for (auto [xf, v] : values) {
        d += Le16(xf) + Le32(static_cast<uint32_t>(v) << 2 | 2);  // RK integer
    }
    return {0x00BD, d + Le16(static_cast<uint16_t>(col + values.size() - 1))};
}
Rec MulBlank(uint16_t row, uint16_t col, const std::vector<uint16_t>& xfs) {
    std::string d = Le16(row) + Le16(col);
    for (uint16_t xf : xfs) {
        d += Le16(xf);
    }
    return {0x00BE, d + Le16(static_cast<uint16_t>(col + xfs.size() - 1))};
}
Rec LabelSst(uint16_t row, uint16_t col, uint16_t xf, uint32_t index) {
    return {0x00FD, Cell(row, col, xf) + Le32(index)};
}
Rec Formula(uint16_t row, uint16_t col, const std::string& rgce, double cached) {
    std::string d = Cell(row, col, 15);
    d.append(reinterpret_cast<const char*>(&cached), 8);
    d += Le16(0) + Le32(0) + Le16(static_cast<uint16_t>(rgce.size())) + rgce;
    return {0x0006, d};
}
Rec Row(uint16_t row, uint16_t flags, uint16_t xf) {
    return {0x0208,
            Le16(row) + Le16(0) + Le16(0) + Le16(0x00FF) + Le16(0) + Le16(0) + Le16(flags) + Le16(xf)};
}
Rec ColInfo(uint16_t first, uint16_t last, uint16_t xf) {
    return {0x007D, Le16(first) + Le16(last) + Le16(0x0900) + Le16(xf) + Le16(0) + Le16(0)};
}
Rec Dimensions(uint32_t rows, uint16_t cols) {
    return {0x0200, Le32(0) + Le32(rows) + Le16(0) + Le16(cols) + Le16(0)};
}

// An SST whose first string carries a formatting run, then plain strings.
Rec Sst(const std::vector<std::string>& plain) {
    std::string d =
        Le32(static_cast<uint32_t>(plain.size() + 1)) + Le32(static_cast<uint32_t>(plain.size() + 1));
    d += Le16(4) + std::string(1, '\x08') + Le16(1) + "Rich" + Le16(0) + Le16(5);
    for (const std::string& s : plain) {
        d += Le16(static_cast<uint16_t>(s.size())) + std::string(1, '\0') + s;
    }
    return {0x00FC, d};
}

// A workbook of `sheets` worksheets from the new-workbook records, with 8 extra cell XFs (16..23),
// the given SST, and `first` inserted into sheet 1 after its DIMENSIONS (which `dims` replaces).
std::vector<Rec> Crafted(int sheets, const Rec& sst, const Rec& dims, const std::vector<Rec>& first,
                         const std::vector<Rec>& beforeDims = {}) {
    std::vector<Rec> in = ParseRecords(BuildNewWorkbookStream(2000, sheets));
    std::vector<Rec> out;
    int sheet = -1;
    int lastXf = -1;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i].id == 0x0809) {
            ++sheet;
        }
        if (in[i].id == 0x00E0) {
            lastXf = static_cast<int>(out.size());
        }
        if (in[i].id == 0x00FC) {
            out.push_back(sst);
            continue;
        }
        if (in[i].id == 0x00FF) {
            continue;  // a stale EXTSST would only confuse; the layer rebuilds it anyway
        }
        if (sheet == 1 && in[i].id == 0x0200) {
            out.insert(out.end(), beforeDims.begin(), beforeDims.end());
            out.push_back(dims);
            out.insert(out.end(), first.begin(), first.end());
            continue;
        }
        out.push_back(in[i]);
        if (in[i].id == 0x00E0 && i + 1 < in.size() && in[i + 1].id != 0x00E0) {
            for (int k = 0; k < 8; ++k) {
                out.push_back(in[i]);  // cell XFs 16..23, copies of XF 15
            }
        }
    }
    (void)lastXf;
    return out;
}

// The records of sheet `n` (0-based) of a workbook stream.
std::vector<Rec> SheetRecords(const std::string& stream, int n) {
    std::vector<Rec> all = ParseRecords(stream);
    std::vector<Rec> out;
    int sheet = -2;  // the globals come first
    int depth = 0;
    for (const Rec& r : all) {
        if (r.id == 0x0809 && depth == 0) {
            ++sheet;
        }
        depth += r.id == 0x0809 ? 1 : r.id == 0x000A ? -1 : 0;
        if (sheet == n) {
            out.push_back(r);
        }
    }
    return out;
}

uint16_t XfOfCellAt(const std::string& stream, int sheet, uint16_t row, uint16_t col) {
    for (const Rec& r : SheetRecords(stream, sheet)) {
        if ((r.id == 0x00FD || r.id == 0x0203 || r.id == 0x027E) && r.data.size() >= 6 &&
            static_cast<uint8_t>(r.data[0]) + 256 * static_cast<uint8_t>(r.data[1]) == row &&
            static_cast<uint8_t>(r.data[2]) + 256 * static_cast<uint8_t>(r.data[3]) == col) {
            return static_cast<uint16_t>(static_cast<uint8_t>(r.data[4]) +
                                         256 * static_cast<uint8_t>(r.data[5]));
        }
    }
    return 0xFFFF;
}

struct Recorded {
    std::vector<std::string> Errors;
    Workbook::ErrorHandler Handler() {
        return [this](const std::string& e) { Errors.push_back(e); };
    }
};

FreeXlBook ReadBack(const std::string& path) {
    FreeXlBook book;
    std::string why;
    EXPECT_TRUE(ReadWithFreeXl(path, book, why)) << why;
    EXPECT_EQ(CheckStructure(path), "");
    return book;
}

}  // namespace

TEST(WorkbookLayer, NewWorkbookOfEachVersionCodeIsBiff8WithTwentySheets) {
    TempFolder dir;
    for (int code : {97, 2000, 2002, 2003}) {
        SCOPED_TRACE(code);
        const std::string path = dir / (std::to_string(code) + ".xls");
        Workbook book;
        ASSERT_TRUE(book.Create(path, code, 20));
        EXPECT_EQ(book.SheetCount(), 20);
        ASSERT_TRUE(book.SetCurrentSheet(19));
        int32_t last = 5;
        ASSERT_TRUE(book.LastUsedRow(last));
        EXPECT_EQ(last, -1);
        ASSERT_TRUE(book.SetCellText("T65536", "last"));
        ASSERT_TRUE(book.SetCurrentSheet(0));
        ASSERT_TRUE(book.SetCellText("A1", "first"));
        ASSERT_TRUE(book.Close());
        EXPECT_FALSE(book.IsOpen());

        const FreeXlBook read = ReadBack(path);
        ASSERT_EQ(read.Sheets.size(), 20u);
        EXPECT_EQ(read.SheetNames[0], "Sheet1");
        EXPECT_EQ(read.SheetNames[19], "Sheet20");
        EXPECT_EQ(read.Sheets[0].at({0, 0}), "first");
        EXPECT_EQ(read.Sheets[19].at({65535, 19}), "last");

        const std::vector<Rec> records = ParseRecords(WorkbookStream(path));
        ASSERT_EQ(records[0].id, 0x0809);
        EXPECT_EQ(records[0].data.substr(0, 2), Le16(0x0600));
        const int expected = code == 97 ? 0 : code == 2000 ? 1 : code == 2002 ? 2 : 3;
        EXPECT_EQ((static_cast<uint8_t>(records[0].data[13]) & 0x0F), expected);  // last saved by
        const auto streams = ReadOleStreams(path);
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_GT(streams[0].second.size(), 4096u);
    }
}

TEST(WorkbookLayer, TextsRoundTripInEightBitAndSixteenBitForm) {
    TempFolder dir;
    const std::string path = dir / "t.xls";
    const std::vector<std::string> texts = {"abc",  "café", "日本語ﾃｽﾄ", "𝄞 clef", "\"quoted\",comma",
                                            " lead"};
    {
        Workbook book;
        ASSERT_TRUE(book.Create(path, 2000, 3));
        for (size_t i = 0; i < texts.size(); ++i) {
            ASSERT_TRUE(book.SetCellText("B" + std::to_string(i + 2), texts[i]));
        }
        ASSERT_TRUE(book.SetCellText("C1", ""));  // empty text: no cell
        ASSERT_TRUE(book.Close());
    }
    const FreeXlBook read = ReadBack(path);
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(read.Sheets[0].at({static_cast<unsigned>(i + 1), 1}), texts[i]);
    }
    EXPECT_EQ(read.Sheets[0].count({0, 2}), 0u);
    const std::string stream = WorkbookStream(path);
    EXPECT_NE(stream.find(std::string("\x04\x00\x00"
                                      "caf\xE9",
                                      7)),
              std::string::npos)
        << "8-bit form expected";

    Workbook again;
    ASSERT_TRUE(again.Open(path));
    int32_t last = 0;
    ASSERT_TRUE(again.LastUsedRow(last));
    EXPECT_EQ(last, static_cast<int32_t>(texts.size()));
}

TEST(WorkbookLayer, LargeStringTableCrossesContinueRecordsBothWays) {
    TempFolder dir;
    const std::string path = dir / "big.xls";
    auto text = [](int i) {
        std::string s = "行" + std::to_string(i) + "：";
        while (s.size() < 180) {
            s += "データ";
        }
        return s;
    };
    {
        Workbook book;
        ASSERT_TRUE(book.Create(path, 2003, 1));
        for (int i = 0; i < 3000; ++i) {
            ASSERT_TRUE(book.SetCellText("A" + std::to_string(i + 1), text(i)));
            ASSERT_TRUE(
                book.SetCellText("B" + std::to_string(i + 1), i % 2 ? "same" : "x" + std::to_string(i)));
        }
        ASSERT_TRUE(book.Close());
    }
    const std::vector<Rec> records = ParseRecords(WorkbookStream(path));
    EXPECT_GT(std::count_if(records.begin(), records.end(), [](const Rec& r) { return r.id == 0x003C; }), 10);

    // Reading the split table back and writing it again must keep every string.
    {
        Workbook book;
        ASSERT_TRUE(book.Open(path));
        ASSERT_TRUE(book.SetCellText("C1", "added"));
        ASSERT_TRUE(book.Close());
    }
    const FreeXlBook read = ReadBack(path);
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(read.Sheets[0].at({static_cast<unsigned>(i), 0}), text(i)) << i;
        ASSERT_EQ(read.Sheets[0].at({static_cast<unsigned>(i), 1}), i % 2 ? "same" : "x" + std::to_string(i));
    }
    EXPECT_EQ(read.Sheets[0].at({0, 2}), "added");
}

// The EXTSST bucket size around the counts where 16 bits run out: no wrap to 0, the record always holds
// its buckets (at most 1027 after the size), and a count beyond that cannot be indexed.
TEST(WorkbookLayer, StringIndexBucketSizeNeverWraps) {
    const struct {
        size_t Count;
        uint16_t Size;
    } rows[] = {{0, 8},           {1024, 8},        {1025, 9},         {8388480, 65535},
                {8388481, 65535}, {8388608, 65535}, {67304445, 65535}, {67304446, 0}};
    for (const auto& row : rows) {
        const uint16_t size = SharedStrings::BucketSize(row.Count);
        EXPECT_EQ(size, row.Size) << row.Count;
        if (size != 0) {
            EXPECT_LE(2 + 8 * ((row.Count + size - 1) / size), 8224u) << row.Count;
        }
    }
}

TEST(WorkbookLayer, LastUsedRowCountsValueCellsNotBlanksOrDimensions) {
    TempFolder dir;
    const std::string path = dir / "in.xls";
    WriteOle(path, {{"Workbook", Serialize(Crafted(2, Sst({}), Dimensions(40, 8),
                                                   {Row(2, 0x0100, 15), Number(2, 1, 15, 7.5),
                                                    Row(30, 0x0100, 15), MulBlank(30, 0, {16, 17, 18})}))}});
    Workbook book;
    ASSERT_TRUE(book.Open(path));
    int32_t last = -7;
    ASSERT_TRUE(book.LastUsedRow(last));
    EXPECT_EQ(last, 2);
    ASSERT_TRUE(book.SetCurrentSheet(1));
    ASSERT_TRUE(book.LastUsedRow(last));
    EXPECT_EQ(last, -1);
    ASSERT_TRUE(book.SetCurrentSheet(0));
    ASSERT_TRUE(book.SetCellText("B31", "over a formatted blank"));
    ASSERT_TRUE(book.LastUsedRow(last));
    EXPECT_EQ(last, 30);
    ASSERT_TRUE(book.Close());
    const FreeXlBook read = ReadBack(path);
    EXPECT_EQ(read.Sheets[0].at({2, 1}), "7.5");
    EXPECT_EQ(read.Sheets[0].at({30, 1}), "over a formatted blank");
    EXPECT_EQ(XfOfCellAt(WorkbookStream(path), 0, 30, 1), 17);  // the blank's format carried over
}

TEST(WorkbookLayer, ExistingCellsSurviveAndWritingIntoMulRkSplitsIt) {
    TempFolder dir;
    const std::string path = dir / "in.xls";
    const std::string formula = std::string("\x1E\x01\x00\x1E\x02\x00\x03", 7);  // =1+2
    const Rec formulaRecord = Formula(3, 0, formula, 3.0);
    WriteOle(path,
             {{"Workbook", Serialize(Crafted(2, Sst({"Keep"}), Dimensions(10, 4),
                                             {Row(0, 0x0100, 15), Row(1, 0x0100, 15), Row(3, 0x0100, 15),
                                              MulRk(0, 0, {{16, 1}, {17, 2}, {18, 3}}), LabelSst(1, 0, 15, 1),
                                              formulaRecord}))},
              {"\x05SummaryInformation", std::string(200, '\x11')},
              {"\x01CompObj", std::string(120, '\x22')}});
    const std::vector<Rec> sheet2Before = SheetRecords(WorkbookStream(path), 1);

    Workbook book;
    ASSERT_TRUE(book.Open(path));
    ASSERT_TRUE(book.SetCellText("B1", "new"));
    ASSERT_TRUE(book.SetCellText("E12", "beyond the old dimensions"));
    ASSERT_TRUE(book.Close());

    const FreeXlBook read = ReadBack(path);
    EXPECT_EQ(read.Sheets[0].at({0, 0}), "1");
    EXPECT_EQ(read.Sheets[0].at({0, 1}), "new");
    EXPECT_EQ(read.Sheets[0].at({0, 2}), "3");
    EXPECT_EQ(read.Sheets[0].at({1, 0}), "Keep");
    EXPECT_EQ(read.Sheets[0].at({11, 4}), "beyond the old dimensions");
    const std::string stream = WorkbookStream(path);
    EXPECT_EQ(XfOfCellAt(stream, 0, 0, 1), 17);
    EXPECT_EQ(XfOfCellAt(stream, 0, 0, 2), 18);
    EXPECT_NE(stream.find(Le16(0x0006) + Le16(static_cast<uint16_t>(formulaRecord.data.size())) +
                          formulaRecord.data),
              std::string::npos)
        << "formula record must pass through unchanged";
    // The formatting run of the first shared string survives the rebuilt table.
    const std::vector<Rec> records = ParseRecords(stream);
    const auto sst =
        std::find_if(records.begin(), records.end(), [](const Rec& r) { return r.id == 0x00FC; });
    ASSERT_NE(sst, records.end());
    EXPECT_EQ(sst->data.substr(8, 7), Le16(4) + std::string(1, '\x08') + Le16(1) + "Ri");

    // The untouched sheet passes through record for record (its INDEX is recomputed).
    std::vector<Rec> sheet2After = SheetRecords(stream, 1);
    ASSERT_EQ(sheet2After.size(), sheet2Before.size());
    for (size_t i = 0; i < sheet2After.size(); ++i) {
        if (sheet2After[i].id != 0x020B) {
            EXPECT_EQ(sheet2After[i].data, sheet2Before[i].data) << i;
        }
    }
    // Other streams keep their names and bytes.
    const auto streams = ReadOleStreams(path);
    int others = 0;
    for (const auto& [name, data] : streams) {
        if (name == "\x05SummaryInformation") {
            EXPECT_EQ(data, std::string(200, '\x11'));
            ++others;
        }
        if (name == "\x01CompObj") {
            EXPECT_EQ(data, std::string(120, '\x22'));
            ++others;
        }
    }
    EXPECT_EQ(others, 2);
}

TEST(WorkbookLayer, MacroStorageKeepsItsClassIdAndStreams) {
    TempFolder dir;
    const std::string path = dir / "macro.xls";
    std::string classId;
    for (int i = 0; i < 16; ++i) {
        classId.push_back(static_cast<char>(0xA0 + i));
    }
    const std::vector<std::pair<std::string, std::string>> project = {
        {"PROJECT", "ID=\"{00000000}\"\r\n"}, {"\x03VBA_PROJECT", std::string(5000, '\x07')}};
    WriteOleWithStorage(path, {{"WORKBOOK", Serialize(Crafted(1, Sst({}), Dimensions(0, 0), {}))}},
                        "_VBA_PROJECT_CUR", classId, project);
    Workbook book;
    ASSERT_TRUE(book.Open(path));  // the stream name is matched without regard to case
    ASSERT_TRUE(book.SetCellText("A1", "x"));
    ASSERT_TRUE(book.Close());

    std::string classAfter;
    std::vector<std::pair<std::string, std::string>> after;
    ASSERT_TRUE(ReadOleStorage(path, "_VBA_PROJECT_CUR", classAfter, after));
    EXPECT_EQ(classAfter, classId);
    std::sort(after.begin(), after.end());
    std::vector<std::pair<std::string, std::string>> expected = project;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(after, expected);
    const auto streams = ReadOleStreams(path);
    EXPECT_TRUE(
        std::any_of(streams.begin(), streams.end(), [](const auto& s) { return s.first == "WORKBOOK"; }));
}

TEST(WorkbookLayer, NewTextTakesFormatOfReplacedCellThenRowThenColumn) {
    TempFolder dir;
    const std::string path = dir / "in.xls";
    WriteOle(path,
             {{"Workbook", Serialize(Crafted(1, Sst({}), Dimensions(10, 6),
                                             {Row(4, 0x0180, 20), Row(6, 0x0100, 15), Number(6, 0, 22, 1)},
                                             {ColInfo(3, 4, 21)}))}});
    Workbook book;
    ASSERT_TRUE(book.Open(path));
    for (const char* ref : {"E5", "D8", "A7", "F9", "E9"}) {
        ASSERT_TRUE(book.SetCellText(ref, "x"));
    }
    ASSERT_TRUE(book.Close());
    const std::string stream = WorkbookStream(path);
    struct Case {
        uint16_t Row, Col, Xf;
    };
    for (const Case& c : {Case{4, 4, 20}, Case{7, 3, 21}, Case{6, 0, 22}, Case{8, 5, 15}, Case{8, 4, 21}}) {
        EXPECT_EQ(XfOfCellAt(stream, 0, c.Row, c.Col), c.Xf) << c.Row << "," << c.Col;
    }
    ReadBack(path);
}

TEST(WorkbookLayer, AnchorOfSharedFormulaIsNotOverwritten) {
    TempFolder dir;
    const std::string path = dir / "in.xls";
    const std::string exp = std::string("\x01", 1) + Le16(0) + Le16(0);  // PtgExp to A1
    const std::string shared = Le16(0) + Le16(1) + std::string("\x00\x00\x00\x02", 4) + Le16(3) +
                               std::string("\x1E\x05\x00", 3);  // A1:A2, =5
    WriteOle(path,
             {{"Workbook", Serialize(Crafted(1, Sst({}), Dimensions(2, 1),
                                             {Row(0, 0x0100, 15), Row(1, 0x0100, 15), Formula(0, 0, exp, 5),
                                              Rec{0x04BC, shared}, Formula(1, 0, exp, 5)}))}});
    Recorded errors;
    Workbook book(errors.Handler());
    ASSERT_TRUE(book.Open(path));
    EXPECT_FALSE(book.SetCellText("A1", "x"));
    ASSERT_EQ(errors.Errors.size(), 1u);
    EXPECT_NE(errors.Errors[0].find("A1"), std::string::npos);
    EXPECT_EQ(book.LastError(), errors.Errors[0]);
    EXPECT_TRUE(book.SetCellText("A2", "member of the range"));
    EXPECT_TRUE(book.Close());
    EXPECT_EQ(CheckStructure(path), "");
}

TEST(WorkbookLayer, UnreadableFilesAreRefusedWithAClearTextAndLeftUntouched) {
    TempFolder dir;
    // A valid workbook to cut up.
    const std::string good = dir / "good.xls";
    {
        Workbook book;
        ASSERT_TRUE(book.Create(good, 2000, 2));
        ASSERT_TRUE(book.SetCellText("A1", "x"));
        ASSERT_TRUE(book.Close());
    }
    const std::string goodBytes = ReadBytes(good);
    const std::string goodStream = WorkbookStream(good);

    std::vector<Rec> encrypted = ParseRecords(goodStream);
    encrypted.insert(encrypted.begin() + 1, Rec{0x002F, Le16(1) + std::string(52, '\x5A')});
    std::vector<Rec> biff5 = ParseRecords(goodStream);
    biff5[0].data.replace(0, 2, Le16(0x0500));

    // Counts and sizes the file declares are checked against what it holds before anything relies on them.
    auto sst = [](uint32_t declared, const std::vector<std::string>& strings) {
        std::string d = Le32(declared) + Le32(declared);
        for (const std::string& s : strings) {
            d += Le16(static_cast<uint16_t>(s.size())) + std::string(1, '\0') + s;
        }
        return Rec{0x00FC, d};
    };
    // A stream whose directory entry claims 2 GiB.
    auto hugeStream = [](const std::string& path) {
        Workbook book;
        ASSERT_TRUE(book.Create(path, 2000, 1));
        ASSERT_TRUE(book.Close());
        std::string bytes = ReadBytes(path);
        const uint32_t dirSector = static_cast<uint8_t>(bytes[0x30]) | static_cast<uint8_t>(bytes[0x31]) << 8;
        const std::string name = std::string("W\0o\0r\0k\0b\0o\0o\0k\0", 16);
        const size_t entry = bytes.find(name, (dirSector + 1) * 512);
        ASSERT_NE(entry, std::string::npos);
        bytes.replace(entry + 0x78, 4, Le32(0x7FFFFFF0));
        WriteBytes(path, bytes);
    };
    struct Case {
        const char* Name;
        std::function<void(const std::string&)> Make;
        const char* Expect;
    };
    const std::vector<Case> cases = {
        {"text file", [](const std::string& p) { WriteBytes(p, "A,B,C\r\n1,2,3\r\n"); }, "OLE2"},
        {"empty file", [](const std::string& p) { WriteBytes(p, ""); }, "OLE2"},
        {"truncated compound file", [&](const std::string& p) { WriteBytes(p, goodBytes.substr(0, 1536)); },
         ""},
        {"Excel 95 book",
         [&](const std::string& p) {
             WriteOle(p, {{"Book", goodStream}});
         },
         "95"},
        {"no workbook stream",
         [&](const std::string& p) {
             WriteOle(p, {{"Other", "x"}});
         },
         "Workbook"},
        {"encrypted",
         [&](const std::string& p) {
             WriteOle(p, {{"Workbook", Serialize(encrypted)}});
         },
         "暗号"},
        {"BIFF5 records",
         [&](const std::string& p) {
             WriteOle(p, {{"Workbook", Serialize(biff5)}});
         },
         "BIFF8"},
        {"stream cut inside a record",
         [&](const std::string& p) {
             size_t content = 0;
             for (const Rec& r : ParseRecords(goodStream)) {
                 content += 4 + r.data.size();
             }
             const std::string cut = goodStream.substr(0, content - 10);
             WriteOle(p, {{"Workbook", cut}});
         },
         ""},
        {"stream cut after globals",
         [&](const std::string& p) {
             std::vector<Rec> r = ParseRecords(goodStream);
             std::vector<Rec> globals;
             for (const Rec& x : r) {
                 globals.push_back(x);
                 if (x.id == 0x000A)
                     break;
             }
             globals.push_back(r[globals.size()]);  // a lone BOF of the first sheet
             std::string s = Serialize(globals);
             WriteOle(p, {{"Workbook", s}});
         },
         ""},
        {"fewer strings declared than present",
         [&](const std::string& p) {
             WriteOle(p, {{"Workbook", Serialize(Crafted(1, sst(1, {"a", "b"}), Dimensions(1, 1),
                                                         {Row(0, 0x0100, 15), LabelSst(0, 0, 15, 1)}))}});
         },
         "文字列の数が宣言と合いません"},
        {"more strings declared than present",
         [&](const std::string& p) {
             WriteOle(p, {{"Workbook", Serialize(Crafted(1, sst(3, {"a", "b"}), Dimensions(1, 1),
                                                         {Row(0, 0x0100, 15), LabelSst(0, 0, 15, 1)}))}});
         },
         "共有文字列表が壊れています"},
        {"a cell naming a string beyond the table",
         [&](const std::string& p) {
             WriteOle(p, {{"Workbook", Serialize(Crafted(1, sst(2, {"a", "b"}), Dimensions(1, 1),
                                                         {Row(0, 0x0100, 15), LabelSst(0, 0, 15, 2)}))}});
         },
         "共有文字列表にない文字列"},
        {"a stream declared larger than the file", hugeStream, "Workbook"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = dir / "bad.xls";
        c.Make(path);
        const std::string before = ReadBytes(path);
        Recorded errors;
        Workbook book(errors.Handler());
        EXPECT_FALSE(book.Open(path));
        ASSERT_EQ(errors.Errors.size(), 1u);
        EXPECT_NE(errors.Errors[0].find(path), std::string::npos) << errors.Errors[0];
        EXPECT_NE(errors.Errors[0].find(c.Expect), std::string::npos) << errors.Errors[0];
        EXPECT_FALSE(book.IsOpen());
        EXPECT_TRUE(book.Close());  // nothing open: nothing written
        EXPECT_EQ(ReadBytes(path), before);
    }
}

TEST(WorkbookLayer, TemplateIsOnlyReadAndFailedSaveLeavesNoFile) {
    TempFolder dir;
    const std::string tpl = dir / "tpl.xls";
    {
        Workbook book;
        ASSERT_TRUE(book.Create(tpl, 97, 1));
        ASSERT_TRUE(book.SetCellText("A1", "template"));
        ASSERT_TRUE(book.Close());
    }
    const std::string tplBytes = ReadBytes(tpl);
    const std::string out = dir / "out.xls";
    {
        Workbook book;
        ASSERT_TRUE(book.Open(out, tpl));
        ASSERT_TRUE(book.SetCellText("A2", "data"));
        ASSERT_TRUE(book.Close());
    }
    EXPECT_EQ(ReadBytes(tpl), tplBytes);
    const FreeXlBook read = ReadBack(out);
    EXPECT_EQ(read.Sheets[0].at({0, 0}), "template");
    EXPECT_EQ(read.Sheets[0].at({1, 0}), "data");

    Recorded errors;
    Workbook book(errors.Handler());
    const std::string nowhere = dir / "missing-folder/out.xls";
    ASSERT_TRUE(book.Create(nowhere, 2000, 1));
    EXPECT_FALSE(book.Close());
    ASSERT_EQ(errors.Errors.size(), 1u);
    EXPECT_NE(errors.Errors[0].find(nowhere), std::string::npos);
    EXPECT_FALSE(book.IsOpen());
    EXPECT_EQ(std::count_if(std::filesystem::directory_iterator(dir.Path()), {}, [](auto&) { return true; }),
              2);
}

TEST(WorkbookLayer, OperationsOutsideTheWorkbookFail) {
    TempFolder dir;
    Recorded errors;
    Workbook book(errors.Handler());
    EXPECT_FALSE(book.SetCurrentSheet(0));  // nothing open
    ASSERT_TRUE(book.Create(dir / "a.xls", 2000, 3));
    EXPECT_FALSE(book.SetCurrentSheet(3));
    EXPECT_FALSE(book.SetCurrentSheet(-1));
    EXPECT_EQ(book.CurrentSheet(), 0);
    EXPECT_FALSE(book.SetCellText("A65537", "x"));
    EXPECT_FALSE(book.SetCellText("1A", "x"));
    EXPECT_FALSE(book.SetCellText("A1", std::string(32768, 'x')));
    EXPECT_TRUE(book.SetCellText("A1", std::string(32767, 'x')));
    EXPECT_EQ(errors.Errors.size(), 6u);
    EXPECT_TRUE(book.Close());
}

TEST(WorkbookLayer, CellReferencesParseA1Style) {
    struct Case {
        const char* Ref;
        bool Ok;
        uint32_t Row;
        uint16_t Col;
    };
    for (const Case& c :
         {Case{"A1", true, 0, 0}, Case{"T20", true, 19, 19}, Case{"iv65536", true, 65535, 255},
          Case{"IW1", false, 0, 0}, Case{"A0", false, 0, 0}, Case{"A65537", false, 0, 0},
          Case{"A", false, 0, 0}, Case{"12", false, 0, 0}, Case{"A1 ", false, 0, 0}, Case{"", false, 0, 0},
          Case{"A99999999999", false, 0, 0}}) {
        uint32_t row = 0;
        uint16_t col = 0;
        EXPECT_EQ(ParseCellReference(c.Ref, row, col), c.Ok) << c.Ref;
        if (c.Ok) {
            EXPECT_EQ(row, c.Row) << c.Ref;
            EXPECT_EQ(col, c.Col) << c.Ref;
        }
    }
}

TEST(WorkbookLayer, RowBlocksAreIndexedAcrossTheWholeSheet) {
    TempFolder dir;
    const std::string path = dir / "rows.xls";
    Workbook book;
    ASSERT_TRUE(book.Create(path, 2000, 1));
    for (int r = 1; r <= 100; ++r) {
        ASSERT_TRUE(book.SetCellText("C" + std::to_string(r), std::to_string(r)));
    }
    ASSERT_TRUE(book.SetCellText("A40000", "far"));
    ASSERT_TRUE(book.Close());
    const FreeXlBook read = ReadBack(path);
    EXPECT_EQ(read.Sheets[0].at({99, 2}), "100");
    EXPECT_EQ(read.Sheets[0].at({39999, 0}), "far");
    for (const Rec& r : SheetRecords(WorkbookStream(path), 0)) {
        if (r.id == 0x020B) {
            EXPECT_EQ(r.data.size(), 16u + 4 * 5);  // rows 0-31, 32-63, 64-95, 96-99, 39999
        }
    }
}

// Damaged workbook streams (bytes overwritten at random, deterministic seed) are either refused or
// opened, extended and saved; they never crash the layer, and a refused file is not written.
TEST(WorkbookLayer, DamagedStreamsAreRefusedOrHandledWithoutCrashing) {
    TempFolder dir;
    const std::string clean =
        Serialize(Crafted(2, Sst({"alpha", "beta"}), Dimensions(40, 8),
                          {Row(0, 0x0100, 15), MulRk(0, 0, {{16, 1}, {17, 2}}), LabelSst(0, 3, 15, 1),
                           Row(30, 0x0180, 18), MulBlank(30, 0, {16, 17}), Number(31, 2, 15, 4.25)}));
    size_t content = 0;
    for (const Rec& r : ParseRecords(clean)) {
        content += 4 + r.data.size();
    }
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    int opened = 0;
    for (int round = 0; round < 400; ++round) {
        std::string damaged = clean;
        const int flips = 1 + static_cast<int>(next() % 4);
        for (int f = 0; f < flips; ++f) {
            damaged[next() % content] = static_cast<char>(next() & 0xFF);
        }
        const std::string path = dir / "damaged.xls";
        WriteOle(path, {{"Workbook", damaged}});
        const std::string before = ReadBytes(path);
        Workbook book;
        if (!book.Open(path)) {
            EXPECT_FALSE(book.LastError().empty());
            EXPECT_EQ(ReadBytes(path), before);
            continue;
        }
        ++opened;
        int32_t last = 0;
        for (int s = 0; s < book.SheetCount(); ++s) {
            if (book.SetCurrentSheet(s) && book.LastUsedRow(last)) {
                book.SetCellText("B" + std::to_string(last + 2), "added");
                book.SetCellText("A1", "over");
            }
        }
        book.Close();
    }
    EXPECT_GT(opened, 0);
}

// New cells need a cell format (XF) that exists: format 15 when it is a cell format, else the book's
// first cell format, else one added to the book.
TEST(WorkbookLayer, NewCellsTakeACellFormatTheBookHas) {
    TempFolder dir;
    const std::string path = dir / "xf.xls";
    auto setStyleBit = [](std::vector<Rec>& records, int from, int to) {
        int xf = 0;
        for (Rec& r : records) {
            if (r.id == 0x00E0) {
                if (xf >= from && xf <= to) {
                    r.data[4] = static_cast<char>(r.data[4] | 0x04);
                }
                ++xf;
            }
        }
        return xf;
    };
    struct Case {
        const char* Name;
        int StyleFrom, StyleTo;  // XFs made style formats
        uint16_t Expected;
    };
    for (const Case& c :
         {Case{"format 15 is a cell format", 0, 14, 15}, Case{"format 15 is a style format", 0, 15, 16},
          Case{"no cell format at all", 0, 23, 24}}) {
        SCOPED_TRACE(c.Name);
        std::vector<Rec> records = Crafted(1, Sst({}), Dimensions(0, 0), {});
        const int count = setStyleBit(records, c.StyleFrom, c.StyleTo);
        ASSERT_EQ(count, 24);
        WriteOle(path, {{"Workbook", Serialize(records)}});
        Workbook book;
        ASSERT_TRUE(book.Open(path));
        ASSERT_TRUE(book.SetCellText("B2", "x"));
        ASSERT_TRUE(book.Close());
        const std::string stream = WorkbookStream(path);
        EXPECT_EQ(XfOfCellAt(stream, 0, 1, 1), c.Expected);
        std::vector<Rec> xfs;
        for (const Rec& r : ParseRecords(stream)) {
            if (r.id == 0x00E0) {
                xfs.push_back(r);
            }
        }
        ASSERT_GT(xfs.size(), c.Expected);
        EXPECT_EQ(xfs[c.Expected].data[4] & 0x04, 0) << "not a cell format";
        EXPECT_EQ(ReadBack(path).Sheets[0].at({1, 1}), "x");
    }
}

// DBCELL holds 16-bit offsets from one row's cells to the next row's. A row of up to 64 KiB is indexed
// exactly; a larger one is refused with the row's number, never written with a cut offset.
TEST(WorkbookLayer, RowsTooLargeForTheRowIndexAreRefusedNotCut) {
    TempFolder dir;
    auto label = [](uint16_t row, uint16_t col, size_t chars) {
        return Rec{0x0204, Cell(row, col, 15) + Le16(static_cast<uint16_t>(chars)) + std::string(1, '\0') +
                               std::string(chars, 'w')};
    };
    struct Case {
        const char* Name;
        size_t CharsPerCell;  // 200 cells of LABEL records in row 1
        bool Fits;
    };
    // 200 cells of 4 + 9 + n bytes: n = 314 gives 65,400 bytes, n = 400 gives 82,600.
    for (const Case& c : {Case{"just under 64 KiB", 314, true}, Case{"above 64 KiB", 400, false}}) {
        SCOPED_TRACE(c.Name);
        std::vector<Rec> rows = {Row(0, 0x0100, 15), Row(1, 0x0100, 15)};
        for (uint16_t col = 0; col < 200; ++col) {
            rows.push_back(label(0, col, c.CharsPerCell));
        }
        rows.push_back(label(1, 0, 3));
        const std::string path = dir / "wide.xls";
        WriteOle(path, {{"Workbook", Serialize(Crafted(1, Sst({}), Dimensions(2, 200), rows))}});
        const std::string before = ReadBytes(path);
        Recorded errors;
        Workbook book(errors.Handler());
        ASSERT_TRUE(book.Open(path));
        ASSERT_TRUE(book.SetCellText("A3", "x"));
        EXPECT_EQ(book.Close(), c.Fits);
        if (c.Fits) {
            EXPECT_EQ(CheckStructure(path), "");
            // The offset to row 2's cells spans all of row 1's.
            for (const Rec& r : SheetRecords(WorkbookStream(path), 0)) {
                if (r.id == 0x00D7) {
                    const std::string& d = r.data;
                    const size_t second = static_cast<uint8_t>(d[6]) | static_cast<uint8_t>(d[7]) << 8;
                    EXPECT_EQ(second, 200 * (4 + 9 + c.CharsPerCell));
                }
            }
        } else {
            ASSERT_EQ(errors.Errors.size(), 1u);
            EXPECT_NE(errors.Errors[0].find("行 1 のデータが大きすぎて索引を作れません"), std::string::npos)
                << errors.Errors[0];
            EXPECT_TRUE(ReadBytes(path) == before);
        }
    }
}
