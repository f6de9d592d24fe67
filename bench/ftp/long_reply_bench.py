#!/usr/bin/env python3
"""Reading a long multi-line FTP reply: TKZFTP (the long_reply program)
against a plain Python socket.makefile().readline() loop, same server, same
run. The server greets every connection with LINES continuation lines
("220-line nnnnnnnn", 19 bytes each, sent at once) and a last "220" line,
then answers USER, PASS and QUIT. Each client connects, reads the greeting,
logs in and out, and reports the seconds from connecting to the end of the
log-in. Prints the median of each and the ratio.

    long_reply_bench.py LONG_REPLY_PROGRAM [LINES] [RUNS]
"""
import socket
import statistics
import subprocess
import sys
import threading
import time


def greeting(lines):
    return b"".join(b"220-line %08d\r\n" % i for i in range(lines)) + b"220 ready\r\n"


def serve(listener, text):
    def session(conn):
        with conn:
            conn.sendall(text)
            f = conn.makefile("rb")
            for line in f:
                verb = line[:4].upper()
                if verb == b"USER":
                    conn.sendall(b"331 password please\r\n")
                elif verb == b"PASS":
                    conn.sendall(b"230 logged in\r\n")
                else:
                    conn.sendall(b"221 bye\r\n")
                    return
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=session, args=(conn,), daemon=True).start()


PY_CLIENT = r"""
import socket, sys, time
start = time.perf_counter()
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
f = s.makefile("rb")
def reply():
    line = f.readline()
    while line[3:4] == b"-" or line[:1] == b" ":
        line = f.readline()
    return line
reply()
s.sendall(b"USER u\r\n"); reply()
s.sendall(b"PASS p\r\n"); reply()
seconds = time.perf_counter() - start
s.sendall(b"QUIT\r\n"); reply()
print("%.6f" % seconds)
"""


def main():
    program = sys.argv[1]
    lines = int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    port = listener.getsockname()[1]
    # The server runs in a process of its own, so neither client shares
    # an interpreter with it.
    text = greeting(lines)
    server = subprocess.Popen([sys.executable, "-c",
                               "import sys; sys.path.insert(0, %r); import long_reply_bench as b, socket;"
                               "l = socket.socket(fileno=%d); b.serve(l, b.greeting(%d))"
                               % (sys.path[0], listener.fileno(), lines)],
                              pass_fds=(listener.fileno(),))
    try:
        time.sleep(0.5)
        ours, plain = [], []
        for _ in range(runs):
            out = subprocess.run([program, "127.0.0.1", str(port), "u", "p"], check=True,
                                 capture_output=True, text=True).stdout
            ours.append(float(out))
            out = subprocess.run([sys.executable, "-c", PY_CLIENT, str(port)], check=True,
                                 capture_output=True, text=True).stdout
            plain.append(float(out))
        m_ours, m_plain = statistics.median(ours), statistics.median(plain)
        print("greeting: %d lines, %.1f MB; %d runs each" % (lines, len(text) / 1e6, runs))
        print("TKZFTP Connect        median %.3f s  (%s)" % (m_ours, " ".join("%.3f" % x for x in ours)))
        print("Python readline loop  median %.3f s  (%s)" % (m_plain, " ".join("%.3f" % x for x in plain)))
        print("ratio TKZFTP / Python: %.2f (goal <= 2)" % (m_ours / m_plain))
    finally:
        server.kill()
        server.wait()


if __name__ == "__main__":
    main()
