// SPDX-License-Identifier: Apache-2.0
// The side-information directory and the X/Open calls over it. The table
// answers first; the node is asked only about a name the table has never
// seen, and a definition it returns is kept, so looking the name up again
// costs no exchange with the node.
#include "vcpic/cpiclook.h"

#include <stdlib.h>
#include <string.h>

#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpic_lu_name.h"

using namespace cpic;

namespace {

constexpr size_t kXOpenEntrySize = sizeof(SIDE_INFO);
static_assert(kXOpenEntrySize == 124, "X/Open side-information entry");

void to_ebcdic(uint16_t table, size_t length, unsigned char *destination, const void *source) {
    SCC_convert_string(CONVERT_ASCII_TO_EBCDIC, table, static_cast<int16_t>(length), destination,
                       static_cast<const unsigned char *>(source));
}
void to_ascii(uint16_t table, size_t length, unsigned char *destination, const void *source) {
    SCC_convert_string(CONVERT_EBCDIC_TO_ASCII, table, static_cast<int16_t>(length), destination,
                       static_cast<const unsigned char *>(source));
}

// Characters before the first blank, at most `limit`.
uint16_t length_before_blank(const void *text, uint16_t limit) {
    return length_before(static_cast<const unsigned char *>(text), limit, ' ');
}

// Stores a 17-character ASCII partner LU name, blank padded. A name with a
// period is network-qualified, and the last period separates the network
// ID. An alias stays as given: the node resolves it locally.
void store_side_info_lu_name(SideInfoEntry &e, const unsigned char *name) {
    constexpr uint16_t kField = sizeof e.PartnerLUName;
    store_partner_lu_name(e, name, length_before(name, kField, ' '), kField, NetIdPeriod::kLast);
}

SideInfoRecord *allocate_record() {
    auto *r = static_cast<SideInfoRecord *>(
        nba_mm_alloc(sizeof(SideInfoRecord), NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0));
    if (r != nullptr) memset(r, 0, sizeof *r);
    return r;
}

// Where adding a record can fail: no memory, no free table entry.
struct AddProblems {
    uint32_t no_memory;
    uint32_t no_entry;
};

// A zeroed record entered in the table; null, with the problem record of
// the failure written, when it cannot be had.
SideInfoRecord *add_record(AddProblems problems) {
    SideInfoRecord *r = allocate_record();
    if (r == nullptr) {
        CPIC_PROBLEM(kProblemNoMemory, problems.no_memory, "");
        return nullptr;
    }
    if (vtm_get_free_entry(pGCB->SideInfoTable, r) == 0) {
        CPIC_PROBLEM(kProblemNoMemory, problems.no_entry, "");
        nba_mm_free(r, 0);
        return nullptr;
    }
    return r;
}

// One exchange with the node about one name: open, query, and the close,
// which follows a successful open whatever the query answered.
class NodeQuery {
  public:
    NodeQuery() = default;
    ~NodeQuery() {
        if (!opened_) return;
        NOF_CLOSE_RECORD close;
        memset(&close, 0, sizeof close);
        close.hdr.opcode = NOF_CLOSE;
        nof_version(NOF_VERSION, handle_, &close);
    }
    NodeQuery(const NodeQuery &) = delete;
    NodeQuery &operator=(const NodeQuery &) = delete;

    bool open() {
        NOF_OPEN_RECORD open;
        memset(&open, 0, sizeof open);
        open.hdr.opcode = NOF_OPEN;
        open.node_byte12 = NOF_OPEN_BYTE12;
        nof_version(NOF_VERSION, 0, &open);
        opened_ = open.hdr.primary_rc == 0;
        handle_ = open.target_handle;
        return opened_;
    }

    void query(const char *name) {
        memset(&answer_, 0, sizeof answer_);
        NOF_QUERY_RECORD q;
        memset(&q, 0, sizeof q);
        q.hdr.opcode = NOF_QUERY_SIDE_INFO;
        q.hdr.format = NOF_QUERY_FORMAT;
        q.buf_addr = &answer_;
        q.buf_size = NOF_ANSWER_OFFERED;
        q.num_entries = NOF_QUERY_ONE_ENTRY;
        q.node_byte28 = NOF_QUERY_BYTE28;
        memcpy(q.sym_dest_name, name, sizeof q.sym_dest_name);
        nof_version(NOF_VERSION, handle_, &q);
        primary_ = q.hdr.primary_rc;
        secondary_ = q.hdr.secondary_rc;
    }

    // Opens and asks about one name; false, with the problem record of the
    // caller's sequence written, when the node cannot be opened.
    bool ask(const char *name, uint32_t open_problem_sequence) {
        if (!open()) {
            CPIC_PROBLEM(kProblemNofOpenFailed, open_problem_sequence, "");
            return false;
        }
        query(name);
        return true;
    }

    bool known() const { return primary_ == kPrimaryOk; }
    bool unknown() const {
        return primary_ == NOF_NO_SUCH_NAME_PRIMARY && secondary_ == NOF_NO_SUCH_NAME_SECONDARY;
    }
    uint16_t primary() const { return primary_; }
    uint32_t secondary() const { return secondary_; }
    const NOF_SIDE_INFO_ANSWER &answer() const { return answer_; }

  private:
    bool opened_ = false;
    uint32_t handle_ = 0;
    uint16_t primary_ = 0;
    uint32_t secondary_ = 0;
    NOF_SIDE_INFO_ANSWER answer_;
};

} // namespace

CPIC_EXTERN_C uint16_t SCD_match_sym_dest_name(const char *name, SideInfoRecord **record) {
    const uint32_t table = pGCB->SideInfoTable;
    void *p = nullptr;
    for (uint32_t h = vtm_get_next_used(table, 0, &p); h != 0; h = vtm_get_next_used(table, h, &p)) {
        auto *r = static_cast<SideInfoRecord *>(p);
        if (memcmp(r->entry.SymDestName, name, sizeof r->entry.SymDestName) == 0) {
            *record = r;
            return 1;
        }
    }
    *record = nullptr;
    return 0;
}

CPIC_EXTERN_C void SCD_read_nof_response(const NOF_SIDE_INFO_ANSWER *answer, SideInfoEntry *entry) {
    SideInfoEntry &e = *entry;
    memset(&e, 0, sizeof e);
    memcpy(e.SymDestName, answer->sym_dest_name, sizeof e.SymDestName);
    store_side_info_lu_name(e, reinterpret_cast<const unsigned char *>(answer->partner_lu_name));

    e.ulTPNameType = answer->tp_name_type;
    if (e.ulTPNameType == CM_SNA_SERVICE_TP) {
        // The node spells a service TP's name in hexadecimal; only the first
        // four bytes are significant.
        memset(e.TPName, kEbcdicBlank, sizeof e.TPName);
        for (int i = 0; i < 4; ++i) {
            const char pair[3] = {answer->tp_name[2 * i], answer->tp_name[2 * i + 1], '\0'};
            e.TPName[i] = static_cast<unsigned char>(strtol(pair, nullptr, 16) & 0xFF);
        }
    } else {
        to_ebcdic(CHARSET_00640, sizeof e.TPName, e.TPName, answer->tp_name);
    }
    memcpy(e.SideInfoLocLUAlias, answer->lu_alias, sizeof e.SideInfoLocLUAlias);

    e.usModeNameLen = length_before_blank(answer->mode_name, sizeof e.ModeName);
    to_ebcdic(CHARSET_TYPE_A, sizeof e.ModeName, e.ModeName, answer->mode_name);

    e.ulSecurityType = answer->security_type;
    if (SCC_security_carries_user_id(e.ulSecurityType)) {
        e.usUserIDLen = length_before_blank(answer->user_id, sizeof e.SecurityUserID);
        to_ebcdic(CHARSET_TYPE_AE, sizeof e.SecurityUserID, e.SecurityUserID, answer->user_id);
    }
    if (SCC_security_carries_password(e.ulSecurityType))
        to_ebcdic(CHARSET_TYPE_AE, sizeof e.SecurityPassword, e.SecurityPassword, answer->password);

    // The copy is an optimisation: the caller has its entry whether or not
    // it can be kept.
    SideInfoRecord *r = allocate_record();
    if (r == nullptr) return;
    if (vtm_get_free_entry(pGCB->SideInfoTable, r) == 0) {
        CPIC_PROBLEM(kProblemNoMemory, 87, "");
        nba_mm_free(r, 0);
        return;
    }
    r->usValid = 1;
    r->entry = e;
}

CPIC_EXTERN_C uint32_t SCD_lookup(SideInfoEntry *entry) {
    SideInfoRecord *r = nullptr;
    if (SCD_match_sym_dest_name(entry->SymDestName, &r)) {
        if (!r->usValid) return CM_PROGRAM_PARAMETER_CHECK;
        *entry = r->entry;
        return CM_OK;
    }
    NodeQuery node;
    if (!node.ask(entry->SymDestName, 0)) return CM_PRODUCT_SPECIFIC_ERROR;
    if (node.known()) {
        SCD_read_nof_response(&node.answer(), entry);
        return CM_OK;
    }
    return node.unknown() ? CM_PROGRAM_PARAMETER_CHECK : CM_PRODUCT_SPECIFIC_ERROR;
}

CPIC_EXTERN_C uint32_t SCD_delete(SideInfoEntry *entry) {
    SideInfoRecord *r = nullptr;
    if (SCD_match_sym_dest_name(entry->SymDestName, &r)) {
        if (!r->usValid) return CM_PROGRAM_PARAMETER_CHECK;
        // A marker keeps only the name.
        r->usValid = 0;
        char name[sizeof r->entry.SymDestName];
        memcpy(name, r->entry.SymDestName, sizeof name);
        memset(&r->entry, 0, sizeof r->entry);
        memcpy(r->entry.SymDestName, name, sizeof name);
        return CM_OK;
    }
    NodeQuery node;
    if (!node.ask(entry->SymDestName, 1)) return CM_PRODUCT_SPECIFIC_ERROR;
    if (node.unknown()) return CM_PROGRAM_PARAMETER_CHECK;
    if (!node.known()) {
        CPIC_PROBLEM(kProblemSideInfoQueryFailed, 1, "x lx", static_cast<unsigned>(node.primary()),
                     node.secondary());
        return CM_PRODUCT_SPECIFIC_ERROR;
    }
    // The node's definition stays; the marker hides it from this process.
    r = add_record({3, 4});
    if (r == nullptr) return CM_PRODUCT_SPECIFIC_ERROR;
    r->usValid = 0;
    memcpy(r->entry.SymDestName, entry->SymDestName, sizeof r->entry.SymDestName);
    return CM_OK;
}

CPIC_EXTERN_C uint32_t SCD_set(SideInfoEntry *entry) {
    SideInfoRecord *r = nullptr;
    if (!SCD_match_sym_dest_name(entry->SymDestName, &r)) {
        r = add_record({5, 6});
        if (r == nullptr) return CM_PRODUCT_SPECIFIC_ERROR;
    }
    r->entry = *entry;
    r->usValid = 1;
    return CM_OK;
}

CPIC_EXTERN_C uint32_t SCD_main(uint16_t operation, SideInfoEntry *entry) {
    if (!SCC_ensure_init()) return CM_PRODUCT_SPECIFIC_ERROR;
    switch (operation) {
    case kSideInfoLookup:
    case kSideInfoDelete:
    case kSideInfoSet: break;
    default: return CM_OK;
    }
    if (entry == nullptr) return CM_PROGRAM_PARAMETER_CHECK;
    if (operation == kSideInfoLookup) return SCD_lookup(entry);
    return operation == kSideInfoDelete ? SCD_delete(entry) : SCD_set(entry);
}

namespace {

bool admitted_security_type(CM_INT32 type) {
    return type == CM_SECURITY_NONE || SCC_security_carries_user_id(static_cast<uint32_t>(type));
}

CM_INT32 set_side_information(const SIDE_INFO *in, const CM_INT32 *length) {
    if (length == nullptr) return CM_PROGRAM_PARAMETER_CHECK;
    if (*length != static_cast<CM_INT32>(kXOpenEntrySize)) {
        CPIC_PROBLEM(kProblemSideInfoEntryLength, 1, "l", static_cast<int32_t>(*length));
        return CM_PROGRAM_PARAMETER_CHECK;
    }
    if (in == nullptr || in->sym_dest_name[0] == ' ') return CM_PROGRAM_PARAMETER_CHECK;
    if (in->TP_name_type != CM_APPLICATION_TP && in->TP_name_type != CM_SNA_SERVICE_TP)
        return CM_PROGRAM_PARAMETER_CHECK;
    if (!admitted_security_type(in->conversation_security_type)) return CM_PROGRAM_PARAMETER_CHECK;

    SideInfoEntry e;
    memset(&e, 0, sizeof e);
    memcpy(e.SymDestName, in->sym_dest_name, sizeof e.SymDestName);
    store_side_info_lu_name(e, in->partner_LU_name);

    e.ulTPNameType = static_cast<uint32_t>(in->TP_name_type);
    if (e.ulTPNameType == CM_SNA_SERVICE_TP) {
        // A service TP's first byte is a raw code, outside every character set.
        e.TPName[0] = in->TP_name[0];
        to_ebcdic(CHARSET_00640, sizeof e.TPName - 1, e.TPName + 1, in->TP_name + 1);
    } else {
        to_ebcdic(CHARSET_00640, sizeof e.TPName, e.TPName, in->TP_name);
    }

    e.usModeNameLen = length_before_blank(in->mode_name, sizeof in->mode_name);
    to_ebcdic(CHARSET_TYPE_A, sizeof in->mode_name, e.ModeName, in->mode_name);
    e.ulSecurityType = static_cast<uint32_t>(in->conversation_security_type);
    e.usUserIDLen = length_before_blank(in->security_user_ID, sizeof in->security_user_ID);
    to_ebcdic(CHARSET_TYPE_AE, sizeof in->security_user_ID, e.SecurityUserID, in->security_user_ID);
    to_ebcdic(CHARSET_TYPE_AE, sizeof in->security_password, e.SecurityPassword, in->security_password);

    return static_cast<CM_INT32>(SCD_main(kSideInfoSet, &e));
}

void fill_xopen_entry(const SideInfoEntry &e, SIDE_INFO *out) {
    memcpy(out->sym_dest_name, e.SymDestName, sizeof out->sym_dest_name);
    if (e.usPLUNameQualified) {
        to_ascii(CHARSET_TYPE_AE, sizeof out->partner_LU_name, out->partner_LU_name, e.PartnerLUName);
    } else {
        // An alias has at most 8 characters; what follows is padding.
        memcpy(out->partner_LU_name, e.PartnerLUName, 8);
        memset(out->partner_LU_name + 8, ' ', sizeof out->partner_LU_name - 8);
    }
    out->TP_name_type = static_cast<CM_INT32>(e.ulTPNameType);
    if (e.ulTPNameType == CM_SNA_SERVICE_TP) {
        out->TP_name[0] = e.TPName[0];
        to_ascii(CHARSET_TYPE_AE, sizeof out->TP_name - 1, out->TP_name + 1, e.TPName + 1);
    } else {
        to_ascii(CHARSET_00640, sizeof out->TP_name, out->TP_name, e.TPName);
    }
    to_ascii(CHARSET_TYPE_A, sizeof out->mode_name, out->mode_name, e.ModeName);
    out->conversation_security_type = static_cast<CM_INT32>(e.ulSecurityType);
    if (SCC_security_carries_password(e.ulSecurityType)) {
        // The password never leaves the library.
        to_ascii(CHARSET_TYPE_AE, sizeof out->security_user_ID, out->security_user_ID, e.SecurityUserID);
        memset(out->security_password, 0, sizeof out->security_password);
    }
}

CM_INT32 extract_side_information(const CM_INT32 *entry_number, const unsigned char *sym_dest_name,
                                  SIDE_INFO *out, const CM_INT32 *length) {
    if (entry_number == nullptr) return CM_PROGRAM_PARAMETER_CHECK;
    if (*entry_number != 0) return CM_PRODUCT_SPECIFIC_ERROR;
    if (length == nullptr) return CM_PROGRAM_PARAMETER_CHECK;
    if (*length != static_cast<CM_INT32>(kXOpenEntrySize)) {
        CPIC_PROBLEM(kProblemSideInfoEntryLength, 0, "l", static_cast<int32_t>(*length));
        return CM_PROGRAM_PARAMETER_CHECK;
    }
    if (sym_dest_name == nullptr || out == nullptr) return CM_PROGRAM_PARAMETER_CHECK;

    SideInfoEntry e;
    memset(&e, 0, sizeof e);
    memcpy(e.SymDestName, sym_dest_name, sizeof e.SymDestName);
    const CM_INT32 rc = static_cast<CM_INT32>(SCD_main(kSideInfoLookup, &e));
    if (rc == CM_OK) fill_xopen_entry(e, out);
    return rc;
}

CM_INT32 delete_side_information(const unsigned char *sym_dest_name) {
    if (sym_dest_name == nullptr) return CM_PROGRAM_PARAMETER_CHECK;
    SideInfoEntry e;
    memset(&e, 0, sizeof e);
    memcpy(e.SymDestName, sym_dest_name, sizeof e.SymDestName);
    return static_cast<CM_INT32>(SCD_main(kSideInfoDelete, &e));
}

} // namespace

CM_ENTRY xcmssi(unsigned char *key, SIDE_INFO *side_info_entry, CM_INT32 *side_info_entry_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbXCMSSI, return_code, words(key, side_info_entry, side_info_entry_length));
    f.set_rc(set_side_information(side_info_entry, side_info_entry_length));
}
CPIC_ENTRY_ALIAS(XCMSSI, xcmssi);

CM_ENTRY xcmesi(CM_INT32 *entry_number, unsigned char *sym_dest_name, SIDE_INFO *side_info_entry,
                CM_INT32 *side_info_entry_length, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbXCMESI, return_code, words(entry_number, sym_dest_name, side_info_entry_length));
    f.respond(outputs(side_info_entry));
    f.set_rc(extract_side_information(entry_number, sym_dest_name, side_info_entry, side_info_entry_length));
}
CPIC_ENTRY_ALIAS(XCMESI, xcmesi);

CM_ENTRY xcmdsi(unsigned char *key, unsigned char *sym_dest_name, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbXCMDSI, return_code, words(key, sym_dest_name));
    f.set_rc(delete_side_information(sym_dest_name));
}
CPIC_ENTRY_ALIAS(XCMDSI, xcmdsi);
