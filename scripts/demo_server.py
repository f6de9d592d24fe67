#!/usr/bin/python3
"""The demo behind scripts/run.sh: sample Japanese logs on a local FTP server.

    demo_server.py write-ini PATH
        Writes one host profile per sample log to PATH unless a file is
        already there (a host list of the user's own is never replaced). The
        profiles name a free port above 1023 that the system chooses; an
        existing demo host list keeps its port. A demo host list of an
        earlier version, for port 21, is reported in one line.
    demo_server.py serve [--host H] [--port P | --ini PATH] [--dir DIR] [--ready FILE] [--log FILE]
        Writes the sample logs into DIR/logs/ (a temporary directory when DIR
        is not given) and serves them read-only to the user "demo" with the
        password "demo" until stopped, on port P, else on the port that the
        demo host list at PATH names, else on a free port that the system
        chooses. Prints one line when it listens (and writes that line to
        FILE when given); when it cannot listen it prints one line saying why
        and exits with status 2. --log FILE keeps the FTP dialogue; without
        it only warnings are printed. No root is needed.

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
import socket
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


# The encoding menu's item for each sample's encoding: a profile names it, so
# choosing the profile shows its log right.
MENU_ENCODINGS = {'euc-jp': 'EUC', 'iso-2022-jp': 'JIS', 'utf-8': 'UTF8',
                  'utf-16le': 'Unicode', 'shift_jis': 'SJIS'}


def ini_text(port, host='127.0.0.1'):
    """The demo host list: one passive-mode profile per sample on port (field 6)
    with its encoding (field 8), CR LF line ends. port None: the six fields
    that earlier versions wrote (port 21)."""
    lines = []
    for label, name, encoding, _ in SAMPLES:
        line = '%s:%s:%s:%s:1:%s%s' % (label, host, USER, PASSWORD, REMOTE_DIR, name)
        if port is not None:
            line += ':%d::%s' % (port, MENU_ENCODINGS[encoding])
        lines.append(line)
    return ''.join(line + '\r\n' for line in lines).encode('utf-8')


def demo_port(data):
    """The port that a demo host list names (21 for one of an earlier version
    without a port field), or None when data is not a demo host list."""
    if data == ini_text(None):
        return 21
    fields = data.split(b'\r\n', 1)[0].split(b':')
    if len(fields) > 6 and fields[6].isdigit() and data == ini_text(int(fields[6])):
        return int(fields[6])
    return None


def read_demo_port(path):
    """demo_port of the file at path; None when it is missing or unreadable."""
    try:
        with open(path, 'rb') as f:
            return demo_port(f.read())
    except OSError:
        return None


def free_port(host='127.0.0.1'):
    """A port above 1023 that nothing listens on now, chosen by the system."""
    with socket.socket() as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def stale_line(path):
    """The one line for a demo host list that names a port no longer served."""
    return ('%s is a demo host list for port 21, which the demo no longer serves: '
            'delete it and run again to get a fresh one' % path)


def write_ini(path):
    """Writes the demo host list to path unless a file exists there; says which."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    except FileExistsError:
        port = read_demo_port(path)
        if port == 21:
            print(stale_line(path))
        elif port is not None:
            print('Using the demo host profiles in %s (port %d)' % (path, port))
        else:
            print('Using your own host list %s (left as it is; '
                  'move it away and run again to get the demo profiles)' % path)
        return 0
    port = free_port()
    with os.fdopen(fd, 'wb') as f:
        f.write(ini_text(port))
    print('Wrote the demo host profiles to %s (port %d)' % (path, port))
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


def why_not(error, host, port, ini=None):
    """One line telling why the server cannot listen on host:port (the port
    that the demo host list ini names, when given)."""
    where = '%s:%d' % (host, port)
    # pyftpdlib wraps the socket's error in another one without a number.
    while error.errno is None and error.args and isinstance(error.args[0], OSError):
        error = error.args[0]
    if error.errno in (errno.EACCES, errno.EPERM):
        return ('Demo FTP server not started: port %d needs root; leave out --port and '
                'a free port above 1023 is used' % port)
    if error.errno == errno.EADDRINUSE and ini:
        return ('Demo FTP server not started: %s, which the demo host list %s names, is taken '
                'by another program: delete %s and run again to get a fresh one on a free port'
                % (where, ini, ini))
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
        port, ini = args.port, None
        if port is None:
            named = read_demo_port(args.ini) if args.ini else None
            # A list of an earlier version names port 21: write-ini says so.
            if named is not None and named != 21:
                port, ini = named, args.ini
            else:
                port = 0
        try:
            server = FTPServer((args.host, port), Handler)
        except OSError as error:
            print(why_not(error, args.host, port, ini))
            return 2
        port = server.socket.getsockname()[1]
        ready = 'Demo FTP server: ftp://%s:%s@%s:%d%s (%d sample logs)' % (
            USER, PASSWORD, args.host, port, REMOTE_DIR, len(SAMPLES))
        print(ready, flush=True)
        if args.ready:
            # Written whole under another name, then renamed: whoever waits
            # for the file never reads it half-written.
            partial = args.ready + '.partial'
            with open(partial, 'w') as f:
                f.write(ready + '\n')
            os.replace(partial, args.ready)
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
    where = srv.add_mutually_exclusive_group()
    where.add_argument('--port', type=int, help='0 lets the system choose (the default)')
    where.add_argument('--ini', help='serve on the port that this demo host list names')
    srv.add_argument('--dir', help='where to write the samples (kept afterwards)')
    srv.add_argument('--ready', help='file that receives the ready line')
    srv.add_argument('--log', help='file that receives the FTP dialogue')
    args = parser.parse_args()
    if args.command == 'write-ini':
        return write_ini(args.path)
    return serve(args)


if __name__ == '__main__':
    sys.exit(main())
