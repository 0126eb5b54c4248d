// SPDX-License-Identifier: Apache-2.0
// The call frame and the verb issue/completion protocol, driven through
// Flush (and Confirm) against the scripted node, and fault sweeps over whole
// call sequences (the sweep helper is in support.h).
#include <cstdio>
#include <tuple>

#include "support.h"

namespace {

using namespace cpic_test;

class CallFrame : public LibraryTest {
  protected:
    // A non-blocking Flush the node answers with `primary` later.
    CCCB *flush_in_flight(uint16_t primary = 0) {
        CCCB *c = new_conversation(id);
        c->usProcessingMode = CM_NON_BLOCKING;
        queue(AP_FLUSH, answer(primary, 0, true));
        EXPECT_EQ(rc_of(cmflus, id), CM_OPERATION_INCOMPLETE);
        return c;
    }
};

TEST_F(CallFrame, BlockingFlushIssuesTheDocumentedRecord) {
    CCCB *c = new_conversation(id, 0x12345678, "TP-00001");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(bytes(id + 4, 4), std::string(4, '\0'));

    EXPECT_EQ(rc_of(cmflus, id), CM_OK);
    ASSERT_EQ(zt_verb_count(), 1u);
    const ZT_VERB *v = zt_verb(0);
    // Blocking mode hands the node no callback.
    EXPECT_EQ(std::make_tuple(v->kind, v->callback, v->user),
              std::make_tuple(uint32_t{ZT_VERB_APPC_ASYNC}, APPC_CALLBACK{nullptr}, 1u));
    EXPECT_EQ(image(v), record(AP_FLUSH, 1, 0x12345678, "TP-00001"));
    EXPECT_EQ(counts(c), kIdle);
    EXPECT_EQ(c->usTraceVerb, kVerbCMFLUS);
    // The last four bytes of the ID are never tested, but kept whole: Wait
    // hands the ID back as given.
    memcpy(id + 4, "\xFF\xEE\xDD\xCC", 4);
    EXPECT_EQ(rc_of(cmflus, id), CM_OK);
    EXPECT_EQ(bytes(c->TraceConvId, 8), bytes(id, 8));
}

TEST_F(CallFrame, NonBlockingVerbInFlightThenCompletedByTheNode) {
    CCCB *c = flush_in_flight();
    EXPECT_EQ(zt_verb(0)->callback, &cmflus_cb);
    EXPECT_EQ(counts(c), kInFlight);

    EXPECT_EQ(rc_of(cmflus, id), CM_OPERATION_NOT_ACCEPTED) << "one verb at a time per conversation";
    EXPECT_EQ(zt_verb_count(), 1u);

    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(counts(c), kResultWaits);
    EXPECT_EQ(c->ulTraceRc, 0u);

    // A new verb drops the result nobody collected.
    queue(AP_FLUSH, answer(0));
    EXPECT_EQ(rc_of(cmflus, id), CM_OK);
    EXPECT_EQ(counts(c), kIdle);
}

TEST_F(CallFrame, AsynchronousEndingLeavesTheResultToCollect) {
    CCCB *c = flush_in_flight(0x2100);
    zt_complete_pending(0);
    ASSERT_EQ(find(id), c) << "an asynchronous completion never releases";
    EXPECT_EQ(c->usConvEnded, 1);
    EXPECT_EQ(c->ulTraceRc, static_cast<uint32_t>(CM_PRODUCT_SPECIFIC_ERROR));
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(last_problem(), (Rec{kProblemUnmappedReturnCode, 1, "x x lx", "0006 2100 00000000"}));
}

TEST_F(CallFrame, ConfirmReportsRequestToSendEvenWhenItFails) {
    new_conversation(id);
    ZT_ANSWER a = answer(0x0200);
    a.patch_count = 1;
    a.patches[0].offset = 24;
    a.patches[0].length = 1;
    a.patches[0].bytes[0] = 1;
    queue(AP_CONFIRM, a);
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    EXPECT_EQ(rc_of(cmcfm, id, &rts), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_RECEIVED);
}

TEST_F(CallFrame, TraceOffCallsNoTraceRoutine) {
    set_trace(false);
    new_conversation(id);
    CM_RETURN_CODE rc = -1;
    cmflus(id, &rc);
    cmflus(nullptr, &rc);
    EXPECT_EQ(zt_trace_line_count(), 0u);
    EXPECT_EQ(trc_api.initialised, 0) << "the trace was never even initialised";
}

TEST_F(CallFrame, PathFailureDiscardsVerbsInFlight) {
    flush_in_flight();
    zt_fail_path();
    EXPECT_EQ(zt_pending_count(), 0u);
    EXPECT_EQ(zt_complete_pending(0), 0u) << "no completion reaches the freed conversation";
    EXPECT_EQ(rc_of(cmflus, id), CM_PROGRAM_PARAMETER_CHECK);
}

// A whole outbound conversation: initialise, allocate, flush, and the
// release that an ending flush brings (with its end-TP verb).
TEST_F(CallFrame, FaultSweepOverAnOutboundConversation) {
    const auto outbound = [] {
        unsigned char conv[8] = {};
        return run_steps({[&] { return rc_of(cminit, conv, kBlankName); },
                          [&] { return rc_of(cmallc, conv); },
                          [&] { return queue(AP_FLUSH, answer(0x0900)), rc_of(cmflus, conv); }});
    };
    for (uint32_t site : {ZT_FAULT_MEM_ALLOC, ZT_FAULT_TABLE_FULL, ZT_FAULT_TABLE_INIT})
        sweep(site, outbound, {CM_OK, CM_PRODUCT_SPECIFIC_ERROR, CM_DEALLOCATED_NORMAL});
}

} // namespace
