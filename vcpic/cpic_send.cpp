// SPDX-License-Identifier: Apache-2.0
// Send_Data: one NAP_SEND_DATA that carries the program's buffer unchanged
// and, in its send kind, whatever is to follow the data (flush, confirm,
// prepare to receive, deallocate). An abnormal SEND_AND_DEALLOCATE with
// error log data is the one case that takes two verbs: the data alone,
// then a deallocate that carries the log data.
#include <string.h>

#include "vcpic/cpic_deallocate.h"
#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"
#include "vcpic/semutrcp.h"

using namespace cpic;

namespace {

constexpr uint32_t kLengthProblemSequence = 1;

// Send kind of the data alone, when the deallocate follows as its own verb.
constexpr uint8_t kSendKindDataOnly = 0;

// The node's send kind. The confirm variants go as requests "according to
// the sync level" (4 and 6), since the node knows the sync level and
// decides whether a confirmation takes place.
uint8_t send_kind(const CCCB *c) {
    auto kind = static_cast<uint8_t>(c->ulSendType & 0xFFu);
    if (kind == CM_SEND_AND_PREP_TO_RECEIVE) {
        if (c->ulPrepToReceiveType != CM_PREP_TO_RECEIVE_FLUSH) kind += 1;
    } else if (kind == CM_SEND_AND_DEALLOCATE) {
        const auto type = static_cast<uint8_t>(c->ulDeallocateType & 0xFFu);
        kind = static_cast<uint8_t>(kind + (type != 0 ? type : 2));
    }
    return kind;
}

bool deallocates_with_log_data(const CCCB *c) {
    return c->usLogDataLen != 0 && c->ulSendType == CM_SEND_AND_DEALLOCATE &&
           c->ulDeallocateType == CM_DEALLOCATE_ABEND;
}

} // namespace

namespace {

Next send_result(CCCB *c, uint32_t async) {
    if (c->vcb.hdr.primary_rc != kPrimaryOk) {
        drop_held_log_data(c);
    } else if (c->ulSendType == CM_SEND_AND_DEALLOCATE) {
        if (c->usDeallcLogDataLen == 0)
            c->usConvEnded = 1;
        else if (chain_abend_deallocate(c, async) == ChainedDeallocate::kInFlight)
            return Next::kContinued; // the deallocate's completion finishes the operation
    }
    // The partner's request-to-send counts on failure too. After a chained
    // deallocate the byte is that record's, which stays zero.
    if (auto *rts = op::saved(c).request_to_send()) *rts = c->vcb.send.rts_ind;
    return Next::kDone;
}

} // namespace

CPIC_API void cmsend_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async, send_result);
}

CM_ENTRY cmsend(unsigned char *conversation_ID, unsigned char *buffer, CM_INT32 *send_length,
                CM_REQUEST_TO_SEND_RECEIVED *request_to_send_received, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMSEND, return_code, Conversation{conversation_ID},
                words(conversation_ID, buffer, send_length));
    f.respond(outputs(request_to_send_received));
    if (!f.ok() || !may_issue_verb(f)) return;
    // Without a length there is nothing to send or to report.
    if (send_length == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    if (SCC_beyond_maximum_buffer(*send_length)) {
        CPIC_PROBLEM(kProblemDataLengthInvalid, kLengthProblemSequence, "l", *send_length);
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    CCCB *c = f.cccb();
    VCB_SEND_DATA &s = prepare_verb(c, AP_SEND_DATA).send;
    s.data_len = static_cast<uint16_t>(*send_length);
    s.data_addr = buffer;
    s.send_kind = send_kind(c);
    if (deallocates_with_log_data(c)) {
        s.send_kind = kSendKindDataOnly;
        if (!hold_abend_log_data(c)) {
            f.set_rc(CM_PRODUCT_SPECIFIC_ERROR);
            return;
        }
    }
    f.issue_verb(cmsend_cb, outputs(request_to_send_received));
}
CPIC_ENTRY_ALIAS(CMSEND, cmsend);
