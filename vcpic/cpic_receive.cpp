// SPDX-License-Identifier: Apache-2.0
// Receive: one receive verb over the program's buffer. The node answers
// with a single combined data/status indicator; the completion splits it
// into the two CPI-C outputs and remembers a confirmation request the
// program still has to answer.
#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"

using namespace cpic;

namespace {

// High byte of the node's indicator: 0 none, 1 data, 2 complete, 4 incomplete.
CM_DATA_RECEIVED_TYPE decode_data(uint8_t node_data) {
    switch (node_data) {
    case 0x00: return CM_NO_DATA_RECEIVED;
    case 0x01: return CM_DATA_RECEIVED;
    case 0x02: return CM_COMPLETE_DATA_RECEIVED;
    case 0x04: return CM_INCOMPLETE_DATA_RECEIVED;
    default: v0_assert(__FILE__, __LINE__, "FALSE"); return CM_NO_DATA_RECEIVED;
    }
}

// Low byte: the status values are the CPI-C ones, 0 to 4.
CM_STATUS_RECEIVED decode_status(uint8_t node_status) {
    if (node_status > CM_CONFIRM_DEALLOC_RECEIVED) {
        v0_assert(__FILE__, __LINE__, "FALSE");
        return CM_NO_STATUS_RECEIVED;
    }
    return node_status;
}

// Runs on success and failure alike: even a receive that ends the
// conversation reports what the node put in the record.
void receive_result(CCCB *c) {
    const VCB_RECEIVE &r = c->vcb.rcv;
    const CM_DATA_RECEIVED_TYPE data = decode_data(static_cast<uint8_t>(r.data_status_ind >> 8));
    const CM_STATUS_RECEIVED status = decode_status(static_cast<uint8_t>(r.data_status_ind & 0xFFu));

    // A confirmation request must be answered by Confirmed or Send_Error;
    // only those clear the indicators again.
    if (status == CM_CONFIRM_RECEIVED || status == CM_CONFIRM_SEND_RECEIVED ||
        status == CM_CONFIRM_DEALLOC_RECEIVED)
        c->usConfirmPending = 1;
    if (status == CM_CONFIRM_DEALLOC_RECEIVED) c->usConfirmDealloc = 1;

    const op::SavedCall call = op::saved(c);
    if (auto *p = call.data_received()) *p = data;
    if (auto *p = call.status_received()) *p = status;
    if (auto *p = call.received_length()) *p = static_cast<CM_INT32>(r.data_len);
    if (auto *p = call.request_to_send()) *p = r.rts_ind;
}

void build_receive(CCCB *c, unsigned char *buffer, CM_INT32 requested_length) {
    const uint16_t opcode =
        c->ulReceiveType == CM_RECEIVE_AND_WAIT ? NAP_RECEIVE_AND_WAIT : NAP_RECEIVE_IMMEDIATE;
    VCB_RECEIVE &r = prepare_verb(c, opcode).rcv;
    // Status may come with the last of the data rather than on a receive
    // of its own.
    r.status_with_data = 1;
    r.fill_ind = static_cast<uint8_t>((c->ulFill & 0xFFu) ^ 1u); // FILL_LL 0 -> 1, FILL_BUFFER 1 -> 0
    r.requested_len = static_cast<uint16_t>(static_cast<uint32_t>(requested_length) & 0xFFFFu);
    r.data_addr = buffer;
}

} // namespace

CPIC_API void cmrcv_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async, receive_result);
}

CM_ENTRY cmrcv(unsigned char *conversation_ID, unsigned char *buffer, CM_INT32 *requested_length,
               CM_DATA_RECEIVED_TYPE *data_received, CM_INT32 *received_length,
               CM_STATUS_RECEIVED *status_received, CM_REQUEST_TO_SEND_RECEIVED *request_to_send_received,
               CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMRCV, return_code, Conversation{conversation_ID},
                words(conversation_ID, requested_length));
    const TraceOutputs results =
        outputs(buffer, data_received, received_length, status_received, request_to_send_received);
    f.respond(results);
    // A refused call must never leave a stale length behind; the other
    // outputs are the completion's alone.
    if (received_length != nullptr) *received_length = 0;
    if (!f.ok() || !may_issue_verb(f)) return;

    if (requested_length == nullptr) {
        // Nothing to read, so nothing to put in the record either.
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    if (SCC_beyond_maximum_buffer(*requested_length)) {
        CPIC_PROBLEM(kProblemDataLengthInvalid, 0, "l", *requested_length);
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    build_receive(f.cccb(), buffer, *requested_length);
    f.issue_verb(cmrcv_cb, results);
}
CPIC_ENTRY_ALIAS(CMRCV, cmrcv);
