// The security characteristics: conversation security type, user ID and
// password, set before Allocate sends them to the partner and (but for the
// password) extracted at any time. The CM and X/Open calls of each kind
// behave alike and share one worker; the entry routines only add the frame
// with their own verb index. None of them reaches the node.
#include <string.h>

#include "vcpic/cpic_frame.h"

using namespace cpic;

namespace {

constexpr unsigned char kEbcdicBlank = 0x40;
constexpr size_t kSecurityField = 10;  // user ID and password alike

// Security values are settable only before the conversation exists at the
// node, on a conversation the program initialised.
bool in_initialize_state(const CCCB &c) { return c.ulConvId == 0 && c.usInitialized != 0; }

bool type_carries_user_id(uint32_t type) {
    return type == CM_SECURITY_SAME || type == CM_SECURITY_PROGRAM || type == CM_SECURITY_PROGRAM_STRONG;
}

// SECURITY_SAME vouches for the user on the local system's word, so only
// the program types carry a password of their own.
bool type_carries_password(uint32_t type) {
    return type == CM_SECURITY_PROGRAM || type == CM_SECURITY_PROGRAM_STRONG;
}

// The set workers' common start: the frame has looked the conversation up
// (24 and the problem record when unknown); then the state. True when the
// value may be examined.
bool may_set(CallFrame &f) {
    if (!f.ok()) return false;
    if (!in_initialize_state(*f.cccb())) f.set_rc(CM_PROGRAM_STATE_CHECK);
    return f.ok();
}

// A length the call accepts and, for any nonzero length, the bytes to read.
bool length_accepted(const unsigned char *value, const CM_INT32 *length, int16_t smallest, int16_t largest) {
    if (value == nullptr || length == nullptr) return false;
    return *length >= smallest && *length <= largest;
}

// EBCDIC, type AE set, blank padded to the full field.
void store_security_value(unsigned char (&field)[kSecurityField], const unsigned char *value, CM_INT32 length) {
    memset(field, kEbcdicBlank, sizeof field);
    SCC_convert_string(CONVERT_ASCII_TO_EBCDIC, CHARSET_TYPE_AE, static_cast<int16_t>(length), field, value);
}

// DISTRIBUTED and MUTUAL are not offered: a program asking for them is
// told so at once rather than at Allocate.
void genscst(CallFrame &f, const CM_INT32 *conversation_security_type) {
    if (!may_set(f)) return;
    if (conversation_security_type == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    switch (*conversation_security_type) {
    case CM_SECURITY_NONE:
    case CM_SECURITY_SAME:
    case CM_SECURITY_PROGRAM:
    case CM_SECURITY_PROGRAM_STRONG:
        // A user ID or password already set stays; Allocate sends what the
        // final type calls for.
        f.cccb()->SideInfo.ulSecurityType = static_cast<uint32_t>(*conversation_security_type);
        break;
    default:
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
    }
}

// The type is tested before the length: a user ID makes no sense under
// SECURITY_NONE whatever its length.
void genscsu(CallFrame &f, const unsigned char *security_user_ID, const CM_INT32 *security_user_ID_length,
             int16_t smallest, int16_t largest) {
    if (!may_set(f)) return;
    SideInfoEntry &s = f.cccb()->SideInfo;
    if (!type_carries_user_id(s.ulSecurityType)) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
    } else if (!length_accepted(security_user_ID, security_user_ID_length, smallest, largest)) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
    } else {
        store_security_value(s.SecurityUserID, security_user_ID, *security_user_ID_length);
        s.usUserIDLen = static_cast<uint16_t>(*security_user_ID_length);
    }
}

// No length is kept for the password: the node takes the blank-padded field.
void genscsp(CallFrame &f, const unsigned char *security_password, const CM_INT32 *security_password_length,
             int16_t smallest, int16_t largest) {
    if (!may_set(f)) return;
    SideInfoEntry &s = f.cccb()->SideInfo;
    if (!type_carries_password(s.ulSecurityType)) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
    } else if (!length_accepted(security_password, security_password_length, smallest, largest)) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
    } else {
        store_security_value(s.SecurityPassword, security_password, *security_password_length);
    }
}

// The length reported is the one stored even when the call writes fewer
// characters, so a program using an 8-character call can tell from it that
// a 9- or 10-character user ID was cut.
void genecsu(CallFrame &f, unsigned char *security_user_ID, CM_INT32 *security_user_ID_length, int16_t most) {
    if (!f.ok()) return;
    const CCCB &c = *f.cccb();
    if (c.ulConvId == 0 && c.usInitialized == 0) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
        return;
    }
    if (security_user_ID == nullptr || security_user_ID_length == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    const SideInfoEntry &s = c.SideInfo;
    *security_user_ID_length = s.usUserIDLen;
    const int16_t stored = static_cast<int16_t>(s.usUserIDLen < kSecurityField ? s.usUserIDLen : kSecurityField);
    SCC_convert_string(CONVERT_EBCDIC_TO_ASCII, CHARSET_TYPE_AE, stored < most ? stored : most, security_user_ID,
                       s.SecurityUserID);
}

// The security type can be asked in any state, even before an incoming
// conversation is accepted.
void extract_security_type(CallFrame &f, CM_INT32 *conversation_security_type) {
    if (!f.ok()) return;
    if (conversation_security_type == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    *conversation_security_type = static_cast<CM_INT32>(f.cccb()->SideInfo.ulSecurityType);
}

constexpr int16_t kShortestValue = 1;
constexpr int16_t kLongestValue = 10;
constexpr int16_t kUserIdChars = 10;
constexpr int16_t kShortUserIdChars = 8;

}  // namespace

// ---- Conversation security type ---------------------------------------------

CM_ENTRY cmscst(unsigned char *conversation_ID, CM_CONVERSATION_SECURITY_TYPE *conversation_security_type,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMSCST, return_code, Conversation{conversation_ID},
                words(conversation_ID, conversation_security_type));
    genscst(f, conversation_security_type);
}
CPIC_ENTRY_ALIAS(CMSCST, cmscst);

CM_ENTRY xcscst(unsigned char *conversation_ID, XC_CONVERSATION_SECURITY_TYPE *conversation_security_type,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbXCSCST, return_code, Conversation{conversation_ID},
                words(conversation_ID, conversation_security_type));
    genscst(f, conversation_security_type);
}
CPIC_ENTRY_ALIAS(XCSCST, xcscst);

CM_ENTRY cmecst(unsigned char *conversation_ID, CM_CONVERSATION_SECURITY_TYPE *conversation_security_type,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMECST, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(conversation_security_type));
    extract_security_type(f, conversation_security_type);
}
CPIC_ENTRY_ALIAS(CMECST, cmecst);

CM_ENTRY xcecst(unsigned char *conversation_ID, XC_CONVERSATION_SECURITY_TYPE *conversation_security_type,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbXCECST, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(conversation_security_type));
    extract_security_type(f, conversation_security_type);
}
CPIC_ENTRY_ALIAS(XCECST, xcecst);

// ---- Security user ID --------------------------------------------------------

CM_ENTRY cmscsu(unsigned char *conversation_ID, unsigned char *security_user_ID, CM_INT32 *security_user_ID_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMSCSU, return_code, Conversation{conversation_ID},
                words(conversation_ID, security_user_ID, security_user_ID_length));
    genscsu(f, security_user_ID, security_user_ID_length, kShortestValue, kLongestValue);
}
CPIC_ENTRY_ALIAS(CMSCSU, cmscsu);

CM_ENTRY xcscsu(unsigned char *conversation_ID, unsigned char *security_user_ID, CM_INT32 *security_user_ID_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbXCSCSU, return_code, Conversation{conversation_ID},
                words(conversation_ID, security_user_ID, security_user_ID_length));
    genscsu(f, security_user_ID, security_user_ID_length, kShortestValue, kLongestValue);
}
CPIC_ENTRY_ALIAS(XCSCSU, xcscsu);

CM_ENTRY cmesui(unsigned char *conversation_ID, unsigned char *security_user_ID, CM_INT32 *security_user_ID_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMESUI, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(security_user_ID, security_user_ID_length));
    genecsu(f, security_user_ID, security_user_ID_length, kUserIdChars);
}
CPIC_ENTRY_ALIAS(CMESUI, cmesui);

CM_ENTRY cmecsu(unsigned char *conversation_ID, unsigned char *security_user_ID, CM_INT32 *security_user_ID_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMECSU, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(security_user_ID, security_user_ID_length));
    genecsu(f, security_user_ID, security_user_ID_length, kShortUserIdChars);
}
CPIC_ENTRY_ALIAS(CMECSU, cmecsu);

CM_ENTRY xcecsu(unsigned char *conversation_ID, unsigned char *security_user_ID, CM_INT32 *security_user_ID_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbXCECSU, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(security_user_ID, security_user_ID_length));
    genecsu(f, security_user_ID, security_user_ID_length, kShortUserIdChars);
}
CPIC_ENTRY_ALIAS(XCECSU, xcecsu);

// ---- Security password -------------------------------------------------------

// Only the conversation ID goes to the trace: the password must never be
// written anywhere.
CM_ENTRY cmscsp(unsigned char *conversation_ID, unsigned char *security_password, CM_INT32 *security_password_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMSCSP, return_code, Conversation{conversation_ID}, words(conversation_ID));
    genscsp(f, security_password, security_password_length, kShortestValue, kLongestValue);
}
CPIC_ENTRY_ALIAS(CMSCSP, cmscsp);

CM_ENTRY xcscsp(unsigned char *conversation_ID, unsigned char *security_password, CM_INT32 *security_password_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbXCSCSP, return_code, Conversation{conversation_ID}, words(conversation_ID));
    genscsp(f, security_password, security_password_length, kShortestValue, kLongestValue);
}
CPIC_ENTRY_ALIAS(XCSCSP, xcscsp);
