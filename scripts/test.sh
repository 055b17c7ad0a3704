#!/bin/sh
# Installs what is missing, builds both builds and runs the whole suite.
# Run as root (the sandbox needs namespaces, loop devices and mounts).
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/build.sh
jobs=$(nproc)
status=0
echo "== product build (static i386) =="
ctest --test-dir build/product --output-on-failure -j "$jobs" || status=1
echo "== host build (ASan + UBSan, end-to-end on the product binaries) =="
ctest --test-dir build/host --output-on-failure -j "$jobs" || status=1
exit $status
