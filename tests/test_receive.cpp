// Receive against the scripted node: the receive record, the decoding of the
// node's data/status indicator into the program's outputs and the
// confirmation indicators, refusals, blocking and non-blocking completion,
// conversation-ending answers and the release that follows.
#include <cstddef>
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

// One receive's outputs, poisoned so that an output never written shows.
struct Outputs {
    unsigned char buffer[64];
    CM_INT32 requested = sizeof buffer;
    CM_DATA_RECEIVED_TYPE data = 99;
    CM_INT32 length = 99;
    CM_STATUS_RECEIVED status = 99;
    CM_REQUEST_TO_SEND_RECEIVED rts = 99;
    CM_RETURN_CODE rc = -1;
    Outputs() { memset(buffer, '.', sizeof buffer); }
    void receive(unsigned char *id) { cmrcv(id, buffer, &requested, &data, &length, &status, &rts, &rc); }
};

class Receive : public LibraryTest {
  protected:
    // The node's answer to a receive: indicator, length, request to send, and
    // the bytes it places in the program's buffer.
    static ZT_ANSWER receive_answer(uint16_t primary, uint16_t data_status, const char *data = "",
                                    uint8_t rts = 0, bool in_progress = false) {
        ZT_ANSWER a = answer(primary, 0, in_progress);
        const uint16_t length = static_cast<uint16_t>(strlen(data));
        a.patch_count = 3;
        a.patches[0] = {static_cast<uint32_t>(offsetof(VCB_RECEIVE, data_status_ind)), 2, {}};
        memcpy(a.patches[0].bytes, &data_status, 2);
        a.patches[1] = {static_cast<uint32_t>(offsetof(VCB_RECEIVE, rts_ind)), 1, {rts}};
        a.patches[2] = {static_cast<uint32_t>(offsetof(VCB_RECEIVE, data_len)), 2, {}};
        memcpy(a.patches[2].bytes, &length, 2);
        if (length != 0) {
            a.indirect_field = static_cast<uint32_t>(offsetof(VCB_RECEIVE, data_addr));
            a.indirect_length = length;
            a.indirect_data = data;
        }
        return a;
    }
};

TEST_F(Receive, RecordCarriesTheConversationAndTheProgramsBuffer) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x00A1B2C3, "TPRECV01");
    c->ulConversationType = CM_BASIC_CONVERSATION;
    c->ulFill = CM_FILL_LL;
    Outputs o;
    o.requested = 300;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_OK);
    ASSERT_EQ(zt_verb_count(), 1u);
    const ZT_VERB *v = zt_verb(0);
    EXPECT_EQ(v->callback, nullptr) << "blocking";
    EXPECT_EQ(image_at<uint16_t>(v, 0), 0x000B) << "RECEIVE_AND_WAIT";
    EXPECT_EQ(v->image[2], 0) << "basic conversation";
    EXPECT_EQ(v->image[3], 0);
    EXPECT_EQ(bytes(v->image + 12, 8), "TPRECV01");
    EXPECT_EQ(image_at<uint32_t>(v, 20), 0x00A1B2C3u);
    EXPECT_EQ(image_at<uint16_t>(v, 24), 0) << "the indicator is the node's to fill";
    EXPECT_EQ(v->image[26], 1) << "status may come with data";
    EXPECT_EQ(v->image[27], 1) << "FILL_LL";
    EXPECT_EQ(v->image[28], 0);
    EXPECT_EQ(image_at<uint16_t>(v, 30), 300);
    EXPECT_EQ(image_at<unsigned char *>(v, offsetof(VCB_RECEIVE, data_addr)), o.buffer);
#if defined(__i386__)
    EXPECT_EQ(image_at<uint32_t>(v, 36), reinterpret_cast<uint32_t>(o.buffer)) << "the node's offset";
#endif
    for (size_t i = offsetof(VCB_RECEIVE, data_addr) + sizeof(void *); i < VCB_I386_SIZE; ++i)
        ASSERT_EQ(v->image[i], 0) << "offset " << i;
    EXPECT_EQ(c->usTraceVerb, kVerbCMRCV);
    EXPECT_EQ(c->TraceArgs[0], reinterpret_cast<CPIC_WORD>(o.buffer));
    EXPECT_EQ(c->TraceArgs[4], reinterpret_cast<CPIC_WORD>(&o.rts));
}

TEST_F(Receive, ReceiveTypeChoosesTheOpcodeAndFillTheFillByte) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->ulConversationType = CM_BASIC_CONVERSATION;
    CM_RETURN_CODE rc = -1;
    CM_INT32 immediate = CM_RECEIVE_IMMEDIATE, buffer_fill = CM_FILL_BUFFER;
    cmsrt(id, &immediate, &rc);
    ASSERT_EQ(rc, CM_OK);
    cmsf(id, &buffer_fill, &rc);
    ASSERT_EQ(rc, CM_OK);
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_OK);
    EXPECT_EQ(image_at<uint16_t>(zt_last_verb(), 0), 0x000C) << "RECEIVE_IMMEDIATE";
    EXPECT_EQ(zt_last_verb()->image[27], 0) << "FILL_BUFFER";
    EXPECT_EQ(zt_last_verb()->image[2], 0);

    c->ulConversationType = CM_MAPPED_CONVERSATION;
    c->ulReceiveType = CM_RECEIVE_AND_WAIT;
    c->ulFill = CM_FILL_LL;
    o.receive(id);
    EXPECT_EQ(image_at<uint16_t>(zt_last_verb(), 0), 0x000B);
    EXPECT_EQ(zt_last_verb()->image[27], 1);
    EXPECT_EQ(zt_last_verb()->image[2], 1) << "mapped conversation";
}

TEST_F(Receive, ZeroLengthAsksForStatusAlone) {
    unsigned char id[8];
    new_conversation(id);
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0001));
    Outputs o;
    o.requested = 0;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_OK);
    EXPECT_EQ(image_at<uint16_t>(zt_last_verb(), 30), 0) << "passed on, not refused";
    EXPECT_EQ(o.data, CM_NO_DATA_RECEIVED);
    EXPECT_EQ(o.status, CM_SEND_RECEIVED);
    EXPECT_EQ(o.length, 0);
}

TEST_F(Receive, DataArrivesInTheBufferWithEveryOutput) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0201, "HELLO PARTNER", 1));
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_OK);
    EXPECT_EQ(bytes(o.buffer, 14), "HELLO PARTNER.") << "only what the node placed";
    EXPECT_EQ(o.data, CM_COMPLETE_DATA_RECEIVED);
    EXPECT_EQ(o.length, 13);
    EXPECT_EQ(o.status, CM_SEND_RECEIVED);
    EXPECT_EQ(o.rts, CM_REQ_TO_SEND_RECEIVED);
    EXPECT_EQ(c->usConfirmPending, 0);
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(zt_assert_count(), 0u);
}

TEST_F(Receive, IndicatorDecoding) {
    struct Row {
        uint16_t node;
        CM_DATA_RECEIVED_TYPE data;
        CM_STATUS_RECEIVED status;
        uint16_t pending, dealloc;
    };
    const Row rows[] = {
        {0x0000, CM_NO_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0},
        {0x0002, CM_NO_DATA_RECEIVED, CM_CONFIRM_RECEIVED, 1, 0},
        {0x0003, CM_NO_DATA_RECEIVED, CM_CONFIRM_SEND_RECEIVED, 1, 0},
        {0x0004, CM_NO_DATA_RECEIVED, CM_CONFIRM_DEALLOC_RECEIVED, 1, 1},
        {0x0100, CM_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0},
        {0x0103, CM_DATA_RECEIVED, CM_CONFIRM_SEND_RECEIVED, 1, 0},
        {0x0200, CM_COMPLETE_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0},
        {0x0202, CM_COMPLETE_DATA_RECEIVED, CM_CONFIRM_RECEIVED, 1, 0},
        {0x0400, CM_INCOMPLETE_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0},
    };
    for (const Row &row : rows) {
        unsigned char id[8];
        CCCB *c = new_conversation(id);
        queue(AP_RECEIVE_AND_WAIT, receive_answer(0, row.node));
        Outputs o;
        o.receive(id);
        SCOPED_TRACE(row.node);
        EXPECT_EQ(o.rc, CM_OK);
        EXPECT_EQ(o.data, row.data);
        EXPECT_EQ(o.status, row.status);
        EXPECT_EQ(c->usConfirmPending, row.pending);
        EXPECT_EQ(c->usConfirmDealloc, row.dealloc);
    }
    EXPECT_EQ(zt_assert_count(), 0u);
}

TEST_F(Receive, IndicatorOutsideTheTableAssertsAndGivesZero) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0300));  // no such data indicator
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_OK) << "the return code is not touched";
    EXPECT_EQ(o.data, CM_NO_DATA_RECEIVED);
    EXPECT_EQ(o.status, CM_NO_STATUS_RECEIVED);
    ASSERT_EQ(zt_assert_count(), 1u);
    EXPECT_STREQ(zt_assert(0)->expression, "FALSE");

    // Each half is judged on its own.
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0105));
    o.receive(id);
    EXPECT_EQ(o.data, CM_DATA_RECEIVED);
    EXPECT_EQ(o.status, CM_NO_STATUS_RECEIVED);
    EXPECT_EQ(zt_assert_count(), 2u);

    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0707));
    o.receive(id);
    EXPECT_EQ(o.data, CM_NO_DATA_RECEIVED);
    EXPECT_EQ(o.status, CM_NO_STATUS_RECEIVED);
    EXPECT_EQ(zt_assert_count(), 4u);
    EXPECT_EQ(c->usConfirmPending, 0);
}

TEST_F(Receive, ConfirmDeallocThenConfirmedEndsTheConversation) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x51, nullptr);
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0204, "LAST"));
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_OK);
    EXPECT_EQ(o.data, CM_COMPLETE_DATA_RECEIVED);
    EXPECT_EQ(o.status, CM_CONFIRM_DEALLOC_RECEIVED);
    EXPECT_EQ(c->usConfirmPending, 1);
    EXPECT_EQ(c->usConfirmDealloc, 1);

    // A later receive without a request keeps what is owed.
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0100, "X"));
    o.receive(id);
    EXPECT_EQ(c->usConfirmPending, 1);
    EXPECT_EQ(c->usConfirmDealloc, 1);

    CM_RETURN_CODE rc = -1;
    cmcfmd(id, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(find(id), nullptr);
    o.receive(id);
    EXPECT_EQ(o.rc, CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(Receive, RefusalsLeaveReceivedLengthZeroAndIssueNothing) {
    unsigned char initialized[8], incoming[8], busy[8];
    new_conversation(initialized, 0);
    new_conversation(incoming, 0)->usInitialized = 0;
    CCCB *b = new_conversation(busy);
    b->usVerbsOutstanding = 1;

    Outputs o;
    o.receive(initialized);
    EXPECT_EQ(o.rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(o.length, 0);
    o.length = 99;
    o.receive(incoming);
    EXPECT_EQ(o.rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(o.length, 0);
    o.length = 99;
    o.receive(busy);
    EXPECT_EQ(o.rc, CM_OPERATION_NOT_ACCEPTED);
    EXPECT_EQ(o.length, 0);
    EXPECT_EQ(o.data, 99) << "written only by a completion";
    EXPECT_EQ(o.status, 99);
    EXPECT_EQ(o.rts, 99);
    EXPECT_EQ(zt_problem_count(), 0u);
    EXPECT_EQ(zt_verb_count(), 0u);
    b->usVerbsOutstanding = 0;
}

TEST_F(Receive, UnknownConversationWritesSequence14) {
    unsigned char id[8];
    new_conversation(id);
    unsigned char unknown[8];
    memcpy(unknown, id, 8);
    unknown[0] ^= 0x40;
    Outputs o;
    o.receive(unknown);
    EXPECT_EQ(o.rc, CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(o.length, 0);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemUnknownConversation));
    EXPECT_EQ(zt_problem(0)->sequence, 14u);
    EXPECT_STREQ(zt_problem(0)->format, "ba");

    o.length = 99;
    o.receive(nullptr);
    EXPECT_EQ(o.rc, CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(o.length, 0);
    EXPECT_EQ(zt_verb_count(), 0u);
}

TEST_F(Receive, LengthAbove32767OrNegativeIsRefused) {
    unsigned char id[8];
    new_conversation(id);
    Outputs o;
    o.requested = 32768;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(o.length, 0);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemDataLengthInvalid));
    EXPECT_EQ(zt_problem(0)->sequence, 0u);
    EXPECT_STREQ(zt_problem(0)->format, "l");
    EXPECT_STREQ(zt_problem(0)->inserts, "32768");

    o.requested = -1;
    o.length = 99;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(o.length, 0);
    ASSERT_EQ(zt_problem_count(), 2u);
    EXPECT_STREQ(zt_problem(1)->inserts, "-1");
    EXPECT_EQ(zt_verb_count(), 0u);

    o.requested = 32767;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_OK);
    EXPECT_EQ(image_at<uint16_t>(zt_last_verb(), 30), 32767);
}

TEST_F(Receive, FailedVerbStillReportsFromTheRecord) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0x0200, 0x0000, "", 1));
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(o.length, 0);
    EXPECT_EQ(o.data, CM_NO_DATA_RECEIVED);
    EXPECT_EQ(o.status, CM_NO_STATUS_RECEIVED);
    EXPECT_EQ(o.rts, CM_REQ_TO_SEND_RECEIVED);
    EXPECT_EQ(find(id), c) << "a state check ends nothing";
}

TEST_F(Receive, PartnerDeallocationEndsAndReleasesTheConversation) {
    unsigned char id[8];
    new_conversation(id, 0x51, nullptr);
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0x0900, 0x0100, "TAIL", 1));
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_DEALLOCATED_NORMAL);
    EXPECT_EQ(o.length, 4) << "still reported from the record";
    EXPECT_EQ(o.rts, CM_REQ_TO_SEND_RECEIVED);
    EXPECT_EQ(o.data, CM_DATA_RECEIVED);
    EXPECT_EQ(bytes(o.buffer, 4), "TAIL");
    EXPECT_EQ(find(id), nullptr);
    o.receive(id);
    EXPECT_EQ(o.rc, CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(o.length, 0);
    EXPECT_EQ(zt_live_blocks(), 0u) << "the conversation took nothing with it";
}

TEST_F(Receive, NonBlockingReceiveCompletesLater) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0202, "LATER", 0, true));
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_verb(0)->callback, &cmrcv_cb);
    EXPECT_EQ(o.length, 0) << "set at entry";
    EXPECT_EQ(o.data, 99) << "nothing arrived yet";
    EXPECT_EQ(c->usVerbsOutstanding, 1);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 1u);

    Outputs second;
    second.receive(id);
    EXPECT_EQ(second.rc, CM_OPERATION_NOT_ACCEPTED);

    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(bytes(o.buffer, 5), "LATER");
    EXPECT_EQ(o.length, 5);
    EXPECT_EQ(o.data, CM_COMPLETE_DATA_RECEIVED);
    EXPECT_EQ(o.status, CM_CONFIRM_RECEIVED);
    EXPECT_EQ(o.rts, CM_REQ_TO_SEND_NOT_RECEIVED);
    EXPECT_EQ(c->usConfirmPending, 1);
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(c->usCompletionWaiting, 1);
    EXPECT_EQ(c->ulTraceRc, 0u);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);
}

TEST_F(Receive, EndedWhileWaitingIsReleasedByTheNextCall) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x51, nullptr);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0x0900, 0x0000, "", 0, true));
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.rc, CM_OPERATION_INCOMPLETE);
    zt_complete_pending(0);
    ASSERT_EQ(find(id), c) << "held until the result is collected";
    EXPECT_EQ(c->usConvEnded, 1);
    EXPECT_EQ(c->ulTraceRc, static_cast<uint32_t>(CM_DEALLOCATED_NORMAL));

    // A further call is not refused: it issues its verb, gets the node's
    // answer, drops the waiting result and lets the conversation go.
    queue(AP_REQUEST_TO_SEND, answer(0x0200));
    CM_RETURN_CODE rc = -1;
    cmrts(id, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(zt_last_verb()->opcode, AP_REQUEST_TO_SEND);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);
}

TEST_F(Receive, EndedWhileWaitingIsReleasedWhenWaitCollects) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x51, nullptr);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0x0900, 0x0000, "", 0, true));
    Outputs o;
    o.receive(id);
    zt_complete_pending(0);
    ASSERT_EQ(find(id), c);
    unsigned char collected[8] = {};
    CM_RETURN_CODE conversation_rc = -1, rc = -1;
    cmwait(collected, &conversation_rc, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(bytes(collected, 8), bytes(id, 8));
    EXPECT_EQ(conversation_rc, CM_DEALLOCATED_NORMAL);
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(Receive, TraceRecordsOfBlockingAndAsynchronousReceive) {
    set_trace(true);
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0200, "AB"));
    Outputs o;
    o.requested = 20;
    o.receive(id);
    char idline[64];
    snprintf(idline, sizeof idline, "CPIC  Conversation ID = %02X%02X%02X%02X", id[0], id[1], id[2], id[3]);
    ASSERT_GE(zt_trace_line_count(), 15u);
    EXPECT_STREQ(zt_trace_line(1), "CPIC CMRCV request");
    EXPECT_STREQ(zt_trace_line(2), idline);
    EXPECT_STREQ(zt_trace_line(3), "CPIC  Requested length = 20");
    EXPECT_STREQ(zt_trace_line(5), "CPIC  Conversation type = CM_MAPPED_CONVERSATION");
    EXPECT_STREQ(zt_trace_line(9), "CPIC CMRCV response, result = CM_OK");
    EXPECT_STREQ(zt_trace_line(12), "CPIC  Data received type = CM_COMPLETE_DATA_RECEIVED");
    EXPECT_STREQ(zt_trace_line(13), "CPIC  Received length = 2");

    zt_trace_clear();
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0x0F00, 0x0000, "", 0, true));
    o.receive(id);
    const uint32_t before = zt_trace_line_count();
    EXPECT_STREQ(zt_trace_line(9), "CPIC CMRCV response, result = CM_OPERATION_INCOMPLETE");
    zt_complete_pending(0);
    ASSERT_EQ(zt_trace_line_count(), before + 7) << "separator, heading, empty buffer, four outputs";
    EXPECT_STREQ(zt_trace_line(before + 1), "CPIC CMRCV response, result = CM_RESOURCE_FAILURE_RETRY");
    EXPECT_STREQ(zt_trace_line(before + 2), "CPIC  Buffer empty");
    EXPECT_STREQ(zt_trace_line(before + 4), "CPIC  Received length = 0");
}

TEST_F(Receive, NullOutputsAreNeverWritten) {
    unsigned char id[8];
    new_conversation(id);
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0101, "Z", 1));
    unsigned char buffer[4];
    CM_INT32 requested = 4;
    CM_RETURN_CODE rc = -1;
    cmrcv(id, buffer, &requested, nullptr, nullptr, nullptr, nullptr, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(buffer[0], 'Z');
    cmrcv(id, buffer, nullptr, nullptr, nullptr, nullptr, nullptr, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK) << "no length to read";
}

}  // namespace
