#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails when libcpic.so exports a name that is not allowed, or lacks one that
# is: the routines cpic.h declares and the list given. Reads the dynamic
# symbol table of the built library.
set -euo pipefail
lib=$1 allowed=$2
# Sanitizer builds add their own instrumentation symbols; they are not ours.
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWGS]$/ {print $3}' | sed 's/@.*//' |
  grep -vE '^__(odr_asan|asan|ubsan|sanitizer)' | sort -u)
# Every routine the public header declares, and the names listed in $allowed.
header=$(dirname "$0")/../include/cpic.h
wanted=$({ grep -v '^#' "$allowed" | sed '/^$/d'; sed -nE 's/^CM_ENTRY ([A-Za-z0-9_]+)\(.*/\1/p' "$header"; } | sort -u)
extra=$(comm -23 <(echo "$actual") <(echo "$wanted"))
missing=$(comm -13 <(echo "$actual") <(echo "$wanted"))
status=0
if [ -n "$extra" ]; then echo "exported but not allowed:"; echo "$extra" | sed 's/^/  /'; status=1; fi
if [ -n "$missing" ]; then echo "required but not exported:"; echo "$missing" | sed 's/^/  /'; status=1; fi
[ $status -eq 0 ] && echo "exports: $(echo "$actual" | wc -l) names, exactly the allowed set"
exit $status
