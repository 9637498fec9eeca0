#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "codec/text_encoding.h"
#include "output/workbook/workbook.h"
#include "stores/store_table.h"
#include "support/recording_operator_view.h"
#include "xls_fixture.h"

using namespace xlstest;

namespace {

const std::string kFailurePrefix = "XLSﾌｧｲﾙ書込ｴﾗｰ : ";

// The workbook store of .xls books; WorkbookStoreEitherFormat runs a test for .xls and .xlsx alike.
class SaveAsXlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        WorkbookStoreSettings(dir, 1, settings, run);
        if (xlsx) {
            settings.XlsType = kXlsTypeXlsx;
            run.OutputPath = dir / "T01.xlsx";
        }
    }

    // The backup file as the upload writes it: CP932 bytes, CR LF after every line.
    void Backup(const std::vector<std::string>& utf8Lines) {
        std::string bytes;
        for (const std::string& line : utf8Lines) {
            bytes += Utf8ToCp932(line) + "\r\n";
        }
        WriteBytes(settings.BackFilePath, bytes);
    }

    bool Save() {
        view = RecordingOperatorView{};
        return StoreFor(settings)->Save(settings, run, view);
    }

    // The book as FreeXL reads an .xls (its structure checked) and openpyxl an .xlsx.
    FreeXlBook Read(const std::string& path) {
        FreeXlBook book;
        std::string why;
        EXPECT_TRUE(xlsx ? ReadWithOpenpyxl(path, book, why) : ReadWithFreeXl(path, book, why)) << why;
        EXPECT_EQ(xlsx ? "" : CheckStructure(path), "");
        return book;
    }

    // Asserts the failure exit: one message box and one status line with the same text.
    void ExpectFailureExit(const std::string& detailPart) {
        ASSERT_EQ(view.Messages.size(), 1u);
        const std::string& text = view.Messages[0].Text;
        EXPECT_EQ(text.rfind(kFailurePrefix, 0), 0u) << text;
        EXPECT_NE(text.find(detailPart), std::string::npos) << text;
        EXPECT_EQ(view.Messages[0].Title, kAppTitle);
        ASSERT_EQ(view.StatusCalls.size(), 1u);
        EXPECT_TRUE(view.StatusCalls[0].Append);
        EXPECT_EQ(view.StatusCalls[0].Text, text);
        EXPECT_FALSE(view.Busy);
    }

    bool xlsx = false;
    TempFolder dir;
    SettingsRecord settings;
    RunState run;
    RecordingOperatorView view;
};

class WorkbookStoreEitherFormat : public SaveAsXlsTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        xlsx = GetParam();
        SaveAsXlsTest::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(Formats, WorkbookStoreEitherFormat, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "xlsx" : "xls";
                         });

}  // namespace

// Both formats: a new book, the next upload below the rows there, then from row 1 over them, always text.
TEST_P(WorkbookStoreEitherFormat, NewWorkbookThenAppendBelowThenOverwriteFromRowOne) {
    settings.XlsType = xlsx ? kXlsTypeXlsx : 2;
    Backup({"T01,ｱｲｳ,日本語", "T02,b"});
    ASSERT_TRUE(Save());
    EXPECT_TRUE(view.Messages.empty());
    EXPECT_TRUE(view.StatusCalls.empty());
    EXPECT_FALSE(view.Busy);
    FreeXlBook book = Read(run.OutputPath);
    ASSERT_EQ(book.Sheets.size(), 20u);
    EXPECT_EQ(book.Sheets[0].at({0, 0}), "T01");
    EXPECT_EQ(book.Sheets[0].at({0, 1}), "ｱｲｳ");
    EXPECT_EQ(book.Sheets[0].at({0, 2}), "日本語");
    EXPECT_EQ(book.Sheets[0].at({1, 1}), "b");
    if (!xlsx) {
        const std::vector<Rec> records = ParseRecords(WorkbookStream(run.OutputPath));
        EXPECT_EQ(static_cast<uint8_t>(records[0].data[13]) & 0x0F, 2);  // saved as version 2002
    }

    // Next upload, start row 0: below the last used row of each worksheet.
    settings.XlsStartLine = 0;
    settings.XlsF1 = 0;
    Backup({"1,c", "2,d", "2,e"});
    ASSERT_TRUE(Save());
    book = Read(run.OutputPath);
    EXPECT_EQ(book.Sheets[0].at({2, 0}), "c");
    EXPECT_EQ(book.Sheets[1].at({0, 0}), "d");  // empty sheet 2 starts at row 1
    EXPECT_EQ(book.Sheets[1].at({1, 0}), "e");
    EXPECT_EQ(book.Sheets[0].at({0, 0}), "T01");

    // Start row 1: overwrite from the top. Texts that look like numbers or formulas stay texts.
    settings.XlsStartLine = 1;
    settings.XlsF1 = 1;
    Backup({"X,,0012,=1+1"});
    ASSERT_TRUE(Save());
    book = Read(run.OutputPath);
    EXPECT_EQ(book.Sheets[0].at({0, 0}), "X");
    EXPECT_EQ(book.Sheets[0].at({0, 1}), "0012");
    EXPECT_EQ(book.Sheets[0].at({0, 2}), "=1+1");
    EXPECT_EQ(book.Sheets[1].at({0, 0}), "d");  // cells the new record did not reach stay
    EXPECT_EQ(book.Sheets[0].at({2, 0}), "c");
}

TEST_P(WorkbookStoreEitherFormat, MissingTemplateOnlyReportsAStatusLine) {
    settings.XlsTemp = "form";
    WriteBytes(dir / "elsewhere.xls", "x");
    Backup({"a"});
    EXPECT_FALSE(Save());
    EXPECT_TRUE(view.Messages.empty());
    ASSERT_EQ(view.StatusCalls.size(), 1u);
    EXPECT_TRUE(view.StatusCalls[0].Append);
    EXPECT_EQ(view.StatusCalls[0].Text, "XLSﾃﾝﾌﾟﾚｰﾄﾌｧｲﾙが存在しません");
    EXPECT_FALSE(std::filesystem::exists(run.OutputPath));
    EXPECT_FALSE(view.Busy);
}

TEST_F(SaveAsXlsTest, TemplateRowsOneToThreeAreKeptAndDataFollowsInRowFour) {
    const std::string tpl = dir / "form.xls";
    {
        Workbook book;
        ASSERT_TRUE(book.Create(tpl, 2000, 3));
        for (int s = 0; s < 3; ++s) {
            ASSERT_TRUE(book.SetCurrentSheet(s));
            for (int r = 1; r <= 3; ++r) {
                ASSERT_TRUE(book.SetCellText("A" + std::to_string(r),
                                             "head" + std::to_string(s) + std::to_string(r)));
            }
        }
        ASSERT_TRUE(book.Close());
    }
    const std::string tplBytes = ReadBytes(tpl);
    WriteBytes(run.OutputPath, "an older output, replaced by the filled template");
    settings.XlsTemp = "form";
    settings.XlsStartLine = 0;
    settings.XlsF1 = 0;
    Backup({"1,a", "3,b", "1,c"});
    ASSERT_TRUE(Save());
    EXPECT_EQ(ReadBytes(tpl), tplBytes);
    const FreeXlBook book = Read(run.OutputPath);
    ASSERT_EQ(book.Sheets.size(), 3u);
    EXPECT_EQ(book.Sheets[0].at({2, 0}), "head03");
    EXPECT_EQ(book.Sheets[0].at({3, 0}), "a");
    EXPECT_EQ(book.Sheets[0].at({4, 0}), "c");
    EXPECT_EQ(book.Sheets[2].at({3, 0}), "b");
    EXPECT_EQ(book.Sheets[1].count({3, 0}), 0u);
}

TEST_F(SaveAsXlsTest, RecordsAreLaidOutByFieldFlagsAndSheetNumbers) {
    struct Case {
        const char* Name;
        int16_t F1;
        std::vector<int> DroppedFields;
        std::vector<std::string> Lines;
        std::vector<std::vector<std::string>> Sheet1, Sheet2, Sheet3;  // rows from row 1, "" = no cell
    };
    const std::vector<Case> cases = {
        {"empty second field closes up", 1, {}, {"a,,c,d"}, {{"a", "c", "d"}}, {}, {}},
        {"dropped field takes no column", 1, {2}, {"a,b,c"}, {{"a", "c"}}, {}, {}},
        {"empty record consumes a row", 1, {}, {"x", "", "y"}, {{"x"}, {}, {"y"}}, {}, {}},
        {"all flags 0 still consume rows", 1, {1, 2, 3}, {"a,b,c", "d"}, {}, {}, {}},
        {"sheet split 2,1,2", 0, {}, {"2,p,q", "1,r", "2,s"}, {{"r"}}, {{"p", "q"}, {"s"}}, {}},
        {"more than 20 fields keep 20",
         1,
         {},
         {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22"},
         {{"1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "10",
           "11", "12", "13", "14", "15", "16", "17", "18", "19", "20"}},
         {},
         {}},
        {"halves round to even",
         0,
         {},
         {"2.5,three", "1.5,one", " 2xyz,two", "+3e0,three again"},
         {{"one"}},
         {{"two"}},
         {{"three"}, {"three again"}}},
        // Without a sheet number a record belongs to worksheet 1, at worksheet 1's row.
        {"empty first field goes to sheet 1",
         0,
         {},
         {"2,a", "2,b", ",c", "2,d"},
         {{"c"}},
         {{"a"}, {"b"}, {"d"}},
         {}},
        {"quotes and commas are not special", 1, {}, {"\"a,b\",c"}, {{"\"a", "b\"", "c"}}, {}, {}},
        // Only CR LF ends a record: the wire ends lines with CR alone, so a record may hold an LF.
        {"a lone LF stays inside its record", 1, {}, {"a\nb,c", "d"}, {{"a\nb", "c"}, {"d"}}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove(run.OutputPath);
        settings.XlsF1 = c.F1;
        settings.SelectedFields.fill(1);
        for (int f : c.DroppedFields) {
            settings.SelectedFields[f - 1] = 0;
        }
        Backup(c.Lines);
        ASSERT_TRUE(Save());
        const FreeXlBook book = Read(run.OutputPath);
        const std::vector<std::vector<std::vector<std::string>>> expected = {c.Sheet1, c.Sheet2, c.Sheet3};
        for (size_t s = 0; s < book.Sheets.size(); ++s) {
            Cells want;
            if (s < expected.size()) {
                for (size_t r = 0; r < expected[s].size(); ++r) {
                    for (size_t col = 0; col < expected[s][r].size(); ++col) {
                        want[{static_cast<unsigned>(r), static_cast<unsigned>(col)}] = expected[s][r][col];
                    }
                }
            }
            EXPECT_EQ(book.Sheets[s], want) << "sheet " << s + 1;
        }
    }
}

// The failure exit drops the workbook unsaved: the rows written before the failure would be stored
// a second time when the terminal sends its records again.
TEST_P(WorkbookStoreEitherFormat, BadSheetNumbersEndInTheFailureExitAndLeaveTheWorkbookAsItWas) {
    struct Case {
        const char* Name;
        std::string Line;
    };
    settings.XlsF1 = 0;
    Backup({"1,first"});
    ASSERT_TRUE(Save());
    const std::string before = ReadBytes(run.OutputPath);
    for (const Case& c : {Case{"zero", "0,x"}, Case{"no number", "abc,x"}, Case{"negative", "-1,x"},
                          Case{"beyond 20", "21,x"}, Case{"huge", "1e30,x"}}) {
        SCOPED_TRACE(c.Name);
        Backup({"1,before", c.Line, "1,after"});
        EXPECT_FALSE(Save());
        ExpectFailureExit("");
        EXPECT_TRUE(ReadBytes(run.OutputPath) == before);
    }
    // A new workbook is not created at all.
    std::filesystem::remove(run.OutputPath);
    Backup({"1,before", "0,x"});
    EXPECT_FALSE(Save());
    // A sheet index refused by the workbook carries the workbook's text.
    ExpectFailureExit("シート番号");
    EXPECT_FALSE(std::filesystem::exists(run.OutputPath));
}

TEST_F(SaveAsXlsTest, WorkbookWithMoreThanTwentySheets) {
    {
        Workbook book;
        ASSERT_TRUE(book.Create(run.OutputPath, 2000, 22));
        ASSERT_TRUE(book.Close());
    }
    settings.XlsF1 = 0;
    settings.XlsStartLine = 5;
    Backup({"1,a", "20,b"});
    ASSERT_TRUE(Save());
    FreeXlBook book = Read(run.OutputPath);
    EXPECT_EQ(book.Sheets[0].at({4, 0}), "a");
    EXPECT_EQ(book.Sheets[19].at({4, 0}), "b");

    const std::string before = ReadBytes(run.OutputPath);
    Backup({"1,c", "21,d"});
    EXPECT_FALSE(Save());
    ExpectFailureExit("");
    EXPECT_TRUE(ReadBytes(run.OutputPath) == before);
}

TEST_F(SaveAsXlsTest, UnreadableOutputFileEndsInFailureExitAndIsLeftAlone) {
    struct Case {
        const char* Name;
        std::string Bytes;
        const char* Detail;
    };
    std::vector<Rec> encrypted;
    {
        const std::string path = dir / "good.xls";
        Workbook book;
        ASSERT_TRUE(book.Create(path, 2000, 1));
        ASSERT_TRUE(book.Close());
        encrypted = ParseRecords(WorkbookStream(path));
        encrypted.insert(encrypted.begin() + 1, Rec{0x002F, Le16(1) + std::string(52, 'k')});
        WriteOle(dir / "enc.xls", {{"Workbook", Serialize(encrypted)}});
    }
    const std::string good = ReadBytes(dir / "good.xls");
    for (const Case& c : {Case{"not a compound file", "ID;P\r\nC;Y1;X1;K\"a\"\r\nE\r\n", "OLE2"},
                          Case{"truncated", good.substr(0, good.size() / 2), run.OutputPath.c_str()},
                          Case{"encrypted", ReadBytes(dir / "enc.xls"), "暗号"}}) {
        SCOPED_TRACE(c.Name);
        WriteBytes(run.OutputPath, c.Bytes);
        Backup({"a"});
        EXPECT_FALSE(Save());
        ExpectFailureExit(c.Detail);
        EXPECT_EQ(ReadBytes(run.OutputPath), c.Bytes);
    }
}

TEST_P(WorkbookStoreEitherFormat, MissingOrUnreadableBackupFileFailsAndWritesNoWorkbook) {
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "backup path is a folder" : "no backup file");
        std::filesystem::remove(run.OutputPath);
        std::filesystem::remove_all(settings.BackFilePath);
        if (directory) {
            std::filesystem::create_directory(settings.BackFilePath);  // no regular file: refused
        }
        EXPECT_FALSE(Save());
        // The message names the backup file and the reason.
        ExpectFailureExit(settings.BackFilePath + ": " +
                          (directory ? "通常のﾌｧｲﾙではありません" : "No such file"));
        EXPECT_FALSE(std::filesystem::exists(run.OutputPath));
    }
}

TEST_F(SaveAsXlsTest, RowsBeyondTheSheetEndFail) {
    Backup({"seed"});
    ASSERT_TRUE(Save());
    const std::string before = ReadBytes(run.OutputPath);
    settings.XlsStartLine = 65535;
    Backup({"a", "b", "c"});
    EXPECT_FALSE(Save());
    ExpectFailureExit("A65537");
    EXPECT_TRUE(ReadBytes(run.OutputPath) == before);
}

TEST_F(SaveAsXlsTest, VersionCodeOfANewWorkbookFollowsXlsType) {
    // The version that last saved the file sits in the low bits of byte 13 of every BOF record.
    struct Case {
        int16_t XlsType;
        int Version;  // 0 Excel 97, 1 Excel 2000, 2 Excel 2002, 3 Excel 2003
    };
    // 4 writes .xlsx; values the settings never hold (5, -1) write what 3 does.
    for (const Case& c : {Case{0, 0}, Case{1, 1}, Case{2, 2}, Case{3, 3}, Case{5, 3}, Case{-1, 3}}) {
        SCOPED_TRACE(c.XlsType);
        std::filesystem::remove(run.OutputPath);
        settings.XlsType = c.XlsType;
        Backup({"a"});
        ASSERT_TRUE(Save());
        const std::vector<Rec> records = ParseRecords(WorkbookStream(run.OutputPath));
        int bofs = 0;
        for (const Rec& r : records) {
            if (r.id == 0x0809) {
                ++bofs;
                EXPECT_EQ(static_cast<uint8_t>(r.data[13]) & 0x0F, c.Version);
            }
        }
        EXPECT_EQ(bofs, 21);
        EXPECT_EQ(Read(run.OutputPath).Sheets[0].at({0, 0}), "a");
    }
}

TEST_F(SaveAsXlsTest, StartLineZeroSkipsASheetWhoseLastRowCannotBeRead) {
    {
        Workbook book;
        ASSERT_TRUE(book.Create(run.OutputPath, 2000, 3));
        for (const char* ref : {"A1", "A2", "A3"}) {
            ASSERT_TRUE(book.SetCellText(ref, ref));
        }
        ASSERT_TRUE(book.Close());
    }
    // Sheet 2 gets a ROW record too short to read: its last used row cannot be found.
    std::vector<Rec> records = ParseRecords(WorkbookStream(run.OutputPath));
    int bofs = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        bofs += records[i].id == 0x0809 ? 1 : 0;
        if (bofs == 3 && records[i].id == 0x0200) {
            records.insert(records.begin() + static_cast<long>(i) + 1, Rec{0x0208, Le16(0) + Le16(0)});
            break;
        }
    }
    WriteOle(run.OutputPath, {{"Workbook", Serialize(records)}});

    settings.XlsStartLine = 0;
    settings.XlsF1 = 0;
    Backup({"1,a", "3,b"});
    ASSERT_TRUE(Save());  // the failed query is not a failure of the store
    EXPECT_TRUE(view.Messages.empty());
    FreeXlBook book = Read(run.OutputPath);
    EXPECT_EQ(book.Sheets[0].at({3, 0}), "a");
    EXPECT_EQ(book.Sheets[2].at({0, 0}), "b");

    // A record for the unreadable sheet itself ends in the failure exit with the reason.
    Backup({"2,c"});
    EXPECT_FALSE(Save());
    ExpectFailureExit("ROW");
}

TEST_P(WorkbookStoreEitherFormat, AMissingCp932ConverterIsAFailedStore) {
    Backup({"T01,日本語"});
    SetCp932CharsetForTesting("NO-SUCH-CHARSET-FOR-GATHRA");
    const bool saved = Save();
    SetCp932CharsetForTesting("");
    EXPECT_FALSE(saved);
    ExpectFailureExit("文字ｺｰﾄﾞ変換(CP932)が使えません");
    EXPECT_FALSE(std::filesystem::exists(run.OutputPath));
}
