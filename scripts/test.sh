#!/bin/sh
# Installs what is missing, builds and runs the whole suite: the product build
# (static i386), the host build with ASan + UBSan (whose end-to-end tests run
# the product binaries on the throwaway appliance), the threaded FTP and update
# tests under ThreadSanitizer, and a short fuzzing run of the configuration
# reader. Run as root (the appliance needs namespaces, loop devices and mounts).
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/build.sh
jobs=$(nproc)
status=0
echo "== product build (static i386) =="
ctest --test-dir build/product --output-on-failure -j "$jobs" --timeout 300 || status=1
echo "== host build (ASan + UBSan, end-to-end on the product binaries) =="
ctest --test-dir build/host --output-on-failure -j "$jobs" --timeout 300 || status=1
echo "== ThreadSanitizer (FTP transfers, update's threads) =="
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DNIMBO_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target ftp_test update_test
ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 300 -L tsan || status=1
echo "== fuzzing the configuration reader =="
sh scripts/fuzz.sh || status=1
exit $status
