// The workbook store against what an operator's machine does to it: files too large for memory, a
// full disk, a read-only output, an output reached through a symbolic link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "codec/text_encoding.h"
#include "output/workbook/save_as_xls.h"
#include "output/workbook/workbook.h"
#include "support/child_process.h"
#include "support/recording_operator_view.h"
#include "support/small_tmpfs.h"
#include "support/tracing_file_ops.h"
#include "xls_fixture.h"

using namespace xlstest;

namespace {

const std::string kFailurePrefix = "XLSﾌｧｲﾙ書込ｴﾗｰ : ";

bool InCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// Runs `body` in a child process (after `prepare`, which may drop privileges or limit memory) and
// returns what it handed back; an empty `crash` means the child exited normally.
std::string InChild(const std::function<void()>& prepare, const std::function<std::string()>& body,
                    std::string& crash) {
    const ChildEnd end = RunInChild([&](std::string& output) {
        prepare();
        output = body();
        return 0;
    });
    crash = end.Failure();
    return end.Output;
}

class WorkbookFaultsTest : public ::testing::Test {
protected:
    void SetUp() override { WorkbookStoreSettings(dir, 0, settings, run); }

    void Backup(int records, const std::string& tag) {
        std::string bytes;
        for (int i = 0; i < records; ++i) {
            bytes += Utf8ToCp932(tag + "," + std::to_string(i) + ",商品" + std::to_string(i)) + "\r\n";
        }
        WriteBytes(settings.BackFilePath, bytes);
    }

    // Runs the store and returns "ok" or the status lines it appended, one per line.
    std::string Store() {
        RecordingOperatorView view;
        const bool ok = SaveAsXls(settings, run, view);
        std::string out = ok ? "ok" : "failed";
        for (const auto& call : view.StatusCalls) {
            out += "\n" + call.Text;
        }
        if (!ok && view.Messages.size() != 1) {
            out += "\nmessage boxes: " + std::to_string(view.Messages.size());
        }
        return out;
    }

    TempFolder dir;
    SettingsRecord settings;
    RunState run;
};

}  // namespace

// A file merely too large for the memory at hand ends in the failure exit, never in an exception; a
// file above the input limit is refused before anything is read.
TEST_F(WorkbookFaultsTest, HugeExistingWorkbooksEndInTheFailureExitUnderLimitedMemory) {
    // A real workbook with 100 MiB of padding after its records: it maps, but its stream cannot be
    // copied within the limit below.
    const std::string padded = dir / "padded.xls";
    {
        Workbook book;
        ASSERT_TRUE(book.Create(padded, 2000, 1));
        ASSERT_TRUE(book.Close());
        std::string stream = WorkbookStream(padded);
        stream.resize(stream.size() + (100u << 20), '\0');
        WriteOle(padded, {{"Workbook", stream}});
    }
    struct Case {
        const char* Name;
        uint64_t SparseBytes;  // 0: the padded workbook above
        std::string Reason;
    };
    const std::string cannotOpen = "ブックを開けません: " + run.OutputPath;
    for (const Case& c :
         {Case{"above the input limit", 600ull << 20,
               cannotOpen + " (ファイルが大きすぎます (上限 512 MiB))"},
          Case{"larger than the address space left", 400ull << 20, cannotOpen + " (メモリが足りません)"},
          Case{"a stream too large to copy", 0, "メモリが足りません"}}) {
        SCOPED_TRACE(c.Name);
        if (c.SparseBytes != 0) {
            const int fd = open(run.OutputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(ftruncate(fd, static_cast<off_t>(c.SparseBytes)), 0);
            close(fd);
        } else {
            std::filesystem::copy_file(padded, run.OutputPath,
                                       std::filesystem::copy_options::overwrite_existing);
        }
        const auto sizeBefore = std::filesystem::file_size(run.OutputPath);
        Backup(3, "T01");
        std::string crash;
        const std::string result = InChild(
            [] {
                // What the process uses now, plus 128 MiB: less than the files above need.
                long pages = 0;
                if (FILE* f = std::fopen("/proc/self/statm", "r")) {
                    if (std::fscanf(f, "%ld", &pages) != 1) {
                        pages = 0;
                    }
                    std::fclose(f);
                }
                const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (128u << 20);
                const rlimit rl{limit, limit};
                setrlimit(RLIMIT_AS, &rl);
            },
            [this] { return Store(); }, crash);
        EXPECT_EQ(crash, "");
        EXPECT_EQ(result, "failed\n" + kFailurePrefix + c.Reason);
        EXPECT_EQ(std::filesystem::file_size(run.OutputPath), sizeBefore);
    }
}

// The save folder on a real, small tmpfs, filled up: the old workbook stays byte for byte, the status
// line names the reason, no temporary file is left; once space is freed the next store is complete.
TEST_F(WorkbookFaultsTest, FullDiskLeavesTheOldWorkbookAndTheNextStoreIsComplete) {
    const std::string folder = dir / "small";
    std::filesystem::create_directory(folder);
    SmallTmpfs disk;
    if (const std::string refused = disk.Mount(folder, 2 << 20); !refused.empty()) {
        if (InCi()) {
            FAIL() << refused;
        }
        GTEST_SKIP() << refused;
    }

    settings.SaveFolder = folder;
    run.OutputPath = folder + "/T01.xls";
    Backup(50, "old");
    ASSERT_EQ(Store(), "ok");
    const std::string before = ReadBytes(run.OutputPath);

    // Fill what is left of the folder.
    const std::string filler = folder + "/filler";
    {
        const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const std::string block(65536, 'f');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        const std::string byte(1, 'f');
        while (write(fd, byte.data(), 1) > 0) {
        }
        close(fd);
    }
    Backup(20000, "new");
    EXPECT_EQ(Store(), "failed\n" + kFailurePrefix + "ブックを保存できません: " + run.OutputPath + " (" +
                           std::strerror(ENOSPC) + ")");
    EXPECT_TRUE(ReadBytes(run.OutputPath) == before) << "the old workbook changed";
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"T01.xls", "filler"}));

    std::filesystem::remove(filler);
    ASSERT_EQ(Store(), "ok");
    FreeXlBook book;
    std::string why;
    ASSERT_TRUE(ReadWithFreeXl(run.OutputPath, book, why)) << why;
    EXPECT_EQ(CheckStructure(run.OutputPath), "");
    EXPECT_EQ(book.Sheets[0].at({0, 0}), "old");
    EXPECT_EQ(book.Sheets[0].at({50, 0}), "new");
    EXPECT_EQ(book.Sheets[0].at({50 + 19999, 2}), "商品19999");
    EXPECT_EQ(book.Sheets[0].count({50 + 20000, 0}), 0u);
}

// As an ordinary user (root writes anything): a read-only workbook is refused and left alone, like a
// read-only text output; a workbook reached through a symbolic link is updated where it lives.
TEST_F(WorkbookFaultsTest, ReadOnlyWorkbookIsRefusedAndALinkedOneIsUpdatedAtItsTarget) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const std::string realFolder = dir / "real";
    std::filesystem::create_directory(realFolder);
    Backup(2, "x");
    for (const std::string& p : {dir.Path(), realFolder, settings.BackFilePath}) {
        ASSERT_EQ(chown(p.c_str(), uid, gid), 0);
    }
    auto asNobody = [uid, gid] {
        if (setgid(gid) != 0 || setuid(uid) != 0) {
            _exit(3);
        }
    };

    // Read-only: the store fails with the system's reason and the file is not replaced.
    Backup(1, "seed");
    ASSERT_EQ(Store(), "ok");
    ASSERT_EQ(chown(run.OutputPath.c_str(), uid, gid), 0);
    ASSERT_EQ(chmod(run.OutputPath.c_str(), 0444), 0);
    const std::string before = ReadBytes(run.OutputPath);
    Backup(2, "x");
    ASSERT_EQ(chown(settings.BackFilePath.c_str(), uid, gid), 0);
    std::string crash;
    std::string result = InChild(
        asNobody, [this] { return Store(); }, crash);
    EXPECT_EQ(crash, "");
    EXPECT_EQ(result, "failed\n" + kFailurePrefix + "ブックを保存できません: " + run.OutputPath + " (" +
                          std::strerror(EACCES) + ")");
    EXPECT_TRUE(ReadBytes(run.OutputPath) == before) << "the old workbook changed";
    struct stat st {};
    ASSERT_EQ(stat(run.OutputPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);

    // Linked: the link stays a link, its target gets the new rows and keeps its mode.
    const std::string target = realFolder + "/book.xls";
    std::filesystem::rename(run.OutputPath, target);
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    std::filesystem::create_symlink("real/book.xls", run.OutputPath);
    result = InChild(
        asNobody, [this] { return Store(); }, crash);
    EXPECT_EQ(crash, "");
    EXPECT_EQ(result, "ok");
    EXPECT_TRUE(std::filesystem::is_symlink(run.OutputPath));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, uid);
    FreeXlBook book;
    std::string why;
    ASSERT_TRUE(ReadWithFreeXl(target, book, why)) << why;
    EXPECT_EQ(book.Sheets[0].at({0, 0}), "seed");
    EXPECT_EQ(book.Sheets[0].at({2, 0}), "x");
}

// The new workbook is on disk before the store reports success: its data synced before the rename,
// the folder after it. A failed sync is a failed store, and before the rename it leaves the old file.
TEST_F(WorkbookFaultsTest, WorkbookIsSyncedThenRenamedThenItsFolderSynced) {
    Backup(3, "old");
    ASSERT_EQ(Store(), "ok");
    const std::string before = ReadBytes(run.OutputPath);
    TracingFileOps trace;
    trace.folderLabels[dir.Path()] = "save/";
    Backup(3, "new");
    {
        ScopedFileOps traced(trace);
        ASSERT_EQ(Store(), "ok");
    }
    EXPECT_EQ(
        trace.Only({"write", "datasync", "sync", "rename", "unlink"}),
        (std::vector<std::string>{"write <temp>", "datasync <temp>", "rename <temp> T01.xls", "sync save/"}));
    const std::string extended = ReadBytes(run.OutputPath);

    struct Case {
        const char* Call;
        const char* Name;
        std::string Reason;
        bool Replaced;
    };
    for (const Case& c :
         {Case{"datasync", "<temp>", std::strerror(EIO), false},
          Case{"write", "<temp>", std::strerror(EIO), false},
          Case{"rename", "<temp> T01.xls", std::strerror(EIO), false},
          Case{"sync", "save/", std::string("フォルダを同期できません: ") + std::strerror(EIO), true}}) {
        SCOPED_TRACE(c.Call);
        WriteBytes(run.OutputPath, before);
        trace.events.clear();
        trace.failCall = c.Call;
        trace.failName = c.Name;
        {
            ScopedFileOps traced(trace);
            EXPECT_EQ(Store(), "failed\n" + kFailurePrefix + "ブックを保存できません: " + run.OutputPath +
                                   " (" + c.Reason + ")");
        }
        EXPECT_TRUE(ReadBytes(run.OutputPath) == (c.Replaced ? extended : before));
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"Back.txt", "T01.xls"}));
    }
}
