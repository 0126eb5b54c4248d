// SPDX-License-Identifier: Apache-2.0
// Every routine in one table: the words it hands to its request and
// response trace records (request, and response including the outputs the
// extract calls fill), and the problem record it writes for a conversation
// ID it does not know. The trace record itself is compared with the one the
// trace writes for the expected words, so the formatter is tested once
// (test_trace) and here only what each routine passes to it.
#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "support.h"
#include "vcpic/semutrcp.h"

namespace {

using namespace cpic_test;

// The program's variables one call may use; the words name them.
struct Io {
    unsigned char id[8] = {};
    unsigned char *idp = id; // null for the call without an ID
    alignas(8) unsigned char buf[128] = "ABCDEFGH";
    unsigned char sym[8] = {'S', 'I', 'D', 'E', '1', ' ', ' ', ' '};
    unsigned char key[8] = {'K', 'E', 'Y'};
    CM_INT32 n = 8, v = 1, o1 = 0, o2 = 0, o3 = 0, rts = 0, eight = 8;
    CM_RETURN_CODE rc = -1;
};
enum W : uint8_t { Z, ID, BUF, SYM, KEY, N, V, O1, O2, O3, RTS, EIGHT };

CPIC_WORD word(Io &x, W w) {
    const void *p[] = {nullptr, x.idp, x.buf, x.sym, x.key,  &x.n,
                       &x.v,    &x.o1, &x.o2, &x.o3, &x.rts, &x.eight};
    return reinterpret_cast<CPIC_WORD>(p[w]);
}

struct Routine {
    VerbIndex verb;
    int sequence; // of the unknown-conversation problem record; -1: the call takes no ID
    void (*call)(Io &);
    std::initializer_list<W> request, response; // response: a2.. (a1 is the return code)
    const void *upper, *lower;                  // the two entry points, one routine
};

#define R(verb, lower, seq, args, req, rsp)                                                                  \
    {                                                                                                        \
        kVerb##verb, seq, [](Io &x) { lower args; }, req, rsp, reinterpret_cast<const void *>(&verb),        \
            reinterpret_cast<const void *>(&lower)                                                           \
    }
#define L(...)                                                                                               \
    { __VA_ARGS__ }
const Routine kRoutines[] = {
    R(CMACCP, cmaccp, -1, (x.idp, &x.rc), L(), L(ID)),
    R(CMALLC, cmallc, 1, (x.idp, &x.rc), L(ID), L()),
    R(CMCFM, cmcfm, 3, (x.idp, &x.rts, &x.rc), L(ID), L(RTS)),
    R(CMCFMD, cmcfmd, 4, (x.idp, &x.rc), L(ID), L()),
    R(CMDEAL, cmdeal, 5, (x.idp, &x.rc), L(ID), L()),
    R(CMECS, cmecs, -1, (x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(CMECT, cmect, 8, (x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(CMEMN, cmemn, 9, (x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMEPLN, cmepln, 10, (x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMESL, cmesl, 11, (x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(CMFLUS, cmflus, 12, (x.idp, &x.rc), L(ID), L()),
    R(CMINIT, cminit, -1, (x.idp, x.sym, &x.rc), L(SYM), L(ID)),
    R(CMPTR, cmptr, 13, (x.idp, &x.rc), L(ID), L()),
    R(CMRCV, cmrcv, 14, (x.idp, x.buf, &x.n, &x.o1, &x.o2, &x.o3, &x.rts, &x.rc), L(ID, N),
      L(BUF, O1, O2, O3, RTS)),
    R(CMRTS, cmrts, 15, (x.idp, &x.rc), L(ID), L()),
    R(CMSEND, cmsend, 16, (x.idp, x.buf, &x.n, &x.rts, &x.rc), L(ID, BUF, N), L(RTS)),
    R(CMSERR, cmserr, 17, (x.idp, &x.rts, &x.rc), L(ID), L(RTS)),
    R(CMSCT, cmsct, 18, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSDT, cmsdt, 19, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSED, cmsed, 20, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSF, cmsf, 21, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSLD, cmsld, 22, (x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMSMN, cmsmn, 23, (x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMSPLN, cmspln, 24, (x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMSPTR, cmsptr, 25, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSRT, cmsrt, 26, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSRC, cmsrc, 27, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSST, cmsst, 28, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSSL, cmssl, 29, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSTPN, cmstpn, 30, (x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMTRTS, cmtrts, 31, (x.idp, &x.rts, &x.rc), L(ID), L(RTS)),
    R(XCMDSI, xcmdsi, -1, (x.key, x.sym, &x.rc), L(KEY, SYM), L()),
    R(XCECST, xcecst, 34, (x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(XCECSU, xcecsu, 35, (x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(XCMESI, xcmesi, -1, (&x.v, x.sym, reinterpret_cast<SIDE_INFO *>(x.buf), &x.n, &x.rc), L(V, SYM, N),
      L(BUF)),
    R(XCSCSP, xcscsp, 36, (x.idp, x.buf, &x.n, &x.rc), L(ID), L()),
    R(XCSCST, xcscst, 37, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(XCSCSU, xcscsu, 38, (x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(XCMSSI, xcmssi, -1, (x.key, reinterpret_cast<SIDE_INFO *>(x.buf), &x.n, &x.rc), L(KEY, BUF, N), L()),
    R(CMTERM, cmterm, -1, (&x.v, &x.rc), L(V), L()),
    R(CMSPM, cmspm, 32, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMINIC, cminic, -1, (x.idp, &x.rc), L(), L(ID)),
    R(CMACCI, cmacci, 0, (x.idp, &x.rc), L(ID), L()),
    R(CMWAIT, cmwait, -1, (x.idp, &x.o1, &x.rc), L(), L(ID, O1)),
    R(CMCANC, cmcanc, 2, (x.idp, &x.rc), L(ID), L()),
    R(CMCHCK, cmchck, -1, (x.idp, &x.rc), L(), L(ID)),
    R(CMSCST, cmscst, 37, (x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSCSU, cmscsu, 38, (x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMSCSP, cmscsp, 36, (x.idp, x.buf, &x.n, &x.rc), L(ID), L()),
    R(CMESUI, cmesui, 35, (x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMSLTP, cmsltp, -1, (x.buf, &x.n, &x.rc), L(BUF, N), L()),
    R(CMRLTP, cmrltp, -1, (x.buf, &x.n, &x.rc), L(BUF, N), L()),
    R(CMETPN, cmetpn, 33, (x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMCNVI, cmcnvi, -1, (x.buf, &x.n, &x.rc), L(Z, BUF, N), L(BUF, N)),
    R(CMCNVO, cmcnvo, -1, (x.buf, &x.n, &x.rc), L(Z, BUF, N), L(BUF, N)),
    R(CMEMBS, cmembs, -1, (&x.o1, &x.rc), L(), L(O1)),
    R(CMECTX, cmectx, 6, (x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMSCTX, cmsctx, -1, (x.buf, &x.n, &x.rc), L(Z, BUF, N), L()),
    R(CMECSU, cmecsu, 35, (x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMECST, cmecst, 39, (x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(CMELLN, cmelln, 90, (x.idp, x.buf, &x.rc), L(ID), L(BUF, EIGHT)),
    R(CMSLLN, cmslln, 24, (x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
};
#undef R
#undef L

// The lines the trace writes for `words` (a1 first), as a second record.
Lines expected(uint32_t kind, VerbIndex verb, const CCCB *cccb, const std::vector<CPIC_WORD> &words) {
    CPIC_WORD a[6] = {};
    for (size_t i = 0; i < words.size(); ++i) a[i] = words[i];
    const uint32_t from = zt_trace_line_count();
    seputrcp(kind, verb, cccb, a[0], a[1], a[2], a[3], a[4], a[5]);
    return trace_lines(from);
}

class Routines : public LibraryTest {};

TEST_F(Routines, EveryRoutineTracesItsOwnWords) {
    ASSERT_EQ(std::size(kRoutines), kVerbCount - 1u) << "every routine but the window handle";
    for (const Routine &r : kRoutines) {
        SCOPED_TRACE(testing::Message() << "verb " << r.verb);
        EXPECT_EQ(r.upper, r.lower) << "the upper-case entry is the same routine";
        set_trace(true);
        Io x;
        CCCB *c = r.sequence >= 0 || r.verb == kVerbCMECS ? new_conversation(x.id) : nullptr;
        std::vector<CPIC_WORD> request, response{reinterpret_cast<CPIC_WORD>(&x.rc)};
        for (W w : r.request) request.push_back(word(x, w));
        for (W w : r.response) response.push_back(word(x, w));
        Lines want = expected(kTraceRequest, r.verb, c, request); // before the call changes anything
        zt_trace_clear();
        r.call(x);
        const Lines got = trace_lines(0);
        const Lines rsp = expected(kTraceResponse, r.verb, find(x.id), response);
        want.insert(want.end(), rsp.begin(), rsp.end());
        EXPECT_EQ(got, want);
        zt_fail_path(); // drops whatever the call left, so the next row starts clean
        zt_reset();
    }
}

// A verb the node completes later: the response record written then shows
// the words the routine saved at issue.
TEST_F(Routines, CompletionDeliveredLaterTracesTheSavedWords) {
    const std::pair<VerbIndex, uint16_t> verbs[] = {
        {kVerbCMALLC, AP_B_ALLOCATE},
        {kVerbCMCFM, AP_CONFIRM},
        {kVerbCMCFMD, AP_CONFIRMED},
        {kVerbCMDEAL, AP_DEALLOCATE},
        {kVerbCMFLUS, AP_FLUSH},
        {kVerbCMPTR, AP_PREPARE_TO_RECEIVE},
        {kVerbCMRCV, AP_RECEIVE_AND_WAIT},
        {kVerbCMRTS, AP_REQUEST_TO_SEND},
        {kVerbCMSEND, AP_SEND_DATA},
        {kVerbCMSERR, AP_SEND_ERROR},
        {kVerbCMACCI, AP_RECEIVE_ALLOCATE_CPIC},
    };
    for (const auto &[verb, opcode] : verbs) {
        SCOPED_TRACE(testing::Message() << "verb " << verb);
        const Routine &r = *std::find_if(std::begin(kRoutines), std::end(kRoutines),
                                         [verb = verb](const Routine &k) { return k.verb == verb; });
        Io x;
        CCCB *c = new_conversation(x.id);
        c->usProcessingMode = CM_NON_BLOCKING;
        c->usConfirmPending = 1;
        if (verb == kVerbCMALLC || verb == kVerbCMACCI) c->ulConvId = 0;
        if (verb == kVerbCMACCI) c->usInitialized = 0;
        queue(opcode, answer(0x0F00, 0, true));
        r.call(x);
        ASSERT_EQ(x.rc, CM_OPERATION_INCOMPLETE);
        set_trace(true);
        ASSERT_EQ(zt_complete_pending(0), 1u);
        const Lines got = trace_lines(0);
        const CM_INT32 result = CM_RESOURCE_FAILURE_RETRY;
        std::vector<CPIC_WORD> response{reinterpret_cast<CPIC_WORD>(&result)};
        for (W w : r.response) response.push_back(word(x, w));
        EXPECT_EQ(got, expected(kTraceResponse, verb, find(x.id), response));
        set_trace(false);
        zt_fail_path();
        zt_reset();
    }
}

// A conversation ID the library does not know (or none at all) is refused
// with the routine's own problem record, before anything reaches the node.
TEST_F(Routines, UnknownOrNullConversationIdIsRefusedWithTheRoutinesRecord) {
    for (const Routine &r : kRoutines) { // before the library is initialised: only creating calls do that
        Io x;
        if (r.sequence >= 0) r.call(x);
        EXPECT_EQ(std::make_pair(x.rc, fInitCPIC),
                  std::make_pair(r.sequence >= 0 ? CM_PROGRAM_PARAMETER_CHECK : -1, uint16_t{0}))
            << "verb " << r.verb;
    }
    unsigned char known[8];
    new_conversation(known);
    for (const Routine &r : kRoutines) {
        if (r.sequence < 0) continue;
        SCOPED_TRACE(testing::Message() << "verb " << r.verb);
        for (bool null_id : {false, true}) {
            Io x;
            memset(x.id, 0x7E, 2);
            if (null_id) x.idp = nullptr;
            const uint32_t problems = zt_problem_count();
            r.call(x);
            EXPECT_EQ(x.rc, CM_PROGRAM_PARAMETER_CHECK);
            ASSERT_EQ(zt_problem_count(), problems + 1);
            // A null ID gives no bytes to the record: none are read through it.
            EXPECT_EQ(rec(zt_problem(problems)), (Rec{kProblemUnknownConversation, uint32_t(r.sequence), "ba",
                                                      null_id ? "-" : "7E7E000000000000"}));
        }
    }
    EXPECT_EQ(zt_verb_count(), 0u);
}

} // namespace
