// Every routine in one table: the words it hands to its request and
// response trace records (request, and response including the outputs the
// extract calls fill), and the problem record it writes for a conversation
// ID it does not know. The trace record itself is compared with the one the
// trace writes for the expected words, so the formatter is tested once
// (test_trace) and here only what each routine passes to it.
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
    unsigned char *idp = id;  // null for the call without an ID
    alignas(8) unsigned char buf[128] = "ABCDEFGH";
    unsigned char sym[8] = {'S', 'I', 'D', 'E', '1', ' ', ' ', ' '};
    unsigned char key[8] = {'K', 'E', 'Y'};
    CM_INT32 n = 8, v = 1, o1 = 0, o2 = 0, o3 = 0, rts = 0, eight = 8;
    CM_RETURN_CODE rc = -1;
};
enum W : uint8_t { Z, ID, BUF, SYM, KEY, N, V, O1, O2, O3, RTS, EIGHT };

CPIC_WORD word(Io &x, W w) {
    const void *p[] = {nullptr, x.idp, x.buf, x.sym, x.key, &x.n, &x.v, &x.o1, &x.o2, &x.o3, &x.rts, &x.eight};
    return reinterpret_cast<CPIC_WORD>(p[w]);
}

struct Routine {
    VerbIndex verb;
    int sequence;  // of the unknown-conversation problem record; -1: the call takes no ID
    void (*call)(Io &);
    std::initializer_list<W> request, response;  // response: a2.. (a1 is the return code)
};

#define R(verb, seq, invocation, req, rsp) {kVerb##verb, seq, [](Io &x) { invocation; }, req, rsp}
#define L(...) {__VA_ARGS__}
const Routine kRoutines[] = {
    R(CMACCP, -1, cmaccp(x.idp, &x.rc), L(), L(ID)),
    R(CMALLC, 1, cmallc(x.idp, &x.rc), L(ID), L()),
    R(CMCFM, 3, cmcfm(x.idp, &x.rts, &x.rc), L(ID), L(RTS)),
    R(CMCFMD, 4, cmcfmd(x.idp, &x.rc), L(ID), L()),
    R(CMDEAL, 5, cmdeal(x.idp, &x.rc), L(ID), L()),
    R(CMECS, -1, cmecs(x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(CMECT, 8, cmect(x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(CMEMN, 9, cmemn(x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMEPLN, 10, cmepln(x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMESL, 11, cmesl(x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(CMFLUS, 12, cmflus(x.idp, &x.rc), L(ID), L()),
    R(CMINIT, -1, cminit(x.idp, x.sym, &x.rc), L(SYM), L(ID)),
    R(CMPTR, 13, cmptr(x.idp, &x.rc), L(ID), L()),
    R(CMRCV, 14, cmrcv(x.idp, x.buf, &x.n, &x.o1, &x.o2, &x.o3, &x.rts, &x.rc), L(ID, N), L(BUF, O1, O2, O3, RTS)),
    R(CMRTS, 15, cmrts(x.idp, &x.rc), L(ID), L()),
    R(CMSEND, 16, cmsend(x.idp, x.buf, &x.n, &x.rts, &x.rc), L(ID, BUF, N), L(RTS)),
    R(CMSERR, 17, cmserr(x.idp, &x.rts, &x.rc), L(ID), L(RTS)),
    R(CMSCT, 18, cmsct(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSDT, 19, cmsdt(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSED, 20, cmsed(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSF, 21, cmsf(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSLD, 22, cmsld(x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMSMN, 23, cmsmn(x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMSPLN, 24, cmspln(x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMSPTR, 25, cmsptr(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSRT, 26, cmsrt(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSRC, 27, cmsrc(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSST, 28, cmsst(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSSL, 29, cmssl(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSTPN, 30, cmstpn(x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMTRTS, 31, cmtrts(x.idp, &x.rts, &x.rc), L(ID), L(RTS)),
    R(XCMDSI, -1, xcmdsi(x.key, x.sym, &x.rc), L(KEY, SYM), L()),
    R(XCECST, 34, xcecst(x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(XCECSU, 35, xcecsu(x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(XCMESI, -1, xcmesi(&x.v, x.sym, reinterpret_cast<SIDE_INFO *>(x.buf), &x.n, &x.rc), L(V, SYM, N), L(BUF)),
    R(XCSCSP, 36, xcscsp(x.idp, x.buf, &x.n, &x.rc), L(ID), L()),
    R(XCSCST, 37, xcscst(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(XCSCSU, 38, xcscsu(x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(XCMSSI, -1, xcmssi(x.key, reinterpret_cast<SIDE_INFO *>(x.buf), &x.n, &x.rc), L(KEY, BUF, N), L()),
    R(CMTERM, -1, cmterm(&x.v, &x.rc), L(V), L()),
    R(CMSPM, 32, cmspm(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMINIC, -1, cminic(x.idp, &x.rc), L(), L(ID)),
    R(CMACCI, 0, cmacci(x.idp, &x.rc), L(ID), L()),
    R(CMWAIT, -1, cmwait(x.idp, &x.o1, &x.rc), L(), L(ID, O1)),
    R(CMCANC, 2, cmcanc(x.idp, &x.rc), L(ID), L()),
    R(CMCHCK, -1, cmchck(x.idp, &x.rc), L(), L(ID)),
    R(CMSCST, 37, cmscst(x.idp, &x.v, &x.rc), L(ID, V), L()),
    R(CMSCSU, 38, cmscsu(x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
    R(CMSCSP, 36, cmscsp(x.idp, x.buf, &x.n, &x.rc), L(ID), L()),
    R(CMESUI, 35, cmesui(x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMSLTP, -1, cmsltp(x.buf, &x.n, &x.rc), L(BUF, N), L()),
    R(CMRLTP, -1, cmrltp(x.buf, &x.n, &x.rc), L(BUF, N), L()),
    R(CMETPN, 33, cmetpn(x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMCNVI, -1, cmcnvi(x.buf, &x.n, &x.rc), L(Z, BUF, N), L(BUF, N)),
    R(CMCNVO, -1, cmcnvo(x.buf, &x.n, &x.rc), L(Z, BUF, N), L(BUF, N)),
    R(CMEMBS, -1, cmembs(&x.o1, &x.rc), L(), L(O1)),
    R(CMECTX, 6, cmectx(x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMSCTX, -1, cmsctx(x.buf, &x.n, &x.rc), L(Z, BUF, N), L()),
    R(CMECSU, 35, cmecsu(x.idp, x.buf, &x.o1, &x.rc), L(ID), L(BUF, O1)),
    R(CMECST, 39, cmecst(x.idp, &x.o1, &x.rc), L(ID), L(O1)),
    R(CMELLN, 90, cmelln(x.idp, x.buf, &x.rc), L(ID), L(BUF, EIGHT)),
    R(CMSLLN, 24, cmslln(x.idp, x.buf, &x.n, &x.rc), L(ID, BUF, N), L()),
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
        set_trace(true);
        Io x;
        CCCB *c = r.sequence >= 0 || r.verb == kVerbCMECS ? new_conversation(x.id) : nullptr;
        std::vector<CPIC_WORD> request, response{reinterpret_cast<CPIC_WORD>(&x.rc)};
        for (W w : r.request) request.push_back(word(x, w));
        for (W w : r.response) response.push_back(word(x, w));
        Lines want = expected(kTraceRequest, r.verb, c, request);  // before the call changes anything
        zt_trace_clear();
        r.call(x);
        const Lines got = trace_lines(0);
        ASSERT_GE(got.size(), 4u) << "a request and a response record";
        const Lines rsp = expected(kTraceResponse, r.verb, find(x.id), response);
        want.insert(want.end(), rsp.begin(), rsp.end());
        EXPECT_EQ(got, want);
        zt_fail_path();  // drops whatever the call left, so the next row starts clean
        zt_reset();
    }
}

// A conversation ID the library does not know (or none at all) is refused
// with the routine's own problem record, before anything reaches the node.
TEST_F(Routines, UnknownOrNullConversationIdIsRefusedWithTheRoutinesRecord) {
    unsigned char known[8];
    new_conversation(known);
    for (const Routine &r : kRoutines) {
        if (r.sequence < 0) continue;
        SCOPED_TRACE(testing::Message() << "verb " << r.verb);
        for (bool null_id : {false, true}) {
            Io x;
            x.id[0] = 0x7E;
            x.id[1] = 0x7E;
            if (null_id) x.idp = nullptr;
            const uint32_t problems = zt_problem_count();
            r.call(x);
            EXPECT_EQ(x.rc, CM_PROGRAM_PARAMETER_CHECK);
            ASSERT_EQ(zt_problem_count(), problems + 1);
            const ZT_RECORD *p = zt_problem(problems);
            EXPECT_EQ(std::make_pair(p->code, p->sequence),
                      std::make_pair(uint32_t{kProblemUnknownConversation}, uint32_t(r.sequence)));
            if (!null_id) {
                EXPECT_STREQ(p->inserts, "7E7E000000000000");
            }
        }
    }
    EXPECT_EQ(zt_verb_count(), 0u);
}

}  // namespace
