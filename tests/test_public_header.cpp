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

}  // namespace
