#!/bin/sh
# Installs what is missing, builds the two programs and the simulated
# appliance (not the test suite), and runs update then swap on it. Run as root.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
PRODUCT_TARGETS="update swap" HOST_TARGETS=nimbo_demo sh scripts/build.sh
exec build/host/bin/nimbo_demo "$PWD/build/product/bin"
