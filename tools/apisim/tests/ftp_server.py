#!/usr/bin/python3
"""A real FTP server (pyftpdlib) for the delivery tests, on loopback.

  ftp_server.py --port N --root DIR --user USER --password PASSWORD --log FILE

Prints "ready" once it listens. Appends to FILE one line per data-connection
set-up ("mode PASV", "mode EPSV", "mode PORT", "mode EPRT") and per file
received ("received <path>").
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--root", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--log", required=True)
    a = p.parse_args()

    def note(line):
        with open(a.log, "a") as f:
            f.write(line + "\n")

    class Handler(FTPHandler):
        def on_file_received(self, file):
            note(f"received {file}")

    # The data connection each transfer asked for.
    for command in ("PASV", "EPSV", "PORT", "EPRT"):
        def logged(self, line, command=command, inner=getattr(FTPHandler, "ftp_" + command)):
            note("mode " + command)
            return inner(self, line)
        setattr(Handler, "ftp_" + command, logged)

    authorizer = DummyAuthorizer()
    authorizer.add_user(a.user, a.password, a.root, perm="elradfmwMT")
    Handler.authorizer = authorizer
    Handler.auth_failed_timeout = 0.1  # the refusal comes at once
    logging.basicConfig(level=logging.WARNING)
    server = FTPServer(("127.0.0.1", a.port), Handler)
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
