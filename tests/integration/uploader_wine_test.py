#!/usr/bin/python3
"""orvane3uploader.exe end to end under wine.

The Windows program runs under wine, with its standard input and output on
pipes, against a real FTP server (pyftpdlib) and a real telnet service (busybox
telnetd with a login program of ours) in a network namespace that this test
makes, so both listen on 127.0.0.1 at the real ports 21 and 23. The namespace's
own wineserver runs in it too: wine's sockets are made by the wineserver, so a
server started outside would reach the host's loopback instead. A temporary
folder stands for the appliance's "/"; the telnet shell starts one level below
it, so the packages are really unpacked by tar and removed by rm.

The program writes code page 932; every check decodes it and compares exact
texts (CRs removed).

Exit code 0 when every case passed, 1 on a failure, 77 (skipped) when root,
wine, pyftpdlib, busybox telnetd or the namespace are not to be had.
"""
import argparse
import codecs
import ctypes
import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import traceback

SKIP = 77
CLONE_NEWNET = 0x40000000
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1

ADDRESS_PROMPT = "のIPアドレスを入力してください。\n (デフォルト:192.168.0.254)\n>"
MENU_PROMPT = "    2. 装置リセット\n (デフォルト:1)\n>"
RESET_PROMPT = "装置をリセットしますか?  (y or n)\n (デフォルト:y)\n>"
EXIT_PROMPT = "プログラムを終了するにはリターンを押してください。\n"
DETAILS = "\n------------------------\nエラーの詳細：\n"
LOGIN_STOP = "FTPサーバへのログインの段階でエラーが発生したため、実行を中止しました。\n"
RESET_SENT = "装置リセットを行うため、コマンドを送信しました。\n\n"
NOT_FOUND = "エラーコードに対するエラーメッセージが見つかりませんでした。"


class Failure(Exception):
    pass


def skip(why):
    print("SKIP:", why)
    sys.exit(SKIP)


def missing(what):
    """A checking peer is missing: the run fails rather than leaving the cases out."""
    print("FAIL: %s is missing (scripts/install-deps installs it)" % what)
    sys.exit(1)


def enter_private_network():
    """A network namespace of this process with only loopback, up."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        return "unshare(CLONE_NEWNET): " + os.strerror(ctypes.get_errno())
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            req = struct.pack("16sH14x", b"lo", 0)
            flags = struct.unpack("16sH14x", fcntl.ioctl(s.fileno(), SIOCGIFFLAGS, req))[1]
            fcntl.ioctl(s.fileno(), SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))
    except OSError as e:
        return "cannot bring lo up: %s" % e
    return None


def port_open(port):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", port)) == 0


def stop(proc, grace=5):
    """Ends a process this test started, by its id, and reaps it."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def nocr(s):
    return s.replace("\r", "")


class Uploader:
    """The program under wine: reads what it prints, types lines."""

    def __init__(self, env, cwd, args=(), lang=None):
        wine_env = env.wine_env if lang is None else dict(env.wine_env, LANG=lang, LC_ALL=lang)
        self.proc = subprocess.Popen([env.wine_run, env.exe, *args], cwd=cwd, env=wine_env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.raw = b""
        self.text = ""
        self.mark = 0
        self.lock = threading.Lock()
        self.decoder = codecs.getincrementaldecoder("cp932")()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            b = self.proc.stdout.read1(4096)
            if not b:
                break
            with self.lock:
                self.raw += b
                self.text += nocr(self.decoder.decode(b))

    def output(self):
        with self.lock:
            return self.text

    def expect(self, want, seconds=30):
        """Waits until the output after the last match holds want."""
        want = nocr(want)
        end = time.monotonic() + seconds
        while True:
            with self.lock:
                at = self.text.find(want, self.mark)
                if at >= 0:
                    self.mark = at + len(want)
                    return
                rest = self.text[self.mark:]
            if time.monotonic() >= end or (not self.reader.is_alive() and self.proc.poll() is not None):
                raise Failure("no %r in output:\n%r" % (want, rest))
            time.sleep(0.05)

    def type(self, line):
        self.proc.stdin.write(line.encode("cp932") + b"\r\n")
        self.proc.stdin.flush()

    def wait(self, seconds=30):
        try:
            rc = self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            return None
        self.reader.join(5)
        return rc

    def close(self):
        stop(self.proc)
        self.reader.join(5)


class Rig:
    """The appliance side: folders, FTP server, telnet service."""

    def __init__(self, env):
        self.env = env
        self.base = tempfile.mkdtemp(prefix="uploader-wine-")
        self.root = os.path.join(self.base, "appliance")
        self.local = os.path.join(self.base, "pc")
        os.makedirs(os.path.join(self.root, "home"))
        os.makedirs(os.path.join(self.root, "root"))  # the shell's starting folder
        os.makedirs(self.local)
        self.ftpd = self.telnetd = self.silent = None
        self.uploaders = []

    def close(self):
        for u in self.uploaders:
            u.close()
            if self.env.show:
                print(repr(u.output()))
        stop(self.telnetd)
        stop(self.ftpd)
        if self.silent:
            self.silent.close()
        shutil.rmtree(self.base, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.base, *parts)

    def uploader(self, args=(), lang=None):
        u = Uploader(self.env, self.local, args, lang)
        self.uploaders.append(u)
        return u

    def start_ftp(self, password="brolt362"):
        self.ftpd = subprocess.Popen([self.env.python, self.env.ftpd, self.root, "21", password],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = b""
        end = time.monotonic() + 15
        while not line.endswith(b"\n") and time.monotonic() < end:
            c = self.ftpd.stdout.read(1)
            if not c:
                break
            line += c
        if not line.startswith(b"ready 21"):
            raise Failure("FTP server did not start: %r" % line)

    def start_telnet(self, password="brolt362"):
        login = self.path("login.sh")
        commands, resets = self.path("commands.log"), self.path("reset.log")
        with open(login, "w") as f:
            f.write(
                "#!/bin/sh\n"
                "rd() { while :; do IFS= read -r v || exit 1; v=$(printf '%s' \"$v\" | tr -d '\\r');"
                " [ -n \"$v\" ] && break; done; }\n"
                "printf 'login: '; rd; user=$v\n"
                "printf 'Password: '; rd; pass=$v\n"
                "if [ \"$user\" != root ] || [ \"$pass\" != '" + password + "' ]; then\n"
                "  echo 'Login incorrect'; exit 1; fi\n"
                "cd '" + os.path.join(self.root, "root") + "' || exit 1\n"
                "while printf '# '; rd; do\n"
                "  printf '%s\\n' \"$v\" >> '" + commands + "'\n"
                "  case \"$v\" in\n"
                # Reset commands are only logged: this is not an appliance to take down.
                "    'echo 0 > /proc/wdt/wdt'|reboot) printf '%s\\n' \"$v\" >> '" + resets + "' ;;\n"
                "    *) sh -c \"$v\" 2>&1 ;;\n"
                "  esac\n"
                "done\n")
        os.chmod(login, 0o700)
        self.telnetd = subprocess.Popen([self.env.busybox, "telnetd", "-F", "-p", "23", "-b", "127.0.0.1",
                                         "-l", login])
        end = time.monotonic() + 10
        while not port_open(23) and time.monotonic() < end:
            time.sleep(0.05)
        if not port_open(23):
            raise Failure("telnetd did not start")

    def start_silent_telnet(self):
        """A telnet port that accepts connections and never says anything."""
        self.silent = socket.socket()
        self.silent.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.silent.bind(("127.0.0.1", 23))
        self.silent.listen(4)

    def package(self, rel, files):
        """A gzip tar package below the local files folder (name -> content)."""
        inc = os.path.join(self.local, "files", rel)
        os.makedirs(os.path.dirname(inc), exist_ok=True)
        src = self.path("src-" + os.path.basename(inc))
        with tarfile.open(inc, "w:gz") as t:
            for name, text in files.items():
                p = os.path.join(src, name)
                os.makedirs(os.path.dirname(p), exist_ok=True)
                with open(p, "w") as f:
                    f.write(text)
                t.add(p, arcname=name)

    def read(self, *parts):
        with open(os.path.join(self.root, *parts)) as f:
            return f.read()

    def log(self, name, seconds=5):
        """A log the remote shell writes a moment after the command arrived."""
        p = self.path(name)
        end = time.monotonic() + seconds
        while not os.path.exists(p) and time.monotonic() < end:
            time.sleep(0.02)
        if not os.path.exists(p):
            return []
        with open(p) as f:
            return f.read().splitlines()


def check(cond, what):
    if not cond:
        raise Failure(what)


def check_eq(got, want, what):
    if got != want:
        raise Failure("%s: got %r, want %r" % (what, got, want))


def windows_path(p):
    """How wine shows a host path to the program: drive Z: is the host's /."""
    return "Z:" + p.replace("/", "\\")


# --- cases ------------------------------------------------------------------

def case_transfer_unpack_reset(rig):
    rig.start_ftp()
    rig.start_telnet()
    rig.package("update_bt.inc", {"bt/bt.conf": "bt=1\n"})
    rig.package("home/update_orv3.inc", {"drivers/vexa/zr/ZR1Communicator.ini": "[ZR1]\n", "orv3.txt": "three\n"})
    with open(os.path.join(rig.local, "files", "readme.txt"), "w") as f:
        f.write("not a package\n")

    up = rig.uploader()
    up.expect("Orvane III" + ADDRESS_PROMPT, 120)  # the first start of the prefix takes a while
    up.type("127.0.0.1")
    up.expect(MENU_PROMPT)
    up.type("3")  # out of range: asked again
    up.expect("範囲外の番号です。1～2を選択してください。\n>")
    up.type("1")
    up.expect("\nファイル転送を実行しています。\n\u3000※絶対にネットワークケーブルを抜いたり電源を切ったりしないでください。\n")
    up.expect("\n進行状況：100%\nファイル転送が完了しました。\n\n", 120)
    up.expect("\nアップデートを完了するには装置をリセットする必要があります。\n\n" + RESET_PROMPT)
    up.type("yes")  # not an answer: the question comes again
    up.expect("\n" + RESET_PROMPT)
    up.type("y")
    up.expect("\n" + RESET_SENT + EXIT_PROMPT, 40)
    up.type("")
    check_eq(up.wait(), 0, "exit code")

    # Uploaded into the matching folders, unpacked by tar, packages removed.
    check_eq(rig.read("readme.txt"), "not a package\n", "readme.txt")
    check_eq(rig.read("bt", "bt.conf"), "bt=1\n", "unpacked bt.conf")
    check_eq(rig.read("home", "orv3.txt"), "three\n", "unpacked orv3.txt")
    check_eq(rig.read("home", "drivers", "vexa", "zr", "ZR1Communicator.ini"), "[ZR1]\n", "unpacked ini")
    check(not os.path.exists(os.path.join(rig.root, "update_bt.inc")), "update_bt.inc not removed")
    check(not os.path.exists(os.path.join(rig.root, "home", "update_orv3.inc")), "update_orv3.inc not removed")

    # Unpack commands in the order the local file system listed the entries.
    check_eq(rig.log("reset.log"), ["echo 0 > /proc/wdt/wdt"], "reset command")
    cmds = rig.log("commands.log")
    bt = ["tar xzvf ../update_bt.inc -C ..", "rm ../update_bt.inc"]
    orv3 = ["tar xzvf ../home/update_orv3.inc -C ../home", "rm ../home/update_orv3.inc"]
    check(cmds[:-1] in (bt + orv3, orv3 + bt) and cmds[-1] == "echo 0 > /proc/wdt/wdt",
          "remote commands: %r" % cmds)

    # Three files: progress 0, 33 and 66 before them, 100 at the end; two unpacks.
    out = up.output()
    for p in ("\n進行状況：0%\n", "\n進行状況：33%\n", "\n進行状況：66%\n", "\n進行状況：100%\n"):
        check(p in out, "no progress line %r" % p)
    check_eq(out.count("\n転送したデータを展開しています。\n"), 2, "unpack announcements")
    check_eq(out.count("\nデータを展開しました。\n"), 2, "unpack completions")
    for name in ("readme.txt", "update_bt.inc", "update_orv3.inc"):
        check(("\n" + name + "を転送しています。\n") in out, "no announcement of " + name)
    # The console bytes are code page 932 with CR LF line ends.
    check(b"\x90\x69\x8d\x73\x8f\xf3\x8b\xb5\x81\x46100%\r\n" in up.raw, "progress line not in code page 932")


def japanese_names(rig):
    """Packages and a folder with Japanese names: files\\日本語.inc, files\\データ\\更新.inc and
    files\\データ\\説明.txt. The remote folder exists under the name's code page 932
    bytes, as the uploader sends it."""
    os.makedirs(os.path.join(os.fsencode(rig.root), "データ".encode("cp932")))
    rig.package("日本語.inc", {"jp-root.txt": "root\n"})
    rig.package(os.path.join("データ", "更新.inc"), {"jp-dir.txt": "dir\n"})
    with open(os.path.join(rig.local, "files", "データ", "説明.txt"), "w") as f:
        f.write("not a package\n")


def case_japanese_names_same_bytes(rig):
    """On a Japanese system (ANSI code page 932) the names reach the appliance as
    the same bytes over FTP and in the telnet tar and rm lines: code page 932."""
    rig.start_ftp()
    rig.start_telnet()
    japanese_names(rig)
    up = rig.uploader(lang="ja_JP.UTF-8")
    up.expect(ADDRESS_PROMPT, 60)
    up.type("127.0.0.1")
    up.expect(MENU_PROMPT)
    up.type("1")
    up.expect("\n進行状況：100%\nファイル転送が完了しました。\n\n", 120)
    up.expect(RESET_PROMPT)
    up.type("n")
    up.expect(EXIT_PROMPT)
    up.type("")
    check_eq(up.wait(), 0, "exit code")
    sjis = lambda t: t.encode("cp932")
    # Uploaded under the code page 932 bytes of their names (the FTP server keeps
    # the bytes it was sent), unpacked by tar under the same bytes, removed by rm.
    root, folder = os.fsencode(rig.root), os.path.join(os.fsencode(rig.root), sjis("データ"))
    check_eq(sorted(os.listdir(folder)), sorted([sjis("説明.txt"), b"jp-dir.txt"]), "the remote folder")
    check(b"jp-root.txt" in os.listdir(root) and sjis("日本語.inc") not in os.listdir(root),
          "root: %r" % os.listdir(root))
    with open(rig.path("commands.log"), "rb") as f:
        cmds = f.read().splitlines()
    want = {b"tar xzvf ../" + sjis("日本語.inc") + b" -C ..", b"rm ../" + sjis("日本語.inc"),
            b"tar xzvf ../" + sjis("データ/更新.inc") + b" -C ../" + sjis("データ"),
            b"rm ../" + sjis("データ/更新.inc")}
    check_eq(set(cmds), want, "the telnet lines")


def case_name_outside_the_code_page_fails(rig):
    """Where the ANSI code page lacks a name's characters (1252 here), the upload
    of that file fails (message 13, error 1113) before anything is sent: never
    another name on the appliance, never an unpack."""
    rig.start_ftp()
    rig.start_telnet()
    rig.package("日本語.inc", {"jp-root.txt": "root\n"})
    up = rig.uploader(lang="C.UTF-8")
    up.expect(ADDRESS_PROMPT, 60)
    up.type("127.0.0.1")
    up.expect(MENU_PROMPT)
    up.type("1")
    up.expect("\n日本語.incを転送しています。\n\n\nFTPコマンド操作にて、\".\\日本語.inc\"のファイル転送に失敗したため、"
              " 実行を中止しました。\n" + DETAILS, 60)
    # The report of code 1113 (ERROR_NO_UNICODE_TRANSLATION) takes its text from
    # wininet.dll's table, which lacks it: the not-found text and the lookup's error.
    report = up.output()[up.mark:]
    check(report.startswith("\nPutFile エラー; コード: 1113\n") or
          report.startswith("\n" + NOT_FOUND + "\n   System Error number: 317.\n"), "report of the refused name: %r" % report)
    up.expect(EXIT_PROMPT)
    check(RESET_PROMPT not in up.output(), "reset question after a failure")
    up.type("")
    check_eq(up.wait(), 0, "exit code")
    check(sorted(os.listdir(rig.root)) == ["home", "root"], "uploaded: %r" % os.listdir(rig.root))
    check(not os.path.exists(rig.path("commands.log")), "a telnet session ran")


def case_folder_link_not_entered(rig):
    """A folder that is a junction or a link (under wine: a symbolic link to a
    folder, which wine shows as a reparse-point folder) is not entered, so a loop of
    them cannot make the walk recurse for ever: it is sent as a file, which fails
    with message 13, and the transfer stops."""
    rig.start_ftp()
    rig.start_telnet()
    os.makedirs(os.path.join(rig.local, "files", "sub"))
    os.makedirs(os.path.join(rig.root, "sub"))
    os.symlink(".", os.path.join(rig.local, "files", "sub", "loop"))  # sub\loop is sub again
    up = rig.uploader()
    up.expect(ADDRESS_PROMPT, 60)
    up.type("127.0.0.1")
    up.expect(MENU_PROMPT)
    up.type("1")
    up.expect("\nloopを転送しています。\n\n\nFTPコマンド操作にて、\".\\sub\\loop\"のファイル転送に失敗したため、"
              " 実行を中止しました。\n" + DETAILS, 60)
    up.expect(EXIT_PROMPT)
    check(RESET_PROMPT not in up.output(), "reset question after a failure")
    up.type("")
    check_eq(up.wait(), 0, "exit code")
    check_eq(os.listdir(os.path.join(rig.root, "sub")), [], "uploaded into sub")


def case_model_two_reset(rig):
    rig.start_telnet()
    up = rig.uploader(["-inc1", "-inc2"])
    up.expect("Orvane IV" + ADDRESS_PROMPT, 60)
    up.type("127.0.0.1")
    up.expect(MENU_PROMPT)
    up.type("2")
    up.expect("\n" + RESET_SENT + EXIT_PROMPT, 40)
    up.type("")
    check_eq(up.wait(), 0, "exit code")
    check_eq(rig.log("reset.log"), ["reboot"], "reset command of model 2")


def failure_case(name, menu, expected, ftp=None, telnet=None, silent=False, home=True, files=True, seconds=30,
                 then=None):
    def run(rig):
        if ftp:
            rig.start_ftp(ftp)
        if telnet:
            rig.start_telnet(telnet)
        if silent:
            rig.start_silent_telnet()
        if not home:
            shutil.rmtree(os.path.join(rig.root, "home"))
        if files:
            rig.package("home/update_orv3.inc", {"a.txt": "a\n"})
        up = rig.uploader()
        up.expect(ADDRESS_PROMPT, 60)
        up.type("127.0.0.1")
        up.expect(MENU_PROMPT)
        up.type(menu)
        for e in expected(rig):
            up.expect(e, seconds)
        if then:
            then(up)
        up.expect(EXIT_PROMPT)
        check(RESET_PROMPT not in up.output(), "reset question after a failure")
        up.type("")
        check_eq(up.wait(), 0, "exit code")
    run.__name__ = name
    return run


def missing_files_folder(rig):
    root = windows_path(os.path.join(rig.local, "files"))
    return ["\n\n転送元ファイル操作にて、\"" + root + "\"へのカレントディレクトリの移動に失敗したため、 実行を中止しました。\n" +
            DETAILS + "\nSetCurrentDirectory エラー; コード: 2\n説明: File not found.\n\n"]


def missing_remote_folder(rig):
    return ["\n\nFTPコマンド操作にて、\"./home\"へのカレントディレクトリの移動に失敗したため、 実行を中止しました。\n" +
            DETAILS + "\n"]


def remote_folder_report(up):
    """The report of code 12003 takes its description from wininet.dll. Where
    the message table lacks the code (wine's does), the not-found text and the
    lookup's own error (ERROR_MR_MID_NOT_FOUND); where it has it, the
    description and the server's refusal."""
    out = up.output()[up.mark:]
    if out.startswith(NOT_FOUND):
        check(out.startswith(NOT_FOUND + "\n   System Error number: 317.\n\n" + EXIT_PROMPT),
              "not-found report: %r" % out)
    else:
        up.expect("SetCurrentDirectory エラー; コード: 12003\n説明: ")
        up.expect("\nAdditional Information: 550 ")


CASES = [
    case_transfer_unpack_reset,
    case_model_two_reset,
    case_japanese_names_same_bytes,
    case_name_outside_the_code_page_fails,
    case_folder_link_not_entered,
    failure_case("no_ftp_server", "1", lambda rig: [
        "\n\n" + LOGIN_STOP + DETAILS + "\nThe attempt to connect to the server failed.\n"]),
    failure_case("ftp_login_refused", "1", lambda rig: [
        "\n\n" + LOGIN_STOP + DETAILS + "\nThe FTP server refused the login.\n530 "], ftp="other"),
    failure_case("missing_files_folder", "1", missing_files_folder, ftp="brolt362", files=False),
    failure_case("missing_remote_folder", "1", missing_remote_folder, ftp="brolt362", home=False,
                 then=remote_folder_report),
    failure_case("closed_telnet_port", "1", lambda rig: [
        "\n\nOrvane IIIへのログインの段階でエラーが発生したため、実行を中止しました。\n\n" + DETAILS +
        "\nCSocket.Connect エラー; コード: 10061\n説明: Connection refused.\n\n\n\n"], ftp="brolt362"),
    failure_case("telnet_login_refused", "1", lambda rig: [
        "\n\nOrvane IIIへのログインの段階で通信エラーが発生したため、実行を中止しました。\n\n\n\n"],
        ftp="brolt362", telnet="other"),
    # The reset session's 30000 ms deadline ends the wait on a silent service.
    failure_case("silent_telnet_service", "2", lambda rig: [
        "\n\nOrvane IIIへのログインの段階で通信タイムアウトが発生したため、実行を中止しました。\n\n"],
        silent=True, seconds=60),
]


class Env:
    pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--prefix", required=True, help="wine prefix of this test (made on first use)")
    ap.add_argument("--ftpd", required=True)
    ap.add_argument("--python", default="/usr/bin/python3")
    ap.add_argument("--busybox", default=shutil.which("busybox") or "")
    ap.add_argument("-k", dest="only", default="", help="run only cases whose name contains this")
    ap.add_argument("--show", action="store_true", help="print what the program wrote in each case")
    a = ap.parse_args()

    if os.geteuid() != 0:
        skip("needs root for a network namespace")
    if not shutil.which("wine") or not shutil.which("wineserver"):
        missing("wine")
    if subprocess.run([a.python, "-c", "import pyftpdlib"], stderr=subprocess.DEVNULL).returncode != 0:
        missing("python3-pyftpdlib")
    if not a.busybox or b"telnetd" not in subprocess.run([a.busybox, "--list"], stdout=subprocess.PIPE).stdout:
        missing("busybox with telnetd (busybox-static)")
    why = enter_private_network()
    if why:
        skip(why)

    env = Env()
    env.exe, env.wine_run, env.ftpd = (os.path.abspath(p) for p in (a.exe, a.wine_run, a.ftpd))
    env.python, env.busybox, env.show = a.python, a.busybox, a.show
    env.wine_env = dict(os.environ, ORV_WINEPREFIX=a.prefix, WINEPREFIX=a.prefix, WINEDEBUG="-all")
    for k in ("ORV_UPLOADER_FTP_PORT", "ORV_UPLOADER_TELNET_PORT"):
        env.wine_env.pop(k, None)

    # A wineserver of this prefix left from an earlier run lives in another
    # namespace: wait for it to go, then keep one of ours running for all cases.
    subprocess.run(["wineserver", "-w"], env=env.wine_env, timeout=60)
    os.makedirs(a.prefix, exist_ok=True)
    if not os.path.exists(os.path.join(a.prefix, "system.reg")):
        # Made by the tree's wine-run (cmake/wine-run-win32 or -win64), which knows
        # the prefix's architecture and bounds its first start.
        made = subprocess.run([env.wine_run, "cmd.exe", "/c", "exit"], env=env.wine_env, timeout=600,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if made.returncode != 0 or not os.path.exists(os.path.join(a.prefix, "system.reg")):
            print("FAIL: cannot make the wine prefix %s: %s" % (a.prefix, made.stderr.decode(errors="replace").strip()))
            return 1
        subprocess.run(["wineserver", "-w"], env=env.wine_env, timeout=120)
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=env.wine_env)
    failed = []
    try:
        for case in CASES:
            if a.only not in case.__name__:
                continue
            rig = Rig(env)
            t0 = time.monotonic()
            try:
                case(rig)
                print("ok     %-28s %5.1fs" % (case.__name__, time.monotonic() - t0), flush=True)
            except Exception:
                failed.append(case.__name__)
                print("FAILED %s" % case.__name__, flush=True)
                traceback.print_exc()
            finally:
                rig.close()
    finally:
        # The session of this prefix (its server and the helper processes wine
        # started for it) ends with the server; a plain signal to the server
        # would leave the helpers behind.
        subprocess.run(["wineserver", "-k"], env=env.wine_env, timeout=60)
        try:
            server.wait(20)
        except subprocess.TimeoutExpired:
            stop(server)
    if failed:
        print("failed:", " ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
