#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the release configuration (no tests, no test control), packs it
# with CPack and checks the .deb as a user would get it.
#   release_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source=$1 build=$2
cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/libcpic_*.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
fail() { echo "release package: $*"; exit 1; }
zorvel=$(find "$root" -name 'libzorvel.so.6' | head -1)
[ -n "$zorvel" ] || fail "no libzorvel.so.6"
if nm -D --defined-only "$zorvel" | grep -q ' zorvel_'; then fail "libzorvel.so exports its test control"; fi
for f in usr/include/cpic.h usr/sbin/zorveld usr/bin/zorvel usr/share/man/man1/zorvel.1 \
  usr/share/man/man5/node.toml.5 usr/share/man/man8/zorveld.8; do
  [ -e "$root/$f" ] || [ -e "$root/$f.gz" ] || fail "missing $f"
done
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependencies recorded"
pc=$(dirname "$(find "$root" -name cpic.pc)")
lib=$(dirname "$zorvel")
# shellcheck disable=SC2046 # pkg-config prints several words
cc -o "$root/hello" "$source/samples/hello_client.c" $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs cpic)
out=$(cd "$root" && ZORVEL_ENGINE=scripted LD_LIBRARY_PATH="$lib" ZORVEL_LOG_FILE="$root/log" \
  ZORVEL_CONFIG="$source/samples/hello.toml" ./hello HELLO)
echo "$out" | grep -q "sent 26 bytes to HELLO, confirmed" || fail "hello_client against the package: $out"
echo "release package $(basename "$deb"): no test control, man pages, pkg-config build runs"
