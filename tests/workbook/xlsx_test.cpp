#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

// The .xlsx store (XlsType 4) read back by openpyxl: new, extended, split by sheet, past row 65,536; the
// refusals of hostile books, within bounded memory; a failed store leaving the old book as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/text_encoding.h"
#include "common/file_ops.h"
#include "stores/store_table.h"
#include "support/recording_operator_view.h"
#include "xls_fixture.h"

using namespace xlstest;

namespace {

const std::string kFailurePrefix = "XLSﾌｧｲﾙ書込ｴﾗｰ : ";

// The interpreter that has Debian's openpyxl: /usr/bin/python3 when present.
std::string Python() {
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// Runs the test tool (xlsx_tool.py) and returns what it printed.
std::string Tool(const std::string& arguments) {
    const char* source = std::getenv("GATHRA_SOURCE_DIR");
    const std::string command = Python() + " " + std::string(source ? source : ".") +
                                "/tests/workbook/xlsx_tool.py " + arguments + " 2>&1";
    std::string out;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        pclose(pipe);
    }
    return out;
}

std::string Q(const std::string& s) {
    return "'" + s + "'";
}

class XlsxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system((Python() + " -c 'import openpyxl' 2>/dev/null").c_str()) != 0) {
            GTEST_SKIP() << "python3-openpyxl not installed";
        }
        WorkbookStoreSettings(dir, 1, settings, run);
        settings.XlsType = kXlsTypeXlsx;
        run.OutputPath = dir / "T01.xlsx";
    }

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

    // The failure exit's text ("" when the store succeeded).
    std::string Failure() {
        if (Save()) {
            return "";
        }
        EXPECT_EQ(view.Messages.size(), 1u);
        return view.Messages.empty() ? "?" : view.Messages[0].Text;
    }

    // The failure text of a store run in a child process, and the child's peak resident memory in bytes.
    std::pair<std::string, long> FailureAndPeak() {
        const std::string textFile = dir / "failure.txt";
        const pid_t child = ::fork();
        if (child == 0) {
            RecordingOperatorView recorder;
            WriteBytes(textFile,
                       StoreFor(settings)->Save(settings, run, recorder) || recorder.Messages.empty()
                           ? ""
                           : recorder.Messages[0].Text);
            ::_exit(0);
        }
        int status = 0;
        rusage usage{};
        EXPECT_EQ(::wait4(child, &status, 0, &usage), child);
        return {ReadBytes(textFile), usage.ru_maxrss * 1024l};
    }

    std::string Read(const std::string& path) { return Tool("read " + Q(path)); }
    // The last failure shown, for a store that should have succeeded.
    std::string Why() const { return view.Messages.empty() ? std::string() : view.Messages.back().Text; }

    TempFolder dir;
    SettingsRecord settings;
    RunState run;
    RecordingOperatorView view;
};

TEST_F(XlsxTest, SheetSplitAndAppendingPastRow65536) {
    settings.XlsF1 = 0;
    Backup({"2,b", ",one", "3,c", "2,b2"});
    ASSERT_TRUE(Save()) << Why();
    std::string read = Read(run.OutputPath);
    EXPECT_NE(read.find("#\tSheet1\n1\tA1\ts\t\"one\"\n#\tSheet2\n2\tA1\ts\t\"b\"\n2\tA2\ts\t\"b2\"\n"
                        "#\tSheet3\n3\tA1\ts\t\"c\"\n"),
              std::string::npos)
        << read;

    // A sheet used down to row 70,000 takes the next records below it.
    settings.XlsF1 = 1;
    settings.XlsStartLine = 70000;
    Backup({"deep"});
    ASSERT_TRUE(Save()) << Why();
    settings.XlsStartLine = 0;
    Backup({"deeper"});
    ASSERT_TRUE(Save()) << Why();
    read = Read(run.OutputPath);
    EXPECT_NE(read.find("1\tA70000\ts\t\"deep\"\n1\tA70001\ts\t\"deeper\"\n"), std::string::npos) << read;
}

TEST_F(XlsxTest, HostileBooksAreRefusedAndLeftAlone) {
    Backup({"seed"});
    ASSERT_TRUE(Save()) << Why();
    const std::string good = dir / "good.xlsx";
    WriteBytes(good, ReadBytes(run.OutputPath));
    struct Case {
        const char* Kind;
        const char* Reason;
    };
    for (const Case& c :
         {Case{"liar", "シート Sheet1: 宣言された大きさを超えています"},
          Case{"nesting", "シート Sheet1: XML の入れ子が深すぎます"},
          Case{"cols", "シート Sheet1: 列の定義が多すぎます"},
          Case{"shared", "シート Again の部品が他のシートと同じです"},
          Case{"bomb", "展開後の大きさが上限 (512 MiB) を超えます"},
          Case{"dotdot", "zip の項目名が正しくありません: xl/../../evil.txt"},
          Case{"absolute", "zip の項目名が正しくありません: /etc/evil.txt"},
          Case{"twin", "zip に同じ名前の項目があります"}, Case{"dtd", "DTD を含む XML は扱えません"},
          Case{"rows", "シートの行または列が形式の上限を超えています"},
          Case{"columns", "シートの行または列が形式の上限を超えています"},
          Case{"strings", "共有文字列表にない文字列を指すセルがあります"},
          Case{"damaged", "zip が壊れています"}}) {
        SCOPED_TRACE(c.Kind);
        ASSERT_EQ(Tool(std::string("craft ") + c.Kind + " " + Q(good) + " " + Q(run.OutputPath)), "");
        const std::string before = ReadBytes(run.OutputPath);
        const auto [text, peak] = FailureAndPeak();
        EXPECT_EQ(text.rfind(kFailurePrefix + "ブックを開けません: " + run.OutputPath, 0), 0u) << text;
        EXPECT_NE(text.find(c.Reason), std::string::npos) << text;
        EXPECT_LT(peak, 200l << 20);
        EXPECT_TRUE(ReadBytes(run.OutputPath) == before);
    }

    // The other format under this one's name, and a template of the other format.
    WriteBytes(run.OutputPath, std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(600, '\0'));
    EXPECT_NE(Failure().find("Excel 97-2003 形式 (.xls)"), std::string::npos);
    WriteBytes(dir / "form.xls", "x");
    settings.XlsTemp = "form";
    EXPECT_NE(Failure().find("form.xls は保存形式と違う形式です"), std::string::npos);

    // A named pipe as the book or as the template is refused at once, never opened for reading.
    std::filesystem::remove(dir / "form.xls");
    ASSERT_EQ(::mkfifo((dir / "form.xlsx").c_str(), 0600), 0);
    EXPECT_NE(Failure().find("form.xlsx (通常のﾌｧｲﾙではありません)"), std::string::npos) << Failure();
    settings.XlsTemp.clear();
    std::filesystem::remove(run.OutputPath);
    ASSERT_EQ(::mkfifo(run.OutputPath.c_str(), 0600), 0);
    EXPECT_NE(Failure().find("(通常のﾌｧｲﾙではありません)"), std::string::npos) << Failure();
}

// A formula overwritten: the calculation chain that lists it goes, with its relationship and content type
// (Excel rebuilds it); appending below the last row keeps it.
TEST_F(XlsxTest, CalculationChainGoesWhenCellsGoAmongExistingOnes) {
    Backup({"seed"});
    ASSERT_TRUE(Save()) << Why();
    const std::string good = dir / "good.xlsx";
    WriteBytes(good, ReadBytes(run.OutputPath));
    ASSERT_EQ(Tool("craft calcchain " + Q(good) + " " + Q(run.OutputPath)), "");
    settings.XlsStartLine = 0;
    ASSERT_TRUE(Save()) << Why();
    EXPECT_EQ(Tool("mentions " + Q(run.OutputPath) + " calcChain"),
              "[Content_Types].xml\nxl/_rels/workbook.xml.rels\nxl/calcChain.xml\n");
    settings.XlsStartLine = 1;
    ASSERT_TRUE(Save()) << Why();
    EXPECT_EQ(Tool("mentions " + Q(run.OutputPath) + " calcChain"), "");
    EXPECT_NE(Read(run.OutputPath).find("1\tA1\ts\t\"seed\"\n1\tA2\ts\t\"seed\"\n"), std::string::npos);
}

// A store that fails at any durable step leaves the old book byte for byte, and nothing beside it.
TEST_F(XlsxTest, FailedStoreLeavesTheOldBook) {
    Backup({"old"});
    ASSERT_TRUE(Save()) << Why();
    const std::string before = ReadBytes(run.OutputPath);

    struct FailingOps : FileOperations {
        std::string fail;
        int DataSync(int fd) override {
            return fail == "datasync" ? (errno = EIO, -1) : FileOperations::DataSync(fd);
        }
        int Rename(const FileAt& from, const FileAt& to) override {
            return fail == "rename" ? (errno = EIO, -1) : FileOperations::Rename(from, to);
        }
        ssize_t Write(int fd, const void* data, size_t size) override {
            return fail == "write" ? (errno = ENOSPC, -1) : FileOperations::Write(fd, data, size);
        }
    } ops;
    Backup({"new"});
    for (const char* call : {"datasync", "rename", "write"}) {
        SCOPED_TRACE(call);
        ops.fail = call;
        ScopedFileOps scoped(ops);
        EXPECT_EQ(Failure().rfind(kFailurePrefix + "ブックを保存できません: " + run.OutputPath, 0), 0u);
        EXPECT_TRUE(ReadBytes(run.OutputPath) == before);
        EXPECT_EQ(Tool("read " + Q(run.OutputPath)).find("\"new\""), std::string::npos);
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Back.txt", "T01.xlsx"}));
}

}  // namespace
