/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Problem and audit records through typed helpers: the insert format is
 * read at compile time and checked against the inserts that follow it, so a
 * record whose inserts the node would read wrongly (a missing length, a
 * 64-bit length, a number where an address belongs) does not compile.
 *
 *   CPIC_PROBLEM(kProblemNoMemory, 11, "");
 *   CPIC_PROBLEM(kProblemUnknownConversation, 5, "ba", 8u, conversation_ID);
 *   CPIC_AUDIT(kAuditConversationAllocated, 0, "ba ca", 8u, id, 8u, alias);
 *
 * Format words and the inserts each takes:
 *   "ba" "ca" "es"  a length (unsigned, at most 32 bits), then an address
 *   "x" "lx" "b"    an unsigned value of at most 32 bits
 *   "l"             a signed value of at most 32 bits
 * An audit record is written only while ptrc allows audit records.
 */
#ifndef VCPIC_CPIC_LOG_H
#define VCPIC_CPIC_LOG_H

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

#include "vcpic/cpic_util.h"

namespace cpic {
namespace record_format {

enum class Kind : uint8_t { kUnsigned, kSigned, kAddress, kOther, kEnd };

template <typename T>
constexpr Kind kind_of() {
    if (std::is_pointer<T>::value || std::is_null_pointer<T>::value) return Kind::kAddress;
    if (!std::is_integral<T>::value || std::is_same<T, bool>::value || sizeof(T) > 4) return Kind::kOther;
    return std::is_unsigned<T>::value ? Kind::kUnsigned : Kind::kSigned;
}

constexpr bool word_is(const char *word, size_t length, const char *name) {
    size_t i = 0;
    for (; i < length; ++i) {
        if (name[i] != word[i]) return false;
    }
    return name[i] == '\0';
}

/* True when the blank-separated words of `format` take exactly the inserts
 * whose kinds are listed (ended by kEnd). */
constexpr bool matches(const char *format, const Kind *inserts) {
    size_t next = 0;
    const char *p = format;
    for (;;) {
        while (*p == ' ') ++p;
        if (*p == '\0') return inserts[next] == Kind::kEnd;
        size_t length = 0;
        while (p[length] != '\0' && p[length] != ' ') ++length;
        if (word_is(p, length, "ba") || word_is(p, length, "ca") || word_is(p, length, "es")) {
            if (inserts[next] != Kind::kUnsigned || inserts[next + 1] != Kind::kAddress) return false;
            next += 2;
        } else if (word_is(p, length, "x") || word_is(p, length, "lx") || word_is(p, length, "b")) {
            if (inserts[next] != Kind::kUnsigned) return false;
            next += 1;
        } else if (word_is(p, length, "l")) {
            if (inserts[next] != Kind::kSigned) return false;
            next += 1;
        } else {
            return false; // a word the node does not know
        }
        p += length;
    }
}

template <typename... Inserts>
constexpr bool matches(const char *format) {
    constexpr Kind kinds[] = {kind_of<Inserts>()..., Kind::kEnd};
    return matches(format, kinds);
}

// The reader's own rules, checked where it is defined.
static_assert(matches<>("") && matches<unsigned, const void *>("ba") &&
                  matches<unsigned, std::nullptr_t>("es"),
              "arrays: a length, then an address");
static_assert(!matches<uint64_t, const void *>("ca") && !matches<int32_t, const void *>("ba") &&
                  !matches<unsigned>("ba") && !matches<const void *, unsigned>("ba"),
              "an array's length is unsigned and at most 32 bits, and comes first");
static_assert(matches<unsigned, uint16_t, uint32_t>("x b lx") && !matches<int32_t>("x") &&
                  matches<int32_t>("l") && !matches<uint32_t>("l"),
              "numbers by sign");
static_assert(!matches<unsigned, unsigned>("x") && !matches<unsigned>("x x") && !matches<unsigned>("y"),
              "count and words");

} // namespace record_format

/* Behind CPIC_PROBLEM and CPIC_AUDIT: `Format` is a lambda returning the
 * format literal, so the format can be read in a constant expression. */
template <typename Format, typename... Inserts>
void problem_record(uint32_t code, uint32_t sequence, Format format, Inserts... inserts) {
    static_assert(record_format::matches<Inserts...>(format()), "insert format does not match the inserts");
    nba_pd_print_problem(code, sequence, format(), inserts...);
}

template <typename Format, typename... Inserts>
void audit_record(uint32_t code, uint32_t sequence, Format format, Inserts... inserts) {
    static_assert(record_format::matches<Inserts...>(format()), "insert format does not match the inserts");
    if (!SCC_audit_suppressed()) nba_pd_print_audit(code, sequence, format(), inserts...);
}

} // namespace cpic

#define CPIC_PROBLEM(code, sequence, format, ...)                                                            \
    ::cpic::problem_record((code), (sequence), [] { return format; }, ##__VA_ARGS__)
#define CPIC_AUDIT(code, sequence, format, ...)                                                              \
    ::cpic::audit_record((code), (sequence), [] { return format; }, ##__VA_ARGS__)

#endif /* VCPIC_CPIC_LOG_H */
