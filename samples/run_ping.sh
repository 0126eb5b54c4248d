#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: builds the library, the node daemon and the ping pair
# (installing what is missing), then runs
#
#   cpicping -c 1000 -s 100 PING
#
# as its own process against cpicpingd, which the node daemon starts when
# the allocate arrives; the daemon itself is started by the library on the
# first call. The configuration is <build>/samples/node.toml, which the
# build writes from samples/node.toml.in with the programs' paths filled
# in. The daemon's socket lies in a private temporary folder, so the run
# never meets another daemon; the daemon is stopped at the end and its log
# and the TPs' output stay in build/main/ping-logs.
#
# Until the tree has the daemon (no zorveld folder), the same two programs
# run as two threads of one process over the loopback engine (ping_pair),
# and the script says so.
set -euo pipefail
cd "$(dirname "$0")/.."
bash cmake/install_deps.sh
out=build/main
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release >/dev/null
jobs=$(nproc 2>/dev/null || echo 2)
if [ -f zorveld/CMakeLists.txt ]; then
  cmake --build "$out" -j"$jobs" --target cpicping cpicpingd hello_server zorveld zorvel_tool >/dev/null
else
  cmake --build "$out" -j"$jobs" --target ping_pair >/dev/null
  echo "run_ping: this tree has no node daemon yet: both programs run as threads of one process"
  ZORVEL_ENGINE=loopback ZORVEL_CONFIG="$PWD/$out/samples/node.toml" ZORVEL_LOG_FILE="$out/ping_pair.log" \
    "$out/samples/ping_pair" -c 1000 -s 100
  exit
fi

logs="$PWD/$out/ping-logs"
mkdir -p "$logs"
private=$(mktemp -d "${TMPDIR:-/tmp}/cpicping.XXXXXX")
export ZORVEL_ENGINE=node
export ZORVEL_CONFIG="$PWD/$out/samples/node.toml"
export ZORVEL_NODE_SOCKET="$private/node.sock"
export ZORVEL_LOG_DIR="$logs"
export ZORVEL_LOG_FILE="$logs/cpicping.log"
# Should the stop below fail, the daemon still goes once idle for this long.
export ZORVEL_IDLE_SECONDS=30
finish() {
  "$out/zorvel/zorvel" stop >/dev/null 2>&1 || true
  rm -rf "$private"
}
trap finish EXIT
status=0
"$out/samples/cpicping" -c 1000 -s 100 PING || status=$?
echo "daemon log and TP output: $logs"
exit "$status"
