// The node stand-in's side-information file: what a NOF query answers for
// a configured name, and how each kind of mistake in the file fails the
// open with a problem record naming the file, the line and the reason.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "node/nof_records.h"
#include "node/verb_entry.h"
#include "zorvel/side_info.h"
#include "zorvel/zorvel_control.h"

namespace {

std::string at(const unsigned char *buffer, size_t offset, size_t n)
{
    return std::string(reinterpret_cast<const char *>(buffer) + offset, n);
}
uint32_t u32_at(const unsigned char *buffer, size_t offset)
{
    uint32_t v;
    std::memcpy(&v, buffer + offset, sizeof v);
    return v;
}

class SideInfoFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/zorvel_side_info_XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
        setenv("ZORVEL_SIDE_INFO", path.c_str(), 1);
        zt_reset();
    }
    void TearDown() override
    {
        std::remove(path.c_str());
        unsetenv("ZORVEL_SIDE_INFO");
        EXPECT_EQ(zt_live_blocks(), 0u);
        zt_reset();
    }

    void write(const std::string &text)
    {
        FILE *f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }

    NOF_OPEN_RECORD open()
    {
        NOF_OPEN_RECORD r;
        std::memset(&r, 0, sizeof r);
        r.hdr.opcode = NOF_OPEN;
        r.node_byte12 = NOF_OPEN_BYTE12;
        nof_version(NOF_VERSION, 0, &r);
        return r;
    }

    // Queries `name` into `buffer` (prefilled with 0xEE so untouched bytes
    // show), offering what the library offers.
    NOF_QUERY_RECORD query(const char *name, unsigned char (&buffer)[NOF_ANSWER_BUFFER_SIZE], uint32_t handle = 0)
    {
        std::memset(buffer, 0xEE, sizeof buffer);
        NOF_QUERY_RECORD q;
        std::memset(&q, 0, sizeof q);
        q.hdr.opcode = NOF_QUERY_SIDE_INFO;
        q.hdr.format = NOF_QUERY_FORMAT;
        q.buf_addr = buffer;
        q.buf_size = NOF_ANSWER_OFFERED;
        q.num_entries = NOF_QUERY_ONE_ENTRY;
        q.node_byte28 = NOF_QUERY_BYTE28;
        std::memset(q.sym_dest_name, ' ', sizeof q.sym_dest_name);
        std::memcpy(q.sym_dest_name, name, std::strlen(name));
        nof_version(NOF_VERSION, handle, &q);
        return q;
    }

    std::string path;
};

// ---- Answers ---------------------------------------------------------------

TEST_F(SideInfoFile, ConfiguredNameIsAnsweredAtTheDocumentedOffsets)
{
    write("# payroll over the backbone\n"
          "[[side_info]]\n"
          "sym_dest_name   = \"PAYROLL\"\n"
          "partner_lu_name = \"NETA.PAYLU\"\n"
          "tp_name         = \"PAY SERVER\"\n"
          "mode_name       = \"#INTER\"\n"
          "security_type   = \"program\"\n"
          "user_id         = \"CLERK01\"\n"
          "password        = \"SECRET\"\n"
          "local_lu_alias  = \"LOCAL1\"\n");
    const NOF_OPEN_RECORD o = open();
    ASSERT_EQ(o.hdr.primary_rc, 0u);
    ASSERT_NE(o.target_handle, 0u);

    unsigned char b[NOF_ANSWER_BUFFER_SIZE];
    const NOF_QUERY_RECORD q = query("PAYROLL", b, o.target_handle);
    EXPECT_EQ(q.hdr.primary_rc, 0u);
    EXPECT_EQ(q.hdr.secondary_rc, 0u);
    EXPECT_EQ(at(b, 2, 8), "PAYROLL ");
    EXPECT_EQ(at(b, 60, 17), "NETA.PAYLU       ");
    EXPECT_EQ(u32_at(b, 80), 0u);
    EXPECT_EQ(at(b, 84, 64), "PAY SERVER" + std::string(54, ' '));
    EXPECT_EQ(at(b, 148, 8), "#INTER  ");
    EXPECT_EQ(u32_at(b, 156), 2u);
    EXPECT_EQ(at(b, 160, 10), "CLERK01   ");
    EXPECT_EQ(at(b, 170, 10), "SECRET    ");
    EXPECT_EQ(at(b, 180, 8), "LOCAL1  ");
    // Only the offered 212 bytes are written.
    EXPECT_EQ(at(b, NOF_ANSWER_OFFERED, NOF_ANSWER_BUFFER_SIZE - NOF_ANSWER_OFFERED),
              std::string(NOF_ANSWER_BUFFER_SIZE - NOF_ANSWER_OFFERED, '\xEE'));
    EXPECT_EQ(zt_problem_count(), 0u);
}

TEST_F(SideInfoFile, DefaultsAreApplicationTpSecuritySameAndNoLocalAlias)
{
    write("[[side_info]]\nsym_dest_name = \"BARE\"\n");
    ASSERT_EQ(open().hdr.primary_rc, 0u);
    unsigned char b[NOF_ANSWER_BUFFER_SIZE];
    ASSERT_EQ(query("BARE", b).hdr.primary_rc, 0u);
    EXPECT_EQ(u32_at(b, 80), 0u);
    EXPECT_EQ(u32_at(b, 156), 1u);
    EXPECT_EQ(at(b, 60, 17), std::string(17, ' '));
    EXPECT_EQ(at(b, 148, 8), std::string(8, ' '));
    EXPECT_EQ(at(b, 160, 20), std::string(20, ' '));
    // Zeros, not blanks: blanks would name an alias.
    EXPECT_EQ(at(b, 180, 8), std::string(8, '\0'));
}

TEST_F(SideInfoFile, ServiceTpCarriesItsHexDigits)
{
    write("[[side_info]]\nsym_dest_name = \"SVC\"\ntp_name_type = \"sna_service\"\ntp_name = \"06F1F2F3\"\n"
          "security_type = \"program_strong\"\n");
    ASSERT_EQ(open().hdr.primary_rc, 0u);
    unsigned char b[NOF_ANSWER_BUFFER_SIZE];
    ASSERT_EQ(query("SVC", b).hdr.primary_rc, 0u);
    EXPECT_EQ(u32_at(b, 80), 1u);
    EXPECT_EQ(at(b, 84, 10), "06F1F2F3  ");
    EXPECT_EQ(u32_at(b, 156), 5u);
}

TEST_F(SideInfoFile, UnknownNameKeepsTheNoSuchNameAnswer)
{
    write("[[side_info]]\nsym_dest_name = \"PAYROLL\"\n");
    ASSERT_EQ(open().hdr.primary_rc, 0u);
    unsigned char b[NOF_ANSWER_BUFFER_SIZE];
    const NOF_QUERY_RECORD q = query("PAYROL", b);
    EXPECT_EQ(q.hdr.primary_rc, NOF_NO_SUCH_NAME_PRIMARY);
    EXPECT_EQ(q.hdr.secondary_rc, NOF_NO_SUCH_NAME_SECONDARY);
    EXPECT_EQ(at(b, 0, 16), std::string(16, '\xEE'));
}

TEST_F(SideInfoFile, MissingFileMeansNoDefinitions)
{
    setenv("ZORVEL_SIDE_INFO", (path + ".absent").c_str(), 1);
    const NOF_OPEN_RECORD o = open();
    EXPECT_EQ(o.hdr.primary_rc, 0u);
    EXPECT_NE(o.target_handle, 0u);
    unsigned char b[NOF_ANSWER_BUFFER_SIZE];
    EXPECT_EQ(query("PAYROLL", b).hdr.primary_rc, NOF_NO_SUCH_NAME_PRIMARY);
    EXPECT_EQ(zt_problem_count(), 0u);
}

TEST_F(SideInfoFile, EveryOpenReadsTheFileAgain)
{
    write("[[side_info]]\nsym_dest_name = \"FIRST\"\n");
    ASSERT_EQ(open().hdr.primary_rc, 0u);
    unsigned char b[NOF_ANSWER_BUFFER_SIZE];
    EXPECT_EQ(query("FIRST", b).hdr.primary_rc, 0u);

    write("[[side_info]]\nsym_dest_name = \"SECOND\"\n");
    ASSERT_EQ(open().hdr.primary_rc, 0u);
    EXPECT_EQ(query("FIRST", b).hdr.primary_rc, NOF_NO_SUCH_NAME_PRIMARY);
    EXPECT_EQ(query("SECOND", b).hdr.primary_rc, 0u);
}

TEST_F(SideInfoFile, ScriptedAnswersTakePrecedence)
{
    write("[[side_info]]\nsym_dest_name = \"PAYROLL\"\n");
    ZT_ANSWER a;
    std::memset(&a, 0, sizeof a);
    a.primary = 0x0100;
    a.secondary = 0x12345678;
    ASSERT_EQ(zt_queue_answer(NOF_QUERY_SIDE_INFO, &a), 0);
    ASSERT_EQ(open().hdr.primary_rc, 0u);
    unsigned char b[NOF_ANSWER_BUFFER_SIZE];
    const NOF_QUERY_RECORD scripted = query("PAYROLL", b);
    EXPECT_EQ(scripted.hdr.primary_rc, 0x0100u);
    EXPECT_EQ(scripted.hdr.secondary_rc, 0x12345678u);
    EXPECT_EQ(at(b, 2, 8), std::string(8, '\xEE'));
    // The script is used up: the file answers again.
    EXPECT_EQ(query("PAYROLL", b).hdr.primary_rc, 0u);

    // A scripted open succeeds over a malformed file, which still loads
    // nothing and is still reported.
    write("[[side_info]]\nsym_dest_name = 7\n");
    a.primary = 0;
    a.secondary = 0;
    ASSERT_EQ(zt_queue_answer(NOF_OPEN, &a), 0);
    EXPECT_EQ(open().hdr.primary_rc, 0u);
    EXPECT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(query("PAYROLL", b).hdr.primary_rc, NOF_NO_SUCH_NAME_PRIMARY);
}

// ---- Malformed files ----------------------------------------------------

struct Malformed {
    const char *what;
    const char *text;
    uint32_t sequence;
    int line;
    const char *reason; // "" when the parser's own words are the reason
};

const Malformed kMalformed[] = {
    {"bad type", "[[side_info]]\nsym_dest_name = \"PAY\"\nsecurity_type = 5\n", zv::kSideInfoContent, 3,
     "security_type must be a string"},
    {"name too long", "[[side_info]]\nsym_dest_name = \"PAYROLL01\"\n", zv::kSideInfoContent, 2,
     "sym_dest_name is longer than 8 characters"},
    {"tp name too long",
     "[[side_info]]\nsym_dest_name = \"PAY\"\n\ntp_name = \"TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT\"\n",
     zv::kSideInfoContent, 4, "tp_name is longer than 64 characters"},
    {"unknown key", "[[side_info]]\nsym_dest_name = \"PAY\"\ncolour = \"red\"\n", zv::kSideInfoContent, 3,
     "unknown key 'colour'"},
    {"unknown table", "[payroll]\nsym_dest_name = \"PAY\"\n", zv::kSideInfoContent, 1,
     "unknown key 'payroll' (only [[side_info]] tables)"},
    {"duplicate name",
     "[[side_info]]\nsym_dest_name = \"PAY\"\n\n[[side_info]]\nmode_name = \"#INTER\"\nsym_dest_name = \"PAY\"\n",
     zv::kSideInfoContent, 6, "sym_dest_name 'PAY' is defined twice (first on line 2)"},
    {"bad security type", "[[side_info]]\nsym_dest_name = \"PAY\"\nsecurity_type = \"secret\"\n",
     zv::kSideInfoContent, 3, "security_type must be one of none, same, program, program_strong"},
    {"bad TP name type", "[[side_info]]\nsym_dest_name = \"PAY\"\ntp_name_type = \"service\"\n",
     zv::kSideInfoContent, 3, "tp_name_type must be application or sna_service"},
    {"bad hex", "[[side_info]]\nsym_dest_name = \"SVC\"\ntp_name_type = \"sna_service\"\ntp_name = \"06G1\"\n",
     zv::kSideInfoContent, 4, "tp_name of an sna_service TP must be 2, 4, 6 or 8 hexadecimal digits"},
    {"odd hex", "[[side_info]]\nsym_dest_name = \"SVC\"\ntp_name = \"6F1\"\ntp_name_type = \"sna_service\"\n",
     zv::kSideInfoContent, 3, "tp_name of an sna_service TP must be 2, 4, 6 or 8 hexadecimal digits"},
    {"missing name", "[[side_info]]\nmode_name = \"#INTER\"\n", zv::kSideInfoContent, 1, "sym_dest_name is missing"},
    {"empty value", "[[side_info]]\nsym_dest_name = \"PAY\"\nuser_id = \"\"\n", zv::kSideInfoContent, 3,
     "user_id is empty"},
    {"blank in mode name", "[[side_info]]\nsym_dest_name = \"PAY\"\nmode_name = \"#IN TER\"\n",
     zv::kSideInfoContent, 3, "mode_name has a character outside A-Z a-z 0-9 $ # @"},
    {"long alias", "[[side_info]]\nsym_dest_name = \"PAY\"\npartner_lu_name = \"PAYROLLLU\"\n",
     zv::kSideInfoContent, 3, "partner_lu_name: an alias has at most 8 characters"},
    {"long LU name", "[[side_info]]\nsym_dest_name = \"PAY\"\npartner_lu_name = \"NET.PAYROLLLU\"\n",
     zv::kSideInfoContent, 3, "partner_lu_name: the LU name after the last period must be 1 to 8 of A-Z a-z 0-9 $ # @"},
    {"empty network ID part", "[[side_info]]\nsym_dest_name = \"PAY\"\npartner_lu_name = \"NET..LU\"\n",
     zv::kSideInfoContent, 3, "partner_lu_name: the network ID must be of A-Z a-z 0-9 $ # @"},
    {"side_info not an array", "side_info = \"PAY\"\n", zv::kSideInfoContent, 1,
     "side_info must be an array of tables ([[side_info]])"},
    {"TOML syntax error", "[[side_info]]\nsym_dest_name = \"PAY\nmode_name = \"#INTER\"\n", zv::kSideInfoSyntax, 2,
     ""},
};

class MalformedFile : public SideInfoFile, public ::testing::WithParamInterface<Malformed> {};

TEST_P(MalformedFile, FailsTheOpenAndNamesFileLineAndReason)
{
    const Malformed &m = GetParam();
    write(m.text);
    const NOF_OPEN_RECORD o = open();
    EXPECT_EQ(o.hdr.primary_rc, zv::kSideInfoOpenFailedPrimary);
    EXPECT_EQ(o.hdr.secondary_rc, zv::kSideInfoOpenFailedSecondary);
    EXPECT_EQ(o.target_handle, 0u) << "a failed open hands out no handle";

    ASSERT_EQ(zt_problem_count(), 1u);
    const ZT_RECORD *r = zt_problem(0);
    EXPECT_EQ(r->code, ZT_PROBLEM_SIDE_INFO_FILE);
    EXPECT_EQ(r->sequence, m.sequence);
    EXPECT_STREQ(r->format, "ca l ca");
    const std::string inserts = r->inserts;
    const std::string head = "\"" + path + "\" " + std::to_string(m.line) + " \"";
    EXPECT_EQ(inserts.substr(0, head.size()), head) << inserts;
    if (*m.reason != '\0')
        EXPECT_EQ(inserts.substr(head.size()), std::string(m.reason) + "\"");
    else
        EXPECT_GT(inserts.size(), head.size() + 1) << "the parser's reason is shown";
}

INSTANTIATE_TEST_SUITE_P(Each, MalformedFile, ::testing::ValuesIn(kMalformed),
                         [](const ::testing::TestParamInfo<Malformed> &info) {
                             std::string name;
                             for (const char *p = info.param.what; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST_F(SideInfoFile, MalformedFileIsNeverHalfLoaded)
{
    write("[[side_info]]\nsym_dest_name = \"GOOD\"\n");
    ASSERT_EQ(open().hdr.primary_rc, 0u);
    write("[[side_info]]\nsym_dest_name = \"GOOD\"\n[[side_info]]\nsym_dest_name = \"BAD\"\npassword = \"a b\"\n");
    EXPECT_EQ(open().hdr.primary_rc, zv::kSideInfoOpenFailedPrimary);
    unsigned char b[NOF_ANSWER_BUFFER_SIZE];
    EXPECT_EQ(query("GOOD", b).hdr.primary_rc, NOF_NO_SUCH_NAME_PRIMARY);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_NE(std::string(zt_problem(0)->inserts).find(" 5 \"password has a blank"), std::string::npos)
        << zt_problem(0)->inserts;
}

TEST_F(SideInfoFile, UnreadableFileFailsTheOpen)
{
    // A directory exists but cannot be read as a file.
    setenv("ZORVEL_SIDE_INFO", "/tmp", 1);
    EXPECT_EQ(open().hdr.primary_rc, zv::kSideInfoOpenFailedPrimary);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->sequence, zv::kSideInfoUnreadable);
    EXPECT_EQ(std::string(zt_problem(0)->inserts).rfind("\"/tmp\" 0 \"cannot be read", 0), 0u)
        << zt_problem(0)->inserts;
}

} // namespace
