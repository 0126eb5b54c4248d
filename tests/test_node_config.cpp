// SPDX-License-Identifier: Apache-2.0
// The node configuration file: what a NOF query answers for a configured
// side-information name, what the engines get from the other tables, and
// how each kind of mistake fails the open with a problem record naming the
// file, the line and the reason, leaving the node as without a file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "node/nof_records.h"
#include "node/verb_entry.h"
#include "zorvel/side_info.h"
#include "zorvel/zorvel_control.h"

namespace {

using Answer = unsigned char[NOF_ANSWER_BUFFER_SIZE];

class SideInfoFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/zorvel_config_XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
        setenv("ZORVEL_CONFIG", path.c_str(), 1);
        zt_reset();
    }
    void TearDown() override {
        std::remove(path.c_str());
        unsetenv("ZORVEL_CONFIG");
        EXPECT_EQ(zt_live_blocks(), 0u);
        zt_reset();
    }

    void write(const std::string &text) { ASSERT_TRUE(std::ofstream(path) << text); }

    NOF_OPEN_RECORD open() {
        NOF_OPEN_RECORD r{};
        r.hdr.opcode = NOF_OPEN;
        r.node_byte12 = NOF_OPEN_BYTE12;
        nof_version(NOF_VERSION, 0, &r);
        return r;
    }

    // The answer's primary code for `name`, queried as the library does.
    uint16_t query_rc(const char *name) {
        Answer buffer;
        NOF_QUERY_RECORD q{};
        q.hdr.opcode = NOF_QUERY_SIDE_INFO;
        q.hdr.format = NOF_QUERY_FORMAT;
        q.buf_addr = buffer;
        q.buf_size = NOF_ANSWER_OFFERED;
        q.num_entries = NOF_QUERY_ONE_ENTRY;
        q.node_byte28 = NOF_QUERY_BYTE28;
        std::memset(q.sym_dest_name, ' ', sizeof q.sym_dest_name);
        std::memcpy(q.sym_dest_name, name, std::strlen(name));
        nof_version(NOF_VERSION, 0, &q);
        return q.hdr.primary_rc;
    }

    std::string path;
};

// ---- Every rule: accepted files and what the engines see, refused ones ----

#define PAY "[[side_info]]\nsym_dest_name = \"PAY\"\n"
#define SVC "[[side_info]]\nsym_dest_name = \"SVC\"\n"
#define LU_A "[[local_lu]]\nalias = \"A\"\nname = \"NET.A\"\n"
#define TP_T "[[tp]]\nname = \"T\"\n"
#define USER "[[user]]\nuser_id = \"CLERK\"\n"
const char kBadHex[] = "tp_name of an sna_service TP must be 2, 4, 6 or 8 hexadecimal digits";
const char kWithoutFile[] = "lu LOCAL ZORVEL.LOCAL default";
constexpr int kAccepted = -1;

struct Rule {
    const char *text;
    int line;           // kAccepted, or where the mistake is named
    const char *expect; // accepted: zt_node_config(); refused: the reason ("" the parser's)
};

const Rule kRules[] = {
    {"", kAccepted, kWithoutFile},
    {PAY, kAccepted, kWithoutFile},
    {LU_A "[[local_lu]]\nalias = \"B\"\nname = \"NET.B\"\n", kAccepted, "lu A NET.A default; lu B NET.B"},
    {LU_A "[[local_lu]]\nalias = \"B\"\nname = \"NET.B\"\ndefault = true\n", kAccepted,
     "lu A NET.A; lu B NET.B default"},
    {"[[tp]]\nname = \"PAY SERVER\"\n", kAccepted,
     "lu LOCAL ZORVEL.LOCAL default; tp PAY SERVER either either none 10000 - - 0"},
    {TP_T "conversation_type = \"mapped\"\nsync_level = \"confirm\"\nsecurity = "
          "\"required\"\nqueue_timeout_ms = 0\n"
          "path = \"/bin/t\"\nargs = [\"-v\", \"x\"]\nmax_instances = 3\n",
     kAccepted, "lu LOCAL ZORVEL.LOCAL default; tp T mapped confirm required 0 /bin/t -v,x 3"},
    {USER "password_hash = \"$6$rounds=5000$salt$abc/def\"\n[[user]]\nuser_id = \"X\"\npassword_hash = "
          "\"abJnggxhB/yWI\"\n",
     kAccepted,
     "lu LOCAL ZORVEL.LOCAL default; user CLERK $6$rounds=5000$salt$abc/def; user X abJnggxhB/yWI"},
    // The side information.
    {PAY "security_type = 5\n", 3, "security_type must be a string"},
    {"[[side_info]]\nsym_dest_name = \"PAYROLL01\"\n", 2, "sym_dest_name is longer than 8 characters"},
    {PAY "\ntp_name = \"TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT\"\n", 4,
     "tp_name is longer than 64 characters"},
    {PAY "colour = \"red\"\n", 3, "unknown key 'colour'"},
    {PAY "\n[[side_info]]\nmode_name = \"#INTER\"\nsym_dest_name = \"PAY\"\n", 6,
     "sym_dest_name 'PAY' is defined twice (first on line 2)"},
    {PAY "security_type = \"secret\"\n", 3,
     "security_type must be one of none, same, program, program_strong"},
    {PAY "tp_name_type = \"service\"\n", 3, "tp_name_type must be application or sna_service"},
    {SVC "tp_name_type = \"sna_service\"\ntp_name = \"06G1\"\n", 4, kBadHex},
    {SVC "tp_name = \"6F1\"\ntp_name_type = \"sna_service\"\n", 3, kBadHex},
    {"[[side_info]]\nmode_name = \"#INTER\"\n", 1, "sym_dest_name is missing"},
    {PAY "user_id = \"\"\n", 3, "user_id is empty"},
    {PAY "mode_name = \"#IN TER\"\n", 3, "mode_name has a character outside A-Z a-z 0-9 $ # @"},
    {PAY "partner_lu_name = \"PAYROLLLU\"\n", 3, "partner_lu_name: an alias has at most 8 characters"},
    {PAY "partner_lu_name = \"NET.PAYROLLLU\"\n", 3,
     "partner_lu_name: the LU name after the last period must be 1 to 8 of A-Z a-z 0-9 $ # @"},
    {PAY "partner_lu_name = \"NET..LU\"\n", 3,
     "partner_lu_name: the network ID must be of A-Z a-z 0-9 $ # @"},
    // The file's shape.
    {"[payroll]\nsym_dest_name = \"PAY\"\n", 1,
     "unknown key 'payroll' (only [[side_info]], [[local_lu]], [[tp]] and [[user]] tables)"},
    {"side_info = \"PAY\"\n", 1, "side_info must be an array of tables ([[side_info]])"},
    {"tp = [\"T\"]\n", 1, "tp must be an array of tables ([[tp]])"},
    {"[[side_info]]\nsym_dest_name = \"PAY\nmode_name = \"#INTER\"\n", 2, ""},
    // Local LUs.
    {"[[local_lu]]\nname = \"NET.A\"\n", 1, "alias is missing"},
    {"[[local_lu]]\nalias = \"A\"\n", 1, "name is missing"},
    {"[[local_lu]]\nalias = \"ABCDEFGHI\"\n", 2, "alias is longer than 8 characters"},
    {"[[local_lu]]\nalias = \"A B\"\n", 2, "alias has a blank or a character that is not printable"},
    {"[[local_lu]]\nname = \"NETA\"\n", 2,
     "name must be NETID.LUNAME, 1 to 8 of A-Z a-z 0-9 $ # @ on each side of the period"},
    {"[[local_lu]]\nname = \"NET.A.B\"\n", 2,
     "name must be NETID.LUNAME, 1 to 8 of A-Z a-z 0-9 $ # @ on each side of the period"},
    {LU_A "default = \"yes\"\n", 4, "default must be true or false"},
    {LU_A "default = true\n[[local_lu]]\nalias = \"B\"\nname = \"NET.B\"\ndefault = true\n", 5,
     "a second default local_lu (the first is on line 1)"},
    {LU_A "[[local_lu]]\nalias = \"A\"\nname = \"NET.B\"\n", 5,
     "local_lu alias 'A' is defined twice (first on line 1)"},
    {LU_A "[[local_lu]]\nalias = \"B\"\nname = \"NET.A\"\n", 6,
     "local_lu name 'NET.A' is defined twice (first on line 1)"},
    {LU_A "lu = \"A\"\n", 4, "unknown key 'lu' in [[local_lu]]"},
    // TP definitions.
    {"[[tp]]\nsecurity = \"none\"\n", 1, "name is missing"},
    {"[[tp]]\nname = \" T\"\n", 2, "name starts with a blank"},
    {"[[tp]]\nname = \"TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT\"\n", 2,
     "name is longer than 64 characters"},
    {TP_T "conversation_type = \"full\"\n", 3, "conversation_type must be basic, mapped or either"},
    {TP_T "sync_level = \"syncpt\"\n", 3, "sync_level must be none, confirm or either"},
    {TP_T "security = \"program\"\n", 3, "security must be none or required"},
    {TP_T "queue_timeout_ms = -1\n", 3, "queue_timeout_ms must be from 0 to 4294967295"},
    {TP_T "queue_timeout_ms = \"10\"\n", 3, "queue_timeout_ms must be an integer"},
    {TP_T "max_instances = 4294967296\n", 3, "max_instances must be from 0 to 4294967295"},
    {TP_T "path = \"bin/t\"\n", 3, "path must be an absolute file name"},
    {TP_T "args = [\"-v\", 1]\n", 3, "args must be an array of strings"},
    {TP_T "args = \"-v\"\n", 3, "args must be an array of strings"},
    {TP_T "[[tp]]\nname = \"T\"\n", 4, "tp 'T' is defined twice (first on line 1)"},
    {TP_T "program = \"t\"\n", 3, "unknown key 'program' in [[tp]]"},
    // Users.
    {"[[user]]\npassword_hash = \"abJnggxhB/yWI\"\n", 1, "user_id is missing"},
    {USER, 1, "password_hash is missing"},
    {"[[user]]\nuser_id = \"CLERK NO 1\"\n", 2, "user_id has a blank or a character that is not printable"},
    {"[[user]]\nuser_id = \"CLERKNUMBER\"\n", 2, "user_id is longer than 10 characters"},
    {USER "password_hash = \"secret\"\n", 3, "password_hash must be in crypt(3) form ($id$salt$hash)"},
    {USER "password_hash = \"$6$salt\"\n", 3, "password_hash must be in crypt(3) form ($id$salt$hash)"},
    {USER "password = \"secret\"\n", 3, "unknown key 'password' in [[user]]"},
    {USER "password_hash = \"abJnggxhB/yWI\"\n" USER "password_hash = \"abJnggxhB/yWI\"\n", 5,
     "user_id 'CLERK' is defined twice (first on line 1)"},
};

void PrintTo(const Rule &r, std::ostream *os) {
    *os << r.text;
}

class ConfigRule : public SideInfoFile, public ::testing::WithParamInterface<Rule> {};

TEST_P(ConfigRule, AcceptedOrRefusedWholeWithFileLineAndReason) {
    const Rule &r = GetParam();
    write(r.text);
    const NOF_OPEN_RECORD o = open();
    if (r.line == kAccepted) {
        EXPECT_EQ(o.hdr.primary_rc, 0u);
        EXPECT_EQ(zt_problem_count(), 0u) << (zt_problem_count() ? zt_problem(0)->inserts : "");
        EXPECT_STREQ(zt_node_config(), r.expect);
        return;
    }
    EXPECT_EQ(o.hdr.primary_rc, zv::kSideInfoOpenFailedPrimary);
    EXPECT_EQ(o.hdr.secondary_rc, zv::kSideInfoOpenFailedSecondary);
    EXPECT_EQ(o.target_handle, 0u) << "a failed open hands out no handle";
    EXPECT_STREQ(zt_node_config(), kWithoutFile) << "nothing is taken from a refused file";

    ASSERT_EQ(zt_problem_count(), 1u);
    const ZT_RECORD *p = zt_problem(0);
    EXPECT_EQ(p->code, ZT_PROBLEM_CONFIG_FILE);
    EXPECT_EQ(p->sequence, *r.expect ? zv::kConfigContent : zv::kConfigSyntax);
    EXPECT_STREQ(p->format, "ca l ca");
    const std::string inserts = p->inserts;
    const std::string head = "\"" + path + "\" " + std::to_string(r.line) + " \"";
    EXPECT_EQ(inserts.substr(0, head.size()), head) << inserts;
    if (*r.expect != '\0')
        EXPECT_EQ(inserts.substr(head.size()), std::string(r.expect) + "\"");
    else
        EXPECT_GT(inserts.size(), head.size() + 1) << "the parser's reason is shown";
}

INSTANTIATE_TEST_SUITE_P(Each, ConfigRule, ::testing::ValuesIn(kRules));

// Every open reads the file again: a missing one means no definitions, what
// a file holds now replaces what it held, and a refused file is never half
// loaded.
TEST_F(SideInfoFile, EveryOpenReadsTheFileAgain) {
    setenv("ZORVEL_CONFIG", (path + ".absent").c_str(), 1);
    const NOF_OPEN_RECORD o = open();
    EXPECT_EQ(o.hdr.primary_rc, 0u);
    EXPECT_NE(o.target_handle, 0u);
    EXPECT_EQ(query_rc("PAY"), NOF_NO_SUCH_NAME_PRIMARY);
    setenv("ZORVEL_CONFIG", path.c_str(), 1);
    write(PAY);
    ASSERT_EQ(open().hdr.primary_rc, 0u);
    EXPECT_EQ(query_rc("PAY"), 0u);
    write(SVC);
    ASSERT_EQ(open().hdr.primary_rc, 0u);
    EXPECT_EQ(query_rc("PAY"), NOF_NO_SUCH_NAME_PRIMARY);
    EXPECT_EQ(query_rc("SVC"), 0u);
    EXPECT_EQ(zt_problem_count(), 0u);
    write(SVC "[[side_info]]\nsym_dest_name = \"BAD\"\npassword = \"a b\"\n");
    EXPECT_EQ(open().hdr.primary_rc, zv::kSideInfoOpenFailedPrimary);
    EXPECT_EQ(query_rc("SVC"), NOF_NO_SUCH_NAME_PRIMARY);

    // A directory exists but cannot be read as a file.
    setenv("ZORVEL_CONFIG", "/tmp", 1);
    EXPECT_EQ(open().hdr.primary_rc, zv::kSideInfoOpenFailedPrimary);
    ASSERT_EQ(zt_problem_count(), 2u); // the refused file's, then this one
    EXPECT_EQ(zt_problem(1)->sequence, zv::kConfigUnreadable);
    EXPECT_EQ(std::string(zt_problem(1)->inserts).rfind("\"/tmp\" 0 \"cannot be read", 0), 0u)
        << zt_problem(1)->inserts;
}

} // namespace
