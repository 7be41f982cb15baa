// The Windows layer's own pieces, run under wine: code page 932 output and
// line ends, pipe input, the FTP error text, the file search on a real folder,
// the error descriptions and the session socket on loopback.
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../../messages.h"
#include "args.h"
#include "session_socket.h"
#include "win_platform.h"
#include "wininet_ftp.h"
#include "wintext.h"

namespace uplder::win32 {
namespace {

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

TEST(CodePage932, KnownTextsHaveTheirBytes) {
    struct Case {
        const char* utf8;
        std::string cp932;
    } cases[] = {
        {"進行状況：", bytes({0x90, 0x69, 0x8D, 0x73, 0x8F, 0xF3, 0x8B, 0xB5, 0x81, 0x46})},
        {"1～2", bytes({'1', 0x81, 0x60, '2'})},  // fullwidth tilde of message 20
        {"\u3000※", bytes({0x81, 0x40, 0x81, 0xA6})},  // ideographic space and mark of message 9
        {"エラー; コード: 2", bytes({0x83, 0x47, 0x83, 0x89, 0x81, 0x5B, ';', ' ', 0x83, 0x52, 0x81, 0x5B,
                                     0x83, 0x68, ':', ' ', '2'})},
        {"Orvane III\r\n>", "Orvane III\r\n>"},
        {"", ""},
        {"\u20AC", "?"},  // not in the code page: its default character
    };
    for (const Case& c : cases) EXPECT_EQ(toCodePage(c.utf8, kConsoleCodePage), c.cp932) << c.utf8;
}

TEST(CodePage932, EveryMessageOfTheTableSurvivesTheConsole) {
    int seen = 0;
    for (int id = 0; id <= 41; ++id) {
        const char* m = uplder_msg(id);
        if (!m) continue;
        ++seen;
        std::string out = toCodePage(m, kConsoleCodePage);
        // A character outside the code page would come out as an extra "?".
        EXPECT_EQ(std::count(out.begin(), out.end(), '?'), std::count(m, m + std::strlen(m), '?'))
            << "message " << id << " has a character outside 932";
        EXPECT_EQ(fromCodePage(out, kConsoleCodePage), m) << "message " << id;
    }
    EXPECT_EQ(seen, 36);
    for (const char* fixed : {kProgressLabel, kTransferring, kUnpacking, kReportCode, kReportDescription})
        EXPECT_EQ(fromCodePage(toCodePage(fixed, kConsoleCodePage), kConsoleCodePage), fixed);
}

// Remote names: WinInet sends them in the ANSI code page; the telnet lines must
// carry the same bytes, and a name that code page cannot hold is refused (no
// default character, no best-fit look-alike).
TEST(CodePage932, ExactConversionOrNone) {
    struct Case {
        const char* utf8;
        bool ok;
        std::string cp932;
    } cases[] = {
        {"rm ../home/update_orv3.inc\r\n", true, "rm ../home/update_orv3.inc\r\n"},
        {"日本語.inc", true, bytes({0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA, '.', 'i', 'n', 'c'})},
        {"", true, ""},
        {"\u20AC.inc", false, ""},         // the euro sign: not in 932
        {"M\u00FCller.inc", false, ""},    // u with diaeresis: best fit would make it "u"
        {"bad\xFF.inc", false, ""},        // not UTF-8
    };
    for (const Case& c : cases) {
        std::string out = "x";
        EXPECT_EQ(orv::win32::toCodePageExact(c.utf8, kConsoleCodePage, out), c.ok) << c.utf8;
        EXPECT_EQ(out, c.cp932) << c.utf8;
    }
}

TEST(CodePage932, WideRoundTrip) {
    const std::string s = "転送元フォルダ\\files";
    EXPECT_EQ(widen(s), L"転送元フォルダ\\files");
    EXPECT_EQ(narrow(widen(s)), s);
    EXPECT_EQ(widen(""), L"");
}

TEST(TextMode, LineEndsAndTrailingBreaks) {
    struct {
        const char* in;
        const char* crlf;
        const char* trimmed;
    } cases[] = {
        {"", "", ""},
        {"a\nb", "a\r\nb", "a\nb"},
        {"\n", "\r\n", ""},
        {"x\r\n", "x\r\r\n", "x"},
        {"File not found.\r\n\r\n", "File not found.\r\r\n\r\r\n", "File not found."},
        {"no end", "no end", "no end"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(textModeLineEnds(c.in), c.crlf) << c.in;
        EXPECT_EQ(withoutLineEnd(c.in), c.trimmed) << c.in;
    }
}

TEST(LineCollector, EndsAtLineFeedDropsOneCrAndCapsLength) {
    LineCollector c(8);
    std::string in = "ab\r\n\n1\r2\n0123456789AB\n";
    std::vector<std::string> lines;
    for (char b : in)
        if (c.feed(b)) lines.push_back(c.take());
    EXPECT_EQ(lines, (std::vector<std::string>{"ab", "", "1\r2", "01234567"}));
    c.feed('x');
    EXPECT_EQ(c.take(), "x");  // an unfinished line at end of input
    EXPECT_EQ(c.take(), "");
}

TEST(PortFromText, OnlyPlainDecimalPortsOverride) {
    struct {
        const char* text;
        uint16_t want;
    } cases[] = {{nullptr, 21}, {"", 21},     {"2121", 2121}, {"1", 1},       {"65535", 65535},
                 {"0", 21},     {"65536", 21}, {"-5", 21},    {"21x", 21},    {" 21", 21},
                 {"+21", 21},   {"99999999999999999999", 21}, {"0023", 23}};
    for (auto& c : cases) EXPECT_EQ(portFromText(c.text, 21), c.want) << (c.text ? c.text : "(null)");
}

TEST(FtpErrorText, PicksTheFirstDescriptionAndAddsTheReply) {
    std::string inet = "The attempt to connect to the server failed.\r\n";
    std::string sys = "Access denied.\r\n";
    EXPECT_EQ(ftpErrorText(12029, &inet, &sys, ""), "The attempt to connect to the server failed.");
    EXPECT_EQ(ftpErrorText(5, nullptr, &sys, ""), "Access denied.");
    EXPECT_EQ(ftpErrorText(12015, nullptr, nullptr, "530 Login incorrect.\r\n"),
              "The FTP server refused the login.\n530 Login incorrect.");
    EXPECT_EQ(ftpErrorText(12003, nullptr, nullptr, "550 No such directory."),
              "The FTP server refused the request; its reply follows.\n550 No such directory.");
    EXPECT_EQ(ftpErrorText(12345, nullptr, nullptr, ""), "WinInet error 12345.");
    EXPECT_EQ(ftpErrorText(12345, nullptr, nullptr, "\r\n"), "WinInet error 12345.");
}

TEST(ErrorDescriptions, SystemAndWinInetTables) {
    WinErrorText e;
    std::string fileNotFound = e.systemDescription(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fileNotFound.empty());
    EXPECT_EQ(fileNotFound.substr(fileNotFound.size() - 2), "\r\n");  // the table's own line break
    EXPECT_NE(e.systemDescription(ERROR_FILE_NOT_FOUND), e.systemDescription(ERROR_ACCESS_DENIED));
    EXPECT_EQ(e.systemDescription(0x3FFFFFF0), "");  // no such code: empty description

    std::string t;
    EXPECT_TRUE(e.internetDescription(12029, t));  // ERROR_INTERNET_CANNOT_CONNECT
    EXPECT_FALSE(t.empty());
    // A code wininet.dll does not describe: false, and the thread keeps the
    // lookup's own error for the report's suffix.
    EXPECT_FALSE(e.internetDescription(12999, t));
    EXPECT_EQ(e.lastSystemError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_TRUE(e.processHeap());
}

// A scratch folder below the temporary folder, removed afterwards.
class FolderTest : public testing::Test {
protected:
    void SetUp() override {
        wchar_t tmp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, tmp), 0u);
        base_ = std::wstring(tmp) + L"uplder-win32-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(base_.c_str(), nullptr));
        wchar_t cwd[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, cwd);
        oldCwd_ = cwd;
    }
    void TearDown() override {
        SetCurrentDirectoryW(oldCwd_.c_str());
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
            if (!DeleteFileW(it->c_str())) RemoveDirectoryW(it->c_str());
        }
        RemoveDirectoryW(base_.c_str());
    }
    void file(const std::wstring& rel) {
        std::wstring p = base_ + L"\\" + rel;
        HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
        made_.push_back(p);
    }
    void dir(const std::wstring& rel) {
        std::wstring p = base_ + L"\\" + rel;
        ASSERT_TRUE(CreateDirectoryW(p.c_str(), nullptr));
        made_.push_back(p);
    }
    std::string base() const { return narrow(base_); }

    std::wstring base_, oldCwd_;
    std::vector<std::wstring> made_;
};

TEST_F(FolderTest, ListsEveryEntryWithItsKindThenEnds) {
    dir(L"home");
    file(L"update_bt.inc");
    file(L"データ.txt");
    file(L"home\\update_orv3.inc");

    WinFiles files;
    auto scan = files.scan(base());
    std::set<std::pair<std::string, bool>> got;
    DirEntry e;
    ScanStep s;
    while ((s = scan->next(e)) == ScanStep::Entry) got.insert({e.name, e.isDirectory});
    EXPECT_EQ(s, ScanStep::End);
    EXPECT_EQ(scan->next(e), ScanStep::End);  // stays at the end
    got.erase({".", true});
    got.erase({"..", true});
    EXPECT_EQ(got, (std::set<std::pair<std::string, bool>>{
                       {"home", true}, {"update_bt.inc", false}, {"データ.txt", false}}));
}

TEST_F(FolderTest, MissingFolderFailsOnTheFirstSearch) {
    WinFiles files;
    auto scan = files.scan(base() + "\\nothing");
    DirEntry e;
    EXPECT_EQ(scan->next(e), ScanStep::Failed);
    EXPECT_TRUE(scan->error() == ERROR_PATH_NOT_FOUND || scan->error() == ERROR_FILE_NOT_FOUND) << scan->error();
    EXPECT_EQ(scan->next(e), ScanStep::Failed);  // and keeps failing, with the same code
}

TEST_F(FolderTest, WorkingDirectoryChangesAndBufferSizes) {
    dir(L"files");
    WinFiles files;
    ASSERT_TRUE(files.setCurrentDirectory(base() + "\\files"));
    std::string cwd;
    uint32_t n = files.currentDirectory(cwd, 5000);
    EXPECT_EQ(cwd, base() + "\\files");
    EXPECT_EQ(n, widen(cwd).size());
    // Too small: the size it would need, terminator included, and no text.
    std::string small = "untouched";
    EXPECT_EQ(files.currentDirectory(small, 4), n + 1);
    EXPECT_EQ(small, "untouched");
    EXPECT_EQ(files.currentDirectory(small, n), n + 1);
    EXPECT_EQ(files.currentDirectory(small, n + 1), n);

    ASSERT_TRUE(files.setCurrentDirectory(".."));
    files.currentDirectory(cwd, 5000);
    EXPECT_EQ(cwd, base());
    EXPECT_FALSE(files.setCurrentDirectory("files\\none"));
    EXPECT_TRUE(files.lastError() == ERROR_FILE_NOT_FOUND || files.lastError() == ERROR_PATH_NOT_FOUND)
        << files.lastError();
}

TEST(WinConsoleOnPipes, WritesCodePage932WithCrLfAndReadsLinesOneByOne) {
    HANDLE outR, outW, inR, inW;
    ASSERT_TRUE(CreatePipe(&outR, &outW, nullptr, 1 << 16));
    ASSERT_TRUE(CreatePipe(&inR, &inW, nullptr, 1 << 16));
    HANDLE oldOut = GetStdHandle(STD_OUTPUT_HANDLE), oldIn = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, outW);
    SetStdHandle(STD_INPUT_HANDLE, inR);
    {
        WinConsole c;
        SetStdHandle(STD_OUTPUT_HANDLE, oldOut);
        SetStdHandle(STD_INPUT_HANDLE, oldIn);

        c.write("\r進行状況：0%");
        c.write("\n");
        c.flush();
        char buf[256];
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(outR, buf, sizeof buf, &n, nullptr));
        EXPECT_EQ(std::string(buf, n), "\r" + toCodePage("進行状況：", 932) + "0%\r\n");

        std::string typed = "127.0.0.1\r\n" + toCodePage("装置", 932) + "\n\nlast";
        DWORD w = 0;
        ASSERT_TRUE(WriteFile(inW, typed.data(), static_cast<DWORD>(typed.size()), &w, nullptr));
        std::string line;
        EXPECT_TRUE(c.readLine(line));
        EXPECT_EQ(line, "127.0.0.1");
        c.discardTypeahead();  // input from a pipe is a script: nothing is dropped
        EXPECT_TRUE(c.readLine(line));
        EXPECT_EQ(line, "装置");
        EXPECT_TRUE(c.readLine(line));
        EXPECT_EQ(line, "");
        CloseHandle(inW);
        EXPECT_FALSE(c.readLine(line));  // end of input after an unfinished line
        EXPECT_EQ(line, "last");
        EXPECT_FALSE(c.readLine(line));
        EXPECT_EQ(line, "");
    }
    CloseHandle(outR);
    CloseHandle(outW);
    CloseHandle(inR);
}

TEST(TickDeadline, WaitSlicesAndPassing) {
    TickDeadline d;
    EXPECT_FALSE(d.passed(1000));
    EXPECT_EQ(d.waitMs(1000, 250), 250u);  // no deadline: whole slices
    d.start(1000, 600);
    EXPECT_EQ(d.waitMs(1000, 250), 250u);
    EXPECT_EQ(d.waitMs(1500, 250), 100u);
    EXPECT_FALSE(d.passed(1599));
    EXPECT_TRUE(d.passed(1600));
    EXPECT_EQ(d.waitMs(1600, 250), 0u);
    EXPECT_EQ(d.waitMs(99999, 250), 0u);
    d.stop();
    EXPECT_FALSE(d.passed(99999));
}

// A listening socket on a free loopback port.
class Listener {
public:
    Listener() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(s_, 4);
        int len = sizeof sa;
        getsockname(s_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~Listener() {
        if (peer_ != INVALID_SOCKET) closesocket(peer_);
        closesocket(s_);
        WSACleanup();
    }
    uint16_t port() const { return port_; }
    SOCKET accept() {
        peer_ = ::accept(s_, nullptr, nullptr);
        return peer_;
    }
    void closeListener() {
        closesocket(s_);
        s_ = INVALID_SOCKET;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    uint16_t port_ = 0;
};

TEST(WinSessionSocket, TalksOnLoopbackAndSeesTheEndOfStream) {
    Listener l;
    WinSessionSocket s;
    ASSERT_TRUE(s.startup());
    ASSERT_TRUE(s.create());
    ASSERT_TRUE(s.startDeadline(20000));
    ASSERT_EQ(s.connect("127.0.0.1", l.port()), IoResult::Ok);
    SOCKET peer = l.accept();
    ASSERT_NE(peer, INVALID_SOCKET);

    const uint8_t hello[] = {255, 252, 1, 'r', 'o', 'o', 't', '\r', '\n'};
    ASSERT_EQ(s.send(hello, sizeof hello), IoResult::Ok);
    char got[32];
    int n = recv(peer, got, sizeof got, 0);
    ASSERT_EQ(n, static_cast<int>(sizeof hello));
    EXPECT_EQ(std::string(got, n), std::string(reinterpret_cast<const char*>(hello), sizeof hello));

    ::send(peer, "login: ", 7, 0);
    uint8_t buf[64];
    size_t len = 0;
    ASSERT_EQ(s.receive(buf, sizeof buf, len), IoResult::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len), "login: ");

    shutdown(peer, SD_SEND);
    EXPECT_EQ(s.receive(buf, sizeof buf, len), IoResult::Closed);
    EXPECT_EQ(len, 0u);
    s.close();
}

TEST(WinSessionSocket, DeadlineEndsAWaitOnASilentPeerAndEveryLaterCall) {
    Listener l;
    WinSessionSocket s;
    ASSERT_TRUE(s.startup());
    ASSERT_TRUE(s.create());
    ASSERT_TRUE(s.startDeadline(300));
    ASSERT_EQ(s.connect("127.0.0.1", l.port()), IoResult::Ok);
    ASSERT_NE(l.accept(), INVALID_SOCKET);
    uint8_t buf[16];
    size_t len = 99;
    EXPECT_EQ(s.receive(buf, sizeof buf, len), IoResult::TimedOut);
    EXPECT_EQ(len, 0u);
    const uint8_t b = 'x';
    EXPECT_EQ(s.send(&b, 1), IoResult::TimedOut);  // starts after the deadline
    // A fresh socket under the same, passed deadline cannot even connect.
    ASSERT_TRUE(s.create());
    EXPECT_EQ(s.connect("127.0.0.1", l.port()), IoResult::TimedOut);
    EXPECT_EQ(s.lastError(), WSAETIMEDOUT);
}

// Winsock's select while urgent (out-of-band) data is pending: the exception set
// says so at every call, whatever was read (as Windows documents it; wine's
// stops once a read has found nothing, so the stand-in plays Windows' part). It
// counts the waits.
std::atomic<int> g_selects{0};
std::atomic<bool> g_urgent{false};
uintptr_t g_urgentSocket = 0;
int urgentSelect(int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
    ++g_selects;
    if (g_urgent && e && FD_ISSET(static_cast<SOCKET>(g_urgentSocket), e)) {
        if (r) FD_ZERO(r);
        if (w) FD_ZERO(w);
        FD_ZERO(e);
        FD_SET(static_cast<SOCKET>(g_urgentSocket), e);
        return 1;
    }
    return ::select(n, r, w, e, t);
}

// A wait that watched the exception set for a receive or a send returned at once
// and went round again, at full CPU, until the normal data came or the deadline
// passed; urgent data is not part of the session's stream.
TEST(WinSessionSocket, PendingUrgentDataMakesNoWaitSpin) {
    Listener l;
    WinSessionSocket s;
    ASSERT_TRUE(s.startup());
    ASSERT_TRUE(s.create());
    s.setSelect(urgentSelect);
    ASSERT_TRUE(s.startDeadline(20000));
    ASSERT_EQ(s.connect("127.0.0.1", l.port()), IoResult::Ok);
    SOCKET peer = l.accept();
    ASSERT_NE(peer, INVALID_SOCKET);
    g_urgentSocket = s.handle();

    // Urgent data (the telnet data mark), then the prompt a second later.
    ASSERT_EQ(::send(peer, "\xF2", 1, MSG_OOB), 1);
    g_urgent = true;
    g_selects = 0;
    std::thread later([peer] {
        Sleep(1000);
        ::send(peer, "# ", 2, 0);
    });
    uint8_t buf[16];
    size_t len = 0;
    IoResult r = s.receive(buf, sizeof buf, len);
    later.join();
    ASSERT_EQ(r, IoResult::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len), "# ");  // without the urgent byte
    EXPECT_LE(g_selects.load(), 3) << "the receive went round while it waited a second";

    // The deadline ends such a wait, after as few rounds; and a send's wait alike.
    ASSERT_TRUE(s.startDeadline(1500));
    g_selects = 0;
    EXPECT_EQ(s.receive(buf, sizeof buf, len), IoResult::TimedOut);
    EXPECT_LE(g_selects.load(), 4) << "the receive went round until the deadline";
    g_selects = 0;
    const uint8_t b = 'x';
    ASSERT_TRUE(s.startDeadline(20000));
    EXPECT_EQ(s.send(&b, 1), IoResult::Ok);
    EXPECT_LE(g_selects.load(), 2);
    g_urgent = false;
    s.close();
}

TEST(WinSessionSocket, RefusedConnectCarriesTheWinsockCode) {
    uint16_t port;
    {
        Listener l;
        port = l.port();
    }  // nobody listens there any more
    WinSessionSocket s;
    ASSERT_TRUE(s.startup());
    ASSERT_TRUE(s.create());
    ASSERT_TRUE(s.startDeadline(20000));
    EXPECT_EQ(s.connect("127.0.0.1", port), IoResult::Failed);
    EXPECT_EQ(s.lastError(), WSAECONNREFUSED);
}

}  // namespace
}  // namespace uplder::win32
