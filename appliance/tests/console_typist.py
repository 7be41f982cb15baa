#!/usr/bin/python3
"""Types into a console window on the X display (DISPLAY), as a person would.

The uploader started by the self-extracting package runs in a console of its own
that wine opens as a window; nothing else reaches its input. Reads commands on
standard input, one a line:
    type TEXT    focus the window whose title contains TITLE, type TEXT and Return
    return       only Return
    answer NAME  Return in the window whose title contains NAME (a message box's
                 default button)
Keys are sent with the XTEST extension (libXtst). Prints "typed" after each.
usage: console_typist.py TITLE
"""
import ctypes
import ctypes.util
import sys
import time

x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
xtst = ctypes.CDLL(ctypes.util.find_library("Xtst") or "libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                           ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                           ctypes.POINTER(ctypes.c_uint)]
x11.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
x11.XFree.argtypes = [ctypes.c_void_p]
x11.XSetInputFocus.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_ulong]
x11.XRaiseWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XStringToKeysym.restype = ctypes.c_ulong
x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

KEYSYMS = {".": "period", "-": "minus", " ": "space", "/": "slash", "\n": "Return"}


def windows(d, w):
    root, parent = ctypes.c_ulong(), ctypes.c_ulong()
    kids = ctypes.POINTER(ctypes.c_ulong)()
    n = ctypes.c_uint()
    if not x11.XQueryTree(d, w, ctypes.byref(root), ctypes.byref(parent), ctypes.byref(kids), ctypes.byref(n)):
        return
    found = [kids[i] for i in range(n.value)]
    if kids:
        x11.XFree(kids)
    for k in found:
        yield k
        yield from windows(d, k)


def find(d, title, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for w in windows(d, x11.XDefaultRootWindow(d)):
            name = ctypes.c_char_p()
            if x11.XFetchName(d, w, ctypes.byref(name)) and name.value:
                hit = title.encode() in name.value
                x11.XFree(name)
                if hit:
                    return w
        time.sleep(0.3)
    return None


def key(d, ch):
    code = x11.XKeysymToKeycode(d, x11.XStringToKeysym(KEYSYMS.get(ch, ch).encode()))
    if not code:
        raise SystemExit("console_typist: no key for %r" % ch)
    xtst.XTestFakeKeyEvent(d, code, 1, 0)
    xtst.XTestFakeKeyEvent(d, code, 0, 0)
    x11.XSync(d, 0)
    time.sleep(0.03)


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: console_typist.py TITLE")
    d = x11.XOpenDisplay(None)
    if not d:
        raise SystemExit("console_typist: cannot open the display")
    for line in sys.stdin:
        line = line.rstrip("\n")
        text = line[5:] if line.startswith("type ") else ""
        title = line[7:] if line.startswith("answer ") else sys.argv[1]
        w = find(d, title)
        if w is None:
            print("no window", flush=True)
            continue
        x11.XRaiseWindow(d, w)
        x11.XSetInputFocus(d, w, 2, 0)  # RevertToParent, CurrentTime
        x11.XSync(d, 0)
        time.sleep(0.3)
        for ch in text + "\n":
            key(d, ch)
        print("typed", flush=True)


if __name__ == "__main__":
    main()
