// SPDX-License-Identifier: Apache-2.0
// Receive against the scripted node: the receive record, the decoding of the
// node's data/status indicator into the program's outputs and the
// confirmation indicators, refusals, blocking and non-blocking completion,
// conversation-ending answers and the release that follows.
#include <cstddef>
#include <cstdio>
#include <tuple>

#include "support.h"

namespace {

using namespace cpic_test;

// One receive's outputs, poisoned so that an output never written shows.
struct Outputs {
    unsigned char buffer[64];
    CM_INT32 requested = sizeof buffer, data = 99, length = 99, status = 99, rts = 99, rc = -1;
    Outputs() { memset(buffer, '.', sizeof buffer); }
    void receive(unsigned char *id) { cmrcv(id, buffer, &requested, &data, &length, &status, &rts, &rc); }
    // Everything the program gets back, to compare in one piece.
    std::tuple<CM_RETURN_CODE, CM_INT32, CM_INT32, CM_INT32, CM_INT32> all() const {
        return {rc, length, data, status, rts};
    }
};

class Receive : public LibraryTest {
  protected:
    // The node's answer to a receive: indicator, length, request to send, and
    // the bytes it places in the program's buffer.
    static ZT_ANSWER receive_answer(uint16_t primary, uint16_t data_status, const char *data = "",
                                    uint8_t rts = 0, bool in_progress = false) {
        const uint16_t length = static_cast<uint16_t>(strlen(data));
        ZT_ANSWER a = patched(answer(primary, 0, in_progress), offsetof(VCB_RECEIVE, data_status_ind),
                              bytes(&data_status, 2));
        a = patched(patched(a, offsetof(VCB_RECEIVE, rts_ind), {char(rts)}), offsetof(VCB_RECEIVE, data_len),
                    bytes(&length, 2));
        if (length != 0) {
            a.indirect_field = static_cast<uint32_t>(offsetof(VCB_RECEIVE, data_addr));
            a.indirect_length = length;
            a.indirect_data = data;
        }
        return a;
    }

    // A conversation whose receive has ended it while the result waits.
    CCCB *ended_awaiting_collection(unsigned char (&id)[8]) {
        CCCB *c = non_blocking(new_conversation(id, 0x51, nullptr));
        queue(AP_RECEIVE_AND_WAIT, receive_answer(0x0900, 0x0000, "", 0, true));
        Outputs o;
        o.receive(id);
        EXPECT_EQ(o.rc, CM_OPERATION_INCOMPLETE);
        zt_complete_pending(0);
        EXPECT_EQ(find(id), c) << "held until the result is collected";
        EXPECT_EQ(std::make_tuple(c->usConvEnded, c->ulTraceRc),
                  std::make_tuple(1, uint32_t{CM_DEALLOCATED_NORMAL}));
        return c;
    }
};

TEST_F(Receive, RecordFollowsTypeFillAndRequestedLength) {
    const std::tuple<CM_INT32, CM_INT32, CM_INT32, CM_INT32, uint16_t> rows[] = {
        {CM_BASIC_CONVERSATION, CM_RECEIVE_AND_WAIT, CM_FILL_LL, 300, 0x000B},
        {CM_BASIC_CONVERSATION, CM_RECEIVE_IMMEDIATE, CM_FILL_BUFFER, 32767, 0x000C},
        {CM_MAPPED_CONVERSATION, CM_RECEIVE_AND_WAIT, CM_FILL_LL, 0, 0x000B}, // status alone: passed on
    };
    for (const auto &[conversation, receive, fill, requested, opcode] : rows) {
        SCOPED_TRACE(testing::Message() << "opcode " << opcode << ", requested " << requested);
        CCCB *c = new_conversation(id, 0x00A1B2C3, "TPRECV01");
        c->ulConversationType = static_cast<uint32_t>(conversation);
        c->ulReceiveType = static_cast<uint32_t>(receive);
        c->ulFill = static_cast<uint32_t>(fill);
        Outputs o;
        o.requested = requested;
        o.receive(id);
        EXPECT_EQ(o.rc, CM_OK);
        const ZT_VERB *v = zt_last_verb();
        EXPECT_EQ(v->callback, nullptr) << "blocking";
        // Header, indicator left for the node, status may come with data,
        // fill, requested length, the program's own buffer; zeros elsewhere.
        std::string want = record(opcode, static_cast<uint8_t>(conversation), 0x00A1B2C3, "TPRECV01",
                                  std::string("\0\0\1", 3) + char(fill == CM_FILL_LL) + std::string(2, '\0') +
                                      bytes(&requested, 2));
        const unsigned char *buffer = o.buffer;
        memcpy(&want[offsetof(VCB_RECEIVE, data_addr)], &buffer, sizeof buffer);
        EXPECT_EQ(image(v), want);
    }
}

// Even a failed verb reports from the record; an ending code also lets the
// conversation go.
TEST_F(Receive, IndicatorDecodingAndResults) {
    // The node's indicator, data and request to send; the data and status
    // received, the confirmation owed, and the assertions written (one per
    // half outside the table); the node's primary code and the result.
    const std::tuple<uint16_t, const char *, uint8_t, CM_INT32, CM_INT32, uint16_t, uint16_t, uint32_t,
                     uint16_t, CM_INT32>
        rows[] = {
            {0x0000, "", 1, CM_NO_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0, 0, 0x0200,
             CM_PROGRAM_STATE_CHECK},
            {0x0100, "TAIL", 1, CM_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0, 0, 0x0900,
             CM_DEALLOCATED_NORMAL},
            {0x0000, "", 0, CM_NO_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0, 0, 0, CM_OK},
            {0x0001, "", 0, CM_NO_DATA_RECEIVED, CM_SEND_RECEIVED, 0, 0, 0, 0, CM_OK},
            {0x0002, "", 0, CM_NO_DATA_RECEIVED, CM_CONFIRM_RECEIVED, 1, 0, 0, 0, CM_OK},
            {0x0003, "", 0, CM_NO_DATA_RECEIVED, CM_CONFIRM_SEND_RECEIVED, 1, 0, 0, 0, CM_OK},
            {0x0004, "", 0, CM_NO_DATA_RECEIVED, CM_CONFIRM_DEALLOC_RECEIVED, 1, 1, 0, 0, CM_OK},
            {0x0100, "X", 0, CM_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0, 0, 0, CM_OK},
            {0x0103, "X", 0, CM_DATA_RECEIVED, CM_CONFIRM_SEND_RECEIVED, 1, 0, 0, 0, CM_OK},
            {0x0200, "X", 0, CM_COMPLETE_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0, 0, 0, CM_OK},
            {0x0201, "HELLO PARTNER", 1, CM_COMPLETE_DATA_RECEIVED, CM_SEND_RECEIVED, 0, 0, 0, 0, CM_OK},
            {0x0202, "X", 0, CM_COMPLETE_DATA_RECEIVED, CM_CONFIRM_RECEIVED, 1, 0, 0, 0, CM_OK},
            {0x0400, "X", 0, CM_INCOMPLETE_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0, 0, 0, CM_OK},
            // Outside the table: an assertion, zero, the return code untouched;
            // each half is judged on its own.
            {0x0300, "", 0, CM_NO_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0, 1, 0, CM_OK},
            {0x0105, "X", 0, CM_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0, 1, 0, CM_OK},
            {0x0707, "", 0, CM_NO_DATA_RECEIVED, CM_NO_STATUS_RECEIVED, 0, 0, 2, 0, CM_OK},
        };
    for (const auto &[node, data, rts, data_type, status, pending, dealloc, asserts, primary, rc] : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << node);
        const uint32_t before = zt_assert_count();
        CCCB *c = new_conversation(id);
        queue(AP_RECEIVE_AND_WAIT, receive_answer(primary, node, data, rts));
        Outputs o;
        o.receive(id);
        const std::string text = data;
        EXPECT_EQ(o.all(), std::make_tuple(rc, static_cast<CM_INT32>(text.size()), data_type, status,
                                           rts ? CM_REQ_TO_SEND_RECEIVED : CM_REQ_TO_SEND_NOT_RECEIVED));
        EXPECT_EQ(bytes(o.buffer, text.size() + 1), text + ".") << "only what the node placed";
        ASSERT_EQ(find(id), rc == CM_DEALLOCATED_NORMAL ? nullptr : c);
        if (find(id) == nullptr) {
            o.receive(id);
            EXPECT_EQ(std::make_tuple(o.rc, o.length), std::make_tuple(CM_PROGRAM_PARAMETER_CHECK, 0));
            continue;
        }
        ASSERT_EQ(std::make_tuple(c->usConfirmPending, c->usConfirmDealloc, c->usVerbsOutstanding,
                                  zt_assert_count()),
                  std::make_tuple(pending, dealloc, 0, before + asserts));
        EXPECT_STREQ(asserts != 0 ? zt_assert(before)->expression : "FALSE", "FALSE");
    }
}

TEST_F(Receive, ConfirmDeallocThenConfirmedEndsTheConversation) {
    CCCB *c = new_conversation(id, 0x51, nullptr);
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0204, "LAST"));
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.status, CM_CONFIRM_DEALLOC_RECEIVED);
    // A later receive without a request keeps what is owed.
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0100, "X"));
    o.receive(id);
    EXPECT_EQ(std::make_tuple(c->usConfirmPending, c->usConfirmDealloc), std::make_tuple(1, 1));

    EXPECT_EQ(rc_of(cmcfmd, id), CM_OK);
    EXPECT_EQ(find(id), nullptr);
    o.receive(id);
    EXPECT_EQ(o.rc, CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(Receive, RefusalsLeaveReceivedLengthZeroAndIssueNothing) {
    unsigned char initialized[8], incoming[8], busy[8], known[8];
    new_conversation(initialized, 0);
    new_conversation(incoming, 0)->usInitialized = 0;
    new_conversation(busy)->usVerbsOutstanding = 1;
    new_conversation(known);
    const std::tuple<unsigned char *, CM_INT32, CM_INT32, const char *> rows[] = {
        {initialized, 64, CM_PROGRAM_STATE_CHECK, nullptr},
        {incoming, 64, CM_PROGRAM_STATE_CHECK, nullptr},
        {busy, 64, CM_OPERATION_NOT_ACCEPTED, nullptr},
        {known, 32768, CM_PROGRAM_PARAMETER_CHECK, "32768"},
        {known, -1, CM_PROGRAM_PARAMETER_CHECK, "-1"},
    };
    for (const auto &[id, requested, want_rc, length_problem] : rows) {
        SCOPED_TRACE(testing::Message() << "requested " << requested << ", rc " << want_rc);
        const uint32_t problems = zt_problem_count();
        Outputs o;
        o.requested = requested;
        o.receive(id);
        EXPECT_EQ(o.all(), std::make_tuple(want_rc, 0, 99, 99, 99))
            << "the rest written only by a completion";
        EXPECT_EQ(zt_problem_count(), problems + (length_problem != nullptr ? 1 : 0));
        if (length_problem != nullptr) {
            EXPECT_EQ(last_problem(), Rec(kProblemDataLengthInvalid, 0, "l", length_problem));
        }
    }
    EXPECT_EQ(zt_verb_count(), 0u);
    find(busy)->usVerbsOutstanding = 0;

    // Outputs the program passes as null are never written; a null length
    // is refused since there is nothing to read.
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0101, "Z", 1));
    unsigned char buffer[4];
    CM_INT32 requested = 4;
    EXPECT_EQ(rc_of(cmrcv, known, buffer, &requested, nullptr, nullptr, nullptr, nullptr), CM_OK);
    EXPECT_EQ(buffer[0], 'Z');
    EXPECT_EQ(rc_of(cmrcv, known, buffer, nullptr, nullptr, nullptr, nullptr, nullptr),
              CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(zt_verb_count(), 1u);
}

TEST_F(Receive, NonBlockingReceiveCompletesLater) {
    CCCB *c = non_blocking(new_conversation(id));
    queue(AP_RECEIVE_AND_WAIT, receive_answer(0, 0x0202, "LATER", 0, true));
    Outputs o;
    o.receive(id);
    EXPECT_EQ(o.all(), std::make_tuple(CM_OPERATION_INCOMPLETE, 0, 99, 99, 99))
        << "only the length, at entry";
    EXPECT_EQ(zt_verb(0)->callback, &cmrcv_cb);
    EXPECT_EQ(counts(c), kInFlight);

    Outputs second;
    second.receive(id);
    EXPECT_EQ(second.rc, CM_OPERATION_NOT_ACCEPTED);

    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(bytes(o.buffer, 5), "LATER");
    EXPECT_EQ(o.all(), std::make_tuple(CM_OPERATION_INCOMPLETE, 5, CM_COMPLETE_DATA_RECEIVED,
                                       CM_CONFIRM_RECEIVED, CM_REQ_TO_SEND_NOT_RECEIVED));
    EXPECT_EQ(c->usConfirmPending, 1);
    EXPECT_EQ(c->ulTraceRc, 0u);
    EXPECT_EQ(counts(c), kResultWaits);
}

TEST_F(Receive, EndedWhileWaitingIsReleasedByTheNextCallOrByWait) {
    unsigned char collected[8] = {};
    ended_awaiting_collection(id);
    // A further call is not refused: it issues its verb, gets the node's
    // answer, drops the waiting result and lets the conversation go.
    queue(AP_REQUEST_TO_SEND, answer(0x0200));
    CM_RETURN_CODE conversation_rc = -1, rc = -1;
    EXPECT_EQ(rc_of(cmrts, id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(zt_last_verb()->opcode, AP_REQUEST_TO_SEND);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);

    ended_awaiting_collection(id);
    cmwait(collected, &conversation_rc, &rc);
    EXPECT_EQ(std::make_tuple(rc, conversation_rc), std::make_tuple(CM_OK, CM_DEALLOCATED_NORMAL));
    EXPECT_EQ(bytes(collected, 8), bytes(id, 8));
    EXPECT_EQ(find(id), nullptr);
}

} // namespace