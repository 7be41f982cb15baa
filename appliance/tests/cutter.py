#!/usr/bin/env python3
"""cutter: cuts the virtual Orvane's power, or its network, at a chosen moment.

  cutter.py --pid QEMU_PID --out FILE [--listen PORT] [--console FILE --pattern REGEX --count N]
            [--mode power|network] [--limit SECONDS]

Two triggers, whichever comes first:
  --listen PORT   a connection from the guest to 10.0.2.2:PORT (qemu's user network
                  brings it to 127.0.0.1:PORT here); the line the guest sends says
                  what it saw at that moment
  --pattern RE    the guest's console log shows RE on its COUNT-th line (kernel and
                  init messages: the reset, the going down, the next boot)
On the trigger:
  power    qemu gets SIGKILL: what the guest had not yet written out is lost, as
           in a power cut
  network  qemu gets SIGSTOP: every connection stays open and nothing answers, as
           when the cable is pulled (the caller ends qemu later)
Writes "<unix time> <what>" to --out. Exit status 0 after a cut, 1 when nothing
triggered within --limit seconds, 2 when qemu ended before.
"""
import argparse
import os
import re
import select
import signal
import socket
import sys
import time


def console_hits(path, pattern, state):
    """Counts the console lines matching pattern; a line is read once it has ended."""
    try:
        with open(path, "rb") as f:
            f.seek(state["pos"])
            data = f.read()
    except FileNotFoundError:
        return state["hits"]
    lines = data.split(b"\n")
    state["pos"] += len(data) - len(lines.pop())
    state["hits"] += sum(1 for line in lines if pattern.search(line.decode("utf-8", "replace")))
    return state["hits"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pid", type=int, required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--listen", type=int)
    ap.add_argument("--console")
    ap.add_argument("--pattern")
    ap.add_argument("--count", type=int, default=1)
    ap.add_argument("--mode", choices=("power", "network"), default="power")
    ap.add_argument("--limit", type=float, default=300)
    a = ap.parse_args()

    lsock = None
    if a.listen:
        lsock = socket.socket()
        lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        lsock.bind(("127.0.0.1", a.listen))
        lsock.listen(4)
    pattern = re.compile(a.pattern) if a.pattern else None
    state = {"pos": 0, "hits": 0}
    # Ready: the caller starts what is to be cut only after this line.
    print("cutter: ready", flush=True)

    end = time.monotonic() + a.limit
    what = None
    while what is None:
        if time.monotonic() > end:
            print(f"cutter: nothing triggered within {a.limit:.0f} s", file=sys.stderr)
            return 1
        try:
            os.kill(a.pid, 0)
        except ProcessLookupError:
            print("cutter: qemu ended before the cut", file=sys.stderr)
            return 2
        if lsock is not None:
            ready, _, _ = select.select([lsock], [], [], 0.01)
            if ready:
                conn, _ = lsock.accept()
                conn.settimeout(1.0)
                data = b""
                try:
                    while b"\n" not in data:
                        chunk = conn.recv(512)
                        if not chunk:
                            break
                        data += chunk
                except socket.timeout:
                    pass
                what = "guest: " + data.decode("utf-8", "replace").strip()
                conn.close()
        else:
            time.sleep(0.01)
        if what is None and pattern is not None and console_hits(a.console, pattern, state) >= a.count:
            what = f"console: {a.pattern}"
    os.kill(a.pid, signal.SIGKILL if a.mode == "power" else signal.SIGSTOP)
    stamp = time.time()
    with open(a.out, "w") as f:
        f.write(f"{stamp:.3f} {a.mode} {what}\n")
    print(f"cutter: {a.mode} cut ({what})", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
