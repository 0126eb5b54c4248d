// SPDX-License-Identifier: Apache-2.0
// The character-set tables checked against glibc's own code page 037
// converter, run at test time, and the conversion routine's contract.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>
#include <tuple>

#include "vcpic/cpic_charsets.h"
#include "zorvel/zorvel_control.h"

namespace {

unsigned char iconv_byte(const char *to, const char *from, unsigned char c) {
    iconv_t cd = iconv_open(to, from);
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << "no " << from << " -> " << to << " converter";
    char in = static_cast<char>(c), out = 0;
    char *pin = &in, *pout = &out;
    size_t inleft = 1, outleft = 1;
    size_t r = iconv(cd, &pin, &inleft, &pout, &outleft);
    iconv_close(cd);
    EXPECT_NE(r, static_cast<size_t>(-1)) << "byte " << int(c);
    return static_cast<unsigned char>(out);
}
unsigned char to_ebcdic(unsigned char c) {
    return iconv_byte("CP037", "ISO-8859-1", c);
}
unsigned char to_ascii(unsigned char e) {
    return iconv_byte("ISO-8859-1", "CP037", e);
}

// The character sets written out independently of the library's predicates.
const std::string kAlnum = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
const std::string kTypeA = " #$@" + kAlnum;
const std::string kTypeAE = " #$.@" + kAlnum;
const std::string k00640 = " \"#$%&'()*+,-./:;<=>?@_" + kAlnum;
const std::string k00640Ext = k00640 + "!\\{|}~`\xA2\xA6\xAC";

struct Case {
    const char *name;
    const CharsetTable *table;
    const std::string *set;
    size_t count;
    bool folds;
};

class CharsetTables : public ::testing::TestWithParam<Case> {};

TEST_P(CharsetTables, MatchCodePage037OnTheirSet) {
    const Case &c = GetParam();
    ASSERT_EQ(c.set->size(), c.count);
    const CharsetTable &t = *c.table;
    for (unsigned a = 0; a < 256; ++a) {
        bool carried = c.set->find(static_cast<char>(a)) != std::string::npos;
        unsigned char want = 0;
        if (carried) {
            unsigned char src = (c.folds && a >= 'a' && a <= 'z') ? static_cast<unsigned char>(a - 32) : a;
            want = to_ebcdic(src);
        }
        EXPECT_EQ(t[a], want) << c.name << " ASCII 0x" << std::hex << a;
    }
    for (unsigned e = 0; e < 256; ++e) {
        unsigned char a = to_ascii(static_cast<unsigned char>(e));
        bool carried = c.set->find(static_cast<char>(a)) != std::string::npos;
        unsigned char want = carried ? a : 0;
        if (carried && c.folds && a >= 'a' && a <= 'z') want = static_cast<unsigned char>(a - 32);
        EXPECT_EQ(t[256 + e], want) << c.name << " EBCDIC 0x" << std::hex << e;
    }
}

INSTANTIATE_TEST_SUITE_P(All, CharsetTables,
                         ::testing::Values(Case{"type_ae", &cpic_ae, &kTypeAE, 67, false},
                                           Case{"type_a", &cpic_a, &kTypeA, 66, true},
                                           Case{"s00640", &cpic_ae640, &k00640, 85, false},
                                           Case{"s00640_ext", &cpic_ae640_ex, &k00640Ext, 95, false}),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

std::string convert(uint8_t dir, uint16_t table, const std::string &in) {
    std::string out(in.size(), '\x7F');
    SCC_convert_string(dir, table, static_cast<int16_t>(in.size()),
                       reinterpret_cast<unsigned char *>(&out[0]),
                       reinterpret_cast<const unsigned char *>(in.data()));
    return out;
}

class ConvertString : public ::testing::Test {
  protected:
    void SetUp() override { zt_reset(); }
};

TEST_F(ConvertString, RoundTripsAndFoldsAndDrops) {
    EXPECT_EQ(convert(0, CHARSET_00640_EXTENDED, "abc"), "\x81\x82\x83");
    EXPECT_EQ(convert(1, CHARSET_00640_EXTENDED, "\x81\x82\x83"), "abc");
    EXPECT_EQ(convert(0, CHARSET_TYPE_A, "lub1"), "\xD3\xE4\xC2\xF1");
    EXPECT_EQ(convert(1, CHARSET_TYPE_A, "\xD3\xE4\xC2\xF1"), "LUB1");
    EXPECT_EQ(convert(1, CHARSET_TYPE_A, "\x93\xA4\x82\xF1"), "LUB1");
    EXPECT_EQ(convert(0, CHARSET_TYPE_A, "."), std::string(1, '\0'));
    EXPECT_EQ(convert(0, CHARSET_TYPE_AE, "lub1.-_"), std::string("\x93\xA4\x82\xF1\x4B\0\0", 7));
    EXPECT_EQ(convert(0, CHARSET_00640, "-_/9!["), std::string("\x60\x6D\x61\xF9\0\0", 6));
    EXPECT_EQ(zt_assert_count(), 0u);
}

TEST_F(ConvertString, InPlaceAndNonPositiveLengths) {
    unsigned char buf[] = {'A', 'b', '$', 0x01};
    SCC_convert_string(0, CHARSET_00640_EXTENDED, 4, buf, buf);
    EXPECT_EQ(0, memcmp(buf, "\xC1\x82\x5B\x00", 4));
    unsigned char keep[] = {'x', 'y'};
    SCC_convert_string(0, CHARSET_TYPE_AE, 0, keep, keep);
    SCC_convert_string(0, CHARSET_TYPE_AE, -5, keep, keep);
    EXPECT_EQ(0, memcmp(keep, "xy", 2));
}

TEST_F(ConvertString, BadArgumentsAreAssertedWithTheirSourceLines) {
    convert(2, CHARSET_TYPE_AE, "ab");
    EXPECT_EQ(convert(0, 4, "ab"), "\x7F\x7F") << "an unknown table converts nothing";
    ASSERT_EQ(zt_assert_count(), 2u);
    EXPECT_EQ(std::make_tuple(zt_assert(0)->line, std::string(zt_assert(0)->file),
                              std::string(zt_assert(0)->expression)),
              std::make_tuple(1140, "../../p/vcpic/cpicutil", "FALSE"));
    EXPECT_EQ(zt_assert(1)->line, 1174);
}

} // namespace
