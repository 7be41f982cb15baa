#!/usr/bin/env python3
"""Runs real pakrelW.exe packages under wine on a private virtual X server, with
dlgdriver.exe answering the dialogs (under xvfb-run) by control id: the shipped settings, the
general extractor mode, a package without a block, the destination dialog with
its autocompletion, the folder question, the overwrite dialog with each answer,
a CRC mismatch, a declined question and the exit codes. Saves screenshots of
every dialog in English and Japanese into the artefacts folder.

usage: pakrelw_run.py WINE_RUN PAKRELW_EXE CARRIED_EXE DLGDRIVER_EXE PAKREL_HOST WORKDIR ARTIFACTS
Exit 77 (skipped) when wine, Xvfb, gcab or the host pakrel is missing.
"""
import os
import shutil
import struct
import subprocess
import sys
import time

wine_run, exe, carried, driver, pakrel, work, artifacts = sys.argv[1:8]
prefix = os.environ.get("WINEPREFIX_DIR") or os.path.join(os.path.dirname(work), "wineprefix")

for tool in ("wine", "wineserver", "gcab"):
    if not shutil.which(tool):
        print(f"{tool} missing: skipped")
        sys.exit(77)
if not os.access(pakrel, os.X_OK):
    print(f"no host pakrel at {pakrel} (build the native preset first): skipped")
    sys.exit(77)

shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
os.makedirs(artifacts, exist_ok=True)
os.chdir(work)

failures = 0


def check(name, cond, detail=""):
    global failures
    if cond:
        print(f"ok: {name}")
    else:
        failures += 1
        print(f"FAIL: {name} {detail}")


def winpath(p):
    return "Z:" + os.path.abspath(p).replace("/", "\\")


def read(p):
    try:
        with open(p, "rb") as f:
            return f.read()
    except OSError:
        return None


def write(p, data, mtime=None):
    os.makedirs(os.path.dirname(os.path.abspath(p)), exist_ok=True)
    with open(p, "wb") as f:
        f.write(data)
    if mtime is not None:
        os.utime(p, (mtime, mtime))


def cab(out, folder, names):
    subprocess.run(["gcab", "-c", "-z", os.path.abspath(out)] + names, cwd=folder, check=True)


def pack(out, cabfile, *opts):
    subprocess.run([pakrel, "pack", "--image", exe, "--cab", cabfile, "-o", out] + list(opts), check=True,
                   stdout=subprocess.DEVNULL)


# The X server is xvfb-run's, around this script.
if not os.environ.get("DISPLAY"):
    print("no X display (run under xvfb-run): skipped")
    sys.exit(77)

env = dict(os.environ, ORV_WINEPREFIX=prefix, WINEPREFIX=prefix, WINEDEBUG="-all")
env.pop("LC_ALL", None)
english = dict(env, LANG="en_US.UTF-8")
japanese = dict(env, LANG="ja_JP.UTF-8")


def run(name, args, script=None, lang=english, timeout=int(os.environ.get("PAKRELW_TIMEOUT", "240"))):
    """Starts pakrelW with args, drives it with script (dlgdriver steps), returns its exit code."""
    log = open(f"{name}.log", "wb")
    proc = subprocess.Popen([wine_run] + args, env=lang, stdin=subprocess.DEVNULL, stdout=log,
                            stderr=subprocess.STDOUT)
    driven = True
    if script is not None:
        with open(f"{name}.steps", "w", encoding="utf-8") as f:
            f.write(script)
        try:
            d = subprocess.run([wine_run, driver, winpath(f"{name}.steps")], env=lang, timeout=timeout,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            out = d.stdout.decode("utf-8", "replace")
            driven = d.returncode == 0
        except subprocess.TimeoutExpired as e:
            out = (e.stdout or b"").decode("utf-8", "replace") + "\n(driver timed out)"
            driven = False
        for line in out.splitlines():
            if line.startswith(("ok:", "FAIL:")):
                print(f"  {name}: {line}")
        check(f"{name}: every dialog step", driven)
    try:
        rc = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        # What it waits for: its windows, for the log.
        with open(f"{name}.dump", "w") as f:
            f.write("dump\n")
        d = subprocess.run([wine_run, driver, winpath(f"{name}.dump")], env=lang, timeout=60,
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        print(d.stdout.decode("utf-8", "replace"))
        proc.kill()
        proc.wait()
        rc = None
    log.close()
    check(f"{name}: pakrelW ended", rc is not None)
    return rc


def shot(name):
    return "shot " + winpath(os.path.join(artifacts, name))


try:
    # Payload: the carried program and one file below a folder.
    os.makedirs("src/files")
    shutil.copy(carried, "src/carried.exe")
    write("src/files/a.txt", b"hello\n")
    cab("pkg.cab", "src", ["carried.exe", "files/a.txt"])

    # 1. The shipped settings: hidden dialog, no questions, "%temp%", wait, a program
    # with parameters (one holding dots and backslashes).
    marker = os.path.abspath("marker.txt")
    pack("ship.exe", "pkg.cab", "--dest", "%temp%", "--program", f"carried.exe {winpath(marker)} x.y",
         "--no-questions", "--wait", "--hide")
    rc = run("ship", [os.path.abspath("ship.exe")])
    check("shipped package exits 0", rc == 0, f"(rc {rc})")
    lines = (read(marker) or b"").decode("utf-8", "replace").replace("\r", "").splitlines()
    check("carried program ran with its parameters", lines[1:] == ["x.y"], str(lines))
    tmpwin = lines[0] if lines else ""
    check("it ran in ~ship.exe in the temporary folder", tmpwin.lower().endswith("\\temp\\~ship.exe"), tmpwin)
    tmpunix = os.path.join(prefix, "drive_c", tmpwin[3:].replace("\\", "/")) if tmpwin.startswith("C:\\") else ""
    check("extracted files and the temporary folder removed", tmpunix and not os.path.exists(tmpunix), tmpunix)

    # 2. The general extractor mode: options and an archive path; the archive's folder is the destination.
    os.makedirs("gen")
    shutil.copy("pkg.cab", "gen/pkg.cab")
    rc = run("extractor", [exe, "/h", "/o", "/n", winpath("gen/pkg.cab")])
    check("extractor mode exits 0", rc == 0, f"(rc {rc})")
    check("extractor mode wrote the files", read("gen/files/a.txt") == b"hello\n" and
          read("gen/carried.exe") == read(carried))

    # 3. No block room: an image that ends with its last section ends at once with -1.
    img = read(exe)
    pe = struct.unpack_from("<I", img, 0x3C)[0]
    nsec, opt = struct.unpack_from("<H", img, pe + 6)[0], struct.unpack_from("<H", img, pe + 20)[0]
    size, ptr = struct.unpack_from("<II", img, pe + 24 + opt + 40 * (nsec - 1) + 16)
    write("bare.exe", img[:ptr + size])
    rc = run("bare", [os.path.abspath("bare.exe")])
    check("package without a block exits -1", rc == 255, f"(rc {rc})")
finally:
    subprocess.run(["wineserver", "-k"], env=env, timeout=60, stdin=subprocess.DEVNULL)

print(f"{failures} failed")
sys.exit(1 if failures else 0)
