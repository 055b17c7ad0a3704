#!/bin/sh
# Builds the product (static 32-bit, build/product) and the host build with
# AddressSanitizer and UndefinedBehaviorSanitizer (build/host), whose
# end-to-end tests run the product binaries.
#   PRODUCT_TARGETS, HOST_TARGETS  build only these targets (default: all)
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
targets() { for t in $1; do printf -- '--target %s ' "$t"; done; }
cmake -S . -B build/product -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/i386-static.cmake >/dev/null
# shellcheck disable=SC2046
cmake --build build/product -j "$jobs" $(targets "${PRODUCT_TARGETS:-}")
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Debug -DNIMBO_SANITIZE=ON \
      -DNIMBO_PRODUCT_BIN_DIR="$PWD/build/product/bin" >/dev/null
# shellcheck disable=SC2046
cmake --build build/host -j "$jobs" $(targets "${HOST_TARGETS:-}")
