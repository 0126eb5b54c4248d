// Send_Data and Deallocate against the scripted node: the records the node
// sees, the send and deallocation kinds, the deallocate that carries abend
// log data after the data, completions in both processing modes, the end
// and release of the conversation, and the records written on the way.
#include <algorithm>
#include <string>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

constexpr bool kI386 = sizeof(void *) == 4;
const unsigned char kBlankName[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

// A verb as the node saw it, read through this ABI's record layout.
VCB seen(const ZT_VERB *v) {
    VCB r;
    memset(&r, 0, sizeof r);
    if (v != nullptr) memcpy(&r, v->image, std::min<size_t>(v->length, sizeof r));
    return r;
}

// The latest verb of `opcode` in the history.
const ZT_VERB *last_of(uint16_t opcode) {
    for (uint32_t i = zt_verb_count(); i-- > 0;) {
        const ZT_VERB *v = zt_verb(i);
        if (v != nullptr && v->opcode == opcode) return v;
    }
    return nullptr;
}

uint16_t u16_at(const unsigned char *p) {
    uint16_t x;
    memcpy(&x, p, sizeof x);
    return x;
}
uint32_t u32_at(const unsigned char *p) {
    uint32_t x;
    memcpy(&x, p, sizeof x);
    return x;
}

std::string hex(const unsigned char *p, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02X", p[i]);
        s += two;
    }
    return s;
}

size_t trace_lines(const std::string &line) {
    size_t n = 0;
    for (uint32_t i = 0; i < zt_trace_line_count(); ++i) {
        const char *l = zt_trace_line(i);
        if (l != nullptr && line == l) ++n;
    }
    return n;
}

size_t trace_lines_mentioning(const std::string &text) {
    size_t n = 0;
    for (uint32_t i = 0; i < zt_trace_line_count(); ++i) {
        const char *l = zt_trace_line(i);
        if (l != nullptr && std::string(l).find(text) != std::string::npos) ++n;
    }
    return n;
}

class SendDeallocate : public LibraryTest {
  protected:
    std::vector<unsigned char> data_ = std::vector<unsigned char>(32768, 0x5A);
    // Outputs must outlive a non-blocking call: the completion writes them.
    CM_REQUEST_TO_SEND_RECEIVED rts_ = 7;

    CM_RETURN_CODE send(unsigned char *id, CM_INT32 length = 7) {
        CM_RETURN_CODE rc = -1;
        cmsend(id, data_.data(), &length, &rts_, &rc);
        return rc;
    }
    static CM_RETURN_CODE deallocate(unsigned char *id) {
        CM_RETURN_CODE rc = -1;
        cmdeal(id, &rc);
        return rc;
    }

    CCCB *basic(unsigned char (&id)[8], uint32_t node_id = 0x51) {
        CCCB *c = new_conversation(id, node_id);
        c->ulConversationType = CM_BASIC_CONVERSATION;
        return c;
    }

    // A basic conversation set to end abnormally with a send, carrying the
    // log data as Set_Log_Data builds it.
    CCCB *abend_with_log_data(unsigned char (&id)[8], const char *text = "DISK FULL") {
        CCCB *c = basic(id);
        CM_INT32 n = static_cast<CM_INT32>(strlen(text));
        CM_RETURN_CODE rc = -1;
        cmsld(id, reinterpret_cast<unsigned char *>(const_cast<char *>(text)), &n, &rc);
        EXPECT_EQ(rc, CM_OK);
        EXPECT_NE(c->LogData, nullptr);
        c->ulSendType = CM_SEND_AND_DEALLOCATE;
        c->ulDeallocateType = CM_DEALLOCATE_ABEND;
        return c;
    }

    static ZT_ANSWER with_rts(ZT_ANSWER a, uint8_t rts) {
        a.patch_count = 1;
        a.patches[0].offset = offsetof(VCB_SEND_DATA, rts_ind);
        a.patches[0].length = 1;
        a.patches[0].bytes[0] = rts;
        return a;
    }

    // Wait's part after it has handed out a result: the conversation goes
    // with it (and so does everything it owns).
    static void release(const unsigned char *id) {
        cpic::ProcessLock lock;
        CCCB *c = nullptr;
        SCC_find_cccb(id, &c, pGCB);
        if (c != nullptr) SCC_free_cccb(c);
    }

    static void expect_problem(uint32_t code, uint32_t sequence, const char *format, const std::string &inserts) {
        ASSERT_GT(zt_problem_count(), 0u);
        const ZT_RECORD *r = zt_problem(zt_problem_count() - 1);
        EXPECT_EQ(r->code, code);
        EXPECT_EQ(r->sequence, sequence);
        EXPECT_STREQ(r->format, format);
        EXPECT_EQ(std::string(r->inserts), inserts);
    }
};

// ---- Send_Data: the record -------------------------------------------------

TEST_F(SendDeallocate, SendKindFollowsTheCharacteristics) {
    struct Row {
        CM_SEND_TYPE send;
        CM_PREPARE_TO_RECEIVE_TYPE prepare;
        CM_DEALLOCATE_TYPE deallocate;
        uint8_t kind;
    };
    const Row rows[] = {
        {CM_BUFFER_DATA, 0, 0, 0},
        {CM_SEND_AND_FLUSH, 0, 0, 1},
        {CM_SEND_AND_CONFIRM, 0, 0, 2},
        {CM_SEND_AND_PREP_TO_RECEIVE, CM_PREP_TO_RECEIVE_FLUSH, 0, 3},
        {CM_SEND_AND_PREP_TO_RECEIVE, CM_PREP_TO_RECEIVE_SYNC_LEVEL, 0, 4},
        {CM_SEND_AND_PREP_TO_RECEIVE, CM_PREP_TO_RECEIVE_CONFIRM, 0, 4},
        {CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATE_FLUSH, 5},
        {CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATE_SYNC_LEVEL, 6},
        {CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATE_CONFIRM, 6},
        {CM_SEND_AND_DEALLOCATE, 0, CM_DEALLOCATE_ABEND, 7},  // no log data: one verb
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "send type " << row.send << ", prepare " << row.prepare
                                        << ", deallocate " << row.deallocate);
        unsigned char id[8];
        CCCB *c = new_conversation(id);
        c->ulSendType = static_cast<uint32_t>(row.send);
        c->ulPrepToReceiveType = static_cast<uint32_t>(row.prepare);
        c->ulDeallocateType = static_cast<uint32_t>(row.deallocate);
        EXPECT_EQ(send(id), CM_OK);
        const ZT_VERB *v = last_of(AP_SEND_DATA);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(seen(v).send.send_kind, row.kind);
        if (kI386) {
            EXPECT_EQ(v->image[32], row.kind);
        }
        EXPECT_EQ(find(id) == nullptr, row.send == CM_SEND_AND_DEALLOCATE)
            << "only a deallocating send ends the conversation";
    }
    EXPECT_EQ(zt_verbs_of(AP_DEALLOCATE), 0u);
    EXPECT_EQ(zt_audit_count(), 0u) << "a send without a deallocate verb writes no audit record";
}

TEST_F(SendDeallocate, RecordCarriesTheBufferUnchanged) {
    unsigned char id[8];
    CCCB *c = basic(id);
    memcpy(data_.data(), "\x00\x07HELLO", 7);
    EXPECT_EQ(send(id, 7), CM_OK);
    const ZT_VERB *v = zt_last_verb();
    ASSERT_EQ(v->opcode, AP_SEND_DATA);
    EXPECT_EQ(v->kind, static_cast<uint32_t>(ZT_VERB_APPC_ASYNC));
    EXPECT_EQ(v->callback, nullptr) << "blocking";
    EXPECT_EQ(v->user, 1u);
    const VCB r = seen(v);
    EXPECT_EQ(r.hdr.conv_type, 0) << "basic";
    EXPECT_EQ(r.hdr.format, 0);
    EXPECT_EQ(bytes(r.hdr.tp_id, 8), "TPID0001");
    EXPECT_EQ(r.hdr.conv_id, 0x51u);
    EXPECT_EQ(r.send.data_len, 7);
    EXPECT_EQ(r.send.data_addr, data_.data()) << "the program's own buffer";
    EXPECT_EQ(r.send.send_kind, 0);
    EXPECT_EQ(bytes(data_.data(), 7), std::string("\x00\x07HELLO", 7)) << "no conversion";
    if (kI386) {
        const unsigned char *b = v->image;
        EXPECT_EQ(u16_at(b), 0x000F);
        EXPECT_EQ(b[2], 0);
        EXPECT_EQ(bytes(b + 12, 8), "TPID0001");
        EXPECT_EQ(u32_at(b + 20), 0x51u);
        EXPECT_EQ(u16_at(b + 26), 7);
        EXPECT_EQ(u32_at(b + 28), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data_.data())));
        EXPECT_EQ(b[32], 0);
    }
    c->ulConversationType = CM_MAPPED_CONVERSATION;
    EXPECT_EQ(send(id), CM_OK);
    EXPECT_EQ(zt_last_verb()->image[2], 1) << "mapped";
}

TEST_F(SendDeallocate, LengthFrom0To32767) {
    unsigned char id[8];
    new_conversation(id);
    EXPECT_EQ(send(id, 32767), CM_OK);
    EXPECT_EQ(seen(zt_last_verb()).send.data_len, 32767);
    EXPECT_EQ(send(id, 0), CM_OK);
    EXPECT_EQ(zt_verbs_of(AP_SEND_DATA), 2u);
    EXPECT_EQ(seen(zt_last_verb()).send.data_len, 0);

    for (CM_INT32 length : {32768, -1, 65536 + 5}) {
        rts_ = 7;
        EXPECT_EQ(send(id, length), CM_PROGRAM_PARAMETER_CHECK) << length;
        expect_problem(kProblemDataLengthInvalid, 1, "l", std::to_string(length));
        EXPECT_EQ(rts_, 7) << "a refused call leaves the output alone";
    }
    EXPECT_EQ(zt_verbs_of(AP_SEND_DATA), 2u);
}

// ---- Send_Data: checks and results ----------------------------------------

TEST_F(SendDeallocate, RefusalsBeforeAnyVerb) {
    unsigned char local[8];
    new_conversation(local, 0);  // Initialize state
    EXPECT_EQ(send(local), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(rts_, 7);
    EXPECT_EQ(zt_problem_count(), 0u);

    unsigned char stale[8] = {0x77, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(send(stale), CM_PROGRAM_PARAMETER_CHECK);
    expect_problem(kProblemUnknownConversation, 16, "ba", "7700000000000000");
    EXPECT_EQ(deallocate(stale), CM_PROGRAM_PARAMETER_CHECK);
    expect_problem(kProblemUnknownConversation, 5, "ba", "7700000000000000");

    CM_RETURN_CODE rc = -1;
    CM_REQUEST_TO_SEND_RECEIVED rts = 0;
    cmsend(local, data_.data(), nullptr, &rts, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK) << "the state is judged before the length";
    unsigned char known[8];
    new_conversation(known);
    cmsend(known, data_.data(), nullptr, &rts, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK) << "no length to read";
    EXPECT_EQ(zt_verb_count(), 0u);
}

TEST_F(SendDeallocate, RequestToSendComesBackOnSuccessAndFailure) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    queue(AP_SEND_DATA, with_rts(answer(0), 1));
    EXPECT_EQ(send(id), CM_OK);
    EXPECT_EQ(rts_, CM_REQ_TO_SEND_RECEIVED);

    queue(AP_SEND_DATA, with_rts(answer(0x0200), 1));
    rts_ = 0;
    EXPECT_EQ(send(id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(rts_, CM_REQ_TO_SEND_RECEIVED) << "the node's indicator on a failed verb";
    EXPECT_EQ(find(id), c) << "a state check ends nothing";
    EXPECT_EQ(c->usConvEnded, 0);

    EXPECT_EQ(send(id), CM_OK);
    EXPECT_EQ(rts_, CM_REQ_TO_SEND_NOT_RECEIVED);
}

TEST_F(SendDeallocate, EndingCodesReleaseTheConversation) {
    struct Row {
        uint16_t primary;
        uint32_t secondary;
        CM_RETURN_CODE rc;
        bool ends;
    };
    const Row rows[] = {
        {0x0900, 0, CM_DEALLOCATED_NORMAL, true},      {0x0500, 0, CM_DEALLOCATED_ABEND, true},
        {0x0F00, 0, CM_RESOURCE_FAILURE_RETRY, true}, {0x2100, 0, CM_PRODUCT_SPECIFIC_ERROR, true},
        {0x0100, 0x17000000, CM_PARAMETER_ERROR, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "primary " << std::hex << row.primary);
        unsigned char id[8];
        new_conversation(id);
        queue(AP_SEND_DATA, answer(row.primary, row.secondary));
        EXPECT_EQ(send(id), row.rc);
        if (row.primary == 0x2100) expect_problem(kProblemUnmappedReturnCode, 1, "x x lx", "000F 2100 00000000");
        EXPECT_EQ(find(id) == nullptr, row.ends);
        if (row.ends) {
            EXPECT_EQ(send(id), CM_PROGRAM_PARAMETER_CHECK);
        }
    }
}

TEST_F(SendDeallocate, FailedSendAndDeallocateEndsOnlyOnAnEndingCode) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->ulSendType = CM_SEND_AND_DEALLOCATE;
    c->ulDeallocateType = CM_DEALLOCATE_FLUSH;
    queue(AP_SEND_DATA, answer(0x0200));
    EXPECT_EQ(send(id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(find(id), c);
    EXPECT_EQ(c->usConvEnded, 0);
    queue(AP_SEND_DATA, answer(0x0600));
    EXPECT_EQ(send(id), CM_DEALLOCATED_ABEND);
    EXPECT_EQ(find(id), nullptr);
}

// ---- Abnormal end with log data: data first, then a deallocate ------------

TEST_F(SendDeallocate, AbendWithLogDataChainsADeallocateCarryingACopy) {
    unsigned char id[8];
    CCCB *c = abend_with_log_data(id);
    memcpy(c->SideInfo.SideInfoLocLUAlias, "LOCALLU1", 8);
    const unsigned char *log = c->LogData;
    const uint16_t log_len = c->usLogDataLen;
    queue(AP_SEND_DATA, with_rts(answer(0), 1));
    EXPECT_EQ(send(id), CM_OK);

    ASSERT_GE(zt_verb_count(), 2u);
    ASSERT_EQ(zt_verb(0)->opcode, AP_SEND_DATA);
    EXPECT_EQ(seen(zt_verb(0)).send.send_kind, 0) << "the data goes alone";
    const ZT_VERB *v = zt_verb(1);
    ASSERT_EQ(v->opcode, AP_DEALLOCATE);
    EXPECT_EQ(v->callback, nullptr);
    const VCB d = seen(v);
    EXPECT_EQ(d.hdr.conv_type, 0);
    EXPECT_EQ(bytes(d.hdr.tp_id, 8), "TPID0001");
    EXPECT_EQ(d.hdr.conv_id, 0x51u);
    EXPECT_EQ(d.dealloc.reserved24, 0);
    EXPECT_EQ(d.dealloc.dealloc_kind, 2);
    EXPECT_EQ(d.dealloc.log_len, log_len);
    EXPECT_NE(d.dealloc.log_addr, nullptr);
    EXPECT_NE(d.dealloc.log_addr, log) << "a copy, not the log data itself";
    if (kI386) {
        EXPECT_EQ(v->image[25], 2);
        EXPECT_EQ(u16_at(v->image + 26), log_len);
        EXPECT_EQ(u32_at(v->image + 28), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(d.dealloc.log_addr)));
    }
    EXPECT_EQ(rts_, 0) << "read from the deallocate's record";
    EXPECT_EQ(find(id), nullptr);
    ASSERT_EQ(zt_audit_count(), 1u);
    EXPECT_EQ(zt_audit(0)->code, static_cast<uint32_t>(kAuditConversationDeallocated));
    EXPECT_EQ(zt_audit(0)->sequence, 0u);
    EXPECT_STREQ(zt_audit(0)->format, "ba ca");
    EXPECT_EQ(std::string(zt_audit(0)->inserts), hex(id, 8) + " \"LOCALLU1\"");
    EXPECT_EQ(zt_assert_count(), 0u);
}

TEST_F(SendDeallocate, FailedChainedDeallocateStillEndsTheConversation) {
    unsigned char id[8];
    abend_with_log_data(id);
    queue(AP_DEALLOCATE, answer(0x0200));
    EXPECT_EQ(send(id), CM_PROGRAM_STATE_CHECK) << "the deallocate's result";
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(zt_audit_count(), 0u);
    EXPECT_EQ(zt_assert_count(), 0u);
}

TEST_F(SendDeallocate, FailedSendDropsTheCopyAndIssuesNoDeallocate) {
    unsigned char id[8];
    CCCB *c = abend_with_log_data(id);
    const unsigned char *log = c->LogData;
    const uint32_t blocks = zt_live_blocks();
    queue(AP_SEND_DATA, answer(0x0200));
    EXPECT_EQ(send(id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(zt_verbs_of(AP_DEALLOCATE), 0u);
    EXPECT_EQ(c->DeallcLogData, nullptr);
    EXPECT_EQ(c->usDeallcLogDataLen, 0);
    EXPECT_EQ(c->LogData, log) << "the log data itself stays set";
    EXPECT_EQ(zt_live_blocks(), blocks);
    EXPECT_EQ(zt_assert_count(), 0u);

    EXPECT_EQ(send(id), CM_OK) << "the program may try again";
    EXPECT_EQ(zt_verbs_of(AP_DEALLOCATE), 1u);

    unsigned char other[8];
    abend_with_log_data(other);
    queue(AP_SEND_DATA, answer(0x0900));
    EXPECT_EQ(send(other), CM_DEALLOCATED_NORMAL);
    EXPECT_EQ(find(other), nullptr);
    EXPECT_EQ(zt_verbs_of(AP_DEALLOCATE), 1u);
}

TEST_F(SendDeallocate, LogDataAnnouncedButAbsentOrNoMemoryIssuesNothing) {
    unsigned char id[8];
    CCCB *c = basic(id);
    c->ulSendType = CM_SEND_AND_DEALLOCATE;
    c->ulDeallocateType = CM_DEALLOCATE_ABEND;
    c->usLogDataLen = 12;
    const uint32_t blocks = zt_live_blocks();
    EXPECT_EQ(send(id), CM_PRODUCT_SPECIFIC_ERROR);
    expect_problem(kProblemNoMemory, 16, "x x x x", "0000 0000 0000 0000");
    EXPECT_EQ(zt_live_blocks(), blocks) << "the block obtained for the copy is returned";
    EXPECT_EQ(c->DeallcLogData, nullptr);
    c->usLogDataLen = 0;

    unsigned char other[8];
    CCCB *o = abend_with_log_data(other);
    zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
    rts_ = 7;
    EXPECT_EQ(send(other), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(zt_fault_hits(ZT_FAULT_MEM_ALLOC), 1u);
    expect_problem(kProblemNoMemory, 16, "x x x x", "0000 0000 0000 0000");
    EXPECT_EQ(rts_, 7);
    EXPECT_EQ(o->DeallcLogData, nullptr);
    EXPECT_EQ(zt_verb_count(), 0u);
    EXPECT_EQ(find(other), o);
    EXPECT_EQ(send(other), CM_OK);
    EXPECT_EQ(find(other), nullptr);
}

// ---- Non-blocking sends ----------------------------------------------------

TEST_F(SendDeallocate, NonBlockingSendCompletesThroughItsCallback) {
    unsigned char id[8], other[8];
    CCCB *c = new_conversation(id);
    new_conversation(other, 0x52);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_SEND_DATA, with_rts(answer(0, 0, true), 1));
    EXPECT_EQ(send(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_last_verb()->callback, &cmsend_cb);
    EXPECT_EQ(rts_, 7) << "written only by the completion";
    EXPECT_EQ(c->usVerbsOutstanding, 1);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 1u);

    EXPECT_EQ(send(id), CM_OPERATION_NOT_ACCEPTED);
    EXPECT_EQ(deallocate(id), CM_OPERATION_NOT_ACCEPTED);
    CM_RETURN_CODE rc = -1;
    cmflus(id, &rc);
    EXPECT_EQ(rc, CM_OPERATION_NOT_ACCEPTED);
    EXPECT_EQ(zt_verb_count(), 1u);
    EXPECT_EQ(c->usVerbsOutstanding, 1);
    EXPECT_EQ(send(other), CM_OK) << "another conversation goes on";

    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(rts_, CM_REQ_TO_SEND_RECEIVED);
    EXPECT_EQ(c->ulTraceRc, static_cast<uint32_t>(CM_OK));
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(c->usCompletionWaiting, 1);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);
    EXPECT_EQ(find(id), c);
}

TEST_F(SendDeallocate, NonBlockingAbendWithBothVerbsInFlightIsOneOperation) {
    unsigned char id[8];
    CCCB *c = abend_with_log_data(id, "LOST");
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_SEND_DATA, answer(0, 0, true));
    queue(AP_DEALLOCATE, answer(0, 0, true));
    set_trace(true);
    EXPECT_EQ(send(id), CM_OPERATION_INCOMPLETE);

    EXPECT_EQ(zt_complete_pending(0), 1u);
    const ZT_VERB *v = zt_last_verb();
    ASSERT_EQ(v->opcode, AP_DEALLOCATE);
    EXPECT_EQ(v->callback, &cmdeal_cb);
    EXPECT_EQ(v->user, 1u);
    ASSERT_NE(c->DeallcLogData, nullptr);
    EXPECT_NE(c->DeallcLogData, c->LogData);
    EXPECT_EQ(c->usDeallcLogDataLen, c->usLogDataLen);
    EXPECT_EQ(bytes(c->DeallcLogData, c->usDeallcLogDataLen), bytes(c->LogData, c->usLogDataLen));
    EXPECT_EQ(seen(v).dealloc.log_addr, c->DeallcLogData);
    EXPECT_EQ(c->usVerbsOutstanding, 1) << "the deallocate carries the operation now";
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 1u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u) << "no completion yet";
    EXPECT_EQ(c->usConvEnded, 0);

    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);
    EXPECT_EQ(c->usCompletionWaiting, 1);
    EXPECT_EQ(c->usConvEnded, 1);
    EXPECT_EQ(c->ulTraceRc, static_cast<uint32_t>(CM_OK));
    EXPECT_EQ(zt_audit_count(), 1u);
    EXPECT_EQ(trace_lines("CPIC CMSEND response, result = CM_OPERATION_INCOMPLETE"), 1u);
    EXPECT_EQ(trace_lines("CPIC CMSEND response, result = CM_OK"), 1u) << "one completion, under the send's name";
    EXPECT_EQ(trace_lines_mentioning("CMDEAL"), 0u);
    EXPECT_EQ(zt_assert_count(), 0u);
    release(id);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);
}

TEST_F(SendDeallocate, NonBlockingSendAtOnceWithTheDeallocateLater) {
    unsigned char id[8];
    CCCB *c = abend_with_log_data(id);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_DEALLOCATE, answer(0x0200, 0, true));
    rts_ = 7;
    EXPECT_EQ(send(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(rts_, 7);
    EXPECT_EQ(c->usVerbsOutstanding, 1);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 1u);
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(c->ulTraceRc, static_cast<uint32_t>(CM_PROGRAM_STATE_CHECK));
    EXPECT_EQ(c->DeallcLogData, nullptr) << "dropped on the deallocate's failure";
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);
    EXPECT_EQ(zt_assert_count(), 0u);
    release(id);
}

TEST_F(SendDeallocate, NonBlockingSendLaterWithTheDeallocateAtOnce) {
    for (uint16_t primary : {uint16_t{0}, uint16_t{0x0200}}) {
        SCOPED_TRACE(primary);
        unsigned char id[8];
        CCCB *c = abend_with_log_data(id);
        c->usProcessingMode = CM_NON_BLOCKING;
        queue(AP_SEND_DATA, with_rts(answer(0, 0, true), 1));
        queue(AP_DEALLOCATE, answer(primary));
        EXPECT_EQ(send(id), CM_OPERATION_INCOMPLETE);
        EXPECT_EQ(zt_complete_pending(0), 1u);
        EXPECT_EQ(rts_, 0) << "the deallocate's record";
        EXPECT_EQ(c->ulTraceRc, static_cast<uint32_t>(primary == 0 ? CM_OK : CM_PROGRAM_STATE_CHECK));
        EXPECT_EQ(c->usConvEnded, 1) << "over, whatever the deallocate's result";
        EXPECT_EQ(c->usVerbsOutstanding, 0);
        EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
        EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);
        release(id);
    }
    EXPECT_EQ(zt_audit_count(), 1u);
    EXPECT_EQ(zt_assert_count(), 0u);
}

TEST_F(SendDeallocate, SecondAbnormalSendBeforeCollectionReportsTheStaleCopy) {
    unsigned char id[8];
    CCCB *c = abend_with_log_data(id);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_SEND_DATA, answer(0, 0, true));
    EXPECT_EQ(send(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_complete_pending(0), 1u);
    ASSERT_NE(c->DeallcLogData, nullptr) << "kept after a successful deallocate";
    ASSERT_EQ(c->usCompletionWaiting, 1);

    EXPECT_EQ(send(id), CM_OK);
    ASSERT_EQ(zt_assert_count(), 1u);
    EXPECT_STREQ(zt_assert(0)->expression, "cccb_ptr->DeallcLogData == NULL");
    EXPECT_EQ(find(id), nullptr) << "the stale copy is not leaked either (teardown)";
}

TEST_F(SendDeallocate, EndedConversationAwaitingCollectionTakesAnotherCall) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_FLUSH, answer(0x0900, 0, true));
    CM_RETURN_CODE rc = -1;
    cmflus(id, &rc);
    EXPECT_EQ(rc, CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_complete_pending(0), 1u);
    ASSERT_EQ(c->usConvEnded, 1);
    ASSERT_EQ(pGCB->NumVerbsWaiting, 1u);

    queue(AP_SEND_DATA, answer(0x0200));
    EXPECT_EQ(send(id), CM_PROGRAM_STATE_CHECK) << "the verb goes to the node all the same";
    EXPECT_EQ(find(id), nullptr) << "the dropped result no longer holds it";
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);
}

// ---- Deallocate --------------------------------------------------------------

TEST_F(SendDeallocate, BeforeAllocationOnlyAbendEndsTheConversation) {
    unsigned char id[8];
    CM_RETURN_CODE rc = -1;
    cminit(id, const_cast<unsigned char *>(kBlankName), &rc);
    ASSERT_EQ(rc, CM_OK);
    CCCB *c = find(id);
    EXPECT_EQ(send(id), CM_PROGRAM_STATE_CHECK);
    for (CM_DEALLOCATE_TYPE type : {CM_DEALLOCATE_FLUSH, CM_DEALLOCATE_SYNC_LEVEL, CM_DEALLOCATE_CONFIRM}) {
        c->ulDeallocateType = static_cast<uint32_t>(type);
        EXPECT_EQ(deallocate(id), CM_PROGRAM_STATE_CHECK) << type;
        EXPECT_EQ(find(id), c);
    }
    CM_DEALLOCATE_TYPE abend = CM_DEALLOCATE_ABEND;
    cmsdt(id, &abend, &rc);
    EXPECT_EQ(rc, CM_OK) << "still usable";
    EXPECT_EQ(deallocate(id), CM_OK);
    EXPECT_EQ(zt_verb_count(), 0u);
    EXPECT_EQ(zt_audit_count(), 0u);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(deallocate(id), CM_PROGRAM_PARAMETER_CHECK);
    expect_problem(kProblemUnknownConversation, 5, "ba", hex(id, 8));
}

TEST_F(SendDeallocate, AbendBeforeAllocationWaitsForAnUncollectedResult) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0);
    c->ulDeallocateType = CM_DEALLOCATE_ABEND;
    c->usCompletionWaiting = 1;
    pGCB->NumVerbsWaiting = 1;
    EXPECT_EQ(deallocate(id), CM_OK);
    EXPECT_EQ(find(id), c);
    EXPECT_EQ(c->usConvEnded, 1);
    release(id);
}

TEST_F(SendDeallocate, IncomingConversationNotYetAcceptedIsRefusedForEveryType) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0, nullptr);
    c->usInitialized = 0;
    for (uint32_t type = CM_DEALLOCATE_SYNC_LEVEL; type <= CM_DEALLOCATE_ABEND; ++type) {
        c->ulDeallocateType = type;
        EXPECT_EQ(deallocate(id), CM_PROGRAM_STATE_CHECK) << type;
        EXPECT_EQ(find(id), c);
    }
    EXPECT_EQ(c->usConvEnded, 0);
    EXPECT_EQ(zt_verb_count(), 0u);
}

TEST_F(SendDeallocate, DeallocationKindByTypeAndConversationType) {
    struct Row {
        CM_CONVERSATION_TYPE conversation;
        CM_DEALLOCATE_TYPE type;
        uint8_t kind;
    };
    const Row rows[] = {
        {CM_MAPPED_CONVERSATION, CM_DEALLOCATE_SYNC_LEVEL, 0}, {CM_MAPPED_CONVERSATION, CM_DEALLOCATE_FLUSH, 1},
        {CM_MAPPED_CONVERSATION, CM_DEALLOCATE_CONFIRM, 0},    {CM_MAPPED_CONVERSATION, CM_DEALLOCATE_ABEND, 5},
        {CM_BASIC_CONVERSATION, CM_DEALLOCATE_SYNC_LEVEL, 0},  {CM_BASIC_CONVERSATION, CM_DEALLOCATE_FLUSH, 1},
        {CM_BASIC_CONVERSATION, CM_DEALLOCATE_CONFIRM, 0},     {CM_BASIC_CONVERSATION, CM_DEALLOCATE_ABEND, 2},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "conversation type " << row.conversation << ", type " << row.type);
        unsigned char id[8];
        CCCB *c = new_conversation(id, 0x63);
        c->ulConversationType = static_cast<uint32_t>(row.conversation);
        c->ulDeallocateType = static_cast<uint32_t>(row.type);
        EXPECT_EQ(deallocate(id), CM_OK);
        const ZT_VERB *v = last_of(AP_DEALLOCATE);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->callback, nullptr);
        const VCB d = seen(v);
        EXPECT_EQ(d.hdr.conv_type, static_cast<uint8_t>(row.conversation));
        EXPECT_EQ(bytes(d.hdr.tp_id, 8), "TPID0001");
        EXPECT_EQ(d.hdr.conv_id, 0x63u);
        EXPECT_EQ(d.dealloc.dealloc_kind, row.kind);
        EXPECT_EQ(d.dealloc.log_len, 0);
        EXPECT_EQ(d.dealloc.log_addr, nullptr);
        if (kI386) {
            EXPECT_EQ(u16_at(v->image), 0x0005);
            EXPECT_EQ(v->image[25], row.kind);
            EXPECT_EQ(u16_at(v->image + 26), 0);
            EXPECT_EQ(u32_at(v->image + 28), 0u);
        }
        EXPECT_EQ(find(id), nullptr) << "every type ends the conversation on success";
    }
}

TEST_F(SendDeallocate, BasicAbendPassesTheLogDataItselfAndKeepsIt) {
    unsigned char id[8];
    CCCB *c = basic(id);
    CM_INT32 n = 8;
    CM_RETURN_CODE rc = -1;
    cmsld(id, reinterpret_cast<unsigned char *>(const_cast<char *>("TRACE ME")), &n, &rc);
    ASSERT_EQ(rc, CM_OK);
    c->ulDeallocateType = CM_DEALLOCATE_ABEND;
    const unsigned char *log = c->LogData;
    const uint16_t log_len = c->usLogDataLen;

    queue(AP_DEALLOCATE, answer(0x0200));
    EXPECT_EQ(deallocate(id), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(find(id), c) << "left as it was";
    EXPECT_EQ(c->usConvEnded, 0);
    EXPECT_EQ(c->LogData, log) << "not consumed";
    EXPECT_EQ(c->usLogDataLen, log_len);
    EXPECT_EQ(zt_audit_count(), 0u);

    EXPECT_EQ(deallocate(id), CM_OK) << "the program can retry";
    const VCB d = seen(last_of(AP_DEALLOCATE));
    EXPECT_EQ(d.dealloc.dealloc_kind, 2);
    EXPECT_EQ(d.dealloc.log_len, log_len);
    EXPECT_EQ(d.dealloc.log_addr, log) << "passed directly, no copy";
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(SendDeallocate, MappedAbendCarriesNoLogData) {
    unsigned char id[8];
    CCCB *c = abend_with_log_data(id);
    c->ulConversationType = CM_MAPPED_CONVERSATION;
    EXPECT_EQ(deallocate(id), CM_OK);
    const VCB d = seen(last_of(AP_DEALLOCATE));
    EXPECT_EQ(d.dealloc.dealloc_kind, 5);
    EXPECT_EQ(d.dealloc.log_len, 0);
    EXPECT_EQ(d.dealloc.log_addr, nullptr);
}

TEST_F(SendDeallocate, LogDataAnnouncedButAbsentRefusesABasicAbend) {
    unsigned char id[8];
    CCCB *c = basic(id);
    c->ulDeallocateType = CM_DEALLOCATE_ABEND;
    c->usLogDataLen = 20;
    EXPECT_EQ(deallocate(id), CM_PRODUCT_SPECIFIC_ERROR);
    expect_problem(kProblemLogDataMissing, 1, "", "");
    EXPECT_EQ(zt_verb_count(), 0u);
    EXPECT_EQ(find(id), c);
    EXPECT_EQ(c->usConvEnded, 0);

    c->ulConversationType = CM_MAPPED_CONVERSATION;
    EXPECT_EQ(deallocate(id), CM_OK) << "only a basic conversation carries log data";
    EXPECT_EQ(seen(last_of(AP_DEALLOCATE)).dealloc.dealloc_kind, 5);
}

TEST_F(SendDeallocate, SuccessIsAuditedUnlessSuppressed) {
    unsigned char id[8], quiet[8];
    CCCB *c = new_conversation(id);
    memcpy(c->SideInfo.SideInfoLocLUAlias, "LU00001A", 8);
    new_conversation(quiet, 0x52);
    EXPECT_EQ(deallocate(id), CM_OK);
    ASSERT_EQ(zt_audit_count(), 1u);
    const ZT_RECORD *a = zt_audit(0);
    EXPECT_EQ(a->code, static_cast<uint32_t>(kAuditConversationDeallocated));
    EXPECT_EQ(a->sequence, 0u);
    EXPECT_STREQ(a->format, "ba ca");
    EXPECT_EQ(std::string(a->inserts), hex(id, 8) + " \"LU00001A\"");

    ptrc[PTRC_AUDIT_BYTE] |= PTRC_NO_AUDIT_BIT;
    EXPECT_EQ(deallocate(quiet), CM_OK);
    EXPECT_EQ(zt_audit_count(), 1u);
    ptrc[PTRC_AUDIT_BYTE] &= static_cast<unsigned char>(~PTRC_NO_AUDIT_BIT);
}

TEST_F(SendDeallocate, FailedDeallocationEndsOnlyOnAnEndingCode) {
    struct Row {
        uint16_t primary;
        uint32_t secondary;
        CM_RETURN_CODE rc;
        bool ends;
    };
    const Row rows[] = {
        {0x0500, 0, CM_DEALLOCATED_ABEND, true},   {0x0600, 0, CM_DEALLOCATED_ABEND, true},
        {0x0800, 0, CM_DEALLOCATED_ABEND_TIMER, true}, {0x1000, 0, CM_RESOURCE_FAILURE_NO_RETRY, true},
        {0x0200, 0, CM_PROGRAM_STATE_CHECK, false}, {0x0100, 0x17000000, CM_PARAMETER_ERROR, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "primary " << std::hex << row.primary);
        unsigned char id[8];
        new_conversation(id);
        queue(AP_DEALLOCATE, answer(row.primary, row.secondary));
        EXPECT_EQ(deallocate(id), row.rc);
        EXPECT_EQ(find(id) == nullptr, row.ends);
    }
    EXPECT_EQ(zt_audit_count(), 0u);
}

TEST_F(SendDeallocate, ReleaseEndsTheInstanceAtOnceOnlyAfterDeallocate) {
    unsigned char by_deallocate[8], by_send[8];
    new_conversation(by_deallocate, 0x51, "TPDEALLC");
    EXPECT_EQ(deallocate(by_deallocate), CM_OK);
    const ZT_VERB *end = zt_last_verb();
    ASSERT_EQ(end->opcode, AP_TP_ENDED);
    EXPECT_EQ(end->kind, static_cast<uint32_t>(ZT_VERB_APPC_BLOCKING));
    EXPECT_EQ(bytes(end->image + offsetof(VCB_TP_ENDED, tp_id), 8), "TPDEALLC");

    CCCB *c = new_conversation(by_send, 0x52, "TPSENDER");
    c->ulSendType = CM_SEND_AND_DEALLOCATE;
    EXPECT_EQ(send(by_send), CM_OK);
    end = zt_last_verb();
    ASSERT_EQ(end->opcode, AP_TP_ENDED);
    EXPECT_EQ(end->kind, static_cast<uint32_t>(ZT_VERB_APPC_ASYNC));
}

TEST_F(SendDeallocate, NonBlockingDeallocateIsHeldUntilCollected) {
    unsigned char id[8], failing[8];
    CCCB *c = new_conversation(id);
    c->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_DEALLOCATE, answer(0, 0, true));
    set_trace(true);
    EXPECT_EQ(deallocate(id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_last_verb()->callback, &cmdeal_cb);
    EXPECT_EQ(send(id), CM_OPERATION_NOT_ACCEPTED);
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(c->usConvEnded, 1);
    EXPECT_EQ(c->usCompletionWaiting, 1);
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);
    EXPECT_EQ(zt_audit_count(), 1u);
    EXPECT_EQ(find(id), c) << "held for Wait";
    EXPECT_EQ(trace_lines("CPIC CMDEAL response, result = CM_OK"), 1u);
    release(id);

    CCCB *f = new_conversation(failing, 0x52);
    f->usProcessingMode = CM_NON_BLOCKING;
    queue(AP_DEALLOCATE, answer(0x0200, 0, true));
    EXPECT_EQ(deallocate(failing), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(f->ulTraceRc, static_cast<uint32_t>(CM_PROGRAM_STATE_CHECK));
    EXPECT_EQ(f->usConvEnded, 0);
    EXPECT_EQ(trace_lines("CPIC CMDEAL response, result = CM_PROGRAM_STATE_CHECK"), 1u);
}

// ---- Trace -------------------------------------------------------------------

TEST_F(SendDeallocate, TraceRecordsOfBothCalls) {
    unsigned char id[8];
    CCCB *c = basic(id);
    c->ulSendType = CM_SEND_AND_FLUSH;
    c->ulDeallocateType = CM_DEALLOCATE_FLUSH;
    set_trace(true);
    queue(AP_SEND_DATA, with_rts(answer(0), 1));
    EXPECT_EQ(send(id, 5), CM_OK);
    EXPECT_EQ(trace_lines("CPIC CMSEND request"), 1u);
    EXPECT_EQ(trace_lines("CPIC  Send length = 5"), 1u);
    EXPECT_EQ(trace_lines("CPIC  Send type = CM_SEND_AND_FLUSH"), 1u);
    EXPECT_EQ(trace_lines("CPIC CMSEND response, result = CM_OK"), 1u);
    EXPECT_EQ(trace_lines("CPIC  Request to send received = CM_REQ_TO_SEND_RECEIVED"), 1u);
    zt_trace_clear();
    EXPECT_EQ(deallocate(id), CM_OK);
    EXPECT_EQ(trace_lines("CPIC CMDEAL request"), 1u);
    EXPECT_EQ(trace_lines("CPIC  Deallocate type = CM_DEALLOCATE_FLUSH"), 1u);
    EXPECT_EQ(trace_lines("CPIC CMDEAL response, result = CM_OK"), 1u);

    set_trace(false);
    zt_trace_clear();
    unsigned char other[8];
    new_conversation(other);
    EXPECT_EQ(send(other), CM_OK);
    EXPECT_EQ(deallocate(other), CM_OK);
    EXPECT_EQ(zt_trace_line_count(), 0u);
}

// ---- Memory failures over a whole abnormal end -------------------------------

// Initialize, make it basic with log data, allocate, and end it with an
// abnormal send, stopping at the first call that fails.
std::vector<CM_RETURN_CODE> abend_sequence(unsigned char (&id)[8]) {
    std::vector<CM_RETURN_CODE> rcs;
    CM_RETURN_CODE rc = -1;
    auto step = [&](auto call) {
        if (!rcs.empty() && rcs.back() != CM_OK) return;
        call();
        rcs.push_back(rc);
    };
    CM_CONVERSATION_TYPE type = CM_BASIC_CONVERSATION;
    CM_SEND_TYPE send_type = CM_SEND_AND_DEALLOCATE;
    CM_DEALLOCATE_TYPE abend = CM_DEALLOCATE_ABEND;
    CM_INT32 log_len = 6, length = 4;
    unsigned char data[4] = {1, 2, 3, 4};
    CM_REQUEST_TO_SEND_RECEIVED rts = 0;
    memset(id, 0, 8);
    step([&] { cminit(id, const_cast<unsigned char *>(kBlankName), &rc); });
    step([&] { cmsct(id, &type, &rc); });
    step([&] { cmsld(id, reinterpret_cast<unsigned char *>(const_cast<char *>("BROKEN")), &log_len, &rc); });
    step([&] { cmsst(id, &send_type, &rc); });
    step([&] { cmsdt(id, &abend, &rc); });
    step([&] { cmallc(id, &rc); });
    step([&] { cmsend(id, data, &length, &rts, &rc); });
    return rcs;
}

TEST_F(SendDeallocate, EveryMemoryFailureInAnAbnormalEndIsClean) {
    unsigned char id[8];
    const std::vector<CM_RETURN_CODE> clean = abend_sequence(id);
    ASSERT_EQ(clean, std::vector<CM_RETURN_CODE>(7, CM_OK));
    EXPECT_EQ(find(id), nullptr);
    const uint32_t uses = zt_fault_calls(ZT_FAULT_MEM_ALLOC);
    ASSERT_GT(uses, 0u);
    for (int persistent = 0; persistent <= 1; ++persistent) {
        for (uint32_t n = 1; n <= uses; ++n) {
            SCOPED_TRACE(testing::Message() << "allocation " << n << (persistent ? " and later" : " once"));
            zt_reset();
            zt_fault(ZT_FAULT_MEM_ALLOC, n, persistent);
            for (CM_RETURN_CODE rc : abend_sequence(id))
                EXPECT_TRUE(rc == CM_OK || rc == CM_PRODUCT_SPECIFIC_ERROR) << rc;
            EXPECT_EQ(zt_fault_hits(ZT_FAULT_MEM_ALLOC), 1u);
            zt_fault_clear();
            // A conversation the failure left behind still owns its log
            // data: the program ends it the way it meant to.
            if (find(id) != nullptr) {
                CM_DEALLOCATE_TYPE abend = CM_DEALLOCATE_ABEND;
                CM_RETURN_CODE rc = -1;
                cmsdt(id, &abend, &rc);
                EXPECT_EQ(rc, CM_OK);
                EXPECT_EQ(deallocate(id), CM_OK);
            }
            EXPECT_EQ(find(id), nullptr);
            zt_fail_path();
            EXPECT_EQ(zt_live_blocks(), 0u);
            EXPECT_EQ(zt_live_table_entries(), 0u);
            EXPECT_EQ(zt_assert_count(), 0u);
        }
    }
}

}  // namespace
