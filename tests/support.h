// Shared fixture of the library tests: a fresh node stand-in and library
// for every test, and a checked teardown proving that nothing leaked.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_util.h"
#include "zorvel/zorvel_control.h"

namespace cpic_test {

inline std::string bytes(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("APPCLLU");
        unsetenv("APPCTPN");
        zt_reset();
    }

    // The library's own blocks go with the node path; whatever is left
    // afterwards was leaked.
    void TearDown() override {
        zt_fail_path();
        EXPECT_EQ(zt_live_blocks(), 0u) << "memory blocks leaked";
        EXPECT_EQ(zt_live_table_entries(), 0u);
        EXPECT_EQ(zt_live_wait_objects(), 0u);
        zt_reset();
    }

    // A conversation made directly through the internals, as Initialize
    // would make it; `node_id` nonzero makes it allocated at the node.
    CCCB *new_conversation(unsigned char (&id)[8], uint32_t node_id = 0x51, const char *tp_id = "TPID0001") {
        cpic::ProcessLock lock;
        if (fInitCPIC == 0) SCC_init();
        EXPECT_EQ(fInitCPIC, 1);
        CCCB *c = nullptr;
        EXPECT_EQ(SCC_cccb_init(id, &c), 1);
        if (c == nullptr) return nullptr;
        c->usInitialized = 1;
        c->ulConvId = node_id;
        if (tp_id != nullptr) memcpy(c->TpId, tp_id, 8);
        return c;
    }

    static CCCB *find(const unsigned char *id) {
        cpic::ProcessLock lock;
        CCCB *c = nullptr;
        SCC_find_cccb(id, &c, pGCB);
        return c;
    }

    static ZT_ANSWER answer(uint16_t primary, uint32_t secondary = 0, bool in_progress = false) {
        ZT_ANSWER a;
        memset(&a, 0, sizeof a);
        a.primary = primary;
        a.secondary = secondary;
        if (in_progress) {
            a.flags = ZT_ANSWER_IN_PROGRESS;
            a.delivery = ZT_DELIVER_MANUAL;
        }
        return a;
    }
    static void queue(uint16_t opcode, const ZT_ANSWER &a) { ASSERT_EQ(zt_queue_answer(opcode, &a), 0); }

    static void set_trace(bool on) {
        if (on)
            ptrc[PTRC_API_TRACE_BYTE] |= PTRC_API_TRACE_BIT;
        else
            ptrc[PTRC_API_TRACE_BYTE] &= static_cast<unsigned char>(~PTRC_API_TRACE_BIT);
    }
};

}  // namespace cpic_test

#endif  // TESTS_SUPPORT_H
