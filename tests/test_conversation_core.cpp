// SPDX-License-Identifier: Apache-2.0
// Conversation control blocks, the end of TP instances, and the mapping of
// node return codes.
#include <tuple>

#include "support.h"

namespace {

using namespace cpic_test;

class Conversations : public LibraryTest {
  protected:
    void free_locked(CCCB *c) {
        cpic::ProcessLock lock;
        SCC_free_cccb(c);
    }
    static uint32_t end_tp_verbs() { return zt_verbs_of(AP_TP_ENDED); }
    // Ends instance `tp` at the node: given somewhere for the node's codes,
    // it waits for them; else the node may call back later.
    static std::pair<uint16_t, uint32_t> end_tp(const void *tp, uint8_t type, bool codes) {
        cpic::ProcessLock lock;
        uint16_t primary = 0;
        uint32_t secondary = 0;
        SCC_context_ended(static_cast<const unsigned char *>(tp), type, codes ? &primary : nullptr,
                          codes ? &secondary : nullptr);
        return {primary, secondary};
    }
};

TEST_F(Conversations, NewBlockHasItsDefaults) {
    CCCB *c = new_conversation(id, 0, nullptr);
    ASSERT_NE(c, nullptr);
    uint32_t handle;
    memcpy(&handle, id, 4);
    EXPECT_EQ(c->CCCBhandle, handle);
    EXPECT_NE(handle, 0u);
    const SideInfoEntry &si = c->SideInfo;
    // ASCII names blank, EBCDIC names blank; the node's blocks come filled
    // with garbage: everything else was zeroed.
    EXPECT_EQ(bytes(si.SymDestName, 8) + bytes(si.PartnerLUName, 17) + bytes(si.TPName, 64) +
                  bytes(si.ModeName, 8) + bytes(si.SecurityUserID, 10) + bytes(si.SecurityPassword, 10) +
                  bytes(si.SideInfoLocLUAlias, 8) + bytes(c->LocLUAlias, 8),
              std::string(25, ' ') + std::string(92, '\x40') + std::string(16, '\0'));
    EXPECT_EQ(std::make_tuple(si.ulSecurityType, si.usUserIDLen, c->ulConversationType, c->ulSyncLevel,
                              c->ulSendType, c->LogData, c->usVerbsOutstanding, c->usNewTpStarted),
              std::make_tuple(uint32_t{CM_SECURITY_SAME}, uint16_t{1}, uint32_t{CM_MAPPED_CONVERSATION},
                              uint32_t{CM_NONE}, uint32_t{CM_BUFFER_DATA}, nullptr, uint16_t{0},
                              uint16_t{0}));
}

TEST_F(Conversations, CreationFailuresLeaveNothingBehind) {
    new_conversation(id); // initialises the library
    const uint32_t blocks = zt_live_blocks();
    CCCB *c = nullptr;
    unsigned char other[8];
    {
        cpic::ProcessLock lock;
        zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
        EXPECT_EQ(SCC_cccb_init(other, &c), 0);
        zt_fault(ZT_FAULT_TABLE_FULL, 1, 0);
        EXPECT_EQ(SCC_cccb_init(other, &c), 0);
    }
    EXPECT_EQ(problem_list(), (Problems{{kProblemNoMemory, 1}, {kProblemNoMemory, 2}}));
    EXPECT_EQ(zt_live_blocks(), blocks) << "the block of the refused entry was freed";
}

TEST_F(Conversations, ReleasedIdIsNotHandedOutAgainAtOnce) {
    unsigned char first[8], second[8];
    CCCB *c = new_conversation(first, 0x51, nullptr);
    free_locked(c);
    EXPECT_EQ(find(first), nullptr);
    new_conversation(second, 0x52, nullptr);
    EXPECT_NE(bytes(first, 4), bytes(second, 4));
    EXPECT_EQ(find(first), nullptr) << "a stale ID stays unknown";
}

TEST_F(Conversations, ReleaseFreesOwnedBuffersAndUncollectedResult) {
    CCCB *c = new_conversation(id, 0x51, nullptr);
    c->LogData = static_cast<unsigned char *>(nba_mm_alloc(30, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0));
    c->DeallcLogData =
        static_cast<unsigned char *>(nba_mm_alloc(30, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0));
    c->usCompletionWaiting = 1;
    pGCB->NumVerbsWaiting = 1;
    const uint32_t blocks = zt_live_blocks();
    free_locked(c);
    EXPECT_EQ(zt_live_blocks(), blocks - 3);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);
    EXPECT_EQ(zt_assert_count(), 0u);
}

// The last conversation of an instance ends it as it goes: without waiting,
// or waiting after Deallocate; the current context never.
TEST_F(Conversations, LastConversationOfAnInstanceEndsIt) {
    unsigned char a[8], b[8];
    CCCB *ca = new_conversation(a, 0x51, "TPSHARED");
    CCCB *cb = new_conversation(b, 0x52, "TPSHARED");
    free_locked(ca);
    EXPECT_EQ(end_tp_verbs(), 0u) << "another conversation still uses the instance";
    free_locked(cb);
    ASSERT_EQ(end_tp_verbs(), 1u);
    const ZT_VERB *v = zt_last_verb();
    EXPECT_EQ(std::make_tuple(v->kind, v->callback),
              std::make_tuple(uint32_t{ZT_VERB_APPC_ASYNC}, &SCC_null_callback));
    EXPECT_EQ(image(v), record(AP_TP_ENDED, 0, 1, "TPSHARED")) << "the type byte (hard) at offset 20";

    CCCB *c = new_conversation(id, 0x53, "TPDEALLC");
    c->usTraceVerb = kVerbCMDEAL;
    free_locked(c);
    ASSERT_EQ(end_tp_verbs(), 2u);
    EXPECT_EQ(zt_last_verb()->kind, uint32_t{ZT_VERB_APPC_BLOCKING}) << "after Deallocate";

    memcpy(pGCB->CtxTpId, "TPCURRNT", 8);
    free_locked(new_conversation(id, 0x54, "TPCURRNT"));
    EXPECT_EQ(end_tp_verbs(), 2u) << "the current context outlives its conversations";
}

TEST_F(Conversations, EndTpRecordIsFreedExactlyOnce) {
    const char tp[] = "TP000009";
    new_conversation(id); // initialises; its own TP differs
    const uint32_t blocks = zt_live_blocks();
    end_tp(tp, 1, false); // node says: done, no callback
    EXPECT_EQ(zt_live_blocks(), blocks);

    queue(AP_TP_ENDED, answer(0, 0, true));
    end_tp(tp, 1, false);
    EXPECT_EQ(zt_live_blocks(), blocks + 1) << "the callback owns the record until it runs";
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(zt_live_blocks(), blocks);
}

TEST_F(Conversations, EndTpWithoutMemoryReportsTheProductCodes) {
    new_conversation(id);
    zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
    EXPECT_EQ(end_tp("TPNOMEMO", 0, true), std::make_pair(uint16_t{0x11F0}, 12u));
    EXPECT_EQ(std::make_tuple(zt_problem_count(), end_tp_verbs()), std::make_tuple(1u, 0u));
    EXPECT_EQ(zt_problem(0)->sequence, 17u);
}

TEST_F(Conversations, SynchronousEndTpReturnsTheNodeCodes) {
    new_conversation(id);
    queue(AP_TP_ENDED, answer(0x0100, 0x18000000));
    EXPECT_EQ(end_tp("TPSOFTEN", 0, true), std::make_pair(uint16_t{0x0100}, 0x18000000u));
    EXPECT_EQ(zt_last_verb()->image[20], 0) << "the type byte as given";
    cpic::ProcessLock lock;
    EXPECT_EQ(SCC_cccbs_using_tpid(reinterpret_cast<const unsigned char *>("TPID0001")), 1u);
}

struct MapRow {
    uint16_t primary;
    uint32_t secondary;
    CM_INT32 rc;
};

TEST(ReturnCodeMapping, EveryRowOfTheTable) {
    const MapRow rows[] = {
        {0x0100, 0x31000000, 24}, {0x0100, 0xF1000000, 24}, {0x0100, 0x5B010000, 24},
        {0x0100, 0x17000000, 19}, {0x0100, 0x18000000, 19}, {0x0100, 0x12345678, 20},
        {0x0200, 0xDEADBEEF, 25}, {0x0300, 0x04000000, 1},  {0x0300, 0x05000000, 2},
        {0x0300, 0x34600810, 3},  {0x0300, 0x31600810, 20}, {0x0300, 0x51600F08, 6},
        {0x0300, 0x16900000, 6},  {0x0300, 0x58600F08, 6},  {0x0300, 0x41600810, 8},
        {0x0300, 0x21600810, 9},  {0x0300, 0x00004C08, 10}, {0x0300, 0x31604B08, 11},
        {0x0300, 0x0EFF0F08, 20}, {0x0500, 0, 17},          {0x0600, 1, 17},
        {0x0700, 0, 30},          {0x0800, 0, 31},          {0x0900, 0, 18},
        {0x0C00, 0, 21},          {0x0D00, 0, 23},          {0x0E00, 0, 22},
        {0x0F00, 0, 27},          {0x1000, 0, 26},          {0x1100, 0, 32},
        {0x1200, 0, 34},          {0x1300, 0, 33},          {0x1400, 0, 28},
        {0x02F0, 0, 20},          {0x0A00, 0, 20},          {0x2100, 0, 20},
    };
    for (const MapRow &r : rows) {
        zt_reset();
        uint32_t rc = 0xFFFF;
        SCC_map_return_codes(&rc, r.primary, r.secondary, 0x0042);
        EXPECT_EQ(rc, static_cast<uint32_t>(r.rc)) << std::hex << r.primary << "/" << r.secondary;
        // Only 20 writes a record.
        char want[40];
        snprintf(want, sizeof want, "0042 %04X %08X", r.primary, r.secondary);
        EXPECT_EQ(zt_problem_count(), r.rc == 20 ? 1u : 0u);
        EXPECT_EQ(last_problem(), (r.rc == 20 ? Rec{kProblemUnmappedReturnCode, 1, "x x lx", want} : Rec{}));
    }
    for (uint32_t n = 0; n < 14; ++n) {
        uint32_t rc = 0;
        SCC_map_return_codes(&rc, 0x0300, 0x00FF0F08 + n * 0x01000000, 1);
        EXPECT_EQ(rc, 6u) << n;
    }
    zt_reset();
}

} // namespace
