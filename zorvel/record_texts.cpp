// SPDX-License-Identifier: Apache-2.0
#include "zorvel/record_texts.h"

#include <array>

#include "vcpic/cpic_codes.h"
#include "zorvel/zorvel_control.h"

namespace zv {
namespace {

struct CodeText {
    uint32_t code;
    const char *text;
};

constexpr CodeText kTexts[] = {
#define CPIC_RECORD_TEXT(name, value, text) {(value), (text)},
    CPIC_RECORD_MAP(CPIC_RECORD_TEXT)
#undef CPIC_RECORD_TEXT
        {ZT_PROBLEM_SLEEP_LIMIT, "wait reached the node's sleep limit"},
    {ZT_PROBLEM_PATCH_OUTSIDE, "scripted answer patches outside the verb record"},
    {ZT_PROBLEM_NULL_BUFFER, "verb record names no buffer"},
    {ZT_PROBLEM_ENGINE_UNKNOWN, "ZORVEL_ENGINE names no engine; scripted answers instead"},
    {ZT_PROBLEM_PARTNER_LOG_DATA, "partner sent log data with an error"},
    {ZT_PROBLEM_NODE_UNREACHABLE, "node daemon unreachable"},
};

// The call each unknown-conversation sequence number stands for.
constexpr std::array<const char *, 128> kCallBySequence = [] {
    std::array<const char *, 128> t{};
#define CPIC_CALL_NAME(index, upper, lower, params, seq, has)                                                \
    if ((seq) >= 0 && (seq) < 128) t[static_cast<size_t>(seq)] = #upper;
    CPIC_VERB_MAP(CPIC_CALL_NAME)
#undef CPIC_CALL_NAME
    return t;
}();

// What the sequence says of the place, for codes written at several.
const char *place(uint32_t code, uint32_t sequence) {
    switch (code) {
    case kProblemUnknownConversation:
        return sequence < kCallBySequence.size() ? kCallBySequence[sequence] : nullptr;
    case kProblemAcceptFailed:
        return sequence == 1   ? "a verb is in progress"
               : sequence == 2 ? "not in Initialize_Incoming state"
               : sequence == 3 ? "the node refused"
                               : nullptr;
    case kProblemInitFailure:
        return sequence == 1   ? "conversation table"
               : sequence == 2 ? "side information table"
               : sequence == 3 ? "local TP name table"
               : sequence == 0 ? "node path"
                               : nullptr;
    default: return nullptr;
    }
}

} // namespace

std::string record_text(uint32_t code, uint32_t sequence) {
    for (const CodeText &t : kTexts) {
        if (t.code != code) continue;
        std::string s = t.text;
        if (const char *p = place(code, sequence)) s += std::string(" (") + p + ")";
        return s;
    }
    return {};
}

} // namespace zv
