// SPDX-License-Identifier: Apache-2.0
// Formatted-output utilities: thin wrappers over the C runtime, and the
// module's own size-limited formatter behind t_sprintf and t_print_args.

#include "vsvig/svmcspnt.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "node/services.h"

namespace {

// Assertion reports name the module's historical source path and lines so
// that problem reports from the field keep matching across builds.
constexpr const char kAssertFile[] = "../../p/vsvig/svmcspnt";
constexpr const char kNoLongOrAlternate[] = "(uselong == 0) && (extra == 0)";
constexpr const char kNotReached[] = "0";

enum AssertLine : int32_t {
    kLineCharFlags = 519,
    kLineStringFlags = 526,
    kLineEndInConversion = 576,
    kLineUnknownConversion = 621,
};

// The closing sequence of a limited output: newline and two NULs. The
// count returned covers the newline and the first NUL.
constexpr int64_t kClosingLength = 3;
constexpr int64_t kLimitMargin = 20;

// ---- Argument sources --------------------------------------------------
//
// The formatter is written once over a source of arguments; the two
// sources differ only in where the next value comes from.

// Words laid out one after another (t_print_args). On i386 this is exactly
// the stack image of a variadic call; on x86-64 each word is pointer-sized
// and integers live in its low 32 bits.
class WordArguments {
  public:
    explicit WordArguments(const T_ARG_WORD *words) : next_(words) {}

    int32_t integer() { return static_cast<int32_t>(static_cast<uint32_t>(*next_++)); }
    const char *string() { return reinterpret_cast<const char *>(*next_++); }
    uint32_t address() { return static_cast<uint32_t>(*next_++); }

  private:
    const T_ARG_WORD *next_;
};

// A variadic caller's own arguments (t_sprintf). Reading them with their
// natural types keeps the 64-bit build correct where ints and pointers
// occupy different slot widths.
class VariadicArguments {
  public:
    explicit VariadicArguments(va_list arguments) { va_copy(arguments_, arguments); }
    ~VariadicArguments() { va_end(arguments_); }
    VariadicArguments(const VariadicArguments &) = delete;
    VariadicArguments &operator=(const VariadicArguments &) = delete;

    int32_t integer() { return static_cast<int32_t>(va_arg(arguments_, int)); }
    const char *string() { return va_arg(arguments_, const char *); }
    uint32_t address() {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(va_arg(arguments_, const void *)));
    }

  private:
    va_list arguments_;
};

// ---- Output --------------------------------------------------------------
//
// Bounding: with a size, the caller's buffer holds `size` bytes, but the
// documented limit is only checked between items, so one long conversion
// could run past the buffer before the check fires. Content bytes are
// therefore dropped once size - 3 of them are in the buffer; the limit
// check that follows every item then closes the output, and the newline
// and two NULs land exactly in the last three bytes. Single copied
// characters never reach that point (the check fires 17 bytes earlier), so
// only a conversion longer than the remaining room is cut short. Buffers
// too small for the full closing keep what fits of it and always end in a
// NUL. A size of 0 sets no bound (as with sprintf); a negative size names
// no buffer either, so it is unbounded too, while the signed limit check
// still stops the output after its first item.
class Output {
  public:
    Output(char *destination, int32_t size)
        : destination_(destination), size_(size), bounded_(size > 0),
          content_room_(static_cast<int64_t>(size) - kClosingLength) {}

    bool full() const { return bounded_ && written_ >= content_room_; }

    void put(char c) {
        if (!full()) destination_[written_++] = c;
    }

    void repeat(char c, int64_t count) {
        for (; count > 0 && !full(); --count) destination_[written_++] = c;
    }

    void text(const char *s, int64_t length) {
        for (int64_t i = 0; i < length && !full(); ++i) destination_[written_++] = s[i];
    }

    bool limit_reached() const { return size_ != 0 && written_ > static_cast<int64_t>(size_) - kLimitMargin; }

    int32_t close() {
        if (bounded_ && size_ - written_ < 2) {
            // No room for a newline before the terminator.
            if (written_ < size_) destination_[written_] = '\0';
            return result(written_);
        }
        destination_[written_] = '\n';
        destination_[written_ + 1] = '\0';
        if (!bounded_ || written_ + 2 < size_) destination_[written_ + 2] = '\0';
        return result(written_ + 2);
    }

    int32_t finish() {
        destination_[written_] = '\0';
        return result(written_);
    }

  private:
    static int32_t result(int64_t count) { return static_cast<int32_t>(count); }

    char *destination_;
    int64_t size_;
    bool bounded_;
    int64_t content_room_;
    int64_t written_ = 0;
};

// ---- One conversion ----------------------------------------------------------

struct Conversion {
    bool alternate = false; // '#'
    bool left = false;      // '-'
    bool zero_fill = false; // '0' before any width digit
    bool in_precision = false;
    bool long_lower = false; // 'l'
    bool long_upper = false; // 'L'
    int32_t width = 0;
    int32_t precision = 0;

    bool any_long() const { return long_lower || long_upper; }
};

// Field sizes saturate instead of overflowing on absurd digit strings.
int32_t append_digit(int32_t value, int digit) {
    const int64_t next = static_cast<int64_t>(value) * 10 + digit;
    if (next > INT32_MAX) return INT32_MAX;
    if (next < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(next);
}

int64_t field_fill(const Conversion &conv, int64_t text_length) {
    const int64_t fill = static_cast<int64_t>(conv.width) - text_length;
    return fill > 0 ? fill : 0;
}

void put_number(Output &out, const Conversion &conv, uint32_t magnitude, uint32_t base, const char *prefix) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    char reversed[32];
    int64_t count = 0;
    do {
        reversed[count++] = kDigits[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);

    const int64_t prefix_length = static_cast<int64_t>(std::strlen(prefix));
    const int64_t zeros = conv.precision > count ? conv.precision - count : 0;
    const int64_t fill = field_fill(conv, prefix_length + zeros + count);
    const char fill_char = conv.zero_fill ? '0' : ' ';

    if (!conv.left) out.repeat(fill_char, fill);
    out.text(prefix, prefix_length);
    out.repeat('0', zeros);
    while (count > 0) out.put(reversed[--count]);
    if (conv.left) out.repeat(fill_char, fill);
}

void put_signed(Output &out, const Conversion &conv, int32_t value) {
    // Negate in unsigned arithmetic: the magnitude of INT32_MIN has no
    // signed representation.
    const uint32_t bits = static_cast<uint32_t>(value);
    if (value < 0) {
        put_number(out, conv, 0u - bits, 10, "-");
    } else {
        put_number(out, conv, bits, 10, "");
    }
}

void put_string(Output &out, const Conversion &conv, const char *s) {
    int64_t length = 0;
    if (s != nullptr) {
        if (conv.precision != 0) {
            // Never look past the precision: the text need not be
            // terminated within it.
            while (length < conv.precision && s[length] != '\0') ++length;
        } else {
            length = static_cast<int64_t>(std::strlen(s));
        }
    }
    const int64_t fill = field_fill(conv, length);
    if (!conv.left) out.repeat(' ', fill);
    if (s != nullptr) out.text(s, length);
    if (conv.left) out.repeat(' ', fill);
}

// Folds one flag, digit, '*' or '.' into the conversion; false when `c`
// ends it.
template <class Arguments>
bool take_modifier(char c, Conversion &conv, Arguments &args) {
    switch (c) {
    case '#': conv.alternate = true; return true;
    case '-': conv.left = true; return true;
    case '.': conv.in_precision = true; return true;
    case 'l': conv.long_lower = true; return true;
    case 'L': conv.long_upper = true; return true;
    case '*': (conv.in_precision ? conv.precision : conv.width) = args.integer(); return true;
    default: break;
    }
    if (c < '0' || c > '9') return false;
    if (conv.in_precision) {
        conv.precision = append_digit(conv.precision, c - '0');
    } else {
        if (c == '0' && conv.width == 0) conv.zero_fill = true;
        conv.width = append_digit(conv.width, c - '0');
    }
    return true;
}

template <class Arguments>
void convert(Output &out, const Conversion &conv, char c, Arguments &args) {
    switch (c) {
    case '%': out.put('%'); break;
    case 'c':
        if (conv.long_upper || conv.alternate) {
            v0_assert(kAssertFile, kLineCharFlags, kNoLongOrAlternate);
        }
        out.put(static_cast<char>(static_cast<uint32_t>(args.integer()) & 0xFFu));
        break;
    case 's':
        if (conv.long_upper || conv.alternate) {
            v0_assert(kAssertFile, kLineStringFlags, kNoLongOrAlternate);
        }
        put_string(out, conv, args.string());
        break;
    case 'd':
    case 'i':
    case 'w': put_signed(out, conv, args.integer()); break;
    case 'u': put_number(out, conv, static_cast<uint32_t>(args.integer()), 10, ""); break;
    case 'o':
        put_number(out, conv, static_cast<uint32_t>(args.integer()), 8, conv.alternate ? "0" : "");
        break;
    case 'x':
    case 'X':
        put_number(out, conv, static_cast<uint32_t>(args.integer()), 16, conv.alternate ? "0X" : "");
        break;
    case 'p': put_number(out, conv, args.address(), 16, conv.alternate ? "0X" : ""); break;
    default:
        // With a long flag an unknown letter is taken as a suffix to a
        // decimal value rather than as a mistake.
        if (conv.any_long()) {
            put_signed(out, conv, args.integer());
        } else {
            v0_assert(kAssertFile, kLineUnknownConversion, kNotReached);
        }
        out.put(c);
        break;
    }
}

template <class Arguments>
int32_t format_output(char *destination, int32_t size, const char *format, Arguments &args) {
    if (*format == '\0') {
        destination[0] = '\0';
        return 0;
    }

    Output out(destination, size);
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.put(*p++);
            if (out.limit_reached()) return out.close();
            continue;
        }
        ++p;

        Conversion conv;
        while (*p != '\0' && take_modifier(*p, conv, args)) ++p;
        if (*p == '\0') {
            // The format ran out inside a conversion.
            if (conv.any_long()) {
                put_signed(out, conv, args.integer());
                if (out.limit_reached()) return out.close();
            } else {
                v0_assert(kAssertFile, kLineEndInConversion, kNotReached);
            }
            return out.finish();
        }
        convert(out, conv, *p++, args);
        if (out.limit_reached()) return out.close();
    }
    return out.finish();
}

} // namespace

CPIC_API int nb_fprintf(FILE *stream, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = std::vfprintf(stream, format, arguments);
    va_end(arguments);
    return result;
}

CPIC_API int nb_printf(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    return result;
}

CPIC_API int nb_sprintf(char *destination, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = std::vsprintf(destination, format, arguments);
    va_end(arguments);
    return result;
}

CPIC_API int32_t t_sprintf(char *destination, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int32_t result;
    {
        VariadicArguments source(arguments);
        result = format_output(destination, 0, format, source);
    }
    va_end(arguments);
    return result;
}

CPIC_API int32_t t_print_args(char *destination, int32_t size, const char *format,
                              const T_ARG_WORD *arguments) {
    WordArguments source(arguments);
    return format_output(destination, size, format, source);
}
