/* SPDX-License-Identifier: Apache-2.0 */
/*
 * A plain C11 program written against <cpic.h> alone: every call of the
 * library is made at least once (upper case, some also lower case) with
 * variables of the header's types, so a C compiler checks every prototype
 * and constant group, and the program checks the results that follow from
 * the library's own rules whatever the node answers.
 */
#include <cpic.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

/* The maps are usable from C too; each one has the size of its table. */
#define COUNT_ENTRY(name, value) +1
_Static_assert(0 CM_RETURN_CODE_MAP(COUNT_ENTRY) == 52, "return codes");
_Static_assert(0 CM_CONVERSATION_TYPE_MAP(COUNT_ENTRY) == 2, "conversation types");
_Static_assert(0 CM_DEALLOCATE_TYPE_MAP(COUNT_ENTRY) == 4, "deallocate types");
_Static_assert(0 CM_ERROR_DIRECTION_MAP(COUNT_ENTRY) == 2, "error directions");
_Static_assert(0 CM_SYNC_LEVEL_MAP(COUNT_ENTRY) == 4, "sync levels");
_Static_assert(0 CM_FILL_MAP(COUNT_ENTRY) == 2, "fill");
_Static_assert(0 CM_PREPARE_TO_RECEIVE_TYPE_MAP(COUNT_ENTRY) == 3, "prepare-to-receive types");
_Static_assert(0 CM_RECEIVE_TYPE_MAP(COUNT_ENTRY) == 2, "receive types");
_Static_assert(0 CM_SEND_TYPE_MAP(COUNT_ENTRY) == 5, "send types");
_Static_assert(0 CM_CONVERSATION_SECURITY_TYPE_MAP(COUNT_ENTRY) == 6, "security types");
_Static_assert(0 CM_RETURN_CONTROL_MAP(COUNT_ENTRY) == 2, "return control");
_Static_assert(0 CM_REQUEST_TO_SEND_RECEIVED_MAP(COUNT_ENTRY) == 2, "request to send received");
_Static_assert(0 CM_DATA_RECEIVED_TYPE_MAP(COUNT_ENTRY) == 4, "data received");
_Static_assert(0 CM_STATUS_RECEIVED_MAP(COUNT_ENTRY) == 13, "status received");
_Static_assert(0 CM_CONVERSATION_STATE_MAP(COUNT_ENTRY) == 17, "conversation states");
_Static_assert(0 CM_PROCESSING_MODE_MAP(COUNT_ENTRY) == 2, "processing modes");
_Static_assert(0 CM_END_TYPE_MAP(COUNT_ENTRY) == 2, "end types");
_Static_assert(0 CM_TP_NAME_TYPE_MAP(COUNT_ENTRY) == 2, "TP name types");

_Static_assert(sizeof(CM_INT32) == 4 && (CM_INT32)-1 < 0, "signed 32-bit integers on every ABI");
_Static_assert(_Generic((CM_RETURN_CODE)0, CM_INT32 : 1, default : 0) &&
                   _Generic((CM_SEND_TYPE)0, CM_INT32 : 1, default : 0),
               "every program integer is a CM_INT32");
_Static_assert(sizeof(SIDE_INFO) == 124 && offsetof(SIDE_INFO, partner_LU_name) == 8 &&
                   offsetof(SIDE_INFO, TP_name_type) == 28 && offsetof(SIDE_INFO, TP_name) == 32 &&
                   offsetof(SIDE_INFO, mode_name) == 96 &&
                   offsetof(SIDE_INFO, conversation_security_type) == 104 &&
                   offsetof(SIDE_INFO, security_user_ID) == 108 &&
                   offsetof(SIDE_INFO, security_password) == 116,
               "X/Open side-information entry");
/* The standard values, a sample from each group. */
_Static_assert(CM_OK == 0 && CM_ALLOCATE_FAILURE_RETRY == 2 && CM_DEALLOCATED_ABEND == 17 &&
                   CM_DEALLOCATED_NORMAL == 18 && CM_PRODUCT_SPECIFIC_ERROR == 20 &&
                   CM_PROGRAM_PARAMETER_CHECK == 24 && CM_PROGRAM_STATE_CHECK == 25 &&
                   CM_DEALLOCATED_ABEND_SVC == 30 && CM_OPERATION_INCOMPLETE == 35 &&
                   CM_OPERATION_NOT_ACCEPTED == 37 && CM_TAKE_BACKOUT == 100 &&
                   CM_INCLUDE_PARTNER_REJECT_BO == 137 && CM_TPN_NOT_RECOGNIZED == 9,
               "return codes");
_Static_assert(CM_MAPPED_CONVERSATION == 1 && CM_DEALLOCATE_ABEND == 3 && CM_SEND_ERROR == 1 &&
                   CM_CONFIRM == 1 && CM_FILL_BUFFER == 1 && CM_PREP_TO_RECEIVE_CONFIRM == 2 &&
                   CM_RECEIVE_IMMEDIATE == 1 && CM_SEND_AND_DEALLOCATE == 4 && CM_IMMEDIATE == 1 &&
                   CM_REQ_TO_SEND_RECEIVED == 1 && CM_INCOMPLETE_DATA_RECEIVED == 3 &&
                   CM_CONFIRM_DEALLOC_RECEIVED == 4 && CM_JOINT_TRANSACTION == 12 && CM_NON_BLOCKING == 1 &&
                   CM_SOFT == 1 && CM_SECURITY_PROGRAM == 2 && CM_SNA_SERVICE_TP == 1,
               "characteristics");
_Static_assert(CM_INITIALIZE_STATE == 2 && CM_SEND_PENDING_STATE == 5 && CM_INITIALIZE_INCOMING_STATE == 14 &&
                   CM_SEND_RECEIVE_STATE == 17 && CM_PREPARED_STATE == 18,
               "conversation states");
_Static_assert(XC_SECURITY_PROGRAM_STRONG == CM_SECURITY_PROGRAM_STRONG &&
                   XC_SECURITY_SAME == CM_SECURITY_SAME && XC_APPLICATION_TP == CM_APPLICATION_TP,
               "both prefixes");
_Static_assert(CM_TPN_NOT_RECOGNIZED == CM_TPN_NOT_RECOGNISED, "both spellings");
_Static_assert(XC_SECURITY_PROGRAM == CM_SECURITY_PROGRAM, "both prefixes");
_Static_assert(XC_SNA_SERVICE_TP == CM_SNA_SERVICE_TP, "both prefixes");

static int calls;
static int failures;
/* Calls the library has not built yet answer CM_CALL_NOT_SUPPORTED; their
 * expected results are counted as pending, never as passed. */
static int pending;
static int last_pending;

#define CALL(invocation) (++calls, (invocation))

static void expect_rc(const char *what, CM_RETURN_CODE got, CM_RETURN_CODE want) {
    last_pending = got == CM_CALL_NOT_SUPPORTED && want != CM_CALL_NOT_SUPPORTED;
    if (last_pending) {
        ++pending;
        return;
    }
    if (got != want) {
        fprintf(stderr, "c_api: %s returned %d, expected %d\n", what, (int)got, (int)want);
        ++failures;
    }
}

static void expect_value(const char *what, CM_INT32 got, CM_INT32 want) {
    if (last_pending) return; /* the call did nothing yet */
    if (got != want) {
        fprintf(stderr, "c_api: %s gave %d, expected %d\n", what, (int)got, (int)want);
        ++failures;
    }
}

/* The call must return `want`; rc is poisoned first so that a call that
 * never stores its return code cannot pass. */
#define EXPECT_CALL(want, invocation)                                                                        \
    do {                                                                                                     \
        rc = -1;                                                                                             \
        CALL(invocation);                                                                                    \
        expect_rc(#invocation, rc, want);                                                                    \
    } while (0)

static unsigned char zero_id[CM_CID_SIZE];

/* Calls that need no conversation and whose results are fixed. */
static void calls_without_conversation(void) {
    CM_RETURN_CODE rc;
    CM_INT32 size = 0;
    EXPECT_CALL(CM_OK, CMEMBS(&size, &rc));
    expect_value("CMEMBS maximum_buffer_size", size, 32767);
    EXPECT_CALL(CM_OK, cmembs(&size, &rc));

    unsigned char text[3] = {'a', 'b', 'c'};
    CM_INT32 length = 3;
    EXPECT_CALL(CM_OK, CMCNVO(text, &length, &rc));
    expect_value("CMCNVO of a", text[0], 0x81);
    expect_value("CMCNVO of c", text[2], 0x83);
    EXPECT_CALL(CM_OK, CMCNVI(text, &length, &rc));
    expect_value("CMCNVI back to b", text[1], 'b');

    static unsigned char largest[32767]; /* the longest buffer a call takes */
    length = sizeof largest;
    EXPECT_CALL(CM_OK, CMCNVO(largest, &length, &rc));
    length = 32768;
    EXPECT_CALL(CM_PROGRAM_PARAMETER_CHECK, CMCNVO(text, &length, &rc));
    EXPECT_CALL(CM_PROGRAM_PARAMETER_CHECK, cmcnvi(text, &length, &rc));
    expect_value("buffer after a refused conversion", text[0], 'a');

    /* Nothing is outstanding yet. */
    unsigned char conversation_ID[CM_CID_SIZE];
    CM_RETURN_CODE conversation_rc = -1;
    EXPECT_CALL(CM_PROGRAM_STATE_CHECK, CMWAIT(conversation_ID, &conversation_rc, &rc));
    EXPECT_CALL(CM_PROGRAM_STATE_CHECK, CMCHCK(conversation_ID, &rc));

    CM_END_TYPE end_type = CM_SOFT + 1;
    EXPECT_CALL(CM_PARAMETER_ERROR, CMTERM(&end_type, &rc));
    end_type = CM_HARD; /* no current context yet: nothing to end */
    EXPECT_CALL(CM_OK, CMTERM(&end_type, &rc));

    unsigned char context_ID[CM_CTX_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8};
    CM_INT32 context_length = 4;
    EXPECT_CALL(CM_PROGRAM_PARAMETER_CHECK, CMSCTX(context_ID, &context_length, &rc));

    unsigned char tp_name[CM_TPN_SIZE + 1] = "CAPITP";
    CM_INT32 tp_length = 0;
    EXPECT_CALL(CM_PROGRAM_PARAMETER_CHECK, CMSLTP(tp_name, &tp_length, &rc));
    tp_length = CM_TPN_SIZE + 1;
    EXPECT_CALL(CM_PROGRAM_PARAMETER_CHECK, CMRLTP(tp_name, &tp_length, &rc));

    SIDE_INFO entry;
    memset(&entry, 0, sizeof entry);
    CM_INT32 entry_length = sizeof entry - 1;
    unsigned char key[8] = {0};
    EXPECT_CALL(CM_PROGRAM_PARAMETER_CHECK, XCMSSI(key, &entry, &entry_length, &rc));
    CM_INT32 entry_number = 1;
    entry_length = sizeof entry;
    EXPECT_CALL(CM_PRODUCT_SPECIFIC_ERROR, XCMESI(&entry_number, key, &entry, &entry_length, &rc));
}

/* Every call that takes a conversation ID, given one that names nothing. */
static void calls_on_unknown_conversation(void) {
    CM_RETURN_CODE rc;
    const CM_RETURN_CODE bad = CM_PROGRAM_PARAMETER_CHECK;
    unsigned char buffer[CM_LD_SIZE] = {0};
    unsigned char name[CM_TPN_SIZE] = {0};
    CM_INT32 length = 8;
    CM_REQUEST_TO_SEND_RECEIVED rts = CM_REQ_TO_SEND_NOT_RECEIVED;

    EXPECT_CALL(bad, CMALLC(zero_id, &rc));
    EXPECT_CALL(bad, CMCFM(zero_id, &rts, &rc));
    EXPECT_CALL(bad, CMCFMD(zero_id, &rc));
    EXPECT_CALL(bad, CMDEAL(zero_id, &rc));
    EXPECT_CALL(bad, CMFLUS(zero_id, &rc));
    EXPECT_CALL(bad, CMPTR(zero_id, &rc));
    EXPECT_CALL(bad, CMRTS(zero_id, &rc));
    EXPECT_CALL(bad, CMSERR(zero_id, &rts, &rc));
    EXPECT_CALL(bad, CMTRTS(zero_id, &rts, &rc));
    EXPECT_CALL(bad, CMACCI(zero_id, &rc));
    EXPECT_CALL(bad, CMCANC(zero_id, &rc));

    CM_INT32 send_length = 1;
    EXPECT_CALL(bad, CMSEND(zero_id, buffer, &send_length, &rts, &rc));
    CM_INT32 requested = 16, received = 99;
    CM_DATA_RECEIVED_TYPE data_received = CM_NO_DATA_RECEIVED;
    CM_STATUS_RECEIVED status = CM_NO_STATUS_RECEIVED;
    EXPECT_CALL(bad, CMRCV(zero_id, buffer, &requested, &data_received, &received, &status, &rts, &rc));
    expect_value("CMRCV received_length after a refusal", received, 0);

    CM_CONVERSATION_STATE state = CM_SEND_STATE;
    CM_CONVERSATION_TYPE conversation_type = CM_BASIC_CONVERSATION;
    CM_SYNC_LEVEL sync_level = CM_CONFIRM;
    CM_CONVERSATION_SECURITY_TYPE cm_security = CM_SECURITY_NONE;
    XC_CONVERSATION_SECURITY_TYPE xc_security = XC_SECURITY_PROGRAM;
    EXPECT_CALL(bad, CMECS(zero_id, &state, &rc));
    EXPECT_CALL(bad, CMECT(zero_id, &conversation_type, &rc));
    EXPECT_CALL(bad, CMESL(zero_id, &sync_level, &rc));
    EXPECT_CALL(bad, CMEMN(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMEPLN(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMETPN(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMELLN(zero_id, name, &rc));
    EXPECT_CALL(bad, CMECTX(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMECST(zero_id, &cm_security, &rc));
    EXPECT_CALL(bad, XCECST(zero_id, &xc_security, &rc));
    EXPECT_CALL(bad, CMECSU(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMESUI(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, XCECSU(zero_id, name, &length, &rc));

    CM_DEALLOCATE_TYPE deallocate_type = CM_DEALLOCATE_FLUSH;
    CM_ERROR_DIRECTION error_direction = CM_SEND_ERROR;
    CM_FILL fill = CM_FILL_BUFFER;
    CM_PREPARE_TO_RECEIVE_TYPE ptr_type = CM_PREP_TO_RECEIVE_FLUSH;
    CM_RECEIVE_TYPE receive_type = CM_RECEIVE_IMMEDIATE;
    CM_RETURN_CONTROL return_control = CM_IMMEDIATE;
    CM_SEND_TYPE send_type = CM_SEND_AND_FLUSH;
    CM_PROCESSING_MODE mode = CM_NON_BLOCKING;
    EXPECT_CALL(bad, CMSCT(zero_id, &conversation_type, &rc));
    EXPECT_CALL(bad, CMSDT(zero_id, &deallocate_type, &rc));
    EXPECT_CALL(bad, CMSED(zero_id, &error_direction, &rc));
    EXPECT_CALL(bad, CMSF(zero_id, &fill, &rc));
    EXPECT_CALL(bad, CMSPTR(zero_id, &ptr_type, &rc));
    EXPECT_CALL(bad, CMSRT(zero_id, &receive_type, &rc));
    EXPECT_CALL(bad, CMSRC(zero_id, &return_control, &rc));
    EXPECT_CALL(bad, CMSST(zero_id, &send_type, &rc));
    EXPECT_CALL(bad, CMSSL(zero_id, &sync_level, &rc));
    EXPECT_CALL(bad, CMSPM(zero_id, &mode, &rc));
    EXPECT_CALL(bad, CMSCST(zero_id, &cm_security, &rc));
    EXPECT_CALL(bad, XCSCST(zero_id, &xc_security, &rc));

    length = 4;
    memcpy(name, "NAME", 4);
    EXPECT_CALL(bad, CMSLD(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMSMN(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMSPLN(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMSLLN(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMSTPN(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMSCSU(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, XCSCSU(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMSCSP(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, XCSCSP(zero_id, name, &length, &rc));
}

/* Conversations that never reach the node, and side information the
 * program sets: made, examined and ended by the library alone. */
static void local_conversations(void) {
    CM_RETURN_CODE rc;
    unsigned char id[CM_CID_SIZE], key[8] = {0}, name[CM_SDN_SIZE] = {'C', 'A', 'P', 'I', 'T', 'E', 'S', 'T'};
    SIDE_INFO entry;
    memset(&entry, ' ', sizeof entry);
    memcpy(entry.sym_dest_name, name, CM_SDN_SIZE);
    memcpy(entry.partner_LU_name, "PARTNER1", 8);
    entry.TP_name_type = XC_APPLICATION_TP;
    entry.conversation_security_type = XC_SECURITY_NONE;
    CM_INT32 entry_length = sizeof entry, entry_number = 0;
    EXPECT_CALL(CM_OK, xcmssi(key, &entry, &entry_length, &rc));
    memset(&entry, 0, sizeof entry);
    EXPECT_CALL(CM_OK, XCMESI(&entry_number, name, &entry, &entry_length, &rc));
    expect_value("extracted security type", entry.conversation_security_type, XC_SECURITY_NONE);

    EXPECT_CALL(CM_OK, CMINIT(id, name, &rc));
    CM_CONVERSATION_TYPE type = -1;
    EXPECT_CALL(CM_OK, CMECT(id, &type, &rc));
    expect_value("default conversation type", type, CM_MAPPED_CONVERSATION);
    CM_DEALLOCATE_TYPE abend = CM_DEALLOCATE_ABEND;
    EXPECT_CALL(CM_OK, CMSDT(id, &abend, &rc));
    EXPECT_CALL(CM_OK, CMDEAL(id, &rc));
    EXPECT_CALL(CM_OK, XCMDSI(key, name, &rc));
    EXPECT_CALL(CM_PROGRAM_PARAMETER_CHECK, CMINIT(id, name, &rc));

    CM_CONVERSATION_STATE state = -1;
    EXPECT_CALL(CM_OK, CMINIC(id, &rc));
    EXPECT_CALL(CM_OK, cmecs(id, &state, &rc));
    expect_value("state after CMINIC", state, CM_INITIALIZE_INCOMING_STATE);
    EXPECT_CALL(CM_OK, cmcanc(id, &rc));
    EXPECT_CALL(CM_OK, cminic(id, &rc));
    EXPECT_CALL(CM_OK, CMCANC(id, &rc));
}

/* Accepting depends on what the node answers; the program only needs it
 * to come back. Terminate then ends whatever context it left. */
static void accept_and_terminate(void) {
    CM_RETURN_CODE rc = -1;
    unsigned char id[CM_CID_SIZE];
    CALL(CMACCP(id, &rc));
    printf("c_api: CMACCP returned %d\n", (int)rc);
    if (rc == CM_OK) {
        EXPECT_CALL(CM_OK, CMCANC(id, &rc));
    }
    CM_END_TYPE end_type = CM_HARD;
    rc = -1;
    CALL(CMTERM(&end_type, &rc));
    printf("c_api: CMTERM returned %d\n", (int)rc);
}

int main(void) {
    calls_without_conversation();
    calls_on_unknown_conversation();
    local_conversations();
    accept_and_terminate();
    printf("c_api: %d calls made, %d results pending on calls not built yet\n", calls, pending);
    if (failures != 0) {
        fprintf(stderr, "c_api: %d unexpected results\n", failures);
        return 1;
    }
    return 0;
}
