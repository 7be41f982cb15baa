// The string table's exact bytes and the two report formats.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "messages.h"

namespace uplder {
namespace {

TEST(StringTable, TextsAreExact) {
    struct Case {
        int id;
        const char* text;
    } cases[] = {
        {2, "プログラムを終了するにはリターンを押してください。"},
        {4, ">"},
        {8, "\r\n------------------------\r\nエラーの詳細：\r\n"},
        // The blank before the reference mark is U+3000, E3 80 80 in UTF-8.
        {9, "\r\nファイル転送を実行しています。\r\n\xe3\x80\x80※絶対にネットワークケーブルを抜いたり電源を切ったりしないでください。\r\n"},
        {11, "転送元ファイル操作にて、\"%1\"へのカレントディレクトリの移動に失敗したため、 実行を中止しました。"},
        {16, "転送元フォルダのパスが長すぎたため、操作に失敗しました。\r\n実行を中止しました。\r\n"},
        {18, "    1. ファイル転送\r\n"},
        {20, "範囲外の番号です。1～2を選択してください。\r\n"},
        {21, "\r\nエラーが発生しました。実行を中止します。\r\n\r\n"},
        {25, "装置をリセットしますか?  (y or n)"},
        {32, " (デフォルト:192.168.0.254)"},
        {37, "Orvane III"},
        {38, "Orvane IV"},
        {40, "通信タイムアウトが発生したため、実行を中止しました。\r\n"},
    };
    for (const Case& c : cases) {
        ASSERT_NE(uplder_msg(c.id), nullptr) << c.id;
        EXPECT_EQ(std::string(uplder_msg(c.id)), c.text) << c.id;
    }
    std::string dashes = std::string(uplder_msg(8)).substr(2, 24);
    EXPECT_EQ(dashes, std::string(24, '-'));
}

TEST(StringTable, EveryUsedIdExistsAndUnusedOnesDoNot) {
    for (int id = 0; id <= 41; ++id) {
        bool used = id >= 2 && id <= 40 && id != 5 && id != 6 && id != 26;
        EXPECT_EQ(uplder_msg(id) != nullptr, used) << id;
    }
    EXPECT_NE(std::string(uplder_msg(IDS_ADDRESS_DEFAULT)).find(kFactoryDefaultAddress), std::string::npos);
}

TEST(StringTable, FormatReplacesEveryPercentOne) {
    EXPECT_EQ(uplder_format(3, "Orvane IV"), "Orvane IVのIPアドレスを入力してください。");
    EXPECT_EQ(uplder_format(12, "./home"),
              "FTPコマンド操作にて、\"./home\"へのカレントディレクトリの移動に失敗したため、 実行を中止しました。");
    EXPECT_EQ(uplder_format(14, "x"), "ファイル転送が完了しました。");  // no %1: unchanged
    EXPECT_EQ(uplder_format(26, "x"), "");
}

TEST(Reports, PlainReportLayout) {
    fake::Rig r;
    COrv3UplderExceptionTmp<2> e(2, "SetCurrentDirectory");
    e.Report(r.u);
    EXPECT_EQ(r.console.out, "SetCurrentDirectory エラー; コード: 2\n説明: sys2\n");
}

TEST(Reports, InternetErrorTextCases) {
    struct Case {
        const char* name;
        int32_t code;
        bool haveResponse;
        bool heap;
        std::string where;
        std::string expected;
    } cases[] = {
        {"extended error carries the server's reply", 12003, true, true, "SetCurrentDirectory",
         "SetCurrentDirectory エラー; コード: 12003\n説明: inet12003\n\nAdditional Information: 550 home: gone"},
        {"other codes have no additional part", 12029, true, true, "PutFile",
         "PutFile エラー; コード: 12029\n説明: inet12029\n"},
        {"unknown code", 2, true, true, "PutFile",
         "エラーコードに対するエラーメッセージが見つかりませんでした。\n   System Error number: 1813.\n"},
        {"no reply to fetch", 12003, false, true, "PutFile",
         "PutFile エラー; コード: 12003\n説明: inet12003\n\nCall to InternetGetLastResponseInfo( ) failed--"
         "\n   System Error number: 1813.\n"},
        {"no heap", 12003, true, false, "PutFile", "Call to GetProcessHeap( ) failed..."},
        {"formatted text beyond 4096 characters", 12002, true, true, std::string(4100, 'w'),
         "Call to StringCchPrintf( ) failed...\n"},
    };
    for (const Case& c : cases) {
        fake::Rig r;
        r.errors.lastError = 1813;
        r.errors.heap = c.heap;
        r.ftp.haveResponse = c.haveResponse;
        r.ftp.lastResponse = "550 home: gone";
        EXPECT_EQ(InternetErrorText(r.u, c.code, c.where), c.expected) << c.name;
    }
}

TEST(Reports, WinInetFamilyReportsThroughInternetErrorOut) {
    fake::Rig r;
    r.ftp.haveResponse = true;
    r.ftp.lastResponse = "553 Could not create file.";
    PutFailure e(".\\home\\x.inc", 12003, "PutFile");
    EXPECT_STREQ(e.what(), ".\\home\\x.inc");
    // Copies keep every field: the walk adds paths and throws again.
    PutFailure copy = e;
    copy.m_localPath = ".\\home";
    EXPECT_EQ(copy.m_code, 12003);
    EXPECT_STREQ(copy.what(), ".\\home\\x.inc");
    copy.Report(r.u);
    EXPECT_EQ(r.console.out, "PutFile エラー; コード: 12003\n説明: inet12003\n\nAdditional Information: 553 Could not create file.\n");
    // The plain family keeps the library's default what() text.
    LocalCdFailure plain(2, "SetCurrentDirectory");
    EXPECT_STREQ(plain.what(), std::exception().what());
}

}  // namespace
}  // namespace uplder
