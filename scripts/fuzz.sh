#!/bin/sh
# Builds the configuration reader's fuzzer with clang and runs it for a short
# while. Exits non-zero on a crash or any sanitizer report; the input that
# caused it is kept in the build directory.
#   FUZZ_BUILD_DIR  where to build (default build/fuzz)
#   FUZZ_SECONDS    how long to fuzz (default 30)
set -eu
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD_DIR:-build/fuzz}
seconds=${FUZZ_SECONDS:-30}
cxx=${FUZZ_CXX:-clang++}

mkdir -p "$build"
"$cxx" -std=c++20 -g -O1 -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
    -Ibase -Iconfig base/base.cpp config/config.cpp config/config_ops.cpp tests/config_fuzz.cpp \
    -o "$build/config_fuzz"

# Every run writes two small files (and syncs one): memory-backed is faster.
base=${TMPDIR:-}
if [ -z "$base" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; fi
work=$(mktemp -d "${base:-/tmp}/config_fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/corpus" "$work/tmp"
# New inputs go to the scratch corpus; the committed seeds stay as they are.
TMPDIR="$work/tmp" "$build/config_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -artifact_prefix="$build/" "$work/corpus" tests/fuzz_corpus
