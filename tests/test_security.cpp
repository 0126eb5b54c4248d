// SPDX-License-Identifier: Apache-2.0
// The security calls, CM and X/Open alike: which type admits which value,
// the order of their checks, the stored EBCDIC fields, the 8- and
// 10-character extracts, the states they answer in, and that the password
// never reaches the trace.
#include <tuple>
#include <utility>

#include "support.h"

namespace {

using namespace cpic_test;

constexpr unsigned char kFill = 0xAA;

using TypeCall = void (*)(unsigned char *, CM_INT32 *, CM_RETURN_CODE *);
using BytesCall = void (*)(unsigned char *, unsigned char *, CM_INT32 *, CM_RETURN_CODE *);
using TypeOut = std::pair<CM_RETURN_CODE, CM_INT32>;               // rc, type
using UserOut = std::tuple<CM_RETURN_CODE, std::string, CM_INT32>; // rc, characters written, length

// Each set family: the CM call and its X/Open twin.
struct Family {
    TypeCall type;
    BytesCall user, password;
};
const Family kFamilies[] = {{CMSCST, CMSCSU, CMSCSP}, {XCSCST, XCSCSU, XCSCSP}};

class Security : public LibraryTest {
  protected:
    CCCB *init() {
        EXPECT_EQ(rc_of(cminit, id, kBlankName), CM_OK);
        return find(id);
    }
    static std::string snapshot(const CCCB *c) { return bytes(c, sizeof *c); }
    CM_RETURN_CODE set(TypeCall call, CM_INT32 type) { return rc_of(call, id, &type); }
    CM_RETURN_CODE set(BytesCall call, const std::string &text, CM_INT32 length = -2) {
        std::string s = text;
        if (length == -2) length = static_cast<CM_INT32>(s.size());
        s.resize(64); // the request trace dumps a whole field
        return rc_of(call, id, reinterpret_cast<unsigned char *>(&s[0]), &length);
    }
    // What an extract wrote (up to the first untouched byte) and the
    // length it reported.
    UserOut user(BytesCall call) {
        unsigned char buffer[16];
        memset(buffer, kFill, sizeof buffer);
        CM_INT32 length = -1;
        const CM_RETURN_CODE rc = rc_of(call, id, buffer, &length);
        size_t n = 0;
        while (n < sizeof buffer && buffer[n] != kFill) ++n;
        return {rc, bytes(buffer, n), length};
    }
    // A braced list is evaluated in order: the call, then what it wrote.
    TypeOut type(TypeCall call) {
        CM_INT32 t = -1;
        return {rc_of(call, id, &t), t};
    }
};

TEST_F(Security, TypeDecidesWhetherUserAndPasswordMaySet) {
    for (const Family &f : kFamilies) {
        CCCB *c = init();
        // Fresh: SECURITY_SAME with a blank user.
        EXPECT_EQ(type(CMECST), TypeOut(CM_OK, CM_SECURITY_SAME));
        EXPECT_EQ(type(XCECST), TypeOut(CM_OK, CM_SECURITY_SAME));
        EXPECT_EQ(user(CMECSU), UserOut(CM_OK, " ", 1));
        ASSERT_EQ(set(f.type, CM_SECURITY_NONE), CM_OK);
        const std::string before = snapshot(c);
        EXPECT_EQ(set(f.user, "USER"), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(set(f.user, "TOOLONGUSERID"), CM_PROGRAM_STATE_CHECK)
            << "the type is tested before the length";
        EXPECT_EQ(set(f.password, "PW"), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(snapshot(c), before) << "nothing stored on refusal";
        ASSERT_EQ(set(f.type, CM_SECURITY_PROGRAM), CM_OK);
        EXPECT_EQ(set(f.user, "USER"), CM_OK);
        EXPECT_EQ(set(f.password, "PW"), CM_OK);
        ASSERT_EQ(set(f.type, CM_SECURITY_SAME), CM_OK);
        EXPECT_EQ(set(f.user, "OTHER"), CM_OK) << "SAME takes a user ID";
        EXPECT_EQ(set(f.password, "PW"), CM_PROGRAM_STATE_CHECK) << "but no password";
        ASSERT_EQ(set(f.type, CM_SECURITY_PROGRAM_STRONG), CM_OK);
        EXPECT_EQ(set(f.password, "PW2"), CM_OK);
        EXPECT_EQ(bytes(c->SideInfo.SecurityPassword, 10), "\xD7\xE6\xF2\x40\x40\x40\x40\x40\x40\x40");
        EXPECT_EQ(bytes(c->SideInfo.SecurityUserID, 10), "\xD6\xE3\xC8\xC5\xD9\x40\x40\x40\x40\x40")
            << "a change of type keeps what was set";
    }
}

TEST_F(Security, OnlyTheOfferedTypesAndLengthsOneToTen) {
    for (const Family &f : kFamilies) {
        CCCB *c = init();
        const std::string before = snapshot(c);
        for (CM_INT32 bad : {3, 4, 6, -1, 0x100})
            EXPECT_EQ(set(f.type, bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
        EXPECT_EQ(rc_of(f.type, id, nullptr), CM_PROGRAM_PARAMETER_CHECK);
        EXPECT_EQ(snapshot(c), before);
        for (CM_INT32 good : {0, 1, 2, 5}) {
            EXPECT_EQ(set(f.type, good), CM_OK) << good;
            EXPECT_EQ(c->SideInfo.ulSecurityType, static_cast<uint32_t>(good));
        }
        ASSERT_EQ(set(f.type, CM_SECURITY_PROGRAM), CM_OK);
        const std::string program = snapshot(c);
        for (CM_INT32 bad : {0, 11, -1}) {
            EXPECT_EQ(set(f.user, "ABCDEFGHIJK", bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
            EXPECT_EQ(set(f.password, "ABCDEFGHIJK", bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
        }
        CM_INT32 length = 4;
        unsigned char pass[4] = {'P', 'A', 'S', 'S'};
        EXPECT_EQ(rc_of(f.user, id, nullptr, &length), CM_PROGRAM_PARAMETER_CHECK);
        EXPECT_EQ(rc_of(f.password, id, pass, nullptr), CM_PROGRAM_PARAMETER_CHECK);
        EXPECT_EQ(snapshot(c), program);
        // Ten characters fill the field; a shorter ID is blank padded.
        EXPECT_EQ(set(f.password, "KLMNOPQRST"), CM_OK);
        EXPECT_EQ(bytes(c->SideInfo.SecurityPassword, 10), "\xD2\xD3\xD4\xD5\xD6\xD7\xD8\xD9\xE2\xE3");
        EXPECT_EQ(set(f.user, "ABCDEFGHIJ"), CM_OK);
        EXPECT_EQ(bytes(c->SideInfo.SecurityUserID, 10), "\xC1\xC2\xC3\xC4\xC5\xC6\xC7\xC8\xC9\xD1");
        EXPECT_EQ(c->SideInfo.usUserIDLen, 10);
        // The 10-character extract hands out all of it, the 8-character
        // ones eight characters and the stored length.
        EXPECT_EQ(user(CMESUI), UserOut(CM_OK, "ABCDEFGHIJ", 10));
        EXPECT_EQ(user(CMECSU), UserOut(CM_OK, "ABCDEFGH", 10));
        EXPECT_EQ(user(XCECSU), UserOut(CM_OK, "ABCDEFGH", 10));
        EXPECT_EQ(set(f.user, "A"), CM_OK);
        EXPECT_EQ(bytes(c->SideInfo.SecurityUserID, 10), "\xC1\x40\x40\x40\x40\x40\x40\x40\x40\x40");
        EXPECT_EQ(c->SideInfo.usUserIDLen, 1);
    }
}

TEST_F(Security, UserKeepsItsCaseAndLosesWhatTheSetCannotCarry) {
    CCCB *c = init();
    ASSERT_EQ(set(XCSCSU, "ab-c"), CM_OK);
    EXPECT_EQ(bytes(c->SideInfo.SecurityUserID, 4), std::string("\x81\x82\x00\x83", 4));
    // The hyphen comes back as a zero byte.
    EXPECT_EQ(user(CMESUI), UserOut(CM_OK, std::string("ab\0c", 4), 4));
}

TEST_F(Security, AfterAllocateOnlyTheExtractsAnswer) {
    init();
    ASSERT_EQ(set(CMSCST, CM_SECURITY_PROGRAM), CM_OK);
    ASSERT_EQ(set(CMSCSU, "user1"), CM_OK);
    ASSERT_EQ(set(CMSCSP, "secret"), CM_OK);
    ASSERT_EQ(rc_of(CMALLC, id), CM_OK);
    CCCB *c = find(id);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(c->ulConvId, 0u);
    const std::string before = snapshot(c);
    for (const Family &f : kFamilies) {
        EXPECT_EQ(set(f.type, CM_SECURITY_NONE), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(set(f.user, "OTHER"), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(set(f.password, "OTHER"), CM_PROGRAM_STATE_CHECK);
    }
    EXPECT_EQ(snapshot(c), before);
    EXPECT_EQ(type(CMECST), TypeOut(CM_OK, CM_SECURITY_PROGRAM));
    EXPECT_EQ(user(CMESUI), UserOut(CM_OK, "user1", 5));
    EXPECT_EQ(user(CMECSU), UserOut(CM_OK, "user1", 5));
}

TEST_F(Security, IncomingConversationTellsTypeButNotUser) {
    ASSERT_EQ(rc_of(CMINIC, id), CM_OK);
    EXPECT_EQ(type(CMECST), TypeOut(CM_OK, CM_SECURITY_SAME));
    EXPECT_EQ(type(XCECST), TypeOut(CM_OK, CM_SECURITY_SAME));
    for (BytesCall extract : {BytesCall{CMECSU}, BytesCall{CMESUI}, BytesCall{XCECSU}})
        EXPECT_EQ(user(extract), UserOut(CM_PROGRAM_STATE_CHECK, "", -1));
    // Nor can an incoming conversation take security values.
    EXPECT_EQ(set(CMSCST, CM_SECURITY_NONE), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(set(CMSCSU, "USER"), CM_PROGRAM_STATE_CHECK);
}

} // namespace
