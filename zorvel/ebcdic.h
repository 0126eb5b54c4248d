/* SPDX-License-Identifier: Apache-2.0 */
// EBCDIC (code page 037) <-> ASCII for the names that travel to a partner:
// letters, digits, the blank and the punctuation local TP names may hold.
// Anything else becomes '?' one way and X'6F' the other, so a name that
// round-trips unchanged is one the node can compare.
#ifndef ZORVEL_EBCDIC_H
#define ZORVEL_EBCDIC_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zv::ebcdic {

struct Pair {
    char ascii;
    uint8_t code;
};

inline constexpr Pair kPunctuation[] = {
    {' ', 0x40}, {'.', 0x4B}, {'<', 0x4C}, {'(', 0x4D}, {'+', 0x4E}, {'&', 0x50},  {'!', 0x5A}, {'$', 0x5B},
    {'*', 0x5C}, {')', 0x5D}, {';', 0x5E}, {'-', 0x60}, {'/', 0x61}, {',', 0x6B},  {'%', 0x6C}, {'_', 0x6D},
    {'>', 0x6E}, {'?', 0x6F}, {':', 0x7A}, {'#', 0x7B}, {'@', 0x7C}, {'\'', 0x7D}, {'=', 0x7E}, {'"', 0x7F}};

struct Tables {
    std::array<char, 256> to_ascii{};
    std::array<uint8_t, 256> to_ebcdic{};
};

constexpr Tables make_tables() {
    Tables t{};
    for (auto &c : t.to_ascii) c = '?';
    for (auto &c : t.to_ebcdic) c = 0x6F;
    auto set = [&t](char a, uint8_t e) {
        t.to_ascii[e] = a;
        t.to_ebcdic[static_cast<unsigned char>(a)] = e;
    };
    const uint8_t rows[3] = {0xC1, 0xD1, 0xE2}; // A-I, J-R, S-Z
    const int counts[3] = {9, 9, 8};
    int letter = 0;
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < counts[r]; ++i, ++letter) {
            set(static_cast<char>('A' + letter), static_cast<uint8_t>(rows[r] + i));
            set(static_cast<char>('a' + letter), static_cast<uint8_t>(rows[r] - 0x40 + i));
        }
    for (int d = 0; d < 10; ++d) set(static_cast<char>('0' + d), static_cast<uint8_t>(0xF0 + d));
    for (const Pair &p : kPunctuation) set(p.ascii, p.code);
    return t;
}

inline constexpr Tables kTables = make_tables();
static_assert(kTables.to_ascii[0xC1] == 'A' && kTables.to_ebcdic['z'] == 0xA9 &&
                  kTables.to_ebcdic['_'] == 0x6D && kTables.to_ascii[0xF9] == '9',
              "EBCDIC letters, digits and punctuation");

// The name in a fixed EBCDIC field, without its padding (X'40' or X'00').
inline std::string to_ascii(const uint8_t *field, size_t width) {
    size_t n = width;
    while (n > 0 && (field[n - 1] == 0x40 || field[n - 1] == 0x00)) --n;
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i) s[i] = kTables.to_ascii[field[i]];
    return s;
}

// Fills a fixed EBCDIC field, padded with X'40'; longer names are cut.
inline void to_ebcdic(const std::string &name, uint8_t *field, size_t width) {
    for (size_t i = 0; i < width; ++i)
        field[i] = i < name.size() ? kTables.to_ebcdic[static_cast<unsigned char>(name[i])] : 0x40;
}

} // namespace zv::ebcdic

#endif // ZORVEL_EBCDIC_H
