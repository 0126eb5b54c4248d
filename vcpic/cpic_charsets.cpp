// SPDX-License-Identifier: Apache-2.0
// The character-set tables are computed at compile time from one relation,
// ISO 8859-1 to EBCDIC code page 037, and one membership predicate per set,
// so that the four tables cannot disagree on a character they share.
#include "vcpic/cpic_charsets.h"

#include "node/services.h"

namespace {

// EBCDIC 037 images of the printable ASCII characters 0x20 .. 0x7E.
constexpr unsigned char kCp037Printable[95] = {
    0x40, 0x5A, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61, // 20
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F, // 30
    0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, // 40
    0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xBA, 0xE0, 0xBB, 0xB0, 0x6D, // 50
    0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, // 60
    0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xC0, 0x4F, 0xD0, 0xA1,       // 70
};

// The three ISO 8859-1 characters above 0x7F that the extended set carries.
constexpr unsigned char kCentSign = 0xA2, kCentEbcdic = 0x4A;
constexpr unsigned char kBrokenBar = 0xA6, kBrokenBarEbcdic = 0x6A;
constexpr unsigned char kNotSign = 0xAC, kNotSignEbcdic = 0x5F;

constexpr unsigned char cp037(unsigned c) {
    if (c >= 0x20 && c <= 0x7E) return kCp037Printable[c - 0x20];
    if (c == kCentSign) return kCentEbcdic;
    if (c == kBrokenBar) return kBrokenBarEbcdic;
    if (c == kNotSign) return kNotSignEbcdic;
    return 0;
}

constexpr bool is_alnum(unsigned c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool in(unsigned c, const char *set) {
    for (; *set; ++set)
        if (static_cast<unsigned char>(*set) == c) return true;
    return false;
}

enum class Set { TypeAE, TypeA, S00640, S00640Ext };

constexpr bool carries(Set set, unsigned c) {
    switch (set) {
    case Set::TypeA: return is_alnum(c) || in(c, " #$@");
    case Set::TypeAE: return is_alnum(c) || in(c, " #$.@");
    case Set::S00640: return is_alnum(c) || in(c, " \"#$%&'()*+,-./:;<=>?@_");
    case Set::S00640Ext:
        return carries(Set::S00640, c) || in(c, "!\\{|}~`") || c == kCentSign || c == kBrokenBar ||
               c == kNotSign;
    }
    return false;
}

constexpr CharsetTable make_table(Set set) {
    CharsetTable t{};
    for (unsigned c = 0; c < 256; ++c) {
        if (!carries(set, c)) continue;
        unsigned char e = cp037(c);
        // Type A folds lower case: the name travels in upper case either way.
        if (set == Set::TypeA && c >= 'a' && c <= 'z') e = cp037(c - 'a' + 'A');
        t[c] = e;
        t[256 + cp037(c)] = (set == Set::TypeA && c >= 'a' && c <= 'z')
                                ? static_cast<unsigned char>(c - 'a' + 'A')
                                : static_cast<unsigned char>(c);
    }
    return t;
}

} // namespace

extern "C" {
CPIC_EXPORT extern const CharsetTable cpic_ae = make_table(Set::TypeAE);
CPIC_EXPORT extern const CharsetTable cpic_a = make_table(Set::TypeA);
CPIC_EXPORT extern const CharsetTable cpic_ae640 = make_table(Set::S00640);
CPIC_EXPORT extern const CharsetTable cpic_ae640_ex = make_table(Set::S00640Ext);
}

static_assert(make_table(Set::TypeAE)[' '] == 0x40 && make_table(Set::TypeA)['a'] == 0xC1 &&
                  make_table(Set::TypeA)[256 + 0x81] == 'A' && make_table(Set::TypeAE)['_'] == 0,
              "character-set tables");

CPIC_EXTERN_C void SCC_convert_string(uint8_t direction, uint16_t table, int16_t length,
                                      unsigned char *destination, const unsigned char *source) {
    static constexpr const char *kSource = "../../p/vcpic/cpicutil";
    unsigned offset = 0;
    if (direction == CONVERT_ASCII_TO_EBCDIC) {
        offset = 0;
    } else if (direction == CONVERT_EBCDIC_TO_ASCII) {
        offset = 256;
    } else {
        v0_assert(kSource, 1140, "FALSE");
    }
    const CharsetTable *tables[] = {&cpic_ae, &cpic_a, &cpic_ae640, &cpic_ae640_ex};
    if (table >= 4) {
        v0_assert(kSource, 1174, "FALSE");
        return;
    }
    const unsigned char *map = tables[table]->data() + offset;
    for (int i = 0; i < length; ++i) destination[i] = map[source[i]];
}
