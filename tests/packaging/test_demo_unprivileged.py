#!/usr/bin/python3
"""The demo as an ordinary user: the demo host list, the demo server on a port
above 1023, and one profile fetched by the real window (F5).

    test_demo_unprivileged.py DEMO_FETCH NKF32_DLL

Run as root (as CI does), it drops to the user `nobody` with setpriv or
runuser; it is skipped, saying why, when that is impossible.
"""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
DEMO = os.path.join(ROOT, 'scripts', 'demo_server.py')
sys.path.insert(0, os.path.join(ROOT, 'scripts'))
import demo_server  # noqa: E402

DEMO_FETCH = None
NKF32 = None


def ordinary_user():
    """(command prefix that runs a program as an ordinary user, uid, gid), or
    (None, why) when there is none."""
    if os.geteuid() != 0:
        return [], os.getuid(), os.getgid()
    try:
        user = pwd.getpwnam('nobody')
    except KeyError:
        return None, 'no user "nobody" to run the demo as', None
    if shutil.which('setpriv'):
        prefix = ['setpriv', '--reuid=%d' % user.pw_uid, '--regid=%d' % user.pw_gid,
                  '--clear-groups']
    elif shutil.which('runuser'):
        prefix = ['runuser', '-u', 'nobody', '--']
    else:
        return None, 'neither setpriv nor runuser is there to drop root', None
    return prefix, user.pw_uid, user.pw_gid


class UnprivilegedDemoTest(unittest.TestCase):
    def setUp(self):
        self.prefix, self.uid, self.gid = ordinary_user()
        if self.prefix is None:
            self.skipTest(self.uid)
        for path, test in ((DEMO_FETCH, '-x'), (DEMO, '-r'), (NKF32, '-r')):
            if subprocess.run(self.prefix + ['test', test, path]).returncode != 0:
                self.skipTest('%s is out of reach of uid %d (a directory above it is private)'
                              % (path, self.uid))
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dir = self.tmp.name
        for sub in ('downloads', 'run'):
            os.mkdir(os.path.join(self.dir, sub), 0o700)
        shutil.copy(NKF32, self.dir)
        for where, _, files in os.walk(self.dir):
            for name in [where] + [os.path.join(where, f) for f in files]:
                os.chown(name, self.uid, self.gid)
        self.env = dict(os.environ, HOME=self.dir, XDG_RUNTIME_DIR=os.path.join(self.dir, 'run'),
                        QT_QPA_PLATFORM='offscreen', PYTHONDONTWRITEBYTECODE='1')

    def as_user(self, args, **kwargs):
        return subprocess.run(self.prefix + args, env=self.env, capture_output=True, text=True,
                              timeout=120, **kwargs)

    def test_the_demo_serves_and_one_profile_is_fetched(self):
        ini = os.path.join(self.dir, 'wisplog.ini')
        wrote = self.as_user(['/usr/bin/python3', DEMO, 'write-ini', ini])
        self.assertEqual(wrote.returncode, 0, wrote.stdout + wrote.stderr)
        port = demo_server.read_demo_port(ini)
        self.assertGreater(port, 1023)

        ready = os.path.join(self.dir, 'ready')
        server = subprocess.Popen(
            self.prefix + ['/usr/bin/python3', DEMO, 'serve', '--ini', ini,
                           '--dir', os.path.join(self.dir, 'ftp'), '--ready', ready],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            deadline = time.monotonic() + 30
            while not os.path.exists(ready):
                if server.poll() is not None:
                    self.fail('the demo server ended: ' + server.stdout.read())
                self.assertLess(time.monotonic(), deadline, 'demo server not ready within 30 s')
                time.sleep(0.05)
            with open('/proc/%d/status' % server.pid) as f:
                uids = [line.split()[1:] for line in f if line.startswith('Uid:')][0]
            self.assertEqual(set(uids), {str(self.uid)}, 'the server runs unprivileged')

            fetched = self.as_user([DEMO_FETCH, self.dir], cwd=os.path.join(self.dir, 'downloads'))
            self.assertEqual(fetched.returncode, 0, fetched.stdout + fetched.stderr)
            first = demo_server.SAMPLES[0][1]
            copy = os.path.join(self.dir, 'downloads', first)
            self.assertEqual(os.stat(copy).st_uid, self.uid)
            self.assertGreater(os.path.getsize(copy), 10000)
        finally:
            server.terminate()
            server.wait(timeout=10)
            server.stdout.close()


if __name__ == '__main__':
    DEMO_FETCH = os.path.abspath(sys.argv.pop(1))
    NKF32 = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
