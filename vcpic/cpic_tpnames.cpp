// SPDX-License-Identifier: Apache-2.0
// Specify_Local_TP_Name and Release_Local_TP_Name, and the list of local TP
// names they keep. A name is listed only while the node has it registered:
// it enters the list after the node accepted it and leaves only after the
// node withdrew it, so the list the accept calls offer is always what the
// node will route to this process.
#include <string.h>

#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpic_tpnames.h"

using namespace cpic;

namespace {

// The characters a TP name of the program may hold: letters, digits and
// " # $ % & ' ( ) * + , - . / : ; < = > ? @ _ . Blanks, ! and [ are out.
constexpr bool is_tp_name_character(unsigned char c) {
    return (c >= 0x22 && c <= 0x5A) || (c >= 0x61 && c <= 0x7A) || c == 0x5F;
}
static_assert(is_tp_name_character('"') && is_tp_name_character('Z') && is_tp_name_character('_') &&
                  is_tp_name_character('a') && is_tp_name_character('z'),
              "accepted ends of the ranges");
static_assert(!is_tp_name_character(' ') && !is_tp_name_character('!') && !is_tp_name_character('[') &&
                  !is_tp_name_character('`') && !is_tp_name_character('{'),
              "refused neighbours of the ranges");

// Problem sequences when Specify_Local_TP_Name lists a name.
constexpr ListingProblems kSpecifyProblems{7, 8, 2};
// Problem sequences of the two withdrawals.
constexpr uint32_t kReleaseWithdrawRefused = 0;
constexpr uint32_t kSupersededWithdrawRefused = 1;

// The program's name length, or 0 when it is outside 1..64 (or missing).
uint16_t program_name_length(const unsigned char *name, const CM_INT32 *length) {
    if (name == nullptr || length == nullptr || *length < 1 || *length > kTpNameSize) return 0;
    return static_cast<uint16_t>(*length);
}

bool all_tp_name_characters(const unsigned char *name, uint16_t length) {
    for (uint16_t i = 0; i < length; ++i) {
        if (!is_tp_name_character(name[i])) return false;
    }
    return true;
}

// The name as the node sees it: EBCDIC (the 00640 table keeps case), X'40'
// padded to 64 bytes.
void to_node_name(unsigned char (&node_name)[kTpNameSize], const unsigned char *name, uint16_t length) {
    memset(node_name, kEbcdicBlank, sizeof node_name);
    SCC_convert_string(CONVERT_ASCII_TO_EBCDIC, CHARSET_00640, static_cast<int16_t>(length), node_name, name);
}

// The register and withdraw verbs: a name, and only the primary return
// code comes back.
uint16_t issue_tp_name_verb(uint16_t opcode, const unsigned char *name) {
    VCB record;
    memset(&record, 0, sizeof record);
    record.tpname.hdr.opcode = opcode;
    memcpy(record.tpname.tp_name, name, sizeof record.tpname.tp_name);
    appc_c_version(APPC_VERSION, &record);
    return record.tpname.hdr.primary_rc;
}

LocalTpName *entry_at(uint32_t handle) {
    return static_cast<LocalTpName *>(vtm_get_pointer(pGCB->LocTPNameTable, handle));
}

// The first name of the program replaces the library's own default (or a
// service TP name from the environment) that an earlier accept had to
// list: the program now says what it serves. An ordinary name from
// APPCTPN is the program's own choice and stays.
void withdraw_superseded_environment_name() {
    GCB *g = pGCB;
    if (g->fEnvTPNameGiven != 0 || g->fEnvTPNameListed != 1 || g->NumLocTPNames != 2) return;
    const uint32_t handle = find_local_tp_name(g->usLocTPNameLen, g->LocTPName);
    if (handle != 0 && withdraw_local_tp_name(handle, kSupersededWithdrawRefused)) g->fEnvTPNameListed = 0;
}

} // namespace

namespace cpic {

uint32_t find_local_tp_name(uint16_t length, const unsigned char *name) {
    void *p = nullptr;
    for (uint32_t h = vtm_get_next_used(pGCB->LocTPNameTable, 0, &p); h != 0;
         h = vtm_get_next_used(pGCB->LocTPNameTable, h, &p)) {
        const auto *entry = static_cast<const LocalTpName *>(p);
        if (entry->usLength == length && memcmp(entry->Name, name, length) == 0) return h;
    }
    return 0;
}

bool list_local_tp_name(uint16_t length, const unsigned char *name, const ListingProblems &problems) {
    GCB *g = pGCB;
    auto *entry = static_cast<LocalTpName *>(
        nba_mm_alloc(sizeof(LocalTpName), NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0));
    if (entry == nullptr) {
        CPIC_PROBLEM(kProblemNoMemory, problems.no_memory, "");
        return false;
    }
    const uint32_t handle = vtm_get_free_entry(g->LocTPNameTable, entry);
    if (handle == 0) {
        CPIC_PROBLEM(kProblemNoMemory, problems.no_table_entry, "");
        nba_mm_free(entry, 0);
        return false;
    }
    entry->usLength = length;
    memcpy(entry->Name, name, sizeof entry->Name);
    if (issue_tp_name_verb(AP_REGISTER_TP_NAME, entry->Name) != kPrimaryOk) {
        CPIC_PROBLEM(kProblemTpNameRegisterFailed, problems.register_refused, "es",
                     static_cast<uint32_t>(kTpNameSize), entry->Name);
        vtm_release_entry(g->LocTPNameTable, handle);
        nba_mm_free(entry, 0);
        return false;
    }
    ++g->NumLocTPNames;
    return true;
}

bool withdraw_local_tp_name(uint32_t handle, uint32_t problem_sequence) {
    GCB *g = pGCB;
    LocalTpName *entry = entry_at(handle);
    if (issue_tp_name_verb(AP_WITHDRAW_TP_NAME, entry->Name) != kPrimaryOk) {
        CPIC_PROBLEM(kProblemTpNameWithdrawFailed, problem_sequence, "es", static_cast<uint32_t>(kTpNameSize),
                     entry->Name);
        return false;
    }
    --g->NumLocTPNames;
    vtm_release_entry(g->LocTPNameTable, handle);
    nba_mm_free(entry, 0);
    return true;
}

uint32_t copy_local_tp_names(unsigned char *names, uint32_t capacity) {
    uint32_t count = 0;
    void *p = nullptr;
    for (uint32_t h = vtm_get_next_used(pGCB->LocTPNameTable, 0, &p); h != 0;
         h = vtm_get_next_used(pGCB->LocTPNameTable, h, &p)) {
        if (count < capacity)
            memcpy(names + count * kTpNameSize, static_cast<const LocalTpName *>(p)->Name, kTpNameSize);
        ++count;
    }
    return count;
}

uint32_t local_tp_name_handle(const unsigned char *name) {
    void *p = nullptr;
    for (uint32_t h = vtm_get_next_used(pGCB->LocTPNameTable, 0, &p); h != 0;
         h = vtm_get_next_used(pGCB->LocTPNameTable, h, &p)) {
        if (memcmp(static_cast<const LocalTpName *>(p)->Name, name, kTpNameSize) == 0) return h;
    }
    return 0;
}

} // namespace cpic

CM_ENTRY cmsltp(unsigned char *TP_name, CM_INT32 *TP_name_length, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMSLTP, return_code, words(TP_name, TP_name_length));
    const uint16_t length = program_name_length(TP_name, TP_name_length);
    if (length == 0 || !all_tp_name_characters(TP_name, length)) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    if (!f.init_library()) return;
    unsigned char node_name[kTpNameSize];
    to_node_name(node_name, TP_name, length);
    if (find_local_tp_name(length, node_name) != 0) return; // registered once, counted once
    if (!list_local_tp_name(length, node_name, kSpecifyProblems)) {
        f.set_rc(CM_PRODUCT_SPECIFIC_ERROR);
        return;
    }
    withdraw_superseded_environment_name();
}
CPIC_ENTRY_ALIAS(CMSLTP, cmsltp);

CM_ENTRY cmrltp(unsigned char *TP_name, CM_INT32 *TP_name_length, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMRLTP, return_code, words(TP_name, TP_name_length));
    const uint16_t length = program_name_length(TP_name, TP_name_length);
    if (length == 0) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    unsigned char node_name[kTpNameSize];
    to_node_name(node_name, TP_name, length);
    // Before initialisation there is no list, so nothing can be released.
    const uint32_t handle = fInitCPIC != 0 ? find_local_tp_name(length, node_name) : 0;
    if (handle == 0) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    if (!withdraw_local_tp_name(handle, kReleaseWithdrawRefused)) f.set_rc(CM_PRODUCT_SPECIFIC_ERROR);
}
CPIC_ENTRY_ALIAS(CMRLTP, cmrltp);
