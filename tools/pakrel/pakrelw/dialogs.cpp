// dialogs: string table, message boxes, the overwrite and progress dialogs and
// the check window of pakrelW.
#include "dialogs.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <thread>

#include "names.h"
#include "platform/win32/winfs.h"
#include "resource.h"

namespace pakrel::win32 {

const wchar_t kCaption[] = L"CAB-SFX";

namespace {

constexpr UINT WM_SETPOS = WM_APP + 1, WM_STOPANIM = WM_APP + 2, WM_PLAYANIM = WM_APP + 3,
               WM_WORKERDONE = WM_APP + 4;

HINSTANCE g_inst;
HWND g_progress = nullptr;
std::atomic<int>* g_cancel = nullptr;  // the run's flag while the progress dialog is open

}  // namespace

void setInstance(HINSTANCE inst) { g_inst = inst; }
HINSTANCE instance() { return g_inst; }

std::wstring loadString(UINT id) {
    const wchar_t* p = nullptr;
    int n = LoadStringW(g_inst, id, reinterpret_cast<LPWSTR>(&p), 0);
    return n > 0 ? std::wstring(p, size_t(n)) : std::wstring();
}

std::wstring format1(UINT id, const std::wstring& arg) {
    std::wstring f = loadString(id);
    std::wstring out;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] == L'%' && i + 1 < f.size() && f[i + 1] == L's') {
            out += arg;
            ++i;
        } else out += f[i];
    }
    return out;
}

int box(HWND owner, const std::wstring& text, const wchar_t* caption, UINT flags) {
    return MessageBoxW(owner, text.c_str(), caption, flags);
}

// The Retry/Cancel box for a failed open: true for Retry.
bool retryBox(HWND owner) {
    DWORD e = GetLastError();
    wchar_t* msg = nullptr;
    std::wstring text;
    if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, e, 0, reinterpret_cast<LPWSTR>(&msg), 0, nullptr) && msg) {
        text = msg;
        LocalFree(msg);
    } else {
        wchar_t b[64];
        swprintf(b, 64, L"Unknown error %ld", long(e));
        text = b;
    }
    return box(owner, text, kCaption, MB_RETRYCANCEL | MB_ICONERROR) == IDRETRY;
}

namespace {

// Overwrite dialog text for one side: string 9 filled with the date and the size.
std::wstring fileInfo(uint16_t date, uint16_t time, uint64_t size) {
    FatDateTime t = fatSplit(date, time);
    std::wstring f = loadString(IDS_FILEINFO);
    wchar_t buf[256] = L"";
    // A translation longer than the buffer is cut, and terminated in any case.
    bool english = f.find(L"Byte") != std::wstring::npos;
    if (english)
        swprintf(buf, 256, f.c_str(), t.month, t.day, t.year, t.hour, t.minute, t.second);
    else
        swprintf(buf, 256, f.c_str(), t.year, t.month, t.day, t.hour, t.minute, t.second);
    buf[255] = L'\0';
    if (!english) {
        static const wchar_t kDays[] = L"日月火水木金土";
        for (wchar_t* p = buf; *p; ++p)
            if (*p == L'?') {
                *p = kDays[weekday(t.year, t.month, t.day)];
                break;
            }
    }
    // The format's "%%s" became "%s": the size with thousands separators goes there.
    std::wstring s = buf;
    size_t at = s.find(L"%s");
    if (at != std::wstring::npos) s.replace(at, 2, widen(withThousands(size)));
    return s;
}

struct OverwriteArgs {
    std::string path;
    FileStat existing;
    uint16_t date, time;
    uint32_t size;
};

INT_PTR CALLBACK overwriteProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_INITDIALOG) {
        auto* a = reinterpret_cast<OverwriteArgs*>(l);
        std::string name = a->path.substr(a->path.rfind('\\') + 1);
        wchar_t t[512];
        GetDlgItemTextW(h, IDC_NAME, t, 512);
        std::wstring s = t;
        size_t at = s.find(L"%s");
        if (at != std::wstring::npos) s.replace(at, 2, widen(name));
        SetDlgItemTextW(h, IDC_NAME, s.c_str());
        SetDlgItemTextW(h, IDC_OLDINFO, fileInfo(a->existing.date, a->existing.time, a->existing.size).c_str());
        SetDlgItemTextW(h, IDC_NEWINFO, fileInfo(a->date, a->time, a->size).c_str());
        // Both places show the existing file's shell icon: the new one is not on disk yet.
        SHFILEINFOW fi{};
        if (SHGetFileInfoW(widen(a->path).c_str(), 0, &fi, sizeof fi, SHGFI_ICON | SHGFI_LARGEICON) && fi.hIcon) {
            SendDlgItemMessageW(h, IDC_OLDICON, STM_SETICON, WPARAM(fi.hIcon), 0);
            SendDlgItemMessageW(h, IDC_NEWICON, STM_SETICON, WPARAM(fi.hIcon), 0);
            SetPropW(h, L"pakrelw.icon", fi.hIcon);
        }
        return TRUE;
    }
    if (m == WM_DESTROY) {
        if (HANDLE icon = RemovePropW(h, L"pakrelw.icon")) DestroyIcon(static_cast<HICON>(icon));
        return FALSE;
    }
    if (m == WM_COMMAND) {
        switch (LOWORD(w)) {
        case IDYES: EndDialog(h, 6); return TRUE;
        case IDNO: EndDialog(h, 7); return TRUE;
        case IDC_YESALL: EndDialog(h, 100); return TRUE;
        case IDC_NEWER: EndDialog(h, 101); return TRUE;
        case IDC_OCANCEL: case IDCANCEL: EndDialog(h, -1); return TRUE;
        }
    }
    if (m == WM_CLOSE) {
        EndDialog(h, -1);
        return TRUE;
    }
    return FALSE;
}

class DialogUi final : public ExtractUi {
public:
    void currentFile(const std::string& name) override {
        if (g_progress) SetDlgItemTextW(g_progress, IDC_FILE, widen(name).c_str());
    }
    void invalidName(const std::string& name) override {
        box(g_progress, format1(IDS_BADNAME, widen(name)), kCaption, MB_OK | MB_ICONWARNING);
    }
    void folderFailed(const std::string&) override {
        box(g_progress, loadString(IDS_FORBIDDEN), kCaption, MB_OK | MB_ICONERROR);
    }
    OverwriteAnswer askOverwrite(const std::string& path, const FileStat& existing, uint16_t d, uint16_t t,
                                 uint32_t size) override {
        OverwriteArgs a{path, existing, d, t, size};
        SendMessageW(g_progress, WM_STOPANIM, 0, 0);
        INT_PTR r = DialogBoxParamW(g_inst, MAKEINTRESOURCEW(IDD_OVERWRITE), g_progress, overwriteProc,
                                    reinterpret_cast<LPARAM>(&a));
        SendMessageW(g_progress, WM_PLAYANIM, 0, 0);
        switch (r) {
        case 6: return OverwriteAnswer::Yes;
        case 7: return OverwriteAnswer::No;
        case 100: return OverwriteAnswer::YesToAll;
        case 101: return OverwriteAnswer::Newer;
        default: return OverwriteAnswer::Cancel;
        }
    }
    bool retryOpen(const std::string&) override { return retryBox(g_progress); }
};

INT_PTR CALLBACK progressProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    HWND anim = GetDlgItem(h, IDC_ANIM);
    switch (m) {
    case WM_INITDIALOG:
        SendDlgItemMessageW(h, IDC_PROGRESS, PBM_SETRANGE32, 0, LPARAM(l / 1024));
        anim = CreateWindowExW(0, ANIMATE_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | ACS_TRANSPARENT | ACS_AUTOPLAY, 50,
                               0, 96, 32, h, reinterpret_cast<HMENU>(INT_PTR(IDC_ANIM)), g_inst, nullptr);
        SendMessageW(anim, ACM_OPENW, WPARAM(g_inst), LPARAM(MAKEINTRESOURCEW(IDR_PROGRESS_AVI)));
        return TRUE;
    case WM_SETPOS: SendDlgItemMessageW(h, IDC_PROGRESS, PBM_SETPOS, w, 0); return TRUE;
    case WM_STOPANIM: SendMessageW(anim, ACM_STOP, 0, 0); return TRUE;
    case WM_PLAYANIM: SendMessageW(anim, ACM_PLAY, WPARAM(-1), MAKELPARAM(0, 0xFFFF)); return TRUE;
    case WM_COMMAND:
        // Cancel only raises the flag: the worker ends the walk and then closes the dialog.
        if (LOWORD(w) == IDCANCEL) g_cancel->store(100);
        return TRUE;
    case WM_CLOSE:
        g_cancel->store(100);
        DestroyWindow(h);
        return TRUE;
    case WM_WORKERDONE:
        DestroyWindow(anim);
        DestroyWindow(h);
        return TRUE;
    case WM_DESTROY: g_progress = nullptr; PostQuitMessage(0); return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK checkProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

}  // namespace

void CheckWindow::open(uint64_t units) {
    window_ = CreateDialogParamW(g_inst, MAKEINTRESOURCEW(IDD_CHECK), nullptr, checkProc, 0);
    ShowWindow(window_, SW_SHOW);
    SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETRANGE32, 0, LPARAM(units));
}

void CheckWindow::step(uint64_t units) {
    SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETPOS, WPARAM(units), 0);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void CheckWindow::close() {
    if (window_) DestroyWindow(window_);
    window_ = nullptr;
}

ExtractResult extractWithProgress(int64_t cabinetSize, std::atomic<int>& cancel, const ExtractWork& work) {
    g_cancel = &cancel;
    g_progress = CreateDialogParamW(g_inst, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, progressProc, LPARAM(cabinetSize));
    ShowWindow(g_progress, SW_SHOW);
    HWND progress = g_progress;
    DialogUi ui;
    ExtractResult result;
    std::thread worker([&] {
        result = work(ui, [progress](uint64_t kib) { PostMessageW(progress, WM_SETPOS, WPARAM(kib), 0); });
        PostMessageW(progress, WM_WORKERDONE, 0, 0);
    });
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (g_progress && IsDialogMessageW(g_progress, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    worker.join();
    g_cancel = nullptr;
    return result;
}

}  // namespace pakrel::win32
