// destdialog: the destination dialog (202) of pakrelW: the edit box with its
// autocompletion list of folders, servers and shares, the keyboard hook while
// the list is open, the folder browser and the archive-name check box.
#include <windows.h>
#include <shlobj.h>
#include <winnetwk.h>

#include <algorithm>
#include <string>
#include <vector>

#include "complete.h"
#include "dialogs.h"
#include "platform/win32/winfs.h"
#include "resource.h"

namespace pakrel::win32 {
namespace {

// --- The destination dialog's autocompletion list -------------------------

struct DestArgs {
    PackageBlock* settings;
    std::wstring base;
};

// Posted to the dialog to destroy a list that was closed inside its own window
// procedure (lParam: the list).
constexpr UINT kDestroyList = WM_APP + 1;

struct Completion {
    PackageBlock* settings = nullptr;
    HWND dialog = nullptr, edit = nullptr, list = nullptr;
    HHOOK hook = nullptr;
    WNDPROC editProc = nullptr, listProc = nullptr;
    int inListProc = 0;      // the list's window procedure is running (nested calls count)
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
    // As long as the user typed it: the destination is checked and cut later.
    std::wstring t(size_t(GetWindowTextLengthW(g_comp.edit)) + 1, L'\0');
    int n = GetWindowTextW(g_comp.edit, t.data(), int(t.size()));
    t.resize(n > 0 ? size_t(n) : 0);
    return t;
}

// Closes the list and removes the keyboard hook. A list is never destroyed
// inside its own window procedure (a click on an entry closes it from there, and
// the list must not be used after it is freed): it is hidden at once and
// destroyed when the dialog gets the message posted for it.
void closeList() {
    if (g_comp.hook) UnhookWindowsHookEx(g_comp.hook);
    g_comp.hook = nullptr;
    HWND list = g_comp.list;
    g_comp.list = nullptr;
    if (!list) return;
    if (g_comp.inListProc > 0) {
        ShowWindow(list, SW_HIDE);
        PostMessageW(g_comp.dialog, kDestroyList, 0, reinterpret_cast<LPARAM>(list));
    } else {
        DestroyWindow(list);
    }
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

// The list's mouse is ours: the stock list box would take the focus on a click,
// which deactivates the dialog, and the dialog would then destroy the list inside
// the list box's own click handler.
LRESULT listMessage(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_MOUSEMOVE: {
        LRESULT r = SendMessageW(h, LB_ITEMFROMPOINT, 0, l);
        if (HIWORD(r) == 0) SendMessageW(h, LB_SETCURSEL, LOWORD(r), 0);
        return 0;
    }
    case WM_LBUTTONDOWN: {
        // A click on an entry copies it into the edit box and closes the list.
        LRESULT r = SendMessageW(h, LB_ITEMFROMPOINT, 0, l);
        if (HIWORD(r) == 0 && h == g_comp.list) {
            SendMessageW(h, LB_SETCURSEL, LOWORD(r), 0);
            copySelection();
        }
        closeList();
        return 0;
    }
    case WM_LBUTTONUP: case WM_LBUTTONDBLCLK: case WM_RBUTTONDOWN: case WM_RBUTTONUP: case WM_RBUTTONDBLCLK:
        return 0;
    case WM_MOUSEACTIVATE: return MA_NOACTIVATE;  // the dialog stays active, the edit box keeps the focus
    default: return CallWindowProcW(g_comp.listProc, h, m, w, l);
    }
}

LRESULT CALLBACK listProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    ++g_comp.inListProc;
    LRESULT r = listMessage(h, m, w, l);
    --g_comp.inListProc;
    return r;
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
    std::wstring pattern = folder + L"\\" + prefix + L"*";
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW(pattern.c_str(), &fd);
    if (f == INVALID_HANDLE_VALUE) return;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (fd.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) || !wcscmp(fd.cFileName, L".") ||
            !wcscmp(fd.cFileName, L".."))
            continue;
        out.push_back(folder + L"\\" + fd.cFileName);
    } while (FindNextFileW(f, &fd));
    FindClose(f);
}

void showList(const std::vector<std::wstring>& names) {
    if (!g_comp.list) {
        // A borderless tool window, owned by the dialog.
        g_comp.list = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_NOACTIVATE, L"LISTBOX", nullptr,
                                      WS_POPUP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 0, 0, 10, 10,
                                      g_comp.dialog, nullptr, instance(), nullptr);
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
    // Losing the focus does not close the list: a click on OK or Cancel moves the
    // focus first, and with the list open those buttons only close the list.
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
        g_comp.settings = reinterpret_cast<DestArgs*>(l)->settings;
        g_comp.base = reinterpret_cast<DestArgs*>(l)->base;
        g_comp.previous = widen(fieldText(g_comp.settings->destination));
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
    case kDestroyList:
        if (IsWindow(reinterpret_cast<HWND>(l))) DestroyWindow(reinterpret_cast<HWND>(l));
        return TRUE;
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
        setField(g_comp.settings->destination, narrow(editText()));
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
        wchar_t t[MAX_PATH + 1] = L"";  // the size SHGetPathFromIDListW is made for
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

}  // namespace

bool destinationDialog(PackageBlock& settings, const std::wstring& baseName) {
    DestArgs args{&settings, baseName};
    return DialogBoxParamW(instance(), MAKEINTRESOURCEW(IDD_DEST), nullptr, destProc, reinterpret_cast<LPARAM>(&args)) == 1;
}

}  // namespace pakrel::win32
