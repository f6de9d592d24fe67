#!/usr/bin/python3
"""The demo behind scripts/run.sh: sample Japanese logs on a local FTP server.

    demo_server.py write-ini PATH
        Writes one host profile per sample log to PATH unless a file is
        already there (a host list of the user's own is never replaced).
    demo_server.py serve [--host H] [--port 21] [--dir DIR] [--ready FILE] [--log FILE]
        Writes the sample logs into DIR/logs/ (a temporary directory when DIR
        is not given) and serves them read-only to the user "demo" with the
        password "demo" until stopped. Prints one line when it listens (and
        writes that line to FILE when given); when it cannot listen it prints
        one line saying why and exits with status 2. --log FILE keeps the FTP
        dialogue; without it only warnings are printed.

The samples hold the same realistic log in five encodings, so each of them
must look the same in wisplog once converted. Run it with /usr/bin/python3:
Debian's pyftpdlib is installed for Debian's interpreter.
"""

import argparse
import errno
import logging
import os
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
LOG_TOOL = os.path.join(HERE, '..', 'tools', 'make_japanese_log.py')

USER = 'demo'
PASSWORD = 'demo'
REMOTE_DIR = '/logs/'

# label, remote file name, encoding of the log tool, CR LF line ends
# EUC-JP first: it is the encoding wisplog starts with, so the first F5
# after start shows readable text before any encoding is chosen.
SAMPLES = [
    ('デモ EUC-JP', 'server-euc.log', 'euc-jp', False),
    ('デモ JIS', 'server-jis.log', 'iso-2022-jp', False),
    ('デモ UTF-8', 'server-utf8.log', 'utf-8', False),
    ('デモ UTF-16LE', 'server-utf16.log', 'utf-16le', True),
    ('デモ Shift_JIS', 'server-sjis.log', 'shift_jis', True),
]
# Size of the UTF-8 original that every sample is re-encoded from: well above
# the 10,000 bytes that F5 shows, so the tail cut is seen in each encoding.
MASTER_BYTES = 24000
SEED = 7


def ini_text(host='127.0.0.1'):
    """The demo host list: one passive-mode profile per sample, CR LF line ends."""
    lines = ['%s:%s:%s:%s:1:%s%s' % (label, host, USER, PASSWORD, REMOTE_DIR, name)
             for label, name, _, _ in SAMPLES]
    return ''.join(line + '\r\n' for line in lines).encode('utf-8')


def write_ini(path):
    """Writes the demo host list to path unless a file exists there; says which."""
    data = ini_text()
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    except FileExistsError:
        with open(path, 'rb') as f:
            mine = f.read() == data
        if mine:
            print('Using the demo host profiles in %s' % path)
        else:
            print('Using your own host list %s (left as it is; '
                  'move it away and run again to get the demo profiles)' % path)
        return 0
    with os.fdopen(fd, 'wb') as f:
        f.write(data)
    print('Wrote the demo host profiles to %s' % path)
    return 0


def make_samples(root):
    """Writes the sample logs into root/logs/; returns their paths."""
    logs = os.path.join(root, REMOTE_DIR.strip('/'))
    os.makedirs(logs, exist_ok=True)
    master = os.path.join(logs, '.master.utf8')
    tool = [sys.executable, LOG_TOOL]
    subprocess.run(tool + ['--bytes', str(MASTER_BYTES), '--encoding', 'utf-8',
                           '--seed', str(SEED), '-o', master], check=True)
    paths = []
    for _, name, encoding, crlf in SAMPLES:
        path = os.path.join(logs, name)
        subprocess.run(tool + ['--from', master, '--encoding', encoding, '-o', path]
                       + (['--crlf'] if crlf else []), check=True)
        paths.append(path)
    os.remove(master)
    return paths


def why_not(error, host, port):
    """One line telling why the server cannot listen on host:port."""
    where = '%s:%d' % (host, port)
    # pyftpdlib wraps the socket's error in another one without a number.
    while error.errno is None and error.args and isinstance(error.args[0], OSError):
        error = error.args[0]
    if error.errno in (errno.EACCES, errno.EPERM):
        return ('Demo FTP server not started: port %d needs root (run as root, or allow it '
                'until the next reboot: sudo sysctl net.ipv4.ip_unprivileged_port_start=%d)'
                % (port, port))
    if error.errno == errno.EADDRINUSE:
        return ('Demo FTP server not started: %s is taken by another program '
                '(ss -ltnp shows which; stop it and run again)' % where)
    return 'Demo FTP server not started: cannot listen on %s: %s' % (where, error.strerror)


def configure_logging(path):
    """The FTP dialogue goes to path when given; otherwise only warnings, to stderr."""
    logger = logging.getLogger('pyftpdlib')
    if path:
        handler = logging.FileHandler(path, mode='w', encoding='utf-8')
        handler.setFormatter(logging.Formatter('%(asctime)s %(message)s'))
        logger.setLevel(logging.INFO)
    else:
        handler = logging.StreamHandler()
        logger.setLevel(logging.WARNING)
    logger.addHandler(handler)


def serve(args):
    try:
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import FTPServer
    except ImportError:
        print('Demo FTP server not started: pyftpdlib is missing '
              '(apt-get install python3-pyftpdlib, and run it with /usr/bin/python3)')
        return 2

    root = args.dir or tempfile.mkdtemp(prefix='wisplog-demo-')
    try:
        make_samples(root)
        authorizer = DummyAuthorizer()
        authorizer.add_user(USER, PASSWORD, root, perm='elr')

        class Handler(FTPHandler):
            banner = 'wisplog demo FTP server ready.'

        Handler.authorizer = authorizer
        configure_logging(args.log)
        Handler.passive_ports = None
        try:
            server = FTPServer((args.host, args.port), Handler)
        except OSError as error:
            print(why_not(error, args.host, args.port))
            return 2
        port = server.socket.getsockname()[1]
        ready = 'Demo FTP server: ftp://%s:%s@%s:%d%s (%d sample logs)' % (
            USER, PASSWORD, args.host, port, REMOTE_DIR, len(SAMPLES))
        print(ready, flush=True)
        if args.ready:
            with open(args.ready, 'w') as f:
                f.write(ready + '\n')
        # A plain kill (SIGTERM) from the run script ends the loop cleanly.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
        try:
            server.serve_forever(handle_exit=True)
        finally:
            server.close_all()
        return 0
    finally:
        if not args.dir:
            shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description='The wisplog demo: sample logs over FTP.')
    commands = parser.add_subparsers(dest='command', required=True)
    ini = commands.add_parser('write-ini', help='write the demo host list unless one exists')
    ini.add_argument('path')
    srv = commands.add_parser('serve', help='serve the sample logs')
    srv.add_argument('--host', default='127.0.0.1')
    srv.add_argument('--port', type=int, default=21, help='0 lets the system choose')
    srv.add_argument('--dir', help='where to write the samples (kept afterwards)')
    srv.add_argument('--ready', help='file that receives the ready line')
    srv.add_argument('--log', help='file that receives the FTP dialogue')
    args = parser.parse_args()
    if args.command == 'write-ini':
        return write_ini(args.path)
    return serve(args)


if __name__ == '__main__':
    sys.exit(main())
