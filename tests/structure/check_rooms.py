#!/usr/bin/env python3
"""Checks that includes between the source folders run one way only.

Each folder is a library of its own; this table says which folders' headers
it may include. A folder may always include its own headers. The window
(app/) is the only room that knows all the others. Tests, benchmarks,
fuzzers and tools may include anything.

    python3 tests/structure/check_rooms.py [SOURCE_DIR]

Exit 0 when every include keeps to the table, 1 with one line per include
that runs the wrong way (or per folder the table does not know).
"""
import pathlib
import re
import sys

MAY_INCLUDE = {
    "decode": set(),
    "sock": set(),
    "localcopy": {"sock"},
    "ftp": {"sock", "localcopy"},
    "sftp": {"sock", "localcopy"},
    "codec": set(),
    "profiles": {"codec", "sock"},
    "keyring": {"profiles", "codec", "sock"},
    "view": {"codec", "decode"},
    # fetch opens a remote file from a host profile, which sits below it.
    "fetch": {"ftp", "sftp", "localcopy", "profiles", "sock", "codec"},
    "app": {"fetch", "keyring", "view", "profiles", "codec", "ftp", "sftp", "localcopy", "sock", "decode"},
}
# Folders that hold no library code.
NOT_ROOMS = {"tests", "bench", "fuzz", "tools", "scripts", "packaging", "cmake", "docs", "build"}
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]*"', re.M)


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = []
    for folder in sorted(p for p in root.iterdir() if p.is_dir() and not p.name.startswith(".")):
        if folder.name in NOT_ROOMS or folder.name.startswith("build"):
            continue
        sources = [p for p in folder.rglob("*") if p.suffix in SOURCE_SUFFIXES]
        if not sources:
            continue
        allowed = MAY_INCLUDE.get(folder.name)
        if allowed is None:
            problems.append(f"{folder.name}/: a source folder the table in {pathlib.Path(__file__).name} does not know")
            continue
        for source in sources:
            text = source.read_text(encoding="utf-8", errors="replace")
            for line_no, line in enumerate(text.splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                if target == folder.name or target in allowed:
                    continue
                problems.append(f"{source.relative_to(root)}:{line_no}: {folder.name}/ may not include {target}/ ({line.strip()})")
    for problem in problems:
        print(problem)
    if not problems:
        print(f"includes run one way: {', '.join(sorted(MAY_INCLUDE))}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
