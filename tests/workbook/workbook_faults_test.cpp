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
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "codec/text_encoding.h"
#include "output/workbook/workbook.h"
#include "stores/store_table.h"
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
        const bool ok = StoreFor(settings)->Save(settings, run, view);
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
    // A real workbook with 100 MiB of padding after its records: it is read, but its stream cannot be
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
// the folder after it, the previous book kept beside it until the store is kept. A failed sync is a
// failed store that leaves the old book: after the rename it is put back from the one kept.
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
    EXPECT_EQ(trace.Only({"write", "datasync", "sync", "rename", "link", "unlink"}),
              (std::vector<std::string>{"write <temp>", "datasync <temp>", "link T01.xls <previous>",
                                        "rename <temp> T01.xls", "sync save/", "unlink <previous>"}));

    struct Case {
        const char* Call;
        const char* Name;
        std::string Reason;
    };
    for (const Case& c :
         {Case{"datasync", "<temp>", std::strerror(EIO)}, Case{"write", "<temp>", std::strerror(EIO)},
          Case{"rename", "<temp> T01.xls", std::strerror(EIO)},
          Case{"sync", "save/", std::string("フォルダを同期できません: ") + std::strerror(EIO)}}) {
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
        EXPECT_TRUE(ReadBytes(run.OutputPath) == before);
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"Back.txt", "T01.xls"}));
    }
}

namespace {

// A compound file of 512-byte sectors: `streams` streams of `size` bytes, all on one chain of `chain`
// sectors whose last leads back to its first when `loop` is set; the last stream is named `lastName`.
std::string SharedChainFile(uint32_t streams, uint32_t size, uint32_t chain, bool loop,
                            const std::string& lastName = "S") {
    const uint32_t dir = (streams + 4) / 4;
    uint32_t fat = 1;
    while (fat * 128 < fat + dir + chain) {
        ++fat;
    }
    const uint32_t start = fat + dir, end = 0xFFFFFFFE, none = 0xFFFFFFFF;
    std::string file = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(16, '\0') +
                       Le16(0x3E) + Le16(3) + Le16(0xFFFE) + Le16(9) + Le16(6) + std::string(10, '\0') +
                       Le32(fat) + Le32(fat) + Le32(0) + Le32(4096) + Le32(end) + Le32(0) + Le32(end) +
                       Le32(0);
    for (uint32_t i = 0; i < 109; ++i) {
        file += Le32(i < fat ? i : none);
    }
    for (uint32_t s = 0; s < fat * 128; ++s) {
        const bool last = s + 1 == start || s + 1 == start + chain;
        file += Le32(s < fat              ? 0xFFFFFFFD
                     : s >= start + chain ? none
                     : !last              ? s + 1
                     : s > start && loop  ? start
                                          : end);
    }
    for (uint32_t i = 0; i <= streams; ++i) {
        const std::string name = i == 0 ? "Root Entry" : i == 1 ? "Workbook" : i == streams ? lastName : "S";
        std::string entry;
        for (const char c : name) {
            entry += Le16(static_cast<uint8_t>(c));
        }
        entry.resize(64, '\0');
        entry += Le16(static_cast<uint16_t>(2 * name.size() + 2)) + (i == 0 ? '\x05' : '\x02') + '\x01';
        entry += Le32(none) + Le32(i > 0 && i < streams ? i + 1 : none) + Le32(i == 0 ? 1 : none);
        file +=
            entry + std::string(36, '\0') + Le32(i == 0 ? end : start) + Le32(i == 0 ? 0 : size) + Le32(0);
    }
    file.resize((start + 1) * 512, '\0');
    return file + std::string(chain * 512, '\x42');
}

// Another program shortening `path` to `keep` bytes at the first read of the workbook.
struct TruncatingReads : FileOperations {
    std::string path;
    off_t keep;
    ssize_t Read(int fd, void* data, size_t size) override {
        if (keep >= 0) {
            (void)::truncate(path.c_str(), std::exchange(keep, -1));
        }
        return FileOperations::Read(fd, data, size);
    }
};

}  // namespace

// Files others can place in the save folder: a named pipe as the workbook or its template ends the store
// at once; a crafted compound file is refused before its chains are followed, with the program's peak
// memory far below what its streams claim; a workbook shortened while it is read is refused, no crash.
TEST_F(WorkbookFaultsTest, HostileFilesInTheSaveFolderAreRefusedPromptly) {
    const std::string cannotOpen = "ブックを開けません: " + run.OutputPath + " (";
    const std::string tpl = dir / "form.xls";
    const std::string overlap = "のセクタが他と重なっているか循環しています)";
    const auto crafted = [this](const std::string& bytes) {
        return [=, this] { WriteBytes(run.OutputPath, bytes); };
    };
    struct Case {
        std::function<void()> Make;
        std::string Result;
    };
    for (const Case& c : {
             Case{[&] { ::mkfifo(run.OutputPath.c_str(), 0600); }, cannotOpen + "通常のﾌｧｲﾙではありません)"},
             Case{[&] { ::mkfifo(tpl.c_str(), 0600), settings.XlsTemp = "form"; },
                  "ブックを開けません: " + tpl + " (通常のﾌｧｲﾙではありません)"},
             Case{crafted(SharedChainFile(1000, 1u << 20, 2048, false)),
                  cannotOpen + "ストリーム \"S\" までの長さの合計がファイルの大きさを超えています)"},
             Case{crafted(SharedChainFile(2, 4096, 16, false, "\x1b]0;x\x07")),
                  cannotOpen + "ストリーム \"\\x1b]0;x\\x07\" " + overlap},
             Case{crafted(SharedChainFile(1, 9216, 16, true)),
                  cannotOpen + "ストリーム \"Workbook\" " + overlap},
         }) {
        SCOPED_TRACE(c.Result);
        std::filesystem::remove(run.OutputPath);
        std::filesystem::remove(tpl);
        settings.XlsTemp.clear();
        c.Make();
        Backup(3, "T01");
        std::string crash;
        const auto start = std::chrono::steady_clock::now();
        const std::string result =
            InChild([] {},
                    [this] {
                        rusage usage{};
                        const std::string stored = Store();
                        getrusage(RUSAGE_SELF, &usage);
                        return std::to_string(usage.ru_maxrss >> 10) + " MiB\n" + stored;
                    },
                    crash);
        EXPECT_EQ(crash, "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(result.substr(result.find('\n') + 1), "failed\n" + kFailurePrefix + c.Result);
        EXPECT_LT(std::atol(result.c_str()), 100) << result;  // peak resident memory, MiB
    }

    std::filesystem::remove(run.OutputPath);
    ASSERT_EQ(Store(), "ok");
    TruncatingReads truncating;
    truncating.path = run.OutputPath;
    truncating.keep = static_cast<off_t>(std::filesystem::file_size(run.OutputPath) / 2);
    ScopedFileOps installed(truncating);
    const std::string result = Store();
    EXPECT_EQ(result.rfind("failed\n" + kFailurePrefix + cannotOpen, 0), 0u) << result;
}
