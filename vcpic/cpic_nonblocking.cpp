// SPDX-License-Identifier: Apache-2.0
// Set_Processing_Mode, Wait_For_Conversation, Check and
// Cancel_Conversation: the calls of a program that lets its verbs complete
// later. A completion marks its conversation as having a result waiting
// (usCompletionWaiting, counted in NumVerbsWaiting) and wakes the GCB's wait
// object; Wait hands such results out one at a time, Check only names the
// conversation.
#include <string.h>

#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"

using namespace cpic;

namespace {

// Problem sequence of record 0x2003000B when Cancel gets no wait object.
constexpr uint32_t kCancelNoWaitObject = 18;

// After a path failure the counters still hold what they held, but no
// conversation is left for them to count.
bool nothing_to_collect() {
    const GCB *g = pGCB;
    return fInitCPIC == 0 || (g->NumVerbsWaiting == 0 && g->NumVerbsOutstanding == 0);
}

// Sleeps until some result waits, or a dropped operation's end is handed
// to this Wait. Every wake-up is re-tested: it may be for a completion
// another call has already consumed, or meant for another sleeper (then it
// is passed on). Stops when nothing is in flight any more, when the node
// path failed meanwhile (the library is torn down) or when the node cannot
// sleep at all.
void sleep_until_a_result_waits(op::Sleeper &me) {
    const GCB *g = pGCB;
    while (g->NumVerbsWaiting == 0 && !me.handed) {
        uint16_t slept;
        {
            op::Sleeping sleeping(me);
            slept = vpm_sleep(g->WaitObject, VPM_WAIT_FOREVER);
        }
        if (fInitCPIC == 0 || me.handed || g->NumVerbsWaiting != 0 || g->NumVerbsOutstanding == 0 ||
            slept != 0)
            return;
        if (op::other_waits_sleep(&me, true)) vpm_wakeup(g->WaitObject);
    }
}

// The wait object wakes one sleeper per signal: a Wait that leaves while
// others still sleep passes the signal on, so a second result delivered
// together with the first, or the end of a dropped operation, is not left
// until the sleep limit.
void pass_the_wake_up_on() {
    if (fInitCPIC != 0 && op::other_waits_sleep(nullptr, false)) vpm_wakeup(pGCB->WaitObject);
}

// The cancel verb goes in a record of its own: the conversation's record
// may still hold the verb being cancelled.
void build_cancel(VCB &record, const CCCB *c, const unsigned char *conversation_ID) {
    memset(&record, 0, sizeof record);
    record.cancel.hdr.opcode = AP_CANCEL;
    record.cancel.hdr.conv_type = static_cast<uint8_t>(c->ulConversationType & 0xFFu);
    if (c->ulConvId != 0) {
        memcpy(record.cancel.hdr.tp_id, c->TpId, sizeof record.cancel.hdr.tp_id);
        record.cancel.hdr.conv_id = c->ulConvId;
        return;
    }
    // An accept in flight: the node knows it by the CCCB's handle.
    if (c->vcb.rcvallcp.rcv_alloc.hdr.opcode != NAP_RECEIVE_ALLOCATE_CPIC)
        v0_assert(__FILE__, __LINE__, "cccb_ptr->vcb.rcvallcp.rcv_alloc.opcode == NAP_RECEIVE_ALLOCATE_CPIC");
    memcpy(&record.cancel.hdr.conv_id, conversation_ID, sizeof record.cancel.hdr.conv_id);
}

// Issues the cancel verb and waits for it on a wait object of its own, so
// that its wake-up is never taken by a Wait. The conversation is over
// whatever the node answers.
void cancel_at_node(CallFrame &f, const unsigned char *conversation_ID) {
    CCCB *c = f.cccb();
    // Taken before anything changes: without them the conversation stays as
    // it was and the program may cancel again.
    op::HeldRecord *held = op::new_held_record();
    if (held == nullptr) {
        CPIC_PROBLEM(kProblemNoMemory, kCancelNoWaitObject, "");
        f.set_rc(CM_PRODUCT_SPECIFIC_ERROR);
        return;
    }
    build_cancel(held->record, c, conversation_ID);
    c->usConvEnded = 1;
    // The node holds the record from the moment it has it: a callback may
    // come as soon as the lock is let go.
    op::node_holds(held);
    const uint16_t answer =
        op::hand_to_node(c, &held->record, cmcanc_cb, held->wait_object, op::Count::kBesideResult, {});
    bool answered = true;
    if (answer != APPC_IN_PROGRESS) {
        op::let_go(held, op::kNodeHolds); // answered at once: nothing stays with the node
    } else {
        op::Sleeper me;
        me.cancelling = c;
        me.wait_object = held->wait_object;
        uint16_t slept;
        {
            op::Sleeping sleeping(me);
            slept = vpm_sleep(held->wait_object, VPM_WAIT_FOREVER);
        }
        // A failed sleep leaves the record to the node, which may yet call
        // back: the outcome is unknown.
        answered = slept == 0 && (held->holders & op::kNodeHolds) == 0;
        if (me.dropped) {
            // Terminate or a path failure took the conversation while we
            // slept and left its block to us; its cancel verb went with it.
            op::let_go(held, op::kCallHolds);
            op::free_dropped(c);
            f.forget_cccb();
            f.set_rc(me.conversation_rc);
            return;
        }
    }
    const VCB_HDR &h = held->record.cancel.hdr;
    if (!answered) {
        // The conversation is over all the same.
        f.set_rc(CM_PRODUCT_SPECIFIC_ERROR);
    } else if (h.primary_rc != kPrimaryOk) {
        uint32_t rc = CM_OK;
        SCC_map_return_codes(&rc, h.primary_rc, h.secondary_rc, h.opcode);
        f.set_rc(static_cast<CM_INT32>(rc));
    }
    // The call lets go last: releasing the conversation may end its TP
    // instance, and with it the verb and the node's hold on the record.
    c->usConvEnded = 1;
    if (op::finish(c)) f.forget_cccb();
    op::let_go(held, op::kCallHolds);
}

} // namespace

// The cancel verb's completion: wakes the cancelling call, or, when that
// call has given up sleeping, frees what it left to the node.
CPIC_API void cmcanc_cb(void *record, uint32_t, uint32_t, uint32_t) {
    op::node_called_back(record);
}

CM_ENTRY cmspm(unsigned char *conversation_ID, CM_PROCESSING_MODE *processing_mode,
               CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMSPM, return_code, Conversation{conversation_ID},
                words(conversation_ID, processing_mode));
    if (!f.ok()) return;
    CCCB *c = f.cccb();
    if (c->usVerbsOutstanding != 0) {
        f.set_rc(CM_OPERATION_NOT_ACCEPTED);
    } else if (processing_mode == nullptr ||
               (*processing_mode != CM_BLOCKING && *processing_mode != CM_NON_BLOCKING)) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
    } else {
        c->usProcessingMode = static_cast<uint16_t>(*processing_mode);
    }
}
CPIC_ENTRY_ALIAS(CMSPM, cmspm);

CM_ENTRY cmwait(unsigned char *conversation_ID, CM_RETURN_CODE *conversation_return_code,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMWAIT, return_code, words());
    f.respond(outputs(conversation_ID, conversation_return_code));
    if (conversation_ID == nullptr || conversation_return_code == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK); // nowhere to hand a result to
        return;
    }
    if (nothing_to_collect()) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
        return;
    }
    op::Sleeper me;
    sleep_until_a_result_waits(me);
    if (me.handed) {
        // Terminate dropped the conversation whose operation this Wait was
        // sleeping for: its end is the result.
        memcpy(conversation_ID, me.conversation_id, sizeof me.conversation_id);
        *conversation_return_code = me.conversation_rc;
        pass_the_wake_up_on();
        return;
    }
    GCB *g = pGCB;
    if (fInitCPIC == 0 || g->NumVerbsWaiting == 0) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
        pass_the_wake_up_on();
        return;
    }
    CCCB *c = op::first_waiting();
    if (c == nullptr) {
        v0_assert(__FILE__, __LINE__, "tm_handle != NB_NULL_HANDLE");
        f.set_rc(CM_UNSUCCESSFUL);
        return;
    }
    if (!op::collect(c, conversation_ID, conversation_return_code)) f.set_cccb(c);
    pass_the_wake_up_on();
}
CPIC_ENTRY_ALIAS(CMWAIT, cmwait);

CM_ENTRY cmchck(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    // Before the lock: the node may hand over completions that are ready.
    vpm_asm_event_fd();
    CallFrame f(kVerbCMCHCK, return_code, words());
    f.respond(outputs(conversation_ID));
    if (conversation_ID == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    if (nothing_to_collect()) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
        return;
    }
    if (pGCB->NumVerbsWaiting == 0) {
        f.set_rc(CM_UNSUCCESSFUL); // in flight, none completed yet
        return;
    }
    CCCB *c = op::first_waiting();
    if (c == nullptr) {
        v0_assert(__FILE__, __LINE__, "FALSE");
        f.set_rc(CM_UNSUCCESSFUL);
        return;
    }
    // Only named: the result stays for Wait to collect.
    memcpy(conversation_ID, op::saved_conversation_id(c), 8);
    f.set_cccb(c);
}
CPIC_ENTRY_ALIAS(CMCHCK, cmchck);

CM_ENTRY cmcanc(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMCANC, return_code, Conversation{conversation_ID}, words(conversation_ID));
    if (!f.ok()) return;
    CCCB *c = f.cccb();
    if (c->ulConvId == 0 && c->usVerbsOutstanding == 0) {
        // Never reached the node and nothing in flight: the library alone
        // holds it.
        SCC_free_cccb(c);
        f.forget_cccb();
        return;
    }
    if (SCC_in_initialize_state(*c)) {
        // An allocate in flight: its completion cancels what the node makes.
        if (c->vcb.alloc.hdr.opcode != NAP_B_ALLOCATE)
            v0_assert(__FILE__, __LINE__, "cccb_ptr->vcb.alloc.opcode == NAP_B_ALLOCATE");
        c->usCancelPending = 1;
        return;
    }
    cancel_at_node(f, conversation_ID);
}
CPIC_ENTRY_ALIAS(CMCANC, cmcanc);
