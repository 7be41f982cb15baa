/* wine-probe: the smallest Windows program the build can start, to find out whether
 * wine runs this tree's kind of program at all (cmake/wine-check). Prints
 * "wine-probe: N-bit" and exits 0; with "--window" it also makes and destroys a
 * window, which needs a display (the GUI tests run on a virtual one). */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--window") == 0) {
        HWND w = CreateWindowExA(0, "STATIC", "wine-probe", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                 NULL, NULL, GetModuleHandleA(NULL), NULL);
        if (!w) {
            printf("wine-probe: no window (error %lu)\n", (unsigned long)GetLastError());
            return 3;
        }
        DestroyWindow(w);
    }
    printf("wine-probe: %d-bit\n", (int)(sizeof(void*) * 8));
    return 0;
}
