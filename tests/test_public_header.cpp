// The public header seen from C++: integer widths and the X/Open entry
// layout, the CPI-C values of the generated constants, the name tables the
// maps yield, and the internal verb and node-code tables built on them.
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wpedantic"
#include <cpic.h>
#pragma GCC diagnostic pop

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <string>
#include <type_traits>

#include "vcpic/cpic_codes.h"

namespace {

template <std::size_t N>
using NameTable = std::array<const char *, N>;

// Built exactly as the trace builds its tables from the maps.
constexpr NameTable<138> kReturnCodeNames = [] {
    NameTable<138> t{};
    for (auto &name : t) name = "***UNKNOWN RC***";
#define XX(name, value) t[value] = "CM_" #name;
    CM_RETURN_CODE_MAP(XX)
#undef XX
    return t;
}();

constexpr NameTable<19> kStateNames = [] {
    NameTable<19> t{};
    for (auto &name : t) name = "***UNKNOWN CONVERSATION STATE***";
#define XX(name, value) t[value] = "CM_" #name;
    CM_CONVERSATION_STATE_MAP(XX)
#undef XX
    return t;
}();

constexpr NameTable<6> kSecurityNames = [] {
    NameTable<6> t{};
#define XX(name, value) t[value] = "XC_" #name;
    CM_CONVERSATION_SECURITY_TYPE_MAP(XX)
#undef XX
    return t;
}();

struct VerbRow {
    const char *upper;
    int params;
    int problem_seq;
    int has_routine;
};

constexpr std::array<VerbRow, kVerbCount> kVerbs = [] {
    std::array<VerbRow, kVerbCount> t{};
#define XX(index, upper, lower, params, seq, has) t[index] = VerbRow{#upper, params, seq, has};
    CPIC_VERB_MAP(XX)
#undef XX
    return t;
}();

TEST(PublicHeader, EveryProgramIntegerIs32Bits) {
    EXPECT_EQ(sizeof(CM_INT32), 4u);
    EXPECT_TRUE(std::is_signed<CM_INT32>::value);
    EXPECT_TRUE((std::is_same<CM_RETURN_CODE, CM_INT32>::value));
    EXPECT_TRUE((std::is_same<CM_SEND_TYPE, CM_INT32>::value));
    EXPECT_TRUE((std::is_same<XC_CONVERSATION_SECURITY_TYPE, CM_CONVERSATION_SECURITY_TYPE>::value));
    EXPECT_TRUE((std::is_same<XC_TP_NAME_TYPE, CM_TP_NAME_TYPE>::value));
}

TEST(PublicHeader, SideInformationEntryHasTheExchangedLayout) {
    EXPECT_EQ(sizeof(SIDE_INFO), 124u);
    EXPECT_EQ(offsetof(SIDE_INFO, partner_LU_name), 8u);
    EXPECT_EQ(offsetof(SIDE_INFO, TP_name_type), 28u);
    EXPECT_EQ(offsetof(SIDE_INFO, TP_name), 32u);
    EXPECT_EQ(offsetof(SIDE_INFO, mode_name), 96u);
    EXPECT_EQ(offsetof(SIDE_INFO, conversation_security_type), 104u);
    EXPECT_EQ(offsetof(SIDE_INFO, security_user_ID), 108u);
    EXPECT_EQ(offsetof(SIDE_INFO, security_password), 116u);
}

TEST(PublicHeader, ConstantsHaveTheStandardValues) {
    EXPECT_EQ(CM_OK, 0);
    EXPECT_EQ(CM_ALLOCATE_FAILURE_RETRY, 2);
    EXPECT_EQ(CM_DEALLOCATED_ABEND, 17);
    EXPECT_EQ(CM_DEALLOCATED_NORMAL, 18);
    EXPECT_EQ(CM_PRODUCT_SPECIFIC_ERROR, 20);
    EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, 24);
    EXPECT_EQ(CM_PROGRAM_STATE_CHECK, 25);
    EXPECT_EQ(CM_DEALLOCATED_ABEND_SVC, 30);
    EXPECT_EQ(CM_OPERATION_INCOMPLETE, 35);
    EXPECT_EQ(CM_OPERATION_NOT_ACCEPTED, 37);
    EXPECT_EQ(CM_TAKE_BACKOUT, 100);
    EXPECT_EQ(CM_INCLUDE_PARTNER_REJECT_BO, 137);

    EXPECT_EQ(CM_MAPPED_CONVERSATION, 1);
    EXPECT_EQ(CM_DEALLOCATE_ABEND, 3);
    EXPECT_EQ(CM_SEND_ERROR, 1);
    EXPECT_EQ(CM_CONFIRM, 1);
    EXPECT_EQ(CM_FILL_BUFFER, 1);
    EXPECT_EQ(CM_PREP_TO_RECEIVE_CONFIRM, 2);
    EXPECT_EQ(CM_RECEIVE_IMMEDIATE, 1);
    EXPECT_EQ(CM_SEND_AND_DEALLOCATE, 4);
    EXPECT_EQ(CM_IMMEDIATE, 1);
    EXPECT_EQ(CM_REQ_TO_SEND_RECEIVED, 1);
    EXPECT_EQ(CM_INCOMPLETE_DATA_RECEIVED, 3);
    EXPECT_EQ(CM_CONFIRM_DEALLOC_RECEIVED, 4);
    EXPECT_EQ(CM_JOINT_TRANSACTION, 12);
    EXPECT_EQ(CM_NON_BLOCKING, 1);
    EXPECT_EQ(CM_SOFT, 1);

    EXPECT_EQ(CM_INITIALIZE_STATE, 2);
    EXPECT_EQ(CM_SEND_PENDING_STATE, 5);
    EXPECT_EQ(CM_INITIALIZE_INCOMING_STATE, 14);
    EXPECT_EQ(CM_SEND_RECEIVE_STATE, 17);
    EXPECT_EQ(CM_PREPARED_STATE, 18);
}

TEST(PublicHeader, BothPrefixesAndBothSpellingsAgree) {
    EXPECT_EQ(XC_SECURITY_PROGRAM, 2);
    EXPECT_EQ(CM_SECURITY_PROGRAM, 2);
    EXPECT_EQ(XC_SECURITY_PROGRAM_STRONG, CM_SECURITY_PROGRAM_STRONG);
    EXPECT_EQ(XC_SECURITY_SAME, CM_SECURITY_SAME);
    EXPECT_EQ(XC_SNA_SERVICE_TP, 1);
    EXPECT_EQ(CM_SNA_SERVICE_TP, 1);
    EXPECT_EQ(XC_APPLICATION_TP, CM_APPLICATION_TP);
    EXPECT_EQ(CM_TPN_NOT_RECOGNIZED, 9);
    EXPECT_EQ(CM_TPN_NOT_RECOGNISED, 9);
}

TEST(ValueMaps, NameTablesPairEachNameWithItsValue) {
    EXPECT_STREQ(kReturnCodeNames[9], "CM_TPN_NOT_RECOGNISED");
    EXPECT_STREQ(kReturnCodeNames[18], "CM_DEALLOCATED_NORMAL");
    EXPECT_STREQ(kReturnCodeNames[25], "CM_PROGRAM_STATE_CHECK");
    EXPECT_STREQ(kReturnCodeNames[133], "CM_RESOURCE_FAIL_NO_RETRY_BO");
    for (int unassigned : {4, 12, 16, 29, 50, 99, 101, 129}) {
        EXPECT_STREQ(kReturnCodeNames[unassigned], "***UNKNOWN RC***") << unassigned;
    }

    EXPECT_STREQ(kStateNames[1], "***UNKNOWN CONVERSATION STATE***");
    EXPECT_STREQ(kStateNames[2], "CM_INITIALIZE_STATE");
    EXPECT_STREQ(kStateNames[14], "CM_INITIALIZE_INCOMING_STATE");
    EXPECT_STREQ(kStateNames[18], "CM_PREPARED_STATE");

    EXPECT_STREQ(kSecurityNames[0], "XC_SECURITY_NONE");
    EXPECT_STREQ(kSecurityNames[2], "XC_SECURITY_PROGRAM");
    EXPECT_STREQ(kSecurityNames[5], "XC_SECURITY_PROGRAM_STRONG");
}

TEST(VerbMap, RowsFollowTheVerbIndexes) {
    EXPECT_STREQ(kVerbs[0].upper, "CMACCP");
    EXPECT_STREQ(kVerbs[10].upper, "CMFLUS");
    EXPECT_STREQ(kVerbs[13].upper, "CMRCV");
    EXPECT_EQ(kVerbs[13].params, 8);
    EXPECT_STREQ(kVerbs[61].upper, "XCHWND");
    EXPECT_EQ(kVerbs[61].has_routine, 0);
    EXPECT_STREQ(kVerbs[62].upper, "CMSLLN");
    EXPECT_EQ(kVerbCMSLLN, 62);

    int routines = 0;
    for (const VerbRow &row : kVerbs) routines += row.has_routine;
    EXPECT_EQ(routines, 62);
}

// Calls that share one worker routine write the same problem record.
TEST(VerbMap, SharedWorkersShareTheirProblemSequence) {
    EXPECT_EQ(kVerbs[kVerbCMSCST].problem_seq, kVerbs[kVerbXCSCST].problem_seq);
    EXPECT_EQ(kVerbs[kVerbCMSCSU].problem_seq, kVerbs[kVerbXCSCSU].problem_seq);
    EXPECT_EQ(kVerbs[kVerbCMSCSP].problem_seq, kVerbs[kVerbXCSCSP].problem_seq);
    EXPECT_EQ(kVerbs[kVerbCMESUI].problem_seq, kVerbs[kVerbCMECSU].problem_seq);
    EXPECT_EQ(kVerbs[kVerbCMECSU].problem_seq, kVerbs[kVerbXCECSU].problem_seq);
    EXPECT_EQ(kVerbs[kVerbCMSLLN].problem_seq, kVerbs[kVerbCMSPLN].problem_seq);
    // Calls without a conversation ID to look up write no such record.
    for (VerbIndex v : {kVerbCMINIT, kVerbCMWAIT, kVerbCMCNVO, kVerbXCMSSI, kVerbCMTERM}) {
        EXPECT_EQ(kVerbs[v].problem_seq, -1) << kVerbs[v].upper;
    }
}

TEST(NodeCodes, OnlyTheEndingPrimariesEndAConversation) {
    for (uint16_t primary : {0x0300, 0x0500, 0x0600, 0x0700, 0x0800, 0x0900, 0x0F00, 0x1000, 0x2100}) {
        EXPECT_TRUE(IsConversationEnding(primary)) << std::hex << primary;
    }
    for (uint16_t primary : {0x0000, 0x0100, 0x0200, 0x0C00, 0x1400, 0x11F0, 0x0003}) {
        EXPECT_FALSE(IsConversationEnding(primary)) << std::hex << primary;
    }
}

}  // namespace
