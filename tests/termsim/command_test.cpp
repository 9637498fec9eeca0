// gathra-termsim as a process: its command line, exit codes, signals and the link it leaves behind.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "binding/quorlin_binding.h"
#include "codec/frame_codec.h"
#include "support/child_process.h"
#include "termsim.h"

namespace {

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// A running gathra-termsim, its standard error joined to its standard output.
class Command : public ChildProcess {
public:
    explicit Command(std::vector<std::string> args) {
        args.insert(args.begin(), BinDir() + "/gathra-termsim");
        Options options;
        options.ErrorsToOutput = true;
        Start(args, options);
    }
};

TEST(Command, HelpNamesEveryOption) {
    Command command({"--help"});
    EXPECT_EQ(command.Wait(), 0);
    const std::string help = command.Output();
    for (const char* option : {"--folder",
                               "--port",
                               "--id",
                               "--records",
                               "--protocol",
                               "--crc-type",
                               "--uploads",
                               "--stay",
                               "--background",
                               "--end-word",
                               "--no-clock-answer",
                               "--no-enquiry-answer",
                               "--adapter-speed",
                               "--no-adapter",
                               "--pace",
                               "--transcript",
                               "--time-limit",
                               "--bad-checksum",
                               "--lower-case",
                               "--wrong-sequence",
                               "--repeat",
                               "--silence",
                               "--garbage",
                               "--over-long",
                               "--hang-up",
                               "--hang-up-after",
                               "--hang-up-at-enquiry",
                               "--replug-after",
                               "--enquiry-bad-checksum",
                               "--enquiry-silence",
                               "--enquiry-without-at",
                               "--announced-count",
                               "Exit codes"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

TEST(Command, BadCommandLinesExitWithTwo) {
    TempFolder folder;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--folder", folder.Path()},
        {"--folder", folder.Path(), "--port", "0"},
        {"--folder", folder.Path(), "--port", "257"},
        {"--folder", folder.Path(), "--port", "1x"},
        {"--folder", folder.Path(), "--port", "1", "--protocol", "2"},
        {"--folder", folder.Path(), "--port", "1", "--adapter-speed", "4800"},
        {"--folder", folder.Path(), "--port", "1", "--bad-checksum", "1:0"},
        {"--folder", folder.Path(), "--port", "1", "--repeat", "x"},
        {"--folder", folder.Path(), "--port", "1", "--time-limit", "9223372036854775807"},
        {"--folder", folder.Path(), "--port", "1", "--no-such-option", "1"},
        {"--folder", folder.Path(), "--port"},
    };
    for (const auto& args : cases) {
        Command command(args);
        std::string joined;
        for (const auto& a : args) {
            joined += a + " ";
        }
        EXPECT_EQ(command.Wait(), 2) << joined;
    }
    EXPECT_FALSE(Exists(folder.Path() + "/ports/COM1"));
}

// A set-up that fails names the file it could not read or write.
TEST(Command, SetUpFailuresExitWithThreeNamingTheFile) {
    TempFolder folder;
    for (const std::string option : {"--records", "--transcript"}) {
        const std::string file = folder.Path() + "/none/" + option;
        Command command({"--folder", folder.Path(), "--port", "1", option, file});
        EXPECT_EQ(command.Wait(), 3);
        EXPECT_NE(command.Output().find(" " + file + (option == "--records" ? "\n" : ": No such file")),
                  std::string::npos)
            << command.Output();
    }
}

TEST(Command, ServesAnUploadFromAUtf8RecordsFile) {
    TempFolder folder;
    ASSERT_TRUE(folder.CopyLibrary(BinDir()));
    const std::string records = folder.Path() + "/records.txt";
    std::ofstream(records) << "A,1\r\n\xE3\x81\x82,\xE3\x81\x84\n";  // the second record is あ,い
    Command command({"--folder", folder.Path(), "--port", "3", "--records", records, "--id", "T9"});
    const std::string ready = command.ReadLine();
    ASSERT_EQ(ready.rfind("ready: " + folder.Path() + "/ports/COM3 -> /dev/", 0), 0u) << ready;

    const LinkApi* link = BindQuorlin(folder.Path());
    ASSERT_NE(link, nullptr);
    // Without options the adapter answers the probe, as Gathra's default settings (Mode=1) expect.
    ASSERT_EQ(link->vbOpenIrCom(3, 115200, 1), 1);
    SendLine(*link, "VOL");
    EXPECT_EQ(ReceiveLine(*link), "^#T9@2*AA");
    SendLine(*link, "ACK");
    EXPECT_EQ(ReceiveLine(*link), "^0A,1*56");
    SendLine(*link, "ACK");
    EXPECT_EQ(ReceiveLine(*link), "^1\x82\xA0,\x82\xA2*2B");
    SendLine(*link, "ACK");
    EXPECT_EQ(ReceiveLine(*link), "END");
    SendLine(*link, "ACK");
    link->CloseIrCom();

    EXPECT_EQ(command.Wait(), 0);
    EXPECT_NE(command.Output().find("upload 1: ACK"), std::string::npos);
    EXPECT_FALSE(Exists(folder.Path() + "/ports/COM3")) << "the link is removed on exit";
}

TEST(Command, UnplugAndReplugThroughTheLibrary) {
    TempFolder folder;
    ASSERT_TRUE(folder.CopyLibrary(BinDir()));
    Command command({"--folder", folder.Path(), "--port", "4", "--hang-up-at-enquiry", "1", "--replug-after",
                     "300", "--id", "T9"});
    const std::string link = folder.Path() + "/ports/COM4";
    ASSERT_EQ(command.ReadLine().rfind("ready: " + link + " -> /dev/", 0), 0u);
    const LinkApi* api = BindQuorlin(folder.Path());
    ASSERT_NE(api, nullptr);
    ASSERT_EQ(api->vbOpenIrCom(4, 9600, 0), 1);
    SendLine(*api, "VOL");
    EXPECT_EQ(ReceiveLine(*api), "");
    EXPECT_EQ(api->IrComState(), -1) << "the enquiry was answered by a hang-up";
    EXPECT_EQ(command.ReadLine(), "unplugged: " + link);
    api->CloseIrCom();

    ASSERT_EQ(command.ReadLine().rfind("ready: " + link + " -> /dev/", 0), 0u);
    ASSERT_EQ(api->vbOpenIrCom(4, 9600, 0), 1);
    EXPECT_EQ(api->IrComState(), 1);
    SendLine(*api, "VOL");
    EXPECT_EQ(ReceiveLine(*api), "^#T9@0*A8");
    api->CloseIrCom();
    command.Signal(SIGTERM);
    EXPECT_EQ(command.Wait(), 4);
    EXPECT_FALSE(Exists(link));
}

TEST(Command, SignalsRemoveTheLink) {
    const struct {
        int signal;
        const char* uploads;
        int exitCode;
    } cases[] = {
        {SIGTERM, "1", 4},
        {SIGINT, "1", 4},
        {SIGTERM, "0", 0},  // serving until stopped: a signal is the normal end
    };
    for (const auto& c : cases) {
        TempFolder folder;
        Command command({"--folder", folder.Path(), "--port", "5", "--uploads", c.uploads});
        ASSERT_EQ(command.ReadLine().rfind("ready: ", 0), 0u);
        EXPECT_TRUE(Exists(folder.Path() + "/ports/COM5"));
        command.Signal(c.signal);
        EXPECT_EQ(command.Wait(), c.exitCode) << c.signal << " " << c.uploads;
        EXPECT_FALSE(Exists(folder.Path() + "/ports/COM5"));
    }
}

TEST(Command, StayKeepsTheLineAfterTheLastUploadUntilStopped) {
    TempFolder folder;
    ASSERT_TRUE(folder.CopyLibrary(BinDir()));
    Command command({"--folder", folder.Path(), "--port", "2", "--stay", "--id", "T9"});
    ASSERT_EQ(command.ReadLine().rfind("ready: ", 0), 0u);
    const LinkApi* link = BindQuorlin(folder.Path());
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(link->vbOpenIrCom(2, 9600, 0), 1);
    SendLine(*link, "VOL");
    EXPECT_EQ(ReceiveLine(*link), "^#T9@0*A8");
    SendLine(*link, "ACK");
    EXPECT_EQ(ReceiveLine(*link), "END");
    SendLine(*link, "ACK");
    // Served, and still on the line: the port opens again, the terminal stays silent.
    SendLine(*link, "VOL");
    EXPECT_EQ(ReceiveLine(*link), "");
    EXPECT_EQ(link->IrComState(), 1);
    link->CloseIrCom();
    EXPECT_TRUE(Exists(folder.Path() + "/ports/COM2"));
    command.Signal(SIGHUP);
    EXPECT_EQ(command.Wait(), 0);
    EXPECT_NE(command.Output().find("upload 1: ACK"), std::string::npos);
    EXPECT_FALSE(Exists(folder.Path() + "/ports/COM2"));
}

TEST(Command, TimeLimit) {
    TempFolder folder;
    Command command({"--folder", folder.Path(), "--port", "6", "--time-limit", "1"});
    ASSERT_EQ(command.ReadLine().rfind("ready: ", 0), 0u);
    EXPECT_EQ(command.Wait(), 1);
    EXPECT_FALSE(Exists(folder.Path() + "/ports/COM6"));
}

}  // namespace
