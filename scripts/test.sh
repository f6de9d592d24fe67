#!/usr/bin/env bash
# Builds wisplog with AddressSanitizer and UBSan and runs the whole test suite,
# then the converter window's test under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWISPLOG_SANITIZE=ON -DWISPLOG_TESTS=ON
cmake --build "$build"
# The tests on ::1 skip where this machine cannot use IPv6; say so, and why.
if ! reason=$(/usr/bin/python3 -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>&1); then
    echo "IPv6 loopback unavailable (${reason##*$'\n'}): the IPv6 tests are skipped and listed as Skipped below." >&2
fi
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300

# The converter and the thread that follows it share the window's bytes: that
# test again under ThreadSanitizer, built alone (the decode library, the
# view's plain text classes and the test).
tsan=build/tsan
cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWISPLOG_TSAN=ON -DWISPLOG_TESTS=ON >/dev/null
cmake --build "$tsan" --target view_window_tests
timeout 300 "$tsan/tests/view/view_window_tests"
