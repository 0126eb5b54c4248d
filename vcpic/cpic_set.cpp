// SPDX-License-Identifier: Apache-2.0
// The fourteen set calls. None of them reaches the node: each checks one
// characteristic against the conversation and stores it in the CCCB, where a
// later verb picks it up.
//
// Two shapes share the work (with the security calls): nine calls take one
// 32-bit value and five take bytes and a length; each is a row of a
// descriptor table driving one worker.
#include <string.h>

#include "vcpic/cpic_characteristics.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpic_lu_name.h"

using namespace cpic;

namespace {

bool is_mapped(const CCCB &c) {
    return c.ulConversationType == CM_MAPPED_CONVERSATION;
}

// Fill and log data are settings of a basic conversation.
CM_INT32 refuse_mapped(const CCCB &c) {
    return is_mapped(c) ? CM_PROGRAM_PARAMETER_CHECK : CM_OK;
}

// Confirmation needs a sync level that carries it.
template <uint32_t Confirm>
bool confirm_under_none(const CCCB &c, uint32_t value) {
    return value == Confirm && c.ulSyncLevel == CM_NONE;
}

// A mapped conversation can carry neither FILL_BUFFER nor log data.
bool mapped_with_basic_settings(const CCCB &c, uint32_t value) {
    return value == CM_MAPPED_CONVERSATION && (c.ulFill == CM_FILL_BUFFER || c.usLogDataLen != 0);
}

// NONE would strand a confirm type set while the sync level was CONFIRM.
bool none_with_confirm_types(const CCCB &c, uint32_t value) {
    return value == CM_NONE &&
           (c.ulSendType == CM_SEND_AND_CONFIRM || c.ulPrepToReceiveType == CM_PREP_TO_RECEIVE_CONFIRM ||
            c.ulDeallocateType == CM_DEALLOCATE_CONFIRM);
}

// ---- Calls with one value -------------------------------------------------

// clang-format off
//                                       verb         field                                    largest                     Init   before         after
constexpr ValueCall kSetConversationType{kVerbCMSCT,  cccb_field<&CCCB::ulConversationType>,  CM_MAPPED_CONVERSATION,     true,  nullptr,       mapped_with_basic_settings};
constexpr ValueCall kSetDeallocateType  {kVerbCMSDT,  cccb_field<&CCCB::ulDeallocateType>,    CM_DEALLOCATE_ABEND,        false, nullptr,       confirm_under_none<CM_DEALLOCATE_CONFIRM>};
constexpr ValueCall kSetErrorDirection  {kVerbCMSED,  cccb_field<&CCCB::ulErrorDirection>,    CM_SEND_ERROR,              false, nullptr,       nullptr};
constexpr ValueCall kSetFill            {kVerbCMSF,   cccb_field<&CCCB::ulFill>,              CM_FILL_BUFFER,             false, refuse_mapped, nullptr};
constexpr ValueCall kSetPrepToReceive   {kVerbCMSPTR, cccb_field<&CCCB::ulPrepToReceiveType>, CM_PREP_TO_RECEIVE_CONFIRM, false, nullptr,       confirm_under_none<CM_PREP_TO_RECEIVE_CONFIRM>};
constexpr ValueCall kSetReceiveType     {kVerbCMSRT,  cccb_field<&CCCB::ulReceiveType>,       CM_RECEIVE_IMMEDIATE,       false, nullptr,       nullptr};
constexpr ValueCall kSetReturnControl   {kVerbCMSRC,  cccb_field<&CCCB::ulReturnControl>,     CM_IMMEDIATE,               true,  nullptr,       nullptr};
constexpr ValueCall kSetSendType        {kVerbCMSST,  cccb_field<&CCCB::ulSendType>,          CM_SEND_AND_DEALLOCATE,     false, nullptr,       confirm_under_none<CM_SEND_AND_CONFIRM>};
constexpr ValueCall kSetSyncLevel       {kVerbCMSSL,  cccb_field<&CCCB::ulSyncLevel>,         CM_CONFIRM,                 true,  nullptr,       none_with_confirm_types};
// clang-format on

// ---- Calls with bytes and a length ----------------------------------------

void to_ebcdic(uint16_t table, uint32_t length, unsigned char *destination, const unsigned char *source) {
    SCC_convert_string(CONVERT_ASCII_TO_EBCDIC, table, static_cast<int16_t>(length), destination, source);
}

// The stores of the byte calls: only log data can fail, for want of memory.

// An alias stays ASCII as given; NETID.LUNAME travels to the partner. A
// period first or last leaves an empty part, which the node judges, not
// this call.
CM_INT32 store_partner_lu(CCCB &c, const unsigned char *name, uint32_t length) {
    const auto n = static_cast<uint16_t>(length);
    store_partner_lu_name(c.SideInfo, name, n, n, NetIdPeriod::kFirst);
    return CM_OK;
}

CM_INT32 store_mode_name(CCCB &c, const unsigned char *name, uint32_t length) {
    memset(c.SideInfo.ModeName, kEbcdicBlank, sizeof c.SideInfo.ModeName);
    to_ebcdic(CHARSET_TYPE_A, length, c.SideInfo.ModeName, name);
    c.SideInfo.usModeNameLen = static_cast<uint16_t>(length);
    return CM_OK;
}

// All zero means no local LU named: Allocate then chooses one itself.
CM_INT32 store_local_lu_name(CCCB &c, const unsigned char *name, uint32_t length) {
    memset(c.LocLUAlias, length == 0 ? 0 : kAsciiBlank, sizeof c.LocLUAlias);
    if (length != 0) memcpy(c.LocLUAlias, name, length);
    return CM_OK;
}

// A TP name set by the program is always an application TP's, even when
// side information named a service TP.
CM_INT32 store_tp_name(CCCB &c, const unsigned char *name, uint32_t length) {
    memset(c.SideInfo.TPName, kEbcdicBlank, sizeof c.SideInfo.TPName);
    c.SideInfo.ulTPNameType = XC_APPLICATION_TP;
    to_ebcdic(CHARSET_00640, length, c.SideInfo.TPName, name);
    return CM_OK;
}

void put_be16(unsigned char *p, uint32_t value) {
    p[0] = static_cast<unsigned char>(value >> 8);
    p[1] = static_cast<unsigned char>(value);
}

// Log data goes out as an Error Log GDS variable, built once here so that
// Send_Error and Deallocate can hand the buffer to the node as it is:
// total length, GDS id X'12E1', an empty first sub-field, then the text
// sub-field with its own length.
constexpr uint32_t kLogHeader = 8;
constexpr uint16_t kErrorLogGdsId = 0x12E1;

CM_INT32 store_log_data(CCCB &c, const unsigned char *data, uint32_t length) {
    if (length == 0) {
        c.usLogDataLen = 0;
        if (c.LogData != nullptr) nba_mm_free(c.LogData, 0);
        c.LogData = nullptr;
        return CM_OK;
    }
    const uint32_t total = length + kLogHeader;
    auto *record =
        static_cast<unsigned char *>(nba_mm_alloc(total, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0));
    if (record == nullptr) {
        // The log data set before stays in force.
        CPIC_PROBLEM(kProblemNoMemory, 11, "");
        return CM_PRODUCT_SPECIFIC_ERROR;
    }
    if (c.LogData != nullptr) nba_mm_free(c.LogData, 0);
    c.LogData = record;
    c.usLogDataLen = static_cast<uint16_t>(total);
    put_be16(record, total);
    put_be16(record + 2, kErrorLogGdsId);
    put_be16(record + 4, 2);
    put_be16(record + 6, length + 2);
    to_ebcdic(CHARSET_TYPE_AE, length, record + kLogHeader, data);
    return CM_OK;
}

// clang-format off
//                                  verb         Init   before         length   store             secret
constexpr NameCall kSetPartnerLuName{kVerbCMSPLN, true,  nullptr,       1, 17,   store_partner_lu, false};
constexpr NameCall kSetModeName     {kVerbCMSMN,  true,  nullptr,       0, 8,    store_mode_name,  false};
constexpr NameCall kSetLocalLuName  {kVerbCMSLLN, true,  nullptr,       0, 8,    store_local_lu_name, false};
constexpr NameCall kSetTpName       {kVerbCMSTPN, true,  nullptr,       1, 64,   store_tp_name,    false};
constexpr NameCall kSetLogData      {kVerbCMSLD,  false, refuse_mapped, 0, 512,  store_log_data,   false};
// clang-format on

} // namespace

void cpic::set_bytes(const NameCall &call, unsigned char *conversation_ID, const unsigned char *bytes,
                     const CM_INT32 *length, CM_RETURN_CODE *return_code) {
    CallFrame f(call.verb, return_code, Conversation{conversation_ID},
                call.secret ? words(conversation_ID) : words(conversation_ID, bytes, length));
    if (!conversation_accepts(f, call.initialize_only, call.refused_before)) return;
    // A zero length reads no bytes, so only then may their address be null.
    const uint32_t n = length != nullptr ? static_cast<uint32_t>(*length) : 0;
    if (length == nullptr || n < call.shortest || n > call.longest || (bytes == nullptr && n != 0)) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    f.set_rc(call.store(*f.cccb(), bytes, n));
}

// ---- Entry points -----------------------------------------------------------

CPIC_SET_VALUE_CALL(cmsct, CMSCT, kSetConversationType);
CPIC_SET_VALUE_CALL(cmsdt, CMSDT, kSetDeallocateType);
CPIC_SET_VALUE_CALL(cmsed, CMSED, kSetErrorDirection);
CPIC_SET_VALUE_CALL(cmsf, CMSF, kSetFill);
CPIC_SET_VALUE_CALL(cmsptr, CMSPTR, kSetPrepToReceive);
CPIC_SET_VALUE_CALL(cmsrt, CMSRT, kSetReceiveType);
CPIC_SET_VALUE_CALL(cmsrc, CMSRC, kSetReturnControl);
CPIC_SET_VALUE_CALL(cmsst, CMSST, kSetSendType);
CPIC_SET_VALUE_CALL(cmssl, CMSSL, kSetSyncLevel);

CPIC_SET_BYTES_CALL(cmspln, CMSPLN, kSetPartnerLuName);
CPIC_SET_BYTES_CALL(cmsmn, CMSMN, kSetModeName);
CPIC_SET_BYTES_CALL(cmslln, CMSLLN, kSetLocalLuName);
CPIC_SET_BYTES_CALL(cmstpn, CMSTPN, kSetTpName);
CPIC_SET_BYTES_CALL(cmsld, CMSLD, kSetLogData);
