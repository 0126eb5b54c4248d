// SPDX-License-Identifier: Apache-2.0
// Two transaction programs, A and B, each on its own thread of one process,
// converse through the public CPI-C calls over the node's loopback engine.
//
// A scenario is a table of steps in one global order. Each step runs on the
// thread of its TP once every earlier step has started and every earlier
// step not marked `bg` has returned; a `bg` step is a call expected to wait
// for something its partner does later (an accept counts as started once
// its TP name is registered). Every scenario runs in a child
// process of its own (a fresh library and node, and a hung call cannot hang
// the suite); the child reports each step whose results differ from the
// table, or the steps still running when its watchdog fires.
//
// Basic-conversation data is written with {n} for a two-byte big-endian
// length field: "{5}abc" is one logical record of three bytes.
#include <crypt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "include/cpic.h"

namespace {

constexpr int32_t X = -1; // an output the step does not check
constexpr char A = 'A', B = 'B';

// The calls that differ only in which routine they are, by their shape.
const std::map<std::string_view, decltype(&CMSCT)> kValueCalls = {
    {"Sct", CMSCT}, {"Ssl", CMSSL}, {"Sst", CMSST},  {"Sptr", CMSPTR},
    {"Sf", CMSF},   {"Spm", CMSPM}, {"Scst", CMSCST}};
const std::map<std::string_view, decltype(&CMSTPN)> kTextCalls = {
    {"Stpn", CMSTPN}, {"Spln", CMSPLN}, {"Scsu", CMSCSU}, {"Scsp", CMSCSP}, {"Sld", CMSLD}};
const std::map<std::string_view, decltype(&CMALLC)> kPlainCalls = {
    {"Alloc", CMALLC}, {"Inic", CMINIC}, {"Cfmd", CMCFMD}, {"Flus", CMFLUS}, {"Rts", CMRTS}};
const std::map<std::string_view, decltype(&CMCFM)> kRtsCalls = {
    {"Cfm", CMCFM}, {"Serr", CMSERR}, {"Trts", CMTRTS}};

// One step. `arg` is the call's value argument (a characteristic, a
// requested length, a deallocate or prepare-to-receive type set just before
// the call, an end type); for Ecs and Wait it is the expected state or
// conversation return code. `in` is text going in (data, a name); `out` is
// the expected text coming back (received data, a user ID), unchecked when
// null. Pend: this TP checks that its partner's last call has not returned.
struct Row {
    char tp;
    std::string_view call; // the routine's name without CM
    int32_t arg = X;
    std::string_view in{};
    int32_t rc = CM_OK;
    std::string_view out{};
    int32_t dr = X, st = X, rts = X;
    bool bg = false;
};

const auto op = [](char tp, std::string_view c, int32_t rc = CM_OK) { return Row{tp, c, X, {}, rc}; };
const auto set = [](char tp, std::string_view c, int32_t v, int32_t rc = CM_OK) {
    return Row{tp, c, v, {}, rc};
};
const auto name = [](char tp, std::string_view c, std::string_view s) { return Row{tp, c, X, s}; };
const auto send = [](char tp, std::string_view d, int32_t rc = CM_OK, int32_t rts = X) {
    return Row{tp, "Send", X, d, rc, {}, X, X, rts};
};
const auto rcv = [](char tp, int32_t len, int32_t rc, std::string_view out = {}, int32_t dr = X,
                    int32_t st = X,
                    int32_t rts = X) { return Row{tp, "Rcv", len, {}, rc, out, dr, st, rts}; };
const auto rcvi = [](char tp, int32_t len, int32_t rc, std::string_view out = {}, int32_t dr = X,
                     int32_t st = X) { return Row{tp, "RcvI", len, {}, rc, out, dr, st}; };
const auto ecs = [](char tp, int32_t state) { return Row{tp, "Ecs", state}; };
const auto gone = [](char tp) { return Row{tp, "Ecs", X, {}, CM_PROGRAM_PARAMETER_CHECK}; };
const auto deal = [](char tp, int32_t type, int32_t rc = CM_OK) { return Row{tp, "Deal", type, {}, rc}; };
const auto ptr = [](char tp, int32_t type, int32_t rc = CM_OK) { return Row{tp, "Ptr", type, {}, rc}; };
const auto with_rts = [](char tp, std::string_view c, int32_t rc, int32_t rts) {
    return Row{tp, c, X, {}, rc, {}, X, X, rts};
};
const auto wait = [](char tp, int32_t conv_rc, std::string_view out = {}, int32_t dr = X, int32_t st = X) {
    return Row{tp, "Wait", conv_rc, {}, CM_OK, out, dr, st};
};
const auto accept = [](char tp, std::string_view tpname, int32_t rc = CM_OK) {
    return Row{tp, "Accept", X, tpname, rc, {}, X, X, X, true};
};
const auto esui = [](char tp, std::string_view user) { return Row{tp, "Esui", X, {}, CM_OK, user}; };
const auto bg = [](Row r) {
    r.bg = true;
    return r;
};
// The partner of `waiter` checks that waiter's last call is still waiting.
const auto still_waiting = [](char waiter) { return Row{waiter == A ? B : A, "Pend"}; };

// States, indicators and codes, short enough for one-line rows.
constexpr int32_t SEND = CM_SEND_STATE, RECV = CM_RECEIVE_STATE, SPEND = CM_SEND_PENDING_STATE,
                  CONF = CM_CONFIRM_STATE, CONFS = CM_CONFIRM_SEND_STATE, CONFD = CM_CONFIRM_DEALLOCATE_STATE,
                  NODATA = CM_NO_DATA_RECEIVED, DATA = CM_DATA_RECEIVED, COMPLETE = CM_COMPLETE_DATA_RECEIVED,
                  INCOMPLETE = CM_INCOMPLETE_DATA_RECEIVED, NOST = CM_NO_STATUS_RECEIVED,
                  SENDR = CM_SEND_RECEIVED, CFMR = CM_CONFIRM_RECEIVED, CFMSR = CM_CONFIRM_SEND_RECEIVED,
                  CFMDR = CM_CONFIRM_DEALLOC_RECEIVED, STATE_CHECK = CM_PROGRAM_STATE_CHECK,
                  PARM_CHECK = CM_PROGRAM_PARAMETER_CHECK;

// How most scenarios open their conversation: B lists the TP name and
// accepts, A initialises from side information, sets type and sync level,
// allocates and flushes the attach.
std::vector<Row> opened(int32_t type, int32_t sync, const char *tpname) {
    return {accept(B, tpname),       op(A, "Init"),  set(A, "Sct", type), set(A, "Ssl", sync),
            name(A, "Stpn", tpname), op(A, "Alloc"), op(A, "Flus")};
}
const std::vector<Row> kMapNone = opened(CM_MAPPED_CONVERSATION, CM_NONE, "SCENTP");
const std::vector<Row> kMapCfm = opened(CM_MAPPED_CONVERSATION, CM_CONFIRM, "SCENTP");
const std::vector<Row> kBasNone = opened(CM_BASIC_CONVERSATION, CM_NONE, "BASICTP");
const std::vector<Row> kBasCfm = opened(CM_BASIC_CONVERSATION, CM_CONFIRM, "BASICTP");

// A allocates to B with program security, and the attach leaves.
const std::vector<Row> kSecured = {accept(B, "SECTP"),       op(A, "Init"),
                                   name(A, "Stpn", "SECTP"), set(A, "Scst", CM_SECURITY_PROGRAM),
                                   name(A, "Scsu", "CLERK"), name(A, "Scsp", "SECRET"),
                                   op(A, "Alloc"),           op(A, "Flus")};

// A allocates as set up before; the attach leaves with the receive that
// follows, which reports the rejection.
std::vector<Row> rejected(int32_t rc) {
    return {op(A, "Alloc"), rcv(A, 10, rc), gone(A)};
}

// Calls the state in force does not allow: each is a state check that
// leaves the state as it was.
std::vector<Row> refused(char tp, int32_t state, std::vector<std::string_view> calls) {
    std::vector<Row> r;
    for (std::string_view c : calls) {
        if (c == "Deal")
            r.push_back(deal(tp, CM_DEALLOCATE_FLUSH, STATE_CHECK));
        else if (c == "Ptr")
            r.push_back(ptr(tp, CM_PREP_TO_RECEIVE_FLUSH, STATE_CHECK));
        else if (c == "Send")
            r.push_back(send(tp, "no", STATE_CHECK));
        else if (c == "Rcv" || c == "RcvI")
            r.push_back(Row{tp, c, 10, {}, STATE_CHECK});
        else
            r.push_back(op(tp, c, STATE_CHECK));
    }
    r.push_back(ecs(tp, state));
    return r;
}

struct Scenario {
    const char *name;
    std::vector<Row> rows;
};

void add(std::vector<Row> &to, const Row &r) {
    to.push_back(r);
}
void add(std::vector<Row> &to, const std::vector<Row> &rows) {
    to.insert(to.end(), rows.begin(), rows.end());
}
// A scenario of rows and sequences of rows, in order.
template <typename... Parts>
Scenario S(const char *name, const Parts &...parts) {
    Scenario s{name, {}};
    (add(s.rows, parts), ...);
    return s;
}

const std::vector<Scenario> &scenarios() {
    static const std::vector<Scenario> s = {
        // ---- State table: allowed transitions, state by state.
        S("SendKindsStayInSend", kMapCfm, send(A, "b"), ecs(A, SEND), set(A, "Sst", CM_SEND_AND_FLUSH),
          send(A, "f"), ecs(A, SEND), op(A, "Flus"), rcv(B, 9, CM_OK, "b", COMPLETE, NOST),
          rcv(B, 9, CM_OK, "f", COMPLETE, NOST), bg(with_rts(A, "Cfm", CM_OK, 0)),
          rcv(B, 9, CM_OK, {}, NODATA, CFMR), op(B, "Cfmd"), ecs(B, RECV), ecs(A, SEND)),
        S("PrepareToReceiveFromSendPending", kMapNone, ptr(A, X), rcv(B, 9, CM_OK, {}, NODATA, SENDR),
          ecs(B, SEND), send(B, "d"), ptr(B, X), ecs(B, RECV), rcv(A, 9, CM_OK, "d", COMPLETE, SENDR),
          ecs(A, SPEND), ptr(A, X), ecs(A, RECV), rcv(B, 9, CM_OK, {}, NODATA, SENDR), ecs(B, SEND)),
        S("ReceiveInSendFlushesAndTurns", kMapNone, send(A, "q"), bg(rcv(A, 9, CM_OK, "r", COMPLETE, SENDR)),
          rcv(B, 9, CM_OK, "q", COMPLETE, SENDR), ecs(B, SPEND), set(B, "Sst", CM_SEND_AND_PREP_TO_RECEIVE),
          send(B, "r"), ecs(B, RECV), ecs(A, SPEND)),
        S("ReceiveInSendPendingActsAsSend", kMapNone, set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE),
          send(A, "q"), rcv(B, 9, CM_OK, "q", COMPLETE, SENDR), bg(rcv(B, 9, CM_OK, {}, NODATA, SENDR)),
          rcv(A, 9, CM_OK, {}, NODATA, SENDR), ecs(A, SEND), ptr(A, X), ecs(B, SEND)),
        S("ConfirmedFromConfirm", kMapCfm, set(A, "Sst", CM_SEND_AND_CONFIRM), bg(send(A, "c")),
          rcv(B, 9, CM_OK, "c", COMPLETE, CFMR), still_waiting(A), ecs(B, CONF), op(B, "Cfmd"), ecs(B, RECV),
          ecs(A, SEND)),
        S("ConfirmedFromConfirmSend", kMapCfm, set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE), bg(send(A, "c")),
          rcv(B, 9, CM_OK, "c", COMPLETE, CFMSR), still_waiting(A), ecs(B, CONFS), op(B, "Cfmd"),
          ecs(B, SEND), ecs(A, RECV)),
        S("PrepareToReceiveConfirmUnderConfirm", kMapCfm, bg(ptr(A, CM_PREP_TO_RECEIVE_CONFIRM)),
          rcv(B, 9, CM_OK, {}, NODATA, CFMSR), still_waiting(A), op(B, "Cfmd"), ecs(B, SEND), ecs(A, RECV)),
        S("SendErrorFromEveryState", kMapCfm,
          /* from Send, then from Confirm */ with_rts(A, "Serr", CM_OK, 0), ecs(A, SEND),
          set(A, "Sst", CM_SEND_AND_CONFIRM), bg(send(A, "c", CM_PROGRAM_ERROR_PURGING)),
          rcv(B, 9, CM_PROGRAM_ERROR_NO_TRUNC), rcv(B, 9, CM_OK, "c", COMPLETE, CFMR),
          with_rts(B, "Serr", CM_OK, X), ecs(B, SEND), op(B, "Flus"), ecs(A, RECV),
          /* from Receive */ with_rts(B, "Serr", CM_OK, X), ecs(B, SEND), ptr(B, CM_PREP_TO_RECEIVE_FLUSH),
          rcv(A, 9, CM_PROGRAM_ERROR_NO_TRUNC), rcv(A, 9, CM_OK, {}, NODATA, SENDR), ecs(A, SEND),
          /* from Send_Pending */ set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE),
          set(A, "Sptr", CM_PREP_TO_RECEIVE_FLUSH), send(A, "p"), rcv(B, 9, CM_OK, "p", COMPLETE, SENDR),
          ecs(B, SPEND), with_rts(B, "Serr", CM_OK, X), ecs(B, SEND)),
        S("SendErrorFromConfirmSendAndDeallocate", kMapCfm, set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE),
          bg(send(A, "c", CM_PROGRAM_ERROR_PURGING)), rcv(B, 9, CM_OK, "c", COMPLETE, CFMSR),
          with_rts(B, "Serr", CM_OK, X), ecs(B, SEND), op(B, "Flus"), ecs(A, RECV),
          bg(deal(B, CM_DEALLOCATE_SYNC_LEVEL, CM_PROGRAM_ERROR_PURGING)),
          rcv(A, 9, CM_OK, {}, NODATA, CFMDR), with_rts(A, "Serr", CM_OK, X), ecs(A, SEND), op(A, "Flus"),
          ecs(B, RECV), deal(A, CM_DEALLOCATE_FLUSH), gone(A), rcv(B, 9, CM_DEALLOCATED_NORMAL), gone(B)),
        // The partner's request to send is reported by the first call that
        // can report it, and then no more.
        S("RequestToSendInEveryState", kMapCfm, op(A, "Rts"), op(B, "Rts"), with_rts(A, "Trts", CM_OK, 1),
          with_rts(A, "Trts", CM_OK, 0), set(A, "Sst", CM_SEND_AND_CONFIRM), bg(send(A, "c")),
          rcv(B, 9, CM_OK, "c", COMPLETE, CFMR), op(B, "Rts"), ecs(B, CONF), op(B, "Cfmd"), ecs(B, RECV)),
        S("DeallocateAbendFromConfirm", kMapCfm, set(A, "Sst", CM_SEND_AND_CONFIRM),
          bg(send(A, "c", CM_DEALLOCATED_ABEND)), rcv(B, 9, CM_OK, "c", COMPLETE, CFMR),
          deal(B, CM_DEALLOCATE_ABEND), gone(B), gone(A)),
        S("DeallocateAbendFromReceive", kMapNone, deal(B, CM_DEALLOCATE_ABEND), gone(B),
          send(A, "x", CM_DEALLOCATED_ABEND), gone(A)),
        S("DeallocateFromSendPending", kMapNone, set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE), send(A, "q"),
          rcv(B, 9, CM_OK, "q", COMPLETE, SENDR), deal(B, CM_DEALLOCATE_FLUSH), gone(B),
          rcv(A, 9, CM_DEALLOCATED_NORMAL), gone(A)),
        S("SendAndDeallocateFromSendPending", kMapNone, set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE),
          send(A, "q"), rcv(B, 9, CM_OK, "q", COMPLETE, SENDR), set(B, "Sst", CM_SEND_AND_DEALLOCATE),
          send(B, "end"), gone(B), rcv(A, 9, CM_OK, "end", COMPLETE, NOST), rcv(A, 9, CM_DEALLOCATED_NORMAL),
          gone(A)),
        S("DataWithConfirmDeallocate", kMapCfm, send(A, "hello"), bg(with_rts(A, "Cfm", CM_OK, 0)),
          rcv(B, 9, CM_OK, "hello", COMPLETE, CFMR), op(B, "Cfmd"),
          bg(rcv(A, 9, CM_OK, "world", COMPLETE, CFMDR)), rcv(B, 9, CM_OK, {}, NODATA, SENDR),
          send(B, "world"), bg(deal(B, CM_DEALLOCATE_SYNC_LEVEL)), op(A, "Cfmd"), gone(A), gone(B)),
        // ---- State table: the state checks, state by state.
        S("StateChecksInSend", kMapCfm, refused(A, SEND, {"Cfmd", "RcvI"})),
        S("StateChecksInReceive", kMapCfm, refused(B, RECV, {"Send", "Flus", "Cfm", "Ptr", "Deal", "Cfmd"})),
        S("StateChecksInSendPending", kMapCfm, set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE),
          set(A, "Sptr", CM_PREP_TO_RECEIVE_FLUSH), send(A, "q"), rcv(B, 9, CM_OK, "q", COMPLETE, SENDR),
          refused(B, SPEND, {"Cfmd", "RcvI"})),
        S("StateChecksInConfirm", kMapCfm, set(A, "Sst", CM_SEND_AND_CONFIRM), bg(send(A, "c")),
          rcv(B, 9, CM_OK, "c", COMPLETE, CFMR),
          refused(B, CONF, {"Send", "Flus", "Cfm", "Ptr", "Deal", "Rcv", "RcvI", "Trts"}), op(B, "Cfmd")),
        S("StateChecksInConfirmSend", kMapCfm, set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE), bg(send(A, "c")),
          rcv(B, 9, CM_OK, "c", COMPLETE, CFMSR),
          refused(B, CONFS, {"Send", "Flus", "Cfm", "Ptr", "Deal", "Rcv", "RcvI", "Trts"}), op(B, "Cfmd")),
        S("StateChecksInConfirmDeallocate", kMapCfm, bg(deal(A, CM_DEALLOCATE_SYNC_LEVEL)),
          rcv(B, 9, CM_OK, {}, NODATA, CFMDR),
          refused(B, CONFD, {"Send", "Flus", "Cfm", "Ptr", "Deal", "Rcv", "RcvI", "Trts"}), op(B, "Cfmd"),
          gone(B)),
        // ---- What the partner sees.
        S("BufferedDataWaitsForFlush", kMapNone, send(A, "buf"), rcvi(B, 9, CM_UNSUCCESSFUL), op(A, "Flus"),
          rcvi(B, 9, CM_OK, "buf", COMPLETE, NOST)),
        S("DeallocateSyncLevelNoneIsNormal", kMapNone, send(A, "bye"), deal(A, CM_DEALLOCATE_SYNC_LEVEL),
          gone(A), rcv(B, 9, CM_OK, "bye", COMPLETE, NOST), rcv(B, 9, CM_DEALLOCATED_NORMAL), gone(B)),
        S("DeallocateConfirmUnderNoneIsNormal", kMapNone, deal(A, CM_DEALLOCATE_CONFIRM), gone(A),
          rcv(B, 9, CM_DEALLOCATED_NORMAL), gone(B)),
        S("DeallocateConfirmAnsweredBySendError", kMapCfm,
          bg(deal(A, CM_DEALLOCATE_CONFIRM, CM_PROGRAM_ERROR_PURGING)), rcv(B, 9, CM_OK, {}, NODATA, CFMDR),
          with_rts(B, "Serr", CM_OK, X), op(B, "Flus"), ecs(A, RECV), deal(B, CM_DEALLOCATE_FLUSH),
          rcv(A, 9, CM_DEALLOCATED_NORMAL), gone(A)),
        S("DeallocateAbendPurgesData", kMapNone, set(A, "Sst", CM_SEND_AND_FLUSH), send(A, "lost"),
          deal(A, CM_DEALLOCATE_ABEND), gone(A), rcv(B, 9, CM_DEALLOCATED_ABEND), gone(B)),
        S("DeallocateAbendBasicWithLogData", kBasNone, send(A, "{4}ok"), name(A, "Sld", "trouble"),
          deal(A, CM_DEALLOCATE_ABEND), gone(A), rcv(B, 9, CM_DEALLOCATED_ABEND), gone(B)),
        S("SendErrorBySenderMapped", kMapNone, set(A, "Sst", CM_SEND_AND_FLUSH), send(A, "abc"),
          with_rts(A, "Serr", CM_OK, 0), op(A, "Flus"), rcv(B, 9, CM_OK, "abc", COMPLETE, NOST),
          rcv(B, 9, CM_PROGRAM_ERROR_NO_TRUNC), ecs(B, RECV), send(A, "def"),
          rcv(B, 9, CM_OK, "def", COMPLETE, NOST)),
        S("SendErrorOnRecordBoundaryBasic", kBasNone, set(A, "Sst", CM_SEND_AND_FLUSH), send(A, "{5}abc"),
          op(A, "Serr"), op(A, "Flus"), rcv(B, 20, CM_OK, "{5}abc", COMPLETE, NOST),
          rcv(B, 20, CM_PROGRAM_ERROR_NO_TRUNC)),
        S("SendErrorCutsBasicRecord", kBasNone, set(A, "Sst", CM_SEND_AND_FLUSH), send(A, "{10}abcd"),
          op(A, "Serr"), op(A, "Flus"), rcv(B, 20, CM_PROGRAM_ERROR_TRUNC), ecs(B, RECV), send(A, "{4}ok"),
          rcv(B, 20, CM_OK, "{4}ok", COMPLETE)),
        S("SendErrorByReceiverPurgesData", kMapNone, set(A, "Sst", CM_SEND_AND_FLUSH), send(A, "one"),
          send(A, "two"), rcv(B, 9, CM_OK, "one", COMPLETE, NOST), op(B, "Serr"), op(B, "Flus"),
          send(A, "three", CM_PROGRAM_ERROR_PURGING), ecs(A, RECV), ptr(B, CM_PREP_TO_RECEIVE_FLUSH),
          rcv(A, 9, CM_OK, {}, NODATA, SENDR), send(A, "four"), rcv(B, 9, CM_OK, "four", COMPLETE, NOST)),
        S("SendErrorByReceiverKeepsRequestToSend", kMapNone, set(A, "Sst", CM_SEND_AND_FLUSH), send(A, "one"),
          op(A, "Rts"), with_rts(B, "Serr", CM_OK, 1)),
        S("RequestToSendReachesSender", kMapNone, op(B, "Rts"), set(A, "Sst", CM_SEND_AND_FLUSH),
          send(A, "x", CM_OK, 1), send(A, "y", CM_OK, 0), ptr(A, X), rcv(B, 9, CM_OK, "x", COMPLETE, NOST),
          rcv(B, 9, CM_OK, "y", COMPLETE, SENDR)),
        // ---- Basic data.
        S("BasicFillLLRecords", kBasNone, send(A, "{5}abc{2}{4}xy"), op(A, "Flus"),
          rcv(B, 50, CM_OK, "{5}abc", COMPLETE, NOST), rcv(B, 50, CM_OK, "{2}", COMPLETE, NOST),
          rcv(B, 50, CM_OK, "{4}xy", COMPLETE, NOST)),
        S("BasicFillLLIncomplete", kBasNone, send(A, "{12}abcdefghij"), op(A, "Flus"),
          rcv(B, 4, CM_OK, "{12}ab", INCOMPLETE, NOST), rcv(B, 4, CM_OK, "cdef", INCOMPLETE, NOST),
          rcv(B, 50, CM_OK, "ghij", COMPLETE, NOST)),
        S("BasicRecordSpansSends", kBasNone, send(A, "{8}abc"), send(A, "def"), op(A, "Flus"),
          rcv(B, 50, CM_OK, "{8}abcdef", COMPLETE, NOST)),
        // A fill-buffer receive waits until its buffer is full, or until a
        // status arrives behind the data, which then comes with it.
        S("BasicFillBuffer", kBasNone, set(B, "Sf", CM_FILL_BUFFER), send(A, "{5}abc"), op(A, "Flus"),
          bg(rcv(B, 8, CM_OK, "{5}abc{4}d", DATA, NOST)), still_waiting(B), send(A, "{4}de"), op(A, "Flus"),
          bg(rcv(B, 8, CM_OK, "e", DATA, SENDR)), op(A, "Flus"), still_waiting(B), ptr(A, X), ecs(B, SPEND)),
        S("BasicInvalidLLSendsNothing", kBasNone, send(A, "{0}ab", PARM_CHECK), send(A, "{1}", PARM_CHECK),
          send(A, "{32768}ab", PARM_CHECK), send(A, "{32769}a", PARM_CHECK), send(A, "{5}abc{1}", PARM_CHECK),
          ecs(A, SEND), send(A, "{4}ok"), op(A, "Flus"), rcv(B, 50, CM_OK, "{4}ok", COMPLETE, NOST)),
        S("BasicNotOnRecordBoundary", kBasCfm, send(A, "{10}abc"), refused(A, SEND, {"Cfm", "Ptr", "Deal"}),
          send(A, "defgh"), op(A, "Flus"), rcv(B, 50, CM_OK, "{10}abcdefgh", COMPLETE)),
        // ---- Mapped data.
        S("MappedShortBuffer", kMapNone, send(A, "hello world"), op(A, "Flus"),
          rcv(B, 5, CM_OK, "hello", INCOMPLETE, NOST), rcv(B, 5, CM_OK, " worl", INCOMPLETE, NOST),
          rcv(B, 5, CM_OK, "d", COMPLETE, NOST)),
        S("MappedEmptyAndSeparateRecords", kMapNone, send(A, ""), send(A, "{1}"), send(A, "two"),
          op(A, "Flus"), rcv(B, 9, CM_OK, "", COMPLETE, NOST), rcv(B, 9, CM_OK, "{1}", COMPLETE, NOST),
          rcv(B, 9, CM_OK, "two", COMPLETE, NOST)),
        S("MappedRecordWithStatus", kMapNone, set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE), send(A, "abcdef"),
          rcv(B, 4, CM_OK, "abcd", INCOMPLETE, NOST), rcv(B, 4, CM_OK, "ef", COMPLETE, SENDR), ecs(B, SPEND)),
        // ---- Allocation errors, reported on the call after the allocate.
        S("UnknownPartnerLuFailsTheAllocate", op(A, "Init"), name(A, "Spln", "FAR"),
          op(A, "Alloc", CM_ALLOCATE_FAILURE_NO_RETRY)),
        S("TpNameNotRecognised", op(A, "Init"), name(A, "Stpn", "NOSUCH"), rejected(CM_TPN_NOT_RECOGNISED)),
        S("ConversationTypeMismatch", op(A, "Init"), name(A, "Stpn", "BASICTP"),
          rejected(CM_CONVERSATION_TYPE_MISMATCH)),
        S("SyncLevelNotSupportedNone", op(A, "Init"), name(A, "Stpn", "CFMTP"),
          rejected(CM_SYNC_LEVEL_NOT_SUPPORTED_PGM)),
        // Nobody accepts: the attach times out in the queue after 100 ms.
        S("QueuedAttachTimesOut", op(A, "Init"), name(A, "Stpn", "QUICK"),
          rejected(CM_TP_NOT_AVAILABLE_RETRY)),
        S("SecurityWrongPassword", op(A, "Init"), name(A, "Stpn", "SECTP"),
          set(A, "Scst", CM_SECURITY_PROGRAM), name(A, "Scsu", "CLERK"), name(A, "Scsp", "SECRED"),
          rejected(CM_SECURITY_NOT_VALID)),
        // ---- Routing and program security that succeed.
        S("RegisteredNameByQualifiedLu", accept(B, "REGTP"), op(A, "Init"), name(A, "Spln", "ZORVEL.LOCAL"),
          name(A, "Stpn", "REGTP"), op(A, "Alloc"), set(A, "Sst", CM_SEND_AND_FLUSH), send(A, "hi"),
          rcv(B, 9, CM_OK, "hi", COMPLETE)),
        S("AttachQueuedUntilAccepted", op(A, "Init"), set(A, "Sst", CM_SEND_AND_FLUSH), op(A, "Alloc"),
          send(A, "early"), accept(B, "SCENTP"), rcv(B, 9, CM_OK, "early", COMPLETE)),
        S("SecurityProgramAccepted", kSecured, esui(B, "CLERK"), ecs(B, RECV)),
        // An already verified user is taken where security is required only
        // when this node defines it.
        S("SecuritySameCarriesUserId", accept(B, "SECTP"), op(A, "Init"), name(A, "Stpn", "SECTP"),
          set(A, "Scst", CM_SECURITY_SAME), name(A, "Scsu", "CLERK"), op(A, "Alloc"), op(A, "Flus"),
          esui(B, "CLERK")),
        S("SecuritySameUserUnknownHere", op(A, "Init"), name(A, "Stpn", "SECTP"),
          set(A, "Scst", CM_SECURITY_SAME), name(A, "Scsu", "MALLORY"), rejected(CM_SECURITY_NOT_VALID)),
        S("SecurityRequiredNoneSent", op(A, "Init"), name(A, "Stpn", "SECTP"),
          rejected(CM_SECURITY_NOT_VALID)),
        // ---- End of a TP: the acceptor's TP (its context, set by the user ID) ends.
        S("TerminateSoftAbendsPartner", kSecured, ecs(B, RECV), set(B, "Term", CM_SOFT), gone(B),
          rcv(A, 9, CM_DEALLOCATED_ABEND_SVC), gone(A)),
        // ---- Non-blocking calls completed through Wait and Check.
        S("NonBlockingReceiveWaitAndCheck", kMapNone, set(B, "Spm", CM_NON_BLOCKING),
          rcv(B, 9, CM_OPERATION_INCOMPLETE), op(B, "Chck", CM_UNSUCCESSFUL),
          rcv(B, 9, CM_OPERATION_NOT_ACCEPTED), set(A, "Sst", CM_SEND_AND_FLUSH), send(A, "hi"),
          op(B, "Chck"), wait(B, CM_OK, "hi", COMPLETE, NOST), Row{B, "Wait", X, {}, STATE_CHECK},
          op(B, "Chck", STATE_CHECK)),
        S("NonBlockingReceiveWokenInWait", kMapNone, set(A, "Sst", CM_SEND_AND_PREP_TO_RECEIVE),
          send(A, "ping"), set(A, "Spm", CM_NON_BLOCKING), rcv(A, 9, CM_OPERATION_INCOMPLETE),
          bg(wait(A, CM_OK, "pong", COMPLETE)), rcv(B, 9, CM_OK, "ping", COMPLETE, SENDR),
          set(B, "Sst", CM_SEND_AND_DEALLOCATE), send(B, "pong"), gone(B), rcv(A, 9, CM_DEALLOCATED_NORMAL),
          gone(A)),
        S("NonBlockingSendConfirm", kMapCfm, set(A, "Spm", CM_NON_BLOCKING),
          set(A, "Sst", CM_SEND_AND_CONFIRM), send(A, "c", CM_OPERATION_INCOMPLETE),
          send(A, "d", CM_OPERATION_NOT_ACCEPTED), rcv(B, 9, CM_OK, "c", COMPLETE, CFMR), op(B, "Cfmd"),
          wait(A, CM_OK), ecs(A, SEND)),
        S("NonBlockingAccept", op(B, "Inic"), set(B, "Spm", CM_NON_BLOCKING),
          Row{B, "Acci", X, "SCENTP", CM_OPERATION_INCOMPLETE}, op(A, "Init"), op(A, "Alloc"), op(A, "Flus"),
          wait(B, CM_OK), ecs(B, RECV)),
    };
    return s;
}

// ---- The driver (runs in the child process).

std::string encode(std::string_view s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '{') {
            r += s[i];
            continue;
        }
        size_t end = s.find('}', i);
        unsigned long n = std::strtoul(std::string(s.substr(i + 1, end - i - 1)).c_str(), nullptr, 10);
        r += static_cast<char>(n >> 8);
        r += static_cast<char>(n & 0xFF);
        i = end;
    }
    return r;
}

struct TpState {
    unsigned char cid[8] = {};
    std::array<unsigned char, 32768> buf{};
    CM_INT32 dr = -7, len = -7, st = -7, rts = -7, send_rts = -7;
    std::deque<std::string> keep; // the buffers of calls that may complete later
};

class Play {
  public:
    explicit Play(const std::vector<Row> &rows) : rows_(rows), started_(rows.size()), done_(rows.size()) {}

    // Runs both TPs; the report lists every difference, empty when none.
    std::string go(std::chrono::milliseconds limit) {
        std::thread ta([this] { tp(A); }), tb([this] { tp(B); });
        std::unique_lock<std::mutex> lk(m_);
        const bool finished = cv_.wait_for(lk, limit, [this] { return finished_ == 2; });
        for (size_t i = 0; i < rows_.size() && !finished; ++i)
            if (started_[i] && !done_[i]) report_ << where(i) << ": still running at the time limit\n";
        for (size_t i = 0; i < rows_.size() && !finished; ++i)
            if (!started_[i]) {
                report_ << where(i) << ": never started\n";
                break;
            }
        const std::string r = report_.str();
        lk.unlock();
        for (std::thread *t : {&ta, &tb}) finished ? t->join() : t->detach();
        return r;
    }

  private:
    std::string where(size_t i) const {
        return "row " + std::to_string(i) + " " + rows_[i].tp + " " + std::string(rows_[i].call);
    }

    static bool registers(const Row &r) { return r.call == "Accept" || r.call == "Acci"; }

    void tp(char me) {
        for (size_t i = 0; i < rows_.size(); ++i) {
            if (rows_[i].tp != me) continue;
            {
                std::unique_lock<std::mutex> lk(m_);
                cv_.wait(lk, [&] {
                    for (size_t j = 0; j < i; ++j)
                        if (!started_[j] || (!rows_[j].bg && !done_[j])) return false;
                    return true;
                });
                // An accept starts once its TP name is registered: an
                // allocate that follows it must find the name.
                if (!registers(rows_[i])) started_[i] = true;
                last_[me == A ? 0 : 1] = i;
            }
            cv_.notify_all();
            std::string diff = call(i, me == A ? a_ : b_);
            mark_started(i);
            std::lock_guard<std::mutex> lk(m_);
            if (!diff.empty()) report_ << where(i) << ":" << diff << "\n";
            done_[i] = true;
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> lk(m_);
        ++finished_;
        cv_.notify_all();
    }

    static void expect(std::string &diff, const char *what, int32_t want, int32_t got) {
        if (want != X && want != got)
            diff +=
                std::string(" ") + what + " expected " + std::to_string(want) + " got " + std::to_string(got);
    }

    // The outputs of the TP's last receive (possibly completed later).
    static void received(std::string &diff, const Row &r, const TpState &t) {
        if (r.out.data() != nullptr) {
            std::string want = encode(r.out);
            std::string got(reinterpret_cast<const char *>(t.buf.data()),
                            t.len >= 0 ? static_cast<size_t>(t.len) : 0);
            if (got != want)
                diff += " data expected \"" + std::string(r.out) + "\" got " + std::to_string(t.len) +
                        " bytes \"" + got + "\"";
        }
        expect(diff, "data_received", r.dr, t.dr);
        expect(diff, "status_received", r.st, t.st);
        expect(diff, "request_to_send_received", r.rts, t.rts);
    }

    void mark_started(size_t i) {
        {
            std::lock_guard<std::mutex> lk(m_);
            started_[i] = true;
        }
        cv_.notify_all();
    }

    std::string call(size_t i, TpState &t) {
        const Row &r = rows_[i];
        CM_RETURN_CODE rc = -7;
        CM_INT32 v = r.arg;
        std::string diff;
        std::string text(r.in);
        auto *in = reinterpret_cast<unsigned char *>(text.data());
        CM_INT32 n = static_cast<CM_INT32>(text.size());
        const std::string_view c = r.call;
        unsigned char cid[8] = {}; // what Wait and Check hand out
        if (auto f = kValueCalls.find(c); f != kValueCalls.end()) {
            f->second(t.cid, &v, &rc);
        } else if (auto g = kTextCalls.find(c); g != kTextCalls.end()) {
            g->second(t.cid, in, &n, &rc);
        } else if (auto h = kPlainCalls.find(c); h != kPlainCalls.end()) {
            h->second(t.cid, &rc);
        } else if (auto k = kRtsCalls.find(c); k != kRtsCalls.end() || c == "Send") {
            t.send_rts = -7;
            if (c == "Send") {
                t.keep.push_back(encode(r.in));
                CM_INT32 len = static_cast<CM_INT32>(t.keep.back().size());
                CMSEND(t.cid, reinterpret_cast<unsigned char *>(t.keep.back().data()), &len, &t.send_rts,
                       &rc);
            } else {
                k->second(t.cid, &t.send_rts, &rc);
            }
            if (rc == r.rc && rc != CM_OPERATION_INCOMPLETE)
                expect(diff, "request_to_send_received", r.rts, t.send_rts);
        } else if (c == "Init") {
            unsigned char sdn[8] = {'S', 'C', 'E', 'N', ' ', ' ', ' ', ' '};
            CMINIT(t.cid, sdn, &rc);
        } else if (c == "Accept" || c == "Acci") {
            CMSLTP(in, &n, &rc);
            mark_started(i);
            if (rc == CM_OK) (c == "Accept" ? CMACCP : CMACCI)(t.cid, &rc);
        } else if (c == "Rcv" || c == "RcvI") {
            CM_INT32 type = CM_RECEIVE_IMMEDIATE, back = CM_RECEIVE_AND_WAIT, src = 0;
            if (c == "RcvI") CMSRT(t.cid, &type, &src);
            t.dr = t.len = t.st = t.rts = -7;
            CMRCV(t.cid, t.buf.data(), &v, &t.dr, &t.len, &t.st, &t.rts, &rc);
            if (c == "RcvI" && rc != CM_PROGRAM_PARAMETER_CHECK) CMSRT(t.cid, &back, &src);
            if (rc != CM_OPERATION_INCOMPLETE && rc == r.rc) received(diff, r, t);
        } else if (c == "Ptr" || c == "Deal") {
            if (v != X) (c == "Ptr" ? CMSPTR : CMSDT)(t.cid, &v, &rc);
            (c == "Ptr" ? CMPTR : CMDEAL)(t.cid, &rc);
        } else if (c == "Ecs") {
            CM_CONVERSATION_STATE state = -7;
            CMECS(t.cid, &state, &rc);
            if (rc == CM_OK) expect(diff, "state", r.arg, state);
        } else if (c == "Esui") {
            unsigned char uid[10] = {};
            CM_INT32 len = 0;
            CMESUI(t.cid, uid, &len, &rc);
            std::string got(reinterpret_cast<char *>(uid),
                            len >= 0 && len <= 10 ? static_cast<size_t>(len) : 0);
            if (rc == CM_OK && got != r.out)
                diff += " user ID expected " + std::string(r.out) + " got " + got;
        } else if (c == "Term") {
            CMTERM(&v, &rc);
        } else if (c == "Wait") {
            CM_RETURN_CODE conv_rc = -7;
            CMWAIT(cid, &conv_rc, &rc);
            if (rc == CM_OK) expect(diff, "conversation_return_code", r.arg, conv_rc);
            if (rc == CM_OK) received(diff, r, t);
        } else if (c == "Chck") {
            CMCHCK(cid, &rc);
        } else if (c == "Pend") {
            // Time for a partner that did not wait to come back.
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            std::lock_guard<std::mutex> lk(m_);
            size_t other = last_[r.tp == A ? 1 : 0];
            if (done_[other]) diff += " " + where(other) + " returned before its partner answered";
            return diff;
        } else {
            return " unknown call";
        }
        if ((c == "Wait" || c == "Chck") && rc == CM_OK && memcmp(cid, t.cid, 8) != 0)
            diff += " returned another conversation ID";
        if (rc != r.rc)
            diff = " return code expected " + std::to_string(r.rc) + " got " + std::to_string(rc) + diff;
        return diff;
    }

    const std::vector<Row> &rows_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<char> started_, done_;
    size_t last_[2] = {0, 0};
    int finished_ = 0;
    std::ostringstream report_;
    TpState a_, b_;
};

constexpr std::chrono::milliseconds kTimeLimit{15000};

// The node these scenarios run on: one local LU, the side information of
// "SCEN", TP definitions for each allocation check, and one user.
void write_config(const std::string &path) {
    const char *hash = crypt("SECRET", "$5$scenario$");
    ASSERT_TRUE(hash != nullptr && hash[0] == '$') << "crypt(3) gave no hash";
    std::ofstream f(path);
    f << "[[local_lu]]\nalias = \"LOCAL\"\nname = \"ZORVEL.LOCAL\"\ndefault = true\n\n"
      << "[[side_info]]\nsym_dest_name = \"SCEN\"\npartner_lu_name = \"LOCAL\"\ntp_name = \"SCENTP\"\n"
      << "mode_name = \"#INTER\"\nsecurity_type = \"none\"\n\n"
      << "[[tp]]\nname = \"SCENTP\"\n\n"
      << "[[tp]]\nname = \"BASICTP\"\nconversation_type = \"basic\"\n\n"
      << "[[tp]]\nname = \"CFMTP\"\nsync_level = \"confirm\"\n\n"
      << "[[tp]]\nname = \"SECTP\"\nsecurity = \"required\"\n\n"
      << "[[tp]]\nname = \"QUICK\"\nqueue_timeout_ms = 100\n\n"
      << "[[user]]\nuser_id = \"CLERK\"\npassword_hash = \"" << hash << "\"\n";
    ASSERT_TRUE(f.good());
}

class Conversations : public ::testing::TestWithParam<size_t> {
  protected:
    static void SetUpTestSuite() {
        std::string path = "conversations_node.toml";
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/conversations_node.toml";
        write_config(path);
        setenv("ZORVEL_CONFIG", path.c_str(), 1);
        setenv("ZORVEL_ENGINE", "loopback", 0);
        unsetenv("APPCTPN");
        unsetenv("APPCLLU");
    }
};

// Every scenario runs in a child process; it reports the steps that differ
// from its table, and its watchdog (Play::go) ends it even when a call hangs.
TEST_P(Conversations, Scenario) {
    const Scenario &s = scenarios()[GetParam()];
    EXPECT_EXIT(
        {
            Play *play = new Play(s.rows); // not freed: after a time-out its threads still use it
            const std::string report = play->go(kTimeLimit);
            fputs(report.c_str(), stderr);
            _exit(report.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << "scenario " << s.name << " differs from its table";
}

INSTANTIATE_TEST_SUITE_P(All, Conversations, ::testing::Range<size_t>(0, scenarios().size()),
                         [](const ::testing::TestParamInfo<size_t> &i) {
                             return std::string(scenarios()[i.param].name);
                         });

} // namespace
