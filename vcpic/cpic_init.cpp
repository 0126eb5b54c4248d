// The global control block and the library's lazy initialisation: the first
// call that may create state builds the tables, registers with the node
// path and allocates the wait object; a path failure undoes all of it so the
// next creating call starts afresh.
#include <stdlib.h>
#include <string.h>

#include "vcpic/cpic_codes.h"
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
constexpr unsigned char kDefaultTpName[] = {0xC3, 0xD7, 0xC9, 0xC3, 0x6D, 0xC4, 0xC5,
                                            0xC6, 0xC1, 0xE4, 0xD3, 0xE3, 0x6D, 0xE3,
                                            0xD7, 0xD5, 0xC1, 0xD4, 0xC5};

constexpr unsigned char kEbcdicBlank = 0x40;
constexpr unsigned char kAsciiBlank = 0x20;

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

void terminate_table(uint32_t &table) {
    vtm_table_terminate(&table);
    table = 0;
}

}  // namespace

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
        if (digits > 128) digits = 128;  // 64 bytes is all the name can hold
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

    vtm_table_init(&g->CccbTable, 0);
    if (g->CccbTable == 0) {
        nba_pd_print_problem(kProblemInitFailure, 1, "");
        return fInitCPIC;
    }
    vtm_table_init(&g->SideInfoTable, 0);
    if (g->SideInfoTable == 0) {
        nba_pd_print_problem(kProblemInitFailure, 2, "");
        terminate_table(g->CccbTable);
        return fInitCPIC;
    }
    vtm_table_init(&g->LocTPNameTable, 0);
    if (g->LocTPNameTable == 0) {
        nba_pd_print_problem(kProblemInitFailure, 3, "");
        terminate_table(g->CccbTable);
        terminate_table(g->SideInfoTable);
        return fInitCPIC;
    }
    vpm_init_path_user(0, 0, SCC_path_callback, 0, &g->PathUser);
    if (g->PathUser == 0) {
        nba_pd_print_problem(kProblemInitFailure, 0, "");
        terminate_table(g->CccbTable);
        terminate_table(g->SideInfoTable);
        terminate_table(g->LocTPNameTable);
        return fInitCPIC;
    }
    g->WaitObject = vpm_allocate_wait_object();
    if (g->WaitObject == 0) {
        nba_pd_print_problem(kProblemNoMemory, 12, "");
        terminate_table(g->CccbTable);
        terminate_table(g->SideInfoTable);
        terminate_table(g->LocTPNameTable);
        vpm_terminate_path_user(g->PathUser);
        g->PathUser = 0;
        return fInitCPIC;
    }
    fInitCPIC = 1;
    return fInitCPIC;
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
