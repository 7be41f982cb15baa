// pakrelW: the self-extracting package's Windows shell. Reads the block behind
// its own image, asks the opening question, checks the CRC, chooses and creates
// the destination, extracts on a worker thread under the progress dialog, runs
// the carried program (or installs an ".inf"), waits for it and for installer
// windows, and removes what it extracted.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <winnetwk.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "block.h"
#include "cabformat.h"
#include "cmdline.h"
#include "complete.h"
#include "crc.h"
#include "extract.h"
#include "names.h"
#include "pe.h"
#include "platform/win32/winfs.h"
#include "resource.h"

using namespace pakrel;

namespace {

constexpr UINT WM_SETPOS = WM_APP + 1, WM_STOPANIM = WM_APP + 2, WM_PLAYANIM = WM_APP + 3,
               WM_WORKERDONE = WM_APP + 4;
const wchar_t kCaption[] = L"CAB-SFX";

WinFileSystem g_fs;
AnsiCodePage g_cp;
WinMacroFolders g_macros;
PackageBlock g_settings;
std::atomic<int> g_cancel{0};
DeletionList g_deletions;
HWND g_progress = nullptr;
HINSTANCE g_inst;

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

// Overwrite dialog text for one side: string 9 filled with the date and the size.
std::wstring fileInfo(uint16_t date, uint16_t time, uint64_t size) {
    FatDateTime t = fatSplit(date, time);
    std::wstring f = loadString(IDS_FILEINFO);
    wchar_t buf[256];
    if (f.find(L"Byte") != std::wstring::npos)
        swprintf(buf, 256, f.c_str(), t.month, t.day, t.year, t.hour, t.minute, t.second);
    else {
        swprintf(buf, 256, f.c_str(), t.year, t.month, t.day, t.hour, t.minute, t.second);
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
        if (LOWORD(w) == IDCANCEL) g_cancel.store(100);
        return TRUE;
    case WM_CLOSE:
        g_cancel.store(100);
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

// --- The destination dialog's autocompletion list -------------------------

struct Completion {
    HWND dialog = nullptr, edit = nullptr, list = nullptr;
    HHOOK hook = nullptr;
    WNDPROC editProc = nullptr, listProc = nullptr;
    bool ownChange = false;  // the dialog itself is changing the edit text
    std::wstring base;       // the archive's base name
    std::wstring previous;   // the destination the dialog opened with
};
Completion g_comp;

void setEditText(const std::wstring& t) {
    g_comp.ownChange = true;
    SetWindowTextW(g_comp.edit, t.c_str());
    g_comp.ownChange = false;
    int n = GetWindowTextLengthW(g_comp.edit);
    SendMessageW(g_comp.edit, EM_SETSEL, WPARAM(n), LPARAM(n));
}

std::wstring editText() {
    wchar_t t[MAX_PATH + 1] = L"";
    GetWindowTextW(g_comp.edit, t, MAX_PATH + 1);
    return t;
}

void closeList() {
    if (g_comp.hook) UnhookWindowsHookEx(g_comp.hook);
    g_comp.hook = nullptr;
    if (g_comp.list) DestroyWindow(g_comp.list);
    g_comp.list = nullptr;
}

void copySelection() {
    LRESULT i = SendMessageW(g_comp.list, LB_GETCURSEL, 0, 0);
    if (i == LB_ERR) return;
    std::wstring t(size_t(SendMessageW(g_comp.list, LB_GETTEXTLEN, WPARAM(i), 0)) + 1, L'\0');
    LRESULT n = SendMessageW(g_comp.list, LB_GETTEXT, WPARAM(i), LPARAM(t.data()));
    t.resize(n > 0 ? size_t(n) : 0);
    setEditText(t);
}

// Keys for the list while it is open; everything else goes on to the dialog.
LRESULT CALLBACK keyHook(int code, WPARAM key, LPARAM l) {
    bool down = (l & (LPARAM(1) << 31)) == 0;
    if (code != HC_ACTION || !g_comp.list || !down) return CallNextHookEx(g_comp.hook, code, key, l);
    LRESULT n = SendMessageW(g_comp.list, LB_GETCOUNT, 0, 0);
    LRESULT i = SendMessageW(g_comp.list, LB_GETCURSEL, 0, 0);
    LRESULT to;
    switch (key) {
    case VK_TAB: to = GetKeyState(VK_SHIFT) < 0 ? i - 1 : i + 1; break;
    case VK_UP: to = i - 1; break;
    case VK_DOWN: to = i + 1; break;
    case VK_PRIOR: to = 0; break;
    case VK_NEXT: to = n - 1; break;
    case VK_RETURN:
        copySelection();
        closeList();
        return 1;
    default: return CallNextHookEx(g_comp.hook, code, key, l);
    }
    if (i == LB_ERR && key == VK_UP) to = n - 1;
    if (to < 0) to = n - 1;  // both directions wrap around
    if (to >= n) to = 0;
    SendMessageW(g_comp.list, LB_SETCURSEL, WPARAM(to), 0);
    copySelection();
    return 1;
}

LRESULT CALLBACK listProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_MOUSEMOVE) {
        LRESULT r = SendMessageW(h, LB_ITEMFROMPOINT, 0, l);
        if (HIWORD(r) == 0) SendMessageW(h, LB_SETCURSEL, LOWORD(r), 0);
        return 0;
    }
    if (m == WM_LBUTTONUP) {
        LRESULT r = SendMessageW(h, LB_ITEMFROMPOINT, 0, l);
        if (HIWORD(r) == 0) {
            SendMessageW(h, LB_SETCURSEL, LOWORD(r), 0);
            copySelection();
        }
        closeList();
        return 0;
    }
    if (m == WM_MOUSEACTIVATE) return MA_NOACTIVATE;  // the edit box keeps the focus
    return CallWindowProcW(g_comp.listProc, h, m, w, l);
}

// Servers of the first network of the provider, or the shares of a server.
void networkNames(const CompletionQuery& q, std::vector<std::wstring>& out) {
    auto each = [](NETRESOURCEW* at, DWORD scope, DWORD type, auto&& fn) {
        HANDLE e;
        if (WNetOpenEnumW(scope, type, 0, at, &e) != NO_ERROR) return;
        std::vector<uint8_t> buf(16384);
        for (;;) {
            DWORD count = DWORD(-1), size = DWORD(buf.size());
            DWORD r = WNetEnumResourceW(e, &count, buf.data(), &size);
            if (r != NO_ERROR) break;
            auto* nr = reinterpret_cast<NETRESOURCEW*>(buf.data());
            bool more = true;
            for (DWORD i = 0; i < count && more; ++i) more = fn(nr[i]);
            if (!more) break;
        }
        WNetCloseEnum(e);
    };
    if (q.kind == CompletionKind::Shares) {
        std::wstring server = widen(q.server), prefix = widen(q.prefix);
        NETRESOURCEW at{};
        at.dwScope = RESOURCE_GLOBALNET;
        at.dwUsage = RESOURCEUSAGE_CONTAINER;
        at.lpRemoteName = server.data();
        each(&at, RESOURCE_GLOBALNET, RESOURCETYPE_DISK, [&](NETRESOURCEW& r) {
            std::wstring name = r.lpRemoteName ? r.lpRemoteName : L"";
            std::wstring share = name.size() > server.size() + 1 ? name.substr(server.size() + 1) : L"";
            if (!share.empty() && _wcsnicmp(share.c_str(), prefix.c_str(), prefix.size()) == 0)
                out.push_back(name);
            return true;
        });
        return;
    }
    std::wstring prefix = widen(q.prefix);
    each(nullptr, RESOURCE_GLOBALNET, RESOURCETYPE_ANY, [&](NETRESOURCEW& provider) {
        if (!provider.lpProvider || wcscmp(provider.lpProvider, L"Microsoft Windows Network") != 0) return true;
        bool first = true;
        each(&provider, RESOURCE_GLOBALNET, RESOURCETYPE_ANY, [&](NETRESOURCEW& network) {
            if (!first) return false;
            first = false;
            each(&network, RESOURCE_GLOBALNET, RESOURCETYPE_ANY, [&](NETRESOURCEW& server) {
                if (server.lpRemoteName && _wcsnicmp(server.lpRemoteName, prefix.c_str(), prefix.size()) == 0)
                    out.push_back(server.lpRemoteName);
                return true;
            });
            return false;
        });
        return false;
    });
}

void folderNames(const CompletionQuery& q, std::vector<std::wstring>& out) {
    std::wstring folder = widen(q.folder), prefix = widen(q.prefix);
    wchar_t pattern[2 * MAX_PATH];
    swprintf(pattern, 2 * MAX_PATH, L"%ls\\%ls*", folder.c_str(), prefix.c_str());
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW(pattern, &fd);
    if (f == INVALID_HANDLE_VALUE) return;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (fd.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) || !wcscmp(fd.cFileName, L".") ||
            !wcscmp(fd.cFileName, L".."))
            continue;
        wchar_t entry[2 * MAX_PATH];
        swprintf(entry, 2 * MAX_PATH, L"%ls\\%ls", folder.c_str(), fd.cFileName);
        out.push_back(entry);
    } while (FindNextFileW(f, &fd));
    FindClose(f);
}

void showList(const std::vector<std::wstring>& names) {
    if (!g_comp.list) {
        g_comp.list = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, L"LISTBOX", nullptr,
                                      WS_POPUP | WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 0, 0, 10,
                                      10, g_comp.dialog, nullptr, g_inst, nullptr);
        SendMessageW(g_comp.list, WM_SETFONT, SendMessageW(g_comp.edit, WM_GETFONT, 0, 0), FALSE);
        g_comp.listProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(g_comp.list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(listProc)));
        g_comp.hook = SetWindowsHookExW(WH_KEYBOARD, keyHook, nullptr, GetCurrentThreadId());
    }
    SendMessageW(g_comp.list, LB_RESETCONTENT, 0, 0);
    RECT er;
    GetWindowRect(g_comp.edit, &er);
    int width = er.right - er.left;
    HDC dc = GetDC(g_comp.list);
    HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageW(g_comp.list, WM_GETFONT, 0, 0)));
    for (const std::wstring& n : names) {
        SendMessageW(g_comp.list, LB_ADDSTRING, 0, LPARAM(n.c_str()));
        SIZE sz;
        if (GetTextExtentPoint32W(dc, n.c_str(), int(n.size()), &sz)) width = std::max(width, int(sz.cx) + 8);
    }
    SelectObject(dc, old);
    ReleaseDC(g_comp.list, dc);
    int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
    width = std::min(width, screenW - int(er.left));
    int item = int(SendMessageW(g_comp.list, LB_GETITEMHEIGHT, 0, 0));
    int height = item * int(names.size()) + 2;
    height = std::max(item + 2, std::min(height, screenH - 60 - int(er.bottom)));
    SetWindowPos(g_comp.list, HWND_TOPMOST, er.left, er.bottom, width, height, SWP_NOACTIVATE | SWP_SHOWWINDOW);
    CheckDlgButton(g_comp.dialog, IDC_MKDIR, BST_UNCHECKED);
}

void editChanged() {
    std::wstring t = editText();
    if (t.empty()) {
        closeList();
        setEditText(g_comp.previous);
        return;
    }
    CompletionQuery q = completionQuery(narrow(t));
    std::vector<std::wstring> names;
    if (q.kind == CompletionKind::Servers || q.kind == CompletionKind::Shares) networkNames(q, names);
    else if (q.kind == CompletionKind::Folders) folderNames(q, names);
    if (names.empty()) closeList();
    else showList(names);
}

LRESULT CALLBACK editProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_LBUTTONDBLCLK) {
        std::wstring t = editText();
        if (t.empty() || t.back() != L'\\') setEditText(t + L'\\');
        else setEditText(t);
        return 0;
    }
    if (m == WM_KILLFOCUS && g_comp.list && HWND(w) != g_comp.list) closeList();
    return CallWindowProcW(g_comp.editProc, h, m, w, l);
}

int CALLBACK browseCallback(HWND h, UINT m, LPARAM, LPARAM start) {
    if (m == BFFM_INITIALIZED) SendMessageW(h, BFFM_SETSELECTIONW, TRUE, start);
    return 0;
}

INT_PTR CALLBACK destProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_INITDIALOG:
        g_comp = Completion{};
        g_comp.dialog = h;
        g_comp.edit = GetDlgItem(h, IDC_EDIT);
        g_comp.base = reinterpret_cast<const wchar_t*>(l);
        g_comp.previous = widen(fieldText(g_settings.destination));
        setEditText(g_comp.previous);
        g_comp.editProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(g_comp.edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(editProc)));
        return TRUE;
    case WM_ACTIVATE:
        if (LOWORD(w) == WA_INACTIVE) closeList();
        return FALSE;
    case WM_LBUTTONDOWN: case WM_RBUTTONDOWN: case WM_NCLBUTTONDOWN: case WM_NCRBUTTONDOWN:
        closeList();
        return FALSE;
    case WM_DESTROY:
        closeList();
        return FALSE;
    case WM_COMMAND: break;
    default: return FALSE;
    }
    switch (LOWORD(w)) {
    case IDC_EDIT:
        if (HIWORD(w) == EN_CHANGE && !g_comp.ownChange) editChanged();
        return TRUE;
    case IDOK:
        if (g_comp.list) {
            closeList();
            return TRUE;
        }
        setField(g_settings.destination, narrow(editText()));
        EndDialog(h, 1);
        return TRUE;
    case IDCANCEL:
        if (g_comp.list) {
            closeList();
            return TRUE;
        }
        EndDialog(h, 2);
        return TRUE;
    case IDC_BROWSE: {
        closeList();
        std::wstring title = loadString(IDS_BROWSE), start = editText();
        wchar_t t[MAX_PATH + 1];
        BROWSEINFOW bi{};
        bi.hwndOwner = h;
        bi.lpszTitle = title.c_str();
        bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
        bi.lpfn = browseCallback;
        bi.lParam = LPARAM(start.c_str());
        if (PIDLIST_ABSOLUTE id = SHBrowseForFolderW(&bi)) {
            if (SHGetPathFromIDListW(id, t)) setEditText(t);
            CoTaskMemFree(id);
        }
        return TRUE;
    }
    case IDC_MKDIR: {
        std::wstring p = editText();
        const std::wstring& base = g_comp.base;
        if (IsDlgButtonChecked(h, IDC_MKDIR)) {
            if (p.empty() || p.back() != L'\\') p += L'\\';
            p += base;
        } else {
            if (!p.empty() && p.back() == L'\\') p.pop_back();
            if (p.size() > base.size() && p.compare(p.size() - base.size(), base.size(), base) == 0 &&
                p[p.size() - base.size() - 1] == L'\\')
                p.resize(p.size() - base.size());
        }
        if (p.empty() || p.back() != L'\\') p += L'\\';
        setEditText(p);
        return TRUE;
    }
    }
    return FALSE;
}

INT_PTR CALLBACK checkProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

bool isFolder(const std::string& p) { return g_fs.stat(p).kind == FileKind::Folder; }

bool findWindowOf(const wchar_t*& cls, const wchar_t*& title) {
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
        need = got;  // the path changed between the calls: ask again with the new size
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

void runProgram(const std::string& dest, bool wait, char mark) {
    ProgramCommand pc = splitProgram(dest + fieldText(g_settings.program));
    std::wstring cmd = widen(pc.file), params = widen(pc.parameters), dir = widen(pc.folder);
    if (pc.inf) {
        std::wstring win = windowsFolder(), rundll = searchPath(L"rundll32.exe");
        if (win.empty() || rundll.empty() || _wcsnicmp(rundll.c_str(), win.c_str(), win.size()) != 0) return;
        std::wstring shortInf = shortPath(cmd);
        std::wstring text = rundll + L" setupapi,InstallHinfSection DefaultInstall 132 " + shortInf;
        // CreateProcessW may write into its command line: a private, terminated copy.
        std::vector<wchar_t> line(text.begin(), text.end());
        line.push_back(L'\0');
        PVOID old = nullptr;
        using Disable = BOOL(WINAPI*)(PVOID*);
        using Revert = BOOL(WINAPI*)(PVOID);
        HMODULE k = GetModuleHandleW(L"kernel32.dll");
        auto dis = reinterpret_cast<Disable>(reinterpret_cast<void*>(GetProcAddress(k, "Wow64DisableWow64FsRedirection")));
        auto rev = reinterpret_cast<Revert>(reinterpret_cast<void*>(GetProcAddress(k, "Wow64RevertWow64FsRedirection")));
        bool redirected = mark == '6' && dis && dis(&old);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi)) {
            WaitForSingleObject(pi.hProcess, INFINITE);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        if (redirected && rev) rev(old);
        return;
    }
    SHELLEXECUTEINFOW ei{};
    ei.cbSize = sizeof ei;
    ei.fMask = SEE_MASK_NOCLOSEPROCESS;
    ei.lpFile = cmd.c_str();
    ei.lpParameters = params.empty() ? nullptr : params.c_str();
    ei.lpDirectory = dir.c_str();
    ei.nShow = SW_SHOW;
    if (!ShellExecuteExW(&ei) || !ei.hProcess) return;
    WaitForInputIdle(ei.hProcess, INFINITE);
    Sleep(100);
    DWORD code;
    if (!wait || !GetExitCodeProcess(ei.hProcess, &code)) {
        CloseHandle(ei.hProcess);
        return;
    }
    int looks = 3000;
    if (code == STILL_ACTIVE) {
        while (WaitForSingleObject(ei.hProcess, 100) == WAIT_TIMEOUT) {}
        looks = 200;
    }
    CloseHandle(ei.hProcess);
    Sleep(1000);
    for (int i = 0; i < looks; ++i) {
        const wchar_t *cls = nullptr, *title = nullptr;
        if (findWindowOf(cls, title)) {
            while (FindWindowW(cls, title)) Sleep(100);
            break;
        }
        Sleep(10);
    }
}

int run() {
    OSVERSIONINFOW vi{};
    vi.dwOSVersionInfoSize = sizeof vi;
    GetVersionExW(&vi);
    if (vi.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        char t[256] = "";
        LoadStringA(g_inst, IDS_WIN9X, t, sizeof t);
        MessageBoxA(nullptr, t, "CAB-SFX [Unicode version]", MB_OK | MB_ICONERROR);
        return -2;
    }
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS};
    InitCommonControlsEx(&icc);
    // The folder browser's new style needs OLE on this thread.
    OleInitialize(nullptr);
    g_settings = initialSettings();
    CommandLine cl = parseCommandLine(narrow(GetCommandLineW()), g_settings, isFolder);

    wchar_t self[MAX_PATH + 1];
    GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
    std::string archive = cl.archive.empty() ? narrow(self) : cl.archive;
    bool temporary = false;
    char mark = '3';
    int64_t blockEnd = 0, imageEnd = 0;
    int h;
    while ((h = g_fs.open(archive, OpenMode::Read)) < 0)
        if (!retryBox(nullptr)) {
            box(nullptr, loadString(IDS_NOARCHIVE), kCaption, MB_OK | MB_ICONERROR);
            return -1;
        }
    int64_t size = g_fs.seek(h, 0, SeekFrom::End);
    if (cl.archive.empty()) {
        const auto* image = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
        auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
        size_t headers = nt->OptionalHeader.SizeOfHeaders;
        int64_t off = peBlockOffset(image, headers);
        if (off < 0 || off >= size) {
            g_fs.close(h);
            return -1;
        }
        imageEnd = off;
        uint8_t raw[kBlockSize];
        g_fs.seek(h, off, SeekFrom::Set);
        blockEnd = off + int64_t(kBlockSize);
        if (g_fs.read(h, raw, kBlockSize) == long(kBlockSize)) {
            PackageBlock b;
            decodeBlock(raw, b);
            if (blockMagicOk(b)) {
                if (b.program[0] == 0) b.magic[6] = '3';
                mark = platformMark(b);
                if (mark == '6') {
                    BOOL wow = FALSE;
                    using IsWow = BOOL(WINAPI*)(HANDLE, PBOOL);
                    HMODULE k = GetModuleHandleW(L"kernel32.dll");
                    auto isWow = reinterpret_cast<IsWow>(reinterpret_cast<void*>(GetProcAddress(k, "IsWow64Process")));
                    bool has = GetProcAddress(k, "Wow64EnableWow64FsRedirection") != nullptr;
                    if (!has || !isWow || !isWow(GetCurrentProcess(), &wow) || !wow) {
                        g_fs.close(h);
                        box(nullptr, loadString(IDS_WIN64), kCaption, MB_OK | MB_ICONERROR);
                        return -1;
                    }
                }
                std::string selfName = archive.substr(archive.rfind('\\') + 1);
                temporary = applyBlock(g_settings, b, g_macros, selfName);
            }
        }
    }
    int64_t cab = findCabinet(g_fs, h, imageEnd);
    if (cab < 0) {
        g_fs.close(h);
        box(nullptr, loadString(cab == -2 ? IDS_NOARCHIVE : IDS_FORMAT), kCaption, MB_OK | MB_ICONERROR);
        return -1;
    }
    int64_t cabSize = size - cab;
    std::wstring title = widen(fieldText(g_settings.title)), question = widen(fieldText(g_settings.question));
    if (!question.empty() && box(nullptr, question, title.c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES) {
        g_fs.close(h);
        return -1;
    }
    bool hasProgram = g_settings.program[0] != 0;
    if (g_settings.crc != 0) {
        HWND w = CreateDialogParamW(g_inst, MAKEINTRESOURCEW(IDD_CHECK), nullptr, checkProc, 0);
        ShowWindow(w, SW_SHOW);
        SendDlgItemMessageW(w, IDC_PROGRESS, PBM_SETRANGE32, 0, LPARAM((size - blockEnd) / 102400));
        uint32_t crc = 0;
        bool ok = crcFrom(g_fs, h, blockEnd, crc, [&](uint64_t done) {
            SendDlgItemMessageW(w, IDC_PROGRESS, PBM_SETPOS, WPARAM(done / 102400), 0);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        });
        DestroyWindow(w);
        if (!ok || crc != g_settings.crc) {
            box(nullptr, format1(IDS_CRC, widen(archive)), L"Warning", MB_OK | MB_ICONERROR);
            if (hasProgram) {
                g_fs.close(h);
                return -1;
            }
        }
    }
    g_fs.close(h);

    std::string folder, name;
    splitArchivePath(archive, folder, name);
    if (g_settings.destination[0] == 0) setField(g_settings.destination, folder);
    std::wstring base = widen(archiveBaseName(name));
    std::string dest;
    for (;;) {
        if (!g_settings.hideDialog &&
            DialogBoxParamW(g_inst, MAKEINTRESOURCEW(IDD_DEST), nullptr, destProc, reinterpret_cast<LPARAM>(base.c_str())) != 1)
            return -1;
        bool fell = false;
        dest = finalDestination(folder, fieldText(g_settings.destination), &fell);
        if (!fell) break;
        setField(g_settings.destination, folder);
        if (g_settings.hideDialog) break;
    }
    if (!isFolder(dest)) {
        if (!g_settings.noQuestions &&
            box(nullptr, format1(IDS_CREATEQ, widen(dest)), kCaption, MB_OKCANCEL | MB_ICONQUESTION) != IDOK)
            return 0;
        if (!makeFolders(g_fs, dest)) {
            box(nullptr, loadString(IDS_FORBIDDEN), kCaption, MB_OK | MB_ICONERROR);
            return -1;
        }
    }

    ExtractSettings es;
    es.destination = dest;
    es.noQuestions = g_settings.noQuestions != 0;
    es.recordForDeletion = g_settings.wait && hasProgram;
    g_progress = CreateDialogParamW(g_inst, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, progressProc, LPARAM(cabSize));
    ShowWindow(g_progress, SW_SHOW);
    HWND progress = g_progress;
    DialogUi ui;
    ExtractResult result;
    std::thread worker([&] {
        result = extractArchive(g_fs, archive, cab, ui, g_cp, g_cancel, es, g_deletions, [progress](uint64_t kib) {
            PostMessageW(progress, WM_SETPOS, WPARAM(kib), 0);
        });
        PostMessageW(progress, WM_WORKERDONE, 0, 0);
    });
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (g_progress && IsDialogMessageW(g_progress, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    worker.join();
    if (g_cancel.load()) return -1;
    if (hasProgram) {
        runProgram(dest, g_settings.wait != 0, mark);
        for (const std::string& p : g_deletions.paths()) {
            g_fs.setAttributes(p, 0);
            g_fs.removeFile(p);
        }
        if (temporary) {
            // Deepest folders first: longer paths of the same tree sort after their parents.
            std::vector<std::string> folders;
            for (const std::string& p : g_deletions.paths())
                for (size_t i = p.find('\\', dest.size()); i != std::string::npos; i = p.find('\\', i + 1))
                    folders.push_back(p.substr(0, i));
            std::sort(folders.begin(), folders.end(), [](auto& a, auto& b) { return a.size() > b.size(); });
            for (const std::string& f : folders) g_fs.removeFolder(f);
            g_fs.removeFolder(dest.substr(0, dest.size() - 1));
        }
        g_deletions.clear();
        return 0;
    }
    if (g_settings.openFolder && result.code == 0) {
        MessageBeep(MB_ICONINFORMATION);
        ShellExecuteW(nullptr, L"open", widen(dest).c_str(), nullptr, nullptr, SW_SHOWDEFAULT);
    }
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, PWSTR, int) {
    g_inst = inst;
    return run();
}
