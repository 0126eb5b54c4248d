// SPDX-License-Identifier: Apache-2.0
// The node's primary and secondary return codes turned into the CPI-C
// return code a program sees. Codes are compared as the host-order integers
// read from the verb record (stored most significant byte first).
#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpic_util.h"

namespace {

struct SecondaryRow {
    uint16_t primary;
    uint32_t secondary;
    CM_INT32 rc;
};

// Primaries whose meaning depends on the secondary code.
constexpr SecondaryRow kBySecondary[] = {
    {kPrimaryParameterCheck, 0x31000000, CM_PROGRAM_PARAMETER_CHECK},
    {kPrimaryParameterCheck, 0xF1000000, CM_PROGRAM_PARAMETER_CHECK},
    {kPrimaryParameterCheck, 0x5B010000, CM_PROGRAM_PARAMETER_CHECK},
    {kPrimaryParameterCheck, 0x17000000, CM_PARAMETER_ERROR},
    {kPrimaryParameterCheck, 0x18000000, CM_PARAMETER_ERROR},
    {kPrimaryAllocationError, 0x04000000, CM_ALLOCATE_FAILURE_NO_RETRY},
    {kPrimaryAllocationError, 0x05000000, CM_ALLOCATE_FAILURE_RETRY},
    {kPrimaryAllocationError, 0x34600810, CM_CONVERSATION_TYPE_MISMATCH},
    {kPrimaryAllocationError, 0x31600810, CM_PRODUCT_SPECIFIC_ERROR},
    {kPrimaryAllocationError, 0x51600F08, CM_SECURITY_NOT_VALID},
    {kPrimaryAllocationError, 0x16900000, CM_SECURITY_NOT_VALID},
    {kPrimaryAllocationError, 0x58600F08, CM_SECURITY_NOT_VALID},
    {kPrimaryAllocationError, 0x41600810, CM_SYNC_LEVEL_NOT_SUPPORTED_PGM},
    {kPrimaryAllocationError, 0x21600810, CM_TPN_NOT_RECOGNISED},
    {kPrimaryAllocationError, 0x00004C08, CM_TP_NOT_AVAILABLE_NO_RETRY},
    {kPrimaryAllocationError, 0x31604B08, CM_TP_NOT_AVAILABLE_RETRY},
};

// The security failures 0x00FF0F08 .. 0x0DFF0F08: bytes 08 0F FF nn.
constexpr uint32_t kSecurityRangeLow = 0x00FF0F08;
constexpr uint32_t kSecurityRangeStep = 0x01000000;
constexpr uint32_t kSecurityRangeCount = 14;

struct PrimaryRow {
    uint16_t primary;
    CM_INT32 rc;
};

// Primaries that decide alone.
constexpr PrimaryRow kByPrimary[] = {
    {kPrimaryStateCheck, CM_PROGRAM_STATE_CHECK},
    {kPrimaryDeallocAbend, CM_DEALLOCATED_ABEND},
    {kPrimaryDeallocAbendProg, CM_DEALLOCATED_ABEND},
    {kPrimaryDeallocAbendSvc, CM_DEALLOCATED_ABEND_SVC},
    {kPrimaryDeallocAbendTimer, CM_DEALLOCATED_ABEND_TIMER},
    {kPrimaryDeallocNormal, CM_DEALLOCATED_NORMAL},
    {kPrimaryProgErrorNoTrunc, CM_PROGRAM_ERROR_NO_TRUNC},
    {kPrimaryProgErrorTrunc, CM_PROGRAM_ERROR_TRUNC},
    {kPrimaryProgErrorPurging, CM_PROGRAM_ERROR_PURGING},
    {kPrimaryConvFailureRetry, CM_RESOURCE_FAILURE_RETRY},
    {kPrimaryConvFailureNoRetry, CM_RESOURCE_FAILURE_NO_RETRY},
    {kPrimarySvcErrorNoTrunc, CM_SVC_ERROR_NO_TRUNC},
    {kPrimarySvcErrorTrunc, CM_SVC_ERROR_TRUNC},
    {kPrimarySvcErrorPurging, CM_SVC_ERROR_PURGING},
    {kPrimaryUnsuccessful, CM_UNSUCCESSFUL},
};

constexpr CM_INT32 map(uint16_t primary, uint32_t secondary) {
    for (const SecondaryRow &row : kBySecondary)
        if (row.primary == primary && row.secondary == secondary) return row.rc;
    if (primary == kPrimaryAllocationError) {
        for (uint32_t i = 0; i < kSecurityRangeCount; ++i)
            if (secondary == kSecurityRangeLow + i * kSecurityRangeStep) return CM_SECURITY_NOT_VALID;
    }
    for (const PrimaryRow &row : kByPrimary)
        if (row.primary == primary) return row.rc;
    return CM_PRODUCT_SPECIFIC_ERROR;
}

static_assert(map(kPrimaryAllocationError, 0x0DFF0F08) == CM_SECURITY_NOT_VALID &&
                  map(kPrimaryAllocationError, 0x0EFF0F08) == CM_PRODUCT_SPECIFIC_ERROR,
              "the security range holds fourteen codes");

} // namespace

CPIC_EXTERN_C void SCC_map_return_codes(uint32_t *rc, uint16_t primary, uint32_t secondary, uint16_t opcode) {
    *rc = static_cast<uint32_t>(map(primary, secondary));
    if (*rc == static_cast<uint32_t>(CM_PRODUCT_SPECIFIC_ERROR))
        CPIC_PROBLEM(kProblemUnmappedReturnCode, 1, "x x lx", unsigned{opcode}, unsigned{primary}, secondary);
}
