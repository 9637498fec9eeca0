// Full disks, on a real small tmpfs each test mounts itself: the save folder full while the text output
// is stored, the program folder full while Back.txt grows. Whole uploads through the real link library
// and the simulated terminal; afterwards, with space freed, the next upload is stored complete.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/small_tmpfs.h"
#include "whole_upload_fixture.h"

namespace {

using Lines = std::vector<std::string>;

const PcDateTime kClock = {2024, 1, 2, 9, 5, 7};
constexpr int kPort = 5;
const char* const kNoSpace = "No space left on device";

// Fills the file system holding `folder` with the file "filler" until it is full, then gives back
// `leave` bytes. True when the disk really filled up.
bool FillUp(const std::string& folder, size_t leave) {
    const std::string path = folder + "/filler";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const std::string block(4096, 'f');
    size_t written = 0;
    while (std::fwrite(block.data(), 1, block.size(), file) == block.size()) {
        written += block.size();
    }
    const bool full = errno == ENOSPC;
    std::fclose(file);
    std::filesystem::resize_file(path, written > leave ? written - leave : 0);
    return full;
}

class FullDisk : public WholeUploadFixture {
protected:
    // Mounts `disk` over `folder`; in CI a refused mount fails the test, elsewhere the test is skipped
    // with the reason. Call under ASSERT_NO_FATAL_FAILURE, then return if IsSkipped().
    static void MountSmallTmpfs(SmallTmpfs& disk, const std::string& folder, size_t bytes) {
        const std::string refused = disk.Mount(folder, bytes);
        if (refused.empty()) {
            return;
        }
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") {
            FAIL() << refused;
        }
        GTEST_SKIP() << refused;
    }

    void TearDown() override { sim.Stop(); }

    // One upload of `records`; `beforeRun` runs once the terminal sits in the cradle.
    void Upload(const Lines& records, const std::function<void()>& beforeRun = nullptr) {
        sim.Stop();
        FreshView();
        run.IsRunning = true;
        run.StopRequested = false;
        termsim::Options options;
        options.records = records;
        ASSERT_TRUE(sim.Start(program.Path(), kPort, options));
        if (beforeRun) {
            beforeRun();
        }
        RunUploadWith([] { return kClock; });
        sim.WaitFinished(2000);
    }
    Lines Finals() const { return sim.FinalAnswers(); }
    std::string Output() const { return ReadBytes(saveFolder + "/T01.txt"); }

    // Enough records to outgrow a few pages of free space.
    static Lines ManyRecords(const std::string& head) {
        Lines records;
        for (int i = 0; i < 150; ++i) {
            records.push_back(head + "," + std::to_string(i) + "," + std::string(60, 'x'));
        }
        return records;
    }

    std::string saveFolder;
    TempFolder save;
    // Over the fixture's program folder; as a member of this class it is detached before that folder goes.
    SmallTmpfs programDisk;
    termsim::Simulator sim;
};

TEST_F(FullDisk, SaveFolderFullDuringATextStoreLeavesTheOldOutput) {
    ASSERT_NO_FATAL_FAILURE(PrepareUpload(save.Path(), kPort));
    for (const int16_t overwrite : {0, 1}) {
        SCOPED_TRACE(overwrite == 1 ? "overwrite" : "append");
        TempFolder save;      // a fresh one for each mode
        SmallTmpfs saveDisk;  // unmounted before the folder goes
        ASSERT_NO_FATAL_FAILURE(MountSmallTmpfs(saveDisk, save.Path(), 256 * 1024));
        if (IsSkipped()) {
            return;
        }
        saveFolder = save.Path();
        settings.SaveFolder = saveFolder;
        settings.OverWrite = overwrite;
        // An old output whose last page has room: appended lines fit there until the disk refuses more.
        const std::string old = "old,1\r\nold,2\r\n";
        WriteBytes(save / "T01.txt", old);
        const Lines records = ManyRecords("A");

        Upload(records, [&] { ASSERT_TRUE(FillUp(saveFolder, 0)); });
        EXPECT_EQ(Finals(), Lines{"CAN"});
        EXPECT_EQ(Output(), old);
        EXPECT_EQ(ReadBytes(settings.BackFilePath), CrLfLines(records));
        const Lines status = view.StatusLines();
        ASSERT_GE(status.size(), 2u);
        EXPECT_EQ(status[status.size() - 2], std::string(kNoSpace) + " (" + save / "T01.txt" + ")Gathra");
        EXPECT_EQ(status.back(), "異常終了");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(saveFolder),
                                std::filesystem::directory_iterator()),
                  3)  // the output, the log and the filler: no temporary file left
            << "overwrite " << overwrite;

        std::filesystem::remove(save / "filler");
        const Lines next = ManyRecords("B");
        Upload(next);
        EXPECT_EQ(Finals(), Lines{"ACK"});
        EXPECT_EQ(Output(), (overwrite == 1 ? "" : old) + CrLfLines(next));
        EXPECT_EQ(view.StatusLines().back(), "ﾚｺｰﾄﾞ受信<150> : 正常終了");
        sim.Stop();
    }
}

TEST_F(FullDisk, ProgramFolderFullWhileTheBackupGrows) {
    // The program folder itself is the small disk: the library copy, the port link and Back.txt.
    ASSERT_NO_FATAL_FAILURE(MountSmallTmpfs(programDisk, program.Path(), 1024 * 1024));
    if (IsSkipped()) {
        return;
    }
    saveFolder = save.Path();
    ASSERT_NO_FATAL_FAILURE(PrepareUpload(saveFolder, kPort));
    settings.OverWrite = 1;
    const Lines records = ManyRecords("A");

    // Room for Back.txt to grow a little: some records are stored before the disk is full.
    Upload(records, [&] { ASSERT_TRUE(FillUp(program.Path(), 8192)); });
    EXPECT_EQ(Finals(), Lines{"CAN"});
    const Lines status = view.StatusLines();
    ASSERT_GE(status.size(), 3u);
    EXPECT_EQ(status[status.size() - 2], std::string("<BackFile#1WR>  28:") + kNoSpace);
    EXPECT_EQ(status.back(), "異常終了");
    const std::string backup = ReadBytes(settings.BackFilePath);
    EXPECT_GE(backup.size(), 4096u);
    EXPECT_LE(backup.size(), 8192u);
    EXPECT_EQ(backup.substr(0, 2 * (records[0].size() + 2)), CrLfLines({records[0], records[1]}));
    EXPECT_FALSE(FileExists(save / "T01.txt"));

    std::filesystem::remove(program.Path() + "/filler");
    const Lines next = ManyRecords("B");
    Upload(next);
    EXPECT_EQ(Finals(), Lines{"ACK"});
    EXPECT_EQ(ReadBytes(settings.BackFilePath), CrLfLines(next));
    EXPECT_EQ(Output(), CrLfLines(next));
}

}  // namespace
