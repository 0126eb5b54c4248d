// SPDX-License-Identifier: Apache-2.0
// Terminate: the end-TP verb for the current context, which conversations
// go with it, what a refusal leaves in place, and the bookkeeping of the
// conversations dropped.
#include <cstdio>
#include <tuple>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

class Terminate : public LibraryTest {
  protected:
    static CM_INT32 terminate(CM_END_TYPE end_type) { return rc_of(CMTERM, &end_type); }
    static void make_current(const char *tp_id, const char *alias = "LUCURR  ") {
        memcpy(pGCB->CtxTpId, tp_id, 8);
        memcpy(pGCB->CtxLocLUAlias, alias, 8);
    }
    static std::string current() { return bytes(pGCB->CtxTpId, 8); }
    // The end-TP record: its type byte sits where others carry a conversation ID.
    static std::string end_tp(const char *tp_id, uint8_t type) { return record(AP_TP_ENDED, 0, type, tp_id); }
    // The conversation `id` of instance `tp_id`, made the current context.
    CCCB *current_conversation(const char *tp_id) {
        CCCB *c = new_conversation(id, 0x51, tp_id);
        make_current(tp_id);
        return c;
    }
    static const std::string kNone;
};
const std::string Terminate::kNone(8, '\0');

// Without a current context (the library perhaps not even initialised)
// there is nothing to end.
TEST_F(Terminate, WithoutACurrentContextNothingIsEnded) {
    EXPECT_EQ(terminate(CM_HARD), CM_OK);
    EXPECT_EQ(fInitCPIC, 0) << "Terminate initialises nothing";
    new_conversation(id, 0x51, "TPIDNOTC");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(terminate(CM_SOFT), CM_OK);
    EXPECT_EQ(std::make_tuple(zt_verb_count(), zt_problem_count()), std::make_tuple(0u, 0u));
    EXPECT_NE(find(id), nullptr);
}

TEST_F(Terminate, DropsTheCurrentInstancesConversationsOnly) {
    unsigned char a[8], a2[8], b[8];
    new_conversation(a, 0x51, "TPIDAAAA");
    new_conversation(b, 0x52, "TPIDBBBB");
    new_conversation(a2, 0x53, "TPIDAAAA");
    make_current("TPIDAAAA");
    const uint32_t blocks = zt_live_blocks();

    EXPECT_EQ(terminate(CM_HARD), CM_OK);
    ASSERT_EQ(zt_verb_count(), 1u) << "one end-TP verb and nothing per conversation";
    EXPECT_EQ(zt_verb(0)->kind, uint32_t{ZT_VERB_APPC_BLOCKING});
    EXPECT_EQ(image(zt_verb(0)), end_tp("TPIDAAAA", AP_TP_END_HARD));

    EXPECT_EQ(find(a), nullptr);
    EXPECT_EQ(find(a2), nullptr);
    EXPECT_EQ(zt_live_blocks(), blocks - 2) << "both blocks, and the end-TP record, freed";
    EXPECT_EQ(current() + bytes(pGCB->CtxLocLUAlias, 8), kNone + kNone);

    EXPECT_EQ(rc_of(cmflus, a), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(rc_of(cmflus, b), CM_OK) << "the other instance's conversation still works";
    EXPECT_EQ(fInitCPIC, 1) << "the library stays initialised";
}

TEST_F(Terminate, EndTypeOtherThanHardOrSoftIsAParameterError) {
    current_conversation("TPIDKEEP");
    for (CM_END_TYPE bad : {2, -1, 0x7FFFFFFF}) EXPECT_EQ(terminate(bad), CM_PARAMETER_ERROR) << bad;
    EXPECT_EQ(rc_of(CMTERM, nullptr), CM_PARAMETER_ERROR);
    EXPECT_EQ(current(), "TPIDKEEP");
    EXPECT_NE(find(id), nullptr);
    EXPECT_EQ(zt_verb_count(), 0u);
    // A soft end is an end-TP verb of its own type.
    EXPECT_EQ(terminate(CM_SOFT), CM_OK);
    EXPECT_EQ(image(last_of(AP_TP_ENDED)), end_tp("TPIDKEEP", AP_TP_END_SOFT));
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(Terminate, UncollectedResultIsNoLongerWaitedFor) {
    // A non-blocking Flush whose result the node delivered and nobody
    // collected.
    current_conversation("TPIDWAIT")->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_FLUSH, answer(0, 0, true));
    ASSERT_EQ(rc_of(cmflus, id), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(zt_complete_pending(0), 1u);
    ASSERT_EQ(pGCB->NumVerbsWaiting, 1u);
    EXPECT_EQ(terminate(CM_HARD), CM_OK);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);
    EXPECT_EQ(wait().rc, CM_PROGRAM_STATE_CHECK) << "nothing left to wait for";
}

TEST_F(Terminate, MissingWaitingCountIsAssertedAndStaysZero) {
    CCCB *c = current_conversation("TPIDASRT");
    c->usCompletionWaiting = 1; // but counted nowhere
    EXPECT_EQ(terminate(CM_HARD), CM_OK);
    ASSERT_EQ(zt_assert_count(), 1u);
    EXPECT_STREQ(zt_assert(0)->expression, "pGCB->NumVerbsWaiting > 0");
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(Terminate, OwnedBuffersGoWithTheConversation) {
    CCCB *c = current_conversation("TPIDLOGS");
    c->ulConversationType = CM_BASIC_CONVERSATION;
    unsigned char log[8] = {'F', 'A', 'I', 'L', 'E', 'D'};
    CM_INT32 length = 6;
    ASSERT_EQ(rc_of(CMSLD, id, log, &length), CM_OK);
    c->DeallcLogData =
        static_cast<unsigned char *>(nba_mm_alloc(16, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0));
    ASSERT_NE(c->DeallcLogData, nullptr);
    c->usDeallcLogDataLen = 16;
    const uint32_t blocks = zt_live_blocks();
    EXPECT_EQ(terminate(CM_HARD), CM_OK);
    EXPECT_EQ(zt_live_blocks(), blocks - 3) << "the CCCB and both log data buffers";
}

TEST_F(Terminate, EntryDisagreeingWithItsHandleIsAssertedAndStillReleased) {
    CCCB *c = current_conversation("TPIDHNDL");
    const uint32_t entries = zt_live_table_entries();
    c->CCCBhandle += 1000;
    EXPECT_EQ(terminate(CM_HARD), CM_OK);
    ASSERT_EQ(zt_assert_count(), 1u);
    EXPECT_STREQ(zt_assert(0)->expression, "cccb_ptr->CCCBhandle == tm_handle");
    EXPECT_EQ(zt_live_table_entries(), entries - 1) << "the entry it was found under is released";
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(Terminate, NodeRefusalKeepsContextAndConversations) {
    current_conversation("TPIDSTAY");
    make_current("TPIDSTAY", "LUSTAY  ");

    queue(AP_TP_ENDED, answer(kPrimaryStateCheck));
    EXPECT_EQ(terminate(CM_HARD), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(current() + bytes(pGCB->CtxLocLUAlias, 8), "TPIDSTAYLUSTAY  ");
    EXPECT_NE(find(id), nullptr);

    // A code without a CPI-C meaning: 20 and the mapping's record, naming
    // the end-TP opcode.
    queue(AP_TP_ENDED, answer(0x2200, 0x01020304));
    EXPECT_EQ(terminate(CM_HARD), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(last_problem(), (Rec{kProblemUnmappedReturnCode, 1, "x x lx", "0013 2200 01020304"}));
    EXPECT_NE(find(id), nullptr);

    // Once the node agrees, the instance goes.
    EXPECT_EQ(terminate(CM_HARD), CM_OK);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(current(), kNone);
}

TEST_F(Terminate, NoMemoryForTheEndTpVerbLeavesEverythingInPlace) {
    current_conversation("TPIDNMEM");
    zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
    EXPECT_EQ(terminate(CM_HARD), CM_PRODUCT_SPECIFIC_ERROR);
    zt_fault_clear();
    EXPECT_EQ(problem_list(), (Problems{{kProblemNoMemory, 17}, {kProblemUnmappedReturnCode, 1}}));
    EXPECT_EQ(zt_verb_count(), 0u);
    EXPECT_EQ(current(), "TPIDNMEM");
    EXPECT_NE(find(id), nullptr);
}

// A verb still in flight is not waited for: its conversation goes with the
// instance, and so does its count among the verbs in the node (left raised,
// Wait would sleep and Check answer 28 for ever). Ending the instance at
// the node is what disposes of the verb.
TEST_F(Terminate, VerbInFlightIsNotWaitedFor) {
    CCCB *c = current_conversation("TPIDBUSY");
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_FLUSH, answer(0, 0, true));
    ASSERT_EQ(rc_of(cmflus, id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(terminate(CM_HARD), CM_OK);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u) << "the dropped verb is counted off";
    // Ending the instance at the node took its verbs in flight with it, so
    // no completion can reach the freed conversation.
    EXPECT_EQ(zt_pending_count(), 0u);
    EXPECT_EQ(zt_complete_pending(0), 0u);
}

} // namespace
