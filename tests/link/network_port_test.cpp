// Telnet with Com Port Control as the network port's client speaks it.
#include <gtest/gtest.h>

#include <string>

#include "telnet_codec.h"

using namespace std::string_literals;
using quorlin::ComPortCommand;
using quorlin::TelnetClient;

namespace {

struct Exchange {
    const char* name;
    std::string server;   // what the server sends after the client's opening requests
    std::string data;     // the data the client reads out of it
    std::string replies;  // what the client answers
    bool settled, binary, comPort;
    uint32_t speedAnswers, speed;
};

// Server bytes as ser2net 4.3 and pyserial send them (fuzz_telnet feeds them a byte at a time too).
TEST(TelnetClient, ReadsTheServersNegotiationAnswersAndData) {
    const std::string opening = "\xff\xfb\x03\xff\xfd\x03\xff\xfb\x01\xff\xfe\x01\xff\xfd\x00\xff\xfb\x00"s;
    const std::string sgaAndEcho = "\xff\xfd\x03\xff\xfb\x03\xff\xfe\x01"s;  // DO SGA, WILL SGA, DONT ECHO
    const Exchange rows[] = {
        {"ser2net_rfc2217", opening + "\xff\xfd,", "", sgaAndEcho, true, true, true, 0, 0},
        {"ser2net_plain_telnet", opening + "\xff\xfe,", "", sgaAndEcho, true, true, false, 0, 0},
        {"binary_refused_one_way", "\xff\xfd\x00\xff\xfc\x00\xff\xfd,"s, "", "", true, false, true, 0, 0},
        {"unanswered_request", "\xff\xfd\x00\xff\xfb\x00"s, "", "", false, true, false, 0, 0},
        {"server_offers_com_port_and_terminal_type",
         "\xff\xfb,\xff\xfd\x18\xff\xfd\x00\xff\xfb\x00\xff\xfd,"s, "", "\xff\xfd,\xff\xfc\x18", true, true,
         true, 0, 0},
        {"iac_doubled_in_data_and_commands_dropped", "a\xff\xff\xff\xf1\x62\xff\xfd\x00\r\x00\xff"s,
         "a\xff\x62\r\x00"s, "", false, false, false, 0, 0},
        {"speed_answer_and_notices_between_data",
         "x\xff\xfa,e\x00\x01\xc2\x00\xff\xf0y\xff\xfa,k\x30\xff\xf0\xff\xfa,j\x60\xff\xf0z"s, "xyz", "",
         false, false, false, 1, 115200},
        {"iac_inside_an_answer", "\xff\xfa,e\x00\x00\xff\xff\x01\xff\xf0"s, "", "", false, false, false, 1,
         0xFF01},
    };
    for (const Exchange& row : rows) {
        SCOPED_TRACE(row.name);
        TelnetClient client;
        std::string requests;
        client.Start(requests);
        EXPECT_EQ(requests, "\xff\xfb\x00\xff\xfd\x00\xff\xfb,"s);
        std::string data;
        std::string replies;
        client.Receive(row.server, data, replies);
        EXPECT_EQ(data, row.data);
        EXPECT_EQ(replies, row.replies);
        EXPECT_EQ(client.Settled(), row.settled);
        EXPECT_EQ(client.Binary(), row.binary);
        EXPECT_EQ(client.ComPort(), row.comPort);
        EXPECT_EQ(client.AnswerCount(ComPortCommand::kSetBaudRate), row.speedAnswers);
        EXPECT_EQ(client.LastAnswer(ComPortCommand::kSetBaudRate), row.speed);
    }
}

TEST(TelnetClient, EncodesDataAndCommandsWithEveryIacDoubled) {
    std::string out;
    TelnetClient::EncodeData(
        "\xff"
        "A\xff\x00\r"s,
        out);
    EXPECT_EQ(out,
              "\xff\xff"
              "A\xff\xff\x00\r"s);
    out.clear();
    TelnetClient::EncodeCommand(ComPortCommand::kSetBaudRate, 115200, out);
    TelnetClient::EncodeCommand(ComPortCommand::kSetControl, quorlin::kControlRtsOff, out);
    TelnetClient::EncodeCommand(ComPortCommand::kSetBaudRate, 0x1FF, out);
    EXPECT_EQ(out,
              "\xff\xfa,\x01\x00\x01\xc2\x00\xff\xf0"
              "\xff\xfa,\x05\x0c\xff\xf0"
              "\xff\xfa,\x01\x00\x00\x01\xff\xff\xff\xf0"s);
}

}  // namespace
