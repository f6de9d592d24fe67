#!/usr/bin/python3
"""The run command's demo: the sample logs it serves and the host list it writes."""

import ftplib
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
DEMO = os.path.join(ROOT, 'scripts', 'demo_server.py')
sys.path.insert(0, os.path.join(ROOT, 'scripts'))
import demo_server  # noqa: E402

CODECS = {'iso-2022-jp': 'iso2022_jp', 'euc-jp': 'euc_jp', 'utf-8': 'utf-8',
          'utf-16le': 'utf-16-le', 'shift_jis': 'shift_jis'}


def run_demo(*args):
    return subprocess.run([sys.executable, DEMO] + list(args), capture_output=True,
                          text=True, timeout=60)


class DemoServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        ready = os.path.join(cls.tmp.name, 'ready')
        cls.server = subprocess.Popen(
            [sys.executable, DEMO, 'serve', '--port', '0', '--dir', cls.tmp.name,
             '--ready', ready], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        deadline = time.monotonic() + 30
        while not os.path.exists(ready) and cls.server.poll() is None:
            if time.monotonic() > deadline:
                cls.server.kill()
                raise AssertionError('demo server not ready within 30 s')
            time.sleep(0.05)
        if cls.server.poll() is not None:
            raise AssertionError('demo server ended: ' + cls.server.stdout.read())
        with open(ready) as f:
            cls.port = int(f.read().split('@127.0.0.1:')[1].split('/')[0])

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait(timeout=10)
        cls.server.stdout.close()
        cls.tmp.cleanup()

    def login(self):
        ftp = ftplib.FTP()
        ftp.connect('127.0.0.1', self.port, timeout=10)
        ftp.login(demo_server.USER, demo_server.PASSWORD)
        return ftp

    def fetch(self, ftp, name):
        chunks = []
        ftp.retrbinary('RETR ' + demo_server.REMOTE_DIR + name, chunks.append)
        return b''.join(chunks)

    def test_every_sample_holds_the_same_japanese_log_in_its_encoding(self):
        ftp = self.login()
        try:
            texts = {}
            for _, name, encoding, crlf in demo_server.SAMPLES:
                data = self.fetch(ftp, name)
                self.assertGreater(len(data), 10000, name)
                text = data.decode(CODECS[encoding])
                lines = text.split('\r\n' if crlf else '\n')
                self.assertEqual(lines[-1], '', name)          # ends with a line break
                self.assertFalse(any('\r' in line or '\n' in line for line in lines), name)
                self.assertIn('しました', text, name)
                texts[name] = lines
            self.assertEqual(len(set(map(tuple, texts.values()))), 1)
            utf16 = self.fetch(ftp, 'server-utf16.log')
            self.assertNotEqual(utf16[:2], b'\xff\xfe')      # no byte-order mark
            self.assertIn(b'\r\x00\n\x00', utf16)
            self.assertIn(b'\x1b$B', self.fetch(ftp, 'server-jis.log'))
        finally:
            ftp.quit()

    def test_the_demo_account_reads_only(self):
        ftp = self.login()
        try:
            with self.assertRaises(ftplib.error_perm), open(os.devnull, 'rb') as empty:
                ftp.storbinary('STOR /logs/new.log', empty)
            with self.assertRaises(ftplib.error_perm):
                ftp.delete('/logs/server-euc.log')
        finally:
            ftp.quit()


class PortTakenTest(unittest.TestCase):
    def test_a_taken_port_is_told_in_one_line(self):
        with socket.socket() as taken, tempfile.TemporaryDirectory() as tmp:
            taken.bind(('127.0.0.1', 0))
            taken.listen(1)
            result = run_demo('serve', '--port', str(taken.getsockname()[1]), '--dir', tmp)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(len(result.stdout.splitlines()), 1, result.stdout)
        self.assertIn('is taken by another program', result.stdout)

    def test_the_port_of_the_demo_list_is_served_or_its_loss_told_with_the_way_out(self):
        with tempfile.TemporaryDirectory() as tmp:
            ini = os.path.join(tmp, 'wisplog.ini')
            self.assertEqual(run_demo('write-ini', ini).returncode, 0)
            port = demo_server.read_demo_port(ini)
            ready = os.path.join(tmp, 'ready')
            server = subprocess.Popen([sys.executable, DEMO, 'serve', '--ini', ini, '--dir', tmp,
                                       '--ready', ready], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 30
                while not os.path.exists(ready):
                    self.assertIsNone(server.poll(), 'the demo server ended')
                    self.assertLess(time.monotonic(), deadline, 'not ready within 30 s')
                    time.sleep(0.05)
                with open(ready) as f:
                    self.assertIn('@127.0.0.1:%d/' % port, f.read())
                # A second run while the port is taken: one line, naming the
                # list and how to get a fresh one.
                result = run_demo('serve', '--ini', ini, '--dir', tmp)
            finally:
                server.terminate()
                server.wait(timeout=10)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(len(result.stdout.splitlines()), 1, result.stdout)
        self.assertIn('127.0.0.1:%d, which the demo host list %s names' % (port, ini),
                      result.stdout)
        self.assertIn('delete %s and run again' % ini, result.stdout)


class HostListTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.ini = os.path.join(self.tmp.name, 'wisplog.ini')

    def tearDown(self):
        self.tmp.cleanup()

    def test_the_demo_list_has_one_full_profile_per_sample(self):
        result = run_demo('write-ini', self.ini)
        self.assertEqual(result.returncode, 0)
        self.assertIn('Wrote the demo host profiles', result.stdout)
        with open(self.ini, 'rb') as f:
            data = f.read()
        self.assertTrue(data.endswith(b'\r\n'))
        lines = data.decode('utf-8').split('\r\n')[:-1]
        self.assertEqual(len(lines), len(demo_server.SAMPLES))
        port = lines[0].split(':')[6]
        self.assertGreater(int(port), 1023)
        self.assertIn('(port %s)' % port, result.stdout)
        menu = {'デモ EUC-JP': 'EUC', 'デモ JIS': 'JIS', 'デモ UTF-8': 'UTF8',
                'デモ UTF-16LE': 'Unicode', 'デモ Shift_JIS': 'SJIS'}
        for line, (label, name, _, _) in zip(lines, demo_server.SAMPLES):
            self.assertEqual(line.split(':'), [label, '127.0.0.1', 'demo', 'demo', '1',
                                               '/logs/' + name, port, '', menu[label]])
        again = run_demo('write-ini', self.ini)
        self.assertIn('Using the demo host profiles in %s (port %s)' % (self.ini, port),
                      again.stdout)
        with open(self.ini, 'rb') as f:
            self.assertEqual(f.read(), data)

    def test_a_demo_list_for_port_21_is_reported_in_one_line(self):
        # As earlier versions wrote it: no port field, so port 21.
        old = demo_server.ini_text(None)
        with open(self.ini, 'wb') as f:
            f.write(old)
        result = run_demo('write-ini', self.ini)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(len(result.stdout.splitlines()), 1, result.stdout)
        self.assertIn('port 21', result.stdout)
        self.assertIn('delete it and run again to get a fresh one', result.stdout)
        with open(self.ini, 'rb') as f:
            self.assertEqual(f.read(), old, 'left as it is')
        os.remove(self.ini)
        self.assertIn('Wrote the demo host profiles', run_demo('write-ini', self.ini).stdout)

    def test_a_list_of_the_users_own_is_left_as_it_is(self):
        own = 'mine:ftp.example.jp:taro:secret:0:/var/log/messages\r\n'.encode()
        with open(self.ini, 'wb') as f:
            f.write(own)
        result = run_demo('write-ini', self.ini)
        self.assertEqual(result.returncode, 0)
        self.assertIn('your own host list', result.stdout)
        with open(self.ini, 'rb') as f:
            self.assertEqual(f.read(), own)


if __name__ == '__main__':
    unittest.main(verbosity=2)
