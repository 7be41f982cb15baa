// carried: the program a test package carries. It writes its working folder and
// parameters to the file named by its first parameter and ends with code 7.
// A GUI program that looks at its message queue once, so that the package's wait
// for input idleness returns while it still runs (as for the real uploader on
// Windows), and it stays a little so that the package polls for its end.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    if (argc < 2) return 1;
    Sleep(500);
    wchar_t dir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, dir);
    FILE* f = _wfopen(argv[1], L"w");
    if (!f) return 2;
    fwprintf(f, L"%ls\n", dir);
    for (int i = 2; i < argc; ++i) fwprintf(f, L"%ls\n", argv[i]);
    fclose(f);
    return 7;
}
