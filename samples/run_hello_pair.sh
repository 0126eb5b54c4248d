#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: builds the library and the sample programs (installing what
# is missing), then runs hello_client and hello_server conversing on two
# threads of one process over the node's loopback engine, with the API
# trace on. The trace and the node's log are left in build/main.
set -euo pipefail
cd "$(dirname "$0")/.."
bash cmake/install_deps.sh
out=build/main
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j"$(nproc 2>/dev/null || echo 2)" --target hello_pair >/dev/null
ZORVEL_ENGINE=loopback ZORVEL_CONFIG="$PWD/samples/hello.toml" ZORVEL_API_TRACE=1 \
  ZORVEL_LOG_FILE="$out/hello_pair.log" ZORVEL_TRACE_FILE="$out/hello_pair.trc" \
  "$out/samples/hello_pair"
echo "API trace: $out/hello_pair.trc ($(grep -c . "$out/hello_pair.trc") lines); node log: $out/hello_pair.log"
