#!/usr/bin/python3
"""The window as assistive technology reads it, over a real accessibility bus.

    test_atspi_view.py WISPLOG NKF32_DLL

Starts Xvfb, a private D-Bus session with the AT-SPI bus launcher, a
pyftpdlib server with a Japanese log in EUC-JP and one in UTF-8, and the
real wisplog window once for each, with Qt's accessibility bridge on. Through
AT-SPI (gi.repository.Atspi) it reads the view's text after F5 and compares
it with the local copy decoded, the caret after Ctrl+End, the selection
after a find, and the count and caret after a Follow refresh; and it checks
that every control of the window has a name, the filter's toggles their
full ones. Keys go through XTest (xdotool).

Exits 77 (skipped) only when a program or module it needs is not installed.
"""

import os
import warnings
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))
LAUNCHER = os.path.join(ROOT, 'tests', 'support', 'pyftpd_launcher.py')
BUS_LAUNCHER = '/usr/libexec/at-spi-bus-launcher'
SKIP = 77
# get_text_iface and the boundary questions are what Qt's bridge answers.
warnings.simplefilter('ignore', DeprecationWarning)

# Lines of the log: kanji, kana, half-width digits and ASCII, each of which
# EUC-JP, UTF-8 and the view's Shift_JIS hold alike.
LOG = ''.join('2026-12-08 10:%02d:%02d 接続に失敗しました ホスト=サーバ%d ERROR timeout\n'
              % (i // 60, i % 60, i) for i in range(40))
ADDED = '2026-12-08 11:00:00 再接続しました 状態=正常\n' * 3


def skip(why):
    print('SKIP: ' + why)
    sys.exit(SKIP)


EVENTS = []


def pump():
    """Delivers the accessibility events that arrived."""
    from gi.repository import GLib
    context = GLib.MainContext.default()
    while context.iteration(False):
        pass


def wait_for(what, test, seconds):
    """Polls test() until it gives a true value; fails naming what."""
    deadline = time.monotonic() + seconds
    while True:
        pump()
        value = test()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError('timed out after %gs waiting for %s (events: %s)'
                                 % (seconds, what, EVENTS[-8:]))
        time.sleep(0.1)


def outside(wisplog, nkf32):
    """Starts Xvfb and runs this script again inside a private D-Bus session."""
    for program in ('Xvfb', 'dbus-run-session', 'xdotool'):
        if not shutil.which(program):
            skip(program + ' is not installed')
    if not os.access(BUS_LAUNCHER, os.X_OK):
        skip(BUS_LAUNCHER + ' is not installed (at-spi2-core)')
    try:
        import gi
        gi.require_version('Atspi', '2.0')
        from gi.repository import Atspi  # noqa: F401
    except (ImportError, ValueError) as e:
        skip('gi.repository.Atspi is not there (python3-gi, gir1.2-atspi-2.0): %s' % e)
    read, write = os.pipe()
    xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write), '-screen', '0', '1100x700x24',
                             '-nolisten', 'tcp'], pass_fds=(write,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    try:
        with os.fdopen(read) as f:
            display = f.readline().strip()
        if not display:
            raise AssertionError('Xvfb gave no display')
        env = dict(os.environ, DISPLAY=':' + display)
        env.pop('DBUS_SESSION_BUS_ADDRESS', None)
        env.pop('AT_SPI_BUS_ADDRESS', None)
        run = subprocess.run(['dbus-run-session', '--', sys.executable, __file__, '--inside',
                              wisplog, nkf32], env=env, timeout=240)
        return run.returncode
    finally:
        xvfb.terminate()
        xvfb.wait(timeout=10)


class Session:
    """The FTP server, the AT-SPI registry and one window at a time."""

    def __init__(self, wisplog, nkf32):
        import gi
        gi.require_version('Atspi', '2.0')
        from gi.repository import Atspi
        self.Atspi = Atspi
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.served = os.path.join(self.dir, 'served')
        self.downloads = os.path.join(self.dir, 'downloads')
        self.program = os.path.join(self.dir, 'program')
        for d in (self.served, self.downloads, self.program):
            os.mkdir(d, 0o700)
        # The program is read with the host list beside it.
        shutil.copy(wisplog, os.path.join(self.program, 'wisplog'))
        shutil.copy(nkf32, os.path.join(self.program, 'NKF32.DLL'))
        self.processes = []
        self.bus = self.start([BUS_LAUNCHER, '--launch-immediately'])
        self.ftp = subprocess.Popen(['/usr/bin/python3', LAUNCHER, self.served, '--user', 'u',
                                     '--password', 'p'], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)
        self.processes.append(self.ftp)
        line = self.ftp.stdout.readline()
        if not line.startswith('PORT '):
            raise AssertionError('the FTP server did not start: %r' % line)
        self.port = int(line.split()[1])
        Atspi.init()
        Atspi.set_timeout(20000, 60000)
        # The view's events, as a screen reader hears them.
        def heard(event, *_):
            source = event.source
            if source is not None and source.get_role() == Atspi.Role.TEXT:
                EVENTS.append((event.type, event.detail1, event.detail2, event.any_data, source.get_name()))
        self.listener = Atspi.EventListener.new(heard)
        for kind in ('object:text-caret-moved', 'object:text-changed', 'object:text-selection-changed'):
            self.listener.register(kind)
        self.app = None

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, **kwargs)
        self.processes.append(process)
        return process

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=10)
        self.tmp.cleanup()

    def open_window(self, name, encoding):
        """Starts the window with one profile, for the log served as name."""
        with open(os.path.join(self.program, 'wisplog.ini'), 'w', encoding='utf-8') as f:
            f.write('%s:127.0.0.1:u:p:1:/%s:%d::%s\n' % (encoding, name, self.port, encoding))
        env = dict(os.environ, QT_QPA_PLATFORM='xcb', QT_ACCESSIBILITY='1',
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1', HOME=self.dir,
                   XDG_CONFIG_HOME=os.path.join(self.dir, 'config'),
                   ASAN_OPTIONS='detect_leaks=0')
        self.app = self.start([os.path.join(self.program, 'wisplog')], cwd=self.downloads, env=env)
        wid = subprocess.run(['xdotool', 'search', '--sync', '--onlyvisible', '--name', '^wisplog'],
                             capture_output=True, text=True, timeout=60).stdout.split()
        if not wid:
            raise AssertionError('the window did not appear')
        self.wid = wid[0]
        subprocess.run(['xdotool', 'windowmove', self.wid, '0', '0'], timeout=10)
        self.focus_window()
        self.window = wait_for('wisplog on the accessibility bus', self.find_app, 60)
        self.view = wait_for('the view', lambda: self.find(self.window, lambda a: (
            a.get_role() == self.Atspi.Role.TEXT and a.get_name() == 'ログ')), 30)
        return self.view

    def close_window(self):
        self.app.terminate()
        self.app.wait(timeout=30)
        self.processes.remove(self.app)

    def focus_window(self):
        subprocess.run(['xdotool', 'windowfocus', '--sync', self.wid], timeout=10)

    def keys(self, *keys):
        subprocess.run(['xdotool', 'key', '--clearmodifiers'] + list(keys), timeout=10)

    def find_app(self):
        desktop = self.Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_process_id() == self.app.pid:
                return app
        return None

    def find(self, root, test, found=None):
        """Every descendant of root that test takes (the first, without found)."""
        for i in range(root.get_child_count()):
            child = root.get_child_at_index(i)
            if child is None:
                continue
            if test(child):
                if found is None:
                    return child
                found.append(child)
            hit = self.find(child, test, found)
            if hit is not None and found is None:
                return hit
        return found


def read_text(view):
    text = view.get_text_iface()
    return text.get_text(0, text.get_character_count())


def decoded_copy(path, encoding):
    with open(path, 'rb') as f:
        return f.read().decode(encoding).replace('\r\n', '\n').replace('\r', '\n')


def check_log(session, name, encoding, codec):
    Atspi = session.Atspi
    with open(os.path.join(session.served, name), 'wb') as f:
        f.write(LOG.encode(codec))
    view = session.open_window(name, encoding)
    text = view.get_text_iface()
    copy = os.path.join(session.downloads, name)

    # F5: the view's text is the copy's, decoded.
    session.keys('F5')
    wait_for('the fetched text', lambda: text.get_character_count() == len(LOG), 60)
    shown = read_text(view)
    assert shown == decoded_copy(copy, codec), '%s: the view reads %r' % (name, shown[:200])
    assert shown == LOG
    # Qt's bridge answers the boundary forms of these questions.
    line = text.get_text_at_offset(len(LOG) - 5, Atspi.TextBoundaryType.LINE_START)
    assert line.content == LOG.splitlines(True)[-1], line.content
    word = text.get_text_at_offset(LOG.index('接続') + 1, Atspi.TextBoundaryType.WORD_START)
    assert word.content == '接続', word.content

    # Ctrl+End: the caret stands at the end.
    view.get_component_iface().grab_focus()
    wait_for('the focus in the view', lambda: view.get_state_set().contains(Atspi.StateType.FOCUSED), 10)
    session.keys('ctrl+Home')
    wait_for('the caret at the start', lambda: text.get_caret_offset() == 0, 10)
    del EVENTS[:]
    session.keys('ctrl+End')
    wait_for('the caret at the end', lambda: text.get_caret_offset() == len(LOG), 10)
    wait_for('the caret moved event', lambda: ('object:text-caret-moved', len(LOG)) in
             [(e[0], e[1]) for e in EVENTS if e[4] == 'ログ'], 10)

    # A find from the start selects the first match.
    session.keys('ctrl+Home')
    wait_for('the caret at the start', lambda: text.get_caret_offset() == 0, 10)
    del EVENTS[:]
    session.keys('ctrl+f')
    field = wait_for('the find box', lambda: session.find(session.Atspi.get_desktop(0), lambda a: (
        a.get_role() == Atspi.Role.TEXT and a.get_name() == 'Find what')), 20)
    field.get_editable_text_iface().set_text_contents('失敗')
    session.keys('Return')
    at = LOG.index('失敗')
    wait_for('the match selected', lambda: text.get_n_selections() == 1
             and (text.get_selection(0).start_offset, text.get_selection(0).end_offset) == (at, at + 2), 20)
    assert text.get_caret_offset() == at + 2
    wait_for('the selection event', lambda: any(
        e[0] == 'object:text-selection-changed' and e[4] == 'ログ' for e in EVENTS), 10)
    session.keys('Escape')
    session.focus_window()

    # Follow with the caret at the end: a refresh brings the added lines,
    # and the count and the caret are the new end's.
    view.get_component_iface().grab_focus()
    session.keys('ctrl+End')
    wait_for('the caret at the end', lambda: text.get_caret_offset() == len(LOG), 10)
    session.keys('F6')
    time.sleep(1)
    del EVENTS[:]
    with open(os.path.join(session.served, name), 'ab') as f:
        f.write(ADDED.encode(codec))
    wait_for('the Follow refresh', lambda: text.get_character_count() == len(LOG + ADDED), 45)
    assert read_text(view) == decoded_copy(copy, codec) == LOG + ADDED
    wait_for('the caret at the new end', lambda: text.get_caret_offset() == len(LOG + ADDED), 10)
    # The new text is announced from where it changed (F5 showed the log's
    # tail, which a refresh shows anew) to the new end.
    whole = LOG + ADDED
    wait_for('the added text announced', lambda: any(
        e[0] == 'object:text-changed:insert' and e[4] == 'ログ' and e[1] + e[2] == len(whole)
        and whole[e[1]:] == e[3] and e[3].endswith(ADDED) for e in EVENTS), 10)
    session.keys('F6')


def check_names(session):
    """Every control of the window has a name; the filter's toggles their full ones."""
    Atspi = session.Atspi
    session.focus_window()
    session.keys('ctrl+g')
    controls = (Atspi.Role.PUSH_BUTTON, Atspi.Role.TOGGLE_BUTTON, Atspi.Role.TEXT,
                Atspi.Role.COMBO_BOX, Atspi.Role.CHECK_BOX, Atspi.Role.RADIO_BUTTON)

    def names():
        found = session.find(session.window, lambda a: a.get_role() in controls, [])
        return [(a.get_role_name(), a.get_name()) for a in found
                if a.get_state_set().contains(Atspi.StateType.SHOWING)]
    shown = wait_for('the filter bar', lambda: (lambda n: n if any(name == '正規表現' for _, name in n)
                                                else None)(names()), 20)
    unnamed = [role for role, name in shown if not name]
    assert not unnamed, 'controls without a name: %s (of %s)' % (unnamed, shown)
    # (Qt names a drop-down that cannot be typed in by its current item.)
    for name in ('正規表現', '大文字小文字を区別', '除外', '絞込', 'File', 'ログ'):
        assert name in [n for _, n in shown], '%s not among %s' % (name, shown)


def inside(wisplog, nkf32):
    session = Session(wisplog, nkf32)
    try:
        for name, encoding, codec in (('euc.log', 'EUC', 'euc_jp'), ('utf8.log', 'UTF8', 'utf-8')):
            check_log(session, name, encoding, codec)
            if encoding == 'UTF8':
                check_names(session)
            session.close_window()
            print('ok: %s' % name)
    finally:
        session.close()
    return 0


def main(argv):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    if len(argv) >= 4 and argv[1] == '--inside':
        return inside(argv[2], argv[3])
    if len(argv) != 3:
        print(__doc__)
        return 2
    return outside(argv[1], argv[2])


if __name__ == '__main__':
    sys.exit(main(sys.argv))
