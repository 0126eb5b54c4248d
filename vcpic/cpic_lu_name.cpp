// SPDX-License-Identifier: Apache-2.0
// The partner LU name codec shared by the set and extract calls, side
// information and the accept path.
#include "vcpic/cpic_lu_name.h"

#include <string.h>

#include "vcpic/cpic_util.h"

namespace cpic {

namespace {

constexpr uint16_t kAliasField = 8;
constexpr unsigned char kAsciiPeriod = '.';

void convert(uint8_t direction, size_t length, unsigned char *destination, const unsigned char *source) {
    SCC_convert_string(direction, CHARSET_TYPE_A, static_cast<int16_t>(length), destination, source);
}

} // namespace

uint16_t length_before(const unsigned char *text, uint16_t limit, unsigned char blank) {
    uint16_t n = 0;
    while (n < limit && text[n] != blank) ++n;
    return n;
}

int32_t find_net_id_period(const unsigned char *name, size_t length, unsigned char period, NetIdPeriod rule) {
    int32_t found = -1;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] != period) continue;
        found = static_cast<int32_t>(i);
        if (rule == NetIdPeriod::kFirst) break;
    }
    return found;
}

void store_partner_lu_name(SideInfoEntry &e, const unsigned char *name, uint16_t length, uint16_t span,
                           NetIdPeriod rule) {
    e.usPLUNameLen = length;
    const int32_t period = find_net_id_period(name, length, kAsciiPeriod, rule);
    if (period < 0) {
        memset(e.PartnerLUName, kAsciiBlank, kAliasField);
        memcpy(e.PartnerLUName, name, span);
        e.usPLUNameQualified = 0;
        return;
    }
    const auto net = static_cast<uint16_t>(period);
    memset(e.PartnerLUName, kEbcdicBlank, sizeof e.PartnerLUName);
    e.usPLUNameQualified = 1;
    e.usPLUNetIdLen = net;
    convert(CONVERT_ASCII_TO_EBCDIC, net, e.PartnerLUName, name);
    e.PartnerLUName[net] = kEbcdicPeriod;
    convert(CONVERT_ASCII_TO_EBCDIC, span - net - 1u, e.PartnerLUName + net + 1, name + net + 1);
}

void take_network_lu_name(SideInfoEntry &e, const unsigned char (&name)[17]) {
    const uint16_t length = length_before(name, sizeof name, kEbcdicBlank);
    const int32_t period = find_net_id_period(name, length, kEbcdicPeriod, NetIdPeriod::kLast);
    e.usPLUNameLen = length;
    e.usPLUNetIdLen = static_cast<uint16_t>(period < 0 ? 0 : period);
    e.usPLUNameQualified = 1;
    memcpy(e.PartnerLUName, name, sizeof e.PartnerLUName);
}

size_t read_partner_lu_name(const SideInfoEntry &e, unsigned char *out) {
    constexpr size_t kField = sizeof e.PartnerLUName;
    const size_t length = e.usPLUNameLen < kField ? e.usPLUNameLen : kField;
    if (e.usPLUNameQualified == 1 && e.usPLUNetIdLen < length) {
        const size_t net = e.usPLUNetIdLen;
        convert(CONVERT_EBCDIC_TO_ASCII, net, out, e.PartnerLUName);
        out[net] = kAsciiPeriod;
        convert(CONVERT_EBCDIC_TO_ASCII, length - net - 1, out + net + 1, e.PartnerLUName + net + 1);
    } else {
        memcpy(out, e.PartnerLUName, length);
    }
    return length;
}

} // namespace cpic
