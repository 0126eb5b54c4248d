// SPDX-License-Identifier: Apache-2.0
// The extract calls: a conversation characteristic handed back to the
// program. All but Extract_Conversation_State answer from the CCCB alone;
// the state lives at the node once the conversation is there, so that call
// asks the node with the get-state verb and completes it within the call.
#include <string.h>

#include "vcpic/cpic_characteristics.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpic_lu_name.h"
#include "vcpic/semutrcp.h"

using namespace cpic;

namespace {

// Extract_Local_LU_Name always writes an 8-byte alias and a terminator.
constexpr CM_INT32 kLocalLuNameLength = 8;
constexpr size_t kTpNameLength = 64;

constexpr const char *kIssueSource = "../../p/vcpic/cpiccal2";
constexpr int32_t kWaitingAssertLine = 167;

// The node's state codes, by code, as CPI-C states; 0 where the code has
// no CPI-C state.
constexpr std::array<CM_CONVERSATION_STATE, 10> kNodeStates = {
    CM_INITIALIZE_STATE,         // 0
    CM_SEND_STATE,               // 1
    CM_RECEIVE_STATE,            // 2
    CM_CONFIRM_STATE,            // 3
    CM_CONFIRM_SEND_STATE,       // 4
    CM_CONFIRM_DEALLOCATE_STATE, // 5
    0,
    0,
    0,                     // 6 to 8: none
    CM_SEND_PENDING_STATE, // 9
};

// 0 when the node's code has no CPI-C state.
CM_CONVERSATION_STATE translate_node_state(uint8_t code) {
    return code < kNodeStates.size() ? kNodeStates[code] : 0;
}

void to_ascii(uint16_t table, size_t length, unsigned char *destination, const unsigned char *source) {
    SCC_convert_string(CONVERT_EBCDIC_TO_ASCII, table, static_cast<int16_t>(length), destination, source);
}

// ---- The get-state verb ------------------------------------------------------

// Builds the get-state verb in the conversation's record.
void prepare_get_state(CCCB *c) {
    memset(&c->vcb, 0, sizeof c->vcb);
    VCB_GET_STATE &v = c->vcb.get_state;
    v.hdr.opcode = AP_GET_STATE; // the conversation-type byte stays zero
    memcpy(v.hdr.tp_id, c->TpId, sizeof v.hdr.tp_id);
    v.hdr.conv_id = c->ulConvId;
}

// The call is saved as every verb routine saves it, so that a completion
// the node delivers later finds what its response record needs.
void issue_get_state(CallFrame &f, CCCB *c, const unsigned char *conversation_ID,
                     CM_CONVERSATION_STATE *state) {
    prepare_get_state(c);
    op::begin(c, kVerbCMECS, conversation_ID, f.rc(), outputs(state));
    // No callback, whatever the processing mode: the state is wanted now.
    // Should the node still keep it in flight, its answer alone says so.
    const op::AssertPlace place{kIssueSource, kWaitingAssertLine, "(pGCB)->NumVerbsWaiting > 0"};
    CM_INT32 rc = f.rc();
    const Outcome outcome = run_operation(c, cmecs_cb, nullptr, true, place, rc);
    f.set_rc(rc);
    if (outcome == Outcome::kReleased) f.forget_cccb();
}

} // namespace

// The node's return codes mean nothing to the program here: any failure of
// the get-state verb is the library's problem, not the conversation's.
CPIC_API void cmecs_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    CCCB *c = static_cast<CCCB *>(vcb); // the record is the CCCB's first member
    const VCB_GET_STATE &v = c->vcb.get_state;
    if (v.hdr.primary_rc != kPrimaryOk) {
        CPIC_PROBLEM(kProblemGetStateFailed, 0, "x", unsigned{v.hdr.primary_rc});
        c->ulTraceRc = CM_PRODUCT_SPECIFIC_ERROR;
    } else {
        c->ulTraceRc = CM_OK;
    }
    // The state byte is read whatever the primary code said.
    const CM_CONVERSATION_STATE state = translate_node_state(v.conv_state);
    if (state != 0) {
        if (auto *out = op::saved(c).conversation_state()) *out = state;
    } else {
        CPIC_PROBLEM(kProblemUnknownStateCode, 0, "b", unsigned{v.conv_state});
        c->ulTraceRc = CM_PRODUCT_SPECIFIC_ERROR;
    }
    if (async != 0) op::post(c, op::saved(c));
}

CM_ENTRY cmecs(unsigned char *conversation_ID, CM_CONVERSATION_STATE *conversation_state,
               CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMECS, return_code, words(conversation_ID));
    f.respond(outputs(conversation_state));
    // The one call on a conversation whose unknown ID leaves no problem
    // record, so the frame's lookup is not used.
    CCCB *c = nullptr;
    if (!SCC_find_cccb(conversation_ID, &c, pGCB)) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    f.set_cccb(c);
    if (c->usVerbsOutstanding != 0) {
        f.set_rc(CM_OPERATION_NOT_ACCEPTED);
        return;
    }
    if (conversation_state == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    // Before the node knows the conversation, the library knows its state.
    if (c->ulConvId == 0) {
        *conversation_state = c->usInitialized != 0 ? CM_INITIALIZE_STATE : CM_INITIALIZE_INCOMING_STATE;
        return;
    }
    issue_get_state(f, c, conversation_ID, conversation_state);
}
CPIC_ENTRY_ALIAS(CMECS, cmecs);

CM_ENTRY cmect(unsigned char *conversation_ID, CM_CONVERSATION_TYPE *conversation_type,
               CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMECT, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(conversation_type));
    if (!may_extract(f, WhileOutstanding::kAnswer, StateCheck::kCharacteristics, conversation_type)) return;
    *conversation_type = static_cast<CM_CONVERSATION_TYPE>(f.cccb()->ulConversationType);
}
CPIC_ENTRY_ALIAS(CMECT, cmect);

CM_ENTRY cmesl(unsigned char *conversation_ID, CM_SYNC_LEVEL *sync_level, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMESL, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(sync_level));
    if (!may_extract(f, WhileOutstanding::kAnswer, StateCheck::kCharacteristics, sync_level)) return;
    *sync_level = static_cast<CM_SYNC_LEVEL>(f.cccb()->ulSyncLevel);
}
CPIC_ENTRY_ALIAS(CMESL, cmesl);

// Mode names are stored in EBCDIC and come back in upper case, as the
// network knows them.
CM_ENTRY cmemn(unsigned char *conversation_ID, unsigned char *mode_name, CM_INT32 *mode_name_length,
               CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMEMN, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(mode_name, mode_name_length));
    if (!may_extract(f, WhileOutstanding::kAnswer, StateCheck::kCharacteristics, mode_name, mode_name_length))
        return;
    const SideInfoEntry &s = f.cccb()->SideInfo;
    const size_t n = s.usModeNameLen < sizeof s.ModeName ? s.usModeNameLen : sizeof s.ModeName;
    to_ascii(CHARSET_TYPE_A, n, mode_name, s.ModeName);
    *mode_name_length = s.usModeNameLen;
}
CPIC_ENTRY_ALIAS(CMEMN, cmemn);

// The name comes back as the program set it, whether an alias or
// network-qualified.
CM_ENTRY cmepln(unsigned char *conversation_ID, unsigned char *partner_LU_name,
                CM_INT32 *partner_LU_name_length, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMEPLN, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(partner_LU_name, partner_LU_name_length));
    if (!may_extract(f, WhileOutstanding::kAnswer, StateCheck::kCharacteristics, partner_LU_name,
                     partner_LU_name_length))
        return;
    const SideInfoEntry &s = f.cccb()->SideInfo;
    read_partner_lu_name(s, partner_LU_name);
    *partner_LU_name_length = s.usPLUNameLen;
}
CPIC_ENTRY_ALIAS(CMEPLN, cmepln);

// The TP name carries no length of its own: it ends at its first EBCDIC
// blank. While a verb is in flight the name is refused rather than read
// from under the node.
CM_ENTRY cmetpn(unsigned char *conversation_ID, unsigned char *TP_name, CM_INT32 *TP_name_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMETPN, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(TP_name, TP_name_length));
    if (!may_extract(f, WhileOutstanding::kRefuse, StateCheck::kCharacteristics, TP_name, TP_name_length))
        return;
    const unsigned char *name = f.cccb()->SideInfo.TPName;
    const auto *blank = static_cast<const unsigned char *>(memchr(name, kEbcdicBlank, kTpNameLength));
    const size_t n = blank != nullptr ? static_cast<size_t>(blank - name) : kTpNameLength;
    to_ascii(CHARSET_00640, n, TP_name, name);
    *TP_name_length = static_cast<CM_INT32>(n);
}
CPIC_ENTRY_ALIAS(CMETPN, cmetpn);

// The alias is ASCII already and is handed out with a terminator. All zero
// means the node will choose the local LU itself: there is no name to
// report, which the program learns from 25 (the bytes are written anyway).
CM_ENTRY cmelln(unsigned char *conversation_ID, unsigned char *local_LU_name, CM_RETURN_CODE *return_code) {
    // The response record shows a length though the call has no length
    // parameter; it must outlive the frame.
    const CM_INT32 reported_length = kLocalLuNameLength;
    CallFrame f(kVerbCMELLN, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(local_LU_name, &reported_length));
    if (!may_extract(f, WhileOutstanding::kAnswer, StateCheck::kCharacteristics, local_LU_name)) return;
    const unsigned char(&alias)[8] = f.cccb()->LocLUAlias;
    memcpy(local_LU_name, alias, sizeof alias);
    local_LU_name[sizeof alias] = '\0';
    if (alias[0] == 0) f.set_rc(CM_PROGRAM_STATE_CHECK);
}
CPIC_ENTRY_ALIAS(CMELLN, cmelln);

CM_ENTRY cmembs(CM_INT32 *maximum_buffer_size, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMEMBS, return_code, words());
    f.respond(outputs(maximum_buffer_size));
    if (maximum_buffer_size != nullptr) *maximum_buffer_size = kMaximumBufferSize;
}
CPIC_ENTRY_ALIAS(CMEMBS, cmembs);
