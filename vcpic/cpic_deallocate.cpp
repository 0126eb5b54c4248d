// SPDX-License-Identifier: Apache-2.0
// Deallocate: end a conversation with one NAP_DEALLOCATE, or, when the node
// has never seen it, without any verb. Also the deallocate that an abnormal
// SEND_AND_DEALLOCATE chains after its data to carry the error log data.
#include "vcpic/cpic_deallocate.h"

#include <string.h>

#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"

using namespace cpic;

namespace {

// dealloc_kind of the record; other types go as the low bit of their value.
constexpr uint8_t kDeallocAbendBasic = 2;
constexpr uint8_t kDeallocAbendMapped = 5;

// The sequence numbers that name the places writing a problem record.
constexpr uint32_t kLogDataMissingSequence = 1;
constexpr uint32_t kHoldLogDataSequence = 16;

// A broken invariant of our own is reported, and processing goes on.
void expect(bool holds, int line, const char *expression) {
    if (!holds) v0_assert(__FILE__, line, expression);
}

bool is_basic(const CCCB *c) {
    return c->ulConversationType == CM_BASIC_CONVERSATION;
}

bool is_basic_abend(const CCCB *c) {
    return is_basic(c) && c->ulDeallocateType == CM_DEALLOCATE_ABEND;
}

void build_deallocate(CCCB *c) {
    VCB_DEALLOCATE &d = prepare_verb(c, AP_DEALLOCATE).dealloc;
    if (c->ulDeallocateType != CM_DEALLOCATE_ABEND) {
        // DEALLOCATE_CONFIRM travels as "according to the sync level": the
        // node knows the sync level and decides whether to confirm.
        d.dealloc_kind = static_cast<uint8_t>(c->ulDeallocateType & 1u);
    } else if (!is_basic(c)) {
        d.dealloc_kind = kDeallocAbendMapped; // a mapped conversation has no log data
    } else {
        d.dealloc_kind = kDeallocAbendBasic;
        d.log_len = c->usLogDataLen;
        // Passed as it is: the log data stays the conversation's until the
        // CCCB is released.
        if (c->usLogDataLen != 0) d.log_addr = c->LogData;
    }
}

void audit_deallocation(const CCCB *c) {
    CPIC_AUDIT(kAuditConversationDeallocated, 0, "ba ca", 8u, c->TraceConvId, 8u,
               c->SideInfo.SideInfoLocLUAlias);
}

// The deallocate's own result (the return code is mapped already; a
// conversation-ending failure is marked already).
void deallocate_result(CCCB *c) {
    if (c->vcb.hdr.primary_rc != kPrimaryOk) {
        drop_held_log_data(c);
        return;
    }
    audit_deallocation(c);
    // Whatever the deallocate type, success means the conversation is over.
    c->usConvEnded = 1;
}

// Called directly. A held copy means the send that chained this
// deallocate is completing it, and the send's completion finishes the
// operation itself.
void deallocate_result_inline(CCCB *c) {
    if (c->vcb.hdr.primary_rc == kPrimaryOk && c->usDeallcLogDataLen != 0) {
        audit_deallocation(c);
        return;
    }
    deallocate_result(c);
}

// A conversation the node does not know: only one created by
// Initialize_Conversation can be ended, and only abnormally, since nothing
// was ever sent on it.
void end_unallocated(CallFrame &f) {
    CCCB *c = f.cccb();
    if (c->usInitialized == 0 || c->ulDeallocateType != CM_DEALLOCATE_ABEND) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
        return;
    }
    c->usConvEnded = 1;
    // A result still waiting keeps the CCCB until Wait collects it.
    if (!c->usCompletionWaiting) {
        SCC_free_cccb(c);
        f.forget_cccb();
    }
}

} // namespace

namespace cpic {

bool hold_abend_log_data(CCCB *c) {
    auto *copy = static_cast<unsigned char *>(
        nba_mm_alloc(c->usLogDataLen, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0));
    if (c->LogData == nullptr || copy == nullptr) {
        CPIC_PROBLEM(kProblemNoMemory, kHoldLogDataSequence, "x x x x", 0u, 0u, 0u, 0u);
        if (copy != nullptr) nba_mm_free(copy, 0);
        return false;
    }
    if (c->DeallcLogData != nullptr) {
        v0_assert(__FILE__, __LINE__, "cccb_ptr->DeallcLogData == NULL");
        nba_mm_free(c->DeallcLogData, 0); // nobody else would ever free it
    }
    memcpy(copy, c->LogData, c->usLogDataLen);
    c->DeallcLogData = copy;
    c->usDeallcLogDataLen = c->usLogDataLen;
    return true;
}

void drop_held_log_data(CCCB *c) {
    if (c->usDeallcLogDataLen == 0) return;
    expect(c->ulSendType == CM_SEND_AND_DEALLOCATE, __LINE__,
           "cccb_ptr->ulSendType == CM_SEND_AND_DEALLOCATE");
    expect(c->ulDeallocateType == CM_DEALLOCATE_ABEND, __LINE__,
           "cccb_ptr->ulDeallocateType == CM_DEALLOCATE_ABEND");
    expect(c->DeallcLogData != nullptr, __LINE__, "cccb_ptr->DeallcLogData != NULL");
    if (c->DeallcLogData != nullptr) nba_mm_free(c->DeallcLogData, 0);
    c->DeallcLogData = nullptr;
    c->usDeallcLogDataLen = 0;
}

ChainedDeallocate chain_abend_deallocate(CCCB *c, uint32_t async) {
    expect(c->DeallcLogData != nullptr, __LINE__, "cccb_ptr->DeallcLogData != NULL");
    expect(is_basic(c), __LINE__, "cccb_ptr->ulConversationType == CM_BASIC_CONVERSATION");
    VCB_DEALLOCATE &d = prepare_verb(c, AP_DEALLOCATE).dealloc;
    d.hdr.conv_type = static_cast<uint8_t>(CM_BASIC_CONVERSATION);
    d.dealloc_kind = kDeallocAbendBasic;
    d.log_len = c->usDeallcLogDataLen;
    d.log_addr = c->DeallcLogData;

    APPC_CALLBACK callback = c->usProcessingMode != CM_BLOCKING ? cmdeal_cb : nullptr;
    const uint16_t answer = op::hand_to_node(c, &c->vcb, callback, 1, op::Count::kReplacesResult,
                                             {__FILE__, __LINE__, "(pGCB)->NumVerbsWaiting > 0"});
    if (op::in_flight(answer, callback != nullptr)) {
        c->ulTraceRc = CM_OPERATION_INCOMPLETE;
        // Only the deallocate's completion is posted, so the send that the
        // node has just completed gives its counts back here.
        if (async != 0) op::hand_over(c);
        return ChainedDeallocate::kInFlight;
    }
    cmdeal_cb(&c->vcb, 0, 0, 0);
    // The send still counts as outstanding, so nothing releases the CCCB
    // under the send's completion.
    op::finish(c);
    c->usConvEnded = 1;
    return ChainedDeallocate::kCompleted;
}

} // namespace cpic

CPIC_API void cmdeal_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async, async != 0 ? deallocate_result : deallocate_result_inline);
}

CM_ENTRY cmdeal(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMDEAL, return_code, Conversation{conversation_ID}, words(conversation_ID));
    if (!f.ok()) return;
    CCCB *c = f.cccb();
    if (c->usVerbsOutstanding != 0) {
        f.set_rc(CM_OPERATION_NOT_ACCEPTED);
        return;
    }
    if (c->ulConvId == 0) {
        end_unallocated(f);
        return;
    }
    build_deallocate(c);
    if (is_basic_abend(c) && c->usLogDataLen != 0 && c->LogData == nullptr) {
        CPIC_PROBLEM(kProblemLogDataMissing, kLogDataMissingSequence, "");
        f.set_rc(CM_PRODUCT_SPECIFIC_ERROR);
        return;
    }
    f.issue_verb(cmdeal_cb, {});
}
CPIC_ENTRY_ALIAS(CMDEAL, cmdeal);
