#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Mutation check of the test suite: each row below plants one deliberate
# fault in the library (a scratch copy of the tree), rebuilds, runs the
# suite, and expects at least one test to fail. Not part of CTest: it
# rebuilds once per mutant and takes a while.
#
#   tests/mutants.sh [scratch-dir]        # all mutants
#   ONLY="7 9" tests/mutants.sh           # just rows 7 and 9 (1-based)
#
# A row is  file @@ exact text @@ replacement  (first occurrence only). A row
# whose text is not found any more is reported as stale, not as caught.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${1:-${TMPDIR:-/tmp}/cpic-mutants}
jobs=${JOBS:-2}

mutants() {
  cat <<'EOF'
vcpic/cpic_send.cpp@@if (c->ulPrepToReceiveType != CM_PREP_TO_RECEIVE_FLUSH) kind += 1;@@if (c->ulPrepToReceiveType != CM_PREP_TO_RECEIVE_FLUSH) kind += 2;
vcpic/cpic_send.cpp@@(type != 0 ? type : 2)@@(type != 0 ? type : 1)
vcpic/cpic_util.h@@& ~static_cast<uint32_t>(kMaximumBufferSize)) != 0;@@& ~static_cast<uint32_t>(0xFFFFu)) != 0;
vcpic/cpic_send.cpp@@request_to_send()) *rts = c->vcb.send.rts_ind;@@request_to_send()) *rts = 0;
vcpic/cpic_rcmap.cpp@@{kPrimaryAllocationError, 0x05000000, CM_ALLOCATE_FAILURE_RETRY}@@{kPrimaryAllocationError, 0x05000000, CM_ALLOCATE_FAILURE_NO_RETRY}
vcpic/cpic_rcmap.cpp@@{kPrimaryDeallocNormal, CM_DEALLOCATED_NORMAL}@@{kPrimaryDeallocNormal, CM_DEALLOCATED_ABEND}
vcpic/cpic_rcmap.cpp@@CPIC_PROBLEM(kProblemUnmappedReturnCode, 1,@@CPIC_PROBLEM(kProblemUnmappedReturnCode, 2,
vcpic/cpic_cccb.cpp@@c->SideInfo.usUserIDLen = 1;@@c->SideInfo.usUserIDLen = 0;
vcpic/cpic_cccb.cpp@@if (cccb->DeallcLogData != nullptr) nba_mm_free(cccb->DeallcLogData, 0);@@
vcpic/cpic_cccb.cpp@@SCC_cccbs_using_tpid(cccb->TpId) <= 1@@SCC_cccbs_using_tpid(cccb->TpId) < 1
vcpic/cpic_cccb.cpp@@        nba_mm_free(c, 0);@@
vcpic/cpic_cccb.cpp@@if (cccb->usTraceVerb == kVerbCMDEAL) {@@if (cccb->usTraceVerb != kVerbCMDEAL) {
vcpic/cpic_frame.cpp@@frame.set_rc(CM_OPERATION_NOT_ACCEPTED);@@frame.set_rc(CM_PROGRAM_STATE_CHECK);
vcpic/cpic_frame.cpp@@v.hdr.conv_type = static_cast<uint8_t>(cccb->ulConversationType & 0xFFu);@@v.hdr.conv_type = 0;
vcpic/cpic_operation.cpp@@    ++pGCB->NumVerbsOutstanding;@@
vcpic/cpic_operation.cpp@@if (!c->usConvEnded || c->usVerbsOutstanding != 0@@if (c->usVerbsOutstanding != 0
vcpic/cpic_operation.cpp@@    vpm_wakeup(g->WaitObject);@@
vcpic/cpic_operation.cpp@@memcpy(c->TraceConvId, conversation_id, sizeof c->TraceConvId);@@memcpy(c->TraceConvId, conversation_id, 4);
vcpic/cpic_frame.cpp@@reinterpret_cast<CPIC_WORD>(rc_pointer_), o[0], o[1],@@reinterpret_cast<CPIC_WORD>(rc_pointer_), o[1], o[0],
vcpic/cpic_receive.cpp@@case 0x04: return CM_INCOMPLETE_DATA_RECEIVED;@@case 0x03: return CM_INCOMPLETE_DATA_RECEIVED;
vcpic/cpic_receive.cpp@@((c->ulFill & 0xFFu) ^ 1u)@@(c->ulFill & 0xFFu)
vcpic/cpic_receive.cpp@@if (status == CM_CONFIRM_DEALLOC_RECEIVED) c->usConfirmDealloc = 1;@@
vcpic/cpic_receive.cpp@@CPIC_PROBLEM(kProblemDataLengthInvalid, 0,@@CPIC_PROBLEM(kProblemDataLengthInvalid, 1,
vcpic/cpic_deallocate.cpp@@kDeallocAbendMapped = 5;@@kDeallocAbendMapped = 4;
vcpic/cpic_deallocate.cpp@@d.dealloc_kind = static_cast<uint8_t>(c->ulDeallocateType & 1u);@@d.dealloc_kind = static_cast<uint8_t>(c->ulDeallocateType & 3u);
vcpic/cpic_log.h@@if (!SCC_audit_suppressed())@@if (SCC_audit_suppressed())
vcpic/cpic_deallocate.cpp@@if (copy != nullptr) nba_mm_free(copy, 0);@@
vcpic/cpic_deallocate.cpp@@memcpy(copy, c->LogData, c->usLogDataLen);@@memcpy(copy, c->LogData, c->usLogDataLen - 1);
vcpic/cpic_util.h@@return c.ulConvId == 0 && c.usInitialized != 0;@@return c.ulConvId == 0 || c.usInitialized != 0;
vcpic/cpic_set.cpp@@(c.ulFill == CM_FILL_BUFFER || c.usLogDataLen != 0)@@(c.ulFill == CM_FILL_BUFFER)
vcpic/cpic_charsets.cpp@@if (c == kBrokenBar) return kBrokenBarEbcdic;@@if (c == kBrokenBar) return kNotSignEbcdic;
vcpic/cpic_charsets.cpp@@case Set::TypeAE: return is_alnum(c) || in(c, " #$.@");@@case Set::TypeAE: return is_alnum(c) || in(c, " #$@");
vcpic/cpic_control.cpp@@p.ptr_kind = static_cast<uint8_t>(c->ulPrepToReceiveType & 1u);@@p.ptr_kind = 0;
vcpic/cpic_control.cpp@@if (rts != nullptr) *rts = CM_REQ_TO_SEND_NOT_RECEIVED;@@if (rts != nullptr) *rts = CM_REQ_TO_SEND_RECEIVED;
vcpic/cpic_control.cpp@@        if (c->LogData != nullptr) nba_mm_free(c->LogData, 0);@@
vcpic/cpic_operation.cpp@@        if (c->usCompletionWaiting) return c;@@        if (!c->usCompletionWaiting) return c;
vcpic/cpic_nonblocking.cpp@@(g->NumVerbsWaiting == 0 && g->NumVerbsOutstanding == 0)@@(g->NumVerbsWaiting == 0)
vcpic/cpic_tpnames.cpp@@*length < 1 || *length > kTpNameSize@@*length < 2 || *length > kTpNameSize
vcpic/cpic_tpnames.cpp@@*length < 1 || *length > kTpNameSize@@*length < 1 || *length >= kTpNameSize
vcpic/cpic_tpnames.cpp@@        nba_mm_free(entry, 0);@@
vcpic/cpiclook.cpp@@limit, ' ');@@limit, '\0');
vcpic/cpiclook.cpp@@return primary_ == NOF_NO_SUCH_NAME_PRIMARY && secondary_ == NOF_NO_SUCH_NAME_SECONDARY;@@return primary_ == NOF_NO_SUCH_NAME_PRIMARY;
vcpic/cpic_security.cpp@@refuse_without_user_id,  1, 10,@@refuse_without_user_id,  1, 9,
vcpic/cpic_util.h@@    return type == CM_SECURITY_PROGRAM || type == CM_SECURITY_PROGRAM_STRONG;@@    return type == CM_SECURITY_PROGRAM;
vcpic/cpic_accept.cpp@@kAcceptWrongState = 2;@@kAcceptWrongState = 4;
vcpic/cpic_accept.cpp@@(*cccb)->usInitialized = 0;@@(*cccb)->usInitialized = 1;
vcpic/cpic_allocate.cpp@@if (a.security != kSecuritySameByte) memcpy(a.pwd@@memcpy(a.pwd
vcpic/cpic_allocate.cpp@@a.rtn_ctl = static_cast<uint8_t>(c->ulReturnControl & 0xFFu);@@a.rtn_ctl = 0;
vcpic/cpic_context.cpp@@SCC_null_callback, 1) == APPC_COMPLETED_SYNC)@@SCC_null_callback, 1) != APPC_COMPLETED_SYNC)
vcpic/cpic_context.cpp@@record->type = type;@@record->type = !type;
vcpic/cpicterm.cpp@@static_cast<uint32_t>(*end_type) > CM_SOFT@@static_cast<uint32_t>(*end_type) >= CM_SOFT
vcpic/cpicterm.cpp@@*end_type == CM_HARD ? AP_TP_END_HARD : AP_TP_END_SOFT@@*end_type == CM_HARD ? AP_TP_END_SOFT : AP_TP_END_HARD
vcpic/cpic_convert.cpp@@*buffer_length > kMaximumBufferSize@@*buffer_length >= kMaximumBufferSize
vcpic/cpic_init.cpp@@static_cast<uint16_t>((digits + 1) / 2)@@static_cast<uint16_t>(digits / 2)
vcpic/cpic_extract.cpp@@*partner_LU_name_length = s.usPLUNameLen;@@*partner_LU_name_length = s.usPLUNetIdLen;
vcpic/cpic_extract.cpp@@if (alias[0] == 0) f.set_rc(CM_PROGRAM_STATE_CHECK);@@
vcpic/cpic_extract.cpp@@static_cast<size_t>(blank - name) : kTpNameLength@@static_cast<size_t>(blank - name + 1) : kTpNameLength
vcpic/semutrcp.cpp@@Value(" Sync level = %s"@@Value(" Sync Level = %s"
vcpic/cpic_context.cpp@@    if (ended) cpic::op::node_dropped_verbs(tp_id);@@    if (!ended) cpic::op::node_dropped_verbs(tp_id);
vcpic/cpic_init.cpp@@        cpic::op::node_dropped_verbs(nullptr);@@
vcpic/cpic_operation.cpp@@        if (h->holders & kCallHolds) vpm_wakeup(h->wait_object);@@
vcpic/cpic_operation.cpp@@    if (held->holders != 0) return;@@    if (held->holders == 0) return;
vcpic/cpic_operation.cpp@@if (tp_id == nullptr || memcmp(@@if (tp_id != nullptr && memcmp(
vcpic/cpic_allocate.cpp@@    cancel.hdr.conv_id = c->vcb.hdr.conv_id;@@
vcpic/cpic_allocate.cpp@@a.sync_level = static_cast<uint8_t>(c->ulSyncLevel & 0xFFu);@@a.sync_level = 0;
vcpic/cpic_nonblocking.cpp@@        op::let_go(held, op::kNodeHolds);@@
vsvig/svmcspnt.cpp@@kClosingLength = 3;@@kClosingLength = 2;
vsvig/svmcspnt.cpp@@if (c == '0' && conv.width == 0) conv.zero_fill = true;@@if (c == '0') conv.zero_fill = true;
vsvig/svmcspnt.cpp@@put_number(out, conv, 0u - bits, 10, "-");@@put_number(out, conv, 0u - bits, 10, "");
vsvig/svmcspnt.cpp@@conv.alternate ? "0X" : ""@@conv.alternate ? "0x" : ""
vsvig/svmcspnt.cpp@@written_ > static_cast<int64_t>(size_) - kLimitMargin@@written_ >= static_cast<int64_t>(size_) - kLimitMargin
EOF
}

# A scratch copy of the tree (sources only) and one clean build of it.
# A file is copied only when its content differs, so the build sees exactly
# what changed since the last run.
mkdir -p "$scratch/src"
(cd "$root" && git ls-files -co --exclude-standard | grep -v '^build/') | while IFS= read -r f; do
  [ -f "$root/$f" ] || continue
  cmp -s "$root/$f" "$scratch/src/$f" || { mkdir -p "$(dirname "$scratch/src/$f")"; cp "$root/$f" "$scratch/src/$f"; }
done
for f in "$scratch/src/tests"/test_*.cpp; do [ -f "$root/tests/${f##*/}" ] || rm -f "$f"; done
# One test program instead of one per file: each mutant then relinks once.
cat > "$scratch/combined.cmake" <<'CMAKE'
file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
# The library's tests run over scripted answers; the engine's own tests
# need the loopback engine or a daemon and a process each, so they stay out.
list(FILTER sources EXCLUDE REGEX "test_(conversations|loopback|lu62_core|daemon|node)\\.cpp$")
add_executable(all_tests ${sources})
target_link_libraries(all_tests PRIVATE cpic_static zorvel gtest gtest_main)
target_include_directories(all_tests PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
add_test(NAME all_tests COMMAND all_tests)
set_tests_properties(all_tests PROPERTIES ENVIRONMENT
  "ZORVEL_ENGINE=scripted;ZORVEL_LOG_FILE=${CMAKE_CURRENT_BINARY_DIR}/all.log;ZORVEL_TRACE_FILE=${CMAKE_CURRENT_BINARY_DIR}/all.trc")
add_test(NAME exports COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.sh $<TARGET_FILE:cpic>
         ${CMAKE_CURRENT_SOURCE_DIR}/exports.txt)
include(${CMAKE_CURRENT_LIST_DIR}/c_api.cmake)
CMAKE
cmp -s "$scratch/combined.cmake" "$scratch/src/tests/CMakeLists.txt" || cp "$scratch/combined.cmake" "$scratch/src/tests/CMakeLists.txt"
build="$scratch/build"
cmake -S "$scratch/src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
cmake --build "$build" -j"$jobs" >/dev/null || { echo "the unmutated tree does not build"; exit 2; }
(cd "$build" && ctest -j"$jobs" >/dev/null) || { echo "the unmutated suite fails"; exit 2; }

caught=0 survived=0 stale=0 broken=0 n=0
while IFS= read -r row; do
  n=$((n + 1))
  [ -n "${ONLY:-}" ] && [[ " $ONLY " != *" $n "* ]] && continue
  file=${row%%@@*}; rest=${row#*@@}; text=${rest%%@@*}; repl=${rest#*@@}
  target="$scratch/src/$file"
  if ! TEXT=$text REPL=$repl perl -0777 -pi -e '$c = s/\Q$ENV{TEXT}\E/$ENV{REPL}/; END { exit($c ? 0 : 1) }' "$target"; then
    cp "$root/$file" "$target"
    echo "STALE    $n $file: $text"; stale=$((stale + 1)); continue
  fi
  if ! cmake --build "$build" -j"$jobs" >/dev/null 2>&1; then
    result=BROKEN; broken=$((broken + 1))
  else
    # The library's tests in the environment CTest gives them (without it
    # the engine below the script would be a live one, and a receive would
    # wait for a partner), bounded in time: a mutant may make a call hang.
    out=$(cd "$build/tests" && ZORVEL_ENGINE=scripted ZORVEL_LOG_FILE="$build/tests/all.log" \
      ZORVEL_TRACE_FILE="$build/tests/all.trc" timeout 120 ./all_tests --gtest_brief=1 2>&1)
    status=$?
    failed=$(echo "$out" | sed -nE 's/^\[  FAILED  \] ([A-Za-z0-9_/]+\.[A-Za-z0-9_/]+).*/\1/p' | sort -u | head -3 | tr '\n' ' ')
    if [ "$status" -eq 0 ] && (cd "$build" && ctest -j"$jobs" -E '^all_tests$' --timeout 120 >/dev/null 2>&1); then
      result=SURVIVED; survived=$((survived + 1))
    else
      result=CAUGHT; caught=$((caught + 1))
      [ "$status" -ne 124 ] || failed="${failed}(timed out)"
      [ "$status" -ne 0 ] || failed="exports or the C program"
    fi
  fi
  echo "$result $n $file: $text => $repl ${failed:+[$failed]}"
  failed=
  cp "$root/$file" "$target"
done < <(mutants)
cmake --build "$build" -j"$jobs" >/dev/null 2>&1
echo "caught $caught of $((caught + survived)) (stale $stale, not building $broken)"
[ "$survived" -eq 0 ]
