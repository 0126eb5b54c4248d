// SPDX-License-Identifier: Apache-2.0
// The vsvig formatting routines: the runtime wrappers, and the module's own
// formatter through both of its argument paths (word array and variadic),
// its assertion reports, the size limit and the buffer bound.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vsvig/svmcspnt.h"
#include "zorvel/zorvel_control.h"

namespace {

constexpr char kGuard = '\x5A';
constexpr const char kAssertFile[] = "../../p/vsvig/svmcspnt";
const char kForty[] = "0123456789abcdefghijABCDEFGHIJ0123456789";

// Argument words as a 32-bit caller would lay them out: integers in the low
// 32 bits, strings as addresses.
T_ARG_WORD word(int value) {
    return static_cast<T_ARG_WORD>(static_cast<uint32_t>(value));
}
T_ARG_WORD word(const char *text) {
    return reinterpret_cast<T_ARG_WORD>(text);
}
template <class... A>
std::vector<T_ARG_WORD> words(A... args) {
    return {word(args)..., 0}; // the last word is never read; keeps data() valid
}

// A destination filled with guard bytes.
struct Buffer {
    char data[256];
    Buffer() { std::memset(data, kGuard, sizeof data); }
    std::string bytes(size_t n) const { return std::string(data, n); }
    bool untouched_from(size_t from) const {
        for (size_t i = from; i < sizeof data; ++i)
            if (data[i] != kGuard) return false;
        return true;
    }
};

// What t_print_args wrote: as many bytes as it counted and the byte after
// them, so the text pins the count too.
template <class... A>
std::string print_words(int32_t size, const char *format, A... args) {
    Buffer buffer;
    const int32_t count = t_print_args(buffer.data, size, format, words(args...).data());
    return buffer.bytes(static_cast<size_t>(count) + 1);
}
std::string z(const char *text) {
    return std::string(text) + '\0';
}

// Runs the same format and arguments through t_sprintf and through
// t_print_args without a limit; both must agree with the expectation.
#define EXPECT_FORMAT(expected, format, ...)                                                                 \
    do {                                                                                                     \
        const std::string want_ = z(expected);                                                               \
        Buffer variadic_;                                                                                    \
        const int32_t n_ = t_sprintf(variadic_.data, format, ##__VA_ARGS__);                                 \
        EXPECT_EQ(n_, static_cast<int32_t>(want_.size() - 1)) << (format);                                   \
        EXPECT_EQ(variadic_.bytes(want_.size()), want_) << "t_sprintf " << (format);                         \
        EXPECT_TRUE(variadic_.untouched_from(want_.size())) << (format);                                     \
        EXPECT_EQ(print_words(0, format, ##__VA_ARGS__), want_) << "t_print_args " << (format);              \
    } while (0)

class Format : public ::testing::Test {
  protected:
    void SetUp() override { zt_reset(); }
    // Every report of this module names the same file; the line tells which.
    // `count` reports of the one line and expression, then none left over.
    static void expect_asserts(uint32_t count, int32_t line = 0, const char *expression = "") {
        ASSERT_EQ(zt_assert_count(), count);
        for (uint32_t i = 0; i < count; ++i) {
            const ZT_RECORD *record = zt_assert(i);
            ASSERT_NE(record, nullptr);
            EXPECT_STREQ(record->file, kAssertFile);
            EXPECT_EQ(static_cast<int32_t>(record->line), line);
            EXPECT_STREQ(record->expression, expression);
        }
        zt_reset();
    }
};

// ---- Conversions, on both argument paths ---------------------------------------

TEST_F(Format, ConversionsWithoutReports) {
    EXPECT_FORMAT("42 items", "%d items", 42);
    EXPECT_FORMAT("", "");
    // Strings: field, left adjustment, precision; zero fill is ignored.
    EXPECT_FORMAT("  abc|abc  |ab|abc|abc|  abc|   ab|", "%5s|%-5s|%.2s|%.0s|%.10s|%05s|%5.2s|", "abc", "abc",
                  "abc", "abc", "abc", "abc", "abc");
    // Not terminated within the precision: reading past it would be caught
    // by the sanitizer build.
    static const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_FORMAT("xyz", "%.3s", unterminated);
    // Hex, octal, percent, alternate forms; fill stands outside sign and prefix.
    EXPECT_FORMAT("%|ABC 0XABC ABC 010|0X0 00", "%5%|%x %#x %X %#o|%#x %#o", 0xabc, 0xabc, 0xabc, 8, 0, 0);
    EXPECT_FORMAT("000-5|00000XFF|   -5|-5   |-5000|   0X00FF|  -00042|42",
                  "%05d|%#08x|%5d|%-5d|%-05d|%#9.4x|%8.5d|%.1d", -5, 255, -5, -5, -5, 255, -42, 42);
    // 32-bit extremes; long flags change nothing for numbers.
    EXPECT_FORMAT("-2147483648 2147483647   -2147483648 0", "%i %w %13d %d", INT_MIN, INT_MAX, INT_MIN, 0);
    EXPECT_FORMAT("4294967295 37777777777 80000000", "%u %o %X", -1, -1, INT_MIN);
    EXPECT_FORMAT("-7 7 FFFFFFF9", "%ld %Lu %lx", -7, 7, -7);
    // Star takes width and precision, and arguments go in order.
    EXPECT_FORMAT("   42|0007|ab    |ab|   007", "%*d|%0*d|%-*s|%.*s|%*.*d", 5, 42, 4, 7, 6, "ab", 2, "abc",
                  6, 3, 7);
    EXPECT_FORMAT("[a=1,b=FF,c=x]", "[%s=%d,%s=%X,%s=%c]", "a", 1, "b", 255, "c", 'x');
    // A character ignores field and precision and takes the low byte.
    EXPECT_FORMAT("A|A|A|A", "%5c|%-5.3c|%c|%lc", 'A', 'A', 0x1241, 'A');
    // A long unknown conversion is a decimal and the character.
    EXPECT_FORMAT("7q-7q   07z|", "%lq%Lq%5.2lz|", 7, -7, 7);
    expect_asserts(0);
}

TEST_F(Format, MisusedFlagsAndUnknownConversionsAreReported) {
    EXPECT_FORMAT("A", "%Lc", 'A');
    EXPECT_FORMAT("B", "%#c", 'B');
    expect_asserts(4, 519, "(uselong == 0) && (extra == 0)"); // once per path and conversion
    EXPECT_EQ(print_words(0, "%Ls|%#4s|%ls", "ab", "cd", "ef"), z("ab|  cd|ef"));
    expect_asserts(2, 526, "(uselong == 0) && (extra == 0)");
    EXPECT_EQ(print_words(0, "%q"), z("q"));
    EXPECT_EQ(print_words(0, "<%5q>"), z("<q>"));
    expect_asserts(2, 621, "0");
}

TEST_F(Format, FormatEndingInsideAConversion) {
    EXPECT_EQ(print_words(0, "abc%"), z("abc"));
    EXPECT_EQ(print_words(0, "abc%-5."), z("abc"));
    expect_asserts(2, 576, "0");
    // An unfinished long conversion is a decimal, unreported.
    EXPECT_EQ(print_words(0, "abc%l", 12), z("abc12"));
    EXPECT_EQ(print_words(0, "abc%5L", -12), z("abc  -12"));
    expect_asserts(0);
}

// ---- Size limit and buffer bound -------------------------------------------------

struct Bounded {
    int32_t size;
    const char *format;
    std::vector<T_ARG_WORD> args;
    int32_t count;
    std::string bytes; // everything written; the rest stays untouched
};

TEST_F(Format, SizeLimitAndBufferBound) {
    const std::string closing("\n\0\0", 3), xs(200, 'x');
    const Bounded cases[] = {
        // Size 30 allows 10 bytes before closing, and closes after the 11th.
        {30, "0123456789", words(), 10, z("0123456789")},
        {30, kForty, words(), 13, "0123456789a" + closing},
        {21, kForty, words(), 4, "01" + closing},
        {20, kForty, words(), 3, "0" + closing},
        {4, kForty, words(), 3, "0" + closing},
        {0, "", words(), 0, z("")},
        // A conversion that crosses the limit is kept whole; a percent and an
        // unfinished long count as conversions.
        {30, "123456789%8d tail", words(7), 19, "123456789       7" + closing},
        {5, "%%rest", words(), 3, "%" + closing},
        {12, "%l", words(123), 5, "123" + closing},
        {-1, "%s!", words("whole"), 7, "whole" + closing}, // negative: stop after the first item
        {0, "%s", words(xs.c_str()), 200, z(xs.c_str())},
        // Conversions are cut to the buffer, however wide the field.
        {30, "%s", words(kForty), 29, std::string(kForty, 27) + closing},
        {64, "ab%2000000000d", words(5), 63, "ab" + std::string(59, ' ') + closing},
        {40, "%.*x", words(100000, 1), 39, std::string(37, '0') + closing},
        // Buffers too small for the closing keep a terminator.
        {3, "abc", words(), 2, closing},
        {2, "abc", words(), 2, closing.substr(0, 2)},
        {1, "abc", words(), 0, z("")},
    };
    for (const Bounded &c : cases) {
        Buffer buffer;
        EXPECT_EQ(t_print_args(buffer.data, c.size, c.format, c.args.data()), c.count) << c.size << c.format;
        EXPECT_EQ(buffer.bytes(c.bytes.size()), c.bytes) << c.size << c.format;
        EXPECT_TRUE(buffer.untouched_from(c.bytes.size())) << c.size << c.format;
    }
}

// ---- Argument words ---------------------------------------------------------------

TEST_F(Format, IntegersComeFromTheLowWordBitsAndPointersShowThem) {
    // On x86-64 the upper half of a word is not part of an integer; on i386
    // the word is the integer and `high` is zero.
    const T_ARG_WORD high = static_cast<T_ARG_WORD>(~uint64_t{0} << 32);
    const std::vector<T_ARG_WORD> list{high | 5u, high | 0xFFFFFFFEu, high | 'Z', high | 3u, high | 9u};
    Buffer buffer, variadic;
    EXPECT_EQ(t_print_args(buffer.data, 0, "%d %d %c %*d", list.data()), 10);
    EXPECT_EQ(buffer.bytes(11), z("5 -2 Z   9"));

    int object = 0;
    const T_ARG_WORD address[] = {reinterpret_cast<T_ARG_WORD>(&object)};
    char expected[16];
    std::snprintf(expected, sizeof expected, "%X", static_cast<unsigned>(static_cast<uint32_t>(address[0])));
    t_sprintf(variadic.data, "%p", static_cast<void *>(&object));
    EXPECT_STREQ(variadic.data, expected);
    t_print_args(buffer.data, 0, "%p", address);
    EXPECT_STREQ(buffer.data, expected);
}

#if defined(__i386__)
// A 32-bit variadic caller hands its own va_list over as the word array.
int32_t forward_va_list(char *destination, int32_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int32_t count =
        t_print_args(destination, size, format, reinterpret_cast<const T_ARG_WORD *>(arguments));
    va_end(arguments);
    return count;
}

TEST_F(Format, VaListServesAsTheWordArrayOnI386) {
    Buffer buffer;
    EXPECT_EQ(forward_va_list(buffer.data, 0, "%s:%05d:%c", "id", -42, 'k'), 10);
    EXPECT_EQ(buffer.bytes(11), z("id:00-42:k"));
}
#endif

// ---- Runtime wrappers ---------------------------------------------------------------

TEST_F(Format, RuntimeWrappers) {
    char buffer[32];
    EXPECT_EQ(nb_sprintf(buffer, "%5.2f|%s|%x", 3.14159, "x", 255), 10);
    EXPECT_STREQ(buffer, " 3.14|x|ff");

    char text[64] = {};
    FILE *stream = fmemopen(text, sizeof text, "w");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(nb_fprintf(stream, "%s-%03d", "n", 7), 5);
    std::fclose(stream);
    EXPECT_STREQ(text, "n-007");

    testing::internal::CaptureStdout();
    const int written = nb_printf("%s %ld\n", "out", 12L);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "out 12\n");
    EXPECT_EQ(written, 7);
}

} // namespace
