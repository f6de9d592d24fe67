#!/usr/bin/python3
"""Runs clang-tidy with the repository's .clang-tidy over every hand-written
source that the build's compile database lists (the generated tables and Qt's
generated files left out), as many at a time as there are cores, and fails on
any finding.

    run_clang_tidy.py SOURCE_DIR BUILD_DIR [--all]

A source found clean is remembered in BUILD_DIR/clang-tidy-clean with what it
was checked with: its compile command, .clang-tidy, clang-tidy's version and
the size and time of every file it includes (as the build last saw them). It
is checked again only when one of those changes, or with --all.
"""

import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

GENERATED = {'decode/SjisTables.cpp', 'app/SjisViewTable.cpp'}
# The build compiles with gcc: its own warning options mean nothing to clang.
EXTRA = ['--extra-arg=-Wno-unknown-warning-option', '--extra-arg=-Wno-unused-command-line-argument']


def sources(source_dir, database):
    seen = {}
    for entry in database:
        path = os.path.normpath(os.path.join(entry['directory'], entry['file']))
        relative = os.path.relpath(path, source_dir)
        if relative.startswith(('..', 'build')) or '_autogen' in relative or relative in GENERATED:
            continue
        seen.setdefault(path, entry)
    return seen


def included_files(build_dir):
    """Each object's inputs as the build recorded them (ninja's deps log)."""
    try:
        listing = subprocess.run(['ninja', '-C', build_dir, '-t', 'deps'], capture_output=True,
                                 text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return {}
    deps, current = {}, None
    for line in listing.splitlines():
        if line and not line[0].isspace():
            current = deps.setdefault(os.path.join(build_dir, line.split(':')[0]), [])
        elif line.strip() and current is not None:
            current.append(line.strip())
    return deps


def key_of(path, entry, deps, build_dir, common):
    digest = hashlib.sha256(common)
    digest.update(json.dumps([entry.get('command') or entry.get('arguments'), path]).encode())
    output = entry.get('output')
    if not output:
        # Older CMake leaves the object out of the entry; the command names it.
        arguments = entry.get('arguments') or shlex.split(entry.get('command', ''))
        output = next((arguments[i + 1] for i, a in enumerate(arguments[:-1]) if a == '-o'), None)
    inputs = deps.get(os.path.normpath(os.path.join(entry['directory'], output)), []) if output else []
    if not inputs:
        # Without the build's record of its includes a header change would go
        # unseen: such a source is checked every time.
        return None
    for name in [path] + inputs:
        name = os.path.join(build_dir, name) if not os.path.isabs(name) else name
        try:
            info = os.stat(name)
            digest.update(f'{name}:{info.st_size}:{info.st_mtime_ns}\n'.encode())
        except OSError:
            digest.update(f'{name}:missing\n'.encode())
    return digest.hexdigest()


def main(argv):
    args = [a for a in argv[1:] if a != '--all']
    if len(args) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    source_dir, build_dir = (os.path.abspath(a) for a in args)
    tidy = shutil.which('clang-tidy-14') or shutil.which('clang-tidy')
    if not tidy:
        print('clang-tidy is missing: apt-get install clang-tidy (scripts/deps.sh installs it)')
        return 1
    with open(os.path.join(build_dir, 'compile_commands.json')) as f:
        files = sources(source_dir, json.load(f))
    if not files:
        print('no sources in the compile database')
        return 1
    version = subprocess.run([tidy, '--version'], capture_output=True, text=True).stdout
    with open(os.path.join(source_dir, '.clang-tidy'), 'rb') as f:
        common = version.encode() + f.read()
    deps = included_files(build_dir)
    cache_path = os.path.join(build_dir, 'clang-tidy-clean')
    clean = set()
    if '--all' not in argv and os.path.exists(cache_path):
        with open(cache_path) as f:
            clean = set(f.read().split())
    keys = {path: key_of(path, entry, deps, build_dir, common) for path, entry in files.items()}
    todo = sorted(path for path in files if keys[path] not in clean)
    print(f'clang-tidy over {len(todo)} of {len(files)} files ({len(files) - len(todo)} unchanged '
          f'since found clean), {os.cpu_count()} at a time', flush=True)

    def check(path):
        result = subprocess.run([tidy, '-p', build_dir, '--quiet', *EXTRA, path],
                                capture_output=True, text=True)
        return path, result.returncode, result.stdout

    found = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for path, status, output in pool.map(check, todo):
            if status == 0 and not re.search(r'(warning|error):', output):
                if keys[path]:
                    clean.add(keys[path])
            else:
                found.append(path)
                print(output.rstrip() or f'{path}: clang-tidy ended with status {status}', flush=True)
    current = set(keys.values()) - {None}
    with open(cache_path + '.new', 'w') as f:
        f.write('\n'.join(sorted(clean & current)) + '\n')
    os.replace(cache_path + '.new', cache_path)
    if found:
        print(f'clang-tidy found problems in {len(found)} files')
        return 1
    print('clang-tidy: no findings')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
