// programrun: the carried program's process on Win32. Every path is built in
// std::wstring of the size the system asks for: the destination and the program
// together may be longer than MAX_PATH.
#include "programrun.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/win32/winfs.h"

namespace pakrel::win32 {
namespace {

// The short form of a path of any length; the long form when the system has
// none (short names switched off, or a path the call cannot take).
std::wstring shortPath(const std::wstring& path) {
    DWORD need = GetShortPathNameW(path.c_str(), nullptr, 0);
    for (int tries = 0; need > 0 && tries < 3; ++tries) {
        std::wstring out(need, L'\0');
        DWORD got = GetShortPathNameW(path.c_str(), out.data(), need);
        if (got == 0) break;
        if (got < need) {
            out.resize(got);
            return out;
        }
        need = got;  // too small after all: got is the size it needs now
    }
    return path;
}

std::wstring windowsFolder() {
    UINT need = GetWindowsDirectoryW(nullptr, 0);
    if (need == 0) return {};
    std::wstring out(need, L'\0');
    UINT got = GetWindowsDirectoryW(out.data(), need);
    if (got == 0 || got >= need) return {};
    out.resize(got);
    return out;
}

std::wstring searchPath(const wchar_t* file) {
    DWORD need = SearchPathW(nullptr, file, nullptr, 0, nullptr, nullptr);
    if (need == 0) return {};
    std::wstring out(need, L'\0');
    DWORD got = SearchPathW(nullptr, file, nullptr, need, out.data(), nullptr);
    if (got == 0 || got >= need) return {};
    out.resize(got);
    return out;
}

// rundll32 from anywhere but the Windows folder could be anybody's program.
bool insideFolder(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || path.size() <= folder.size()) return false;
    if (_wcsnicmp(path.c_str(), folder.c_str(), folder.size()) != 0) return false;
    return folder.back() == L'\\' || path[folder.size()] == L'\\';
}

class ShellProcess final : public RunningProgram {
public:
    explicit ShellProcess(HANDLE h) : h_(h) {}
    ~ShellProcess() override { CloseHandle(h_); }
    void waitUntilIdle() override { WaitForInputIdle(h_, INFINITE); }
    State state() override {
        DWORD code;
        if (!GetExitCodeProcess(h_, &code)) return State::Unknown;
        return code == STILL_ACTIVE ? State::Running : State::Ended;
    }
    void waitForEnd() override {
        while (WaitForSingleObject(h_, 100) == WAIT_TIMEOUT) {}
    }

private:
    HANDLE h_;
};

bool findInstallerWindow(const wchar_t*& cls, const wchar_t*& title) {
    static const wchar_t* kClasses[] = {L"MsiDialogCloseClass", L"InstallShield_Win"};
    for (const wchar_t* c : kClasses)
        if (FindWindowW(c, nullptr)) {
            cls = c;
            title = nullptr;
            return true;
        }
    if (FindWindowW(nullptr, L"Setup")) {
        cls = nullptr;
        title = L"Setup";
        return true;
    }
    return false;
}

}  // namespace

void installInf(const ProgramCommand& command, bool withoutRedirection) {
    std::wstring rundll = searchPath(L"rundll32.exe");
    if (!insideFolder(rundll, windowsFolder())) return;
    std::wstring text =
        rundll + L" setupapi,InstallHinfSection DefaultInstall 132 " + shortPath(widen(command.file));
    // CreateProcessW may write into its command line: a private, terminated copy.
    std::vector<wchar_t> line(text.begin(), text.end());
    line.push_back(L'\0');
    std::wstring dir = widen(command.folder);

    using Disable = BOOL(WINAPI*)(PVOID*);
    using Revert = BOOL(WINAPI*)(PVOID);
    HMODULE k = GetModuleHandleW(L"kernel32.dll");
    auto disable = reinterpret_cast<Disable>(reinterpret_cast<void*>(GetProcAddress(k, "Wow64DisableWow64FsRedirection")));
    auto revert = reinterpret_cast<Revert>(reinterpret_cast<void*>(GetProcAddress(k, "Wow64RevertWow64FsRedirection")));
    PVOID old = nullptr;
    bool redirectionOff = withoutRedirection && disable && disable(&old);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.empty() ? nullptr : dir.c_str(),
                       &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    if (redirectionOff && revert) revert(old);
}

std::unique_ptr<RunningProgram> startProgram(const ProgramCommand& command) {
    std::wstring file = widen(command.file), params = widen(command.parameters), dir = widen(command.folder);
    SHELLEXECUTEINFOW ei{};
    ei.cbSize = sizeof ei;
    ei.fMask = SEE_MASK_NOCLOSEPROCESS;
    ei.lpFile = file.c_str();
    ei.lpParameters = params.empty() ? nullptr : params.c_str();
    ei.lpDirectory = dir.empty() ? nullptr : dir.c_str();
    ei.nShow = SW_SHOW;
    if (!ShellExecuteExW(&ei) || !ei.hProcess) return nullptr;
    return std::make_unique<ShellProcess>(ei.hProcess);
}

void waitForInstallerWindows(int looks) {
    for (int i = 0; i < looks; ++i) {
        const wchar_t *cls = nullptr, *title = nullptr;
        if (findInstallerWindow(cls, title)) {
            while (FindWindowW(cls, title)) Sleep(100);
            return;
        }
        Sleep(10);
    }
}

}  // namespace pakrel::win32
