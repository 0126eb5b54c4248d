#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs a build into a scratch prefix and builds samples/hello_client.c
# against the installed files only: once with pkg-config, once through the
# CMake package; each program must load the installed library by its
# soname and run (scripted node answers); then the installed client and
# server hold a real conversation through the installed daemon, which starts
# the server. A 32-bit build's programs use the 64-bit daemon named by
# INSTALL_TEST_DAEMON (the kernel may not run a 32-bit daemon).
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER "C_FLAGS" [TOOLCHAIN_FILE] [EMULATOR...]
set -euo pipefail
build=$1 source=$2 cc=$3 cflags=$4 toolchain=${5:-}
shift $(( $# < 5 ? $# : 5 ))
emulator=("$@")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(dirname "$(find "$prefix" -name cpic.pc)")
lib=$(dirname "$(find "$prefix" -name 'libcpic.so.*' | head -1)")
[ -f "$prefix/include/cpic.h" ] || { echo "cpic.h not installed"; exit 1; }
[ "$(ls "$prefix/include")" = "cpic.h" ] || { echo "more than cpic.h installed: $(ls "$prefix/include")"; exit 1; }

run() { # program: must print the smoke line
  local out
  out=$(cd "$scratch" && ZORVEL_ENGINE=scripted LD_LIBRARY_PATH="$lib" ZORVEL_LOG_FILE="$scratch/log" \
    ZORVEL_CONFIG="$source/samples/hello.toml" "${emulator[@]}" "$1" HELLO)
  echo "$out" | grep -q "sent 26 bytes to HELLO, confirmed" || { echo "$1: $out"; exit 1; }
  readelf -d "$1" | grep -q 'NEEDED.*libcpic\.so\.6\]' || { echo "$1 does not need libcpic.so.6"; exit 1; }
}

# shellcheck disable=SC2086 # the flags are several words
"$cc" $cflags -o "$scratch/hello_pc" "$source/samples/hello_client.c" \
  $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs cpic)
run "$scratch/hello_pc"

cmake -S "$source/tests/install_consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DSAMPLE_SOURCE="$source/samples/hello_client.c" \
  ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} >/dev/null
cmake --build "$scratch/consumer" >/dev/null
run "$scratch/consumer/hello_client"

# shellcheck disable=SC2086
"$cc" $cflags -o "$scratch/hello_server" "$source/samples/hello_server.c" \
  $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs cpic)
words=("${emulator[@]}" "$scratch/hello_server")
args=""
for w in "${words[@]:1}"; do args+="\"$w\", "; done
cat >"$scratch/node.toml" <<TOML
[[local_lu]]
alias = "INSTLU"
name = "NETA.INSTLU"
default = true
[[tp]]
name = "HELLOSRV"
queue_timeout_ms = 10000
path = "${words[0]}"
args = [${args%, }]
[[side_info]]
sym_dest_name = "HELLO"
partner_lu_name = "NETA.INSTLU"
tp_name = "HELLOSRV"
mode_name = "#INTER"
security_type = "none"
TOML
export ZORVEL_NODE_SOCKET=$scratch/node/node.sock ZORVEL_LOG_DIR=$scratch/node ZORVEL_CONFIG=$scratch/node.toml
export ZORVEL_DAEMON=${INSTALL_TEST_DAEMON:-$prefix/sbin/zorveld}
trap '"${emulator[@]}" "$prefix/bin/zorvel" stop >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
out=$(cd "$scratch" && LD_LIBRARY_PATH="$lib" ZORVEL_LOG_FILE="$scratch/log" "${emulator[@]}" "$scratch/hello_pc" HELLO)
echo "$out" | grep -q "sent 26 bytes to HELLO, confirmed" || { echo "through the daemon: $out"; exit 1; }
grep -qs 'received "' "$scratch"/node/HELLOSRV.*.out || { echo "the server did not receive:"; cat "$scratch"/node/*; exit 1; }
"${emulator[@]}" "$prefix/bin/zorvel" stop >/dev/null
echo "installed tree: pkg-config and find_package builds run, a conversation through the installed daemon"
