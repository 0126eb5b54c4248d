#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the release configuration (no tests, no test control), packs it
# with CPack and checks the .deb as a user would get it: unpacked, then
# installed with dpkg (as root only), where the shipped hello_client and
# hello_server examples build with pkg-config and converse through the
# installed daemon, man finds zorvel(1), and dpkg -r leaves nothing behind.
# With an i386 toolchain file, the i386 release is packed too and checked
# (architecture, 32-bit libraries, the same files as the native package),
# not installed.
#   release_test.sh SOURCE_DIR BUILD_DIR [I386_TOOLCHAIN_FILE]
# Exit 77 (skipped) when not root or when a libcpic package is installed
# already: the package checks ran, the installation did not.
set -euo pipefail
source=$1 build=$2 i386_toolchain=${3:-}
cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/libcpic_*.deb)
root=$(mktemp -d)
installed=
cleanup() {
  if [ -n "$installed" ]; then
    ZORVEL_NODE_SOCKET="$root/node.sock" zorvel stop >/dev/null 2>&1 || true
    dpkg -P libcpic >/dev/null 2>&1 || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$root/unpacked"
fail() { echo "release package: $*"; exit 1; }
zorvel=$(find "$root/unpacked" -name 'libzorvel.so.6' | head -1)
[ -n "$zorvel" ] || fail "no libzorvel.so.6"
if nm -D --defined-only "$zorvel" | grep -q ' zorvel_'; then fail "libzorvel.so exports its test control"; fi
for f in usr/include/cpic.h usr/sbin/zorveld usr/bin/zorvel usr/share/man/man1/zorvel.1 \
  usr/share/man/man5/node.toml.5 usr/share/man/man8/zorveld.8; do
  [ -e "$root/unpacked/$f" ] || [ -e "$root/unpacked/$f.gz" ] || fail "missing $f"
done
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture $(dpkg-deb -f "$deb" Architecture)"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependencies recorded"
pc=$(dirname "$(find "$root/unpacked" -name cpic.pc)")
lib=$(dirname "$zorvel")
# shellcheck disable=SC2046 # pkg-config prints several words
cc -o "$root/hello" "$source/samples/hello_client.c" $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs cpic)
out=$(cd "$root" && ZORVEL_ENGINE=scripted LD_LIBRARY_PATH="$lib" ZORVEL_LOG_FILE="$root/log" \
  ZORVEL_CONFIG="$source/samples/hello.toml" ./hello HELLO)
echo "$out" | grep -q "sent 26 bytes to HELLO, confirmed" || fail "hello_client against the package: $out"
echo "release package $(basename "$deb"): no test control, man pages, pkg-config build runs"

if [ -n "$i386_toolchain" ]; then
  # GNUInstallDirs leaves out the multiarch folder when cross-compiling.
  cmake -S "$source" -B "$build-i386" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_TOOLCHAIN_FILE="$i386_toolchain" -DCMAKE_INSTALL_LIBDIR=lib/i386-linux-gnu >/dev/null
  cmake --build "$build-i386" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
  (cd "$build-i386" && cpack -G DEB >/dev/null)
  deb32=$(ls "$build-i386"/libcpic_*_i386.deb) || fail "no i386 package"
  [ "$(dpkg-deb -f "$deb32" Architecture)" = i386 ] || fail "i386 package says $(dpkg-deb -f "$deb32" Architecture)"
  listing() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's/x86_64-linux-gnu/ARCH/; s/i386-linux-gnu/ARCH/' | sort; }
  [ "$(listing "$deb")" = "$(listing "$deb32")" ] || fail "i386 package files differ: $(diff <(listing "$deb") <(listing "$deb32"))"
  dpkg-deb -x "$deb32" "$root/i386"
  for f in $(find "$root/i386" -type f \( -name 'lib*.so.*' -o -path '*bin/*' \)); do
    readelf -h "$f" | grep -q 'Class:.*ELF32' || fail "$f is not 32-bit"
  done
  echo "release package $(basename "$deb32"): i386, 32-bit programs, the same files"
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "release package: SKIPPED installing it: dpkg -i needs root"
  exit 77
fi
if dpkg -s libcpic 2>/dev/null | grep -qx "Status: install ok installed"; then
  echo "release package: SKIPPED installing it: a libcpic package is installed already, left as it is"
  exit 77
fi
dpkg -i "$deb" >/dev/null || fail "dpkg -i failed"
installed=1

# The installed examples, built against the installed files only.
examples=$(dirname "$(dpkg -L libcpic | grep "/examples/hello_client.c$")")
for p in hello_client hello_server; do
  # shellcheck disable=SC2046 # pkg-config prints several words
  cc -o "$root/$p" "$examples/$p.c" $(pkg-config --cflags --libs cpic) || fail "$p does not build"
done
cat >"$root/node.toml" <<EOF
[[local_lu]]
alias = "RELLU"
name = "NETR.RELLU"
[[tp]]
name = "HELLOSRV"
path = "$root/hello_server"
[[side_info]]
sym_dest_name = "HELLO"
partner_lu_name = "NETR.RELLU"
tp_name = "HELLOSRV"
security_type = "none"
EOF
# A private socket: no other test's daemon answers there. The library
# starts the installed /usr/sbin/zorveld, which starts hello_server.
export ZORVEL_NODE_SOCKET="$root/node.sock" ZORVEL_CONFIG="$root/node.toml" ZORVEL_LOG_DIR="$root" \
  ZORVEL_LOG_FILE="$root/client.log" ZORVEL_ENGINE=node
unset ZORVEL_DAEMON LD_LIBRARY_PATH
out=$(cd "$root" && ./hello_client HELLO 2>&1) || fail "hello_client through the installed daemon: $out"
echo "$out" | grep -q "sent 26 bytes to HELLO, confirmed" || fail "hello_client through the installed daemon: $out"
grep -q "TP started: HELLOSRV pid" "$root/zorveld.log" || fail "the installed daemon did not start hello_server"
/usr/bin/zorvel stop | grep -q stopped || fail "zorvel stop"
man -w zorvel 2>/dev/null | grep -q zorvel.1 ||
  fail "man -w zorvel finds no page$(grep -rhs 'path-exclude.*man' /etc/dpkg/dpkg.cfg.d | sed 's/^/ (dpkg: /; s/$/)/')"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}')
dpkg -r libcpic >/dev/null || fail "dpkg -r failed"
installed=
for f in $files; do
  [ ! -e "$f" ] && [ ! -L "$f" ] || fail "$f left after dpkg -r"
done
# Removed, only dpkg's record of it is left (its postrm runs ldconfig): the
# purge drops that too.
dpkg -s libcpic 2>/dev/null | grep -qx "Status: deinstall ok config-files" || fail "not removed: $(dpkg -s libcpic 2>&1 | grep Status)"
dpkg -P libcpic >/dev/null || fail "dpkg -P failed"
if dpkg -s libcpic 2>/dev/null | grep -qx "Status: install ok installed"; then fail "dpkg still lists libcpic after the purge"; fi
echo "installed with dpkg: the examples converse through /usr/sbin/zorveld, man -w zorvel finds the page, dpkg -r leaves no file"
