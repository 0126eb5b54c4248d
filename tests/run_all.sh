#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds both ABIs (x86-64 and i386), runs every
# test on both, then runs the 64-bit suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the thread tests under ThreadSanitizer.
# Exits nonzero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${CPIC_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)

bash "$root/cmake/install_deps.sh"

total_pass=0
total_fail=0
run_suite() { # name, ctest filter and build targets (empty: all), extra cmake args...
  local name=$1 filter=$2 target=$3; shift 3
  echo "=== $name: configure and build"
  cmake -S "$root" -B "$build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCPIC_WERROR=ON "$@" >/dev/null
  # shellcheck disable=SC2086 # several targets, blank separated
  cmake --build "$build/$name" -j"$jobs" ${target:+--target $target} >/dev/null
  echo "=== $name: test"
  local log="$build/$name/ctest.log"
  set +e
  (cd "$build/$name" && ctest --output-on-failure -j"$jobs" ${filter:+-R "$filter"}) 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line passed failed
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true)
  failed=$(echo "$line" | sed -nE 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/p')
  passed=$(echo "$line" | sed -nE 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/p')
  if [ -z "$passed" ]; then
    echo "=== $name: no test summary"; exit 1
  fi
  passed=$((passed - failed))
  total_pass=$((total_pass + passed)); total_fail=$((total_fail + failed))
  [ "$rc" -eq 0 ] || { echo "=== $name: FAILED"; echo "$total_pass passed, $total_fail failed"; exit 1; }
}

run_suite x86_64 "" "" -DCPIC_BENCH=ON
# The i386 programs converse through the 64-bit daemon built above.
run_suite i386 "" "" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386.cmake" -DZORVEL_DAEMON="$build/x86_64/zorvel/zorveld"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite x86_64-asan "" "" -DCPIC_SANITIZE=ON
# Only the tests where threads meet (the library's thread tests, and
# conversations whose two ends are two threads); the rest runs
# single-threaded and is covered above.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite x86_64-tsan "threads|loopback|conversations|hello_pair" "test_threads test_loopback test_conversations hello_pair" -DCPIC_TSAN=ON

echo "all suites: $total_pass passed, $total_fail failed"
echo "$total_pass passed, $total_fail failed"
