#!/usr/bin/python3
"""FTP server whose uploads break off: serves ROOT on 127.0.0.1:PORT to the user
"root" with PASSWORD, and ends the data connection of every STOR once LIMIT
bytes have arrived. MODE "abort": the data connection is closed and the control
connection answers 426, as a server that gives up does; MODE "vanish": both
connections are closed without a word, as a server that dies does. Prints
"ready PORT" once it listens; runs until it is killed.
"""
import logging
import os
import sys

from pyftpdlib.handlers import DTPHandler

# The server itself is the uploader tests' one; only its data connections differ.
# No byte-code files are written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
import uploader_ftpd  # noqa: E402


def main():
    if len(sys.argv) != 6:
        sys.exit("usage: ftpd_drop.py ROOT PORT PASSWORD LIMIT abort|vanish")
    root, port, password = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    limit, mode = int(sys.argv[4]), sys.argv[5]

    class BreakingDTP(DTPHandler):
        def handle_read(self):
            DTPHandler.handle_read(self)
            if self.receive and self.tot_bytes_received >= limit and not self._closed:
                if mode == "vanish":
                    cmd = self.cmd_channel
                    self._resp = ()
                    self.close()
                    cmd.close()
                else:
                    self._resp = ("426 Connection closed; transfer aborted.", logging.warning)
                    self.close()

        handle_read_event = handle_read

    uploader_ftpd.serve(root, port, password, BreakingDTP)


if __name__ == "__main__":
    main()
