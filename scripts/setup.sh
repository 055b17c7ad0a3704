#!/bin/sh
# Installs what a fresh Debian 12 machine lacks for building and testing.
set -eu
# libsodium's 32-bit static library for the product comes through multiarch.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
pkgs="cmake g++ g++-multilib googletest clang libclang-rt-14-dev busybox-static vsftpd
      e2fsprogs util-linux iproute2 qemu-user-static groff-base man-db curl procps
      dnsmasq-base libsodium-dev libsodium-dev:i386 minisign"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
