// conpeek: what a console window shows, for the tests that run the update package
// as a service person does: the uploader that the package starts has a console of
// its own, which only a person at the screen sees. conpeek attaches to that console
// and prints its text, so that a test can wait for a prompt before it types the
// answer and keep the whole dialogue as its transcript.
//
// usage: conpeek PROGRAM.exe   prints the screen buffer of the console of the first
//                              process whose program file is PROGRAM.exe (case
//                              ignored), as UTF-8 lines without trailing blanks,
//                              to the file given by ORV_CONPEEK_OUT, else to the
//                              standard output. Exit 0; 2 when no such process
//                              runs, 3 when its console cannot be read.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

DWORD findProcess(const wchar_t* exe) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    DWORD pid = 0;
    for (BOOL more = Process32FirstW(snap, &e); more && !pid; more = Process32NextW(snap, &e)) {
        if (_wcsicmp(e.szExeFile, exe) == 0) pid = e.th32ProcessID;
    }
    CloseHandle(snap);
    return pid;
}

std::string utf8(const std::wstring& w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: conpeek PROGRAM.exe\n", stderr);
        return 1;
    }
    DWORD pid = findProcess(argv[1]);
    if (!pid) return 2;
    // The text goes to a file opened before the console changes, as the standard
    // handles belong to the console this program leaves.
    const wchar_t* outName = _wgetenv(L"ORV_CONPEEK_OUT");
    FILE* out = outName ? _wfopen(outName, L"wb") : stdout;
    if (!out) return 1;
    FreeConsole();
    if (!AttachConsole(pid)) return 3;
    HANDLE con = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (con == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(con, &info)) return 3;
    std::string text;
    std::wstring line(size_t(info.dwSize.X), L' ');
    // Up to the cursor's line: below it nothing has been written yet.
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        DWORD got = 0;
        if (!ReadConsoleOutputCharacterW(con, line.data(), DWORD(line.size()), COORD{0, y}, &got)) return 3;
        std::wstring l(line.data(), got);
        while (!l.empty() && (l.back() == L' ' || l.back() == L'\0')) l.pop_back();
        text += utf8(l) + "\n";
    }
    CloseHandle(con);
    FreeConsole();
    std::fwrite(text.data(), 1, text.size(), out);
    if (out != stdout) std::fclose(out);
    return 0;
}
