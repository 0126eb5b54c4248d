// SPDX-License-Identifier: Apache-2.0
// The global control block and the library's lazy initialisation: the first
// call that may create state builds the tables, registers with the node
// path and allocates the wait object; a path failure undoes all of it so the
// next creating call starts afresh.
#include <stdlib.h>
#include <string.h>

#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpic_operation.h"
#include "vcpic/cpic_util.h"

extern "C" {
CPIC_EXPORT GCB sGcb;
CPIC_EXPORT GCB *pGCB = &sGcb;
CPIC_EXPORT uint16_t fInitCPIC;
CPIC_EXPORT char *pEnv;
}

namespace {

constexpr char kServiceTpPrefix[] = "SNA_SERVICE_TP_0x";
constexpr size_t kServiceTpPrefixLen = sizeof(kServiceTpPrefix) - 1;

// "CPIC_DEFAULT_TPNAME" in EBCDIC.
constexpr unsigned char kDefaultTpName[] = {0xC3, 0xD7, 0xC9, 0xC3, 0x6D, 0xC4, 0xC5, 0xC6, 0xC1, 0xE4,
                                            0xD3, 0xE3, 0x6D, 0xE3, 0xD7, 0xD5, 0xC1, 0xD4, 0xC5};

// An empty value configures nothing, exactly like an unset one.
char *read_env(const char *name) {
    char *value = getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

// Value of one hexadecimal digit of a service TP name. Anything at or below
// '0' (including the NUL after an odd digit count) counts as zero.
unsigned hex_value(unsigned char c) {
    if (c > '9') return (c - 0x37u) & 0xDFu;
    if (c > '0') return c - 0x30u;
    return 0;
}

// What initialisation takes from the node, in order, and the problem
// record a failure of each step writes. Whatever the steps before took is
// given back, in the same order, so a failed initialisation leaves every
// handle 0.
enum InitStep : size_t {
    kStepConversationTable,
    kStepSideInfoTable,
    kStepLocalTpNameTable,
    kStepPathUser,
    kStepWaitObject,
    kInitSteps
};

struct StepProblem {
    uint32_t code;
    uint32_t sequence;
};
constexpr StepProblem kStepProblems[kInitSteps] = {
    {kProblemInitFailure, 1}, {kProblemInitFailure, 2}, {kProblemInitFailure, 3},
    {kProblemInitFailure, 0}, {kProblemNoMemory, 12},
};

constexpr uint32_t GCB::*kStepTables[] = {&GCB::CccbTable, &GCB::SideInfoTable, &GCB::LocTPNameTable};
static_assert(sizeof kStepTables / sizeof kStepTables[0] == kStepPathUser, "the tables come first");

bool take(GCB &g, size_t step) {
    if (step < kStepPathUser) {
        vtm_table_init(&(g.*kStepTables[step]), 0);
        return g.*kStepTables[step] != 0;
    }
    if (step == kStepPathUser) {
        vpm_init_path_user(0, 0, SCC_path_callback, 0, &g.PathUser);
        return g.PathUser != 0;
    }
    g.WaitObject = vpm_allocate_wait_object();
    return g.WaitObject != 0;
}

// The wait object is never given back: it is the last step, so no later
// failure can undo it.
void give_back(GCB &g, size_t step) {
    if (step < kStepPathUser) {
        vtm_table_terminate(&(g.*kStepTables[step]));
        g.*kStepTables[step] = 0;
    } else if (step == kStepPathUser) {
        vpm_terminate_path_user(g.PathUser);
        g.PathUser = 0;
    }
}

} // namespace

CPIC_API uint16_t SCC_far_len(const char *text, uint16_t limit) {
    uint16_t n = 0;
    // The first byte is read even for a limit of 0; nothing past the limit is.
    if (text[0] == '\0') return 0;
    while (n < limit && text[n] != '\0') ++n;
    return n;
}

CPIC_API void SCC_get_lu_alias(unsigned char *alias) {
    pEnv = read_env("APPCLLU");
    if (pEnv == nullptr) {
        memset(alias, 0, 8);
        return;
    }
    uint16_t n = SCC_far_len(pEnv, 8);
    memcpy(alias, pEnv, n);
    memset(alias + n, kAsciiBlank, 8u - n);
}

CPIC_API void SCC_set_tp_name(unsigned char *name) {
    memset(name, kEbcdicBlank, 64);
    pEnv = read_env("APPCTPN");
    if (pEnv == nullptr) {
        memcpy(name, kDefaultTpName, sizeof kDefaultTpName);
        pGCB->usLocTPNameLen = sizeof kDefaultTpName;
        return;
    }
    if (strncmp(pEnv, kServiceTpPrefix, kServiceTpPrefixLen) == 0) {
        const unsigned char *hex = reinterpret_cast<const unsigned char *>(pEnv) + kServiceTpPrefixLen;
        size_t digits = strlen(reinterpret_cast<const char *>(hex));
        if (digits > 128) digits = 128; // 64 bytes is all the name can hold
        uint16_t bytes = static_cast<uint16_t>((digits + 1) / 2);
        for (uint16_t i = 0; i < bytes; ++i) {
            unsigned high = hex_value(hex[2 * i]);
            // With an odd digit count the last low half is the terminating NUL.
            unsigned low = (2u * i + 1 < digits) ? hex_value(hex[2 * i + 1]) : 0;
            name[i] = static_cast<unsigned char>((16u * high + low) & 0xFFu);
        }
        pGCB->usLocTPNameLen = bytes;
        return;
    }
    pGCB->usLocTPNameLen = SCC_far_len(pEnv, 64);
    SCC_convert_string(CONVERT_ASCII_TO_EBCDIC, CHARSET_00640, static_cast<int16_t>(pGCB->usLocTPNameLen),
                       name, reinterpret_cast<const unsigned char *>(pEnv));
    pGCB->fEnvTPNameGiven = 1;
}

CPIC_API uint16_t SCC_init(void) {
    GCB *g = pGCB;
    memset(g->CtxTpId, 0, sizeof g->CtxTpId);
    memset(g->CtxLocLUAlias, 0, sizeof g->CtxLocLUAlias);
    g->NumVerbsWaiting = 0;
    g->NumVerbsOutstanding = 0;
    g->NumLocTPNames = 0;
    g->usLocTPNameLen = 0;
    g->fEnvTPNameListed = 0;
    g->fEnvTPNameGiven = 0;

    SCC_get_lu_alias(g->EnvLocLUAlias);
    SCC_set_tp_name(g->LocTPName);

    for (size_t step = 0; step < kInitSteps; ++step) {
        if (take(*g, step)) continue;
        CPIC_PROBLEM(kStepProblems[step].code, kStepProblems[step].sequence, "");
        for (size_t taken = 0; taken < step; ++taken) give_back(*g, taken);
        return fInitCPIC;
    }
    fInitCPIC = 1;
    return fInitCPIC;
}

CPIC_EXTERN_C bool SCC_ensure_init(void) {
    if (fInitCPIC == 0) SCC_init();
    return fInitCPIC != 0;
}

CPIC_API void SCC_free_handles_from_table(uint32_t table) {
    void *block = nullptr;
    uint32_t h = vtm_get_next_used(table, 0, &block);
    while (h != 0) {
        vtm_release_entry(table, h);
        nba_mm_free(block, 0);
        h = vtm_get_next_used(table, h, &block);
    }
}

CPIC_API uint32_t SCC_path_callback(uint32_t /*user*/, VPM_PATH_EVENT *event) {
    if (event->code == VPM_EVENT_PATH_FAILED) {
        GCB *g = pGCB;
        fInitCPIC = 0;
        // The node has dropped every verb it held, callbacks and all.
        cpic::op::node_dropped_verbs(nullptr);
        // Conversation blocks go as plain memory: the node that owned their
        // conversations is gone, so no verb is issued for them, and the
        // verbs they had in flight will never complete.
        void *p = nullptr;
        for (uint32_t h = g->CccbTable ? vtm_get_next_used(g->CccbTable, 0, &p) : 0; h != 0;
             h = vtm_get_next_used(g->CccbTable, h, &p))
            SCC_drop_on_path_failure(h, static_cast<CCCB *>(p));
        for (uint32_t *table : {&g->CccbTable, &g->SideInfoTable, &g->LocTPNameTable}) {
            if (*table != 0) {
                SCC_free_handles_from_table(*table);
                vtm_table_terminate(table);
            }
        }
        if (g->WaitObject != 0) vpm_release_wait_object(g->WaitObject);
        if (g->PathUser != 0) {
            vpm_terminate_path_user(g->PathUser);
            g->PathUser = 0;
        }
    }
    event->reply = 0;
    return 0;
}
