/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The library's constants and return codes: verb indexes of the calls,
 * problem and audit record codes, and the node's primary return codes the
 * library acts on. The CPI-C values themselves (return codes,
 * characteristics, states) are the public maps of cpic.h.
 *
 * Consuming a map. Every map entry is XX(NAME, value) in increasing value
 * order, so a name table indexed by value is one constexpr lambda (C++17):
 *
 *     template <std::size_t N>
 *     using NameTable = std::array<const char *, N>;
 *
 *     constexpr NameTable<138> kReturnCodeNames = [] {
 *         NameTable<138> t{};
 *         for (auto &name : t) name = "***UNKNOWN RC***";
 *     #define XX(name, value) t[value] = "CM_" #name;
 *         CM_RETURN_CODE_MAP(XX)
 *     #undef XX
 *         return t;
 *     }();
 *
 * and the number of entries of a map is  0 CM_FILL_MAP(CPIC_COUNT_ENTRY).
 * The verb map is read the same way: XX(index, UPPER, lower, parameters,
 * problem sequence, has routine).
 */
#ifndef VCPIC_CPIC_CODES_H
#define VCPIC_CPIC_CODES_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <initializer_list>
#include <type_traits>

#include "cpic.h"

/* ---- Verbs ------------------------------------------------------------ */

/* XX(verb index, entry point, routine, parameters including the return
 * code, problem sequence for an unknown conversation ID (-1: none),
 * has a routine in this library). Row 61 exists only so that the indexes
 * cover the whole verb set; no such call is offered here. */
#define CPIC_VERB_MAP(XX)                                                                                    \
    XX(0, CMACCP, cmaccp, 2, -1, 1)                                                                          \
    XX(1, CMALLC, cmallc, 2, 1, 1)                                                                           \
    XX(2, CMCFM, cmcfm, 3, 3, 1)                                                                             \
    XX(3, CMCFMD, cmcfmd, 2, 4, 1)                                                                           \
    XX(4, CMDEAL, cmdeal, 2, 5, 1)                                                                           \
    XX(5, CMECS, cmecs, 3, -1, 1)                                                                            \
    XX(6, CMECT, cmect, 3, 8, 1)                                                                             \
    XX(7, CMEMN, cmemn, 4, 9, 1)                                                                             \
    XX(8, CMEPLN, cmepln, 4, 10, 1)                                                                          \
    XX(9, CMESL, cmesl, 3, 11, 1)                                                                            \
    XX(10, CMFLUS, cmflus, 2, 12, 1)                                                                         \
    XX(11, CMINIT, cminit, 3, -1, 1)                                                                         \
    XX(12, CMPTR, cmptr, 2, 13, 1)                                                                           \
    XX(13, CMRCV, cmrcv, 8, 14, 1)                                                                           \
    XX(14, CMRTS, cmrts, 2, 15, 1)                                                                           \
    XX(15, CMSEND, cmsend, 5, 16, 1)                                                                         \
    XX(16, CMSERR, cmserr, 3, 17, 1)                                                                         \
    XX(17, CMSCT, cmsct, 3, 18, 1)                                                                           \
    XX(18, CMSDT, cmsdt, 3, 19, 1)                                                                           \
    XX(19, CMSED, cmsed, 3, 20, 1)                                                                           \
    XX(20, CMSF, cmsf, 3, 21, 1)                                                                             \
    XX(21, CMSLD, cmsld, 4, 22, 1)                                                                           \
    XX(22, CMSMN, cmsmn, 4, 23, 1)                                                                           \
    XX(23, CMSPLN, cmspln, 4, 24, 1)                                                                         \
    XX(24, CMSPTR, cmsptr, 3, 25, 1)                                                                         \
    XX(25, CMSRT, cmsrt, 3, 26, 1)                                                                           \
    XX(26, CMSRC, cmsrc, 3, 27, 1)                                                                           \
    XX(27, CMSST, cmsst, 3, 28, 1)                                                                           \
    XX(28, CMSSL, cmssl, 3, 29, 1)                                                                           \
    XX(29, CMSTPN, cmstpn, 4, 30, 1)                                                                         \
    XX(30, CMTRTS, cmtrts, 3, 31, 1)                                                                         \
    XX(31, XCMDSI, xcmdsi, 3, -1, 1)                                                                         \
    XX(32, XCECST, xcecst, 3, 34, 1)                                                                         \
    XX(33, XCECSU, xcecsu, 4, 35, 1)                                                                         \
    XX(34, XCMESI, xcmesi, 5, -1, 1)                                                                         \
    XX(35, XCSCSP, xcscsp, 4, 36, 1)                                                                         \
    XX(36, XCSCST, xcscst, 3, 37, 1)                                                                         \
    XX(37, XCSCSU, xcscsu, 4, 38, 1)                                                                         \
    XX(38, XCMSSI, xcmssi, 4, -1, 1)                                                                         \
    XX(39, CMTERM, cmterm, 2, -1, 1)                                                                         \
    XX(40, CMSPM, cmspm, 3, 32, 1)                                                                           \
    XX(41, CMINIC, cminic, 2, -1, 1)                                                                         \
    XX(42, CMACCI, cmacci, 2, 0, 1)                                                                          \
    XX(43, CMWAIT, cmwait, 3, -1, 1)                                                                         \
    XX(44, CMCANC, cmcanc, 2, 2, 1)                                                                          \
    XX(45, CMCHCK, cmchck, 2, -1, 1)                                                                         \
    XX(46, CMSCST, cmscst, 3, 37, 1)                                                                         \
    XX(47, CMSCSU, cmscsu, 4, 38, 1)                                                                         \
    XX(48, CMSCSP, cmscsp, 4, 36, 1)                                                                         \
    XX(49, CMESUI, cmesui, 4, 35, 1)                                                                         \
    XX(50, CMSLTP, cmsltp, 3, -1, 1)                                                                         \
    XX(51, CMRLTP, cmrltp, 3, -1, 1)                                                                         \
    XX(52, CMETPN, cmetpn, 4, 33, 1)                                                                         \
    XX(53, CMCNVI, cmcnvi, 3, -1, 1)                                                                         \
    XX(54, CMCNVO, cmcnvo, 3, -1, 1)                                                                         \
    XX(55, CMEMBS, cmembs, 2, -1, 1)                                                                         \
    XX(56, CMECTX, cmectx, 4, 6, 1)                                                                          \
    XX(57, CMSCTX, cmsctx, 3, -1, 1)                                                                         \
    XX(58, CMECSU, cmecsu, 4, 35, 1)                                                                         \
    XX(59, CMECST, cmecst, 3, 39, 1)                                                                         \
    XX(60, CMELLN, cmelln, 3, 90, 1)                                                                         \
    XX(61, XCHWND, xchwnd, 0, -1, 0)                                                                         \
    XX(62, CMSLLN, cmslln, 4, 24, 1)

/* The verb index each routine hands to the trace and keeps in usTraceVerb
 * while its verb is in flight: kVerbCMFLUS, kVerbCMSEND, ... */
enum VerbIndex : uint16_t {
#define CPIC_VERB_ENUM(index, upper, lower, params, seq, has) kVerb##upper = (index),
    CPIC_VERB_MAP(CPIC_VERB_ENUM)
#undef CPIC_VERB_ENUM
};

inline constexpr uint16_t kVerbCount = 63;

/* ---- Problem and audit records ---------------------------------------- */

/* Record codes given to nba_pd_print_problem / nba_pd_print_audit, with the
 * words the node's log writes beside them. The sequence number that goes
 * with each names the place that writes it. */
#define CPIC_RECORD_MAP(XX)                                                                                  \
    XX(kAuditTpStarted, 0x20030000, "TP instance started for an allocate")                                   \
    XX(kAuditConversationAccepted, 0x20030001, "conversation accepted")                                      \
    XX(kAuditConversationAllocated, 0x20030002, "conversation allocated")                                    \
    XX(kAuditConversationDeallocated, 0x20030003, "conversation deallocated")                                \
    XX(kProblemUnknownStateCode, 0x20030004, "node reported a state with no CPI-C meaning")                  \
    XX(kProblemUnknownConversation, 0x20030005, "unknown conversation ID")                                   \
    XX(kAuditSideInfoLookupFailed, 0x20030006, "symbolic destination name not in the side information")      \
    XX(kProblemDataLengthInvalid, 0x20030007, "data length beyond 32767")                                    \
    XX(kProblemSideInfoEntryLength, 0x20030008, "side information entry length is not 124")                  \
    XX(kProblemGetStateFailed, 0x20030009, "node could not report the conversation state")                   \
    XX(kProblemInitFailure, 0x2003000A, "initialisation failed")                                             \
    XX(kProblemNoMemory, 0x2003000B, "no memory or no free table entry")                                     \
    XX(kProblemAcceptFailed, 0x2003000C, "accept failed")                                                    \
    XX(kProblemNofOpenFailed, 0x2003000D, "node configuration could not be opened")                          \
    XX(kProblemTpNameRegisterFailed, 0x2003000E, "node refused to register the local TP name")               \
    XX(kProblemTpNameWithdrawFailed, 0x2003000F, "node refused to withdraw the local TP name")               \
    XX(kProblemAllocateCancelled, 0x20030011, "allocate completed after it was cancelled")                   \
    XX(kProblemLogDataMissing, 0x20030012, "log data length set without log data")                           \
    XX(kProblemSideInfoQueryFailed, 0x20030014, "node could not query the side information")                 \
    XX(kProblemUnmappedReturnCode, 0x20030016, "node return code with no CPI-C meaning")

enum RecordCode : uint32_t {
#define CPIC_RECORD_ENUM(name, value, text) name = (value),
    CPIC_RECORD_MAP(CPIC_RECORD_ENUM)
#undef CPIC_RECORD_ENUM
};

/* ---- Node return codes ------------------------------------------------ */

/* Primary return codes of APPC verbs, as read from the verb record. */
enum NodePrimaryRc : uint16_t {
    kPrimaryOk = 0x0000,
    kPrimaryParameterCheck = 0x0100,
    kPrimaryStateCheck = 0x0200,
    kPrimaryAllocationError = 0x0300,
    kPrimaryDeallocAbend = 0x0500,
    kPrimaryDeallocAbendProg = 0x0600,
    kPrimaryDeallocAbendSvc = 0x0700,
    kPrimaryDeallocAbendTimer = 0x0800,
    kPrimaryDeallocNormal = 0x0900,
    kPrimaryProgErrorNoTrunc = 0x0C00,
    kPrimaryProgErrorTrunc = 0x0D00,
    kPrimaryProgErrorPurging = 0x0E00,
    kPrimaryConvFailureRetry = 0x0F00,
    kPrimaryConvFailureNoRetry = 0x1000,
    kPrimarySvcErrorNoTrunc = 0x1100,
    kPrimarySvcErrorTrunc = 0x1200,
    kPrimarySvcErrorPurging = 0x1300,
    kPrimaryUnsuccessful = 0x1400, /* Test_Request_To_Send: none received */
    kPrimaryConvEnded = 0x2100,    /* ends the conversation, no CPI-C meaning */
    /* Reported by the library itself when the end-TP verb cannot get memory. */
    kPrimaryEndTpNoMemory = 0x11F0,
};

inline constexpr uint32_t kSecondaryEndTpNoMemory = 12;
/* NOF query: primary kPrimaryStateCheck with this secondary = no such name. */
inline constexpr uint32_t kSecondaryNofNoSuchName = 0x58100000;

/* A completion with one of these primary codes ends the conversation. */
inline constexpr std::array<uint16_t, 9> kConversationEndingPrimaries = {
    kPrimaryAllocationError,  kPrimaryDeallocAbend,       kPrimaryDeallocAbendProg,
    kPrimaryDeallocAbendSvc,  kPrimaryDeallocAbendTimer,  kPrimaryDeallocNormal,
    kPrimaryConvFailureRetry, kPrimaryConvFailureNoRetry, kPrimaryConvEnded,
};

constexpr bool IsConversationEnding(uint16_t primary) {
    for (uint16_t code : kConversationEndingPrimaries) {
        if (code == primary) return true;
    }
    return false;
}

/* ---- Compile-time checks of the maps ---------------------------------- */

#define CPIC_COUNT_ENTRY(name, value) +1
#define CPIC_MAP_VALUE(name, value) (value),

namespace cpic_codes_check {

// Every value table is indexed by value, so a map must be gap-free from its
// first value and in increasing order; only the return codes have gaps.
constexpr bool Contiguous(std::initializer_list<int32_t> values, int32_t first) {
    int32_t want = first;
    for (int32_t v : values) {
        if (v != want++) return false;
    }
    return true;
}

constexpr bool StrictlyIncreasingBelow(std::initializer_list<int32_t> values, int32_t limit) {
    int32_t previous = -1;
    for (int32_t v : values) {
        if (v <= previous || v >= limit) return false;
        previous = v;
    }
    return true;
}

template <typename... Args>
constexpr int Arity(void (*)(Args...)) {
    return static_cast<int>(sizeof...(Args));
}

} // namespace cpic_codes_check

static_assert(cpic_codes_check::StrictlyIncreasingBelow({CM_RETURN_CODE_MAP(CPIC_MAP_VALUE)}, 138),
              "return codes: increasing, below 138");
static_assert(0 CM_RETURN_CODE_MAP(CPIC_COUNT_ENTRY) == 52, "return codes: 52 named");

#define CPIC_CHECK_MAP(map, first, count)                                                                    \
    static_assert(cpic_codes_check::Contiguous({map(CPIC_MAP_VALUE)}, first), #map " order");                \
    static_assert(0 map(CPIC_COUNT_ENTRY) == (count), #map " size");

CPIC_CHECK_MAP(CM_CONVERSATION_TYPE_MAP, 0, 2)
CPIC_CHECK_MAP(CM_DEALLOCATE_TYPE_MAP, 0, 4)
CPIC_CHECK_MAP(CM_ERROR_DIRECTION_MAP, 0, 2)
CPIC_CHECK_MAP(CM_SYNC_LEVEL_MAP, 0, 4)
CPIC_CHECK_MAP(CM_FILL_MAP, 0, 2)
CPIC_CHECK_MAP(CM_PREPARE_TO_RECEIVE_TYPE_MAP, 0, 3)
CPIC_CHECK_MAP(CM_RECEIVE_TYPE_MAP, 0, 2)
CPIC_CHECK_MAP(CM_SEND_TYPE_MAP, 0, 5)
CPIC_CHECK_MAP(CM_CONVERSATION_SECURITY_TYPE_MAP, 0, 6)
CPIC_CHECK_MAP(CM_RETURN_CONTROL_MAP, 0, 2)
CPIC_CHECK_MAP(CM_REQUEST_TO_SEND_RECEIVED_MAP, 0, 2)
CPIC_CHECK_MAP(CM_DATA_RECEIVED_TYPE_MAP, 0, 4)
CPIC_CHECK_MAP(CM_STATUS_RECEIVED_MAP, 0, 13)
CPIC_CHECK_MAP(CM_CONVERSATION_STATE_MAP, 2, 17)
CPIC_CHECK_MAP(CM_PROCESSING_MODE_MAP, 0, 2)
CPIC_CHECK_MAP(CM_END_TYPE_MAP, 0, 2)
CPIC_CHECK_MAP(CM_TP_NAME_TYPE_MAP, 0, 2)

#undef CPIC_CHECK_MAP

#define CPIC_VERB_INDEX(index, upper, lower, params, seq, has) (index),
static_assert(cpic_codes_check::Contiguous({CPIC_VERB_MAP(CPIC_VERB_INDEX)}, 0),
              "verb indexes run 0 to 62 without a gap");
#undef CPIC_VERB_INDEX
#define CPIC_VERB_ROW(index, upper, lower, params, seq, has) +1
static_assert(0 CPIC_VERB_MAP(CPIC_VERB_ROW) == kVerbCount, "one row per verb index");
#undef CPIC_VERB_ROW

// Each entry point and its routine have one type, with the parameter count
// of the verb table; a prototype edited out of step fails here.
#define CPIC_VERB_SIGNATURE_1(upper, lower, params)                                                          \
    static_assert(std::is_same<decltype(upper), decltype(lower)>::value &&                                   \
                      cpic_codes_check::Arity(&upper) == (params),                                           \
                  #upper " prototype");
#define CPIC_VERB_SIGNATURE_0(upper, lower, params)
#define CPIC_VERB_SIGNATURE(index, upper, lower, params, seq, has)                                           \
    CPIC_VERB_SIGNATURE_##has(upper, lower, params)
CPIC_VERB_MAP(CPIC_VERB_SIGNATURE)
#undef CPIC_VERB_SIGNATURE
#undef CPIC_VERB_SIGNATURE_0
#undef CPIC_VERB_SIGNATURE_1

#undef CPIC_MAP_VALUE

#endif /* VCPIC_CPIC_CODES_H */
