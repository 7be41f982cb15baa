// pakrelW: the self-extracting package's Windows program. The run itself is
// the portable SfxRun (sfxrun.h); this file is its Win32 shell: the version
// and WOW64 queries, the program's own headers in memory, and the message boxes,
// dialogs (dialogs.h) and program runner (programrun.h) the run asks for.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <shellapi.h>

#include <string>

#include "dialogs.h"
#include "pe.h"
#include "platform/win32/winfs.h"
#include "programrun.h"
#include "resource.h"
#include "sfxrun.h"

using namespace pakrel;
using namespace pakrel::win32;

namespace {

// The full path of this program, however long.
std::wstring modulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return {};  // longer than any Windows path
        path.resize(path.size() * 2);
    }
}

class WinShell final : public SfxShell {
public:
    bool ntFamily() override {
        OSVERSIONINFOW vi{};
        vi.dwOSVersionInfoSize = sizeof vi;
        GetVersionExW(&vi);
        return vi.dwPlatformId == VER_PLATFORM_WIN32_NT;
    }
    // A system without Wow64EnableWow64FsRedirection counts as not WOW64.
    bool underWow64() override {
        using IsWow = BOOL(WINAPI*)(HANDLE, PBOOL);
        HMODULE k = GetModuleHandleW(L"kernel32.dll");
        auto isWow = reinterpret_cast<IsWow>(reinterpret_cast<void*>(GetProcAddress(k, "IsWow64Process")));
        BOOL wow = FALSE;
        return GetProcAddress(k, "Wow64EnableWow64FsRedirection") && isWow && isWow(GetCurrentProcess(), &wow) && wow;
    }
    void prepareUi() override {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS};
        InitCommonControlsEx(&icc);
        // The folder browser's new style needs OLE on this thread.
        OleInitialize(nullptr);
    }
    std::string commandLine() override { return narrow(GetCommandLineW()); }
    std::string ownPath() override { return narrow(modulePath()); }
    int64_t ownBlockOffset() override {
        const auto* image = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
        return peBlockOffset(image, nt->OptionalHeader.SizeOfHeaders);
    }

    void error(SfxText text, const std::string& arg) override {
        UINT id = UINT(text);
        switch (text) {
        case SfxText::Win9x: {
            // Such a system has no Unicode message box.
            char t[256] = "";
            LoadStringA(instance(), id, t, sizeof t);
            MessageBoxA(nullptr, t, "CAB-SFX [Unicode version]", MB_OK | MB_ICONERROR);
            return;
        }
        case SfxText::CrcError: box(nullptr, format1(id, widen(arg)), L"Warning", MB_OK | MB_ICONERROR); return;
        default: box(nullptr, loadString(id), kCaption, MB_OK | MB_ICONERROR); return;
        }
    }
    bool retryOpen() override { return retryBox(nullptr); }
    bool askQuestion(const std::string& question, const std::string& title) override {
        return box(nullptr, widen(question), widen(title).c_str(), MB_YESNO | MB_ICONQUESTION) == IDYES;
    }
    bool askCreateFolder(const std::string& path) override {
        return box(nullptr, format1(IDS_CREATEQ, widen(path)), kCaption, MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
    }

    bool destinationDialog(PackageBlock& settings, const std::string& baseName) override {
        return win32::destinationDialog(settings, widen(baseName));
    }
    void checkWindowOpen(uint64_t units) override { check_.open(units); }
    void checkWindowStep(uint64_t units) override { check_.step(units); }
    void checkWindowClose() override { check_.close(); }
    ExtractResult extract(int64_t cabinetSize, std::atomic<int>& cancel, const ExtractWork& work) override {
        return extractWithProgress(cabinetSize, cancel, work);
    }

    void installInf(const ProgramCommand& command, bool withoutRedirection) override {
        win32::installInf(command, withoutRedirection);
    }
    std::unique_ptr<RunningProgram> startProgram(const ProgramCommand& command) override {
        return win32::startProgram(command);
    }
    void sleepMs(unsigned ms) override { Sleep(ms); }
    void waitForInstallerWindows(int looks) override { win32::waitForInstallerWindows(looks); }
    void openFolder(const std::string& path) override {
        MessageBeep(MB_ICONINFORMATION);
        ShellExecuteW(nullptr, L"open", widen(path).c_str(), nullptr, nullptr, SW_SHOWDEFAULT);
    }

private:
    CheckWindow check_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, PWSTR, int) {
    setInstance(inst);
    WinFileSystem fs;
    AnsiCodePage cp;
    WinMacroFolders macros;
    WinShell shell;
    SfxRun run(shell, fs, macros, cp);
    return run.run();
}
