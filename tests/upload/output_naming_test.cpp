#include "output/output_naming.h"

#include "output/database/save_to_database.h"
#include "stores/store_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>

#include "upload/upload_files.h"
#include "upload_test_support.h"

namespace {

const PcDateTime kJan2 = {2024, 1, 2, 9, 5, 7};

// The output the settings' store names for terminal `id` on 2 January 2024 at 09:05.
OutputName Named(const SettingsRecord& settings, const std::string& id) {
    RunState run;
    return StoreFor(settings)->NameOutput(settings, run, id, kJan2);
}

SettingsRecord NamingSettings(int16_t format, int16_t addDate) {
    SettingsRecord settings;
    settings.SaveFolder = "/srv/data";
    settings.SaveFormat = format;
    settings.AddDate = addDate;
    return settings;
}

TEST(OutputNaming, AllDateModesForEveryFileFormat) {
    struct Row {
        int16_t addDate;
        const char* stem;
    };
    const Row rows[] = {
        {0, "/T01"}, {1, "/20240102"}, {2, "/20240102-0905"}, {3, "/T01-20240102"}, {4, "/T01-20240102-0905"},
    };
    struct Format {
        int16_t format, xlsType;
        const char* extension;
    };
    for (const auto& [format, xlsType, extension] : {Format{kSaveFormatText, 0, ".txt"},
                                                     {kSaveFormatXls, 3, ".xls"},
                                                     {kSaveFormatXls, kXlsTypeXlsx, ".xlsx"},
                                                     {3, 0, ".csv"}}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(extension) + " AddDate " + std::to_string(row.addDate));
            SettingsRecord settings = NamingSettings(format, row.addDate);
            settings.XlsType = xlsType;
            const OutputName name = Named(settings, "T01");
            EXPECT_EQ(name.FileLabel, std::string(row.stem) + extension);
            EXPECT_EQ(name.OutputPath, "/srv/data" + std::string(row.stem) + extension);
            EXPECT_TRUE(name.TableName.empty());
        }
    }
}

TEST(OutputNaming, FixedNameReplacesTheTerminalIdButNotTheDate) {
    SettingsRecord settings = NamingSettings(kSaveFormatText, 0);
    settings.FixFname = "集計";
    EXPECT_EQ(Named(settings, "T01").FileLabel, "/集計.txt");
    EXPECT_EQ(Named(settings, "T99").FileLabel, "/集計.txt");
    settings.AddDate = 4;
    EXPECT_EQ(Named(settings, "T01").FileLabel, "/集計-20240102-0905.txt");
    settings.AddDate = 2;
    EXPECT_EQ(Named(settings, "T01").FileLabel, "/20240102-0905.txt");
}

TEST(OutputNaming, DigitsArePaddedAtEveryFieldBoundary) {
    const PcDateTime late = {2031, 12, 31, 23, 59, 58};
    const PcDateTime early = {2000, 1, 1, 0, 0, 0};
    EXPECT_EQ(ClockDigits(late), "20311231235958");
    EXPECT_EQ(ClockDigits(early), "20000101000000");
    EXPECT_EQ(ClockDigits(kJan2), "20240102090507");
    EXPECT_EQ(TimeDigits(early), "0000");
}

TEST(OutputNaming, TrailingSlashOfTheSaveFolder) {
    // Files join the folder as it stands; the database path drops one trailing "/".
    SettingsRecord settings = NamingSettings(kSaveFormatText, 0);
    settings.SaveFolder = "/";
    EXPECT_EQ(Named(settings, "T01").OutputPath, "//T01.txt");
    EXPECT_EQ(DatabasePath("/", "db"), "/db.mdb");
    EXPECT_EQ(DatabasePath("/srv/data/", "db"), "/srv/data/db.mdb");
    EXPECT_EQ(DatabasePath("/srv/data", "db"), "/srv/data/db.mdb");
    EXPECT_EQ(DropTrailingSlash("/srv//"), "/srv/");
    EXPECT_EQ(DropTrailingSlash(""), "");
}

TEST(OutputNaming, DatabaseTableFromSettingOrTerminal) {
    SettingsRecord settings = NamingSettings(kSaveFormatMdb, 4);
    OutputName name = NameDatabaseTable(settings, "/srv/data/db.mdb", "T01");
    EXPECT_EQ(name.TableName, "T01");
    EXPECT_EQ(name.OutputPath, "/srv/data/db.mdb");
    EXPECT_EQ(name.FileLabel, "/srv/data/db.mdb\r\nﾃｰﾌﾞﾙ : T01");
    settings.MdbTblName = "棚卸";
    name = NameDatabaseTable(settings, "/srv/data/db.mdb", "T01");
    EXPECT_EQ(name.TableName, "棚卸");
}

TEST(OutputNaming, WhenTheTerminalIdIsPartOfAName) {
    struct Row {
        int16_t format;
        int16_t addDate;
        const char* fixName;
        const char* table;
        bool usesId;
    };
    const Row rows[] = {
        {kSaveFormatText, 0, "", "", true},
        {kSaveFormatText, 1, "", "", false},
        {kSaveFormatText, 2, "", "", false},
        {kSaveFormatXls, 3, "", "", true},
        {kSaveFormatXls, 4, "", "", true},
        {kSaveFormatText, 0, "fix", "", false},
        {kSaveFormatMdb, 0, "", "", true},
        {kSaveFormatMdb, 0, "", "tbl", false},
        {kSaveFormatMdb, 1, "fix", "", true},
        {3, 4, "", "", true},
        {3, 1, "", "", false},
    };
    for (const Row& row : rows) {
        SettingsRecord settings = NamingSettings(row.format, row.addDate);
        settings.FixFname = row.fixName;
        settings.MdbTblName = row.table;
        EXPECT_EQ(StoreFor(settings)->NameUsesTerminalId(settings), row.usesId)
            << "format " << row.format << " AddDate " << row.addDate << " fix '" << row.fixName << "'";
    }
}

TEST(OutputNaming, UsableTerminalIds) {
    EXPECT_TRUE(IsUsableTerminalId("T01"));
    EXPECT_TRUE(IsUsableTerminalId(".."));  // ".." + extension stays a file inside the folder
    EXPECT_TRUE(IsUsableTerminalId("ﾃｽﾄ"));
    EXPECT_TRUE(IsUsableTerminalId("\xC3\xBD\xC4"));  // the same in CP932
    EXPECT_TRUE(IsUsableTerminalId("T 1~"));          // blank and tilde are printable
    EXPECT_FALSE(IsUsableTerminalId(""));
    EXPECT_FALSE(IsUsableTerminalId("../etc/x"));
    EXPECT_FALSE(IsUsableTerminalId("/tmp"));
    // Every control byte, at the start, inside and at the end.
    for (int byte = 0; byte <= 0x7F; ++byte) {
        if (byte >= 0x20 && byte < 0x7F) {
            continue;
        }
        const char c = static_cast<char>(byte);
        for (const std::string& id :
             {std::string(1, c) + "T1", "T" + std::string(1, c) + "1", "T1" + std::string(1, c)}) {
            EXPECT_FALSE(IsUsableTerminalId(id)) << "byte " << byte;
        }
    }
}

TEST(UploadFiles, LogLineFormat) {
    EXPECT_EQ(FormatLogLine(kJan2, 0, "^#T01@2*D2"), R"("2024/01/02","09:05:07"," 0","^#T01@2*D2")");
    // Quotes inside the received line are not doubled; an empty receive result is an empty field.
    EXPECT_EQ(FormatLogLine(kJan2, 12, "a\"b,c"), R"("2024/01/02","09:05:07"," 12","a"b,c")");
    EXPECT_EQ(FormatLogLine(kJan2, 32767, ""), R"("2024/01/02","09:05:07"," 32767","")");
    EXPECT_EQ(FormatLogLine({1999, 12, 31, 23, 0, 9}, -1, "x"), R"("1999/12/31","23:00:09","-1","x")");
}

TEST(UploadFiles, FileErrorLine) {
    EXPECT_EQ(FileErrorLine("<BackFile> ", FileError{2, "No such file"}), "<BackFile>  2:No such file");
    EXPECT_EQ(FileErrorLine("<BackFile#1WR> ", FileError{28, "full"}), "<BackFile#1WR>  28:full");
    EXPECT_EQ(SignedCountText(-3), "-3");
}

TEST(UploadFiles, LineFileEmptiesWritesAndReportsFailures) {
    TempFolder dir;
    const std::string path = dir / "Back.txt";
    WriteBytes(path, "old contents\r\n");
    FileError error;
    {
        LineFile file;
        ASSERT_TRUE(file.OpenForWriting(path, error));
        EXPECT_EQ(ReadBytes(path), "");  // emptied at open
        // CP932 bytes pass unchanged, including a CR inside a record.
        ASSERT_TRUE(file.WriteLine("\x83\x65\x83\x58\x83\x67,1", error));
        ASSERT_TRUE(file.WriteLine("a\rb", error));
        // Written through at once: another reader sees the lines while the file is open.
        EXPECT_EQ(ReadBytes(path), "\x83\x65\x83\x58\x83\x67,1\r\na\rb\r\n");
    }

    LineFile missing;
    EXPECT_FALSE(missing.OpenForWriting(dir / "no/such/folder/LOG.TXT", error));
    EXPECT_EQ(error.Number, ENOENT);
    EXPECT_FALSE(error.Description.empty());
    EXPECT_FALSE(missing.WriteLine("x", error));

    // Only a regular file is written: a device is refused at once, and so is a named pipe without
    // blocking in open() for a reader.
    const std::string node = dir / "full";  // a device of the test's own, as /dev/full is
    ASSERT_EQ(::mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0) << std::strerror(errno);
    LineFile device;
    EXPECT_FALSE(device.OpenForWriting(node, error));
    EXPECT_EQ(error.Description, "通常のﾌｧｲﾙではありません");
}

}  // namespace
