// The security calls, CM and X/Open alike: which type admits which value,
// the order of their checks, the stored EBCDIC fields, the 8- and
// 10-character extracts, the states they answer in, and that the password
// never reaches the trace.
#include <cstdio>

#include "support.h"

namespace {

using namespace cpic_test;

const unsigned char kBlankName[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
constexpr unsigned char kFill = 0xAA;

using TypeCall = void (*)(unsigned char *, CM_INT32 *, CM_RETURN_CODE *);
using BytesCall = void (*)(unsigned char *, unsigned char *, CM_INT32 *, CM_RETURN_CODE *);

// Each set family: the CM call and its X/Open twin.
const TypeCall kSetType[] = {CMSCST, XCSCST};
const BytesCall kSetUserId[] = {CMSCSU, XCSCSU};
const BytesCall kSetPassword[] = {CMSCSP, XCSCSP};

class Security : public LibraryTest {
  protected:
    CCCB *init(unsigned char (&id)[8]) {
        CM_RETURN_CODE rc = -1;
        cminit(id, const_cast<unsigned char *>(kBlankName), &rc);
        EXPECT_EQ(rc, CM_OK);
        return find(id);
    }
    static std::string snapshot(const CCCB *c) { return bytes(c, sizeof *c); }

    static CM_INT32 set_type(TypeCall call, unsigned char *id, CM_INT32 type) {
        CM_RETURN_CODE rc = -1;
        call(id, &type, &rc);
        return rc;
    }
    static CM_INT32 set_bytes(BytesCall call, unsigned char *id, const std::string &text,
                              CM_INT32 length = -2) {
        std::string s = text;
        if (length == -2) length = static_cast<CM_INT32>(s.size());
        s.resize(64);  // the request trace dumps a whole field
        CM_RETURN_CODE rc = -1;
        call(id, reinterpret_cast<unsigned char *>(&s[0]), &length, &rc);
        return rc;
    }
    // The characters an extract wrote (up to `room`, the rest left as they
    // were) and the length it reported.
    static CM_INT32 get_user(BytesCall call, unsigned char *id, std::string &user, CM_INT32 &length) {
        unsigned char buffer[16];
        memset(buffer, kFill, sizeof buffer);
        length = -1;
        CM_RETURN_CODE rc = -1;
        call(id, buffer, &length, &rc);
        size_t n = 0;
        while (n < sizeof buffer && buffer[n] != kFill) ++n;
        user.assign(reinterpret_cast<char *>(buffer), n);
        return rc;
    }
    static CM_INT32 get_type(TypeCall call, unsigned char *id, CM_INT32 &type) {
        type = -1;
        CM_RETURN_CODE rc = -1;
        call(id, &type, &rc);
        return rc;
    }
};

TEST_F(Security, FreshConversationIsSecuritySameWithABlankUser) {
    unsigned char id[8];
    ASSERT_NE(init(id), nullptr);
    for (TypeCall extract : {TypeCall{CMECST}, TypeCall{XCECST}}) {
        CM_INT32 type = -1;
        EXPECT_EQ(get_type(extract, id, type), CM_OK);
        EXPECT_EQ(type, CM_SECURITY_SAME);
    }
    std::string user;
    CM_INT32 length = -1;
    EXPECT_EQ(get_user(CMECSU, id, user, length), CM_OK);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(user, " ");
}

TEST_F(Security, TypeDecidesWhetherUserAndPasswordMaySet) {
    for (int family = 0; family < 2; ++family) {
        unsigned char id[8];
        CCCB *c = init(id);
        ASSERT_EQ(set_type(kSetType[family], id, CM_SECURITY_NONE), CM_OK);
        const std::string before = snapshot(c);
        EXPECT_EQ(set_bytes(kSetUserId[family], id, "USER"), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(set_bytes(kSetUserId[family], id, "TOOLONGUSERID"), CM_PROGRAM_STATE_CHECK)
            << "the type is tested before the length";
        EXPECT_EQ(set_bytes(kSetPassword[family], id, "PW"), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(snapshot(c), before) << "nothing stored on refusal";

        ASSERT_EQ(set_type(kSetType[family], id, CM_SECURITY_PROGRAM), CM_OK);
        EXPECT_EQ(c->SideInfo.ulSecurityType, static_cast<uint32_t>(CM_SECURITY_PROGRAM));
        EXPECT_EQ(set_bytes(kSetUserId[family], id, "USER"), CM_OK);
        EXPECT_EQ(set_bytes(kSetPassword[family], id, "PW"), CM_OK);

        ASSERT_EQ(set_type(kSetType[family], id, CM_SECURITY_SAME), CM_OK);
        EXPECT_EQ(set_bytes(kSetUserId[family], id, "OTHER"), CM_OK) << "SAME takes a user ID";
        EXPECT_EQ(set_bytes(kSetPassword[family], id, "PW"), CM_PROGRAM_STATE_CHECK) << "but no password";

        ASSERT_EQ(set_type(kSetType[family], id, CM_SECURITY_PROGRAM_STRONG), CM_OK);
        EXPECT_EQ(set_bytes(kSetPassword[family], id, "PW2"), CM_OK);
        EXPECT_EQ(bytes(c->SideInfo.SecurityPassword, 10), "\xD7\xE6\xF2\x40\x40\x40\x40\x40\x40\x40");
        EXPECT_EQ(bytes(c->SideInfo.SecurityUserID, 10), "\xD6\xE3\xC8\xC5\xD9\x40\x40\x40\x40\x40")
            << "a change of type keeps what was set";
    }
}

TEST_F(Security, OnlyTheOfferedTypesCanBeSet) {
    for (TypeCall set : kSetType) {
        unsigned char id[8];
        CCCB *c = init(id);
        const std::string before = snapshot(c);
        for (CM_INT32 bad : {3, 4, 6, -1, 0x100}) {
            EXPECT_EQ(set_type(set, id, bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
        }
        CM_RETURN_CODE rc = -1;
        set(id, nullptr, &rc);
        EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
        EXPECT_EQ(snapshot(c), before);
        for (CM_INT32 good : {0, 1, 2, 5}) {
            EXPECT_EQ(set_type(set, id, good), CM_OK) << good;
            EXPECT_EQ(c->SideInfo.ulSecurityType, static_cast<uint32_t>(good));
        }
    }
}

TEST_F(Security, LengthsOneToTen) {
    for (int family = 0; family < 2; ++family) {
        unsigned char id[8];
        CCCB *c = init(id);
        ASSERT_EQ(set_type(kSetType[family], id, CM_SECURITY_PROGRAM), CM_OK);
        const std::string before = snapshot(c);
        for (CM_INT32 bad : {0, 11, -1}) {
            EXPECT_EQ(set_bytes(kSetUserId[family], id, "ABCDEFGHIJK", bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
            EXPECT_EQ(set_bytes(kSetPassword[family], id, "ABCDEFGHIJK", bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
        }
        CM_RETURN_CODE rc = -1;
        CM_INT32 length = 4;
        kSetUserId[family](id, nullptr, &length, &rc);
        EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
        kSetPassword[family](id, reinterpret_cast<unsigned char *>(const_cast<char *>("PASS")), nullptr, &rc);
        EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
        EXPECT_EQ(snapshot(c), before);

        EXPECT_EQ(set_bytes(kSetUserId[family], id, "ABCDEFGHIJ"), CM_OK);
        EXPECT_EQ(bytes(c->SideInfo.SecurityUserID, 10), "\xC1\xC2\xC3\xC4\xC5\xC6\xC7\xC8\xC9\xD1")
            << "ten characters fill the field";
        EXPECT_EQ(c->SideInfo.usUserIDLen, 10);
        EXPECT_EQ(set_bytes(kSetPassword[family], id, "KLMNOPQRST"), CM_OK);
        EXPECT_EQ(bytes(c->SideInfo.SecurityPassword, 10), "\xD2\xD3\xD4\xD5\xD6\xD7\xD8\xD9\xE2\xE3");
        EXPECT_EQ(set_bytes(kSetUserId[family], id, "A"), CM_OK);
        EXPECT_EQ(bytes(c->SideInfo.SecurityUserID, 10), "\xC1\x40\x40\x40\x40\x40\x40\x40\x40\x40")
            << "a shorter ID is blank padded";
        EXPECT_EQ(c->SideInfo.usUserIDLen, 1);
    }
}

TEST_F(Security, TenCharacterUserThroughEachExtract) {
    unsigned char id[8];
    init(id);
    ASSERT_EQ(set_type(CMSCST, id, CM_SECURITY_PROGRAM), CM_OK);
    ASSERT_EQ(set_bytes(CMSCSU, id, "ABCDEFGHIJ"), CM_OK);
    std::string user;
    CM_INT32 length = -1;
    EXPECT_EQ(get_user(CMESUI, id, user, length), CM_OK);
    EXPECT_EQ(user, "ABCDEFGHIJ");
    EXPECT_EQ(length, 10);
    for (BytesCall eight : {BytesCall{CMECSU}, BytesCall{XCECSU}}) {
        EXPECT_EQ(get_user(eight, id, user, length), CM_OK);
        EXPECT_EQ(user, "ABCDEFGH") << "eight characters written";
        EXPECT_EQ(length, 10) << "the stored length reported";
    }
}

TEST_F(Security, UserKeepsItsCaseAndLosesWhatTheSetCannotCarry) {
    unsigned char id[8];
    CCCB *c = init(id);
    ASSERT_EQ(set_bytes(XCSCSU, id, "ab-c"), CM_OK);
    EXPECT_EQ(bytes(c->SideInfo.SecurityUserID, 4), std::string("\x81\x82\x00\x83", 4));
    unsigned char buffer[10];
    memset(buffer, kFill, sizeof buffer);
    CM_INT32 length = -1;
    CM_RETURN_CODE rc = -1;
    CMESUI(id, buffer, &length, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(bytes(buffer, 5), std::string("ab\0c\xAA", 5)) << "the hyphen comes back as a zero byte";
}

TEST_F(Security, AfterAllocateOnlyTheExtractsAnswer) {
    unsigned char id[8];
    init(id);
    ASSERT_EQ(set_type(CMSCST, id, CM_SECURITY_PROGRAM), CM_OK);
    ASSERT_EQ(set_bytes(CMSCSU, id, "user1"), CM_OK);
    ASSERT_EQ(set_bytes(CMSCSP, id, "secret"), CM_OK);
    CM_RETURN_CODE rc = -1;
    CMALLC(id, &rc);
    ASSERT_EQ(rc, CM_OK);
    CCCB *c = find(id);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(c->ulConvId, 0u);

    const std::string before = snapshot(c);
    for (int family = 0; family < 2; ++family) {
        EXPECT_EQ(set_type(kSetType[family], id, CM_SECURITY_NONE), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(set_bytes(kSetUserId[family], id, "OTHER"), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(set_bytes(kSetPassword[family], id, "OTHER"), CM_PROGRAM_STATE_CHECK);
    }
    EXPECT_EQ(snapshot(c), before);

    CM_INT32 type = -1;
    EXPECT_EQ(get_type(CMECST, id, type), CM_OK);
    EXPECT_EQ(type, CM_SECURITY_PROGRAM);
    std::string user;
    CM_INT32 length = -1;
    EXPECT_EQ(get_user(CMESUI, id, user, length), CM_OK);
    EXPECT_EQ(user, "user1");
    EXPECT_EQ(get_user(CMECSU, id, user, length), CM_OK);
    EXPECT_EQ(user, "user1");
}

TEST_F(Security, IncomingConversationTellsTypeButNotUser) {
    unsigned char id[8];
    CM_RETURN_CODE rc = -1;
    CMINIC(id, &rc);
    ASSERT_EQ(rc, CM_OK);
    for (TypeCall extract : {TypeCall{CMECST}, TypeCall{XCECST}}) {
        CM_INT32 type = -1;
        EXPECT_EQ(get_type(extract, id, type), CM_OK);
        EXPECT_EQ(type, CM_SECURITY_SAME);
    }
    for (BytesCall extract : {BytesCall{CMECSU}, BytesCall{CMESUI}, BytesCall{XCECSU}}) {
        std::string user;
        CM_INT32 length = -1;
        EXPECT_EQ(get_user(extract, id, user, length), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(length, -1);
        EXPECT_EQ(user, "");
    }
    // Nor can an incoming conversation take security values.
    EXPECT_EQ(set_type(CMSCST, id, CM_SECURITY_NONE), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(set_bytes(CMSCSU, id, "USER"), CM_PROGRAM_STATE_CHECK);
}

TEST_F(Security, UnknownConversationWritesTheWorkersSequence) {
    unsigned char id[8];
    init(id);
    id[0] ^= 0x10;
    const struct {
        const char *name;
        uint32_t sequence;
        void (*call)(unsigned char *id, CM_RETURN_CODE *rc);
    } calls[] = {
        {"CMSCST", 37, [](unsigned char *i, CM_RETURN_CODE *rc) { CM_INT32 t = 0; CMSCST(i, &t, rc); }},
        {"XCSCST", 37, [](unsigned char *i, CM_RETURN_CODE *rc) { CM_INT32 t = 0; XCSCST(i, &t, rc); }},
        {"CMSCSU", 38, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[64] = {'U'}; CM_INT32 n = 1; CMSCSU(i, b, &n, rc); }},
        {"XCSCSU", 38, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[64] = {'U'}; CM_INT32 n = 1; XCSCSU(i, b, &n, rc); }},
        {"CMSCSP", 36, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[10] = {'P'}; CM_INT32 n = 1; CMSCSP(i, b, &n, rc); }},
        {"XCSCSP", 36, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[10] = {'P'}; CM_INT32 n = 1; XCSCSP(i, b, &n, rc); }},
        {"CMESUI", 35, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[10]; CM_INT32 n; CMESUI(i, b, &n, rc); }},
        {"CMECSU", 35, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[10]; CM_INT32 n; CMECSU(i, b, &n, rc); }},
        {"XCECSU", 35, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[10]; CM_INT32 n; XCECSU(i, b, &n, rc); }},
        {"CMECST", 39, [](unsigned char *i, CM_RETURN_CODE *rc) { CM_INT32 t; CMECST(i, &t, rc); }},
        {"XCECST", 34, [](unsigned char *i, CM_RETURN_CODE *rc) { CM_INT32 t; XCECST(i, &t, rc); }},
    };
    for (const auto &call : calls) {
        const uint32_t before = zt_problem_count();
        CM_RETURN_CODE rc = -1;
        call.call(id, &rc);
        EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK) << call.name;
        ASSERT_EQ(zt_problem_count(), before + 1) << call.name;
        EXPECT_EQ(zt_problem(before)->code, static_cast<uint32_t>(kProblemUnknownConversation));
        EXPECT_EQ(zt_problem(before)->sequence, call.sequence) << call.name;
        EXPECT_STREQ(zt_problem(before)->format, "ba");
    }
}

TEST_F(Security, PasswordNeverReachesTheTrace) {
    unsigned char id[8];
    init(id);
    ASSERT_EQ(set_type(XCSCST, id, CM_SECURITY_PROGRAM), CM_OK);
    set_trace(true);
    zt_trace_clear();
    ASSERT_EQ(set_bytes(CMSCSP, id, "HUSH01"), CM_OK);
    ASSERT_EQ(set_bytes(XCSCSP, id, "HUSH02"), CM_OK);
    ASSERT_EQ(set_bytes(CMSCSU, id, "WHO"), CM_OK);
    CM_INT32 type = -1;
    get_type(CMECST, id, type);
    set_trace(false);

    bool heading = false, user_line = false, type_line = false;
    for (uint32_t i = 0; i < zt_trace_line_count(); ++i) {
        const std::string line = zt_trace_line(i);
        EXPECT_EQ(line.find("HUSH"), std::string::npos) << line;
        // The password in EBCDIC would dump as C8 E4 E2 C8.
        EXPECT_EQ(line.find("C8 E4 E2 C8"), std::string::npos) << line;
        heading |= line == "CPIC XCSCSP request";
        user_line |= line == "CPIC  Security user ID length = 3";
        type_line |= line == "CPIC  Conversation security type = XC_SECURITY_PROGRAM";
    }
    EXPECT_TRUE(heading);
    EXPECT_TRUE(user_line) << "the user ID call shows its length";
    EXPECT_TRUE(type_line) << "the type extract shows the type";
}

}  // namespace
