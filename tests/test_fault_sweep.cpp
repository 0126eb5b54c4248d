// SPDX-License-Identifier: Apache-2.0
// Fault sweeps over whole call sequences (the helper is in support.h).
#include "support.h"

namespace {

using namespace cpic_test;

class FaultSweep : public LibraryTest {};

// A whole outbound conversation: initialise, allocate, flush, and the
// release that an ending flush brings (with its end-TP verb).
TEST_F(FaultSweep, OutboundConversation) {
    const auto outbound = [] {
        unsigned char id[8] = {};
        return run_steps({[&] { return rc_of(cminit, id, kBlankName); }, [&] { return rc_of(cmallc, id); },
                          [&] { return queue(AP_FLUSH, answer(0x0900)), rc_of(cmflus, id); }});
    };
    for (uint32_t site : {ZT_FAULT_MEM_ALLOC, ZT_FAULT_TABLE_FULL, ZT_FAULT_TABLE_INIT})
        sweep(site, outbound, {CM_OK, CM_PRODUCT_SPECIFIC_ERROR, CM_DEALLOCATED_NORMAL});
}

} // namespace
