// Set_Processing_Mode, Wait_For_Conversation, Check and Cancel_Conversation
// against the scripted node: results collected in table order, ended
// conversations released by Wait, Check naming without collecting, Cancel
// on every kind of conversation, and a node path that fails under a Wait.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;
using namespace std::chrono_literals;

class NonBlocking : public LibraryTest {
  protected:
    // An allocated conversation in NON_BLOCKING mode.
    CCCB *nb_conversation(unsigned char (&id)[8], uint32_t node_id = 0x51, const char *tp_id = "TPID0001") {
        CCCB *c = new_conversation(id, node_id, tp_id);
        CM_PROCESSING_MODE mode = CM_NON_BLOCKING;
        CM_RETURN_CODE rc = -1;
        cmspm(id, &mode, &rc);
        EXPECT_EQ(rc, CM_OK);
        return c;
    }
    static ZT_ANSWER later(uint16_t primary, uint32_t delivery) {
        ZT_ANSWER a = answer(primary, 0, true);
        a.delivery = delivery;
        return a;
    }
    static CM_RETURN_CODE flush(unsigned char (&id)[8]) {
        CM_RETURN_CODE rc = -1;
        cmflus(id, &rc);
        return rc;
    }
    static CM_RETURN_CODE wait(unsigned char (&id)[8], CM_RETURN_CODE &conversation_rc) {
        conversation_rc = -1;
        CM_RETURN_CODE rc = -1;
        CMWAIT(id, &conversation_rc, &rc);
        return rc;
    }
    static CM_RETURN_CODE check(unsigned char (&id)[8]) {
        CM_RETURN_CODE rc = -1;
        CMCHCK(id, &rc);
        return rc;
    }
    static CM_RETURN_CODE cancel(unsigned char (&id)[8]) {
        CM_RETURN_CODE rc = -1;
        CMCANC(id, &rc);
        return rc;
    }
    static CM_RETURN_CODE set_mode(unsigned char (&id)[8], CM_PROCESSING_MODE mode) {
        CM_RETURN_CODE rc = -1;
        CMSPM(id, &mode, &rc);
        return rc;
    }
    static uint32_t problems_of(uint32_t code) {
        uint32_t n = 0;
        for (uint32_t i = 0; i < zt_problem_count(); ++i)
            if (zt_problem(i)->code == code) ++n;
        return n;
    }
    static std::vector<std::string> trace_lines() {
        std::vector<std::string> lines;
        for (uint32_t i = 0; i < zt_trace_line_count(); ++i) lines.push_back(zt_trace_line(i));
        return lines;
    }
};

// ---- Set_Processing_Mode ---------------------------------------------------

TEST_F(NonBlocking, ProcessingModeTakesOnlyItsTwoValuesAndNotWhileBusy) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0);  // Initialize state: no state check
    EXPECT_EQ(set_mode(id, CM_NON_BLOCKING), CM_OK);
    EXPECT_EQ(c->usProcessingMode, 1);
    EXPECT_EQ(set_mode(id, 2), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(set_mode(id, -1), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(c->usProcessingMode, 1) << "unchanged by a refused value";
    EXPECT_EQ(set_mode(id, CM_BLOCKING), CM_OK);
    EXPECT_EQ(c->usProcessingMode, 0);

    c->usVerbsOutstanding = 1;
    EXPECT_EQ(set_mode(id, CM_NON_BLOCKING), CM_OPERATION_NOT_ACCEPTED);
    EXPECT_EQ(set_mode(id, 2), CM_OPERATION_NOT_ACCEPTED) << "the verb in flight is tested first";
    c->usVerbsOutstanding = 0;

    unsigned char unknown[8] = {0x7E, 0x7E, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(set_mode(unknown, CM_BLOCKING), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(zt_problem(zt_problem_count() - 1)->code, static_cast<uint32_t>(kProblemUnknownConversation));
    EXPECT_EQ(zt_problem(zt_problem_count() - 1)->sequence, 32u);
    EXPECT_EQ(zt_verb_count(), 0u);
}

TEST_F(NonBlocking, ProcessingModeTraceShowsTheRequestedAndTheStoredValue) {
    unsigned char id[8];
    new_conversation(id);
    set_trace(true);
    EXPECT_EQ(set_mode(id, CM_NON_BLOCKING), CM_OK);
    set_trace(false);
    const auto lines = trace_lines();
    int shown = 0;
    for (const auto &l : lines)
        if (l == "CPIC  Processing mode = CM_NON_BLOCKING") ++shown;
    EXPECT_EQ(shown, 2) << "requested value, then the CCCB's";
}

// ---- Wait_For_Conversation ---------------------------------------------------

TEST_F(NonBlocking, WaitWithNothingOutstandingReturnsAtOnce) {
    zt_set_sleep_limit(2000);
    unsigned char id[8];
    CM_RETURN_CODE conversation_rc;
    EXPECT_EQ(wait(id, conversation_rc), CM_PROGRAM_STATE_CHECK) << "before initialisation";
    new_conversation(id);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(id, conversation_rc), CM_PROGRAM_STATE_CHECK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u) << "never slept";
    EXPECT_EQ(conversation_rc, -1) << "nothing handed out";

    CM_RETURN_CODE rc = -1;
    cmwait(nullptr, &conversation_rc, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(NonBlocking, WaitSleepsUntilTheNodeCompletes) {
    zt_set_sleep_limit(5000);
    unsigned char id[8];
    nb_conversation(id);
    queue(AP_FLUSH, later(0, ZT_DELIVER_ON_SLEEP));
    ASSERT_EQ(flush(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 1u);
    unsigned char got[8] = {};
    CM_RETURN_CODE conversation_rc;
    EXPECT_EQ(wait(got, conversation_rc), CM_OK);
    EXPECT_EQ(bytes(got, 8), bytes(id, 8));
    EXPECT_EQ(conversation_rc, CM_OK);
    EXPECT_EQ(zt_last_verb()->state, static_cast<uint32_t>(ZT_VERB_DELIVERED));
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);
    EXPECT_EQ(find(id)->usCompletionWaiting, 0);
    EXPECT_EQ(wait(got, conversation_rc), CM_PROGRAM_STATE_CHECK) << "collected once only";
}

TEST_F(NonBlocking, WaitHandsOutResultsInTableOrder) {
    unsigned char a[8], b[8];
    nb_conversation(a, 0x61);
    nb_conversation(b, 0x62);
    queue(AP_FLUSH, later(0, ZT_DELIVER_MANUAL));
    queue(AP_FLUSH, later(0x0200, ZT_DELIVER_MANUAL));
    ASSERT_EQ(flush(b), CM_OPERATION_INCOMPLETE);  // b first: b completes first
    ASSERT_EQ(flush(a), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(zt_complete_pending(0), 2u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 2u);

    unsigned char got[8];
    CM_RETURN_CODE conversation_rc;
    ASSERT_EQ(wait(got, conversation_rc), CM_OK);
    EXPECT_EQ(bytes(got, 8), bytes(a, 8)) << "a comes first in the table";
    EXPECT_EQ(conversation_rc, CM_PROGRAM_STATE_CHECK);
    ASSERT_EQ(wait(got, conversation_rc), CM_OK);
    EXPECT_EQ(bytes(got, 8), bytes(b, 8));
    EXPECT_EQ(conversation_rc, CM_OK);
    EXPECT_EQ(wait(got, conversation_rc), CM_PROGRAM_STATE_CHECK);
    EXPECT_NE(find(a), nullptr) << "not ended: kept";
}

TEST_F(NonBlocking, WaitReleasesAConversationItsOperationEnded) {
    unsigned char id[8];
    nb_conversation(id);
    queue(AP_FLUSH, later(kPrimaryDeallocNormal, ZT_DELIVER_MANUAL));
    ASSERT_EQ(flush(id), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(zt_complete_pending(0), 1u);
    ASSERT_NE(find(id), nullptr) << "a completion never releases: its result waits";

    set_trace(true);
    unsigned char got[8];
    CM_RETURN_CODE conversation_rc;
    EXPECT_EQ(wait(got, conversation_rc), CM_OK);
    set_trace(false);
    EXPECT_EQ(conversation_rc, CM_DEALLOCATED_NORMAL);
    EXPECT_EQ(bytes(got, 8), bytes(id, 8));
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(zt_verbs_of(AP_TP_ENDED), 1u) << "its TP instance went with it";
    EXPECT_EQ(flush(id), CM_PROGRAM_PARAMETER_CHECK);

    const auto lines = trace_lines();
    auto has = [&](const std::string &text) { return std::find(lines.begin(), lines.end(), text) != lines.end(); };
    EXPECT_TRUE(has("CPIC CMWAIT request"));
    EXPECT_TRUE(has("CPIC CMWAIT response, result = CM_OK"));
    EXPECT_TRUE(has("CPIC  Async result = CM_DEALLOCATED_NORMAL"));
}

TEST_F(NonBlocking, AStaleWakeUpSendsWaitBackToSleep) {
    zt_set_sleep_limit(5000);
    unsigned char a[8], b[8];
    nb_conversation(a, 0x61);
    nb_conversation(b, 0x62);
    queue(AP_FLUSH, later(0, ZT_DELIVER_MANUAL));
    ASSERT_EQ(flush(a), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(zt_complete_pending(0), 1u);  // wakes the wait object; nobody sleeps yet
    unsigned char got[8];
    CM_RETURN_CODE conversation_rc;
    ASSERT_EQ(wait(got, conversation_rc), CM_OK);  // collected without sleeping
    EXPECT_EQ(bytes(got, 8), bytes(a, 8));

    // b completes only when another thread delivers it, well after the
    // stale wake-up has been consumed by a first sleep.
    queue(AP_FLUSH, later(0x0200, ZT_DELIVER_MANUAL));
    ASSERT_EQ(flush(b), CM_OPERATION_INCOMPLETE);
    std::thread node([] {
        std::this_thread::sleep_for(150ms);
        zt_complete_pending(0);
    });
    EXPECT_EQ(wait(got, conversation_rc), CM_OK);
    node.join();
    EXPECT_EQ(bytes(got, 8), bytes(b, 8));
    EXPECT_EQ(conversation_rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u);
}

TEST_F(NonBlocking, PathFailureWhileWaitingEndsTheWait) {
    zt_set_sleep_limit(5000);
    unsigned char id[8];
    nb_conversation(id);
    queue(AP_FLUSH, later(0, ZT_DELIVER_MANUAL));  // the node never completes it
    ASSERT_EQ(flush(id), CM_OPERATION_INCOMPLETE);
    std::thread node([] {
        std::this_thread::sleep_for(150ms);
        zt_fail_path();  // runs once Wait sleeps and lets the lock go
    });
    const auto start = std::chrono::steady_clock::now();
    unsigned char got[8] = {};
    CM_RETURN_CODE conversation_rc;
    EXPECT_EQ(wait(got, conversation_rc), CM_PROGRAM_STATE_CHECK);
    const auto waited = std::chrono::steady_clock::now() - start;
    node.join();
    EXPECT_LT(waited, 4s) << "ended by the failure, not by the stand-in's limit";
    EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u);
    EXPECT_EQ(fInitCPIC, 0);
    EXPECT_EQ(bytes(got, 8), std::string(8, '\0')) << "nothing handed out";
    EXPECT_EQ(zt_assert_count(), 0u) << "no sleep on a released wait object";

    // The counters the failure left behind are no reason to sleep.
    EXPECT_EQ(wait(got, conversation_rc), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(check(got), CM_PROGRAM_STATE_CHECK);
    new_conversation(id);  // initialised afresh
    EXPECT_EQ(wait(got, conversation_rc), CM_PROGRAM_STATE_CHECK);
}

// ---- Check -----------------------------------------------------------------

TEST_F(NonBlocking, CheckNamesACompletedConversationWithoutCollecting) {
    unsigned char none[8];
    EXPECT_EQ(check(none), CM_PROGRAM_STATE_CHECK);
    unsigned char id[8];
    nb_conversation(id);
    EXPECT_EQ(check(none), CM_PROGRAM_STATE_CHECK) << "nothing outstanding";
    queue(AP_FLUSH, later(kPrimaryDeallocNormal, ZT_DELIVER_MANUAL));
    ASSERT_EQ(flush(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(check(none), CM_UNSUCCESSFUL) << "outstanding, none completed";

    ASSERT_EQ(zt_complete_pending(0), 1u);
    unsigned char got[8] = {};
    EXPECT_EQ(check(got), CM_OK);
    EXPECT_EQ(bytes(got, 8), bytes(id, 8));
    EXPECT_EQ(check(got), CM_OK) << "still there";
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);
    ASSERT_NE(find(id), nullptr) << "not released by Check";

    unsigned char collected[8];
    CM_RETURN_CODE conversation_rc;
    EXPECT_EQ(wait(collected, conversation_rc), CM_OK);
    EXPECT_EQ(bytes(collected, 8), bytes(id, 8));
    EXPECT_EQ(conversation_rc, CM_DEALLOCATED_NORMAL);
    EXPECT_EQ(check(got), CM_PROGRAM_STATE_CHECK);

    CM_RETURN_CODE rc = -1;
    cmchck(nullptr, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(NonBlocking, CheckLetsTheNodeDeliverWhatIsReady) {
    unsigned char id[8];
    nb_conversation(id);
    queue(AP_FLUSH, later(0, ZT_DELIVER_ON_POLL));
    ASSERT_EQ(flush(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_pending_count(), 1u);
    unsigned char got[8] = {};
    EXPECT_EQ(check(got), CM_OK);
    EXPECT_EQ(bytes(got, 8), bytes(id, 8));
    EXPECT_EQ(zt_pending_count(), 0u);
}

// ---- Cancel_Conversation ---------------------------------------------------------

TEST_F(NonBlocking, CancelReleasesAConversationTheNodeNeverSaw) {
    unsigned char id[8];
    new_conversation(id, 0, nullptr);
    EXPECT_EQ(cancel(id), CM_OK);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(zt_verb_count(), 0u);
    EXPECT_EQ(cancel(id), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(zt_problem(zt_problem_count() - 1)->code, static_cast<uint32_t>(kProblemUnknownConversation));
    EXPECT_EQ(zt_problem(zt_problem_count() - 1)->sequence, 2u);
}

TEST_F(NonBlocking, CancelDuringANonBlockingAllocateOnlyMarksIt) {
    unsigned char id[8];
    CCCB *c = nb_conversation(id, 0);
    queue(AP_B_ALLOCATE, later(0, ZT_DELIVER_MANUAL));
    CM_RETURN_CODE rc = -1;
    cmallc(id, &rc);
    ASSERT_EQ(rc, CM_OPERATION_INCOMPLETE);
    const uint32_t verbs = zt_verb_count();
    EXPECT_EQ(cancel(id), CM_OK);
    EXPECT_EQ(c->usCancelPending, 1);
    EXPECT_EQ(zt_verb_count(), verbs) << "nothing issued yet";
    ASSERT_EQ(find(id), c);

    ASSERT_EQ(zt_complete_pending(0), 1u);  // the allocate's completion cancels
    EXPECT_EQ(zt_last_verb()->opcode, AP_CANCEL);
    unsigned char got[8];
    CM_RETURN_CODE conversation_rc;
    EXPECT_EQ(wait(got, conversation_rc), CM_OK);
    EXPECT_EQ(conversation_rc, CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(NonBlocking, CancelAtTheNodeUsesARecordAndAWaitObjectOfItsOwn) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x12345678, "TP-00001");
    c->ulConversationType = CM_BASIC_CONVERSATION;
    const uint32_t wait_objects = zt_live_wait_objects();
    EXPECT_EQ(cancel(id), CM_OK);
    ASSERT_EQ(zt_verb_count(), 2u);
    EXPECT_EQ(zt_verb(1)->opcode, AP_TP_ENDED) << "the release ends the conversation's TP";
    const ZT_VERB *v = zt_verb(0);
    EXPECT_EQ(v->opcode, AP_CANCEL);
    EXPECT_EQ(v->kind, static_cast<uint32_t>(ZT_VERB_APPC_ASYNC));
    EXPECT_EQ(v->callback, &cmcanc_cb);
    EXPECT_NE(v->user, 0u);
    EXPECT_NE(v->user, pGCB->WaitObject) << "never the wait object Wait sleeps on";
    EXPECT_NE(v->record, static_cast<const void *>(c)) << "not the conversation's own record";
    unsigned char want[24] = {0x72, 0x00, 0x00};
    memcpy(want + 12, "TP-00001", 8);
    const uint32_t conv = 0x12345678;
    memcpy(want + 20, &conv, 4);
    EXPECT_EQ(bytes(v->image, 24), bytes(want, 24));
    for (uint32_t i = 24; i < VCB_I386_SIZE; ++i) ASSERT_EQ(v->image[i], 0) << "offset " << i;
    EXPECT_EQ(find(id), nullptr) << "over and released";
    EXPECT_EQ(zt_live_wait_objects(), wait_objects) << "its wait object released";
    EXPECT_EQ(cancel(id), CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(NonBlocking, CancelSleepsUntilTheNodeHasCancelled) {
    zt_set_sleep_limit(5000);
    unsigned char id[8];
    new_conversation(id);
    const uint32_t wait_objects = zt_live_wait_objects();
    queue(AP_CANCEL, later(0, ZT_DELIVER_ON_SLEEP));
    EXPECT_EQ(cancel(id), CM_OK);
    ASSERT_EQ(zt_verb(0)->opcode, AP_CANCEL);
    EXPECT_EQ(zt_verb(0)->state, static_cast<uint32_t>(ZT_VERB_DELIVERED));
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(zt_live_wait_objects(), wait_objects);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u) << "Cancel's own verb is no result for Wait";
    EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u);
}

TEST_F(NonBlocking, ARejectedCancelStillEndsTheConversation) {
    unsigned char id[8];
    new_conversation(id);
    queue(AP_CANCEL, answer(0x0200));
    EXPECT_EQ(cancel(id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(NonBlocking, WithoutAWaitObjectCancelChangesNothing) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    zt_fault(ZT_FAULT_WAIT_OBJECT, 1, 0);
    EXPECT_EQ(cancel(id), CM_PRODUCT_SPECIFIC_ERROR);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemNoMemory));
    EXPECT_EQ(zt_problem(0)->sequence, 18u);
    ASSERT_EQ(find(id), c);
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(c->usConvEnded, 0);
    EXPECT_EQ(zt_verb_count(), 0u);
    EXPECT_EQ(cancel(id), CM_OK) << "and may be cancelled again";
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(NonBlocking, CancelDuringAnOperationLeavesItsResultToWait) {
    unsigned char id[8];
    nb_conversation(id);
    queue(AP_FLUSH, later(kPrimaryDeallocAbend, ZT_DELIVER_MANUAL));
    ASSERT_EQ(flush(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(cancel(id), CM_OK);
    CCCB *c = find(id);
    ASSERT_NE(c, nullptr) << "the flush is still in flight";
    EXPECT_EQ(c->usConvEnded, 1);
    EXPECT_EQ(c->usVerbsOutstanding, 1);
    EXPECT_EQ(flush(id), CM_OPERATION_NOT_ACCEPTED);

    ASSERT_EQ(zt_complete_pending(0), 1u);
    unsigned char got[8];
    CM_RETURN_CODE conversation_rc;
    EXPECT_EQ(wait(got, conversation_rc), CM_OK);
    EXPECT_EQ(conversation_rc, CM_DEALLOCATED_ABEND);
    EXPECT_EQ(find(id), nullptr) << "released once its last result was collected";
}

TEST_F(NonBlocking, CancelDuringANonBlockingAccept) {
    unsigned char id[8];
    CM_RETURN_CODE rc = -1;
    cminic(id, &rc);
    ASSERT_EQ(rc, CM_OK);
    ASSERT_EQ(set_mode(id, CM_NON_BLOCKING), CM_OK);
    queue(AP_RECEIVE_ALLOCATE_CPIC, later(kPrimaryConvFailureNoRetry, ZT_DELIVER_MANUAL));
    cmacci(id, &rc);
    ASSERT_EQ(rc, CM_OPERATION_INCOMPLETE);

    EXPECT_EQ(cancel(id), CM_OK);
    const ZT_VERB *v = zt_last_verb();
    ASSERT_EQ(v->opcode, AP_CANCEL);
    EXPECT_EQ(bytes(v->image + 12, 8), std::string(8, '\0')) << "no TP instance yet";
    EXPECT_EQ(bytes(v->image + 20, 4), bytes(id, 4)) << "the accept is known by the handle";
    ASSERT_NE(find(id), nullptr);

    ASSERT_EQ(zt_complete_pending(0), 1u);
    unsigned char got[8];
    CM_RETURN_CODE conversation_rc;
    EXPECT_EQ(wait(got, conversation_rc), CM_OK);
    EXPECT_EQ(bytes(got, 8), bytes(id, 8));
    EXPECT_EQ(conversation_rc, CM_RESOURCE_FAILURE_NO_RETRY);
    EXPECT_EQ(find(id), nullptr);
}

}  // namespace
