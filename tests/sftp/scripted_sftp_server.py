"""An SSH server with an SFTP subsystem, for the faults a real sshd does not
give: password-only and keyboard-interactive-only log-ins, a log-in that
takes its time, a read that stalls and a connection that drops in the middle
of a file.

    python3 scripted_sftp_server.py HOST_KEY PORT_FILE MODE

MODE: password | kbdint | slowauth | stall | drop. The user is "demo", the
password PASSWORD below (or a file "password" beside PORT_FILE). Files are served from the real file system. The
chosen port is written to PORT_FILE once the server listens. Runs until
killed.
"""
import os
import socket
import sys
import threading
import time

import paramiko

PASSWORD = "pass ワード"
# Where a stalled or dropped read begins.
FAULT_OFFSET = 1 << 20

host_key_file, port_file, mode = sys.argv[1], sys.argv[2], sys.argv[3]
host_key = paramiko.ECDSAKey.from_private_key_file(host_key_file)


def current_password():
    """PASSWORD, or the content of a file "password" beside PORT_FILE while
    it exists (a test changes the password of the running server)."""
    try:
        with open(os.path.join(os.path.dirname(port_file), "password"), encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return PASSWORD


class Server(paramiko.ServerInterface):
    def get_allowed_auths(self, username):
        return "keyboard-interactive" if mode == "kbdint" else "password"

    def check_auth_password(self, username, password):
        if mode == "kbdint":
            return paramiko.AUTH_FAILED
        if mode == "slowauth":
            time.sleep(30)
        ok = username == "demo" and password == current_password()
        return paramiko.AUTH_SUCCESSFUL if ok else paramiko.AUTH_FAILED

    def check_auth_interactive(self, username, submethods):
        if mode != "kbdint":
            return paramiko.AUTH_FAILED
        query = paramiko.InteractiveQuery("", "")
        query.add_prompt("Password: ", False)
        return query

    def check_auth_interactive_response(self, responses):
        ok = len(responses) == 1 and responses[0] == current_password()
        return paramiko.AUTH_SUCCESSFUL if ok else paramiko.AUTH_FAILED

    def check_channel_request(self, kind, chanid):
        return paramiko.OPEN_SUCCEEDED if kind == "session" else paramiko.OPEN_FAILED_ADMINISTRATIVELY_PROHIBITED


class Handle(paramiko.SFTPHandle):
    def read(self, offset, length):
        if offset >= FAULT_OFFSET:
            if mode == "stall":
                time.sleep(60)
            elif mode == "drop":
                os._exit(0)
        return super().read(offset, length)


class Files(paramiko.SFTPServerInterface):
    def stat(self, path):
        try:
            return paramiko.SFTPAttributes.from_stat(os.stat(path))
        except OSError as e:
            return paramiko.SFTPServer.convert_errno(e.errno)

    lstat = stat

    def open(self, path, flags, attr):
        try:
            f = open(path, "rb")
        except OSError as e:
            return paramiko.SFTPServer.convert_errno(e.errno)
        handle = Handle(flags)
        handle.readfile = f
        return handle


def serve(conn):
    transport = paramiko.Transport(conn)
    transport.add_server_key(host_key)
    transport.set_subsystem_handler("sftp", paramiko.SFTPServer, Files)
    try:
        transport.start_server(server=Server())
        while transport.is_active():
            time.sleep(0.2)
    except Exception:
        pass


listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(8)
with open(port_file + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(port_file + ".tmp", port_file)
while True:
    conn, _ = listener.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
