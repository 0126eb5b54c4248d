// SPDX-License-Identifier: Apache-2.0
// API trace records, compared whole against the lines the node stand-in
// captured: headings and result texts, the detail lines of representative
// calls, value names and unknown values, the blank conversation, the trace
// switch and the trace file, and arguments that must never be read.
#include <cstdio>

#include "support.h"
#include "vcpic/semutrcp.h"

namespace {

using cpic_test::Lines;

template <typename T>
CPIC_WORD W(const T *p) {
    return reinterpret_cast<CPIC_WORD>(p);
}

std::string Ptr(const void *p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// The stand-in's dump rendering: offset, 16 hex groups, the bytes as text.
Lines DumpLines(const void *data, size_t n) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    Lines out;
    for (size_t offset = 0; offset < n; offset += 16) {
        char head[16];
        std::snprintf(head, sizeof head, "CPIC %04X  ", static_cast<unsigned>(offset));
        std::string hex, text;
        for (size_t i = offset; i < offset + 16; ++i) {
            char group[4] = "   ";
            if (i < n) {
                std::snprintf(group, sizeof group, "%02X ", bytes[i]);
                text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
            }
            hex += group;
        }
        out.push_back(head + hex + " " + text);
    }
    return out;
}

// An expected record: the separator, then each line with the trace prefix.
class Golden {
  public:
    Golden() { lines_.push_back(std::string("CPIC ") + ZT_TRACE_SEPARATOR); }
    Golden &operator()(const std::string &text) {
        lines_.push_back("CPIC " + text);
        return *this;
    }
    Golden &Dump(const void *data, size_t n) {
        const Lines dump = DumpLines(data, n);
        lines_.insert(lines_.end(), dump.begin(), dump.end());
        return *this;
    }
    operator Lines() const { return lines_; }

  private:
    Lines lines_;
};

// The lines one record adds to the trace.
Lines Record(uint32_t kind, uint32_t verb, const CCCB *cccb, CPIC_WORD a1 = 0, CPIC_WORD a2 = 0,
             CPIC_WORD a3 = 0, CPIC_WORD a4 = 0, CPIC_WORD a5 = 0, CPIC_WORD a6 = 0) {
    zt_trace_clear();
    seputrcp(kind, verb, cccb, a1, a2, a3, a4, a5, a6);
    return cpic_test::trace_lines();
}

std::string Heading(uint32_t verb, uint32_t kind, int32_t rc) {
    const Lines lines = Record(kind, verb, nullptr, W(&rc));
    return lines.size() > 1 ? lines[1] : "(no record)";
}

template <size_t N>
void Fill(unsigned char (&field)[N], const char *text, unsigned char pad = ' ') {
    std::memset(field, pad, N);
    std::memcpy(field, text, std::strlen(text));
}

const unsigned char kId[8] = {0x2A, 0x01, 0x00, 0x00, 0, 0, 0, 0};

class Trace : public ::testing::Test {
  protected:
    void SetUp() override {
        zt_reset();
        ptrc[0] |= 0x20;
    }
    void TearDown() override {
        EXPECT_EQ(zt_assert_count(), 0u) << "trace-file lock misused";
        EXPECT_EQ(zt_live_blocks(), 0u);
        zt_reset();
    }
};

// ---- Whole records ---------------------------------------------------------

TEST_F(Trace, InitializeResponseShowsTheNewConversation) {
    CCCB c{};
    c.ulConversationType = CM_MAPPED_CONVERSATION;
    c.ulDeallocateType = CM_DEALLOCATE_ABEND;
    c.ulErrorDirection = CM_SEND_ERROR;
    c.ulSyncLevel = CM_CONFIRM;
    c.ulFill = CM_FILL_BUFFER;
    c.ulPrepToReceiveType = CM_PREP_TO_RECEIVE_CONFIRM;
    c.ulReceiveType = CM_RECEIVE_IMMEDIATE;
    c.ulSendType = CM_SEND_AND_DEALLOCATE;
    c.SideInfo.ulSecurityType = XC_SECURITY_PROGRAM_STRONG;
    unsigned char log[5] = {'o', 'o', 'p', 's', '!'};
    c.LogData = log;
    c.usLogDataLen = sizeof log;
    std::memcpy(c.SideInfo.SymDestName, "PARTNER1", 8);
    Fill(c.SideInfo.PartnerLUName, "NETA.LU1");
    Fill(c.SideInfo.ModeName, "#INTER");
    Fill(c.SideInfo.TPName, "TPX");
    const int32_t rc = CM_OK;

    const Lines got = Record(kTraceResponse, kVerbCMINIT, &c, W(&rc), W(kId));
    EXPECT_EQ(got, Lines(Golden()("CMINIT response, result = CM_OK")(" Conversation ID = 2A010000")(
                             "Conversation characteristics")(" Conversation type = CM_MAPPED_CONVERSATION")(
                             " Deallocate type = CM_DEALLOCATE_ABEND")(" Error direction = CM_SEND_ERROR")(
                             " Sync level = CM_CONFIRM")(" Fill type = CM_FILL_BUFFER")(
                             " Prepare to receive type = CM_PREP_TO_RECEIVE_CONFIRM")(
                             " Receive type = CM_RECEIVE_IMMEDIATE")(" Send type = CM_SEND_AND_DEALLOCATE")(
                             " Conversation security type = XC_SECURITY_PROGRAM_STRONG")(
                             " Log data pointer = " + Ptr(log))(" Log data length = 5")(
                             " Sym dest name = PARTNER1")(" Partner LU name =")
                             .Dump(c.SideInfo.PartnerLUName, 17)(" Mode name =")
                             .Dump(c.SideInfo.ModeName, 8)(" Partner TP name =")
                             .Dump(c.SideInfo.TPName, 64)));
    // One dump line spelled out, so the expectation does not rest on DumpLines alone.
    ASSERT_EQ(got.size(), 26u);
    EXPECT_EQ(got[20], "CPIC 0000  23 49 4E 54 45 52 20 20 " + std::string(25, ' ') + "#INTER  ");
}

TEST_F(Trace, SideInformationEntryLines) {
    SIDE_INFO e;
    std::memset(&e, 0, sizeof e);
    std::memcpy(e.sym_dest_name, "SIDE1   ", 8);
    Fill(e.partner_LU_name, "NETA.LU1");
    e.TP_name_type = 2;
    Fill(e.TP_name, "TPNAME");
    Fill(e.mode_name, "#BATCH");
    e.conversation_security_type = XC_SECURITY_PROGRAM;
    Fill(e.security_user_ID, "USER1");
    Fill(e.security_password, "SECRET");
    const int32_t rc = CM_OK, length = 124;

    const Lines want =
        Golden()("XCMESI response, result = CM_OK")(" Sym dest name = SIDE1   ")(" Partner LU name =")
            .Dump(e.partner_LU_name, 17)(" TP name type = ***UNKNOWN TP_NAME_TYPE***")(" Partner TP name =")
            .Dump(e.TP_name, 64)(" Mode name =")
            .Dump(e.mode_name, 8)(" Conversation security type = XC_SECURITY_PROGRAM")(" Security user ID =")
            .Dump(e.security_user_ID, 8);
    const Lines got = Record(kTraceResponse, kVerbXCMESI, nullptr, W(&rc), W(&e));
    EXPECT_EQ(got, want); // so the password shows nowhere

    // Set_Side_Information shows the same entry, then its length.
    e.TP_name_type = XC_SNA_SERVICE_TP;
    const Lines set = Record(kTraceRequest, kVerbXCMSSI, nullptr, W("key"), W(&e), W(&length));
    ASSERT_EQ(set.size(), want.size() + 1);
    EXPECT_EQ(set[1], "CPIC XCMSSI request");
    EXPECT_EQ(set[6], "CPIC  TP name type = XC_SNA_SERVICE_TP");
    EXPECT_EQ(set.back(), "CPIC  Entry length = 124");

    const int32_t entry_number = 0;
    EXPECT_EQ(Record(kTraceRequest, kVerbXCMESI, nullptr, W(&entry_number), W("SIDE2   "), W(&length)),
              Lines(Golden()("XCMESI request")(" Sym dest name = SIDE2   ")(" Entry length = 124")));
}

TEST_F(Trace, NameCallsDumpExactlyTheNamedBytes) {
    CCCB c{};
    Fill(c.SideInfo.ModeName, "OLDMODE");
    const unsigned char mode[8] = {'N', 'E', 'W', 'M', 'O', 'D', 'E', ' '};
    const int32_t six = 6;
    // Only the six bytes named are read; the rest of the field shows blanks.
    const unsigned char six_of_mode[8] = {'N', 'E', 'W', 'M', 'O', 'D', ' ', ' '};
    EXPECT_EQ(Record(kTraceRequest, kVerbCMSMN, &c, W(kId), W(mode), W(&six)),
              Lines(Golden()("CMSMN request")(" Conversation ID = 2A010000")(" Mode name =")
                        .Dump(six_of_mode,
                              8)(" Mode name length = 6")("Conversation characteristics")(" Mode name =")
                        .Dump(c.SideInfo.ModeName, 8)));

    std::memcpy(c.LocLUAlias, "LOCALLU1", 8);
    const int32_t rc = CM_OK;
    EXPECT_EQ(
        Record(kTraceResponse, kVerbCMSLLN, &c, W(&rc)),
        Lines(Golden()("CMSLLN response, result = CM_OK")("Conversation characteristics")(" Local LU name =")
                  .Dump(c.LocLUAlias, 8)));

    const unsigned char tp[3] = {'T', 'P', '1'}; // no byte past the length may be read
    const std::string tp_shown = "TP1" + std::string(61, ' ');
    const int32_t three = 3;
    EXPECT_EQ(
        Record(kTraceRequest, kVerbCMSLTP, nullptr, W(tp), W(&three)),
        Lines(
            Golden()("CMSLTP request")(" Local TP name =").Dump(tp_shown.data(), 64)(" TP name length = 3")));

    const unsigned char context[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const int32_t eight = 8;
    EXPECT_EQ(Record(kTraceResponse, kVerbCMECTX, nullptr, W(&rc), W(context), W(&eight)),
              Lines(Golden()("CMECTX response, result = CM_OK")(" Context ID =")
                        .Dump(context, 8)(" Context ID length = 8")));
}

// ---- Result texts and value names -------------------------------------------

TEST_F(Trace, ResultTextOfTheHeading) {
    // Only the low 16 bits are shown, as a signed number.
    const std::pair<int32_t, const char *> rows[] = {
        {25, "CM_PROGRAM_STATE_CHECK"},        {4, "CM_***UNKNOWN RC***"},
        {137, "CM_INCLUDE_PARTNER_REJECT_BO"}, {138, "***UNKNOWN RC*** (rc=138)"},
        {0x10005, "***UNKNOWN RC*** (rc=5)"},  {40000, "***UNKNOWN RC*** (rc=-25536)"}};
    for (const auto &[rc, text] : rows)
        EXPECT_EQ(Heading(kVerbCMFLUS, kTraceResponse, rc),
                  std::string("CPIC CMFLUS response, result = ") + text);
    EXPECT_EQ(Heading(kVerbCMFLUS, 3, 18), "CPIC CMFLUS async response, result = CM_DEALLOCATED_NORMAL");
    EXPECT_EQ(Heading(kVerbCMFLUS, 0, 0), "CPIC CMFLUS async response, result = CM_OK");
}

TEST_F(Trace, ValuesBeyondTheirTable) {
    const int32_t rc = CM_OK;
    auto line = [&](uint16_t verb, int32_t value) {
        const Lines got = Record(kTraceResponse, verb, nullptr, W(&rc), W(&value));
        return got.size() == 3 ? got[2] : "(wrong record size)";
    };
    EXPECT_EQ(line(kVerbCMECT, 7), "CPIC  Conversation type = ***UNKNOWN CONVERSATION TYPE***");
    EXPECT_EQ(line(kVerbCMESL, -1), "CPIC  Sync level = ***UNKNOWN SYNC_LEVEL***");
    EXPECT_EQ(line(kVerbCMECST, 6),
              "CPIC  Conversation security type = ***UNKNOWN CONVERSATION_SECURITY_TYPE***");
    EXPECT_EQ(line(kVerbCMTRTS, 2), "CPIC  Request to send received = ***UNKNOWN REQ_TO_SEND TYPE***");
    EXPECT_EQ(line(kVerbCMECS, 2), "CPIC  Conversation state = CM_INITIALIZE_STATE");
    EXPECT_EQ(line(kVerbCMECS, 18), "CPIC  Conversation state = CM_PREPARED_STATE");
    EXPECT_EQ(line(kVerbCMECS, 19), "CPIC  Conversation state = ***UNKNOWN CONVERSATION STATE***");
    // 0 and 1 are slots of the state table, so they keep the prefix.
    EXPECT_EQ(line(kVerbCMECS, 1), "CPIC  Conversation state = CM_***UNKNOWN CONVERSATION STATE***");
    EXPECT_EQ(line(kVerbCMEMBS, 32767), "CPIC  Maximum buffer size = 32767");
    const int32_t mode = 2;
    EXPECT_EQ(Record(kTraceRequest, kVerbCMSPM, nullptr, W(kId), W(&mode))[3],
              "CPIC  Processing mode = ***UNKNOWN PROCESSING MODE***");
    CCCB c{};
    c.usProcessingMode = CM_NON_BLOCKING; // a 16-bit field of the conversation
    EXPECT_EQ(Record(kTraceResponse, kVerbCMSPM, &c, W(&rc)),
              Lines(Golden()("CMSPM response, result = CM_OK")("Conversation characteristics")(
                  " Processing mode = CM_NON_BLOCKING")));
}

// ---- Buffers ------------------------------------------------------------------

TEST_F(Trace, BufferDumpShowsAsManyBytesAsTheLengthSays) {
    const std::vector<unsigned char> big(40000, 'x');
    const std::string address = "---- Buffer at address " + Ptr(big.data()) + " ----";
    for (int32_t length : {32767, 32768, 40000})
        EXPECT_EQ(Record(kTraceRequest, kVerbCMCNVO, nullptr, 0, W(big.data()), W(&length)),
                  Lines(Golden()("CMCNVO request")(address).Dump(big.data(), size_t(length))));

    // A negative length describes no bytes: the address line and nothing more.
    const int32_t length = -1, rc = CM_PROGRAM_PARAMETER_CHECK;
    EXPECT_EQ(Record(kTraceResponse, kVerbCMCNVI, nullptr, W(&rc), W(big.data()), W(&length)),
              Lines(Golden()("CMCNVI response, result = CM_PROGRAM_PARAMETER_CHECK")(address)));
}

// ---- Arguments that must not be read ------------------------------------------

TEST_F(Trace, EveryVerbWritesItsHeadingWithNothingToRead) {
    const char *names[kVerbCount] = {};
#define NAME_ROW(index, upper, lower, params, seq, has) names[index] = #upper;
    CPIC_VERB_MAP(NAME_ROW)
#undef NAME_ROW
    for (uint32_t verb = 0; verb < kVerbCount; ++verb) {
        for (uint32_t kind : {1u, 2u, 3u}) {
            const Lines got = Record(kind, verb, nullptr);
            ASSERT_GE(got.size(), 2u) << verb;
            EXPECT_EQ(got[0], std::string("CPIC ") + ZT_TRACE_SEPARATOR);
            const std::string name = std::string("CPIC ") + names[verb];
            EXPECT_EQ(got[1], kind == 1   ? name + " request"
                              : kind == 2 ? name + " response, result = (null)"
                                          : name + " async response, result = (null)");
        }
    }
}

// ---- Switch and file ------------------------------------------------------------

TEST_F(Trace, NoTraceFileDropsTheRecordAndFreesTheLock) {
    zt_fault(ZT_FAULT_TRACE_OPEN, 1, 0);
    EXPECT_TRUE(Record(kTraceRequest, kVerbCMFLUS, nullptr, W(kId)).empty());
    EXPECT_EQ(trc_api.handle, TRC_NO_FILE);
    EXPECT_EQ(zt_fault_hits(ZT_FAULT_TRACE_OPEN), 1u);

    // Once a file is open the next record goes out; a lock still held from
    // the dropped record would be reported by the stand-in.
    sepuapi_init(ptrc);
    ASSERT_NE(trc_api.handle, TRC_NO_FILE);
    EXPECT_EQ(Record(kTraceRequest, kVerbCMFLUS, nullptr, W(kId)),
              Lines(Golden()("CMFLUS request")(" Conversation ID = 2A010000")));
}

} // namespace
