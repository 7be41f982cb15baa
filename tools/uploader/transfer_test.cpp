// The FTP transfer walk against the scripted platform: order of operations,
// unpack commands, progress lines and every failure block.
#include <gtest/gtest.h>

#include "fake_platform.h"

namespace uplder {
namespace {

using fake::Rig;

std::string M(int id) { return uplder_msg(id); }
std::string M(int id, const std::string& a) { return uplder_format(id, a); }
const std::string kStart = M(IDS_TRANSFER_START) + "\n";

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Transfer, MirrorsTreeInListingOrderAndUnpacksEachPackage) {
    struct Case {
        std::vector<std::string> files;
        std::vector<std::string> ftp;
        std::vector<std::string> commands;
    } cases[] = {
        {{"files/update_bt.inc", "files/home/update_orv3.inc"},
         {"connect 127.0.0.1:21 root/brolt362 passive", "CWD /", "PUT files/update_bt.inc -> / as update_bt.inc",
          "CWD home", "PUT files/home/update_orv3.inc -> /home as update_orv3.inc", "CWD .."},
         {"tar xzvf ../update_bt.inc -C ..", "rm ../update_bt.inc", "tar xzvf ../home/update_orv3.inc -C ../home",
          "rm ../home/update_orv3.inc"}},
        // The folder listed first is walked first: no sorting.
        {{"files/home/update_orv3.inc", "files/update_bt.inc"},
         {"connect 127.0.0.1:21 root/brolt362 passive", "CWD /", "CWD home",
          "PUT files/home/update_orv3.inc -> /home as update_orv3.inc", "CWD ..",
          "PUT files/update_bt.inc -> / as update_bt.inc"},
         {"tar xzvf ../home/update_orv3.inc -C ../home", "rm ../home/update_orv3.inc",
          "tar xzvf ../update_bt.inc -C ..", "rm ../update_bt.inc"}},
        // The marker is a case-sensitive substring.
        {{"files/readme.txt", "files/x.inc.bak", "files/Y.INC"},
         {"connect 127.0.0.1:21 root/brolt362 passive", "CWD /", "PUT files/readme.txt -> / as readme.txt",
          "PUT files/x.inc.bak -> / as x.inc.bak", "PUT files/Y.INC -> / as Y.INC"},
         {"tar xzvf ../x.inc.bak -C ..", "rm ../x.inc.bak"}},
    };
    for (const Case& c : cases) {
        Rig r;
        for (const std::string& f : c.files) r.files.addFile(f);
        doFileTransfer(r.u);
        EXPECT_TRUE(r.u.success);
        EXPECT_EQ(r.ftp.log, c.ftp);
        EXPECT_EQ(r.appliance.commands, c.commands);
        EXPECT_EQ(r.socket.periods, std::vector<uint32_t>(c.commands.size() / 2, kUnpackPeriodMs));
        EXPECT_EQ(r.u.ftp, nullptr);  // connection closed at the end
    }
}

TEST(Transfer, ProgressLinesAndCompletion) {
    Rig r;
    for (const char* f : {"files/a.txt", "files/b.txt", "files/c.txt"}) r.files.addFile(f);
    doFileTransfer(r.u);
    EXPECT_EQ(r.console.out, kStart +
                                 "\r進行状況：0%\r\na.txtを転送しています。\r\n"
                                 "\r進行状況：33%\r\nb.txtを転送しています。\r\n"
                                 "\r進行状況：66%\r\nc.txtを転送しています。\r\n"
                                 "\r進行状況：100%\nファイル転送が完了しました。\n\n");
    EXPECT_EQ(r.u.filesTotal, 3);
    EXPECT_EQ(r.u.filesDone, 3);
}

TEST(Transfer, EmptyFilesFolderCompletesWithoutUnpacking) {
    Rig r;
    r.files.addDir("files/home");  // folders only: nothing to count
    doFileTransfer(r.u);
    EXPECT_TRUE(r.u.success);
    EXPECT_EQ(r.console.out, kStart + "\r進行状況：100%\nファイル転送が完了しました。\n\n");
    EXPECT_TRUE(r.socket.log.empty());
}

TEST(Transfer, WorkingDirectoryLengthBoundary) {
    for (size_t len : {4999u, 5000u}) {
        Rig r;
        r.files.workDir = "C:\\" + std::string(len - 3, 'd');
        r.files.addFile("files/a.txt");
        doFileTransfer(r.u);
        EXPECT_EQ(r.u.success, len == 4999) << len;
        if (len == 5000) {
            EXPECT_EQ(r.console.out, kStart + "\n\n" + M(IDS_PATH_TOO_LONG) + "\n");
        }
    }
}

TEST(Transfer, FailureBlocks) {
    const std::string details = M(IDS_DETAILS) + "\n";
    struct Case {
        const char* name;
        std::function<void(Rig&)> setup;
        std::string tail;
        size_t ftpOps;  // how many FTP operations were made in all
    } cases[] = {
        {"working directory unreadable", [](Rig& r) { r.files.cwdFails = true; },
         "\n\n" + M(IDS_LOCAL_OP_FAILED) + "\n" + details + "GetCurrentDirectory エラー; コード: 5\n説明: sys5\n", 1},
        {"no files folder",
         [](Rig& r) {
             r.files.top.children.clear();
             r.files.addFile("other/a.txt");
         },
         "\n\n" + M(IDS_LOCAL_CD_FAILED, "C:\\work\\files") + "\n" + details +
             "SetCurrentDirectory エラー; コード: 2\n説明: sys2\n",
         1},
        {"count: first search fails", [](Rig& r) { r.files.scanFails["files/home"] = {0, 21}; },
         "\n\n" + M(IDS_SEARCH_FAILED) + "\n" + details + "FindFirstFile エラー; コード: 21\n説明: sys21\n", 1},
        {"count: next entry fails", [](Rig& r) { r.files.scanFails["files/home"] = {2, 59}; },
         "\n\n" + M(IDS_SEARCH_FAILED) + "\n" + details + "FindNextFile エラー; コード: 59\n説明: sys59\n", 1},
        {"remote root refused", [](Rig& r) { r.ftp.failOn = "CWD /"; },
         "\n\n" + M(IDS_REMOTE_CD_FAILED, "/") + "\n" + details +
             "SetCurrentDirectory エラー; コード: 12003\n説明: inet12003\n\n"
             "Additional Information: 550 /: No such file or directory.\n",
         2},
        {"missing remote folder", [](Rig& r) { r.ftp.remoteDirs = {"/"}; },
         "\n\n" + M(IDS_REMOTE_CD_FAILED, "./home") + "\n" + details +
             "SetCurrentDirectory エラー; コード: 12003\n説明: inet12003\n\n"
             "Additional Information: 550 home: No such file or directory.\n",
         4},
        {"local subfolder", [](Rig& r) { r.files.chdirFails["home"] = 5; },
         "\n\n" + M(IDS_LOCAL_CD_FAILED, ".\\home") + "\n" + details +
             "SetCurrentDirectory エラー; コード: 5\n説明: sys5\n",
         3},
        {"local way back up", [](Rig& r) { r.files.chdirFails[".."] = 6; },
         "\n\n" + M(IDS_LOCAL_CD_FAILED, ".") + "\n" + details + "SetCurrentDirectory エラー; コード: 6\n説明: sys6\n", 5},
        {"upload refused", [](Rig& r) { r.ftp.failOn = "PUT x.inc"; },
         "\n\n" + M(IDS_PUT_FAILED, ".\\home\\x.inc") + "\n" + details +
             "PutFile エラー; コード: 12003\n説明: inet12003\n\nAdditional Information: 553 Could not create file.\n",
         5},
        {"upload fails without a server reply code",
         [](Rig& r) {
             r.ftp.failOn = "PUT x.inc";
             r.ftp.failCode = 12030;
         },
         "\n\n" + M(IDS_PUT_FAILED, ".\\home\\x.inc") + "\n" + details + "PutFile エラー; コード: 12030\n説明: inet12030\n\n",
         5},
        {"login refused", [](Rig& r) { r.ftp.refuseLogin = true; },
         "\n\n" + M(IDS_FTP_LOGIN_FAILED) + "\n" + details + "login refused\n530 Authentication failed.\n", 1},
    };
    for (const Case& c : cases) {
        Rig r;
        r.files.addFile("files/a.txt");
        r.files.addFile("files/home/x.inc");
        c.setup(r);
        doFileTransfer(r.u);
        EXPECT_FALSE(r.u.success) << c.name;
        EXPECT_TRUE(endsWith(r.console.out, c.tail)) << c.name << "\n---\n" << r.console.out;
        EXPECT_EQ(r.ftp.log.size(), c.ftpOps) << c.name;
        EXPECT_EQ(r.u.ftp, nullptr) << c.name;
    }
}

TEST(Transfer, FailedUnpackAbortsTheWalk) {
    Rig r;
    r.files.addFile("files/first.inc");
    r.files.addFile("files/second.txt");
    r.appliance.password = "other";  // the appliance refuses the telnet login
    doFileTransfer(r.u);
    EXPECT_FALSE(r.u.success);
    EXPECT_EQ(r.ftp.log.back(), "PUT files/first.inc -> / as first.inc");  // second.txt never sent
    EXPECT_TRUE(endsWith(r.console.out, "\n\n" + M(IDS_LOGIN_COMM_ERROR, "Orvane III") + "\n\n\n"))
        << r.console.out;
    EXPECT_EQ(r.console.out.find(M(IDS_TRANSFER_DONE)), std::string::npos);
}

}  // namespace
}  // namespace uplder
