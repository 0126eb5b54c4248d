/* SPDX-License-Identifier: Apache-2.0 */
// The node's return codes and the SNA sense codes it sends and answers
// with, each listed once.
//
// Primary codes are the node's own values (0x0003 allocation error); the
// verb codec stores them most significant byte first, so the library reads
// 0x0003 as the host-order integer 0x0300. Sense codes are the four bytes
// of the SNA sense, 0x10086021 landing as the bytes 10 08 60 21.
#ifndef ZORVEL_LU62_CODES_H
#define ZORVEL_LU62_CODES_H

#include <cstdint>

namespace zv::lu62 {

namespace primary {
constexpr uint16_t kOk = 0x0000;
constexpr uint16_t kParameterCheck = 0x0001;
constexpr uint16_t kStateCheck = 0x0002;
constexpr uint16_t kAllocationError = 0x0003;
constexpr uint16_t kDeallocAbend = 0x0005;     // partner abended, mapped
constexpr uint16_t kDeallocAbendProg = 0x0006; // partner abended, basic
constexpr uint16_t kDeallocAbendSvc = 0x0007;  // partner's node cleaned its TP up
constexpr uint16_t kDeallocAbendTimer = 0x0008;
constexpr uint16_t kDeallocNormal = 0x0009;
constexpr uint16_t kProgramErrorNoTrunc = 0x000C;
constexpr uint16_t kProgramErrorTrunc = 0x000D;
constexpr uint16_t kProgramErrorPurging = 0x000E;
constexpr uint16_t kResourceFailureRetry = 0x000F;
constexpr uint16_t kResourceFailureNoRetry = 0x0010;
constexpr uint16_t kUnsuccessful = 0x0014;
constexpr uint16_t kCancelled = 0x0021;
} // namespace primary

// Secondary codes of parameter checks (the library tells 0xF1 and two
// others from the rest).
namespace secondary {
constexpr uint32_t kBadTpId = 0x00000001;
constexpr uint32_t kBadConvId = 0x00000002;
constexpr uint32_t kBadLuAlias = 0x00000003;
constexpr uint32_t kAllocationFailureNoRetry = 0x00000004;
constexpr uint32_t kAllocationFailureRetry = 0x00000005;
constexpr uint32_t kBadSyncLevel = 0x00000006;
constexpr uint32_t kBadConvType = 0x00000007;
constexpr uint32_t kBadSecurity = 0x00000008;
constexpr uint32_t kBadKind = 0x00000009;
constexpr uint32_t kNoTpNames = 0x0000000A;
constexpr uint32_t kTpNameNotRegistered = 0x0000000B;
constexpr uint32_t kUnknownVerb = 0x0000000C;
constexpr uint32_t kBadLl = 0x000000F1;
} // namespace secondary

#define ZV_SENSE_CODES(X)                                                                                    \
    X(kTpnNotRecognized, 0x10086021u, "TP name not recognised")                                              \
    X(kConvTypeMismatch, 0x10086034u, "conversation type mismatch")                                          \
    X(kSyncLevelNotSupported, 0x10086041u, "sync level not supported")                                       \
    X(kSecurityNotValid, 0x080F6051u, "security not valid")                                                  \
    X(kTpNotAvailableRetry, 0x084B6031u, "TP not available, retry")                                          \
    X(kTpNotAvailableNoRetry, 0x084C0000u, "TP not available, no retry")                                     \
    X(kDeallocAbendProgram, 0x08640000u, "deallocate abend (program)")                                       \
    X(kDeallocAbendSvc, 0x08640001u, "deallocate abend (service)")                                           \
    X(kDeallocAbendTimer, 0x08640002u, "deallocate abend (timer)")                                           \
    X(kProgramError, 0x08890000u, "program error")                                                           \
    X(kProgramErrorTrunc, 0x08890001u, "program error, record truncated")                                    \
    X(kErrorInfoFollows, 0x08460000u, "error information follows")

namespace sense {
#define ZV_SENSE_CONSTANT(name, value, text) constexpr uint32_t name = value;
ZV_SENSE_CODES(ZV_SENSE_CONSTANT)
#undef ZV_SENSE_CONSTANT
} // namespace sense

// Text for a log record; null for a code not in the table.
const char *sense_text(uint32_t sense);

// Whether an FMH-7 with this sense rejects an attach (the conversation
// never started at the partner).
constexpr bool is_attach_rejection(uint32_t s) {
    return s == sense::kTpnNotRecognized || s == sense::kConvTypeMismatch ||
           s == sense::kSyncLevelNotSupported || s == sense::kSecurityNotValid ||
           s == sense::kTpNotAvailableRetry || s == sense::kTpNotAvailableNoRetry;
}

} // namespace zv::lu62

#endif // ZORVEL_LU62_CODES_H
