#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <zip.h>

#include "codec/text_encoding.h"
#include "stores/store_table.h"
#include "support/recording_operator_view.h"
#include "xls_fixture.h"

// A real spreadsheet program opens what Gathra writes. LibreOffice runs headless with a private
// profile; each workbook is converted once (all sheets to CSV in one go, or the whole book to .fods).

using namespace xlstest;

namespace {

using Grid = std::vector<std::vector<std::string>>;

const char* kTemplate = R"fods(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0"
 xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
 <office:automatic-styles>
  <style:style style:name="co1" style:family="table-column"><style:table-column-properties style:column-width="4cm"/></style:style>
  <style:style style:name="co2" style:family="table-column"><style:table-column-properties style:column-width="2.5cm"/></style:style>
  <style:style style:name="ce1" style:family="table-cell"><style:text-properties fo:font-weight="bold"/></style:style>
  <style:style style:name="ce2" style:family="table-cell"><style:table-cell-properties fo:background-color="#ffff00"/></style:style>
 </office:automatic-styles>
 <office:body><office:spreadsheet>
  <table:table table:name="Form">
   <table:table-column table:style-name="co1"/>
   <table:table-column table:style-name="co2" table:number-columns-repeated="4"/>
   <table:table-row>
    <table:table-cell table:style-name="ce1" office:value-type="string"><text:p>品名</text:p></table:table-cell>
    <table:table-cell table:style-name="ce2" office:value-type="string"><text:p>数量</text:p></table:table-cell>
    <table:table-cell/>
    <table:table-cell table:number-columns-spanned="2" table:number-rows-spanned="1" office:value-type="string"><text:p>merged</text:p></table:table-cell>
    <table:covered-table-cell/>
   </table:table-row>
   <table:table-row>
    <table:table-cell office:value-type="string"><text:p>りんご</text:p></table:table-cell>
    <table:table-cell office:value-type="float" office:value="3"><text:p>3</text:p></table:table-cell>
    <table:table-cell table:formula="of:=[.B2]*2" office:value-type="float" office:value="6"><text:p>6</text:p></table:table-cell>
   </table:table-row>
   <table:table-row>
    <table:table-cell office:value-type="string"><text:p>合計</text:p></table:table-cell>
    <table:table-cell table:formula="of:=SUM([.B2:.B2])" office:value-type="float" office:value="3"><text:p>3</text:p></table:table-cell>
   </table:table-row>
  </table:table>
  <table:table table:name="Second">
   <table:table-row><table:table-cell office:value-type="string"><text:p>x</text:p></table:table-cell></table:table-row>
  </table:table>
 </office:spreadsheet></office:body>
</office:document>
)fods";

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

class LibreOfficeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v soffice >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "soffice is not installed: add the Debian package libreoffice-calc-nogui to "
                            "scripts/install-deps.sh";
        }
    }

    // One LibreOffice start converting every file in `files`.
    bool Convert(const std::string& to, const std::string& outDir, const std::vector<std::string>& files) {
        std::string cmd = "timeout 400 soffice -env:UserInstallation=file://" + dir.Path() + "/profile" +
                          " --headless --norestore --convert-to " + Quote(to) + " --outdir " + Quote(outDir);
        for (const std::string& f : files) {
            cmd += " " + Quote(f);
        }
        cmd += " >" + Quote(dir / "soffice.log") + " 2>&1";
        return std::system(cmd.c_str()) == 0;
    }

    static Grid ReadCsv(const std::string& path) {
        Grid grid;
        std::string text = ReadBytes(path);
        std::vector<std::string> row;
        std::string field;
        bool quoted = false;
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (quoted) {
                if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else if (c == '"') {
                    quoted = false;
                } else {
                    field += c;
                }
            } else if (c == '"') {
                quoted = true;
            } else if (c == ',') {
                row.push_back(field);
                field.clear();
            } else if (c == '\n') {
                row.push_back(field);
                field.clear();
                grid.push_back(row);
                row.clear();
            } else if (c != '\r') {
                field += c;
            }
        }
        return grid;
    }

    static std::string At(const Grid& g, size_t row, size_t col) {
        return row < g.size() && col < g[row].size() ? g[row][col] : std::string();
    }

    static std::multiset<std::string> ColumnWidths(const std::string& fods) {
        std::multiset<std::string> widths;
        const std::regex width("style:column-width=\"([^\"]+)\"");
        for (std::sregex_iterator it(fods.begin(), fods.end(), width), end; it != end; ++it) {
            widths.insert((*it)[1]);
        }
        return widths;
    }

    TempFolder dir;
};

}  // namespace

TEST_F(LibreOfficeTest, NewAndTemplateWorkbooksOpenWithTheirContents) {
    // A template made by LibreOffice itself: formats, formulas, widths and a merged range.
    const std::string fods = dir / "form.fods";
    WriteBytes(fods, kTemplate);
    ASSERT_TRUE(Convert("xls", dir.Path(), {fods})) << ReadBytes(dir / "soffice.log");
    const std::string tpl = dir / "form.xls";
    ASSERT_TRUE(std::filesystem::exists(tpl));
    const std::string tplBytes = ReadBytes(tpl);

    SettingsRecord settings;
    settings.SaveFolder = dir.Path();
    settings.BackFilePath = dir / "Back.txt";
    settings.SelectedFields.fill(1);
    settings.SaveFormat = kSaveFormatXls;
    settings.XlsType = 1;
    RunState run;
    RecordingOperatorView view;
    auto backup = [&](const std::vector<std::string>& lines) {
        std::string bytes;
        for (const std::string& l : lines) {
            bytes += Utf8ToCp932(l) + "\r\n";
        }
        WriteBytes(settings.BackFilePath, bytes);
    };

    // Extend the template: start row 0 follows its rows, the first field picks the sheet.
    settings.XlsTemp = "form";
    settings.XlsStartLine = 0;
    settings.XlsF1 = 0;
    run.OutputPath = dir / "filled.xls";
    backup({"1,ｱｲｳ,bbb", "2,ccc", "1,日本語"});
    ASSERT_TRUE(StoreFor(settings)->Save(settings, run, view))
        << (view.Messages.empty() ? std::string() : view.Messages.back().Text);
    EXPECT_EQ(ReadBytes(tpl), tplBytes);
    EXPECT_EQ(CheckStructure(run.OutputPath), "");

    // A new workbook with 20 sheets.
    settings.XlsTemp.clear();
    settings.XlsStartLine = 1;
    run.OutputPath = dir / "fresh.xls";
    backup({"1,T01,ﾃｽﾄ", "20,last sheet", "1,\"q\",x"});
    ASSERT_TRUE(StoreFor(settings)->Save(settings, run, view))
        << (view.Messages.empty() ? std::string() : view.Messages.back().Text);
    EXPECT_EQ(CheckStructure(run.OutputPath), "");

    const std::string csvDir = dir / "csv";
    const std::string fodsDir = dir / "fods";
    ASSERT_TRUE(Convert("csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1",
                        csvDir, {dir / "filled.xls", dir / "fresh.xls"}))
        << ReadBytes(dir / "soffice.log");
    ASSERT_TRUE(Convert("fods", fodsDir, {dir / "filled.xls", tpl})) << ReadBytes(dir / "soffice.log");

    const Grid form = ReadCsv(csvDir + "/filled-Form.csv");
    EXPECT_EQ(At(form, 0, 0), "品名");
    EXPECT_EQ(At(form, 0, 3), "merged");
    EXPECT_EQ(At(form, 1, 2), "6");
    EXPECT_EQ(At(form, 2, 1), "3");
    EXPECT_EQ(At(form, 3, 0), "ｱｲｳ");
    EXPECT_EQ(At(form, 3, 1), "bbb");
    EXPECT_EQ(At(form, 4, 0), "日本語");
    const Grid second = ReadCsv(csvDir + "/filled-Second.csv");
    EXPECT_EQ(At(second, 0, 0), "x");
    EXPECT_EQ(At(second, 1, 0), "ccc");

    const Grid sheet1 = ReadCsv(csvDir + "/fresh-Sheet1.csv");
    EXPECT_EQ(At(sheet1, 0, 0), "T01");
    EXPECT_EQ(At(sheet1, 0, 1), "ﾃｽﾄ");
    EXPECT_EQ(At(sheet1, 1, 0), "\"q\"");
    EXPECT_EQ(At(sheet1, 1, 1), "x");
    EXPECT_EQ(At(ReadCsv(csvDir + "/fresh-Sheet20.csv"), 0, 0), "last sheet");
    EXPECT_TRUE(std::filesystem::exists(csvDir + "/fresh-Sheet19.csv"));

    // The template's formulas, formats, widths and merged range are still there.
    const std::string filled = ReadBytes(fodsDir + "/filled.fods");
    const std::string original = ReadBytes(fodsDir + "/form.fods");
    EXPECT_NE(filled.find("of:=[.B2]*2"), std::string::npos);
    EXPECT_NE(filled.find("of:=SUM([.B2:.B2])"), std::string::npos);
    EXPECT_NE(filled.find("table:number-columns-spanned=\"2\""), std::string::npos);
    EXPECT_NE(filled.find("fo:font-weight=\"bold\""), std::string::npos);
    EXPECT_NE(filled.find("fo:background-color=\"#ffff00\""), std::string::npos);
    EXPECT_EQ(ColumnWidths(filled), ColumnWidths(original));
}

namespace {

// The entries of two archives that differ (method, CRC, compressed bytes), other than `skip`.
std::vector<std::string> ChangedEntries(const std::string& before, const std::string& after,
                                        const std::set<std::string>& skip) {
    std::vector<std::string> changed;
    zip_t* a = zip_open(before.c_str(), ZIP_RDONLY, nullptr);
    zip_t* b = zip_open(after.c_str(), ZIP_RDONLY, nullptr);
    auto raw = [](zip_t* z, zip_int64_t i, zip_stat_t& st) {
        std::string bytes;
        zip_stat_index(z, static_cast<zip_uint64_t>(i), 0, &st);
        bytes.resize(st.comp_size);
        zip_file_t* f = zip_fopen_index(z, static_cast<zip_uint64_t>(i), ZIP_FL_COMPRESSED);
        if (f == nullptr ||
            zip_fread(f, bytes.data(), bytes.size()) != static_cast<zip_int64_t>(bytes.size())) {
            bytes = "?";
        }
        zip_fclose(f);
        return bytes;
    };
    for (zip_int64_t i = 0; a != nullptr && b != nullptr && i < zip_get_num_entries(a, 0); ++i) {
        const std::string name = zip_get_name(a, static_cast<zip_uint64_t>(i), 0);
        const zip_int64_t j = zip_name_locate(b, name.c_str(), 0);
        zip_stat_t sa, sb;
        if (skip.count(name) == 0 && (j < 0 || raw(a, i, sa) != raw(b, j, sb) ||
                                      sa.comp_method != sb.comp_method || sa.crc != sb.crc)) {
            changed.push_back(name);
        }
    }
    zip_close(a);
    zip_close(b);
    return changed;
}

}  // namespace

// The same for .xlsx: a LibreOffice-made template filled (its other parts copied as they were), a new
// book, and texts that need escapes read back exactly.
TEST_F(LibreOfficeTest, XlsxTemplateAndNewBooksReadBackExactly) {
    const std::string fods = dir / "form.fods";
    WriteBytes(fods, kTemplate);
    ASSERT_TRUE(Convert("xlsx", dir.Path(), {fods})) << ReadBytes(dir / "soffice.log");
    const std::string tpl = dir / "form.xlsx";
    const std::string tplBytes = ReadBytes(tpl);

    SettingsRecord settings;
    settings.SaveFolder = dir.Path();
    settings.BackFilePath = dir / "Back.txt";
    settings.SelectedFields.fill(1);
    settings.SaveFormat = kSaveFormatXls;
    settings.XlsType = kXlsTypeXlsx;
    RunState run;
    RecordingOperatorView view;
    auto backup = [&](const std::vector<std::string>& lines) {
        std::string bytes;
        for (const std::string& l : lines) {
            bytes += Utf8ToCp932(l) + "\r\n";
        }
        WriteBytes(settings.BackFilePath, bytes);
    };

    settings.XlsTemp = "form";
    settings.XlsStartLine = 0;
    settings.XlsF1 = 0;
    run.OutputPath = dir / "filled.xlsx";
    backup({"1,ｱｲｳ,bbb", "2,ccc", "1,日本語"});
    ASSERT_TRUE(StoreFor(settings)->Save(settings, run, view))
        << (view.Messages.empty() ? std::string() : view.Messages.back().Text);
    EXPECT_EQ(ReadBytes(tpl), tplBytes);
    EXPECT_EQ(ChangedEntries(tpl, run.OutputPath, {"xl/worksheets/sheet1.xml", "xl/worksheets/sheet2.xml"}),
              std::vector<std::string>{});

    settings.XlsTemp.clear();
    settings.XlsStartLine = 1;
    settings.XlsF1 = 1;
    run.OutputPath = dir / "fresh.xlsx";
    backup({"T01,a\x01z,_x0041_,x\ry,<&>", "漢字ｶﾅ,  two  blanks"});
    ASSERT_TRUE(StoreFor(settings)->Save(settings, run, view))
        << (view.Messages.empty() ? std::string() : view.Messages.back().Text);

    const std::string csvDir = dir / "csv";
    const std::string fodsDir = dir / "fods";
    ASSERT_TRUE(Convert("csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1",
                        csvDir, {dir / "filled.xlsx", dir / "fresh.xlsx"}))
        << ReadBytes(dir / "soffice.log");
    ASSERT_TRUE(Convert("fods", fodsDir, {dir / "filled.xlsx", tpl})) << ReadBytes(dir / "soffice.log");

    const Grid form = ReadCsv(csvDir + "/filled-Form.csv");
    EXPECT_EQ(At(form, 0, 0), "品名");
    EXPECT_EQ(At(form, 1, 2), "6");
    EXPECT_EQ(At(form, 3, 0), "ｱｲｳ");
    EXPECT_EQ(At(form, 3, 1), "bbb");
    EXPECT_EQ(At(form, 4, 0), "日本語");
    const Grid second = ReadCsv(csvDir + "/filled-Second.csv");
    EXPECT_EQ(At(second, 0, 0), "x");
    EXPECT_EQ(At(second, 1, 0), "ccc");

    const Grid sheet1 = ReadCsv(csvDir + "/fresh-Sheet1.csv");
    EXPECT_EQ(At(sheet1, 0, 1), "a\x01z");
    EXPECT_EQ(At(sheet1, 0, 2), "_x0041_");
    EXPECT_EQ(At(sheet1, 0, 3), "x\ry");
    EXPECT_EQ(At(sheet1, 0, 4), "<&>");
    EXPECT_EQ(At(sheet1, 1, 0), "漢字ｶﾅ");
    EXPECT_EQ(At(sheet1, 1, 1), "  two  blanks");
    EXPECT_TRUE(std::filesystem::exists(csvDir + "/fresh-Sheet20.csv"));

    const std::string filled = ReadBytes(fodsDir + "/filled.fods");
    EXPECT_NE(filled.find("of:=[.B2]*2"), std::string::npos);
    EXPECT_NE(filled.find("fo:font-weight=\"bold\""), std::string::npos);
    EXPECT_NE(filled.find("fo:background-color=\"#ffff00\""), std::string::npos);
    EXPECT_EQ(ColumnWidths(filled), ColumnWidths(ReadBytes(fodsDir + "/form.fods")));
}
