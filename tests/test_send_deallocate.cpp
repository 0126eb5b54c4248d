// SPDX-License-Identifier: Apache-2.0
// Send_Data and Deallocate against the scripted node: the records the node
// sees, the send and deallocation kinds, the deallocate that carries abend
// log data after the data, completions in both processing modes, the end
// and release of the conversation, and the records written on the way.
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

std::string send_record(uint8_t conv_type, uint16_t length, const unsigned char *data, uint8_t kind) {
    std::string r = record(0x000F, conv_type, 0x51);
    memcpy(&r[offsetof(VCB_SEND_DATA, data_len)], &length, 2);
    memcpy(&r[offsetof(VCB_SEND_DATA, data_addr)], &data, sizeof data);
    r[offsetof(VCB_SEND_DATA, send_kind)] = static_cast<char>(kind);
    return r;
}
std::string deallocate_record(uint8_t conv_type, uint32_t conv_id, uint8_t kind, uint16_t log_length = 0,
                              const unsigned char *log = nullptr) {
    std::string r = record(0x0005, conv_type, conv_id);
    r[offsetof(VCB_DEALLOCATE, dealloc_kind)] = static_cast<char>(kind);
    memcpy(&r[offsetof(VCB_DEALLOCATE, log_len)], &log_length, 2);
    memcpy(&r[offsetof(VCB_DEALLOCATE, log_addr)], &log, sizeof log);
    return r;
}
const unsigned char *log_address(const ZT_VERB *v) {
    const unsigned char *p;
    memcpy(&p, v->image + offsetof(VCB_DEALLOCATE, log_addr), sizeof p);
    return p;
}

class SendDeallocate : public LibraryTest {
  protected:
    std::vector<unsigned char> data_ = std::vector<unsigned char>(32768, 0x5A);
    // Outputs must outlive a non-blocking call: the completion writes them.
    CM_REQUEST_TO_SEND_RECEIVED rts_ = 7;

    CM_RETURN_CODE send(unsigned char *id, CM_INT32 length = 7) {
        return rc_of(cmsend, id, data_.data(), &length, &rts_);
    }
    static CM_RETURN_CODE deallocate(unsigned char *id) { return rc_of(cmdeal, id); }
    CCCB *basic(unsigned char (&id)[8]) {
        CCCB *c = new_conversation(id);
        c->ulConversationType = CM_BASIC_CONVERSATION;
        return c;
    }

    // A basic conversation set to end abnormally with a send, carrying the
    // log data as Set_Log_Data builds it.
    CCCB *abend_with_log_data(unsigned char (&id)[8], const char *text = "DISK FULL", bool by_send = true) {
        CCCB *c = basic(id);
        CM_INT32 n = static_cast<CM_INT32>(strlen(text));
        EXPECT_EQ(rc_of(cmsld, id, reinterpret_cast<unsigned char *>(const_cast<char *>(text)), &n), CM_OK);
        EXPECT_NE(c->LogData, nullptr);
        if (by_send) c->ulSendType = CM_SEND_AND_DEALLOCATE;
        c->ulDeallocateType = CM_DEALLOCATE_ABEND;
        return c;
    }

    static ZT_ANSWER with_rts(ZT_ANSWER a, char rts) {
        return patched(a, offsetof(VCB_SEND_DATA, rts_ind), {rts});
    }
    static Rec audit(const unsigned char *id, const char *lu) {
        return {kAuditConversationDeallocated, 0, "ba ca", hex(id, 8) + " \"" + lu + "\""};
    }
};

// ---- Send_Data ------------------------------------------------------------------

TEST_F(SendDeallocate, SendRecordFollowsTheCharacteristics) {
    // Send, prepare-to-receive and deallocate types, conversation type, length;
    // the record's send kind.
    const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, CM_INT32, uint8_t> rows[] = {
        {CM_BUFFER_DATA, 0, 0, CM_BASIC_CONVERSATION, 7, 0},
        {CM_BUFFER_DATA, 0, 0, CM_MAPPED_CONVERSATION, 32767, 0},
        {CM_SEND_AND_FLUSH, 0, 0, CM_MAPPED_CONVERSATION, 0, 1},
        {CM_SEND_AND_CONFIRM, 0, 0, CM_MAPPED_CONVERSATION, 7, 2},
        {CM_SEND_AND_PREP_TO_RECEIVE, CM_PREP_TO_RECEIVE_FLUSH, 0, CM_MAPPED_CONVERSATION, 7, 3},
        {CM_SEND_AND_PREP_TO_RECEIVE, CM_PREP_TO_RECEIVE_SYNC_LEVEL, 0, CM_MAPPED_CONVERSATION, 7, 4},
        {CM_SEND_AND_PREP_TO_RECEIVE, CM_PREP_TO_RECEIVE_CONFIRM, 0, CM_MAPPED_CONVERSATION, 7, 4},
        {CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATE_FLUSH, CM_MAPPED_CONVERSATION, 7, 5},
        {CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATE_SYNC_LEVEL, CM_MAPPED_CONVERSATION, 7, 6},
        {CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATE_CONFIRM, CM_MAPPED_CONVERSATION, 7, 6},
        // Without log data an abnormal end is one verb.
        {CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATE_ABEND, CM_MAPPED_CONVERSATION, 7, 7},
        {CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATE_ABEND, CM_BASIC_CONVERSATION, 7, 7},
    };
    memcpy(data_.data(), "\x00\x07HELLO", 7);
    for (const auto &[type, prepare, dealloc, conversation, length, kind] : rows) {
        SCOPED_TRACE(testing::Message() << type << "/" << prepare << "/" << dealloc);
        CCCB *c = new_conversation(id);
        std::tie(c->ulSendType, c->ulPrepToReceiveType, c->ulDeallocateType, c->ulConversationType) =
            std::tie(type, prepare, dealloc, conversation);
        EXPECT_EQ(send(id, length), CM_OK);
        EXPECT_EQ(image(last_of(AP_SEND_DATA)),
                  send_record(static_cast<uint8_t>(conversation), static_cast<uint16_t>(length), data_.data(),
                              kind))
            << "the program's own buffer";
        EXPECT_EQ(find(id) == nullptr, type == CM_SEND_AND_DEALLOCATE)
            << "only a deallocating send ends the conversation";
    }
    EXPECT_EQ(bytes(data_.data(), 7), std::string("\x00\x07HELLO", 7)) << "no conversion";
    EXPECT_EQ(zt_verbs_of(AP_DEALLOCATE) + zt_audit_count(), 0u) << "no deallocate verb, no audit record";
}

TEST_F(SendDeallocate, RefusalsBeforeAnyVerb) {
    unsigned char local[8], known[8];
    new_conversation(local, 0); // Initialize state
    new_conversation(known);
    EXPECT_EQ(send(local), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(zt_problem_count(), 0u);
    for (CM_INT32 length : {32768, -1, 65536 + 5}) {
        EXPECT_EQ(send(known, length), CM_PROGRAM_PARAMETER_CHECK) << length;
        EXPECT_EQ(last_problem(), Rec(kProblemDataLengthInvalid, 1, "l", std::to_string(length)));
    }
    EXPECT_EQ(rts_, 7) << "a refused call leaves the output alone";
    EXPECT_EQ(rc_of(cmsend, local, data_.data(), nullptr, &rts_), CM_PROGRAM_STATE_CHECK)
        << "the state is judged before the length";
    EXPECT_EQ(rc_of(cmsend, known, data_.data(), nullptr, &rts_), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(zt_verb_count(), 0u);
}

// A failed send or deallocation ends the conversation only on an ending
// code; the node's request-to-send indicator comes back either way.
TEST_F(SendDeallocate, FailuresEndOnlyOnAnEndingCode) {
    // The verb, the node's answer and the send type; the result and whether
    // the conversation ends.
    const std::tuple<uint16_t, uint16_t, CM_INT32, uint32_t, CM_RETURN_CODE, bool> rows[] = {
        {AP_SEND_DATA, 0, CM_BUFFER_DATA, 0, CM_OK, false},
        {AP_SEND_DATA, 0x0900, CM_BUFFER_DATA, 0, CM_DEALLOCATED_NORMAL, true},
        {AP_SEND_DATA, 0x2100, CM_BUFFER_DATA, 0, CM_PRODUCT_SPECIFIC_ERROR, true},
        {AP_SEND_DATA, 0x0100, CM_BUFFER_DATA, 0x17000000, CM_PARAMETER_ERROR, false},
        {AP_SEND_DATA, 0x0200, CM_SEND_AND_DEALLOCATE, 0, CM_PROGRAM_STATE_CHECK, false},
        {AP_SEND_DATA, 0x0600, CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATED_ABEND, true},
        {AP_DEALLOCATE, 0x0500, 0, 0, CM_DEALLOCATED_ABEND, true},
        {AP_DEALLOCATE, 0x0800, 0, 0, CM_DEALLOCATED_ABEND_TIMER, true},
        {AP_DEALLOCATE, 0x1000, 0, 0, CM_RESOURCE_FAILURE_NO_RETRY, true},
        {AP_DEALLOCATE, 0x0200, 0, 0, CM_PROGRAM_STATE_CHECK, false},
        {AP_DEALLOCATE, 0x0100, 0, 0x17000000, CM_PARAMETER_ERROR, false},
    };
    for (const auto &[opcode, primary, send_type, secondary, rc, ends] : rows) {
        SCOPED_TRACE(testing::Message() << "opcode " << opcode << ", primary " << std::hex << primary);
        CCCB *c = new_conversation(id);
        c->ulSendType = static_cast<uint32_t>(send_type);
        c->ulDeallocateType = CM_DEALLOCATE_FLUSH;
        const bool sends = opcode == AP_SEND_DATA;
        const ZT_ANSWER a = answer(primary, secondary);
        queue(opcode, sends ? with_rts(a, 1) : a);
        rts_ = 0;
        EXPECT_EQ(sends ? send(id) : deallocate(id), rc);
        if (primary == 0x2100) {
            EXPECT_EQ(last_problem(), Rec(kProblemUnmappedReturnCode, 1, "x x lx", "000F 2100 00000000"));
        }
        EXPECT_EQ(find(id), ends ? nullptr : c);
        EXPECT_EQ(ends ? 0 : c->usConvEnded, 0);
        if (ends || !sends) continue;
        EXPECT_EQ(rts_, CM_REQ_TO_SEND_RECEIVED) << "the node's indicator, even on a failed verb";
        EXPECT_EQ(send(id), CM_OK);
        EXPECT_EQ(rts_, CM_REQ_TO_SEND_NOT_RECEIVED);
    }
    EXPECT_EQ(zt_audit_count(), 0u);
}

// ---- Abnormal end with log data: data first, then a deallocate --------------

TEST_F(SendDeallocate, AbendWithLogDataChainsADeallocateCarryingACopy) {
    CCCB *c = abend_with_log_data(id);
    memcpy(c->SideInfo.SideInfoLocLUAlias, "LOCALLU1", 8);
    const unsigned char *log = c->LogData;
    const uint16_t log_len = c->usLogDataLen;
    queue(AP_SEND_DATA, with_rts(answer(0), 1));
    EXPECT_EQ(send(id), CM_OK);
    ASSERT_GE(zt_verb_count(), 2u);
    EXPECT_EQ(image(zt_verb(0)), send_record(0, 7, data_.data(), 0)) << "the data goes alone";
    const ZT_VERB *v = zt_verb(1);
    ASSERT_EQ(std::make_tuple(v->opcode, v->callback), std::make_tuple(uint16_t{AP_DEALLOCATE}, nullptr));
    const unsigned char *copy = log_address(v);
    EXPECT_EQ(image(v), deallocate_record(0, 0x51, 2, log_len, copy));
    EXPECT_NE(copy, nullptr);
    EXPECT_NE(copy, log) << "a copy, not the log data itself";
    EXPECT_EQ(std::make_tuple(rts_, find(id), last_audit(), zt_audit_count(), zt_assert_count()),
              std::make_tuple(0, nullptr, audit(id, "LOCALLU1"), 1u, 0u))
        << "rts read from the deallocate's record";

    // A failed chained deallocate still ends it, with its own result.
    abend_with_log_data(id);
    queue(AP_DEALLOCATE, answer(0x0200));
    EXPECT_EQ(send(id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(std::make_tuple(find(id), zt_audit_count(), zt_assert_count()),
              std::make_tuple(nullptr, 1u, 0u));
}

// When the data cannot go (the send fails or ends the conversation, the log
// data announced is absent, no memory for the copy), no deallocate follows
// and no copy is kept; the log data stays and the program may try again.
TEST_F(SendDeallocate, AbendWhoseDataCannotGoIssuesNoDeallocate) {
    enum Case { kSendFails, kLogDataAbsent, kNoMemory, kSendEnds };
    for (Case k : {kSendFails, kLogDataAbsent, kNoMemory, kSendEnds}) {
        SCOPED_TRACE(k);
        CCCB *c = k == kLogDataAbsent ? basic(id) : abend_with_log_data(id);
        if (k == kLogDataAbsent) {
            std::tie(c->ulSendType, c->ulDeallocateType) =
                std::make_tuple(CM_SEND_AND_DEALLOCATE, CM_DEALLOCATE_ABEND);
            c->usLogDataLen = 12;
        }
        const unsigned char *log = c->LogData;
        const uint32_t blocks = zt_live_blocks(), verbs = zt_verb_count(),
                       deallocates = zt_verbs_of(AP_DEALLOCATE);
        if (k == kSendFails || k == kSendEnds) queue(AP_SEND_DATA, answer(k == kSendEnds ? 0x0900 : 0x0200));
        if (k == kNoMemory) zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
        rts_ = 7;
        const CM_RETURN_CODE rcs[] = {CM_PROGRAM_STATE_CHECK, CM_PRODUCT_SPECIFIC_ERROR,
                                      CM_PRODUCT_SPECIFIC_ERROR, CM_DEALLOCATED_NORMAL};
        EXPECT_EQ(send(id), rcs[k]);
        EXPECT_EQ(zt_verbs_of(AP_DEALLOCATE), deallocates) << "no deallocate";
        EXPECT_EQ(find(id), k == kSendEnds ? nullptr : c);
        if (k == kSendEnds) continue;
        EXPECT_EQ(zt_verb_count(), verbs + (k == kSendFails ? 1 : 0));
        if (k != kSendFails) {
            EXPECT_EQ(std::make_tuple(last_problem(), zt_fault_hits(ZT_FAULT_MEM_ALLOC), rts_),
                      std::make_tuple(Rec(kProblemNoMemory, 16, "x x x x", "0000 0000 0000 0000"),
                                      k == kNoMemory ? 1u : 0u, 7));
        }
        EXPECT_EQ(std::make_tuple(c->DeallcLogData, c->usDeallcLogDataLen, c->LogData, zt_live_blocks()),
                  std::make_tuple(nullptr, 0, log, blocks))
            << "the log data itself stays set; a block obtained for the copy is returned";
        if (k == kLogDataAbsent) c->usLogDataLen = 0;
        EXPECT_EQ(send(id), CM_OK) << "the program may try again";
        EXPECT_EQ(zt_verbs_of(AP_DEALLOCATE), deallocates + (k == kLogDataAbsent ? 0 : 1));
        EXPECT_EQ(find(id), nullptr);
    }
    EXPECT_EQ(zt_assert_count(), 0u);
}

// ---- Non-blocking sends --------------------------------------------------------

TEST_F(SendDeallocate, NonBlockingSendCompletesThroughItsCallback) {
    unsigned char other[8];
    CCCB *c = non_blocking(new_conversation(id));
    new_conversation(other, 0x52);
    queue(AP_SEND_DATA, with_rts(answer(0, 0, true), 1));
    EXPECT_EQ(send(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(std::make_tuple(zt_last_verb()->callback, rts_, counts(c)),
              std::make_tuple(&cmsend_cb, 7, kInFlight))
        << "rts written only by the completion";
    EXPECT_EQ((Outcome{send(id), deallocate(id), send(other)}),
              (Outcome{CM_OPERATION_NOT_ACCEPTED, CM_OPERATION_NOT_ACCEPTED, CM_OK}))
        << "another conversation goes on";
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(std::make_tuple(rts_, c->ulTraceRc, counts(c), find(id)),
              std::make_tuple(CM_REQ_TO_SEND_RECEIVED, uint32_t{CM_OK}, kResultWaits, c));
}

// Whichever verbs finish later, the abnormal end is one operation: it
// completes once, under the send's name, with the deallocate's result; a
// failed deallocate drops the copy.
TEST_F(SendDeallocate, NonBlockingAbendIsOneOperation) {
    const std::tuple<bool, bool, uint16_t, CM_RETURN_CODE> rows[] = {
        {true, true, 0, CM_OK},
        {false, true, 0x0200, CM_PROGRAM_STATE_CHECK},
        {true, false, 0x0200, CM_PROGRAM_STATE_CHECK},
        {true, false, 0, CM_OK}};
    set_trace(true);
    for (const auto &[send_later, deallocate_later, deallocate_primary, result] : rows) {
        SCOPED_TRACE(testing::Message() << send_later << deallocate_later << " " << deallocate_primary);
        const uint32_t asserts = zt_assert_count(), audits = zt_audit_count();
        CCCB *c = non_blocking(abend_with_log_data(id));
        if (send_later) queue(AP_SEND_DATA, with_rts(answer(0, 0, true), 1));
        queue(AP_DEALLOCATE, answer(deallocate_primary, 0, deallocate_later));
        zt_trace_clear();
        rts_ = 7;
        EXPECT_EQ(send(id), CM_OPERATION_INCOMPLETE);
        EXPECT_EQ(std::make_tuple(rts_, counts(c)), std::make_tuple(7, kInFlight));
        const bool both = send_later && deallocate_later;
        if (both) {
            EXPECT_EQ(zt_complete_pending(0), 1u);
            const ZT_VERB *v = zt_last_verb();
            ASSERT_EQ(v->opcode, AP_DEALLOCATE);
            EXPECT_EQ(std::make_tuple(v->callback, v->user), std::make_tuple(&cmdeal_cb, 1u));
            ASSERT_NE(c->DeallcLogData, nullptr);
            EXPECT_NE(c->DeallcLogData, c->LogData);
            EXPECT_EQ(bytes(c->DeallcLogData, c->usDeallcLogDataLen), bytes(c->LogData, c->usLogDataLen));
            EXPECT_EQ(std::make_tuple(log_address(v), counts(c), c->usConvEnded),
                      std::make_tuple(c->DeallcLogData, kInFlight, 0))
                << "the deallocate carries the operation now";
        }
        EXPECT_EQ(zt_complete_pending(0), 1u);
        EXPECT_EQ(std::make_tuple(c->ulTraceRc, counts(c)), std::make_tuple(uint32_t(result), kResultWaits));
        EXPECT_EQ(send_later ? c->usConvEnded : 1, 1) << "over, whatever the deallocate's result";
        EXPECT_EQ(send_later && !deallocate_later ? rts_ : 0, 0) << "rts from the deallocate's record";
        EXPECT_EQ(c->DeallcLogData == nullptr, result != CM_OK) << "dropped only on the deallocate's failure";
        EXPECT_EQ(std::make_tuple(zt_audit_count(), zt_assert_count()),
                  std::make_tuple(audits + (result == CM_OK ? 1 : 0), asserts));
        if (both) {
            EXPECT_EQ(traced("CPIC CMSEND response, result = CM_OPERATION_INCOMPLETE"), 1u);
            EXPECT_EQ(traced("CPIC CMSEND response, result = CM_OK"), 1u);
            for (const std::string &l : trace_lines()) EXPECT_EQ(l.find("CMDEAL"), std::string::npos) << l;
        }
        if (result != CM_OK || deallocate_later) release(id);
        if (result != CM_OK || deallocate_later) continue;
        // A second abnormal send before the result is collected finds the
        // stale copy; it is not leaked either (teardown).
        EXPECT_EQ(send(id), CM_OK);
        ASSERT_EQ(zt_assert_count(), asserts + 1);
        EXPECT_STREQ(zt_assert(asserts)->expression, "cccb_ptr->DeallcLogData == NULL");
        EXPECT_EQ(find(id), nullptr);
    }
}

// ---- Deallocate ------------------------------------------------------------------

TEST_F(SendDeallocate, BeforeAllocationOnlyAbendEndsTheConversation) {
    ASSERT_EQ(rc_of(cminit, id, kBlankName), CM_OK);
    CCCB *c = find(id);
    EXPECT_EQ(send(id), CM_PROGRAM_STATE_CHECK);
    for (CM_DEALLOCATE_TYPE type : {CM_DEALLOCATE_FLUSH, CM_DEALLOCATE_SYNC_LEVEL, CM_DEALLOCATE_CONFIRM}) {
        c->ulDeallocateType = static_cast<uint32_t>(type);
        EXPECT_EQ(deallocate(id), CM_PROGRAM_STATE_CHECK) << type;
        EXPECT_EQ(find(id), c);
    }
    EXPECT_EQ(rc_set(cmsdt, id, CM_DEALLOCATE_ABEND), CM_OK) << "still usable";
    EXPECT_EQ(deallocate(id), CM_OK);
    EXPECT_EQ(std::make_tuple(zt_verb_count(), zt_audit_count(), find(id)), std::make_tuple(0u, 0u, nullptr));
    EXPECT_EQ(deallocate(id), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(last_problem(), Rec(kProblemUnknownConversation, 5, "ba", hex(id, 8)));

    // Incoming and not yet accepted, every type is refused.
    c = new_conversation(id, 0, nullptr);
    c->usInitialized = 0;
    for (uint32_t type = CM_DEALLOCATE_SYNC_LEVEL; type <= CM_DEALLOCATE_ABEND; ++type) {
        c->ulDeallocateType = type;
        EXPECT_EQ(deallocate(id), CM_PROGRAM_STATE_CHECK) << type;
    }
    EXPECT_EQ(std::make_tuple(find(id), c->usConvEnded, zt_verb_count()), std::make_tuple(c, 0, 0u));

    // With a result still waiting, the abend ends it but leaves it for Wait.
    c = new_conversation(id, 0);
    c->ulDeallocateType = CM_DEALLOCATE_ABEND;
    c->usCompletionWaiting = 1;
    pGCB->NumVerbsWaiting = 1;
    EXPECT_EQ(deallocate(id), CM_OK);
    EXPECT_EQ(std::make_tuple(find(id), c->usConvEnded), std::make_tuple(c, 1));
    release(id);
}

// Only a basic abend carries log data, and passes it as it is, no copy.
TEST_F(SendDeallocate, DeallocateRecordByTypeAndConversationType) {
    const std::tuple<uint32_t, uint32_t, uint8_t, bool> rows[] = {
        {CM_MAPPED_CONVERSATION, CM_DEALLOCATE_SYNC_LEVEL, 0, false},
        {CM_MAPPED_CONVERSATION, CM_DEALLOCATE_FLUSH, 1, false},
        {CM_MAPPED_CONVERSATION, CM_DEALLOCATE_CONFIRM, 0, false},
        {CM_MAPPED_CONVERSATION, CM_DEALLOCATE_ABEND, 5, false},
        {CM_BASIC_CONVERSATION, CM_DEALLOCATE_ABEND, 2, false},
        {CM_MAPPED_CONVERSATION, CM_DEALLOCATE_ABEND, 5, true},
        {CM_BASIC_CONVERSATION, CM_DEALLOCATE_ABEND, 2, true},
    };
    for (const auto &[conversation, dealloc_type, kind, log_data] : rows) {
        SCOPED_TRACE(testing::Message() << conversation << "/" << dealloc_type << "/" << log_data);
        CCCB *c = log_data ? abend_with_log_data(id, "TRACE ME", false) : new_conversation(id, 0x51);
        std::tie(c->ulConversationType, c->ulDeallocateType) = std::tie(conversation, dealloc_type);
        memcpy(c->SideInfo.SideInfoLocLUAlias, "LU00001A", 8);
        const bool carried = log_data && conversation == CM_BASIC_CONVERSATION;
        const unsigned char *log = carried ? c->LogData : nullptr;
        const uint16_t log_len = carried ? c->usLogDataLen : 0;
        EXPECT_EQ(deallocate(id), CM_OK);
        const ZT_VERB *v = last_of(AP_DEALLOCATE);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(image(v), deallocate_record(static_cast<uint8_t>(conversation), 0x51, kind, log_len, log));
        EXPECT_EQ(std::make_tuple(v->callback, find(id), last_audit()),
                  std::make_tuple(nullptr, nullptr, audit(id, "LU00001A")))
            << "every type ends the conversation on success";
    }
    EXPECT_EQ(zt_audit_count(), std::size(rows)) << "every success is audited";
}

TEST_F(SendDeallocate, FailedBasicAbendKeepsTheLogDataAndAbsentLogDataRefusesIt) {
    unsigned char absent[8];
    CCCB *c = abend_with_log_data(id, "TRACE ME", false);
    const unsigned char *log = c->LogData;
    const uint16_t log_len = c->usLogDataLen;
    queue(AP_DEALLOCATE, answer(0x0200));
    EXPECT_EQ(deallocate(id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(std::make_tuple(find(id), c->usConvEnded), std::make_tuple(c, 0)) << "left as it was";
    EXPECT_EQ(std::make_tuple(c->LogData, c->usLogDataLen), std::make_tuple(log, log_len)) << "not consumed";
    EXPECT_EQ(deallocate(id), CM_OK) << "the program can retry";
    EXPECT_EQ(zt_audit_count(), 1u);

    c = basic(absent);
    c->ulDeallocateType = CM_DEALLOCATE_ABEND;
    c->usLogDataLen = 20;
    const uint32_t verbs = zt_verb_count();
    EXPECT_EQ(deallocate(absent), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(last_problem(), Rec(kProblemLogDataMissing, 1, "", ""));
    EXPECT_EQ(std::make_tuple(zt_verb_count(), find(absent), c->usConvEnded), std::make_tuple(verbs, c, 0));
    c->ulConversationType = CM_MAPPED_CONVERSATION;
    EXPECT_EQ(deallocate(absent), CM_OK) << "only a basic conversation carries log data";
    EXPECT_EQ(image(last_of(AP_DEALLOCATE)), deallocate_record(1, 0x51, 5));
}

TEST_F(SendDeallocate, NonBlockingDeallocateIsHeldUntilCollected) {
    for (uint16_t primary : {uint16_t{0}, uint16_t{0x0200}}) {
        SCOPED_TRACE(primary);
        const bool ok = primary == 0;
        CCCB *c = non_blocking(new_conversation(id, ok ? 0x51 : 0x52));
        queue(AP_DEALLOCATE, answer(primary, 0, true));
        EXPECT_EQ(deallocate(id), CM_OPERATION_INCOMPLETE);
        EXPECT_EQ(zt_last_verb()->callback, &cmdeal_cb);
        EXPECT_EQ(send(id), CM_OPERATION_NOT_ACCEPTED);
        EXPECT_EQ(zt_complete_pending(0), 1u);
        EXPECT_EQ(std::make_tuple(c->usConvEnded, c->ulTraceRc),
                  std::make_tuple(ok ? 1 : 0, uint32_t(ok ? CM_OK : CM_PROGRAM_STATE_CHECK)));
        EXPECT_EQ(counts(c), kResultWaits);
        EXPECT_EQ(zt_audit_count(), 1u);
        EXPECT_EQ(find(id), c) << "held for Wait";
        if (ok) release(id);
    }
}

// Every memory failure over a whole abnormal end (initialise, make it basic
// with log data, allocate, end it with an abnormal send) is clean: a
// conversation a failure left behind still owns its log data, and the
// program ends it the way it meant to.
TEST_F(SendDeallocate, EveryMemoryFailureInAnAbnormalEndIsClean) {
    sweep(ZT_FAULT_MEM_ALLOC,
          [this] {
              unsigned char id[8] = {};
              CM_INT32 log_len = 6, length = 4;
              Outcome rcs = run_steps({
                  [&] { return rc_of(cminit, id, kBlankName); },
                  [&] { return rc_set(cmsct, id, CM_BASIC_CONVERSATION); },
                  [&] { return rc_of(cmsld, id, data_.data(), &log_len); },
                  [&] { return rc_set(cmsst, id, CM_SEND_AND_DEALLOCATE); },
                  [&] { return rc_set(cmsdt, id, CM_DEALLOCATE_ABEND); },
                  [&] { return rc_of(cmallc, id); },
                  [&] { return rc_of(cmsend, id, data_.data(), &length, &rts_); },
              });
              if (find(id) != nullptr)
                  rcs.insert(rcs.end(), {rc_set(cmsdt, id, CM_DEALLOCATE_ABEND), deallocate(id)});
              if (find(id) != nullptr || zt_assert_count() != 0) rcs.push_back(CM_PROGRAM_STATE_CHECK);
              return rcs;
          },
          {CM_OK, CM_PRODUCT_SPECIFIC_ERROR});
}

} // namespace
