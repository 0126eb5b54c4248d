/* SPDX-License-Identifier: Apache-2.0 */
// A plain C11 program written against <cpic.h> alone: every call of the
// library is made at least once (upper case, some also lower case) with
// variables of the header's types (calls of one shape through one pointer
// type, their integer types being one), so a C compiler checks every prototype
// and constant group, and the program checks the results that follow from
// the library's own rules whatever the node answers.
#include <cpic.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

// The maps are usable from C too; each one has the size of its table.
#define COUNT_ENTRY(name, value) +1
#define SIZE(map) (0 map(COUNT_ENTRY))
_Static_assert(SIZE(CM_RETURN_CODE_MAP) == 52 && SIZE(CM_CONVERSATION_TYPE_MAP) == 2 &&
                   SIZE(CM_DEALLOCATE_TYPE_MAP) == 4 && SIZE(CM_ERROR_DIRECTION_MAP) == 2 &&
                   SIZE(CM_SYNC_LEVEL_MAP) == 4 && SIZE(CM_FILL_MAP) == 2 &&
                   SIZE(CM_PREPARE_TO_RECEIVE_TYPE_MAP) == 3 && SIZE(CM_RECEIVE_TYPE_MAP) == 2 &&
                   SIZE(CM_SEND_TYPE_MAP) == 5 && SIZE(CM_CONVERSATION_SECURITY_TYPE_MAP) == 6 &&
                   SIZE(CM_RETURN_CONTROL_MAP) == 2 && SIZE(CM_REQUEST_TO_SEND_RECEIVED_MAP) == 2 &&
                   SIZE(CM_DATA_RECEIVED_TYPE_MAP) == 4 && SIZE(CM_STATUS_RECEIVED_MAP) == 13 &&
                   SIZE(CM_CONVERSATION_STATE_MAP) == 17 && SIZE(CM_PROCESSING_MODE_MAP) == 2 &&
                   SIZE(CM_END_TYPE_MAP) == 2 && SIZE(CM_TP_NAME_TYPE_MAP) == 2,
               "map sizes");

_Static_assert(sizeof(CM_INT32) == 4 && (CM_INT32)-1 < 0, "signed 32-bit integers on every ABI");
// So the calls of one shape below share one pointer type.
#define INT32(T) _Generic((T)0, CM_INT32 : 1, default : 0)
_Static_assert(INT32(CM_RETURN_CODE) && INT32(CM_SEND_TYPE) && INT32(CM_CONVERSATION_TYPE) &&
                   INT32(CM_DEALLOCATE_TYPE) && INT32(CM_ERROR_DIRECTION) && INT32(CM_FILL) &&
                   INT32(CM_PREPARE_TO_RECEIVE_TYPE) && INT32(CM_RECEIVE_TYPE) && INT32(CM_RETURN_CONTROL) &&
                   INT32(CM_SYNC_LEVEL) && INT32(CM_PROCESSING_MODE) && INT32(CM_CONVERSATION_STATE) &&
                   INT32(CM_CONVERSATION_SECURITY_TYPE) && INT32(XC_CONVERSATION_SECURITY_TYPE) &&
                   INT32(CM_REQUEST_TO_SEND_RECEIVED) && INT32(CM_END_TYPE),
               "every program integer is a CM_INT32");
_Static_assert(sizeof(SIDE_INFO) == 124 && offsetof(SIDE_INFO, partner_LU_name) == 8 &&
                   offsetof(SIDE_INFO, TP_name_type) == 28 && offsetof(SIDE_INFO, TP_name) == 32 &&
                   offsetof(SIDE_INFO, mode_name) == 96 &&
                   offsetof(SIDE_INFO, conversation_security_type) == 104 &&
                   offsetof(SIDE_INFO, security_user_ID) == 108 &&
                   offsetof(SIDE_INFO, security_password) == 116,
               "X/Open side-information entry");
// The standard values, a sample from each group.
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
_Static_assert(CM_TPN_NOT_RECOGNIZED == CM_TPN_NOT_RECOGNISED && XC_SECURITY_PROGRAM == CM_SECURITY_PROGRAM &&
                   XC_SNA_SERVICE_TP == CM_SNA_SERVICE_TP,
               "both spellings and prefixes");

static int calls, failures;

#define CALL(invocation) (++calls, (invocation))

static void report(const char *what, const char *verb, CM_INT32 got, CM_INT32 want) {
    if (got == want) return;
    fprintf(stderr, "c_api: %s %s %d, expected %d\n", what, verb, (int)got, (int)want);
    ++failures;
}

static void expect_rc(const char *what, CM_RETURN_CODE got, CM_RETURN_CODE want) {
    report(what, "returned", got, want);
}

static void expect_value(const char *what, CM_INT32 got, CM_INT32 want) {
    report(what, "gave", got, want);
}

// The call must return `want`; rc is poisoned first so that a call that
// never stores its return code cannot pass.
#define EXPECT_NAMED(want, what, invocation)                                                                 \
    do {                                                                                                     \
        rc = -1;                                                                                             \
        CALL(invocation);                                                                                    \
        expect_rc(what, rc, want);                                                                           \
    } while (0)
#define EXPECT_CALL(want, invocation) EXPECT_NAMED(want, #invocation, invocation)

static unsigned char zero_id[CM_CID_SIZE];

// Calls that need no conversation and whose results are fixed.
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

    static unsigned char largest[32767]; // the longest buffer a call takes
    length = sizeof largest;
    EXPECT_CALL(CM_OK, CMCNVO(largest, &length, &rc));
    length = 32768;
    EXPECT_CALL(CM_PROGRAM_PARAMETER_CHECK, CMCNVO(text, &length, &rc));
    EXPECT_CALL(CM_PROGRAM_PARAMETER_CHECK, cmcnvi(text, &length, &rc));
    expect_value("buffer after a refused conversion", text[0], 'a');

    // Nothing is outstanding yet.
    unsigned char conversation_ID[CM_CID_SIZE];
    CM_RETURN_CODE conversation_rc = -1;
    EXPECT_CALL(CM_PROGRAM_STATE_CHECK, CMWAIT(conversation_ID, &conversation_rc, &rc));
    EXPECT_CALL(CM_PROGRAM_STATE_CHECK, CMCHCK(conversation_ID, &rc));

    CM_END_TYPE end_type = CM_SOFT + 1;
    EXPECT_CALL(CM_PARAMETER_ERROR, CMTERM(&end_type, &rc));
    end_type = CM_HARD; // no current context yet: nothing to end
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

// Calls of one shape, named for the report; assigning each entry point to
// its shape's pointer type checks its prototype.
#define ENTRY(call)                                                                                          \
    { #call, call }
typedef struct {
    const char *name;
    void (*call)(unsigned char *, CM_RETURN_CODE *);
} IdCall;
typedef struct {
    const char *name;
    void (*call)(unsigned char *, CM_INT32 *, CM_RETURN_CODE *);
} ValueCall;
typedef struct {
    const char *name;
    void (*call)(unsigned char *, unsigned char *, CM_INT32 *, CM_RETURN_CODE *);
} BytesCall;

static const IdCall id_calls[] = {ENTRY(CMALLC), ENTRY(CMCFMD), ENTRY(CMDEAL), ENTRY(CMFLUS),
                                  ENTRY(CMPTR),  ENTRY(CMRTS),  ENTRY(CMACCI), ENTRY(CMCANC)};
// Set calls, extracts of one value, and the request-to-send reporters.
static const ValueCall value_calls[] = {
    ENTRY(CMSCT), ENTRY(CMSDT),  ENTRY(CMSED),  ENTRY(CMSF),   ENTRY(CMSPTR), ENTRY(CMSRT), ENTRY(CMSRC),
    ENTRY(CMSST), ENTRY(CMSSL),  ENTRY(CMSPM),  ENTRY(CMSCST), ENTRY(XCSCST), ENTRY(CMECS), ENTRY(CMECT),
    ENTRY(CMESL), ENTRY(CMECST), ENTRY(XCECST), ENTRY(CMCFM),  ENTRY(CMSERR), ENTRY(CMTRTS)};
// Names set, and names extracted with their length.
static const BytesCall bytes_calls[] = {ENTRY(CMSLD),  ENTRY(CMSMN),  ENTRY(CMSPLN), ENTRY(CMSLLN),
                                        ENTRY(CMSTPN), ENTRY(CMSCSU), ENTRY(XCSCSU), ENTRY(CMSCSP),
                                        ENTRY(XCSCSP), ENTRY(CMEMN),  ENTRY(CMEPLN), ENTRY(CMETPN),
                                        ENTRY(CMECTX), ENTRY(CMECSU), ENTRY(CMESUI), ENTRY(XCECSU)};
#define COUNT(table) (sizeof table / sizeof table[0])

// Every call that takes a conversation ID, given one that names nothing.
static void calls_on_unknown_conversation(void) {
    CM_RETURN_CODE rc;
    const CM_RETURN_CODE bad = CM_PROGRAM_PARAMETER_CHECK;
    unsigned char buffer[CM_LD_SIZE] = {0};
    unsigned char name[CM_TPN_SIZE] = {'N', 'A', 'M', 'E'};
    CM_INT32 value = 1, length = 4;
    for (size_t i = 0; i < COUNT(id_calls); ++i)
        EXPECT_NAMED(bad, id_calls[i].name, id_calls[i].call(zero_id, &rc));
    for (size_t i = 0; i < COUNT(value_calls); ++i)
        EXPECT_NAMED(bad, value_calls[i].name, value_calls[i].call(zero_id, &value, &rc));
    for (size_t i = 0; i < COUNT(bytes_calls); ++i)
        EXPECT_NAMED(bad, bytes_calls[i].name, bytes_calls[i].call(zero_id, name, &length, &rc));
    EXPECT_CALL(bad, CMELLN(zero_id, name, &rc));

    CM_REQUEST_TO_SEND_RECEIVED rts = CM_REQ_TO_SEND_NOT_RECEIVED;
    EXPECT_CALL(bad, CMSEND(zero_id, buffer, &length, &rts, &rc));
    CM_INT32 requested = 16, received = 99;
    CM_DATA_RECEIVED_TYPE data_received = CM_NO_DATA_RECEIVED;
    CM_STATUS_RECEIVED status = CM_NO_STATUS_RECEIVED;
    EXPECT_CALL(bad, CMRCV(zero_id, buffer, &requested, &data_received, &received, &status, &rts, &rc));
    expect_value("CMRCV received_length after a refusal", received, 0);
}

// Conversations that never reach the node, and side information the
// program sets: made, examined and ended by the library alone.
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

// Accepting depends on what the node answers; the program only needs it
// to come back. Terminate then ends whatever context it left.
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
    printf("c_api: %d calls made\n", calls);
    if (failures != 0) {
        fprintf(stderr, "c_api: %d unexpected results\n", failures);
        return 1;
    }
    return 0;
}
