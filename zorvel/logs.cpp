// SPDX-License-Identifier: Apache-2.0
// Problem records, audit records and assertion reports: one readable line
// each in the log file, and a bounded history in memory for tests.
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <unistd.h>

#include "zorvel/internal.h"
#include "zorvel/record_texts.h"
#include "zorvel/record_texts.h"

namespace zv {
namespace {

struct History {
    std::deque<ZT_RECORD> kept; // deque: pointers survive push_back
    uint32_t total = 0;
};

std::mutex g_mutex;
std::array<History, 4> g_history; // indexed by ZT_PROBLEM .. ZT_ASSERT
FILE *g_file = nullptr;
bool g_open_failed = false;

// EBCDIC (code page 037) to ASCII for the characters a log reader needs;
// everything else shows as '.'.
constexpr std::array<char, 256> make_ebcdic_table() {
    std::array<char, 256> t{};
    for (auto &c : t) c = '.';
    const char *upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const char *lower = "abcdefghijklmnopqrstuvwxyz";
    const unsigned char rows[3] = {0xC1, 0xD1, 0xE2}; // A-I, J-R, S-Z
    const int counts[3] = {9, 9, 8};
    int letter = 0;
    for (int r = 0; r < 3; ++r) {
        for (int i = 0; i < counts[r]; ++i, ++letter) {
            t[rows[r] + i] = upper[letter];
            t[rows[r] - 0x40 + i] = lower[letter];
        }
    }
    for (int d = 0; d < 10; ++d) t[0xF0 + d] = static_cast<char>('0' + d);
    t[0x40] = ' ';
    t[0x4B] = '.';
    t[0x4C] = '<';
    t[0x4D] = '(';
    t[0x4E] = '+';
    t[0x50] = '&';
    t[0x5A] = '!';
    t[0x5B] = '$';
    t[0x5C] = '*';
    t[0x5D] = ')';
    t[0x5E] = ';';
    t[0x60] = '-';
    t[0x61] = '/';
    t[0x6B] = ',';
    t[0x6C] = '%';
    t[0x6D] = '_';
    t[0x6E] = '>';
    t[0x6F] = '?';
    t[0x7A] = ':';
    t[0x7B] = '#';
    t[0x7C] = '@';
    t[0x7D] = '\'';
    t[0x7E] = '=';
    t[0x7F] = '"';
    return t;
}
constexpr std::array<char, 256> kEbcdic = make_ebcdic_table();
static_assert(kEbcdic[0xC1] == 'A' && kEbcdic[0xE9] == 'Z' && kEbcdic[0x81] == 'a' && kEbcdic[0xA9] == 'z' &&
                  kEbcdic[0xF9] == '9',
              "EBCDIC letters and digits");

std::string hex_bytes(const unsigned char *p, size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = kDigits[p[i] >> 4];
        s[2 * i + 1] = kDigits[p[i] & 0xF];
    }
    return s;
}

char printable(unsigned char c) {
    return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
}

std::string quoted(const unsigned char *p, size_t n, bool ebcdic) {
    std::string s = "\"";
    for (size_t i = 0; i < n; ++i) s += ebcdic ? kEbcdic[p[i]] : printable(p[i]);
    return s + "\"";
}

std::string format_number(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format_number(const char *fmt, ...) {
    char buf[32];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// Renders the inserts named by `format`, consuming the matching varargs.
std::string render_inserts(const char *format, va_list ap) {
    std::string out;
    const char *p = format ? format : "";
    while (*p) {
        while (*p == ' ') ++p;
        const char *end = p;
        while (*end && *end != ' ') ++end;
        if (end == p) break;
        const std::string word(p, end);
        p = end;
        if (!out.empty()) out += ' ';
        if (word == "ba" || word == "ca" || word == "es") {
            const uint32_t length = va_arg(ap, uint32_t);
            const auto *bytes = static_cast<const unsigned char *>(va_arg(ap, const void *));
            if (length != 0 && !bytes) {
                out += "(null)";
            } else if (word == "ba") {
                out += length ? hex_bytes(bytes, length) : "-";
            } else if (word == "ca") {
                out += quoted(bytes, length, false);
            } else {
                out += (length ? hex_bytes(bytes, length) : "-") + " " + quoted(bytes, length, true);
            }
        } else if (word == "x") {
            out += format_number("%04X", va_arg(ap, unsigned) & 0xFFFFu);
        } else if (word == "lx") {
            out += format_number("%08" PRIX32, va_arg(ap, uint32_t));
        } else if (word == "l") {
            out += format_number("%" PRId32, va_arg(ap, int32_t));
        } else if (word == "b") {
            out += format_number("%02X", va_arg(ap, unsigned) & 0xFFu);
        } else {
            out += "?" + word; // the types of the rest are unknown: stop
            break;
        }
    }
    return out;
}

template <size_t N>
void copy_cut(char (&dst)[N], const std::string &src) {
    const size_t n = src.size() < N - 1 ? src.size() : N - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

constexpr const char *kKindNames[4] = {"?", "PROBLEM", "AUDIT", "ASSERT"};

// Appends to the history and writes the log line; takes g_mutex.
void keep(const ZT_RECORD &r, const std::string &body) {
    std::lock_guard<std::mutex> guard(g_mutex);
    History &h = g_history[r.kind];
    h.kept.push_back(r);
    if (h.kept.size() > ZT_HISTORY_MAX) h.kept.pop_front();
    ++h.total;
    if (!g_file && !g_open_failed) {
        const char *path = std::getenv("ZORVEL_LOG_FILE");
        g_file = std::fopen(path && *path ? path : "zorvel.log", "a");
        g_open_failed = g_file == nullptr;
    }
    if (g_file) {
        std::fprintf(g_file, "%s [%ld] %s %s\n", time_stamp().c_str(), static_cast<long>(getpid()),
                     kKindNames[r.kind], body.c_str());
        std::fflush(g_file);
    }
}

void print_record(uint32_t kind, uint32_t code, uint32_t sequence, const char *format, va_list ap) {
    ZT_RECORD r{};
    r.kind = kind;
    r.code = code;
    r.sequence = sequence;
    const std::string inserts = render_inserts(format, ap);
    copy_cut(r.format, format ? format : "");
    copy_cut(r.inserts, inserts);
    char head[64];
    std::snprintf(head, sizeof head, "%08" PRIX32 "/%" PRIu32, code, sequence);
    const std::string text = record_text(code, sequence);
    keep(r, head + (text.empty() ? "" : " " + text) + ": fmt=\"" + std::string(r.format) + "\" " + inserts);
}

} // namespace

std::string time_stamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char buf[40];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buf + n, sizeof buf - n, ".%03ld", now.tv_nsec / 1000000L);
    return buf;
}

void reset_logs() {
    std::lock_guard<std::mutex> guard(g_mutex);
    for (auto &h : g_history) h = History{};
    if (g_file) std::fclose(g_file);
    g_file = nullptr;
    g_open_failed = false; // the environment may name another file now
}

uint32_t record_count(uint32_t kind) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return kind >= ZT_PROBLEM && kind <= ZT_ASSERT ? g_history[kind].total : 0;
}

const ZT_RECORD *record_at(uint32_t kind, uint32_t index) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (kind < ZT_PROBLEM || kind > ZT_ASSERT) return nullptr;
    const History &h = g_history[kind];
    const uint32_t first = h.total - static_cast<uint32_t>(h.kept.size());
    if (index < first || index >= h.total) return nullptr;
    return &h.kept[index - first];
}

} // namespace zv

extern "C" NODE_API void nba_pd_print_problem(uint32_t code, uint32_t sequence, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    zv::print_record(ZT_PROBLEM, code, sequence, format, ap);
    va_end(ap);
}

extern "C" NODE_API void nba_pd_print_audit(uint32_t code, uint32_t sequence, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    zv::print_record(ZT_AUDIT, code, sequence, format, ap);
    va_end(ap);
}

extern "C" NODE_API void v0_assert(const char *file, int32_t line, const char *expression) {
    ZT_RECORD r{};
    r.kind = ZT_ASSERT;
    r.code = static_cast<uint32_t>(line);
    r.line = line;
    const std::string f = file ? file : "(null)";
    const std::string e = expression ? expression : "(null)";
    zv::copy_cut(r.file, f);
    zv::copy_cut(r.expression, e);
    zv::copy_cut(r.inserts, f + ": " + e);
    zv::keep(r, f + ":" + std::to_string(line) + " " + e);
}
