// SPDX-License-Identifier: Apache-2.0
// Prepare_To_Receive, Request_To_Send, Send_Error and Test_Request_To_Send
// against the scripted node: their records, the checks before the verb,
// Send_Error's log data and confirmation bookkeeping, the test's own
// synchronous frame, non-blocking completion and conversation endings.
#include <cstdio>
#include <iterator>
#include <tuple>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

// A Send_Error record: direction at 26, then log data length and address.
std::string send_error_record(uint8_t conv_type, uint16_t log_length = 0,
                              const unsigned char *log = nullptr) {
    std::string r = record(0x0010, conv_type, 0x51, "\0\0\0\0\0\0\0");
    memcpy(&r[28], &log_length, 2);
    memcpy(&r[offsetof(VCB_SEND_ERROR, log_addr)], &log, sizeof log);
    return r;
}

class ControlCalls : public LibraryTest {
  protected:
    CM_REQUEST_TO_SEND_RECEIVED rts_ = 7; // outlives a non-blocking call

    // A node answer that also sets the request-to-send byte at 24.
    static ZT_ANSWER answer_with_rts(uint16_t primary, char rts, bool in_progress = false) {
        return patched(answer(primary, 0, in_progress), 24, {rts});
    }

    // A basic conversation holding error log data set by the program.
    CCCB *basic_with_log_data(unsigned char (&id)[8], const char *text) {
        CCCB *c = new_conversation(id, 0x51, nullptr);
        c->ulConversationType = CM_BASIC_CONVERSATION;
        CM_INT32 length = static_cast<CM_INT32>(strlen(text));
        EXPECT_EQ(rc_of(cmsld, id, reinterpret_cast<unsigned char *>(const_cast<char *>(text)), &length),
                  CM_OK);
        EXPECT_NE(c->LogData, nullptr);
        return c;
    }

    CM_RETURN_CODE serr(unsigned char *id) { return rc_of(cmserr, id, &rts_); }
    CM_RETURN_CODE trts(unsigned char *id) { return rc_of(cmtrts, id, &rts_); }
};

// ---- The checks every one of the calls makes --------------------------------

using Call = void (*)(unsigned char *id, CM_REQUEST_TO_SEND_RECEIVED *rts, CM_RETURN_CODE *rc);
struct NamedCall {
    const char *name;
    Call call;
};

using Rts = CM_REQUEST_TO_SEND_RECEIVED;
constexpr Call call_ptr = [](unsigned char *id, Rts *, CM_RETURN_CODE *rc) { cmptr(id, rc); };
constexpr Call call_rts = [](unsigned char *id, Rts *, CM_RETURN_CODE *rc) { cmrts(id, rc); };
void call_rcv(unsigned char *id, CM_REQUEST_TO_SEND_RECEIVED *rts, CM_RETURN_CODE *rc) {
    unsigned char buffer[8];
    CM_INT32 requested = 8, received = 0, data, status;
    cmrcv(id, buffer, &requested, &data, &received, &status, rts, rc);
}

const NamedCall kCalls[] = {
    {"CMPTR", call_ptr}, {"CMRTS", call_rts}, {"CMSERR", cmserr}, {"CMTRTS", cmtrts}, {"CMRCV", call_rcv},
};

// A verb outstanding blocks only its own conversation.
TEST_F(ControlCalls, EveryCallRefusesWithoutIssuingAVerb) {
    unsigned char initialized[8], incoming[8], busy[8], other[8];
    new_conversation(initialized, 0);
    new_conversation(incoming, 0)->usInitialized = 0;
    CCCB *b = non_blocking(new_conversation(busy));
    new_conversation(other);
    queue(AP_FLUSH, answer(0, 0, true));
    ASSERT_EQ(rc_of(cmflus, busy), CM_OPERATION_INCOMPLETE);
    for (const NamedCall &k : kCalls) {
        SCOPED_TRACE(k.name);
        CM_REQUEST_TO_SEND_RECEIVED rts = 7;
        const uint32_t verbs = zt_verb_count();
        EXPECT_EQ((Outcome{rc_of(k.call, initialized, &rts), rc_of(k.call, incoming, &rts),
                           rc_of(k.call, busy, &rts)}),
                  (Outcome{CM_PROGRAM_STATE_CHECK, CM_PROGRAM_STATE_CHECK, CM_OPERATION_NOT_ACCEPTED}));
        EXPECT_EQ(std::make_tuple(rts, zt_problem_count(), zt_verb_count()), std::make_tuple(7, 0u, verbs))
            << "refusals after the lookup write nothing";
        EXPECT_EQ(rc_of(k.call, other, &rts), CM_OK);
    }
    EXPECT_EQ(b->usVerbsOutstanding, 1);
    EXPECT_EQ(zt_verb_count(), 1u + 5u) << "the flush, then one verb per call on the other conversation";
    zt_complete_pending(0);
}

// ---- The records ------------------------------------------------------------

TEST_F(ControlCalls, RecordsAsTheNodeSeesThem) {
    // Bytes 24 and 26: the kind of prepare, the direction of the error;
    // `rts` 7: not an output of the call.
    const std::tuple<const NamedCall *, CM_INT32, CM_INT32, CM_INT32, uint16_t, uint8_t, uint8_t, CM_INT32,
                     uint16_t>
        rows[] = {
            {&kCalls[0], CM_MAPPED_CONVERSATION, CM_PREP_TO_RECEIVE_SYNC_LEVEL, 0, 0x000A, 0, 0, 7,
             kVerbCMPTR},
            {&kCalls[0], CM_MAPPED_CONVERSATION, CM_PREP_TO_RECEIVE_FLUSH, 0, 0x000A, 1, 0, 7, kVerbCMPTR},
            {&kCalls[0], CM_MAPPED_CONVERSATION, CM_PREP_TO_RECEIVE_CONFIRM, 0, 0x000A, 0, 0, 7, kVerbCMPTR},
            {&kCalls[1], CM_BASIC_CONVERSATION, 0, 0, 0x000E, 0, 0, 7, kVerbCMRTS},
            {&kCalls[2], CM_MAPPED_CONVERSATION, 0, CM_SEND_ERROR, 0x0010, 0, 1, CM_REQ_TO_SEND_NOT_RECEIVED,
             kVerbCMSERR},
            {&kCalls[2], CM_MAPPED_CONVERSATION, 0, CM_RECEIVE_ERROR, 0x0010, 0, 0,
             CM_REQ_TO_SEND_NOT_RECEIVED, kVerbCMSERR},
            {&kCalls[3], CM_MAPPED_CONVERSATION, 0, 0, 0x0012, 0, 0, CM_REQ_TO_SEND_RECEIVED, kVerbCMTRTS},
        };
    for (const auto &[call, conversation, prepare, direction, opcode, byte24, byte26, rts, trace_verb] :
         rows) {
        SCOPED_TRACE(testing::Message() << call->name << " " << prepare << " " << direction);
        CCCB *c = new_conversation(id, 0x0BADCAFE, "TPCTRL01");
        c->ulSyncLevel = CM_CONFIRM;
        c->ulConversationType = static_cast<uint32_t>(conversation);
        ASSERT_EQ(rc_set(cmsed, id, direction), CM_OK);
        ASSERT_EQ(call->call == call_ptr ? rc_set(cmsptr, id, prepare) : CM_OK, CM_OK);
        rts_ = 7;
        const CM_RETURN_CODE rc = rc_of(call->call, id, &rts_);
        EXPECT_EQ(std::make_tuple(rc, rts_), std::make_tuple(CM_OK, rts));
        const ZT_VERB *v = zt_last_verb();
        std::string want = record(opcode, conversation == CM_MAPPED_CONVERSATION, 0x0BADCAFE, "TPCTRL01");
        want[24] = static_cast<char>(byte24);
        want[26] = static_cast<char>(byte26);
        EXPECT_EQ(image(v), want);
        EXPECT_EQ(std::make_tuple(v->callback, v->user, c->usTraceVerb),
                  std::make_tuple(nullptr, trace_verb == kVerbCMTRTS ? 0u : 1u, trace_verb))
            << "only the test has a frame of its own";
    }
}

// ---- Results and endings ----------------------------------------------------

TEST_F(ControlCalls, FailuresAreMappedAndEndingCodesRelease) {
    // `rts` 7: left as the program passed it; `problem`: the inserts of an
    // unmapped code's record.
    const std::tuple<const NamedCall *, uint16_t, CM_INT32, CM_INT32, bool, const char *> rows[] = {
        {&kCalls[0], 0x0200, CM_PROGRAM_STATE_CHECK, 7, false, nullptr},
        {&kCalls[1], 0x0500, CM_DEALLOCATED_ABEND, 7, true, nullptr},
        {&kCalls[2], 0x0900, CM_DEALLOCATED_NORMAL, CM_REQ_TO_SEND_NOT_RECEIVED, true, nullptr},
        // No request is an answer, not UNSUCCESSFUL.
        {&kCalls[3], 0x1400, CM_OK, CM_REQ_TO_SEND_NOT_RECEIVED, false, nullptr},
        {&kCalls[3], 0x0200, CM_PROGRAM_STATE_CHECK, 7, false, nullptr},
        {&kCalls[3], 0x2100, CM_PRODUCT_SPECIFIC_ERROR, 7, true, "0012 2100 00000000"},
    };
    const uint16_t opcodes[] = {AP_PREPARE_TO_RECEIVE, AP_REQUEST_TO_SEND, AP_SEND_ERROR, AP_TEST_RTS};
    for (const auto &[call, primary, want_rc, want_rts, ends, problem] : rows) {
        SCOPED_TRACE(testing::Message() << call->name << " " << std::hex << primary);
        const uint32_t blocks = zt_live_blocks(), problems = zt_problem_count();
        CCCB *c = call->call == cmserr ? basic_with_log_data(id, "LAST WORDS") : new_conversation(id);
        queue(opcodes[call - kCalls], answer(primary));
        CM_REQUEST_TO_SEND_RECEIVED rts = 7;
        const CM_RETURN_CODE rc = rc_of(call->call, id, &rts);
        EXPECT_EQ(std::make_tuple(rc, rts), std::make_tuple(want_rc, want_rts));
        EXPECT_EQ(zt_problem_count(), problems + (problem != nullptr ? 1 : 0));
        if (problem != nullptr) {
            EXPECT_EQ(last_problem(), Rec(kProblemUnmappedReturnCode, 1, "x x lx", problem));
        }
        EXPECT_EQ(find(id), ends ? nullptr : c);
        if (!ends) continue;
        EXPECT_EQ(zt_live_blocks(), blocks) << "the conversation took its log data with it";
        EXPECT_EQ(rc_of(call->call, id, &rts), CM_PROGRAM_PARAMETER_CHECK);
    }
}

TEST_F(ControlCalls, NonBlockingPrepareToReceiveAndRequestToSend) {
    CCCB *c = non_blocking(new_conversation(id));
    queue(AP_PREPARE_TO_RECEIVE, answer(0, 0, true));
    EXPECT_EQ(rc_of(cmptr, id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(std::make_tuple(zt_last_verb()->callback, zt_last_verb()->user, counts(c)),
              std::make_tuple(&cmptr_cb, 1u, kInFlight));
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(counts(c), kResultWaits);

    queue(AP_REQUEST_TO_SEND, answer(0x0F00, 0, true));
    EXPECT_EQ(rc_of(cmrts, id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(std::make_tuple(zt_last_verb()->callback, pGCB->NumVerbsWaiting),
              std::make_tuple(&cmrts_cb, 0u))
        << "the uncollected result was dropped";
    zt_complete_pending(0);
    ASSERT_EQ(find(id), c) << "held for collection";
    EXPECT_EQ(std::make_tuple(c->usConvEnded, c->ulTraceRc),
              std::make_tuple(1, uint32_t{CM_RESOURCE_FAILURE_RETRY}));
}

// ---- Send_Error's log data and confirmation --------------------------------

TEST_F(ControlCalls, SendErrorCarriesAndConsumesTheLogData) {
    CCCB *c = basic_with_log_data(id, "DISK FULL");
    const unsigned char *log = c->LogData;
    const uint16_t log_length = c->usLogDataLen;
    ASSERT_GT(log_length, 9u);
    const uint32_t blocks = zt_live_blocks();
    EXPECT_EQ(serr(id), CM_OK);
    EXPECT_EQ(image(zt_last_verb()), send_error_record(0, log_length, log))
        << "the conversation's own buffer, not a copy";
    EXPECT_EQ(std::make_tuple(c->LogData, c->usLogDataLen, zt_live_blocks()),
              std::make_tuple(nullptr, 0, blocks - 1))
        << "the buffer was freed";
    EXPECT_EQ(serr(id), CM_OK);
    EXPECT_EQ(image(zt_last_verb()), send_error_record(0)) << "nothing left to send";

    // A mapped conversation sends none, and consumes it all the same; nor
    // does a length without a buffer stop it there.
    CCCB *m = basic_with_log_data(id, "GONE");
    m->ulConversationType = CM_MAPPED_CONVERSATION;
    EXPECT_EQ(serr(id), CM_OK);
    EXPECT_EQ(std::make_tuple(image(zt_last_verb()), m->LogData),
              std::make_tuple(send_error_record(1), nullptr));
    m->usLogDataLen = 12;
    EXPECT_EQ(serr(id), CM_OK);
    EXPECT_EQ(std::make_tuple(image(zt_last_verb()), m->usLogDataLen),
              std::make_tuple(send_error_record(1), 0));

    // On a basic conversation the missing buffer refuses the call outright.
    m->ulConversationType = CM_BASIC_CONVERSATION;
    m->usLogDataLen = 12;
    m->usConfirmPending = 1;
    const uint32_t verbs = zt_verb_count();
    rts_ = 7;
    EXPECT_EQ(serr(id), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(std::make_tuple(zt_verb_count(), zt_problem_count(), last_problem(), rts_),
              std::make_tuple(verbs, 1u, Rec(kProblemLogDataMissing, 2, "", ""), 7));
    EXPECT_EQ(std::make_tuple(m->usConfirmPending, m->usLogDataLen, m->usVerbsOutstanding),
              std::make_tuple(1, 12, 0));
    m->usLogDataLen = 0;
}

TEST_F(ControlCalls, SendErrorSettlesLogDataAndConfirmationOnlyOnSuccess) {
    CCCB *c = basic_with_log_data(id, "RETRY");
    c->usConfirmPending = 1;
    c->usConfirmDealloc = 1;
    queue(AP_SEND_ERROR, answer_with_rts(0x0200, 1));
    EXPECT_EQ(serr(id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(std::make_tuple(rts_, c->usConfirmPending, c->usConfirmDealloc, c->LogData != nullptr),
              std::make_tuple(CM_REQ_TO_SEND_RECEIVED, 1, 1, true))
        << "the node's indicator counts even on failure";

    queue(AP_SEND_ERROR, answer_with_rts(0, 0));
    EXPECT_EQ(serr(id), CM_OK);
    EXPECT_EQ(std::make_tuple(rts_, c->usConfirmPending, c->usConfirmDealloc, c->LogData, find(id)),
              std::make_tuple(CM_REQ_TO_SEND_NOT_RECEIVED, 0, 0, nullptr, c))
        << "refusing a deallocation does not end the conversation";

    // Non-blocking, all of it waits for the completion.
    c = non_blocking(basic_with_log_data(id, "LATER"));
    c->usConfirmPending = 1;
    queue(AP_SEND_ERROR, answer_with_rts(0, 1, true));
    rts_ = 7;
    EXPECT_EQ(serr(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(std::make_tuple(zt_last_verb()->callback, rts_, c->usConfirmPending, c->LogData != nullptr),
              std::make_tuple(&cmserr_cb, 7, 1, true));
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(rts_, CM_REQ_TO_SEND_RECEIVED);
    EXPECT_EQ(std::make_tuple(c->usConfirmPending, c->LogData, c->usCompletionWaiting),
              std::make_tuple(0, nullptr, 1));
}

// A confirmation owed refuses the test until answered, by Confirmed or by
// Send_Error; a failed answer settles nothing.
TEST_F(ControlCalls, ConfirmationRefusesTheTestUntilAnswered) {
    new_conversation(id);
    const ZT_ANSWER confirm = patched(answer(0), offsetof(VCB_RECEIVE, data_status_ind), {2, 0});
    for (bool by_send_error : {false, true}) {
        SCOPED_TRACE(by_send_error ? "Send_Error" : "Confirmed");
        queue(AP_RECEIVE_AND_WAIT, confirm);
        CM_REQUEST_TO_SEND_RECEIVED unused = 0;
        EXPECT_EQ(rc_of(call_rcv, id, &unused), CM_OK);
        ASSERT_EQ(find(id)->usConfirmPending, 1);
        rts_ = 7;
        const uint32_t verbs = zt_verb_count();
        EXPECT_EQ(trts(id), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(std::make_tuple(rts_, zt_verb_count()), std::make_tuple(7, verbs));
        if (!by_send_error) queue(AP_CONFIRMED, answer(0x0200));
        const Outcome answered =
            by_send_error ? Outcome{serr(id)} : Outcome{rc_of(cmcfmd, id), trts(id), rc_of(cmcfmd, id)};
        EXPECT_EQ(answered, by_send_error ? Outcome{CM_OK}
                                          : (Outcome{CM_PROGRAM_STATE_CHECK, CM_PROGRAM_STATE_CHECK, CM_OK}));
        EXPECT_EQ(trts(id), CM_OK);
        EXPECT_EQ(rts_, CM_REQ_TO_SEND_RECEIVED);
    }
}

// ---- Test_Request_To_Send's own frame ----------------------------------------

TEST_F(ControlCalls, TestRequestToSendNeverGoesAsynchronousNorTouchesAWaitingResult) {
    CCCB *c = non_blocking(new_conversation(id));
    // Even an answer the node would otherwise finish later.
    queue(AP_TEST_RTS, answer(0, 0, true));
    EXPECT_EQ(trts(id), CM_OK);
    EXPECT_EQ(rts_, CM_REQ_TO_SEND_RECEIVED);
    EXPECT_EQ(zt_pending_count(), 0u);
    EXPECT_EQ(counts(c), kIdle);

    queue(AP_FLUSH, answer(0, 0, true));
    EXPECT_EQ(rc_of(cmflus, id), CM_OPERATION_INCOMPLETE);
    zt_complete_pending(0);
    ASSERT_EQ(c->usCompletionWaiting, 1);
    EXPECT_EQ(trts(id), CM_OK);
    EXPECT_EQ(counts(c), kResultWaits);

    // Ended while a result waits: held for collection, not released.
    queue(AP_TEST_RTS, answer(0x1000));
    EXPECT_EQ(trts(id), CM_RESOURCE_FAILURE_NO_RETRY);
    EXPECT_EQ(c->usConvEnded, 1);
    EXPECT_EQ(find(id), c);
}

} // namespace
