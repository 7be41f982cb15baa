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
import glob
import os
import shutil
import struct
import subprocess
import sys
import threading
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


# No window manager runs on the virtual display: wine then draws the frames and
# captions itself, so that the screenshots show them.
subprocess.run([wine_run, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/d", "N", "/f"],
               env=english, timeout=240, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
               stderr=subprocess.DEVNULL)


def run(name, args, script=None, lang=english, timeout=int(os.environ.get("PAKRELW_TIMEOUT", "240")),
        runner=None):
    """Starts pakrelW with args, drives it with script (dlgdriver steps), returns its exit code."""
    log = open(f"{name}.log", "wb")
    proc = subprocess.Popen([runner or wine_run] + args, env=lang, stdin=subprocess.DEVNULL, stdout=log,
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
    # with parameters (one holding dots and backslashes, quoted: the test's folder may
    # hold spaces).
    marker = os.path.abspath("marker.txt")
    pack("ship.exe", "pkg.cab", "--dest", "%temp%", "--program", f'carried.exe "{winpath(marker)}" x.y',
         "--no-questions", "--wait", "--hide")
    rc = run("ship", [os.path.abspath("ship.exe")])
    check("shipped package exits 0", rc == 0, f"(rc {rc})")
    lines = (read(marker) or b"").decode("utf-8", "replace").replace("\r", "").splitlines()
    check("carried program ran with its parameters", lines[1:] == ["x.y"], str(lines))
    tmpwin = lines[0] if lines else ""
    check("it ran in ~ship.exe in the temporary folder", tmpwin.lower().endswith("\\temp\\~ship.exe"), tmpwin)
    tmpunix = os.path.join(prefix, "drive_c", tmpwin[3:].replace("\\", "/")) if tmpwin.startswith("C:\\") else ""
    check("extracted files and the temporary folder removed", tmpunix and not os.path.exists(tmpunix), tmpunix)

    # 1b. A package whose name holds ".exe " ("a.exe b.exe") extracts into
    # "~a.exe b.exe": only the program field is split, so the command is not cut
    # inside the destination.
    marker_b = os.path.abspath("marker_b.txt")
    pack("a.exe b.exe", "pkg.cab", "--dest", "%temp%", "--program", f'carried.exe "{winpath(marker_b)}" x.y',
         "--no-questions", "--wait", "--hide")
    rc = run("ship_exe_blank", [os.path.abspath("a.exe b.exe")])
    check("package \"a.exe b.exe\" exits 0", rc == 0, f"(rc {rc})")
    lines = (read(marker_b) or b"").decode("utf-8", "replace").replace("\r", "").splitlines()
    check("its program ran with its parameters in ~a.exe b.exe",
          lines[1:] == ["x.y"] and bool(lines) and lines[0].lower().endswith("\\temp\\~a.exe b.exe"), str(lines))

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
    is64 = struct.unpack_from("<H", img, pe + 4)[0] == 0x8664  # the machine: x86-64, else i386
    nsec, opt = struct.unpack_from("<H", img, pe + 6)[0], struct.unpack_from("<H", img, pe + 20)[0]
    size, ptr = struct.unpack_from("<II", img, pe + 24 + opt + 40 * (nsec - 1) + 16)
    write("bare.exe", img[:ptr + size])
    rc = run("bare", [os.path.abspath("bare.exe")])
    check("package without a block exits -1", rc == 255, f"(rc {rc})")
    # 4. The destination dialog: its text, autocompletion (typed folder names, "C",
    # keys through the keyboard hook, an empty text), the check box, the folder
    # question answered OK; in English and Japanese.
    T = {
        "en": dict(dest="Confirm Extracting", over="Confirm File Replace", prog="Decompressing...",
                   name="'{}'", old="10 Bytes\\nModified: 02, 14, 2021,  13:45:30",
                   new="1,234,567 Bytes\\nModified: 03, 05, 2024,  08:09:10", createq="does not exist",
                   title="Orvane Update", question="Update Orvane to version 1.06.06?", crc="CRC check error!"),
        "ja": dict(dest="展開先の指定", over="ファイル上書きの確認", prog="進捗状況",
                   name="展開先には既に '{}' のファイルが存在します。", old="10 バイト\\n2021年02月14日 日曜日、13:45:30",
                   new="1,234,567 バイト\\n2024年03月05日 火曜日、08:09:10", createq="展開先フォルダは存在しません",
                   title="オルベーン更新", question="バージョン 1.06.06 に更新しますか？", crc="CRC チェックエラー"),
    }
    LANGS = {"en": english, "ja": japanese}
    os.makedirs("pick/alpha")
    os.makedirs("pick/beta")
    pack("dlg.exe", "pkg.cab", "--dest", "out")
    for lang, t in T.items():
        made = winpath(f"made_{lang}")
        rc = run(f"dest_{lang}", [os.path.abspath("dlg.exe")], lang=LANGS[lang], script=f"""
win {t['dest']}
text 1001 =out
{shot(f'dest_{lang}.png')}
set 1001 {winpath('pick')}\\al
list ~{winpath('pick')}\\alpha
{shot(f'autocomplete_{lang}.png')}
key 0x28
text 1001 ={winpath('pick')}\\alpha
key 0x0D
nolist
set 1001 C
list ~C:\\windows
set 1001 
nolist
text 1001 =out
set 1001 {made}
nolist
toggle 1012
checked 1012 1
text 1001 ={made}\\dlg\\
toggle 1012
text 1001 ={made}\\
click 1
win CAB-SFX
text 65535 ~{t['createq']}
text 65535 ~{made}
{shot(f'createq_{lang}.png')}
click 1
""")
        check(f"destination dialog ({lang}) exits 0", rc == 0, f"(rc {rc})")
        check(f"it extracted into the chosen folder ({lang})", read(f"made_{lang}/files/a.txt") == b"hello\n")

    # 5. Cancel in the destination dialog; the folder browser (cancelled: the text stays).
    rc = run("dest_cancel", [os.path.abspath("dlg.exe")], script=f"""
win Confirm Extracting
set 1001 {winpath('pick')}
click 1000
win Browse for Folder
{shot('browse_en.png')}
click 2
gone
win Confirm Extracting
text 1001 ={winpath('pick')}
click 2
""")
    check("destination dialog cancelled exits -1", rc == 255, f"(rc {rc})")

    # 5b. The autocompletion list by mouse: a borderless tool window; a click on an
    # entry copies it into the edit box and closes the list (the dialog stays);
    # with the list open, OK and Cancel clicked by mouse only close the list.
    rc = run("dest_mouse", [os.path.abspath("dlg.exe")], script=f"""
win Confirm Extracting
set 1001 {winpath('pick')}\\
list ~{winpath('pick')}\\beta
liststyle
pick ~beta
nolist
text 1001 ={winpath('pick')}\\beta
set 1001 {winpath('pick')}\\a
list ~{winpath('pick')}\\alpha
mouse 1
nolist
win Confirm Extracting
text 1001 ={winpath('pick')}\\a
set 1001 {winpath('pick')}\\b
list ~{winpath('pick')}\\beta
mouse 2
nolist
win Confirm Extracting
text 1001 ={winpath('pick')}\\b
set 1001 {winpath('pick')}\\
list ~{winpath('pick')}\\alpha
pick ~alpha
nolist
text 1001 ={winpath('pick')}\\alpha
mouse 2
""")
    check("autocompletion by mouse: the dialog cancelled at the end exits -1", rc == 255, f"(rc {rc})")

    # 6. The folder question declined: exit 0 and nothing made.
    rc = run("dest_decline", [os.path.abspath("dlg.exe")], script=f"""
win Confirm Extracting
set 1001 {winpath('never')}
click 1
win CAB-SFX
click 2
""")
    check("declined folder question exits 0", rc == 0, f"(rc {rc})")
    check("declined folder question makes nothing", not os.path.exists("never"))

    # 7. The overwrite dialog: dates with weekdays, sizes; Yes, No, Yes to All.
    old_t = time.mktime((2021, 2, 14, 13, 45, 30, 0, 0, -1))
    new_t = time.mktime((2024, 3, 5, 8, 9, 10, 0, 0, -1))

    def overwrite_case(folder, names, existing_mtime, new_mtime, first_size=None):
        for i, n in enumerate(names):
            data = b"x" * first_size if (i == 0 and first_size) else f"new {n}\n".encode()
            write(f"{folder}/src/{n}", data, new_mtime[i] if isinstance(new_mtime, list) else new_mtime)
            write(f"{folder}/{n}", b"old " + n.encode()[:6], existing_mtime[i] if isinstance(existing_mtime, list)
                  else existing_mtime)
        cab(f"{folder}/pkg.cab", f"{folder}/src", names)
        return [winpath(f"{folder}/pkg.cab")]

    for lang, t in T.items():
        f = f"ow_{lang}"
        args = overwrite_case(f, ["f1.txt", "f2.txt", "f3.txt", "f4.txt"], old_t, new_t, 1234567)
        rc = run(f"overwrite_{lang}", [exe, "/h", "/n"] + args, lang=LANGS[lang], script=f"""
win {t['over']}
text 1009 ={t['name'].format('f1.txt')}
text 1005 ={t['old']}
text 1008 ={t['new']}
{shot(f'overwrite_{lang}.png')}
move 0 390
win {t['prog']}
text 1006 ~f1.txt
{shot(f'progress_{lang}.png')}
win {t['over']}
click 6
gone
win {t['over']}
text 1009 ={t['name'].format('f2.txt')}
click 7
gone
win {t['over']}
text 1009 ={t['name'].format('f3.txt')}
click 1003
gone
""")
        check(f"overwrite dialog ({lang}) exits 0", rc == 0, f"(rc {rc})")
        got = [read(f"{f}/f{i}.txt") for i in range(1, 5)]
        check(f"Yes replaced, No kept, Yes to All replaced the rest ({lang})",
              got == [b"x" * 1234567, b"old f2.txt", b"new f3.txt\n", b"new f4.txt\n"],
              str([g[:12] if g else g for g in got]))

    # 8. Newer: decides by date for this file and every later one without asking.
    args = overwrite_case("nw", ["g1.txt", "g2.txt", "g3.txt"],
                          [old_t, new_t + 86400, old_t], new_t)
    rc = run("newer", [exe, "/h", "/n"] + args, script=f"""
win Confirm File Replace
text 1009 ='g1.txt'
click 1004
gone
""")
    check("Newer exits 0 with no further question", rc == 0, f"(rc {rc})")
    check("Newer replaced the older files and kept the newer one",
          [read(f"nw/g{i}.txt") for i in (1, 2, 3)] == [b"new g1.txt\n", b"old g2.txt", b"new g3.txt\n"])

    # 9. Cancel in the overwrite dialog, and Cancel in the progress dialog while it is open.
    args = overwrite_case("oc", ["h1.txt", "h2.txt"], old_t, new_t)
    rc = run("overwrite_cancel", [exe, "/h", "/n"] + args, script="""
win Confirm File Replace
click 1007
gone
""")
    check("Cancel in the overwrite dialog exits -1", rc == 255, f"(rc {rc})")
    check("and keeps the existing files", read("oc/h1.txt") == b"old h1.txt" and read("oc/h2.txt") == b"old h2.txt")
    rc = run("progress_cancel", [exe, "/h", "/n"] + args, script="""
win Confirm File Replace
win Decompressing...
click 2
win Confirm File Replace
click 6
gone
""")
    check("Cancel in the progress dialog exits -1", rc == 255, f"(rc {rc})")
    check("and writes nothing more", read("oc/h1.txt") == b"old h1.txt")

    # 10. A CRC mismatch: the warning, and the program is not run.
    marker2 = os.path.abspath("marker2.txt")
    for lang, t in T.items():
        pack(f"crc_{lang}.exe", "pkg.cab", "--dest", "%temp%", "--program", f'carried.exe "{winpath(marker2)}"',
             "--no-questions", "--wait", "--hide", "--crc")
        data = bytearray(read(f"crc_{lang}.exe"))
        data[-1] ^= 0xFF
        write(f"crc_{lang}.exe", bytes(data))
        rc = run(f"crc_{lang}", [os.path.abspath(f"crc_{lang}.exe")], lang=LANGS[lang], script=f"""
win Warning
text 65535 ~{t['crc']}
{shot(f'crc_{lang}.png')}
click 1
""")
        check(f"CRC mismatch exits -1 ({lang})", rc == 255, f"(rc {rc})")
        check(f"CRC mismatch runs no program ({lang})", not os.path.exists(marker2))

    # 11. The opening question declined.
    for lang, t in T.items():
        pack(f"q_{lang}.exe", "pkg.cab", "--dest", "out", "--hide", "--no-questions", "--title", t["title"],
             "--question", t["question"])
        rc = run(f"question_{lang}", [os.path.abspath(f"q_{lang}.exe")], lang=LANGS[lang], script=f"""
win {t['title']}
text 65535 ={t['question']}
{shot(f'question_{lang}.png')}
click 7
""")
        check(f"declined question exits -1 ({lang})", rc == 255, f"(rc {rc})")
        check(f"declined question extracts nothing ({lang})", not os.path.exists("out"))

    # 12. Platform mark '6' (a package for 64-bit Windows only, whose 32-bit program
    # runs under WOW64). Where the program does not run under WOW64 it is refused
    # with string 12: the 64-bit build always (a 64-bit process is never under
    # WOW64), the 32-bit build in a win32 prefix. The 32-bit build in a win64 prefix
    # runs under WOW64 and goes on: extracted, the program run, everything removed.
    marker6 = os.path.abspath("marker6.txt")
    pack("six.exe", "pkg.cab", "--dest", "%temp%", "--program", f'carried.exe "{winpath(marker6)}"',
         "--no-questions", "--wait", "--hide", "--platform", "6")
    refused = {"en": "This sfx-module cannot be run in Win32.",
               "ja": "このセットアップモジュールは Windows 64ビット用です。"}
    for lang, t in refused.items():
        rc = run(f"six_{lang}", [os.path.abspath("six.exe")], lang=LANGS[lang], script=f"""
win CAB-SFX
text 65535 ={t}
{shot(f'win64only_{lang}.png')}
click 1
""")
        check(f"platform mark 6 refused by the {'64' if is64 else '32'}-bit build outside WOW64, exit -1 ({lang})",
              rc == 255, f"(rc {rc})")
        check(f"and nothing run ({lang})", not os.path.exists(marker6))
    if not is64:
        wow = os.path.join(os.path.dirname(prefix), "wineprefix-wow64")
        wow_env = dict(english, ORV_WINEPREFIX=wow, WINEPREFIX=wow)
        rc = run("six_wow64", [os.path.abspath("six.exe")], lang=wow_env,
                 runner=os.path.join(os.path.dirname(wine_run), "wine-run-win64"))
        subprocess.run(["wineserver", "-k"], env=wow_env, timeout=60, stdin=subprocess.DEVNULL)
        check("platform mark 6 runs under WOW64 (the 32-bit build in a win64 prefix), exit 0", rc == 0, f"(rc {rc})")
        lines = (read(marker6) or b"").decode("utf-8", "replace").replace("\r", "").splitlines()
        check("and its program ran in ~six.exe in the temporary folder",
              bool(lines) and lines[0].lower().endswith("\\temp\\~six.exe"), str(lines))
        tmpunix = os.path.join(wow, "drive_c", lines[0][3:].replace("\\", "/")) if lines and lines[0].startswith("C:\\") else ""
        check("and the extracted files and folder are removed", tmpunix and not os.path.exists(tmpunix), tmpunix)

    # 13. The Windows-only paths of the run.
    # 13a. The version check: wine tells one program (by its file name) that it runs
    # on Windows 98: string 13 in the ANSI box, caption "CAB-SFX [Unicode version]",
    # exit -2. The check comes first, so the bare program will do.
    win9x = {"en": "This sfx-module cannot be run in Windows 9x.",
             "ja": "このセットアップモジュールは Windows 9x 環境では動作しません。"}
    for lang, t in win9x.items():
        name = f"ver9x_{lang}.exe"
        shutil.copy(exe, name)
        subprocess.run([wine_run, "reg", "add", f"HKCU\\Software\\Wine\\AppDefaults\\{name}", "/v", "Version",
                        "/d", "win98", "/f"], env=english, timeout=240, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        rc = run(f"ver9x_{lang}", [os.path.abspath(name)], lang=LANGS[lang], script=f"""
win CAB-SFX [Unicode version]
text 65535 ={t}
{shot(f'win9x_{lang}.png')}
click 1
""")
        check(f"Windows 9x: string 13, exit -2 ({lang})", rc == 254, f"(rc {rc})")

    # 13b. An archive that cannot be opened (another program holds it without
    # sharing): the system's text with Retry and Cancel; Retry once it can be
    # opened goes on and extracts; Cancel shows string 2 and exits -1.
    def held_run(name, folder, lang, script):
        os.makedirs(folder)
        shutil.copy("pkg.cab", f"{folder}/pkg.cab")
        flag = os.path.abspath(f"{name}.let-go")
        holder = subprocess.Popen([wine_run, driver, "--hold", winpath(f"{folder}/pkg.cab"), winpath(flag)],
                                  env=LANGS[lang], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        first = [b""]
        reader = threading.Thread(target=lambda: first.__setitem__(0, holder.stdout.readline()), daemon=True)
        reader.start()
        reader.join(120)
        check(f"{name}: the archive is held", first[0].startswith(b"held"), repr(first[0]))
        rc = run(name, [exe, "/h", "/o", "/n", winpath(f"{folder}/pkg.cab")], lang=LANGS[lang],
                 script=script.replace("LETGO", winpath(flag)))
        write(flag, b"")
        try:
            holder.wait(60)
        except subprocess.TimeoutExpired:
            holder.kill()
            holder.wait()
        return rc

    nocab = {"en": "Cannot open arhive.", "ja": "書庫を開けません。"}
    for lang in ("en", "ja"):
        rc = held_run(f"retry_{lang}", f"held_{lang}", lang, f"""
win CAB-SFX
text 4 ~R
{shot(f'retry_{lang}.png')}
touch LETGO
sleep 1000
click 4
""")
        check(f"Retry once the archive can be read goes on, exit 0 ({lang})", rc == 0, f"(rc {rc})")
        check(f"and extracts ({lang})", read(f"held_{lang}/files/a.txt") == b"hello\n")
        rc = held_run(f"nocab_{lang}", f"held_cancel_{lang}", lang, f"""
win CAB-SFX
click 2
gone
win CAB-SFX
text 65535 ={nocab[lang]}
{shot(f'noarchive_{lang}.png')}
click 1
""")
        check(f"Cancel: string 2, exit -1 ({lang})", rc == 255, f"(rc {rc})")
        check(f"and nothing extracted ({lang})", not os.path.exists(f"held_cancel_{lang}/files"))

    # 13c. Cancel in the progress dialog, and its close box, while a package is
    # extracted (20,000 small files keep the worker busy for seconds under wine):
    # what was written stays, the rest is not written, the program is not run,
    # exit -1.
    os.makedirs("manysrc/many")
    shutil.copy(carried, "manysrc/carried.exe")
    many = [f"many/f{i:05d}.txt" for i in range(20000)]
    for n in many:
        with open(f"manysrc/{n}", "wb") as f:
            f.write(b"0123456789")
    cab("many.cab", "manysrc", ["carried.exe"] + many)
    marker_c = os.path.abspath("marker_c.txt")
    for how, steps in (("cancel", "click 2"), ("closebox", "close")):
        d = f"pc_{how}"
        os.makedirs(d)
        pack(f"{d}.exe", "many.cab", "--dest", winpath(d), "--program", f'carried.exe "{winpath(marker_c)}"',
             "--wait", "--hide", "--no-questions")
        rc = run(f"progress_{how}", [os.path.abspath(f"{d}.exe")], script=f"""
win Decompressing...
{shot(f'progress_{how}_en.png') if how == 'cancel' else 'sleep 300'}
{steps}
gone
""")
        written = len(os.listdir(f"{d}/many")) if os.path.isdir(f"{d}/many") else 0
        check(f"progress dialog {how}: exit -1", rc == 255, f"(rc {rc})")
        check(f"progress dialog {how}: what was written stays", read(f"{d}/carried.exe") == read(carried))
        check(f"progress dialog {how}: the rest was not written", written < len(many), f"({written} of {len(many)})")
        check(f"progress dialog {how}: the program did not run", not os.path.exists(marker_c))

    # 13d. An ".inf" program is installed with rundll32.exe (from the Windows
    # folder) and setupapi's InstallHinfSection, waited for, then removed.
    os.makedirs("infsrc")
    write("infsrc/orvtest.inf", b"[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n[DefaultInstall]\r\n"
          b"AddReg=Orv.AddReg\r\n\r\n[Orv.AddReg]\r\nHKCU,\"Software\\Orvane\\InfTest\",\"Installed\",0,\"yes\"\r\n")
    cab("inf.cab", "infsrc", ["orvtest.inf"])
    pack("infpkg.exe", "inf.cab", "--dest", "%temp%", "--program", "orvtest.inf", "--no-questions", "--wait", "--hide")

    def inf_installed(e):
        q = subprocess.run([wine_run, "reg", "query", "HKCU\\Software\\Orvane\\InfTest", "/v", "Installed"], env=e,
                           timeout=240, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return b"yes" in q.stdout

    rc = run("inf", [os.path.abspath("infpkg.exe")])
    check("the .inf package exits 0", rc == 0, f"(rc {rc})")
    check("and setupapi installed its DefaultInstall section (the registry value)", inf_installed(english))
    left = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Temp", "~infpkg.exe"))
    check("and the extracted .inf and its folder are removed", not left, str(left))

    # With platform mark '6', in the win32 stage: the 32-bit build under WOW64 (a
    # win64 prefix) switches the file system redirection off around the install,
    # so the rundll32.exe it starts is the 64-bit one of the Windows folder.
    if not is64:
        pack("infpkg6.exe", "inf.cab", "--dest", "%temp%", "--program", "orvtest.inf", "--no-questions", "--wait",
             "--hide", "--platform", "6")
        wow = os.path.join(os.path.dirname(prefix), "wineprefix-wow64")
        wow_env = dict(english, ORV_WINEPREFIX=wow, WINEPREFIX=wow)
        win64_run = os.path.join(os.path.dirname(wine_run), "wine-run-win64")
        rc = run("inf_wow64", [os.path.abspath("infpkg6.exe")], lang=wow_env, runner=win64_run)
        q = subprocess.run([win64_run, "reg", "query", "HKCU\\Software\\Orvane\\InfTest", "/v", "Installed"],
                           env=wow_env, timeout=240, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-k"], env=wow_env, timeout=60, stdin=subprocess.DEVNULL)
        check("the .inf package with platform mark 6 under WOW64 exits 0 and installs", rc == 0 and b"yes" in q.stdout,
              f"(rc {rc})")

    # 13e. Without a program, the shell opens the destination (open-folder flag,
    # the default of the extractor mode): wine's explorer shows the folder.
    os.makedirs("opened")
    shutil.copy("pkg.cab", "opened/pkg.cab")
    rc = run("open_folder", [exe, "/h", "/o", winpath("opened/pkg.cab")], script=f"""
window ExplorerWClass opened
{shot('openfolder_en.png')}
close
""")
    check("extractor without a program exits 0 and the shell opened the destination", rc == 0, f"(rc {rc})")
finally:
    subprocess.run(["wineserver", "-k"], env=env, timeout=60, stdin=subprocess.DEVNULL)

print(f"{failures} failed")
sys.exit(1 if failures else 0)
