#!/usr/bin/python3
"""Runs a pyftpdlib FTP server on 127.0.0.1 (or --address, e.g. ::1) for the tests.

Usage: pyftpd_launcher.py ROOT [--address ADDR] [--user NAME --password PW] [--anonymous]
                          [--refuse COMMAND]... [--ignore-rest] [--idle SECONDS]
                          [--tls-cert PEM --tls-key PEM] [--password-file PATH]

--refuse answers a command (SIZE, REST, MDTM...) with "502 Command not
implemented." as a server without it would; --ignore-rest answers REST with
350 but sends every file from its start, as a faulty server does; --idle
closes a control connection idle for that long (pyftpdlib's own 421 notice).
With --tls-cert the server speaks explicit TLS (AUTH TLS) and requires it on
the control and data connections. With --password-file the user's password
is read from that file (UTF-8) at each log-in while it exists, so a test can
change the password of a running server.

Binds a port chosen by the system, prints "PORT <n>" on one line of standard
output once the server accepts connections, and serves ROOT until it is
terminated or its standard input reaches end of file (so the server never
outlives a test process that dies).
"""
import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def make_handler(base, refused, ignore_rest):
    """A subclass of the handler base that refuses the named commands and,
    when asked, accepts REST but forgets it."""
    members = {}
    for command in refused:
        def refuse(self, line, _command=command):
            self.respond("502 Command not implemented.")
        members["ftp_" + command] = refuse
    if ignore_rest:
        def rest(self, line):
            self.respond("350 Restarting at position %s." % line)
        members["ftp_REST"] = rest
    return type("ScriptedHandler", (base,), members)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--anonymous", action="store_true")
    parser.add_argument("--refuse", action="append", default=[])
    parser.add_argument("--ignore-rest", action="store_true")
    parser.add_argument("--idle", type=float, default=0)
    parser.add_argument("--tls-cert", default="")
    parser.add_argument("--tls-key", default="")
    parser.add_argument("--password-file", default="")
    args = parser.parse_args()

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    authorizer = DummyAuthorizer()
    if args.password_file:
        class FileAuthorizer(DummyAuthorizer):
            def validate_authentication(self, username, password, handler):
                try:
                    with open(args.password_file, encoding="utf-8") as f:
                        self.user_table[args.user]["pwd"] = f.read()
                except FileNotFoundError:
                    pass
                return DummyAuthorizer.validate_authentication(self, username, password, handler)
        authorizer = FileAuthorizer()
    if args.user:
        authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    if args.anonymous:
        authorizer.add_anonymous(args.root, perm="elradfmwMT")

    base = FTPHandler
    if args.tls_cert:
        from pyftpdlib.handlers import TLS_FTPHandler
        base = TLS_FTPHandler
        base.certfile = args.tls_cert
        base.keyfile = args.tls_key or None
        base.tls_control_required = True
        base.tls_data_required = True
    handler = make_handler(base, [c.upper() for c in args.refuse], args.ignore_rest)
    handler.authorizer = authorizer
    if args.idle:
        handler.timeout = args.idle
    handler.banner = "pyftpdlib test server ready."
    handler.permit_foreign_addresses = False
    server = FTPServer((args.address, 0), handler)
    port = server.socket.getsockname()[1]

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        finally:
            os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
