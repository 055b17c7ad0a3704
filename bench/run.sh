#!/bin/sh
# Builds the product and a native static build of the same sources, then runs
# the download benchmark on the throwaway appliance. Run as root.
#   sh bench/run.sh [--mib N] [--runs N]
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
jobs=$(nproc)
cmake -S . -B build/product -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/i386-static.cmake >/dev/null
cmake --build build/product -j "$jobs" --target update
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DNIMBO_STATIC_PROGRAMS=ON \
      -DNIMBO_PRODUCT_BIN_DIR="$PWD/build/product/bin" >/dev/null
cmake --build build/bench -j "$jobs" --target update bench_download
for tool in curl nsenter; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done
qemu=""
cmake/can-run-i386 || qemu="--qemu"
cmake --build build/bench -j "$jobs" --target bench_peak
exec build/bench/bin/bench_download --peak "$PWD/build/bench/bin/bench_peak" --native "$PWD/build/bench/bin" $qemu "$@"
