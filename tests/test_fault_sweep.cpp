// Fault sweeps: a call sequence is run once clean to count the node
// services it uses, then again with the 1st, 2nd, ... Nth of them failing,
// once (transient) and from then on (persistent). Every run must end in
// accepted return codes and leave nothing behind.
#include <functional>
#include <set>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

using Outcome = std::vector<CM_RETURN_CODE>;

// A whole outbound conversation: initialise, allocate, flush, and the
// release that an ending flush brings (with its end-TP verb).
Outcome outbound_sequence() {
    Outcome rcs;
    unsigned char id[8] = {};
    unsigned char name[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    CM_RETURN_CODE rc = -1;
    cminit(id, name, &rc);
    rcs.push_back(rc);
    if (rc != CM_OK) return rcs;
    cmallc(id, &rc);
    rcs.push_back(rc);
    if (rc != CM_OK) return rcs;
    ZT_ANSWER ending;
    memset(&ending, 0, sizeof ending);
    ending.primary = 0x0900;
    zt_queue_answer(AP_FLUSH, &ending);
    cmflus(id, &rc);
    rcs.push_back(rc);
    return rcs;
}

class FaultSweep : public LibraryTest {
  protected:
    // Runs `scenario` failing the n-th use of `site` for n = 1..clean count,
    // checking each outcome against the accepted codes per step.
    void sweep(uint32_t site, const std::function<Outcome()> &scenario, const std::set<CM_RETURN_CODE> &accepted) {
        zt_reset();
        const Outcome clean = scenario();
        const uint32_t uses = zt_fault_calls(site);
        for (CM_RETURN_CODE rc : clean) {
            ASSERT_TRUE(accepted.count(rc)) << "clean run gave " << rc;
            ASSERT_NE(rc, CM_PRODUCT_SPECIFIC_ERROR) << "the clean run must succeed";
        }
        ASSERT_GT(uses, 0u) << "the scenario never reaches site " << site;
        for (int persistent = 0; persistent <= 1; ++persistent) {
            for (uint32_t n = 1; n <= uses; ++n) {
                zt_reset();
                zt_fault(site, n, persistent);
                const Outcome got = scenario();
                EXPECT_GE(zt_fault_hits(site), 1u) << "fault " << n << " did not fire";
                zt_fault_clear();
                for (CM_RETURN_CODE rc : got)
                    EXPECT_TRUE(accepted.count(rc)) << "site " << site << " n=" << n << " persistent=" << persistent
                                                   << " gave " << rc;
                zt_fail_path();
                EXPECT_EQ(zt_live_blocks(), 0u) << "leak after failing use " << n;
                EXPECT_EQ(zt_live_table_entries(), 0u);
            }
        }
    }
};

TEST_F(FaultSweep, MemoryAllocationsInAnOutboundConversation) {
    sweep(ZT_FAULT_MEM_ALLOC, outbound_sequence,
          {CM_OK, CM_PRODUCT_SPECIFIC_ERROR, CM_DEALLOCATED_NORMAL});
}

TEST_F(FaultSweep, TableEntriesInAnOutboundConversation) {
    sweep(ZT_FAULT_TABLE_FULL, outbound_sequence, {CM_OK, CM_PRODUCT_SPECIFIC_ERROR, CM_DEALLOCATED_NORMAL});
}

TEST_F(FaultSweep, TableCreationInAnOutboundConversation) {
    sweep(ZT_FAULT_TABLE_INIT, outbound_sequence, {CM_OK, CM_PRODUCT_SPECIFIC_ERROR, CM_DEALLOCATED_NORMAL});
}

}  // namespace
