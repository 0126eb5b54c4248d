// SPDX-License-Identifier: Apache-2.0
// Ending transaction program instances at the node once no conversation
// runs under them any more.
#include <string.h>

#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpic_operation.h"
#include "vcpic/cpic_util.h"

CPIC_EXTERN_C uint32_t SCC_cccbs_using_tpid(const unsigned char *tp_id) {
    uint32_t count = 0;
    void *p = nullptr;
    for (uint32_t h = vtm_get_next_used(pGCB->CccbTable, 0, &p); h != 0;
         h = vtm_get_next_used(pGCB->CccbTable, h, &p)) {
        if (memcmp(static_cast<const CCCB *>(p)->TpId, tp_id, 8) == 0) ++count;
    }
    return count;
}

CPIC_EXTERN_C void SCC_null_callback(void *record, uint32_t, uint32_t, uint32_t) {
    nba_mm_free(record, 0);
}

CPIC_EXTERN_C void SCC_context_ended(const unsigned char *tp_id, uint8_t type, uint16_t *primary,
                                     uint32_t *secondary) {
    const bool synchronous = primary != nullptr && secondary != nullptr;
    // A whole verb area (200 bytes on i386), so the node may treat it like
    // any other verb record.
    auto *record =
        static_cast<VCB_TP_ENDED *>(nba_mm_alloc(sizeof(VCB), NBA_MM_ONE_OFF_VERB, nba_blank_name, 0, 0));
    if (record == nullptr) {
        CPIC_PROBLEM(kProblemNoMemory, 17, "");
        if (synchronous) {
            *primary = kPrimaryEndTpNoMemory;
            *secondary = kSecondaryEndTpNoMemory;
        }
        return;
    }
    memset(record, 0, sizeof(VCB));
    record->hdr.opcode = AP_TP_ENDED;
    memcpy(record->tp_id, tp_id, sizeof record->tp_id);
    record->type = type;
    bool ended = true;
    if (synchronous) {
        appc_c_version(APPC_VERSION, record);
        *primary = record->hdr.primary_rc;
        *secondary = record->hdr.secondary_rc;
        ended = *primary == kPrimaryOk;
        nba_mm_free(record, 0);
    } else if (appc_c_async_version(APPC_VERSION, record, SCC_null_callback, 1) == APPC_COMPLETED_SYNC) {
        // Only 0x18F0 says the node will not call back; on any other answer
        // the callback owns the record and frees it.
        ended = record->hdr.primary_rc == kPrimaryOk;
        nba_mm_free(record, 0);
    }
    // The instance's verbs went with it, callbacks and all.
    if (ended) cpic::op::node_dropped_verbs(tp_id);
}
