// The console form of the operator view: what reaches standard output and standard error.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "console_view.h"

namespace {

struct Console {
    std::vector<std::string> out;
    std::vector<std::string> err;
    ConsoleView View(bool terminal, bool beep) {
        return ConsoleView([this](std::string line) { out.push_back(std::move(line)); },
                           [this](std::string line) { err.push_back(std::move(line)); }, terminal, beep);
    }
};

// The line without its time stamp; an overwrite prefix stays.
std::string Text(const std::string& line) {
    static const std::regex stamp(R"((\x1b\[1A\x1b\[2K)?\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
    std::smatch match;
    if (!std::regex_search(line, match, stamp) || match.position(0) != 0) {
        return "no time stamp: " + line;
    }
    return match[1].str() + line.substr(match.length(0));
}

constexpr const char* kUp = "\x1b[1A\x1b[2K";

TEST(ConsoleViewTest, ProgressIsOneUpdatingLineOnlyOnATerminal) {
    // The engine's calls for one short upload, and a message box in the middle.
    const auto play = [](ConsoleView& view) {
        view.ReplaceStatus("COM1:115.2KBps/RS232C通信(LNU-40/45)");
        view.AppendStatus("ｵｰﾌﾟﾝ成功");
        view.SetWaitingLabel("端末待ち 0:00");
        view.SetWaitingLabel("端末待ち 0:01");
        view.SetWaitingLabel("");
        view.ReplaceStatus("ﾚｺｰﾄﾞ受信 :  1/3");
        view.ReplaceStatus("ﾚｺｰﾄﾞ受信 :  2/3");
        view.ShowMessage("Gathra", "ｴﾗｰ\r\n/x.mdb が存在しません。", MessageIcon::Critical);
        view.ReplaceStatus("ﾚｺｰﾄﾞ受信 :  3/3");
        view.AppendStatus("ﾚｺｰﾄﾞ受信<3> : 正常終了");
        view.ReplaceStatus("a\r\nb");
        view.ReplaceStatus("c");
    };
    Console terminal;
    ConsoleView onTerminal = terminal.View(true, false);
    play(onTerminal);
    Console journal;
    ConsoleView toJournal = journal.View(false, false);
    play(toJournal);

    const std::vector<std::string> plain{"COM1:115.2KBps/RS232C通信(LNU-40/45)",
                                         "ｵｰﾌﾟﾝ成功",
                                         "ﾚｺｰﾄﾞ受信 :  1/3",
                                         "ﾚｺｰﾄﾞ受信 :  2/3",
                                         "ﾚｺｰﾄﾞ受信 :  3/3",
                                         "ﾚｺｰﾄﾞ受信<3> : 正常終了",
                                         "a",
                                         "b",
                                         "c"};
    std::vector<std::string> journalText;
    for (const auto& line : journal.out) {
        journalText.push_back(Text(line));
    }
    EXPECT_EQ(journalText, plain);

    // On a terminal a replacing status overwrites the line of the one before, but never a line that came
    // after a message, nor a status of several lines. The waiting count is a line only there, each count
    // and then the next status taking its place.
    std::vector<std::string> terminalText;
    for (const auto& line : terminal.out) {
        terminalText.push_back(Text(line));
    }
    const std::vector<std::string> updating{"COM1:115.2KBps/RS232C通信(LNU-40/45)",
                                            "ｵｰﾌﾟﾝ成功",
                                            "端末待ち 0:00",
                                            kUp + std::string("端末待ち 0:01"),
                                            kUp + std::string("ﾚｺｰﾄﾞ受信 :  1/3"),
                                            kUp + std::string("ﾚｺｰﾄﾞ受信 :  2/3"),
                                            "ﾚｺｰﾄﾞ受信 :  3/3",
                                            "ﾚｺｰﾄﾞ受信<3> : 正常終了",
                                            "a",
                                            "b",
                                            "c"};
    EXPECT_EQ(terminalText, updating);

    // The message box: one line on standard error, title first.
    EXPECT_EQ(journal.err, std::vector<std::string>{"Gathra: ｴﾗｰ /x.mdb が存在しません。"});
}

TEST(ConsoleViewTest, BeepIsABelOnStandardErrorOnlyWhenAsked) {
    Console quiet;
    ConsoleView silent = quiet.View(false, false);
    silent.Beep();
    EXPECT_TRUE(quiet.err.empty());
    Console loud;
    ConsoleView beeping = loud.View(false, true);
    beeping.Beep();
    EXPECT_EQ(loud.err, std::vector<std::string>{"\a"});
    EXPECT_TRUE(loud.out.empty());
}

TEST(ConsoleViewTest, OneLineJoinsEveryKindOfLineEnd) {
    EXPECT_EQ(OneLine("a\r\nb\nc\rd"), "a b c d");
    EXPECT_EQ(OneLine("plain"), "plain");
}

}  // namespace
