// Prepare_To_Receive, Request_To_Send, Send_Error and Test_Request_To_Send
// against the scripted node: their records, the checks before the verb,
// Send_Error's log data and confirmation bookkeeping, the test's own
// synchronous frame, non-blocking completion and conversation endings.
#include <cstdio>

#include "support.h"

namespace {

using namespace cpic_test;

template <typename T>
T image_at(const ZT_VERB *v, size_t offset) {
    T value;
    memcpy(&value, v->image + offset, sizeof value);
    return value;
}

class ControlCalls : public LibraryTest {
  protected:
    // A node answer that also sets the request-to-send byte at 24.
    static ZT_ANSWER answer_with_rts(uint16_t primary, uint8_t rts, bool in_progress = false) {
        ZT_ANSWER a = answer(primary, 0, in_progress);
        a.patch_count = 1;
        a.patches[0].offset = 24;
        a.patches[0].length = 1;
        a.patches[0].bytes[0] = rts;
        return a;
    }

    // A basic conversation holding error log data set by the program.
    CCCB *basic_with_log_data(unsigned char (&id)[8], const char *text) {
        CCCB *c = new_conversation(id, 0x51, nullptr);
        c->ulConversationType = CM_BASIC_CONVERSATION;
        CM_INT32 length = static_cast<CM_INT32>(strlen(text));
        CM_RETURN_CODE rc = -1;
        cmsld(id, reinterpret_cast<unsigned char *>(const_cast<char *>(text)), &length, &rc);
        EXPECT_EQ(rc, CM_OK);
        EXPECT_NE(c->LogData, nullptr);
        return c;
    }
};

// ---- The checks every one of the calls makes --------------------------------

using Call = void (*)(unsigned char *id, CM_REQUEST_TO_SEND_RECEIVED *rts, CM_RETURN_CODE *rc);
struct NamedCall {
    const char *name;
    Call call;
    uint32_t sequence;  // of the problem record for an unknown ID
};

void call_ptr(unsigned char *id, CM_REQUEST_TO_SEND_RECEIVED *, CM_RETURN_CODE *rc) { cmptr(id, rc); }
void call_rts(unsigned char *id, CM_REQUEST_TO_SEND_RECEIVED *, CM_RETURN_CODE *rc) { cmrts(id, rc); }
void call_rcv(unsigned char *id, CM_REQUEST_TO_SEND_RECEIVED *rts, CM_RETURN_CODE *rc) {
    unsigned char buffer[8];
    CM_INT32 requested = 8, received = 0;
    CM_DATA_RECEIVED_TYPE data;
    CM_STATUS_RECEIVED status;
    cmrcv(id, buffer, &requested, &data, &received, &status, rts, rc);
}

const NamedCall kCalls[] = {
    {"CMPTR", call_ptr, 13}, {"CMRTS", call_rts, 15}, {"CMSERR", cmserr, 17},
    {"CMTRTS", cmtrts, 31},  {"CMRCV", call_rcv, 14},
};

TEST_F(ControlCalls, EveryCallRefusesWithoutIssuingAVerb) {
    unsigned char initialized[8], incoming[8], busy[8], unknown[8] = {0x7E, 0x7E, 0, 0, 0, 0, 0, 0};
    new_conversation(initialized, 0);
    new_conversation(incoming, 0)->usInitialized = 0;
    new_conversation(busy)->usVerbsOutstanding = 1;
    for (const NamedCall &k : kCalls) {
        SCOPED_TRACE(k.name);
        CM_REQUEST_TO_SEND_RECEIVED rts = 7;
        CM_RETURN_CODE rc = -1;
        const uint32_t problems = zt_problem_count();
        k.call(unknown, &rts, &rc);
        EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
        ASSERT_EQ(zt_problem_count(), problems + 1);
        EXPECT_EQ(zt_problem(problems)->code, static_cast<uint32_t>(kProblemUnknownConversation));
        EXPECT_EQ(zt_problem(problems)->sequence, k.sequence);
        EXPECT_STREQ(zt_problem(problems)->inserts, "7E7E000000000000");
        k.call(initialized, &rts, &rc);
        EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
        k.call(incoming, &rts, &rc);
        EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
        k.call(busy, &rts, &rc);
        EXPECT_EQ(rc, CM_OPERATION_NOT_ACCEPTED);
        EXPECT_EQ(rts, 7);
        EXPECT_EQ(zt_problem_count(), problems + 1) << "refusals after the lookup write nothing";
    }
    EXPECT_EQ(zt_verb_count(), 0u);
    find(busy)->usVerbsOutstanding = 0;
}

TEST_F(ControlCalls, OutstandingVerbBlocksOnlyItsOwnConversation) {
    unsigned char busy[8], other[8];
    CCCB *b = new_conversation(busy);
    b->usProcessingMode = CM_NON_BLOCKING;
    new_conversation(other);
    queue(AP_FLUSH, answer(0, 0, true));
    CM_RETURN_CODE rc = -1;
    cmflus(busy, &rc);
    ASSERT_EQ(rc, CM_OPERATION_INCOMPLETE);
    for (const NamedCall &k : kCalls) {
        SCOPED_TRACE(k.name);
        CM_REQUEST_TO_SEND_RECEIVED rts = 7;
        k.call(busy, &rts, &rc);
        EXPECT_EQ(rc, CM_OPERATION_NOT_ACCEPTED);
        k.call(other, &rts, &rc);
        EXPECT_EQ(rc, CM_OK);
    }
    EXPECT_EQ(b->usVerbsOutstanding, 1);
    EXPECT_EQ(zt_verb_count(), 1u + 5u) << "the flush, then one verb per call on the other conversation";
    zt_complete_pending(0);
}

TEST_F(ControlCalls, UpperCaseEntriesAreTheSameRoutines) {
    EXPECT_EQ(reinterpret_cast<void *>(&CMPTR), reinterpret_cast<void *>(&cmptr));
    EXPECT_EQ(reinterpret_cast<void *>(&CMRTS), reinterpret_cast<void *>(&cmrts));
    EXPECT_EQ(reinterpret_cast<void *>(&CMSERR), reinterpret_cast<void *>(&cmserr));
    EXPECT_EQ(reinterpret_cast<void *>(&CMTRTS), reinterpret_cast<void *>(&cmtrts));
    EXPECT_EQ(reinterpret_cast<void *>(&CMRCV), reinterpret_cast<void *>(&cmrcv));
}

// ---- Prepare_To_Receive and Request_To_Send ---------------------------------

TEST_F(ControlCalls, PrepareToReceiveKindFollowsTheCharacteristic) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x0BADCAFE, "TPPTR001");
    c->ulSyncLevel = CM_CONFIRM;
    struct Row {
        CM_PREPARE_TO_RECEIVE_TYPE type;
        uint8_t kind;
    };
    const Row rows[] = {
        {CM_PREP_TO_RECEIVE_SYNC_LEVEL, 0}, {CM_PREP_TO_RECEIVE_FLUSH, 1}, {CM_PREP_TO_RECEIVE_CONFIRM, 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.type);
        CM_RETURN_CODE rc = -1;
        CM_PREPARE_TO_RECEIVE_TYPE type = row.type;
        cmsptr(id, &type, &rc);
        ASSERT_EQ(rc, CM_OK);
        cmptr(id, &rc);
        EXPECT_EQ(rc, CM_OK);
        const ZT_VERB *v = zt_last_verb();
        EXPECT_EQ(v->callback, nullptr);
        EXPECT_EQ(image_at<uint16_t>(v, 0), 0x000A);
        EXPECT_EQ(v->image[2], 1) << "mapped";
        EXPECT_EQ(bytes(v->image + 12, 8), "TPPTR001");
        EXPECT_EQ(image_at<uint32_t>(v, 20), 0x0BADCAFEu);
        EXPECT_EQ(v->image[24], row.kind);
        for (uint32_t i = 25; i < VCB_I386_SIZE; ++i) ASSERT_EQ(v->image[i], 0) << "offset " << i;
    }
    EXPECT_EQ(c->usTraceVerb, kVerbCMPTR);
}

TEST_F(ControlCalls, RequestToSendIsAHeaderOnlyVerb) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x77, "TPRTS001");
    c->ulConversationType = CM_BASIC_CONVERSATION;
    CM_RETURN_CODE rc = -1;
    cmrts(id, &rc);
    EXPECT_EQ(rc, CM_OK);
    const ZT_VERB *v = zt_last_verb();
    EXPECT_EQ(image_at<uint16_t>(v, 0), 0x000E);
    EXPECT_EQ(v->image[2], 0);
    EXPECT_EQ(image_at<uint32_t>(v, 20), 0x77u);
    for (uint32_t i = 24; i < VCB_I386_SIZE; ++i) ASSERT_EQ(v->image[i], 0) << "offset " << i;
    EXPECT_EQ(c->usTraceVerb, kVerbCMRTS);
}

TEST_F(ControlCalls, FailuresAreMappedAndEndingCodesRelease) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x51, nullptr);
    queue(AP_PREPARE_TO_RECEIVE, answer(0x0200));
    CM_RETURN_CODE rc = -1;
    cmptr(id, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(find(id), c);

    queue(AP_REQUEST_TO_SEND, answer(0x0500));
    cmrts(id, &rc);
    EXPECT_EQ(rc, CM_DEALLOCATED_ABEND);
    EXPECT_EQ(find(id), nullptr);
    cmptr(id, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(ControlCalls, NonBlockingPrepareToReceiveAndRequestToSend) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_PREPARE_TO_RECEIVE, answer(0, 0, true));
    CM_RETURN_CODE rc = -1;
    cmptr(id, &rc);
    EXPECT_EQ(rc, CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_last_verb()->callback, &cmptr_cb);
    EXPECT_EQ(zt_last_verb()->user, 1u);
    EXPECT_EQ(c->usVerbsOutstanding, 1);
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(c->usCompletionWaiting, 1);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);

    queue(AP_REQUEST_TO_SEND, answer(0x0F00, 0, true));
    cmrts(id, &rc);
    EXPECT_EQ(rc, CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_last_verb()->callback, &cmrts_cb);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u) << "the uncollected result was dropped";
    zt_complete_pending(0);
    ASSERT_EQ(find(id), c) << "held for collection";
    EXPECT_EQ(c->usConvEnded, 1);
    EXPECT_EQ(c->ulTraceRc, static_cast<uint32_t>(CM_RESOURCE_FAILURE_RETRY));
}

// ---- Send_Error -------------------------------------------------------------

TEST_F(ControlCalls, SendErrorDirectionByte) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x99, "TPSERR01");
    CM_ERROR_DIRECTION direction = CM_SEND_ERROR;
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmsed(id, &direction, &rc);
    ASSERT_EQ(rc, CM_OK);
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_NOT_RECEIVED);
    const ZT_VERB *v = zt_last_verb();
    EXPECT_EQ(image_at<uint16_t>(v, 0), 0x0010);
    EXPECT_EQ(v->image[2], 1);
    EXPECT_EQ(bytes(v->image + 12, 8), "TPSERR01");
    EXPECT_EQ(image_at<uint32_t>(v, 20), 0x99u);
    EXPECT_EQ(v->image[26], 1) << "SEND_ERROR";

    direction = CM_RECEIVE_ERROR;
    cmsed(id, &direction, &rc);
    cmserr(id, &rts, &rc);
    EXPECT_EQ(zt_last_verb()->image[26], 0) << "RECEIVE_ERROR";
    EXPECT_EQ(c->usTraceVerb, kVerbCMSERR);
    EXPECT_EQ(c->TraceArgs[0], reinterpret_cast<CPIC_WORD>(&rts));
}

TEST_F(ControlCalls, SendErrorCarriesAndConsumesTheLogData) {
    unsigned char id[8];
    CCCB *c = basic_with_log_data(id, "DISK FULL");
    const unsigned char *log = c->LogData;
    const uint16_t log_length = c->usLogDataLen;
    ASSERT_GT(log_length, 9u);
    const uint32_t blocks = zt_live_blocks();
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    const ZT_VERB *v = zt_last_verb();
    EXPECT_EQ(v->image[2], 0) << "basic";
    EXPECT_EQ(v->image[25], 0);
    EXPECT_EQ(image_at<uint16_t>(v, 28), log_length);
    EXPECT_EQ(image_at<const unsigned char *>(v, offsetof(VCB_SEND_ERROR, log_addr)), log)
        << "the conversation's own buffer, not a copy";
#if defined(__i386__)
    EXPECT_EQ(image_at<uint32_t>(v, 32), reinterpret_cast<uint32_t>(log)) << "the node's offset";
#endif
    EXPECT_EQ(c->LogData, nullptr);
    EXPECT_EQ(c->usLogDataLen, 0);
    EXPECT_EQ(zt_live_blocks(), blocks - 1) << "the buffer was freed";

    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    v = zt_last_verb();
    EXPECT_EQ(image_at<uint16_t>(v, 28), 0) << "nothing left to send";
    EXPECT_EQ(image_at<const unsigned char *>(v, offsetof(VCB_SEND_ERROR, log_addr)), nullptr);
}

TEST_F(ControlCalls, SendErrorOnAMappedConversationSendsNoLogData) {
    unsigned char id[8];
    CCCB *c = basic_with_log_data(id, "GONE");
    c->ulConversationType = CM_MAPPED_CONVERSATION;
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    const ZT_VERB *v = zt_last_verb();
    EXPECT_EQ(v->image[2], 1);
    for (uint32_t i = 27; i < VCB_I386_SIZE; ++i) ASSERT_EQ(v->image[i], 0) << "offset " << i;
    EXPECT_EQ(c->LogData, nullptr) << "a successful send error consumes it all the same";

    // Nor does a length without a buffer stop it there.
    c->usLogDataLen = 12;
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(image_at<uint16_t>(zt_last_verb(), 28), 0);
    EXPECT_EQ(c->usLogDataLen, 0);
}

TEST_F(ControlCalls, SendErrorWithAnnouncedButAbsentLogData) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->ulConversationType = CM_BASIC_CONVERSATION;
    c->usLogDataLen = 12;
    c->usConfirmPending = 1;
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(zt_verb_count(), 0u);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemLogDataMissing));
    EXPECT_EQ(zt_problem(0)->sequence, 2u);
    EXPECT_STREQ(zt_problem(0)->format, "");
    EXPECT_EQ(rts, 7);
    EXPECT_EQ(c->usConfirmPending, 1);
    EXPECT_EQ(c->usLogDataLen, 12);
    EXPECT_EQ(c->usVerbsOutstanding, 0);
}

TEST_F(ControlCalls, FailedSendErrorKeepsLogDataAndConfirmation) {
    unsigned char id[8];
    CCCB *c = basic_with_log_data(id, "RETRY");
    c->usConfirmPending = 1;
    c->usConfirmDealloc = 1;
    queue(AP_SEND_ERROR, answer_with_rts(0x0200, 1));
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_RECEIVED) << "the node's indicator counts even on failure";
    EXPECT_NE(c->LogData, nullptr);
    EXPECT_NE(c->usLogDataLen, 0);
    EXPECT_EQ(c->usConfirmPending, 1);
    EXPECT_EQ(c->usConfirmDealloc, 1);

    // Answered successfully, the confirmation and the log data are settled.
    queue(AP_SEND_ERROR, answer_with_rts(0, 0));
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_NOT_RECEIVED);
    EXPECT_EQ(c->usConfirmPending, 0);
    EXPECT_EQ(c->usConfirmDealloc, 0);
    EXPECT_EQ(c->LogData, nullptr);
    EXPECT_EQ(find(id), c) << "refusing a deallocation does not end the conversation";
}

TEST_F(ControlCalls, SendErrorEndingCodeReleasesWithTheLogData) {
    unsigned char id[8];
    basic_with_log_data(id, "LAST WORDS");
    queue(AP_SEND_ERROR, answer(0x0900));
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_DEALLOCATED_NORMAL);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_NOT_RECEIVED);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(zt_live_blocks(), 0u) << "the log data went with the conversation";
}

TEST_F(ControlCalls, NonBlockingSendErrorSettlesAtCompletion) {
    unsigned char id[8];
    CCCB *c = basic_with_log_data(id, "LATER");
    c->usProcessingMode = CM_NON_BLOCKING;
    c->usConfirmPending = 1;
    queue(AP_SEND_ERROR, answer_with_rts(0, 1, true));
    set_trace(true);
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_last_verb()->callback, &cmserr_cb);
    EXPECT_EQ(rts, 7);
    EXPECT_EQ(c->usConfirmPending, 1);
    EXPECT_NE(c->LogData, nullptr);

    const uint32_t before = zt_trace_line_count();
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_RECEIVED);
    EXPECT_EQ(c->usConfirmPending, 0);
    EXPECT_EQ(c->LogData, nullptr);
    EXPECT_EQ(c->usCompletionWaiting, 1);
    ASSERT_EQ(zt_trace_line_count(), before + 3);
    EXPECT_STREQ(zt_trace_line(before + 1), "CPIC CMSERR response, result = CM_OK");
    EXPECT_STREQ(zt_trace_line(before + 2), "CPIC  Request to send received = CM_REQ_TO_SEND_RECEIVED");
}

TEST_F(ControlCalls, SendErrorAnswersAConfirmationSoTheTestIsAcceptedAgain) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->usConfirmPending = 1;
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(zt_verb_count(), 0u);
    cmserr(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_RECEIVED);
}

// ---- Test_Request_To_Send ---------------------------------------------------

TEST_F(ControlCalls, TestRequestToSendAnswers) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x4242, "TPTRTS01");
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_RECEIVED);
    const ZT_VERB *v = zt_last_verb();
    EXPECT_EQ(v->kind, static_cast<uint32_t>(ZT_VERB_APPC_ASYNC));
    EXPECT_EQ(v->callback, nullptr);
    EXPECT_EQ(v->user, 0u);
    EXPECT_EQ(image_at<uint16_t>(v, 0), 0x0012);
    EXPECT_EQ(v->image[2], 1);
    EXPECT_EQ(bytes(v->image + 12, 8), "TPTRTS01");
    EXPECT_EQ(image_at<uint32_t>(v, 20), 0x4242u);
    for (uint32_t i = 24; i < VCB_I386_SIZE; ++i) ASSERT_EQ(v->image[i], 0) << "offset " << i;
    EXPECT_EQ(c->usTraceVerb, kVerbCMTRTS);
    EXPECT_EQ(c->TraceArgs[0], reinterpret_cast<CPIC_WORD>(&rts));
    EXPECT_EQ(bytes(c->TraceConvId, 8), bytes(id, 8));

    queue(AP_TEST_RTS, answer(0x1400));
    rts = 7;
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK) << "no request is an answer, not UNSUCCESSFUL";
    EXPECT_EQ(rts, CM_REQ_TO_SEND_NOT_RECEIVED);
    EXPECT_EQ(zt_problem_count(), 0u);

    queue(AP_TEST_RTS, answer(0x0200));
    rts = 7;
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(rts, 7) << "left as the program passed it";
    EXPECT_EQ(find(id), c);
}

TEST_F(ControlCalls, TestRequestToSendNeverGoesAsynchronous) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->usProcessingMode = CM_NON_BLOCKING;
    // Even an answer the node would otherwise finish later.
    queue(AP_TEST_RTS, answer(0, 0, true));
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_RECEIVED);
    EXPECT_EQ(zt_last_verb()->callback, nullptr);
    EXPECT_EQ(zt_last_verb()->state, static_cast<uint32_t>(ZT_VERB_COMPLETED));
    EXPECT_EQ(zt_pending_count(), 0u);
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
    EXPECT_EQ(c->usCompletionWaiting, 0);
}

TEST_F(ControlCalls, TestRequestToSendLeavesAWaitingResultAlone) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_FLUSH, answer(0, 0, true));
    CM_RETURN_CODE rc = -1;
    cmflus(id, &rc);
    zt_complete_pending(0);
    ASSERT_EQ(c->usCompletionWaiting, 1);

    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(c->usCompletionWaiting, 1);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);

    // Ended while a result waits: held for collection, not released.
    queue(AP_TEST_RTS, answer(0x1000));
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_RESOURCE_FAILURE_NO_RETRY);
    EXPECT_EQ(c->usConvEnded, 1);
    EXPECT_EQ(find(id), c);
}

TEST_F(ControlCalls, TestRequestToSendEndingCodeReleases) {
    unsigned char id[8];
    new_conversation(id, 0x51, nullptr);
    queue(AP_TEST_RTS, answer(0x2100));
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(rts, 7);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemUnmappedReturnCode));
    EXPECT_STREQ(zt_problem(0)->inserts, "0012 2100 00000000");
    EXPECT_EQ(find(id), nullptr);
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(ControlCalls, ConfirmationRefusesTheTestUntilConfirmed) {
    unsigned char id[8];
    new_conversation(id);
    ZT_ANSWER confirm = answer(0);
    confirm.patch_count = 1;
    confirm.patches[0] = {static_cast<uint32_t>(offsetof(VCB_RECEIVE, data_status_ind)), 2, {0x02, 0x00}};
    queue(AP_RECEIVE_AND_WAIT, confirm);
    unsigned char buffer[8];
    CM_INT32 requested = 8, received = 0;
    CM_DATA_RECEIVED_TYPE data = 0;
    CM_STATUS_RECEIVED status = 0;
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    CM_RETURN_CODE rc = -1;
    cmrcv(id, buffer, &requested, &data, &received, &status, &rts, &rc);
    ASSERT_EQ(status, CM_CONFIRM_RECEIVED);

    rts = 7;
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(rts, 7);
    queue(AP_CONFIRMED, answer(0x0200));
    cmcfmd(id, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK) << "a failed answer settles nothing";
    cmcfmd(id, &rc);
    EXPECT_EQ(rc, CM_OK);
    cmtrts(id, &rts, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_RECEIVED);
}

TEST_F(ControlCalls, TraceRecords) {
    set_trace(true);
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->ulPrepToReceiveType = CM_PREP_TO_RECEIVE_FLUSH;
    char idline[64];
    snprintf(idline, sizeof idline, "CPIC  Conversation ID = %02X%02X%02X%02X", id[0], id[1], id[2], id[3]);
    CM_RETURN_CODE rc = -1;
    cmptr(id, &rc);
    ASSERT_EQ(zt_trace_line_count(), 7u);
    EXPECT_STREQ(zt_trace_line(1), "CPIC CMPTR request");
    EXPECT_STREQ(zt_trace_line(2), idline);
    EXPECT_STREQ(zt_trace_line(4), "CPIC  Prepare to receive type = CM_PREP_TO_RECEIVE_FLUSH");
    EXPECT_STREQ(zt_trace_line(6), "CPIC CMPTR response, result = CM_OK");

    zt_trace_clear();
    CM_REQUEST_TO_SEND_RECEIVED rts = 7;
    queue(AP_TEST_RTS, answer(0x1400));
    cmtrts(id, &rts, &rc);
    ASSERT_EQ(zt_trace_line_count(), 6u);
    EXPECT_STREQ(zt_trace_line(1), "CPIC CMTRTS request");
    EXPECT_STREQ(zt_trace_line(4), "CPIC CMTRTS response, result = CM_OK");
    EXPECT_STREQ(zt_trace_line(5), "CPIC  Request to send received = CM_REQ_TO_SEND_NOT_RECEIVED");

    zt_trace_clear();
    cmserr(id, &rts, &rc);
    ASSERT_EQ(zt_trace_line_count(), 10u);
    EXPECT_STREQ(zt_trace_line(1), "CPIC CMSERR request");
    EXPECT_STREQ(zt_trace_line(4), "CPIC  Error direction = CM_RECEIVE_ERROR");
    EXPECT_STREQ(zt_trace_line(8), "CPIC CMSERR response, result = CM_OK");

    zt_trace_clear();
    cmrts(id, &rc);
    ASSERT_EQ(zt_trace_line_count(), 5u);
    EXPECT_STREQ(zt_trace_line(1), "CPIC CMRTS request");
    EXPECT_STREQ(zt_trace_line(4), "CPIC CMRTS response, result = CM_OK");
}

}  // namespace
