// Calls whose own work is not built yet. Each runs the full frame (lock,
// trace records with its real arguments, initialisation where the call may
// create state, conversation lookup with its own problem sequence) and then
// refuses with CM_CALL_NOT_SUPPORTED, so a program gets a clear answer and
// nothing changes. A call moves out of this file when its work lands.
#include "vcpic/cpic_frame.h"

using namespace cpic;

namespace {

// A call on an existing conversation: 24 for an unknown ID, else refused.
void conversation_call(VerbIndex verb, unsigned char *id, CM_RETURN_CODE *rc, const TraceWords &request,
                       const TraceOutputs &response) {
    CallFrame f(verb, rc, Conversation{id}, request);
    f.respond(response);
    if (f.ok()) f.set_rc(CM_CALL_NOT_SUPPORTED);
}

// A call that may create state: initialises the library first.
void creating_call(VerbIndex verb, CM_RETURN_CODE *rc, const TraceWords &request, const TraceOutputs &response) {
    CallFrame f(verb, rc, request);
    f.respond(response);
    if (f.init_library()) f.set_rc(CM_CALL_NOT_SUPPORTED);
}

// A call that neither creates state nor names a known conversation.
void plain_call(VerbIndex verb, CM_RETURN_CODE *rc, const TraceWords &request, const TraceOutputs &response) {
    CallFrame f(verb, rc, request);
    f.respond(response);
    f.set_rc(CM_CALL_NOT_SUPPORTED);
}

}  // namespace

#define CPIC_UNUSED_CALLBACK(name) \
    CPIC_API void name(void *vcb, uint32_t, uint32_t, uint32_t async) { complete_verb(vcb, async); }

// Completions of calls not built yet: the common part only.
CPIC_UNUSED_CALLBACK(cmacci_cb)
CPIC_UNUSED_CALLBACK(cmaccp_cb)
CPIC_UNUSED_CALLBACK(cmcanc_cb)
CPIC_UNUSED_CALLBACK(cmdeal_cb)
CPIC_UNUSED_CALLBACK(cmecs_cb)
CPIC_UNUSED_CALLBACK(cmptr_cb)
CPIC_UNUSED_CALLBACK(cmrcv_cb)
CPIC_UNUSED_CALLBACK(cmrts_cb)
CPIC_UNUSED_CALLBACK(cmsend_cb)
CPIC_UNUSED_CALLBACK(cmserr_cb)
CPIC_UNUSED_CALLBACK(cmtrts_cb)

CM_ENTRY cmaccp(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    creating_call(kVerbCMACCP, return_code, words(conversation_ID), outputs(conversation_ID));
}
CPIC_ENTRY_ALIAS(CMACCP, cmaccp);

CM_ENTRY cmdeal(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMDEAL, conversation_ID, return_code, words(conversation_ID), {});
}
CPIC_ENTRY_ALIAS(CMDEAL, cmdeal);

CM_ENTRY cmecs(unsigned char *conversation_ID, CM_CONVERSATION_STATE *conversation_state,
               CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMECS, conversation_ID, return_code, words(conversation_ID), outputs(conversation_state));
}
CPIC_ENTRY_ALIAS(CMECS, cmecs);

CM_ENTRY cmect(unsigned char *conversation_ID, CM_CONVERSATION_TYPE *conversation_type,
               CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMECT, conversation_ID, return_code, words(conversation_ID), outputs(conversation_type));
}
CPIC_ENTRY_ALIAS(CMECT, cmect);

CM_ENTRY cmemn(unsigned char *conversation_ID, unsigned char *mode_name, CM_INT32 *mode_name_length,
               CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMEMN, conversation_ID, return_code, words(conversation_ID),
                      outputs(mode_name, mode_name_length));
}
CPIC_ENTRY_ALIAS(CMEMN, cmemn);

CM_ENTRY cmepln(unsigned char *conversation_ID, unsigned char *partner_LU_name, CM_INT32 *partner_LU_name_length,
                CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMEPLN, conversation_ID, return_code, words(conversation_ID),
                      outputs(partner_LU_name, partner_LU_name_length));
}
CPIC_ENTRY_ALIAS(CMEPLN, cmepln);

CM_ENTRY cmesl(unsigned char *conversation_ID, CM_SYNC_LEVEL *sync_level, CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMESL, conversation_ID, return_code, words(conversation_ID), outputs(sync_level));
}
CPIC_ENTRY_ALIAS(CMESL, cmesl);

CM_ENTRY cmptr(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMPTR, conversation_ID, return_code, words(conversation_ID), {});
}
CPIC_ENTRY_ALIAS(CMPTR, cmptr);

CM_ENTRY cmrcv(unsigned char *conversation_ID, unsigned char *buffer, CM_INT32 *requested_length,
               CM_DATA_RECEIVED_TYPE *data_received, CM_INT32 *received_length, CM_STATUS_RECEIVED *status_received,
               CM_REQUEST_TO_SEND_RECEIVED *request_to_send_received, CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMRCV, conversation_ID, return_code, words(conversation_ID, requested_length),
                      outputs(buffer, data_received, received_length, status_received, request_to_send_received));
}
CPIC_ENTRY_ALIAS(CMRCV, cmrcv);

CM_ENTRY cmrts(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMRTS, conversation_ID, return_code, words(conversation_ID), {});
}
CPIC_ENTRY_ALIAS(CMRTS, cmrts);

CM_ENTRY cmsend(unsigned char *conversation_ID, unsigned char *buffer, CM_INT32 *send_length,
                CM_REQUEST_TO_SEND_RECEIVED *request_to_send_received, CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMSEND, conversation_ID, return_code, words(conversation_ID, buffer, send_length),
                      outputs(request_to_send_received));
}
CPIC_ENTRY_ALIAS(CMSEND, cmsend);

CM_ENTRY cmserr(unsigned char *conversation_ID, CM_REQUEST_TO_SEND_RECEIVED *request_to_send_received,
                CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMSERR, conversation_ID, return_code, words(conversation_ID),
                      outputs(request_to_send_received));
}
CPIC_ENTRY_ALIAS(CMSERR, cmserr);

// The set calls: request (ID, requested value); response from the CCCB.
#define CPIC_PENDING_SET(upper, lower, type, param)                                                   \
    CM_ENTRY lower(unsigned char *conversation_ID, type *param, CM_RETURN_CODE *return_code) {         \
        conversation_call(kVerb##upper, conversation_ID, return_code, words(conversation_ID, param), {}); \
    }                                                                                                  \
    CPIC_ENTRY_ALIAS(upper, lower);

CPIC_PENDING_SET(XCSCST, xcscst, XC_CONVERSATION_SECURITY_TYPE, conversation_security_type)
CPIC_PENDING_SET(CMSCST, cmscst, CM_CONVERSATION_SECURITY_TYPE, conversation_security_type)
CPIC_PENDING_SET(CMSPM, cmspm, CM_PROCESSING_MODE, processing_mode)

// Calls with (ID, bytes, length): request shows the bytes and the length.
#define CPIC_PENDING_SET_BYTES(upper, lower, bytes, length)                                            \
    CM_ENTRY lower(unsigned char *conversation_ID, unsigned char *bytes, CM_INT32 *length,              \
                   CM_RETURN_CODE *return_code) {                                                       \
        conversation_call(kVerb##upper, conversation_ID, return_code, words(conversation_ID, bytes, length), {}); \
    }                                                                                                   \
    CPIC_ENTRY_ALIAS(upper, lower);

CPIC_PENDING_SET_BYTES(XCSCSU, xcscsu, security_user_ID, security_user_ID_length)
CPIC_PENDING_SET_BYTES(CMSCSU, cmscsu, security_user_ID, security_user_ID_length)
CPIC_PENDING_SET_BYTES(XCSCSP, xcscsp, security_password, security_password_length)
CPIC_PENDING_SET_BYTES(CMSCSP, cmscsp, security_password, security_password_length)

// Calls with (ID, bytes, length) whose response shows the bytes returned.
#define CPIC_PENDING_EXTRACT_BYTES(upper, lower, bytes, length)                                         \
    CM_ENTRY lower(unsigned char *conversation_ID, unsigned char *bytes, CM_INT32 *length,               \
                   CM_RETURN_CODE *return_code) {                                                        \
        conversation_call(kVerb##upper, conversation_ID, return_code, words(conversation_ID),             \
                          outputs(bytes, length));                                                       \
    }                                                                                                    \
    CPIC_ENTRY_ALIAS(upper, lower);

CPIC_PENDING_EXTRACT_BYTES(XCECSU, xcecsu, security_user_ID, security_user_ID_length)
CPIC_PENDING_EXTRACT_BYTES(CMESUI, cmesui, security_user_ID, security_user_ID_length)
CPIC_PENDING_EXTRACT_BYTES(CMECSU, cmecsu, security_user_ID, security_user_ID_length)
CPIC_PENDING_EXTRACT_BYTES(CMETPN, cmetpn, TP_name, TP_name_length)
CPIC_PENDING_EXTRACT_BYTES(CMECTX, cmectx, context_ID, context_ID_length)

CM_ENTRY cmtrts(unsigned char *conversation_ID, CM_REQUEST_TO_SEND_RECEIVED *request_to_send_received,
                CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMTRTS, conversation_ID, return_code, words(conversation_ID),
                      outputs(request_to_send_received));
}
CPIC_ENTRY_ALIAS(CMTRTS, cmtrts);

CM_ENTRY xcecst(unsigned char *conversation_ID, XC_CONVERSATION_SECURITY_TYPE *conversation_security_type,
                CM_RETURN_CODE *return_code) {
    conversation_call(kVerbXCECST, conversation_ID, return_code, words(conversation_ID),
                      outputs(conversation_security_type));
}
CPIC_ENTRY_ALIAS(XCECST, xcecst);

CM_ENTRY cmecst(unsigned char *conversation_ID, CM_CONVERSATION_SECURITY_TYPE *conversation_security_type,
                CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMECST, conversation_ID, return_code, words(conversation_ID),
                      outputs(conversation_security_type));
}
CPIC_ENTRY_ALIAS(CMECST, cmecst);

CM_ENTRY cmterm(CM_END_TYPE *end_type, CM_RETURN_CODE *return_code) {
    plain_call(kVerbCMTERM, return_code, words(end_type), {});
}
CPIC_ENTRY_ALIAS(CMTERM, cmterm);

CM_ENTRY cminic(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    creating_call(kVerbCMINIC, return_code, words(conversation_ID), outputs(conversation_ID));
}
CPIC_ENTRY_ALIAS(CMINIC, cminic);

CM_ENTRY cmacci(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMACCI, conversation_ID, return_code, words(conversation_ID), {});
}
CPIC_ENTRY_ALIAS(CMACCI, cmacci);

CM_ENTRY cmwait(unsigned char *conversation_ID, CM_RETURN_CODE *conversation_return_code,
                CM_RETURN_CODE *return_code) {
    plain_call(kVerbCMWAIT, return_code, words(conversation_ID), outputs(conversation_ID, conversation_return_code));
}
CPIC_ENTRY_ALIAS(CMWAIT, cmwait);

CM_ENTRY cmcanc(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMCANC, conversation_ID, return_code, words(conversation_ID), {});
}
CPIC_ENTRY_ALIAS(CMCANC, cmcanc);

CM_ENTRY cmchck(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    plain_call(kVerbCMCHCK, return_code, words(conversation_ID), outputs(conversation_ID));
}
CPIC_ENTRY_ALIAS(CMCHCK, cmchck);

CM_ENTRY cmsltp(unsigned char *TP_name, CM_INT32 *TP_name_length, CM_RETURN_CODE *return_code) {
    creating_call(kVerbCMSLTP, return_code, words(TP_name, TP_name_length), {});
}
CPIC_ENTRY_ALIAS(CMSLTP, cmsltp);

CM_ENTRY cmrltp(unsigned char *TP_name, CM_INT32 *TP_name_length, CM_RETURN_CODE *return_code) {
    plain_call(kVerbCMRLTP, return_code, words(TP_name, TP_name_length), {});
}
CPIC_ENTRY_ALIAS(CMRLTP, cmrltp);

CM_ENTRY cmembs(CM_INT32 *maximum_buffer_size, CM_RETURN_CODE *return_code) {
    plain_call(kVerbCMEMBS, return_code, words(maximum_buffer_size), outputs(maximum_buffer_size));
}
CPIC_ENTRY_ALIAS(CMEMBS, cmembs);

CM_ENTRY cmsctx(unsigned char *context_ID, CM_INT32 *context_ID_length, CM_RETURN_CODE *return_code) {
    plain_call(kVerbCMSCTX, return_code, words(nullptr, context_ID, context_ID_length), {});
}
CPIC_ENTRY_ALIAS(CMSCTX, cmsctx);

CM_ENTRY cmelln(unsigned char *conversation_ID, unsigned char *local_LU_name, CM_RETURN_CODE *return_code) {
    conversation_call(kVerbCMELLN, conversation_ID, return_code, words(conversation_ID), outputs(local_LU_name));
}
CPIC_ENTRY_ALIAS(CMELLN, cmelln);
