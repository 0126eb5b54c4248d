// SPDX-License-Identifier: Apache-2.0
// Fault sweeps over whole call sequences (the helper is in support.h).
#include "support.h"

namespace {

using namespace cpic_test;

// A whole outbound conversation: initialise, allocate, flush, and the
// release that an ending flush brings (with its end-TP verb).
Outcome outbound_sequence() {
    Outcome rcs;
    unsigned char id[8] = {}, name[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    CM_RETURN_CODE rc = -1;
    cminit(id, name, &rc);
    rcs.push_back(rc);
    if (rc != CM_OK) return rcs;
    cmallc(id, &rc);
    rcs.push_back(rc);
    if (rc != CM_OK) return rcs;
    ZT_ANSWER ending{};
    ending.primary = 0x0900;
    zt_queue_answer(AP_FLUSH, &ending);
    cmflus(id, &rc);
    rcs.push_back(rc);
    return rcs;
}

class FaultSweep : public LibraryTest {};

TEST_F(FaultSweep, OutboundConversation) {
    for (uint32_t site : {ZT_FAULT_MEM_ALLOC, ZT_FAULT_TABLE_FULL, ZT_FAULT_TABLE_INIT})
        sweep(site, outbound_sequence, {CM_OK, CM_PRODUCT_SPECIFIC_ERROR, CM_DEALLOCATED_NORMAL});
}

} // namespace
