#!/usr/bin/python3
"""Checks the project's documents against the tree they describe.

    check_docs.py SOURCE_DIR           check README.md, HACKING.md and docs/*.md
    check_docs.py --self-test          check that broken links and commands are caught

Every relative link (and image) must name a file that exists, and a link's
#anchor must name a heading of the file it points to. Every `bash FILE`
command that README.md quotes must name a file that exists. Links inside code
are not links; web links are not followed. Prints one line per fault and
exits 1 when there is any.
"""

import glob
import os
import re
import sys
import tempfile

LINK = re.compile(r'!?\[[^\]]*\]\(([^)\s]+)\)')
FENCE = re.compile(r'^\s*```')
INLINE_CODE = re.compile(r'`[^`]*`')
HEADING = re.compile(r'^(#{1,6})\s+(.*?)\s*#*\s*$')
BASH_COMMAND = re.compile(r'\bbash\s+([\w./-]+)')


def anchor_of(heading):
    """The anchor a heading gets on the usual Markdown hosts: lower case,
    punctuation dropped (letters of any script kept), blanks made hyphens."""
    text = re.sub(r'\[([^\]]*)\]\([^)]*\)', r'\1', heading).lower()
    text = ''.join(c for c in text if c.isalnum() or c in ' -_')
    return text.replace(' ', '-')


def split_code(text):
    """The document's lines outside fenced code blocks, with inline code
    blanked out, and the lines of code (fenced and inline) on their own."""
    prose, code = [], []
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if fenced or line.startswith('    '):
            code.append((number, line))
            continue
        code.extend((number, span) for span in INLINE_CODE.findall(line))
        prose.append((number, INLINE_CODE.sub('``', line)))
    return prose, code


def check_file(path, root, faults, commands):
    with open(path, encoding='utf-8') as f:
        text = f.read()
    prose, code = split_code(text)
    where = os.path.relpath(path, root)
    for number, line in prose:
        for target in LINK.findall(line):
            if re.match(r'^[a-z][a-z0-9+.-]*:', target):
                continue
            file_part, _, anchor = target.partition('#')
            resolved = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) \
                if file_part else path
            if not os.path.exists(resolved):
                faults.append(f'{where}:{number}: link to a missing file: {target}')
            elif anchor and resolved.endswith('.md') and anchor not in heading_anchors(resolved):
                faults.append(f'{where}:{number}: link to a missing heading: {target}')
    if commands:
        for number, line in code + prose:
            for script in BASH_COMMAND.findall(line):
                if not os.path.isfile(os.path.join(root, script)):
                    faults.append(f'{where}:{number}: command names a missing file: bash {script}')


def heading_anchors(path):
    """Anchors of the file's headings, with inline code kept as text."""
    seen = {}
    found = set()
    fenced = False
    with open(path, encoding='utf-8') as f:
        for line in f:
            if FENCE.match(line):
                fenced = not fenced
                continue
            match = None if fenced else HEADING.match(line.rstrip('\n'))
            if not match:
                continue
            base = anchor_of(match.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f'{base}-{count}')
    return found


def check_tree(root):
    faults = []
    check_file(os.path.join(root, 'README.md'), root, faults, commands=True)
    others = [os.path.join(root, 'HACKING.md')] + sorted(glob.glob(os.path.join(root, 'docs', '*.md')))
    for path in others:
        if os.path.exists(path):
            check_file(path, root, faults, commands=False)
    return faults


def self_test():
    """A small tree with one fault of each kind and the good cases beside
    them: the check must report exactly the faults."""
    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, 'docs'))
        os.makedirs(os.path.join(root, 'scripts'))
        open(os.path.join(root, 'scripts', 'run.sh'), 'w').close()
        with open(os.path.join(root, 'docs', 'A.md'), 'w', encoding='utf-8') as f:
            f.write('# A\n\n## Host profiles: `wisplog.ini`\n\n## 漢字 (F6)\n\n## Twice\n\n## Twice\n')
        with open(os.path.join(root, 'README.md'), 'w', encoding='utf-8') as f:
            f.write('# R\n\n'
                    '[ok](docs/A.md#host-profiles-wisplogini) [ok](docs/A.md#漢字-f6) '
                    '[ok](docs/A.md#twice-1) [ok](#r) ![ok](docs/A.md) [web](https://x/y.md)\n'
                    '[bad](docs/B.md) [bad](docs/A.md#nowhere) [bad](#twice)\n'
                    '`[not a link](nowhere.md)`\n\n'
                    '```sh\nbash scripts/run.sh\nbash scripts/gone.sh\n[x](in-code.md)\n```\n'
                    'Run `bash scripts/missing.sh` or `xvfb-run -a bash scripts/run.sh`.\n')
        faults = check_tree(root)
    expected = [
        'README.md:4: link to a missing file: docs/B.md',
        'README.md:4: link to a missing heading: docs/A.md#nowhere',
        'README.md:4: link to a missing heading: #twice',
        'README.md:9: command names a missing file: bash scripts/gone.sh',
        'README.md:12: command names a missing file: bash scripts/missing.sh',
    ]
    if sorted(faults) != sorted(expected):
        print('the check reported:', *faults, 'instead of:', *expected, sep='\n  ')
        return 1
    return 0


def main(argv):
    if argv[1:] == ['--self-test']:
        return self_test()
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    faults = check_tree(os.path.abspath(argv[1]))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
