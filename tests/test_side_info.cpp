// SPDX-License-Identifier: Apache-2.0
// The side-information directory over the node's NOF records, answered by
// the stand-in from a configuration file each test writes, and the X/Open
// calls that set, extract and delete entries.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "support.h"
#include "vcpic/cpiclook.h"
#include "zorvel/side_info.h"

namespace {

using namespace cpic_test;

constexpr CM_INT32 kEntryLength = 124;

// Definitions the node knows in most tests.
constexpr char kNodeDefinitions[] =
    "[[side_info]]\nsym_dest_name = \"PAYROLL\"\npartner_lu_name = \"NETA.LUB\"\ntp_name = \"PAYSERVER\"\n"
    "mode_name = \"#inter\"\nsecurity_type = \"program\"\nuser_id = \"clerk01\"\npassword = \"secret\"\n"
    "[[side_info]]\nsym_dest_name = \"SAME\"\npartner_lu_name = \"PARTNER1\"\nsecurity_type = \"same\"\n"
    "user_id = \"clerk02\"\nlocal_lu_alias = \"LOCAL1\"\n"
    "[[side_info]]\nsym_dest_name = \"TWODOTS\"\npartner_lu_name = \"A.B.CDE\"\n"
    "[[side_info]]\nsym_dest_name = \"SERVICE\"\ntp_name_type = \"sna_service\"\ntp_name = \"06F1F2F3\"\n";

std::string padded(const std::string &s, size_t n, char pad = ' ') {
    return s + std::string(n - s.size(), pad);
}

template <size_t N>
void put(unsigned char (&field)[N], const std::string &s) {
    memset(field, ' ', N);
    memcpy(field, s.data(), s.size());
}

std::string n(uint32_t v) {
    return std::to_string(v);
}

// The directory entry's fields, in order, text and lengths together.
std::string describe(const SideInfoEntry &e) {
    return bytes(e.SymDestName, 8) + "|" + n(e.usPLUNameQualified) + n(e.usPLUNetIdLen) + n(e.usPLUNameLen) +
           "|" + bytes(e.PartnerLUName, 17) + "|" + n(e.ulTPNameType) + "|" + bytes(e.TPName, 64) + "|" +
           n(e.usModeNameLen) + bytes(e.ModeName, 8) + "|" + n(e.ulSecurityType) + "|" + n(e.usUserIDLen) +
           bytes(e.SecurityUserID, 10) + "|" + bytes(e.SecurityPassword, 10) + "|" +
           bytes(e.SideInfoLocLUAlias, 8) + "|" + n(e.reserved2);
}
// The X/Open entry's fields, in order, including the reserved bytes.
std::string describe(const SIDE_INFO &x) {
    return bytes(x.sym_dest_name, 8) + "|" + bytes(x.partner_LU_name, 17) + "|" + bytes(x.reserved, 3) + "|" +
           n(x.TP_name_type) + "|" + bytes(x.TP_name, 64) + "|" + bytes(x.mode_name, 8) + "|" +
           n(x.conversation_security_type) + "|" + bytes(x.security_user_ID, 8) + "|" +
           bytes(x.security_password, 8);
}

SIDE_INFO xopen_entry(const std::string &name, const std::string &partner, CM_INT32 tp_type,
                      const std::string &tp, const std::string &mode, CM_INT32 security,
                      const std::string &user, const std::string &password) {
    SIDE_INFO e;
    memset(&e, 0x5A, sizeof e);
    put(e.sym_dest_name, name);
    put(e.partner_LU_name, partner);
    e.TP_name_type = tp_type;
    put(e.TP_name, tp);
    put(e.mode_name, mode);
    e.conversation_security_type = security;
    put(e.security_user_ID, user);
    put(e.security_password, password);
    return e;
}

class SideInfo : public cpic_test::LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        char name[] = "/tmp/cpic_side_info_XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = name;
        setenv("ZORVEL_CONFIG", path_.c_str(), 1);
        write(kNodeDefinitions);
    }
    void TearDown() override {
        LibraryTest::TearDown();
        std::remove(path_.c_str());
        unsetenv("ZORVEL_CONFIG");
    }

    void write(const char *text) {
        FILE *f = std::fopen(path_.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    }

    // Into `out`, filled with 'Z' first so that bytes never written show.
    static CM_INT32 extract(const char *name, SIDE_INFO &out, CM_INT32 length = kEntryLength,
                            CM_INT32 number = 0) {
        memset(&out, 0x5A, sizeof out);
        const std::string n = padded(name, 8);
        return rc_of(XCMESI, &number, reinterpret_cast<unsigned char *>(const_cast<char *>(n.data())), &out,
                     &length);
    }
    static CM_INT32 set(SIDE_INFO &in, CM_INT32 length = kEntryLength) {
        unsigned char key[8] = {};
        return rc_of(XCMSSI, key, &in, &length);
    }
    static CM_INT32 remove(const char *name) {
        const std::string n = padded(name, 8);
        unsigned char key[8] = {};
        return rc_of(XCMDSI, key, reinterpret_cast<unsigned char *>(const_cast<char *>(n.data())));
    }
    // The library's own view of a name, through the directory's entry.
    static uint32_t lookup(const char *name, SideInfoEntry &e) {
        memset(&e, 0, sizeof e);
        memcpy(e.SymDestName, padded(name, 8).data(), 8);
        cpic::ProcessLock lock;
        return SCD_main(kSideInfoLookup, &e);
    }
    static void init_library() {
        cpic::ProcessLock lock;
        ASSERT_EQ(SCD_main(0, nullptr), 0u);
        ASSERT_EQ(fInitCPIC, 1);
    }

    static uint32_t nof_verbs() {
        return zt_verbs_of(NOF_OPEN) + zt_verbs_of(NOF_QUERY_SIDE_INFO) + zt_verbs_of(NOF_CLOSE);
    }

    std::string path_;
    SIDE_INFO out; // what the extract call hands out
};

// ---- Lookup through the node, and the table in front of it ----------------

TEST_F(SideInfo, FirstLookupIssuesOpenQueryCloseAndTheSecondNone) {
    SIDE_INFO again;
    ASSERT_EQ(extract("PAYROLL", out), CM_OK);
    ASSERT_EQ(zt_verb_count(), 3u);

    const ZT_VERB *open = zt_verb(0), *query = zt_verb(1), *close = zt_verb(2);
    const auto u = [](auto v) { return static_cast<unsigned>(v); };
    EXPECT_EQ(std::make_tuple(open->kind, u(open->opcode), open->version, open->target, open->length,
                              u(open->image[12])),
              std::make_tuple(u(ZT_VERB_NOF), u(NOF_OPEN), u(NOF_VERSION), 0u, u(sizeof(NOF_OPEN_RECORD)),
                              NOF_OPEN_BYTE12));
    NOF_QUERY_RECORD q;
    memcpy(&q, query->image, sizeof q);
    EXPECT_EQ(
        std::make_tuple(u(query->opcode), u(q.hdr.format), u(q.buf_size), u(q.num_entries), u(q.node_byte28)),
        std::make_tuple(u(NOF_QUERY_SIDE_INFO), NOF_QUERY_FORMAT, NOF_ANSWER_OFFERED, NOF_QUERY_ONE_ENTRY,
                        NOF_QUERY_BYTE28));
    EXPECT_EQ(bytes(q.sym_dest_name, 8), "PAYROLL ");
    EXPECT_NE(q.buf_addr, nullptr);
    EXPECT_EQ(std::make_tuple(u(close->opcode), close->target), std::make_tuple(u(NOF_CLOSE), query->target))
        << "query and close use the open's handle";
    EXPECT_NE(query->target, 0u);

    ASSERT_EQ(extract("PAYROLL", again), CM_OK);
    EXPECT_EQ(zt_verb_count(), 3u) << "answered from the table";
    EXPECT_EQ(memcmp(&out, &again, sizeof out), 0);
    // Program security returns the user ID but never the password; reserved
    // bytes are not written.
    EXPECT_EQ(describe(out), "PAYROLL |" + padded("NETA.LUB", 17) + "|ZZZ|" + n(CM_APPLICATION_TP) + "|" +
                                 padded("PAYSERVER", 64) + "|#INTER  |" + n(CM_SECURITY_PROGRAM) +
                                 "|clerk01 |" + std::string(8, '\0'));
    EXPECT_EQ(zt_problem_count(), 0u);
}

TEST_F(SideInfo, NodeAnswerIsConvertedForTheDirectory) {
    SideInfoEntry e;
    ASSERT_EQ(lookup("PAYROLL", e), CM_OK);
    // Network ID of four, the period, an LU name of three; mode names are
    // upper case, user IDs keep their case.
    EXPECT_EQ(describe(e), "PAYROLL |148|\xD5\xC5\xE3\xC1\x4B\xD3\xE4\xC2" + std::string(9, '\x40') + "|" +
                               n(CM_APPLICATION_TP) + "|\xD7\xC1\xE8\xE2\xC5\xD9\xE5\xC5\xD9" +
                               std::string(55, '\x40') + "|6\x7B\xC9\xD5\xE3\xC5\xD9\x40\x40|" +
                               n(CM_SECURITY_PROGRAM) + "|7\x83\x93\x85\x99\x92\xF0\xF1\x40\x40\x40|" +
                               "\xA2\x85\x83\x99\x85\xA3\x40\x40\x40\x40|" + std::string(8, '\0') + "|0");

    // The last period separates the network ID; the first is converted like
    // any character of it, and type A has no period.
    ASSERT_EQ(lookup("TWODOTS", e), CM_OK);
    EXPECT_EQ(describe(e).substr(9, 21),
              "137|" + std::string("\xC1\x00\xC2\x4B\xC3\xC4\xC5", 7) + std::string(10, '\x40'));

    ASSERT_EQ(lookup("SERVICE", e), CM_OK);
    EXPECT_EQ(describe(e).substr(9, 88), "000|" + std::string(17, ' ') + "|" + n(CM_SNA_SERVICE_TP) +
                                             "|\x06\xF1\xF2\xF3" + std::string(60, '\x40'));
    ASSERT_EQ(extract("SERVICE", out), CM_OK);
    EXPECT_EQ(describe(out).substr(27, 71),
              "ZZZ|" + n(CM_SNA_SERVICE_TP) + "|\x06" + padded("123", 63) + "|");
}

TEST_F(SideInfo, SecuritySameExtractsNeitherUserNorPassword) {
    ASSERT_EQ(extract("SAME", out), CM_OK);
    EXPECT_EQ(std::make_tuple(out.conversation_security_type, bytes(out.security_user_ID, 16),
                              bytes(out.partner_LU_name, 17)),
              std::make_tuple(CM_SECURITY_SAME, std::string(16, 'Z'), padded("PARTNER1", 17)));

    // The directory itself keeps the user ID, and the alias as given.
    SideInfoEntry e;
    ASSERT_EQ(lookup("SAME", e), CM_OK);
    EXPECT_EQ(std::make_tuple(e.usUserIDLen, bytes(e.SecurityUserID, 7), bytes(e.SecurityPassword, 10),
                              bytes(e.SideInfoLocLUAlias, 8)),
              std::make_tuple(7, std::string("\x83\x93\x85\x99\x92\xF0\xF2"), std::string(10, '\0'),
                              std::string("LOCAL1  ")));
}

TEST_F(SideInfo, UnknownNameIsRefusedEveryTimeAndNeverCached) {
    EXPECT_EQ((Outcome{extract("NOSUCH", out), extract("NOSUCH", out), remove("NOSUCH")}),
              Outcome(3, CM_PROGRAM_PARAMETER_CHECK))
        << "unknown everywhere";
    EXPECT_EQ(std::make_tuple(zt_verbs_of(NOF_QUERY_SIDE_INFO), zt_verbs_of(NOF_CLOSE),
                              zt_live_table_entries(), zt_problem_count()),
              std::make_tuple(3u, 3u, 0u, 0u));
}

// ---- Argument checks ----------------------------------------------------------

TEST_F(SideInfo, ExtractChecksEntryNumberThenLength) {
    EXPECT_EQ(extract("PAYROLL", out, 123, 1), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(zt_problem_count(), 0u);
    EXPECT_EQ(extract("PAYROLL", out, 123), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(last_problem(), Rec(kProblemSideInfoEntryLength, 0, "l", "123"));
    EXPECT_EQ(nof_verbs(), 0u);
}

// Set checks the length (with a record) before the fields (without one).
TEST_F(SideInfo, SetChecksLengthThenFieldsAndNullArgumentsGive24) {
    SIDE_INFO in = xopen_entry("MYDEST", "", CM_APPLICATION_TP, "TP", "", CM_SECURITY_NONE, "", "");
    EXPECT_EQ(set(in, 123), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(last_problem(), Rec(kProblemSideInfoEntryLength, 1, "l", "123"));

    in.TP_name_type = 2;
    EXPECT_EQ(set(in), CM_PROGRAM_PARAMETER_CHECK);
    in.TP_name_type = CM_APPLICATION_TP;
    for (CM_INT32 refused : {3, 4, 6, -1}) {
        in.conversation_security_type = refused;
        EXPECT_EQ(set(in), CM_PROGRAM_PARAMETER_CHECK) << refused;
    }
    in.conversation_security_type = CM_SECURITY_PROGRAM_STRONG;
    in.sym_dest_name[0] = ' ';
    EXPECT_EQ(set(in), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(zt_live_table_entries(), 0u);

    unsigned char key[8], name[8] = {'P', 'A', 'Y', 'R', 'O', 'L', 'L', ' '};
    SIDE_INFO e = xopen_entry("MYDEST", "", CM_APPLICATION_TP, "TP", "", CM_SECURITY_NONE, "", "");
    CM_INT32 length = kEntryLength, zero = 0;
    EXPECT_EQ((Outcome{rc_of(XCMSSI, key, nullptr, &length), rc_of(XCMSSI, key, &e, nullptr),
                       rc_of(XCMESI, nullptr, name, &e, &length), rc_of(XCMESI, &zero, nullptr, &e, &length),
                       rc_of(XCMESI, &zero, name, nullptr, &length), rc_of(XCMESI, &zero, name, &e, nullptr),
                       rc_of(XCMDSI, key, nullptr)}),
              Outcome(7, CM_PROGRAM_PARAMETER_CHECK));
    EXPECT_EQ(std::make_tuple(nof_verbs(), zt_problem_count()), std::make_tuple(0u, 1u))
        << "field checks and null arguments write no record";
}

// ---- Set, delete, and the life of a name ------------------------------------------

TEST_F(SideInfo, SetEntryIsConvertedAndAnswersWithoutTheNode) {
    SIDE_INFO in = xopen_entry("MYDEST", "NETB.LUX", CM_APPLICATION_TP, "tp-one", "batch",
                               CM_SECURITY_PROGRAM, "Usr1", "pw");
    ASSERT_EQ(set(in), CM_OK);
    SideInfoEntry e;
    ASSERT_EQ(lookup("MYDEST", e), CM_OK);
    EXPECT_EQ(describe(e), "MYDEST  |148|\xD5\xC5\xE3\xC2\x4B\xD3\xE4\xE7" + std::string(9, '\x40') + "|" +
                               n(CM_APPLICATION_TP) + "|\xA3\x97\x60\x96\x95\x85" + std::string(58, '\x40') +
                               "|5\xC2\xC1\xE3\xC3\xC8\x40\x40\x40|" + n(CM_SECURITY_PROGRAM) +
                               "|4\xE4\xA2\x99\xF1\x40\x40\x40\x40" + std::string(2, '\0') +
                               "|\x97\xA6\x40\x40\x40\x40\x40\x40" + std::string(2, '\0') + "|" +
                               std::string(8, '\0') + "|0");
    ASSERT_EQ(extract("MYDEST", out), CM_OK);
    EXPECT_EQ(describe(out), "MYDEST  |" + padded("NETB.LUX", 17) + "|ZZZ|" + n(CM_APPLICATION_TP) + "|" +
                                 padded("tp-one", 64) + "|BATCH   |" + n(CM_SECURITY_PROGRAM) + "|Usr1    |" +
                                 std::string(8, '\0'));
    EXPECT_EQ(nof_verbs(), 0u) << "a name the program set never reaches the node";

    // A service TP keeps its first byte raw: the TP-name character set would
    // lose it; an alias is kept in ASCII.
    in = xopen_entry("SVC", "ALIAS1", CM_SNA_SERVICE_TP, "!ABC", "", CM_SECURITY_NONE, "", "");
    ASSERT_EQ(set(in), CM_OK);
    ASSERT_EQ(lookup("SVC", e), CM_OK);
    EXPECT_EQ(std::make_tuple(bytes(e.TPName, 4), e.usPLUNameQualified, bytes(e.PartnerLUName, 17)),
              std::make_tuple("\x21\xC1\xC2\xC3", 0, padded("ALIAS1", 17)));
}

// Deleting a name the node knows hides it, looked up before or not;
// deleting it again is refused, and setting it brings it back.
TEST_F(SideInfo, DeleteHidesANodeNameUntilSetAgain) {
    EXPECT_EQ(remove("PAYROLL"), CM_OK); // never looked up
    EXPECT_EQ(nof_verbs(), 3u);
    unsigned char name[8] = {'P', 'A', 'Y', 'R', 'O', 'L', 'L', ' '};
    EXPECT_EQ(rc_of(cminit, id, name), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(extract("PAYROLL", out), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(nof_verbs(), 3u) << "the marker answers without the node";

    ASSERT_EQ(extract("SAME", out), CM_OK); // cached
    EXPECT_EQ((Outcome{remove("SAME"), remove("SAME"), extract("SAME", out)}),
              (Outcome{CM_OK, CM_PROGRAM_PARAMETER_CHECK, CM_PROGRAM_PARAMETER_CHECK}));
    SIDE_INFO in =
        xopen_entry("SAME", "NEWLU", CM_APPLICATION_TP, "NEWTP", "MODE2", CM_SECURITY_NONE, "", "");
    ASSERT_EQ(set(in), CM_OK);
    ASSERT_EQ(extract("SAME", out), CM_OK);
    EXPECT_EQ(describe(out), "SAME    |" + padded("NEWLU", 17) + "|ZZZ|" + n(CM_APPLICATION_TP) + "|" +
                                 padded("NEWTP", 64) + "|MODE2   |" + n(CM_SECURITY_NONE) +
                                 "|ZZZZZZZZ|ZZZZZZZZ");
    EXPECT_EQ(std::make_tuple(nof_verbs(), zt_live_table_entries()), std::make_tuple(6u, 2u))
        << "only the first lookup of each name asked the node; one record serves a name throughout";
}

// ---- Node failures ------------------------------------------------------------

TEST_F(SideInfo, OpenFailureGives20WithoutQueryOrClose) {
    queue(NOF_OPEN, answer(0x0100, 0x01));
    EXPECT_EQ(extract("PAYROLL", out), CM_PRODUCT_SPECIFIC_ERROR);
    queue(NOF_OPEN, answer(0x0100, 0x01));
    EXPECT_EQ(remove("PAYROLL"), CM_PRODUCT_SPECIFIC_ERROR);
    // A malformed node configuration fails like any open.
    write("[[side_info]]\nsym_dest_name = \"PAYROLL\"\nsecurity_type = \"secret\"\n");
    EXPECT_EQ(extract("PAYROLL", out), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(
        std::make_tuple(zt_verbs_of(NOF_OPEN), zt_verbs_of(NOF_QUERY_SIDE_INFO), zt_verbs_of(NOF_CLOSE)),
        std::make_tuple(3u, 0u, 0u));
    EXPECT_EQ(problem_list(), (Problems{{kProblemNofOpenFailed, 0},
                                        {kProblemNofOpenFailed, 1},
                                        {ZT_PROBLEM_SIDE_INFO_FILE, zt_problem(2)->sequence},
                                        {kProblemNofOpenFailed, 0}}));
}

TEST_F(SideInfo, OtherQueryFailureGives20AndIsRecordedOnlyByDelete) {
    queue(NOF_QUERY_SIDE_INFO, answer(0x0100, 0x12345678));
    EXPECT_EQ(extract("PAYROLL", out), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(zt_problem_count(), 0u);
    EXPECT_EQ(zt_verbs_of(NOF_CLOSE), 1u);

    // Same primary, another secondary: not "no such name".
    queue(NOF_QUERY_SIDE_INFO, answer(0x0200, 0x12345678));
    EXPECT_EQ(remove("PAYROLL"), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(std::make_tuple(zt_problem_count(), last_problem()),
              std::make_tuple(1u, Rec(kProblemSideInfoQueryFailed, 1, "x lx", "0200 12345678")));
    EXPECT_EQ(std::make_tuple(zt_verbs_of(NOF_CLOSE), zt_live_table_entries()), std::make_tuple(2u, 0u));
}

// ---- Memory and table entries ---------------------------------------------------

TEST_F(SideInfo, CachingFailuresStillAnswer) {
    init_library();
    zt_fault(ZT_FAULT_TABLE_FULL, 1, 0);
    ASSERT_EQ(extract("PAYROLL", out), CM_OK);
    EXPECT_EQ(bytes(out.partner_LU_name, 8), "NETA.LUB");
    EXPECT_EQ(problem_list(), (Problems{{kProblemNoMemory, 87}}));
    EXPECT_EQ(zt_live_table_entries(), 0u);

    // No memory when caching is silent.
    zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
    SideInfoEntry e;
    EXPECT_EQ(lookup("PAYROLL", e), CM_OK);
    EXPECT_EQ(std::make_tuple(e.usPLUNameLen, zt_fault_hits(ZT_FAULT_MEM_ALLOC), zt_problem_count(),
                              zt_live_table_entries()),
              std::make_tuple(8, 1u, 1u, 0u));

    ASSERT_EQ(extract("PAYROLL", out), CM_OK);
    EXPECT_EQ(zt_verbs_of(NOF_QUERY_SIDE_INFO), 3u) << "nothing was cached before";
    EXPECT_EQ(zt_live_table_entries(), 1u);
}

TEST_F(SideInfo, SetAndDeleteWithoutMemoryOrTableEntry) {
    init_library();
    SIDE_INFO in = xopen_entry("MYDEST", "", CM_APPLICATION_TP, "TP", "", CM_SECURITY_NONE, "", "");
    for (const uint32_t fault : {ZT_FAULT_MEM_ALLOC, ZT_FAULT_TABLE_FULL}) {
        zt_fault(fault, 1, 0);
        EXPECT_EQ(set(in), CM_PRODUCT_SPECIFIC_ERROR) << fault;
        zt_fault(fault, 1, 0);
        EXPECT_EQ(remove("PAYROLL"), CM_PRODUCT_SPECIFIC_ERROR) << fault;
    }
    EXPECT_EQ(
        problem_list(),
        (Problems{
            {kProblemNoMemory, 5}, {kProblemNoMemory, 3}, {kProblemNoMemory, 6}, {kProblemNoMemory, 4}}));
    EXPECT_EQ(std::make_tuple(zt_verbs_of(NOF_CLOSE), zt_live_table_entries(), zt_live_blocks()),
              std::make_tuple(2u, 0u, 0u))
        << "the library holds nothing yet";
    EXPECT_EQ(extract("PAYROLL", out), CM_OK) << "no failure left a marker";
}

// ---- The directory entry and initialisation ---------------------------------------

TEST_F(SideInfo, DirectoryInitialisesTheLibraryOrGives20) {
    zt_fault(ZT_FAULT_TABLE_INIT, 1, 0);
    EXPECT_EQ(remove("PAYROLL"), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(fInitCPIC, 0);
    EXPECT_EQ(nof_verbs(), 0u);
    EXPECT_EQ(remove("PAYROLL"), CM_OK);
    EXPECT_EQ(fInitCPIC, 1);
}

} // namespace
