// dlgdriver: drives pakrelW's dialogs for the package tests, from another
// process, the way a user would see them: it finds windows by title and class,
// reads and checks the texts of controls, fills edit boxes and presses buttons
// by control id, sends keys to the focused window, and saves screenshots as PNG.
//
// usage: dlgdriver SCRIPT   (UTF-8 text, one step a line; "#" starts a comment)
//   win TITLE            wait for a visible dialog (#32770) titled TITLE; it becomes current
//   untitled CLASS       wait for a visible top-level window of CLASS without a caption bar
//   gone                 wait until the current window has gone
//   text ID =TEXT        the control's text is TEXT ("\n" stands for a line break)
//   text ID ~TEXT        the control's text holds TEXT
//   set ID TEXT          put TEXT into the control (an edit box sees it as typed)
//   click ID             press the button (WM_COMMAND with BN_CLICKED)
//   toggle ID            click a check box (BM_CLICK) and so change its state
//   checked ID 0|1       state of a check box
//   key VK [shift]       a key press for the focused window, through the input queue
//   list ~TEXT           a list box window (the autocompletion list) is open and holds TEXT
//   nolist               no autocompletion list is open
//   liststyle            the open list is a borderless tool window
//   pick ~TEXT           click the open list's first entry that holds TEXT, with the mouse
//   mouse ID             click the control with the mouse, at its middle
//   window CLASS TITLE   wait for a visible top-level window of CLASS titled TITLE (any
//                        kind, e.g. the shell's folder window); it becomes current
//   close                press the current window's close box (WM_SYSCOMMAND SC_CLOSE)
//   maybe TITLE ID       if a dialog titled TITLE shows up within 5 s, press its button ID
//   touch FILE           make an empty FILE (a signal to a helper of the test)
// usage: dlgdriver --hold FILE UNTIL   opens FILE without sharing (nobody else can open
//                        it), prints "held", and lets it go once the file UNTIL exists
//                        (at most 120 s)
//   shot FILE            wait for painting, then save the whole screen as FILE (PNG)
//   move X Y             move the current window (so that it uncovers another for a screenshot)
//   sleep MS
//   dump                 list every top-level window (class, title, visibility, process)
// Every wait ends after 30 s with a failure. Exit code 0 when every step passed.
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/winfs.h"

namespace {

using pakrel::narrow;
using pakrel::widen;

constexpr DWORD kWaitMs = 30000;
HWND g_current = nullptr;

std::wstring className(HWND h) {
    wchar_t c[64] = L"";
    GetClassNameW(h, c, 64);
    return c;
}

// WM_GETTEXT is marshalled between processes, unlike GetWindowText for controls.
std::wstring textOf(HWND h) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &len)) return L"";
    std::wstring t(len + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(h, WM_GETTEXT, WPARAM(len + 1), LPARAM(t.data()), SMTO_ABORTIFHUNG, 5000, &got);
    t.resize(got);
    return t;
}

struct Search {
    std::wstring title, cls;
    bool untitled = false;
    HWND found = nullptr;
    bool any = false;  // any class (cls), titled title
};

BOOL CALLBACK matchTop(HWND h, LPARAM l) {
    auto* s = reinterpret_cast<Search*>(l);
    if (!IsWindowVisible(h)) return TRUE;
    if (s->any) {
        wchar_t t[256] = L"";
        GetWindowTextW(h, t, 256);
        if (className(h) == s->cls && s->title == t) s->found = h;
    } else if (s->untitled) {
        if (className(h) == s->cls && !(GetWindowLongW(h, GWL_STYLE) & WS_CAPTION)) s->found = h;
    } else {
        wchar_t t[256] = L"";
        GetWindowTextW(h, t, 256);
        if (className(h) == L"#32770" && s->title == t) s->found = h;
    }
    return s->found ? FALSE : TRUE;
}

template <class F> bool waitFor(F done) {
    for (DWORD t0 = GetTickCount(); GetTickCount() - t0 < kWaitMs; Sleep(50))
        if (done()) return true;
    return false;
}

HWND findTop(const std::wstring& title, const std::wstring& cls, bool untitled, bool any = false,
             DWORD waitMs = kWaitMs) {
    Search s{title, cls, untitled, nullptr, any};
    for (DWORD t0 = GetTickCount(); GetTickCount() - t0 < waitMs; Sleep(50)) {
        EnumWindows(matchTop, LPARAM(&s));
        if (s.found) break;
    }
    return s.found;
}

BOOL CALLBACK matchList(HWND h, LPARAM l) {
    if (IsWindowVisible(h) && _wcsicmp(className(h).c_str(), L"ListBox") == 0 &&
        (GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOOLWINDOW)) {
        *reinterpret_cast<HWND*>(l) = h;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK dumpTop(HWND h, LPARAM) {
    wchar_t t[256] = L"";
    GetWindowTextW(h, t, 256);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    std::printf("  window %p class \"%s\" title \"%s\" %s pid %lu\n", static_cast<void*>(h),
                narrow(className(h)).c_str(), narrow(t).c_str(), IsWindowVisible(h) ? "visible" : "hidden",
                static_cast<unsigned long>(pid));
    return TRUE;
}

HWND openList() {
    HWND h = nullptr;
    EnumWindows(matchList, LPARAM(&h));
    return h;
}

std::vector<std::wstring> listItems(HWND list) {
    std::vector<std::wstring> items;
    DWORD_PTR n = 0;
    SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &n);
    for (DWORD_PTR i = 0; i < n && i < 1000; ++i) {
        DWORD_PTR len = 0;
        SendMessageTimeoutW(list, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 5000, &len);
        // LB_GETTEXT is marshalled for list boxes without owner-drawn data.
        std::wstring t(len + 1, L'\0');
        DWORD_PTR got = 0;
        SendMessageTimeoutW(list, LB_GETTEXT, i, LPARAM(t.data()), SMTO_ABORTIFHUNG, 5000, &got);
        t.resize(got == DWORD_PTR(LB_ERR) ? 0 : got);
        items.push_back(t);
    }
    return items;
}

// PNG of 8-bit RGB rows: signature, IHDR, one IDAT, IEND.
bool writePng(const std::wstring& path, int w, int h, const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> raw;
    raw.reserve(size_t(h) * (size_t(w) * 3 + 1));
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb.begin() + ptrdiff_t(size_t(y) * size_t(w) * 3),
                   rgb.begin() + ptrdiff_t(size_t(y + 1) * size_t(w) * 3));
    }
    uLongf zlen = compressBound(uLong(raw.size()));
    std::vector<uint8_t> z(zlen);
    if (compress2(z.data(), &zlen, raw.data(), uLong(raw.size()), 9) != Z_OK) return false;
    z.resize(zlen);
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    auto be32 = [](uint8_t* p, uint32_t v) {
        p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
    };
    auto chunk = [&](const char* type, const uint8_t* data, size_t n) {
        uint8_t head[8];
        be32(head, uint32_t(n));
        std::memcpy(head + 4, type, 4);
        uLong crc = crc32(0, head + 4, 4);
        if (n) crc = crc32(crc, data, uInt(n));
        uint8_t tail[4];
        be32(tail, uint32_t(crc));
        fwrite(head, 1, 8, f);
        if (n) fwrite(data, 1, n, f);
        fwrite(tail, 1, 4, f);
    };
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    fwrite(sig, 1, 8, f);
    uint8_t ihdr[13] = {};
    be32(ihdr, uint32_t(w));
    be32(ihdr + 4, uint32_t(h));
    ihdr[8] = 8;  // bit depth
    ihdr[9] = 2;  // truecolour
    chunk("IHDR", ihdr, sizeof ihdr);
    chunk("IDAT", z.data(), z.size());
    chunk("IEND", nullptr, 0);
    return fclose(f) == 0;
}

bool screenshot(const std::wstring& path) {
    int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;  // top row first
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bmp) {
        HGDIOBJ old = SelectObject(mem, bmp);
        BitBlt(mem, 0, 0, w, h, screen, 0, 0, SRCCOPY);
        GdiFlush();
        std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
        const auto* px = static_cast<const uint8_t*>(bits);
        for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
            rgb[3 * i] = px[4 * i + 2];
            rgb[3 * i + 1] = px[4 * i + 1];
            rgb[3 * i + 2] = px[4 * i];
        }
        ok = writePng(path, w, h, rgb);
        SelectObject(mem, old);
        DeleteObject(bmp);
    }
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

std::string unescape(const std::string& s) {
    std::string o;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            o += '\n';
            ++i;
        } else o += s[i];
    }
    return o;
}

// Windows' static texts keep "\r\n" or "\n" as the program put them; compare both alike.
std::wstring plain(std::wstring t) {
    std::wstring o;
    for (wchar_t c : t)
        if (c != L'\r') o += c;
    return o;
}

HWND control(const std::string& id) {
    return g_current ? GetDlgItem(g_current, std::atoi(id.c_str())) : nullptr;
}

// A left click at a point of the screen, through the input queue as a mouse's.
void mouseClick(POINT p) {
    SetCursorPos(p.x, p.y);
    Sleep(150);
    INPUT in[2] = {};
    in[0].type = in[1].type = INPUT_MOUSE;
    in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, in, sizeof(INPUT));
    Sleep(400);
}

// One step; a message on failure.
std::string step(const std::string& line) {
    std::string verb = line.substr(0, line.find(' '));
    std::string rest = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
    std::string arg1 = rest.substr(0, rest.find(' '));
    std::string arg2 = rest.size() > arg1.size() ? rest.substr(arg1.size() + 1) : "";
    if (verb == "win") {
        g_current = findTop(widen(rest), L"", false);
        return g_current ? "" : "no window titled \"" + rest + "\"";
    }
    if (verb == "untitled") {
        g_current = findTop(L"", widen(rest), true);
        return g_current ? "" : "no window of class " + rest;
    }
    if (verb == "window") {
        g_current = findTop(widen(arg2), widen(arg1), false, true);
        return g_current ? "" : "no window of class " + arg1 + " titled \"" + arg2 + "\"";
    }
    if (verb == "close") {
        PostMessageW(g_current, WM_SYSCOMMAND, SC_CLOSE, 0);
        Sleep(300);
        return "";
    }
    if (verb == "maybe") {
        size_t sp = rest.rfind(' ');
        HWND h = findTop(widen(rest.substr(0, sp)), L"", false, false, 5000);
        if (h) PostMessageW(h, WM_COMMAND, MAKEWPARAM(std::atoi(rest.c_str() + sp + 1), BN_CLICKED), 0);
        Sleep(300);
        return "";
    }
    if (verb == "touch") {
        FILE* t = _wfopen(widen(rest).c_str(), L"wb");
        if (!t) return "cannot make " + rest;
        std::fclose(t);
        return "";
    }
    if (verb == "gone") {
        HWND h = g_current;
        return waitFor([&] { return !IsWindow(h) || !IsWindowVisible(h); }) ? "" : "the window stays";
    }
    if (verb == "move") {
        return SetWindowPos(g_current, nullptr, std::atoi(arg1.c_str()), std::atoi(arg2.c_str()), 0, 0,
                            SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)
                   ? ""
                   : "cannot move the window";
    }
    if (verb == "sleep") {
        Sleep(DWORD(std::atoi(rest.c_str())));
        return "";
    }
    if (verb == "shot") {
        Sleep(700);  // painting, and a few frames of the animation
        return screenshot(widen(rest)) ? "" : "cannot save " + rest;
    }
    if (verb == "dump") {
        EnumWindows(dumpTop, 0);
        return "";
    }
    if (verb == "nolist") {
        return waitFor([] { return openList() == nullptr; }) ? "" : "a list is open";
    }
    if (verb == "liststyle") {
        HWND l = openList();
        if (!l) return "no list is open";
        LONG style = GetWindowLongW(l, GWL_STYLE), ex = GetWindowLongW(l, GWL_EXSTYLE);
        if (style & (WS_BORDER | WS_DLGFRAME | WS_THICKFRAME)) return "the list has a border (style " + std::to_string(style) + ")";
        if (ex & (WS_EX_CLIENTEDGE | WS_EX_WINDOWEDGE | WS_EX_STATICEDGE | WS_EX_DLGMODALFRAME))
            return "the list has an edge (extended style " + std::to_string(ex) + ")";
        return (ex & WS_EX_TOOLWINDOW) ? "" : "the list is not a tool window";
    }
    if (verb == "pick") {
        HWND l = nullptr;
        if (!waitFor([&] { return (l = openList()) != nullptr; })) return "no list is open";
        DWORD_PTR height = 0, top = 0;
        SendMessageTimeoutW(l, LB_GETITEMHEIGHT, 0, 0, SMTO_ABORTIFHUNG, 5000, &height);
        SendMessageTimeoutW(l, LB_GETTOPINDEX, 0, 0, SMTO_ABORTIFHUNG, 5000, &top);
        std::vector<std::wstring> items = listItems(l);
        std::wstring want = widen(rest.substr(1));
        int n = -1;
        for (size_t i = 0; i < items.size() && n < 0; ++i)
            if (items[i].find(want) != std::wstring::npos) n = int(i);
        if (n < 0) return "no list entry with \"" + rest.substr(1) + "\"";
        POINT p{8, int((n - int(top)) * int(height) + int(height) / 2)};
        ClientToScreen(l, &p);
        mouseClick(p);
        return "";
    }
    if (verb == "list") {
        std::wstring want = widen(rest.substr(1));
        std::string seen;
        bool ok = waitFor([&] {
            HWND l = openList();
            if (!l) return false;
            seen.clear();
            for (const std::wstring& t : listItems(l)) {
                seen += " [" + narrow(t) + "]";
                if (t.find(want) != std::wstring::npos) return true;
            }
            return false;
        });
        return ok ? "" : "no list entry with \"" + rest.substr(1) + "\"; list:" + seen;
    }
    HWND c = control(arg1);
    if (verb == "key") {
        WORD vk = WORD(std::strtoul(arg1.c_str(), nullptr, 0));
        bool shift = arg2 == "shift";
        SetForegroundWindow(g_current);
        std::vector<INPUT> in;
        auto key = [&](WORD k, bool up) {
            INPUT i{};
            i.type = INPUT_KEYBOARD;
            i.ki.wVk = k;
            i.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
            in.push_back(i);
        };
        if (shift) key(VK_SHIFT, false);
        key(vk, false);
        key(vk, true);
        if (shift) key(VK_SHIFT, true);
        SendInput(UINT(in.size()), in.data(), sizeof(INPUT));
        Sleep(300);
        return "";
    }
    if (!c) return "no control " + arg1 + " in the current window";
    if (verb == "text") {
        std::wstring want = plain(widen(unescape(arg2.substr(1))));
        std::wstring have;
        bool ok = waitFor([&] {
            have = plain(textOf(c));
            return arg2[0] == '=' ? have == want : have.find(want) != std::wstring::npos;
        });
        return ok ? "" : "control " + arg1 + " says \"" + narrow(have) + "\"";
    }
    if (verb == "set") {
        std::wstring t = widen(arg2);
        DWORD_PTR r;
        SendMessageTimeoutW(c, WM_SETTEXT, 0, LPARAM(t.c_str()), SMTO_ABORTIFHUNG, 5000, &r);
        Sleep(300);
        return "";
    }
    if (verb == "click") {
        PostMessageW(g_current, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c), BN_CLICKED), LPARAM(c));
        Sleep(200);
        return "";
    }
    if (verb == "mouse") {
        RECT r;
        if (!GetWindowRect(c, &r)) return "no rectangle for control " + arg1;
        mouseClick(POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2});
        return "";
    }
    if (verb == "toggle") {
        DWORD_PTR r;
        SendMessageTimeoutW(c, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &r);
        Sleep(200);
        return "";
    }
    if (verb == "checked") {
        DWORD_PTR r = 0;
        SendMessageTimeoutW(c, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &r);
        return (r == BST_CHECKED) == (arg2 == "1") ? "" : "check box " + arg1 + " is " + std::to_string(r);
    }
    return "unknown step";
}

}  // namespace

// --hold FILE UNTIL: FILE opened without sharing until UNTIL exists.
int hold(const wchar_t* file, const wchar_t* until) {
    HANDLE h = CreateFileW(file, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("cannot open the file (error %lu)\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (DWORD t0 = GetTickCount(); GetTickCount() - t0 < 120000; Sleep(100))
        if (GetFileAttributesW(until) != INVALID_FILE_ATTRIBUTES) break;
    CloseHandle(h);
    std::printf("let go\n");
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wcscmp(argv[1], L"--hold") == 0) return hold(argv[2], argv[3]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: dlgdriver SCRIPT\n");
        return 2;
    }
    FILE* f = _wfopen(argv[1], L"rb");
    if (!f) {
        std::fprintf(stderr, "dlgdriver: cannot open the script\n");
        return 2;
    }
    int failures = 0;
    char buf[4096];
    while (std::fgets(buf, sizeof buf, f)) {
        std::string line = buf;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::string err = step(line);
        if (err.empty()) std::printf("ok: %s\n", line.c_str());
        else {
            std::printf("FAIL: %s: %s\n", line.c_str(), err.c_str());
            ++failures;
            // A wait that failed leaves later steps without their window.
            if (line.rfind("win ", 0) == 0 || line.rfind("untitled ", 0) == 0) break;
        }
        std::fflush(stdout);
    }
    std::fclose(f);
    return failures ? 1 : 0;
}
