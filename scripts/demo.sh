#!/bin/sh
# Installs what is missing, builds, and runs update (and swap) on a
# simulated appliance. Run as root.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/build.sh
exec build/host/bin/nimbo_demo "$PWD/build/product/bin"
