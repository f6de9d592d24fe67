"""An SSH server with an SFTP subsystem, for the faults a real sshd does not
give: password-only and keyboard-interactive-only log-ins, a log-in that
takes its time or is cut, and reads that go wrong in the middle of a file.

    python3 scripted_sftp_server.py HOST_KEY PORT_FILE MODE [REPLY_CAP]

MODE: password | kbdint | slowauth | logindrop (the connection is cut when
the password comes), or a fault of the reads at and past FAULT_OFFSET:
    stall      the read is never answered
    drop       the connection is cut
    short      reads that start in the 64 KiB from there get at most SHORT bytes
    overlong   the reply holds one byte more than the read asked for
    badid      the reply carries a request id that was never sent
    shrink     the file is cut to FAULT_OFFSET + 4321 bytes
    grow       the file gains GROWTH bytes (a line per KiB)
or from the start:
    reorder    read replies go out in reverse order, eight at a time
    denyopen   opening a file is refused
    denystat   the attributes of a file are refused
The user is "demo", the password PASSWORD below (or a file "password"
beside PORT_FILE). Files are served from the
real file system. The chosen port is written to PORT_FILE once the server
listens. Runs until killed.

REPLY_CAP (bytes) answers each read with at most that much, as servers that
reply short do. The bytes of file data sent so far are written to
PORT_FILE.sent whenever a file is closed.
"""
import os
import socket
import sys
import threading
import time

import paramiko

PASSWORD = "pass ワード"
# Where a fault of a read begins.
FAULT_OFFSET = 1 << 20
SHORT = 20000
GROWTH = 100 * 1024

host_key_file, port_file, mode = sys.argv[1], sys.argv[2], sys.argv[3]
reply_cap = int(sys.argv[4]) if len(sys.argv) > 4 else 0
sent = 0
sent_lock = threading.Lock()
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
        if mode == "logindrop":
            os._exit(0)
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
    changed = False

    def read(self, offset, length):
        if mode == "short" and FAULT_OFFSET <= offset < FAULT_OFFSET + 65536:
            length = min(length, SHORT)
        if offset >= FAULT_OFFSET:
            if mode == "stall":
                time.sleep(60)
            elif mode == "drop":
                os._exit(0)
            elif mode == "overlong":
                length += 1
            elif mode in ("shrink", "grow") and not self.changed:
                self.changed = True
                if mode == "shrink":
                    os.truncate(self.path, FAULT_OFFSET + 4321)
                else:
                    with open(self.path, "ab") as f:
                        f.write((b"grown".ljust(1023, b".") + b"\n") * (GROWTH // 1024))
        if reply_cap:
            length = min(length, reply_cap)
        data = super().read(offset, length)
        if isinstance(data, bytes):
            global sent
            with sent_lock:
                sent += len(data)
        return data

    def close(self):
        super().close()
        with sent_lock:
            with open(port_file + ".sent.tmp", "w") as f:
                f.write(str(sent))
            os.rename(port_file + ".sent.tmp", port_file + ".sent")


class Sftp(paramiko.SFTPServer):
    """Answers reads as MODE says; everything else as paramiko does."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.held = []
        self.past_fault = False

    def _response(self, request_number, t, *arg):
        if t == paramiko.sftp.CMD_DATA and mode == "badid" and self.past_fault:
            request_number += 0x10000
        super()._response(request_number, t, *arg)

    def _process(self, t, request_number, msg):
        # Whether the request is a read at or past FAULT_OFFSET (for badid).
        self.past_fault = False
        if t == paramiko.sftp.CMD_READ:
            msg.get_binary()
            self.past_fault = msg.get_int64() >= FAULT_OFFSET
            msg.rewind()
            msg.get_int()
        super()._process(t, request_number, msg)

    def _send_packet(self, t, packet):
        if mode == "reorder" and t == paramiko.sftp.CMD_DATA:
            self.held.append(packet)
            if len(self.held) == 8:
                self._send_held()
            return
        self._send_held()
        super()._send_packet(t, packet)

    def _send_held(self):
        held, self.held = self.held, []
        for p in reversed(held):
            super()._send_packet(paramiko.sftp.CMD_DATA, p)

    def _read_packet(self):
        # Held replies go out when no request waits: out of order, but
        # every request is answered.
        if self.held and not self.sock.recv_ready():
            self._send_held()
        return super()._read_packet()


class Files(paramiko.SFTPServerInterface):
    def stat(self, path):
        if mode == "denystat":
            return paramiko.sftp.SFTP_PERMISSION_DENIED
        try:
            return paramiko.SFTPAttributes.from_stat(os.stat(path))
        except OSError as e:
            return paramiko.SFTPServer.convert_errno(e.errno)

    lstat = stat

    def open(self, path, flags, attr):
        if mode == "denyopen":
            return paramiko.sftp.SFTP_PERMISSION_DENIED
        try:
            f = open(path, "rb")
        except OSError as e:
            return paramiko.SFTPServer.convert_errno(e.errno)
        handle = Handle(flags)
        handle.readfile = f
        handle.path = path
        return handle


def serve(conn):
    transport = paramiko.Transport(conn)
    transport.add_server_key(host_key)
    transport.set_subsystem_handler("sftp", Sftp, Files)
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
