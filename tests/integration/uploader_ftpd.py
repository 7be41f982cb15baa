#!/usr/bin/python3
"""FTP server for the uploader's integration tests and benchmark.

Serves ROOT (standing for the appliance's "/") on 127.0.0.1:PORT to the user
"root" with PASSWORD. Prints "ready PORT" on stdout once it listens; PORT 0
picks a free port. Runs until it is killed.
"""
import asynchat
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


class BytesFaithfulHandler(FTPHandler):
    """Names reach the disk, and come back in replies, as the bytes the client
    sent (a Windows client sends its ANSI code page, e.g. 932), not replaced or
    refused where they are not UTF-8."""
    unicode_errors = "surrogateescape"

    def push(self, s):
        asynchat.async_chat.push(self, s.encode("utf8", self.unicode_errors))


def serve(root, port, password, dtp_handler=None):
    """Serves ROOT until killed; dtp_handler replaces the data connections'
    handler (tests of servers that misbehave)."""
    logging.basicConfig(level=logging.DEBUG if os.environ.get("ORV_FTPD_DEBUG") else logging.WARNING)
    auth = DummyAuthorizer()
    auth.add_user("root", password, root, perm="elradfmwMT")
    handler = BytesFaithfulHandler
    handler.authorizer = auth
    if dtp_handler is not None:
        handler.dtp_handler = dtp_handler
    handler.masquerade_address = None
    handler.passive_ports = None
    server = FTPServer(("127.0.0.1", port), handler)
    print("ready", server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=False)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: uploader_ftpd.py ROOT PORT PASSWORD")
    serve(sys.argv[1], int(sys.argv[2]), sys.argv[3])


if __name__ == "__main__":
    main()
