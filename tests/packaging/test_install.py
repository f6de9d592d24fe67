#!/usr/bin/python3
"""The installed layout and the Debian package, from a built tree.

    test_install.py BUILD_DIR

Stages `cmake --install` under a temporary DESTDIR, starts the staged program
through its link on the PATH and checks that it takes NKF32.DLL and wisplog.ini
from the real program directory, or, without a wisplog.ini there, each user's
own host list made from the example; started as the desktop entry starts it,
its downloads go to the user's data directory. Then builds the package with
CPack and checks what it carries. Runs the program on Qt's offscreen platform.
Needs no root, only a build directory it may write (the install's manifest).
"""

import glob
import os
import stat
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = None


def cache_value(name):
    with open(os.path.join(BUILD, 'CMakeCache.txt')) as f:
        for line in f:
            if line.startswith(name + ':'):
                return line.split('=', 1)[1].strip()
    return None


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.stage = cls.tmp.name
        cls.prefix = cache_value('CMAKE_INSTALL_PREFIX').lstrip('/')
        program_dir = cache_value('WISPLOG_INSTALL_DIR')
        if not os.path.isabs(program_dir):
            program_dir = os.path.join(cls.prefix, program_dir)
        cls.program_dir = program_dir.lstrip('/')
        env = dict(os.environ, DESTDIR=cls.stage)
        subprocess.run(['cmake', '--install', BUILD], env=env, check=True,
                       stdout=subprocess.DEVNULL, timeout=120)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def staged(self, *parts):
        return os.path.join(self.stage, *parts)

    def test_layout(self):
        program = self.staged(self.program_dir, 'wisplog')
        self.assertTrue(os.access(program, os.X_OK))
        self.assertTrue(os.path.isfile(self.staged(self.program_dir, 'NKF32.DLL')))
        self.assertTrue(os.path.isfile(self.staged(self.program_dir, 'wisplog.ini.example')))
        # A staged install carries no host list: that file is the user's.
        self.assertFalse(os.path.exists(self.staged(self.program_dir, 'wisplog.ini')))
        link = self.staged(self.prefix, 'bin', 'wisplog')
        self.assertTrue(stat.S_ISLNK(os.lstat(link).st_mode))
        self.assertFalse(os.path.isabs(os.readlink(link)))   # valid staged and installed
        self.assertEqual(os.path.realpath(link), os.path.realpath(program))
        share = self.staged(self.prefix, 'share')
        with open(os.path.join(share, 'applications', 'wisplog.desktop'), encoding='utf-8') as f:
            entry = f.read()
        self.assertIn('\nExec=wisplog --desktop\n', entry)
        self.assertIn('\nIcon=wisplog\n', entry)
        self.assertTrue(os.path.isfile(os.path.join(share, 'man', 'man1', 'wisplog.1.gz')))
        for icon in ('scalable/apps/wisplog.svg', '48x48/apps/wisplog.png',
                     '256x256/apps/wisplog.png'):
            self.assertTrue(os.path.isfile(os.path.join(share, 'icons', 'hicolor', icon)), icon)

    def test_started_through_the_link_it_reads_beside_the_real_program(self):
        # The host list is a FIFO: opening it for writing succeeds only once
        # the program has opened that very path for reading.
        ini = self.staged(self.program_dir, 'wisplog.ini')
        os.mkfifo(ini)
        self.addCleanup(os.remove, ini)
        env = dict(os.environ, QT_QPA_PLATFORM='offscreen')
        with tempfile.TemporaryDirectory() as cwd:
            app = subprocess.Popen([self.staged(self.prefix, 'bin', 'wisplog')], cwd=cwd, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 30
                while True:
                    try:
                        fd = os.open(ini, os.O_WRONLY | os.O_NONBLOCK)
                        break
                    except OSError:
                        self.assertIsNone(app.poll(), 'wisplog ended before reading wisplog.ini')
                        self.assertLess(time.monotonic(), deadline,
                                        'wisplog did not open wisplog.ini beside the program')
                        time.sleep(0.05)
                os.write(fd, 'テスト:127.0.0.1:demo:demo:1:/logs/a.log\r\n'.encode())
                os.close(fd)
                with open('/proc/%d/maps' % app.pid) as f:
                    maps = f.read()
                self.assertIn(self.staged(self.program_dir, 'NKF32.DLL'), maps)
                time.sleep(0.5)
                self.assertIsNone(app.poll(), 'wisplog ended after reading its host list')
            finally:
                app.kill()
                app.wait(timeout=10)

    def test_each_user_gets_a_private_host_list_and_desktop_downloads(self):
        share = self.staged(self.prefix, 'share', 'applications', 'wisplog.desktop')
        with open(share, encoding='utf-8') as f:
            exec_line = [line for line in f.read().splitlines() if line.startswith('Exec=')][0]
        program, *args = exec_line[len('Exec='):].split()
        self.assertEqual(program, 'wisplog')
        with open(self.staged(self.program_dir, 'wisplog.ini.example'), 'rb') as f:
            example = f.read()
        with tempfile.TemporaryDirectory() as home, tempfile.TemporaryDirectory() as cwd:
            env = dict(os.environ, QT_QPA_PLATFORM='offscreen', HOME=home,
                       XDG_CONFIG_HOME=os.path.join(home, 'config'),
                       XDG_DATA_HOME=os.path.join(home, 'data'))
            own = os.path.join(home, 'config', 'wisplog', 'wisplog.ini')
            downloads = os.path.join(home, 'data', 'wisplog', 'downloads')
            app = subprocess.Popen([self.staged(self.prefix, 'bin', 'wisplog')] + args, cwd=cwd,
                                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 30
                while not (os.path.exists(own) and
                           os.readlink('/proc/%d/cwd' % app.pid) == downloads):
                    self.assertIsNone(app.poll(), 'wisplog ended at start')
                    self.assertLess(time.monotonic(), deadline,
                                    'no host list in the configuration directory, or not in '
                                    'the download directory')
                    time.sleep(0.05)
                self.assertEqual(stat.S_IMODE(os.stat(own).st_mode), 0o600)
                with open(own, 'rb') as f:
                    self.assertEqual(f.read(), example)
                time.sleep(0.5)
                self.assertIsNone(app.poll(), 'wisplog ended after reading its host list')
                with open('/proc/%d/maps' % app.pid) as f:
                    self.assertIn(self.staged(self.program_dir, 'NKF32.DLL'), f.read())
            finally:
                app.kill()
                app.wait(timeout=10)
            self.assertFalse(os.path.exists(self.staged(self.program_dir, 'wisplog.ini')))

    def test_the_debian_package(self):
        with tempfile.TemporaryDirectory() as out:
            subprocess.run(['cpack', '--config', os.path.join(BUILD, 'CPackConfig.cmake'),
                            '-B', out], check=True, stdout=subprocess.DEVNULL, timeout=300)
            deb, = glob.glob(os.path.join(out, 'wisplog_*.deb'))
            listing = subprocess.run(['dpkg-deb', '-c', deb], check=True, capture_output=True,
                                     text=True).stdout
            control = subprocess.run(['dpkg-deb', '-I', deb], check=True, capture_output=True,
                                     text=True).stdout
        names = [line.split()[5] for line in listing.splitlines()]
        for name in ('./opt/wisplog/wisplog', './opt/wisplog/NKF32.DLL',
                     './usr/share/applications/wisplog.desktop',
                     './usr/share/icons/hicolor/scalable/apps/wisplog.svg',
                     './usr/share/man/man1/wisplog.1.gz'):
            self.assertIn(name, names)
        self.assertIn('./usr/bin/wisplog -> ../../opt/wisplog/wisplog', listing)
        self.assertNotIn('./opt/wisplog/wisplog.ini', names)
        self.assertIn('libqt6widgets6', control)
        self.assertIn('postinst', control)
        self.assertIn('postrm', control)


if __name__ == '__main__':
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
