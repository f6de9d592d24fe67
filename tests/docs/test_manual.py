#!/usr/bin/python3
"""The built program's command line against its manual page.

    test_manual.py BUILD_DIR

Runs wisplog --help, --version and a mistyped option without any display
(DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM unset), and checks that every
option --help names appears in the manual page made beside the program, and
that the installed .gz is that page.
"""

import gzip
import os
import re
import subprocess
import sys
import unittest

BUILD = None
OPTION = re.compile(r'(?<![\w-])--?[a-z][a-z-]*[a-z]')


def run(*arguments):
    env = {k: v for k, v in os.environ.items()
           if k not in ('DISPLAY', 'WAYLAND_DISPLAY', 'QT_QPA_PLATFORM')}
    return subprocess.run([os.path.join(BUILD, 'wisplog'), *arguments], env=env,
                          capture_output=True, text=True, timeout=60)


def manual_text():
    """The manual page's text with roff's escapes taken out."""
    with open(os.path.join(BUILD, 'wisplog.1'), encoding='utf-8') as f:
        text = f.read()
    text = re.sub(r'\\f[BIRP]', '', text).replace('\\-', '-').replace('\\&', '').replace('\\e', '\\')
    return re.sub(r'\s+', ' ', text)


class CommandLineTest(unittest.TestCase):
    def test_help_and_version_need_no_display(self):
        help = run('--help')
        self.assertEqual((help.returncode, help.stderr), (0, ''))
        self.assertTrue(help.stdout.startswith('Usage: wisplog '), help.stdout)
        # Where the host list comes from is part of the summary.
        for place in ('wisplog.ini', '$XDG_CONFIG_HOME/wisplog/wisplog.ini'):
            self.assertIn(place, help.stdout)
        # So is how a profile chooses SFTP, and where its host keys are checked.
        for text in ('sftp=', 'port 22', '~/.ssh/known_hosts'):
            self.assertIn(text, help.stdout)
        self.assertEqual(run('-h').stdout, help.stdout)
        version = run('--version')
        self.assertEqual((version.returncode, version.stderr), (0, ''))
        self.assertRegex(version.stdout, r'^wisplog \d+\.\d+\.\d+\n$')

    def test_a_mistake_gives_one_line_and_the_usage_with_status_2(self):
        usage = run('--help').stdout
        for arguments, line in ((['--bogus'], "wisplog: unknown option '--bogus'"),
                                (['-platform'], "wisplog: option '-platform' needs a value"),
                                (['server.log'], "wisplog: unexpected argument 'server.log'")):
            result = run(*arguments)
            self.assertEqual(result.returncode, 2, arguments)
            self.assertEqual(result.stdout, '')
            self.assertEqual(result.stderr, line + '\n' + usage)

    def test_every_option_of_the_help_is_in_the_manual(self):
        help = run('--help').stdout
        manual = manual_text()
        options = set(OPTION.findall(help))
        self.assertTrue({'--desktop', '--help', '--version', '-platform'} <= options, options)
        for option in sorted(options):
            self.assertTrue(re.search(r'(?<![\w-])' + re.escape(option) + r'(?![\w-])', manual),
                            f'{option} is in --help but not in the manual page')
        # The paragraphs of the help are the manual's too.
        for paragraph in ('The host profiles are read once at start', 'Print the version and exit.'):
            self.assertIn(paragraph, help)
            self.assertIn(paragraph, manual)
        # The SSH files an SFTP profile reads or writes are listed among the files.
        files = manual[manual.index('FILES'):manual.index('KEYS')]
        for name in ('~/.ssh/known_hosts', '/etc/ssh/ssh_known_hosts', '~/.ssh/config', '~/.ssh/id_ed25519'):
            self.assertIn(name, files)
        with open(os.path.join(BUILD, 'wisplog.1'), 'rb') as f, \
                gzip.open(os.path.join(BUILD, 'wisplog.1.gz')) as packed:
            self.assertEqual(packed.read(), f.read())

    def test_the_manual_formats_cleanly(self):
        # man's own formatter, warnings on: a roff mistake in the generator
        # (an unescaped request, a font left open) shows up here.
        result = subprocess.run(['groff', '-man', '-Tutf8', '-K', 'utf-8', '-ww', '-z',
                                 os.path.join(BUILD, 'wisplog.1')],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stderr), (0, ''))


if __name__ == '__main__':
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
