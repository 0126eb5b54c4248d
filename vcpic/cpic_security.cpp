// SPDX-License-Identifier: Apache-2.0
// The security characteristics: conversation security type, user ID and
// password, set before Allocate sends them to the partner and (but for the
// password) extracted at any time. Each call is a row for the workers of
// the set and extract calls; a CM call and its X/Open twin share the row
// and differ only in the verb index. None of them reaches the node.
#include <string.h>

#include "vcpic/cpic_characteristics.h"

using namespace cpic;

namespace {

constexpr size_t kSecurityField = 10; // user ID and password alike

uint32_t &security_type(CCCB &c) {
    return c.SideInfo.ulSecurityType;
}

// DISTRIBUTED and MUTUAL are not offered: a program asking for them is told
// so at once rather than at Allocate. A user ID or password already set
// stays; Allocate sends what the final type calls for.
bool type_not_offered(const CCCB &, uint32_t type) {
    return type == CM_SECURITY_DISTRIBUTED || type == CM_SECURITY_MUTUAL;
}

// The type is tested before the length: a user ID makes no sense under
// SECURITY_NONE whatever its length.
CM_INT32 refuse_without_user_id(const CCCB &c) {
    return SCC_security_carries_user_id(c.SideInfo.ulSecurityType) ? CM_OK : CM_PROGRAM_STATE_CHECK;
}

CM_INT32 refuse_without_password(const CCCB &c) {
    return SCC_security_carries_password(c.SideInfo.ulSecurityType) ? CM_OK : CM_PROGRAM_STATE_CHECK;
}

// EBCDIC, type AE set, blank padded to the full field.
void store_security_value(unsigned char (&field)[kSecurityField], const unsigned char *value,
                          uint32_t length) {
    memset(field, kEbcdicBlank, sizeof field);
    SCC_convert_string(CONVERT_ASCII_TO_EBCDIC, CHARSET_TYPE_AE, static_cast<int16_t>(length), field, value);
}

CM_INT32 store_user_id(CCCB &c, const unsigned char *value, uint32_t length) {
    store_security_value(c.SideInfo.SecurityUserID, value, length);
    c.SideInfo.usUserIDLen = static_cast<uint16_t>(length);
    return CM_OK;
}

// No length is kept for the password: the node takes the blank-padded field.
CM_INT32 store_password(CCCB &c, const unsigned char *value, uint32_t length) {
    store_security_value(c.SideInfo.SecurityPassword, value, length);
    return CM_OK;
}

// Security values are settable only before the conversation exists at the
// node, on a conversation the program initialised. Only the conversation ID
// of a password call goes to the trace: the password is never written
// anywhere.
// clang-format off
//                                                                     verb  field          largest                     Init  before  after
constexpr ValueCall set_type_call(VerbIndex verb)     { return ValueCall{verb, security_type, CM_SECURITY_PROGRAM_STRONG, true, nullptr, type_not_offered}; }
//                                                                    verb  Init  before                   length  store           secret
constexpr NameCall set_user_id_call(VerbIndex verb)  { return NameCall{verb, true, refuse_without_user_id,  1, 10,  store_user_id,  false}; }
constexpr NameCall set_password_call(VerbIndex verb) { return NameCall{verb, true, refuse_without_password, 1, 10,  store_password, true}; }
// clang-format on

// The security type can be asked in any state, even before an incoming
// conversation is accepted.
void extract_type(VerbIndex verb, unsigned char *conversation_ID, CM_INT32 *conversation_security_type,
                  CM_RETURN_CODE *return_code) {
    CallFrame f(verb, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(conversation_security_type));
    if (!may_extract(f, WhileOutstanding::kAnswer, StateCheck::kAnyState, conversation_security_type)) return;
    *conversation_security_type = static_cast<CM_INT32>(f.cccb()->SideInfo.ulSecurityType);
}

// The length reported is the one stored even when the call writes fewer
// characters, so a program using an 8-character call can tell from it that
// a 9- or 10-character user ID was cut.
struct UserIdExtract {
    VerbIndex verb;
    uint16_t characters; // at most this many are written
};
constexpr UserIdExtract kExtractUserId{kVerbCMESUI, 10};
constexpr UserIdExtract kExtractShortUserId{kVerbCMECSU, 8};
constexpr UserIdExtract kXExtractShortUserId{kVerbXCECSU, 8};

void extract_user_id(const UserIdExtract &call, unsigned char *conversation_ID,
                     unsigned char *security_user_ID, CM_INT32 *security_user_ID_length,
                     CM_RETURN_CODE *return_code) {
    CallFrame f(call.verb, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(security_user_ID, security_user_ID_length));
    if (!may_extract(f, WhileOutstanding::kAnswer, StateCheck::kCharacteristics, security_user_ID,
                     security_user_ID_length))
        return;
    const SideInfoEntry &s = f.cccb()->SideInfo;
    *security_user_ID_length = s.usUserIDLen;
    const uint16_t stored = s.usUserIDLen < kSecurityField ? s.usUserIDLen : kSecurityField;
    SCC_convert_string(CONVERT_EBCDIC_TO_ASCII, CHARSET_TYPE_AE,
                       static_cast<int16_t>(stored < call.characters ? stored : call.characters),
                       security_user_ID, s.SecurityUserID);
}

} // namespace

// ---- Entry points -------------------------------------------------------------

#define CPIC_EXTRACT_TYPE_CALL(lower, upper, verb)                                                           \
    CM_ENTRY lower(unsigned char *conversation_ID, CM_INT32 *type, CM_RETURN_CODE *return_code) {            \
        extract_type(verb, conversation_ID, type, return_code);                                              \
    }                                                                                                        \
    CPIC_ENTRY_ALIAS(upper, lower)
#define CPIC_EXTRACT_USER_ID_CALL(lower, upper, row)                                                         \
    CM_ENTRY lower(unsigned char *conversation_ID, unsigned char *user_ID, CM_INT32 *user_ID_length,         \
                   CM_RETURN_CODE *return_code) {                                                            \
        extract_user_id(row, conversation_ID, user_ID, user_ID_length, return_code);                         \
    }                                                                                                        \
    CPIC_ENTRY_ALIAS(upper, lower)

CPIC_SET_VALUE_CALL(cmscst, CMSCST, set_type_call(kVerbCMSCST));
CPIC_SET_VALUE_CALL(xcscst, XCSCST, set_type_call(kVerbXCSCST));
CPIC_EXTRACT_TYPE_CALL(cmecst, CMECST, kVerbCMECST);
CPIC_EXTRACT_TYPE_CALL(xcecst, XCECST, kVerbXCECST);

CPIC_SET_BYTES_CALL(cmscsu, CMSCSU, set_user_id_call(kVerbCMSCSU));
CPIC_SET_BYTES_CALL(xcscsu, XCSCSU, set_user_id_call(kVerbXCSCSU));
CPIC_EXTRACT_USER_ID_CALL(cmesui, CMESUI, kExtractUserId);
CPIC_EXTRACT_USER_ID_CALL(cmecsu, CMECSU, kExtractShortUserId);
CPIC_EXTRACT_USER_ID_CALL(xcecsu, XCECSU, kXExtractShortUserId);

CPIC_SET_BYTES_CALL(cmscsp, CMSCSP, set_password_call(kVerbCMSCSP));
CPIC_SET_BYTES_CALL(xcscsp, XCSCSP, set_password_call(kVerbXCSCSP));
