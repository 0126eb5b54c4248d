/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Value names of the API trace, generated at compile time from the maps of
 * cpic.h and from CPIC_VERB_MAP, so a constant and its trace name cannot
 * drift apart.
 *
 * Every table is indexed by value. How a value is printed:
 *  - value below the table's count: the table's prefix, then its name
 *    ("CM_MAPPED_CONVERSATION", "XC_SECURITY_PROGRAM"). A slot that no map
 *    entry fills holds the table's unknown text and still gets the prefix,
 *    as return code 4 gives "CM_***UNKNOWN RC***";
 *  - value at or beyond the count (any negative value counts as a very
 *    large one): the table's unknown text alone, with no prefix.
 */
#ifndef VCPIC_CPIC_NAMES_H
#define VCPIC_CPIC_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include <array>

#include "vcpic/cpic_codes.h"

namespace cpic_names {

// Collects the names of one map by value. A value outside the table or one
// listed twice marks the table broken, which the static_asserts below turn
// into a build failure.
template <size_t N>
struct NameArray {
    std::array<const char *, N> text{};
    bool broken = false;

    constexpr void Set(int32_t value, const char *name) {
        if (value < 0 || static_cast<size_t>(value) >= N || text[static_cast<size_t>(value)] != nullptr) {
            broken = true;
            return;
        }
        text[static_cast<size_t>(value)] = name;
    }
    // Fills the slots no map entry named; returns how many there were.
    constexpr size_t FillGaps(const char *filler) {
        size_t filled = 0;
        for (auto &name : text) {
            if (name == nullptr) {
                name = filler;
                ++filled;
            }
        }
        return filled;
    }
    static constexpr size_t size() { return N; }
};

#define CPIC_NAMES_SET(name, value) t.Set((value), #name);
#define CPIC_NAMES_COUNT(name, value) +1

// A map whose values run without a gap from `first`; the slots below `first`
// hold `below`. The table has first + (entries of the map) slots, so a gap
// in the map pushes its last value out of the table and breaks it.
#define CPIC_DENSE_NAMES(map, first, below)                                                                  \
    [] {                                                                                                     \
        NameArray<(first) + (0 map(CPIC_NAMES_COUNT))> t{};                                                  \
        map(CPIC_NAMES_SET) if (t.FillGaps(below) != static_cast<size_t>(first)) t.broken = true;            \
        return t;                                                                                            \
    }()

inline constexpr auto kConversationTypeNames = CPIC_DENSE_NAMES(CM_CONVERSATION_TYPE_MAP, 0, nullptr);
inline constexpr auto kDeallocateTypeNames = CPIC_DENSE_NAMES(CM_DEALLOCATE_TYPE_MAP, 0, nullptr);
inline constexpr auto kErrorDirectionNames = CPIC_DENSE_NAMES(CM_ERROR_DIRECTION_MAP, 0, nullptr);
inline constexpr auto kSyncLevelNames = CPIC_DENSE_NAMES(CM_SYNC_LEVEL_MAP, 0, nullptr);
inline constexpr auto kFillNames = CPIC_DENSE_NAMES(CM_FILL_MAP, 0, nullptr);
inline constexpr auto kPrepToReceiveTypeNames = CPIC_DENSE_NAMES(CM_PREPARE_TO_RECEIVE_TYPE_MAP, 0, nullptr);
inline constexpr auto kReceiveTypeNames = CPIC_DENSE_NAMES(CM_RECEIVE_TYPE_MAP, 0, nullptr);
inline constexpr auto kSendTypeNames = CPIC_DENSE_NAMES(CM_SEND_TYPE_MAP, 0, nullptr);
inline constexpr auto kSecurityTypeNames = CPIC_DENSE_NAMES(CM_CONVERSATION_SECURITY_TYPE_MAP, 0, nullptr);
inline constexpr auto kReturnControlNames = CPIC_DENSE_NAMES(CM_RETURN_CONTROL_MAP, 0, nullptr);
inline constexpr auto kRtsReceivedNames = CPIC_DENSE_NAMES(CM_REQUEST_TO_SEND_RECEIVED_MAP, 0, nullptr);
inline constexpr auto kDataReceivedNames = CPIC_DENSE_NAMES(CM_DATA_RECEIVED_TYPE_MAP, 0, nullptr);
inline constexpr auto kStatusReceivedNames = CPIC_DENSE_NAMES(CM_STATUS_RECEIVED_MAP, 0, nullptr);
inline constexpr auto kProcessingModeNames = CPIC_DENSE_NAMES(CM_PROCESSING_MODE_MAP, 0, nullptr);
inline constexpr auto kEndTypeNames = CPIC_DENSE_NAMES(CM_END_TYPE_MAP, 0, nullptr);
inline constexpr auto kTpNameTypeNames = CPIC_DENSE_NAMES(CM_TP_NAME_TYPE_MAP, 0, nullptr);
// States start at 2; 0 and 1 are slots of the table that name no state.
inline constexpr auto kConversationStateNames =
    CPIC_DENSE_NAMES(CM_CONVERSATION_STATE_MAP, 2, "***UNKNOWN CONVERSATION STATE***");

#undef CPIC_DENSE_NAMES

// Return codes have gaps by nature; every code below 138 has a slot.
inline constexpr size_t kReturnCodeSlots = 138;
inline constexpr auto kReturnCodeNames = [] {
    NameArray<kReturnCodeSlots> t{};
    CM_RETURN_CODE_MAP(CPIC_NAMES_SET)
    t.FillGaps("***UNKNOWN RC***");
    return t;
}();

inline constexpr auto kVerbNames = [] {
    NameArray<kVerbCount> t{};
#define CPIC_NAMES_VERB(index, upper, lower, params, seq, has) t.Set((index), #upper);
    CPIC_VERB_MAP(CPIC_NAMES_VERB)
#undef CPIC_NAMES_VERB
    if (t.FillGaps(nullptr) != 0) t.broken = true;
    return t;
}();

#undef CPIC_NAMES_SET
#undef CPIC_NAMES_COUNT

static_assert(!kConversationTypeNames.broken && kConversationTypeNames.size() == 2, "conversation type");
static_assert(!kDeallocateTypeNames.broken && kDeallocateTypeNames.size() == 4, "deallocate type");
static_assert(!kErrorDirectionNames.broken && kErrorDirectionNames.size() == 2, "error direction");
static_assert(!kSyncLevelNames.broken && kSyncLevelNames.size() == 4, "sync level");
static_assert(!kFillNames.broken && kFillNames.size() == 2, "fill");
static_assert(!kPrepToReceiveTypeNames.broken && kPrepToReceiveTypeNames.size() == 3,
              "prepare to receive type");
static_assert(!kReceiveTypeNames.broken && kReceiveTypeNames.size() == 2, "receive type");
static_assert(!kSendTypeNames.broken && kSendTypeNames.size() == 5, "send type");
static_assert(!kSecurityTypeNames.broken && kSecurityTypeNames.size() == 6, "security type");
static_assert(!kReturnControlNames.broken && kReturnControlNames.size() == 2, "return control");
static_assert(!kRtsReceivedNames.broken && kRtsReceivedNames.size() == 2, "request to send received");
static_assert(!kDataReceivedNames.broken && kDataReceivedNames.size() == 4, "data received");
static_assert(!kStatusReceivedNames.broken && kStatusReceivedNames.size() == 13, "status received");
static_assert(!kProcessingModeNames.broken && kProcessingModeNames.size() == 2, "processing mode");
static_assert(!kEndTypeNames.broken && kEndTypeNames.size() == 2, "end type");
static_assert(!kTpNameTypeNames.broken && kTpNameTypeNames.size() == 2, "TP name type");
static_assert(!kConversationStateNames.broken && kConversationStateNames.size() == 19, "conversation state");
static_assert(!kReturnCodeNames.broken, "return codes");
static_assert(!kVerbNames.broken, "verb names: one per index 0..62");

// One table as the trace prints it.
struct ValueNames {
    const char *const *text;
    uint32_t count;      // values below this are named from the table
    const char *prefix;  // in front of a name from the table
    const char *unknown; // a value at or beyond count, printed alone
};

// Printed as prefix + name; prefix is "" for a value beyond the table.
struct ValueText {
    const char *prefix;
    const char *name;
};

constexpr ValueText NameOf(const ValueNames &names, uint32_t value) {
    if (value < names.count) return {names.prefix, names.text[value]};
    return {"", names.unknown};
}

template <size_t N>
constexpr ValueNames View(const NameArray<N> &table, const char *prefix, const char *unknown,
                          uint32_t count = N) {
    return {table.text.data(), count, prefix, unknown};
}

inline constexpr ValueNames kConversationType =
    View(kConversationTypeNames, "CM_", "***UNKNOWN CONVERSATION TYPE***");
inline constexpr ValueNames kDeallocateType =
    View(kDeallocateTypeNames, "CM_", "***UNKNOWN DEALLOCATE TYPE***");
inline constexpr ValueNames kErrorDirection =
    View(kErrorDirectionNames, "CM_", "***UNKNOWN ERROR DIRECTION***");
inline constexpr ValueNames kSyncLevel = View(kSyncLevelNames, "CM_", "***UNKNOWN SYNC_LEVEL***");
inline constexpr ValueNames kFill = View(kFillNames, "CM_", "***UNKNOWN FILL TYPE***");
inline constexpr ValueNames kPrepToReceiveType =
    View(kPrepToReceiveTypeNames, "CM_", "***UNKNOWN PREP_TO_RECEIVE TYPE***");
inline constexpr ValueNames kReceiveType = View(kReceiveTypeNames, "CM_", "***UNKNOWN RECEIVE TYPE***");
inline constexpr ValueNames kSendType = View(kSendTypeNames, "CM_", "***UNKNOWN SEND TYPE***");
inline constexpr ValueNames kSecurityType =
    View(kSecurityTypeNames, "XC_", "***UNKNOWN CONVERSATION_SECURITY_TYPE***");
inline constexpr ValueNames kReturnControl = View(kReturnControlNames, "CM_", "***UNKNOWN RETURN_CONTROL***");
inline constexpr ValueNames kRtsReceived = View(kRtsReceivedNames, "CM_", "***UNKNOWN REQ_TO_SEND TYPE***");
inline constexpr ValueNames kDataReceived =
    View(kDataReceivedNames, "CM_", "***UNKNOWN DATA RECEIVED TYPE***");
inline constexpr ValueNames kStatusReceived =
    View(kStatusReceivedNames, "CM_", "***UNKNOWN STATUS_RECEIVED***");
inline constexpr ValueNames kConversationState =
    View(kConversationStateNames, "CM_", "***UNKNOWN CONVERSATION STATE***");
inline constexpr ValueNames kProcessingMode =
    View(kProcessingModeNames, "CM_", "***UNKNOWN PROCESSING MODE***");
inline constexpr ValueNames kEndType = View(kEndTypeNames, "CM_", "***UNKNOWN END TYPE***");
inline constexpr ValueNames kTpNameType = View(kTpNameTypeNames, "XC_", "***UNKNOWN TP_NAME_TYPE***");
inline constexpr ValueNames kReturnCode = View(kReturnCodeNames, "CM_", "***UNKNOWN RC***");
// Wait's conversation result is named only for codes 0 to 37; anything
// higher, TAKE_BACKOUT included, prints the unknown text.
inline constexpr ValueNames kAsyncResult = View(kReturnCodeNames, "CM_", "***UNKNOWN RC***", 38);
inline constexpr ValueNames kVerb = View(kVerbNames, "", "***UNKNOWN VERB***");

} // namespace cpic_names

#endif /* VCPIC_CPIC_NAMES_H */
