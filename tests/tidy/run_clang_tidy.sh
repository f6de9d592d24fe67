#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over every hand-written
# source that the build's compile database lists (the generated tables and
# Qt's generated files left out), as many at a time as there are cores.
# Fails on any finding.
#
#   run_clang_tidy.sh SOURCE_DIR BUILD_DIR [FILE_REGEX]
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
only=${3:-.}

tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
    echo "clang-tidy is missing: apt-get install clang-tidy (scripts/deps.sh installs it)" >&2
    exit 1
fi

# The database's files under the source tree, not under any build directory.
files=$(/usr/bin/python3 - "$source_dir" "$build_dir/compile_commands.json" "$only" <<'PY'
import json, os, re, sys
source, database, only = sys.argv[1], sys.argv[2], re.compile(sys.argv[3])
generated = {'decode/SjisTables.cpp', 'app/SjisViewTable.cpp'}
seen = set()
for entry in json.load(open(database)):
    path = os.path.normpath(os.path.join(entry['directory'], entry['file']))
    relative = os.path.relpath(path, source)
    if relative.startswith('..') or relative.startswith('build') or '_autogen' in relative:
        continue
    if relative in generated or relative in seen or not only.search(relative):
        continue
    seen.add(relative)
    print(path)
PY
)
count=$(printf '%s\n' "$files" | grep -c . || true)
if [ "$count" -eq 0 ]; then
    echo "no sources matched in $build_dir/compile_commands.json" >&2
    exit 1
fi
echo "clang-tidy over $count files, $(nproc) at a time"

# The build compiles with gcc: its own warning options mean nothing to clang.
status=0
printf '%s\n' "$files" | xargs -P "$(nproc)" -n 4 \
    "$tidy" -p "$build_dir" --quiet --extra-arg=-Wno-unknown-warning-option \
    --extra-arg=-Wno-unused-command-line-argument 2>/dev/null || status=$?
if [ "$status" -ne 0 ]; then
    echo "clang-tidy found problems (see above)" >&2
    exit 1
fi
echo "clang-tidy: no findings"
