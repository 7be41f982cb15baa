// The console dialogue with scripted input: model selection, address,
// menu and confirmation validation, typed-ahead input, exit codes.
#include <gtest/gtest.h>

#include "fake_platform.h"

namespace uplder {
namespace {

using fake::Rig;

std::string M(int id) { return uplder_msg(id); }

int count(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

TEST(ConsoleFlow, ModelSelection) {
    struct Case {
        std::vector<std::string> args;
        std::string name, reset;
    } cases[] = {
        {{"orvane3uploader.exe"}, "Orvane III", "echo 0 > /proc/wdt/wdt"},
        {{"orvane3uploader.exe", "-inc2"}, "Orvane IV", "reboot"},
        {{"orvane3uploader.exe", "-inc2", "-inc1"}, "Orvane III", "echo 0 > /proc/wdt/wdt"},
        {{"orvane3uploader.exe", "-inc1", "-inc2"}, "Orvane IV", "reboot"},
        {{"orvane3uploader.exe", "-INC2"}, "Orvane III", "echo 0 > /proc/wdt/wdt"},
        {{"-inc2"}, "Orvane IV", "reboot"},  // position 0 is compared too
        {{"x", "-inc2", "other"}, "Orvane IV", "reboot"},
    };
    for (const Case& c : cases) {
        Rig r;
        r.console.answers = {"127.0.0.1", "2", ""};
        EXPECT_EQ(uplderMain(r.u, c.args), 0);
        EXPECT_EQ(r.u.model->GetModelName(), c.name);
        EXPECT_EQ(r.console.out.rfind(c.name + "のIPアドレスを入力してください。\n", 0), 0u);
        EXPECT_EQ(r.socket.writes.back(), c.reset + "\r\n");
    }
}

TEST(ConsoleFlow, ResetRunOutputIsExact) {
    Rig r;
    r.console.answers = {"127.0.0.1", "2", ""};
    EXPECT_EQ(uplderMain(r.u, {"orvane3uploader.exe"}), 0);
    EXPECT_EQ(r.console.out,
              "Orvane IIIのIPアドレスを入力してください。\n"
              " (デフォルト:192.168.0.254)\n"
              ">"
              "\r\n実行を開始します。機能を選択してください。\r\n"
              "    1. ファイル転送\r\n"
              "    2. 装置リセット\r\n"
              " (デフォルト:1)\n"
              ">"
              "\r\n装置リセットを行うため、コマンドを送信しました。\r\n\n"
              "プログラムを終了するにはリターンを押してください。\n");
    EXPECT_EQ(r.console.reads, 3);
}

TEST(ConsoleFlow, AddressLine) {
    struct Case {
        std::string typed, used;
    } cases[] = {
        {"", "192.168.0.254"},  // the factory default (the fake never sends anything)
        {" 127.0.0.1", " 127.0.0.1"},
        {"127.0.0.1 ", "127.0.0.1 "},
        {"appliance.local", "appliance.local"},
    };
    for (const Case& c : cases) {
        Rig r;
        r.console.answers = {c.typed, "2", ""};
        uplderMain(r.u, {"p"});
        EXPECT_EQ(r.u.deviceAddress, c.used);
        EXPECT_EQ(r.socket.host, c.used);
    }
}

TEST(ConsoleFlow, MenuValidation) {
    struct Case {
        std::string typed;
        bool valid;
    } cases[] = {{"", true}, {"1", true}, {"2", true}, {" 1", false}, {"1 ", false},
                 {"01", false}, {"3", false}, {"１", false}};
    for (const Case& c : cases) {
        Rig r;
        r.console.answers = {"127.0.0.1", c.typed, "2", ""};
        uplderMain(r.u, {"p"});
        EXPECT_EQ(count(r.console.out, M(IDS_MENU_OUT_OF_RANGE)), c.valid ? 0 : 1) << c.typed;
        // An invalid choice is asked again and then answered with "2".
        bool transfer = c.valid && c.typed != "2";
        EXPECT_EQ(r.ftp.log.empty(), !transfer) << c.typed;
    }
}

TEST(ConsoleFlow, ConfirmationValidation) {
    struct Case {
        std::vector<std::string> typed;
        bool reset;
        int questions;
    } cases[] = {
        {{""}, true, 1},   {{"y"}, true, 1},         {{"Y"}, true, 1},          {{"n"}, false, 1},
        {{"N"}, false, 1}, {{"yes", "n"}, false, 2}, {{"no", "x", "Y"}, true, 3}, {{" y", "n"}, false, 2},
    };
    for (const Case& c : cases) {
        Rig r;
        r.files.addFile("files/a.txt");
        r.console.answers = {"127.0.0.1", "1"};
        for (const std::string& t : c.typed) r.console.answers.push_back(t);
        r.console.answers.push_back("");
        EXPECT_EQ(uplderMain(r.u, {"p"}), 0);
        EXPECT_EQ(count(r.console.out, "\n" + M(IDS_RESET_QUESTION) + "\n" + M(34) + "\n>"), c.questions);
        EXPECT_EQ(r.socket.periods.size(), c.reset ? 1u : 0u);
        EXPECT_EQ(count(r.console.out, M(IDS_RESET_NEEDED)), 1);
        EXPECT_EQ(r.console.answers.size(), 0u);  // every scripted line was read
        if (!c.reset) {
            std::string tail = ">\n" + M(IDS_EXIT_PROMPT) + "\n";
            EXPECT_EQ(r.console.out.substr(r.console.out.size() - tail.size()), tail);
        }
    }
}

TEST(ConsoleFlow, FailedTransferSkipsTheResetQuestion) {
    Rig r;
    r.ftp.refuseLogin = true;
    r.console.answers = {"127.0.0.1", "1", ""};
    EXPECT_EQ(uplderMain(r.u, {"p"}), 0);
    EXPECT_EQ(count(r.console.out, M(IDS_RESET_QUESTION)), 0);
    std::string tail = "530 Authentication failed.\n" + M(IDS_EXIT_PROMPT) + "\n";
    EXPECT_EQ(r.console.out.substr(r.console.out.size() - tail.size()), tail);
}

TEST(ConsoleFlow, TypedAheadInputIsDiscardedExceptAtTheAddress) {
    Rig r;
    r.files.addFile("files/a.txt");
    r.console.typedAhead = {"127.0.0.1"};  // typed before the program asked: still the address
    r.console.answers = {"1", "n", ""};
    // Lines typed during the transfer must not answer the reset question.
    r.ftp.onPut = [&] { r.console.typedAhead = {"y", "y"}; };
    uplderMain(r.u, {"p"});
    EXPECT_EQ(r.u.deviceAddress, "127.0.0.1");
    EXPECT_TRUE(r.socket.periods.empty());  // "n" was the answer: no reset
    EXPECT_EQ(r.console.discards, 3);       // menu, confirmation, exit prompt
}

TEST(ConsoleFlow, EndOfInputReadsAsEmptyLines) {
    Rig r;
    r.console.answers = {};
    EXPECT_EQ(uplderMain(r.u, {"p"}), 0);
    EXPECT_EQ(r.u.deviceAddress, kFactoryDefaultAddress);
    EXPECT_EQ(r.ftp.log.size(), 1u);  // menu default 1: the transfer ran (against the fake)
}

TEST(ConsoleFlow, FrameworkFailure) {
    Rig r;
    EXPECT_EQ(uplderMain(r.u, {"p"}, false), 1);
    EXPECT_EQ(r.console.err, "Fatal Error: MFC initialization failed\n");
    EXPECT_EQ(r.console.out, "");
    EXPECT_EQ(r.console.reads, 0);
}

}  // namespace
}  // namespace uplder
