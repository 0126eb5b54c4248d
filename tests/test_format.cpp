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
constexpr size_t kBufferBytes = 256;
constexpr const char kAssertFile[] = "../../p/vsvig/svmcspnt";

// Argument words as a 32-bit caller would lay them out: integers in the low
// 32 bits, strings as addresses.
T_ARG_WORD word(int value) { return static_cast<T_ARG_WORD>(static_cast<uint32_t>(value)); }
T_ARG_WORD word(const char *text) { return reinterpret_cast<T_ARG_WORD>(text); }

template <class... A>
std::vector<T_ARG_WORD> words(A... args) {
    std::vector<T_ARG_WORD> list{word(args)...};
    list.push_back(0);  // never read; keeps data() valid for no arguments
    return list;
}

// A destination filled with guard bytes; `bytes(n)` returns the first n.
struct Buffer {
    char data[kBufferBytes];
    Buffer() { std::memset(data, kGuard, sizeof data); }
    std::string bytes(size_t n) const { return std::string(data, n); }
    // True when nothing at or after `from` was touched.
    bool untouched_from(size_t from) const {
        for (size_t i = from; i < sizeof data; ++i) {
            if (data[i] != kGuard) return false;
        }
        return true;
    }
};

struct Result {
    int32_t count;
    std::string text;  // the count's bytes plus the byte after them
};

template <class... A>
Result print_words(int32_t size, const char *format, A... args) {
    Buffer buffer;
    const std::vector<T_ARG_WORD> list = words(args...);
    const int32_t count = t_print_args(buffer.data, size, format, list.data());
    return {count, buffer.bytes(static_cast<size_t>(count) + 1)};
}

// Runs the same format and arguments through t_sprintf and through
// t_print_args without a limit; both must agree with the expectation.
#define EXPECT_FORMAT(expected, format, ...)                                          \
    do {                                                                              \
        const std::string want_ = std::string(expected) + std::string(1, '\0');       \
        Buffer variadic_;                                                             \
        const int32_t n_ = t_sprintf(variadic_.data, format, ##__VA_ARGS__);         \
        EXPECT_EQ(n_, static_cast<int32_t>(want_.size() - 1)) << (format);            \
        EXPECT_EQ(variadic_.bytes(want_.size()), want_) << "t_sprintf " << (format); \
        EXPECT_TRUE(variadic_.untouched_from(want_.size())) << (format);              \
        const Result words_ = print_words(0, format, ##__VA_ARGS__);                 \
        EXPECT_EQ(words_.count, n_) << (format);                                     \
        EXPECT_EQ(words_.text, want_) << "t_print_args " << (format);                 \
    } while (0)

class Format : public ::testing::Test {
protected:
    void SetUp() override { zt_reset(); }
    void TearDown() override {
        zt_reset();
        EXPECT_EQ(zt_live_blocks(), 0u);
    }

    // Every report of this module names the same file; the line tells which.
    static void expect_asserts(std::vector<std::pair<int32_t, std::string>> wanted) {
        ASSERT_EQ(zt_assert_count(), wanted.size());
        for (uint32_t i = 0; i < wanted.size(); ++i) {
            const ZT_RECORD *record = zt_assert(i);
            ASSERT_NE(record, nullptr);
            EXPECT_STREQ(record->file, kAssertFile);
            EXPECT_EQ(static_cast<int32_t>(record->line), wanted[i].first);
            EXPECT_STREQ(record->expression, wanted[i].second.c_str());
        }
    }
};

// ---- Documented examples --------------------------------------------------

TEST_F(Format, DecimalInText) {
    EXPECT_FORMAT("42 items", "%d items", 42);
    EXPECT_EQ(print_words(0, "%d items", 42).count, 8);
    expect_asserts({});
}

TEST_F(Format, StringFieldAndPrecision) {
    EXPECT_FORMAT("  abc|", "%5s|", "abc");
    EXPECT_FORMAT("abc  |", "%-5s|", "abc");
    EXPECT_FORMAT("ab", "%.2s", "abc");
    EXPECT_FORMAT("abc", "%.0s", "abc");
    EXPECT_FORMAT("abc", "%.10s", "abc");
    EXPECT_FORMAT("  abc", "%05s", "abc");
    EXPECT_FORMAT("   ab|", "%5.2s|", "abc");
    expect_asserts({});
}

TEST_F(Format, PrecisionBoundsTheStringRead) {
    // Not terminated within the precision: reading past it would be caught
    // by the sanitizer build.
    static const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_FORMAT("xy", "%.2s", unterminated);
    EXPECT_FORMAT("xyz", "%.3s", unterminated);
}

TEST_F(Format, HexOctalAndPercent) {
    EXPECT_FORMAT("FF", "%x", 255);
    EXPECT_FORMAT("010", "%#o", 8);
    EXPECT_FORMAT("%", "%%");
    EXPECT_FORMAT("%", "%5%");
    EXPECT_FORMAT("ABC 0XABC ABC", "%x %#x %X", 0xabc, 0xabc, 0xabc);
    EXPECT_FORMAT("0X0 00", "%#x %#o", 0, 0);
    expect_asserts({});
}

TEST_F(Format, FillStandsOutsideThePrefix) {
    EXPECT_FORMAT("000-5", "%05d", -5);
    EXPECT_FORMAT("00000XFF", "%#08x", 255);
    EXPECT_FORMAT("   -5", "%5d", -5);
    EXPECT_FORMAT("-5   |", "%-5d|", -5);
    EXPECT_FORMAT("-5000", "%-05d", -5);
    EXPECT_FORMAT("   0X00FF", "%#9.4x", 255);
    EXPECT_FORMAT("  -00042", "%8.5d", -42);
    EXPECT_FORMAT("00042", "%.5d", 42);
    EXPECT_FORMAT("42", "%.1d", 42);
}

// ---- Numbers ----------------------------------------------------------------

TEST_F(Format, ThirtyTwoBitExtremes) {
    EXPECT_FORMAT("-2147483648", "%d", INT_MIN);
    EXPECT_FORMAT("-2147483648", "%i", INT_MIN);
    EXPECT_FORMAT("2147483647", "%w", INT_MAX);
    EXPECT_FORMAT("  -2147483648", "%13d", INT_MIN);
    EXPECT_FORMAT("4294967295", "%u", -1);
    EXPECT_FORMAT("37777777777", "%o", -1);
    EXPECT_FORMAT("80000000", "%X", INT_MIN);
    EXPECT_FORMAT("0", "%d", 0);
}

TEST_F(Format, LongFlagsChangeNothingForNumbers) {
    EXPECT_FORMAT("-7 7 FFFFFFF9", "%ld %Lu %lx", -7, 7, -7);
    expect_asserts({});
}

TEST_F(Format, StarTakesWidthAndPrecision) {
    EXPECT_FORMAT("   42|", "%*d|", 5, 42);
    EXPECT_FORMAT("0007", "%.*d", 4, 7);
    EXPECT_FORMAT("0007", "%0*d", 4, 7);
    EXPECT_FORMAT("ab    |", "%-*s|", 6, "ab");
    EXPECT_FORMAT("ab", "%.*s", 2, "abc");
    EXPECT_FORMAT("   007", "%*.*d", 6, 3, 7);
}

TEST_F(Format, ArgumentsAreConsumedInOrder) {
    EXPECT_FORMAT("[a=1,b=FF,c=x]", "[%s=%d,%s=%X,%s=%c]", "a", 1, "b", 255, "c", 'x');
}

// ---- Characters ---------------------------------------------------------------

TEST_F(Format, CharacterIgnoresFieldAndTakesLowByte) {
    EXPECT_FORMAT("A", "%c", 'A');
    EXPECT_FORMAT("A|", "%5c|", 'A');
    EXPECT_FORMAT("A|", "%-5.3c|", 'A');
    EXPECT_FORMAT("A", "%c", 0x1241);
    EXPECT_FORMAT("A", "%lc", 'A');
    expect_asserts({});
}

TEST_F(Format, CharacterWithUpperLongOrAlternateIsReported) {
    EXPECT_FORMAT("A", "%Lc", 'A');
    EXPECT_FORMAT("B", "%#c", 'B');
    // Each of the two EXPECT_FORMAT paths reports once per conversion.
    expect_asserts({{519, "(uselong == 0) && (extra == 0)"},
                    {519, "(uselong == 0) && (extra == 0)"},
                    {519, "(uselong == 0) && (extra == 0)"},
                    {519, "(uselong == 0) && (extra == 0)"}});
}

TEST_F(Format, StringWithUpperLongOrAlternateIsReported) {
    const Result r = print_words(0, "%Ls|%#4s|%ls", "ab", "cd", "ef");
    EXPECT_EQ(r.text, std::string("ab|  cd|ef") + '\0');
    expect_asserts({{526, "(uselong == 0) && (extra == 0)"},
                    {526, "(uselong == 0) && (extra == 0)"}});
}

// ---- Unknown conversions and unfinished conversions ------------------------------

TEST_F(Format, UnknownConversionIsReportedAndWritten) {
    const Result r = print_words(0, "%q");
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.text, std::string("q") + '\0');
    expect_asserts({{621, "0"}});

    zt_reset();
    EXPECT_EQ(print_words(0, "<%5q>").text, std::string("<q>") + '\0');
    expect_asserts({{621, "0"}});
}

TEST_F(Format, LongUnknownConversionIsADecimalAndTheCharacter) {
    EXPECT_FORMAT("7q", "%lq", 7);
    EXPECT_FORMAT("-7q", "%Lq", -7);
    EXPECT_FORMAT("   07z|", "%5.2lz|", 7);
    expect_asserts({});
}

TEST_F(Format, FormatEndingInsideAConversion) {
    Result r = print_words(0, "abc%");
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(r.text, std::string("abc") + '\0');
    r = print_words(0, "abc%-5.");
    EXPECT_EQ(r.text, std::string("abc") + '\0');
    expect_asserts({{576, "0"}, {576, "0"}});

    zt_reset();
    r = print_words(0, "abc%l", 12);
    EXPECT_EQ(r.count, 5);
    EXPECT_EQ(r.text, std::string("abc12") + '\0');
    EXPECT_EQ(print_words(0, "abc%5L", -12).text, std::string("abc  -12") + '\0');
    expect_asserts({});
}

TEST_F(Format, EmptyFormatWritesOnlyTheTerminator) {
    Buffer buffer;
    EXPECT_EQ(t_print_args(buffer.data, 30, "", words().data()), 0);
    EXPECT_EQ(buffer.data[0], '\0');
    EXPECT_TRUE(buffer.untouched_from(1));
    EXPECT_FORMAT("", "");
}

// ---- Size limit -----------------------------------------------------------------

const char kForty[] = "0123456789abcdefghijABCDEFGHIJ0123456789";

TEST_F(Format, LimitClosesAfterTheEleventhCharacterOfSize30) {
    static_assert(sizeof kForty == 41, "a 40-character literal");
    Buffer buffer;
    EXPECT_EQ(t_print_args(buffer.data, 30, kForty, words().data()), 13);
    EXPECT_EQ(buffer.bytes(14), std::string("0123456789a\n\0\0", 14));
    EXPECT_TRUE(buffer.untouched_from(14));
}

TEST_F(Format, SmallSizesStopAfterTheFirstCharacter) {
    for (int32_t size : {20, 10, 4}) {
        Buffer buffer;
        EXPECT_EQ(t_print_args(buffer.data, size, kForty, words().data()), 3) << size;
        EXPECT_EQ(buffer.bytes(4), std::string("0\n\0\0", 4)) << size;
        EXPECT_TRUE(buffer.untouched_from(4)) << size;
    }
    Buffer buffer;
    EXPECT_EQ(t_print_args(buffer.data, 21, kForty, words().data()), 4);
    EXPECT_EQ(buffer.bytes(5), std::string("01\n\0\0", 5));
}

TEST_F(Format, OutputJustUnderTheLimitIsNotClosed) {
    // Size 30 allows 10 bytes before closing.
    Buffer buffer;
    EXPECT_EQ(t_print_args(buffer.data, 30, "0123456789", words().data()), 10);
    EXPECT_EQ(buffer.bytes(11), std::string("0123456789\0", 11));
    EXPECT_TRUE(buffer.untouched_from(11));
}

TEST_F(Format, ConversionThatCrossesTheLimitIsKeptWhole) {
    Buffer buffer;
    EXPECT_EQ(t_print_args(buffer.data, 30, "123456789%8d tail", words(7).data()), 19);
    EXPECT_EQ(buffer.bytes(20), std::string("123456789       7\n\0\0", 20));
    EXPECT_TRUE(buffer.untouched_from(20));
}

TEST_F(Format, PercentAndUnfinishedLongCountAsConversions) {
    Buffer percent;
    EXPECT_EQ(t_print_args(percent.data, 5, "%%rest", words().data()), 3);
    EXPECT_EQ(percent.bytes(4), std::string("%\n\0\0", 4));

    Buffer unfinished;
    EXPECT_EQ(t_print_args(unfinished.data, 12, "%l", words(123).data()), 5);
    EXPECT_EQ(unfinished.bytes(6), std::string("123\n\0\0", 6));
}

// ---- Buffer bound ---------------------------------------------------------------

TEST_F(Format, LongConversionIsCutToTheBuffer) {
    Buffer buffer;
    EXPECT_EQ(t_print_args(buffer.data, 30, "%s", words(kForty).data()), 29);
    EXPECT_EQ(buffer.bytes(30), std::string(kForty, 27) + std::string("\n\0\0", 3));
    EXPECT_TRUE(buffer.untouched_from(30));
}

TEST_F(Format, HugeFieldsStayInsideTheBuffer) {
    Buffer wide;
    EXPECT_EQ(t_print_args(wide.data, 64, "ab%2000000000d", words(5).data()), 63);
    EXPECT_EQ(wide.bytes(64), "ab" + std::string(59, ' ') + std::string("\n\0\0", 3));
    EXPECT_TRUE(wide.untouched_from(64));

    Buffer zeros;
    EXPECT_EQ(t_print_args(zeros.data, 40, "%.*x", words(100000, 1).data()), 39);
    EXPECT_EQ(zeros.bytes(40), std::string(37, '0') + std::string("\n\0\0", 3));
    EXPECT_TRUE(zeros.untouched_from(40));
}

TEST_F(Format, BuffersTooSmallForTheClosingKeepATerminator) {
    struct Case {
        int32_t size;
        int32_t count;
        std::string bytes;
    };
    for (const Case &c : {Case{3, 2, std::string("\n\0\0", 3)}, Case{2, 2, std::string("\n\0", 2)},
                          Case{1, 0, std::string("\0", 1)}}) {
        Buffer buffer;
        EXPECT_EQ(t_print_args(buffer.data, c.size, "abc", words().data()), c.count) << c.size;
        EXPECT_EQ(buffer.bytes(c.bytes.size()), c.bytes) << c.size;
        EXPECT_TRUE(buffer.untouched_from(static_cast<size_t>(c.size))) << c.size;
    }
}

TEST_F(Format, NegativeSizeStopsAfterTheFirstItem) {
    Buffer buffer;
    EXPECT_EQ(t_print_args(buffer.data, -1, "%s!", words("whole").data()), 7);
    EXPECT_EQ(buffer.bytes(8), std::string("whole\n\0\0", 8));
}

TEST_F(Format, NoSizeMeansNoLimit) {
    std::string long_text(200, 'x');
    const Result r = print_words(0, "%s", long_text.c_str());
    EXPECT_EQ(r.count, 200);
    EXPECT_EQ(r.text, long_text + '\0');
}

// ---- Argument words ---------------------------------------------------------------

TEST_F(Format, IntegersComeFromTheLowWordBits) {
    // On x86-64 the upper half of a word is not part of an integer; on i386
    // the word is the integer and `high` is zero.
    const T_ARG_WORD high = static_cast<T_ARG_WORD>(~uint64_t{0} << 32);
    const std::vector<T_ARG_WORD> list{high | 5u, high | 0xFFFFFFFEu, high | 'Z', high | 3u,
                                       high | 9u};
    Buffer buffer;
    EXPECT_EQ(t_print_args(buffer.data, 0, "%d %d %c %*d", list.data()), 10);
    EXPECT_EQ(buffer.bytes(11), std::string("5 -2 Z   9\0", 11));
}

TEST_F(Format, PointerConversionShowsTheLow32Bits) {
    int object = 0;
    const uint32_t low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&object));
    char expected[16];
    std::snprintf(expected, sizeof expected, "%X", static_cast<unsigned>(low));
    Buffer variadic;
    t_sprintf(variadic.data, "%p", static_cast<void *>(&object));
    EXPECT_STREQ(variadic.data, expected);
    const std::vector<T_ARG_WORD> list{reinterpret_cast<T_ARG_WORD>(&object)};
    Buffer array;
    t_print_args(array.data, 0, "%p", list.data());
    EXPECT_STREQ(array.data, expected);
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
    EXPECT_EQ(buffer.bytes(11), std::string("id:00-42:k\0", 11));
}
#endif

// ---- Runtime wrappers ---------------------------------------------------------------

TEST_F(Format, SprintfWrapperUsesTheRuntime) {
    char buffer[32];
    EXPECT_EQ(nb_sprintf(buffer, "%5.2f|%s|%x", 3.14159, "x", 255), 10);
    EXPECT_STREQ(buffer, " 3.14|x|ff");
}

TEST_F(Format, StreamWrappers) {
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

}  // namespace
