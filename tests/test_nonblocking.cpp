// SPDX-License-Identifier: Apache-2.0
// Set_Processing_Mode, Wait_For_Conversation, Check and Cancel_Conversation
// against the scripted node: results collected in table order, ended
// conversations released by Wait, Check naming without collecting, Cancel
// on every kind of conversation, and a node path that fails under a Wait.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>

#include "support.h"

namespace {

using namespace cpic_test;
using namespace std::chrono_literals;
const std::string kNoId(8, '\0');

class NonBlocking : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        zt_set_sleep_limit(5000);
    }
    // An allocated conversation in NON_BLOCKING mode.
    CCCB *nb_conversation(unsigned char (&conv)[8], uint32_t node_id = 0x51) {
        CCCB *c = new_conversation(conv, node_id);
        EXPECT_EQ(rc_set(CMSPM, conv, CM_NON_BLOCKING), CM_OK);
        return c;
    }
    // A flush the node answers with `primary` when `delivery` says so.
    static CM_RETURN_CODE flush(unsigned char (&conv)[8], uint16_t primary = 0,
                                uint32_t delivery = ZT_DELIVER_MANUAL) {
        queue(AP_FLUSH, later(primary, delivery));
        return rc_of(cmflus, conv);
    }
};

TEST_F(NonBlocking, ProcessingModeTakesOnlyItsTwoValuesAndNotWhileBusy) {
    CCCB *c = new_conversation(id, 0); // Initialize state: no state check
    EXPECT_EQ(rc_set(CMSPM, id, CM_NON_BLOCKING), CM_OK);
    EXPECT_EQ(rc_set(CMSPM, id, 2), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(rc_set(CMSPM, id, -1), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(c->usProcessingMode, 1) << "unchanged by a refused value";
    EXPECT_EQ(rc_set(CMSPM, id, CM_BLOCKING), CM_OK);
    EXPECT_EQ(c->usProcessingMode, 0);
    c->usVerbsOutstanding = 1;
    EXPECT_EQ(rc_set(CMSPM, id, CM_NON_BLOCKING), CM_OPERATION_NOT_ACCEPTED);
    EXPECT_EQ(rc_set(CMSPM, id, 2), CM_OPERATION_NOT_ACCEPTED) << "the verb in flight is tested first";
    c->usVerbsOutstanding = 0;
    EXPECT_EQ(zt_verb_count(), 0u);
}

// ---- Wait_For_Conversation ---------------------------------------------------

TEST_F(NonBlocking, WaitWithNothingOutstandingReturnsAtOnce) {
    zt_set_sleep_limit(2000);
    EXPECT_EQ(wait(), (Waited{CM_PROGRAM_STATE_CHECK, kNoId, -1})) << "before initialisation";
    new_conversation(id);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(), (Waited{CM_PROGRAM_STATE_CHECK, kNoId, -1}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u) << "never slept";
    CM_RETURN_CODE conversation_rc = -1;
    EXPECT_EQ(rc_of(cmwait, nullptr, &conversation_rc), CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(NonBlocking, WaitSleepsUntilTheNodeCompletes) {
    nb_conversation(id);
    ASSERT_EQ(flush(id, 0, ZT_DELIVER_ON_SLEEP), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 1u);
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(id, 8), CM_OK}));
    EXPECT_EQ(zt_last_verb()->state, static_cast<uint32_t>(ZT_VERB_DELIVERED));
    EXPECT_EQ(counts(find(id)), kIdle);
    EXPECT_EQ(wait().rc, CM_PROGRAM_STATE_CHECK) << "collected once only";
}

TEST_F(NonBlocking, WaitHandsOutResultsInTableOrder) {
    unsigned char a[8], b[8];
    nb_conversation(a, 0x61);
    nb_conversation(b, 0x62);
    ASSERT_EQ(flush(b), CM_OPERATION_INCOMPLETE); // b first: b completes first
    ASSERT_EQ(flush(a, 0x0200), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(zt_complete_pending(0), 2u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 2u);
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(a, 8), CM_PROGRAM_STATE_CHECK})) << "a comes first in the table";
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(b, 8), CM_OK}));
    EXPECT_EQ(wait().rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_NE(find(a), nullptr) << "not ended: kept";
}

TEST_F(NonBlocking, WaitReleasesAConversationItsOperationEnded) {
    nb_conversation(id);
    ASSERT_EQ(flush(id, kPrimaryDeallocNormal), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(zt_complete_pending(0), 1u);
    ASSERT_NE(find(id), nullptr) << "a completion never releases: its result waits";
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(id, 8), CM_DEALLOCATED_NORMAL}));
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(zt_verbs_of(AP_TP_ENDED), 1u) << "its TP instance went with it";
    EXPECT_EQ(flush(id), CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(NonBlocking, AStaleWakeUpSendsWaitBackToSleep) {
    unsigned char a[8], b[8];
    nb_conversation(a, 0x61);
    nb_conversation(b, 0x62);
    ASSERT_EQ(flush(a), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(zt_complete_pending(0), 1u); // wakes the wait object; nobody sleeps yet
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(a, 8), CM_OK})) << "collected without sleeping";
    // b completes only when another thread delivers it, well after the
    // stale wake-up has been consumed by a first sleep.
    ASSERT_EQ(flush(b, 0x0200), CM_OPERATION_INCOMPLETE);
    std::thread node([] {
        std::this_thread::sleep_for(150ms);
        zt_complete_pending(0);
    });
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(b, 8), CM_PROGRAM_STATE_CHECK}));
    node.join();
    EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u);
}

TEST_F(NonBlocking, PathFailureWhileWaitingEndsTheWait) {
    nb_conversation(id);
    ASSERT_EQ(flush(id), CM_OPERATION_INCOMPLETE); // the node never completes it
    std::thread node([] {
        std::this_thread::sleep_for(150ms);
        zt_fail_path(); // runs once Wait sleeps and lets the lock go
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(), (Waited{CM_PROGRAM_STATE_CHECK, kNoId, -1})) << "nothing handed out";
    const auto waited = std::chrono::steady_clock::now() - start;
    node.join();
    EXPECT_LT(waited, 4s) << "ended by the failure, not by the stand-in's limit";
    EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u);
    EXPECT_EQ(fInitCPIC, 0);
    EXPECT_EQ(zt_assert_count(), 0u) << "no sleep on a released wait object";
    // The counters the failure left behind are no reason to sleep.
    EXPECT_EQ(wait().rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(check().first, CM_PROGRAM_STATE_CHECK);
    new_conversation(id); // initialised afresh
    EXPECT_EQ(wait().rc, CM_PROGRAM_STATE_CHECK);
}

// ---- Check -----------------------------------------------------------------

TEST_F(NonBlocking, CheckNamesACompletedConversationWithoutCollecting) {
    EXPECT_EQ(check().first, CM_PROGRAM_STATE_CHECK);
    nb_conversation(id);
    EXPECT_EQ(check().first, CM_PROGRAM_STATE_CHECK) << "nothing outstanding";
    ASSERT_EQ(flush(id, kPrimaryDeallocNormal), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(check().first, CM_UNSUCCESSFUL) << "outstanding, none completed";
    ASSERT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(check(), std::make_pair(CM_RETURN_CODE{CM_OK}, bytes(id, 8)));
    EXPECT_EQ(check(), std::make_pair(CM_RETURN_CODE{CM_OK}, bytes(id, 8))) << "still there";
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);
    ASSERT_NE(find(id), nullptr) << "not released by Check";
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(id, 8), CM_DEALLOCATED_NORMAL}));
    EXPECT_EQ(check().first, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(rc_of(cmchck, nullptr), CM_PROGRAM_PARAMETER_CHECK);
    // Check lets the node deliver what is ready.
    nb_conversation(id);
    ASSERT_EQ(flush(id, 0, ZT_DELIVER_ON_POLL), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_pending_count(), 1u);
    EXPECT_EQ(check(), std::make_pair(CM_RETURN_CODE{CM_OK}, bytes(id, 8)));
    EXPECT_EQ(zt_pending_count(), 0u);
}

// ---- Cancel_Conversation ---------------------------------------------------------

TEST_F(NonBlocking, CancelReleasesAConversationTheNodeNeverSaw) {
    new_conversation(id, 0, nullptr);
    EXPECT_EQ(cancel(id), CM_OK);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(zt_verb_count(), 0u);
    EXPECT_EQ(cancel(id), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(problem_list(), (Problems{{kProblemUnknownConversation, 2}}));
}

TEST_F(NonBlocking, CancelDuringANonBlockingAllocateOnlyMarksIt) {
    CCCB *c = nb_conversation(id, 0);
    queue(AP_B_ALLOCATE, later(0));
    ASSERT_EQ(rc_of(cmallc, id), CM_OPERATION_INCOMPLETE);
    const uint32_t verbs = zt_verb_count();
    EXPECT_EQ(cancel(id), CM_OK);
    EXPECT_EQ(c->usCancelPending, 1);
    EXPECT_EQ(zt_verb_count(), verbs) << "nothing issued yet";
    ASSERT_EQ(find(id), c);
    ASSERT_EQ(zt_complete_pending(0), 1u); // the allocate's completion cancels
    EXPECT_EQ(zt_last_verb()->opcode, AP_CANCEL);
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(id, 8), CM_PRODUCT_SPECIFIC_ERROR}));
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(NonBlocking, CancelAtTheNodeUsesARecordAndAWaitObjectOfItsOwn) {
    CCCB *c = new_conversation(id, 0x12345678, "TP-00001");
    c->ulConversationType = CM_BASIC_CONVERSATION;
    const uint32_t wait_objects = zt_live_wait_objects();
    EXPECT_EQ(cancel(id), CM_OK);
    ASSERT_EQ(zt_verb_count(), 2u);
    EXPECT_EQ(zt_verb(1)->opcode, AP_TP_ENDED) << "the release ends the conversation's TP";
    const ZT_VERB *v = zt_verb(0);
    EXPECT_EQ(std::make_pair(v->kind, v->callback), std::make_pair(uint32_t{ZT_VERB_APPC_ASYNC}, &cmcanc_cb));
    EXPECT_NE(v->user, 0u);
    EXPECT_NE(v->user, pGCB->WaitObject) << "never the wait object Wait sleeps on";
    EXPECT_NE(v->record, static_cast<const void *>(c)) << "not the conversation's own record";
    // Opcode, TP ID and conversation ID; the conversation type is not sent.
    EXPECT_EQ(image(v), record(AP_CANCEL, 0, 0x12345678, "TP-00001"));
    EXPECT_EQ(find(id), nullptr) << "over and released";
    EXPECT_EQ(zt_live_wait_objects(), wait_objects) << "its wait object released";
    EXPECT_EQ(cancel(id), CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(NonBlocking, CancelSleepsUntilTheNodeHasCancelled) {
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
    // A rejected cancel still ends the conversation; answered at once, it
    // leaves nothing with the node, though the TP instance lives on.
    new_conversation(id);
    memcpy(pGCB->CtxTpId, "TPID0001", 8);
    queue(AP_CANCEL, answer(0x0200));
    EXPECT_EQ(cancel(id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(zt_live_wait_objects(), wait_objects);
}

TEST_F(NonBlocking, WithoutAWaitObjectCancelChangesNothing) {
    CCCB *c = new_conversation(id);
    zt_fault(ZT_FAULT_WAIT_OBJECT, 1, 0);
    EXPECT_EQ(cancel(id), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(problem_list(), (Problems{{kProblemNoMemory, 18}}));
    ASSERT_EQ(find(id), c);
    EXPECT_EQ(c->usVerbsOutstanding + c->usConvEnded, 0);
    EXPECT_EQ(zt_verb_count(), 0u);
    EXPECT_EQ(cancel(id), CM_OK) << "and may be cancelled again";
    EXPECT_EQ(find(id), nullptr);
}

// An operation or a non-blocking accept in flight keeps the conversation
// until Wait collects its result.
TEST_F(NonBlocking, CancelDuringAnOperationLeavesItsResultToWait) {
    nb_conversation(id);
    ASSERT_EQ(flush(id, kPrimaryDeallocAbend), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(cancel(id), CM_OK);
    CCCB *c = find(id);
    ASSERT_NE(c, nullptr) << "the flush is still in flight";
    EXPECT_EQ(std::make_pair(c->usConvEnded, c->usVerbsOutstanding),
              std::make_pair(uint16_t{1}, uint16_t{1}));
    EXPECT_EQ(flush(id), CM_OPERATION_NOT_ACCEPTED);
    ASSERT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(id, 8), CM_DEALLOCATED_ABEND}));
    EXPECT_EQ(find(id), nullptr) << "released once its last result was collected";

    ASSERT_EQ(rc_of(cminic, id), CM_OK);
    ASSERT_EQ(rc_set(CMSPM, id, CM_NON_BLOCKING), CM_OK);
    queue(AP_RECEIVE_ALLOCATE_CPIC, later(kPrimaryConvFailureNoRetry));
    ASSERT_EQ(rc_of(cmacci, id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(cancel(id), CM_OK);
    const ZT_VERB *v = zt_last_verb();
    ASSERT_EQ(v->opcode, AP_CANCEL);
    // No TP instance yet: the accept is known by the handle.
    EXPECT_EQ(bytes(v->image + 12, 12), kNoId + bytes(id, 4));
    ASSERT_NE(find(id), nullptr);
    ASSERT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(id, 8), CM_RESOURCE_FAILURE_NO_RETRY}));
    EXPECT_EQ(find(id), nullptr);
}

} // namespace
