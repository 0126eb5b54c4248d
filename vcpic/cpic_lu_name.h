/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The partner LU name, in the one form every call keeps it in the
 * side-information entry: an alias (at most 8 characters, ASCII as given,
 * resolved by the node) or a network-qualified NETID.LUNAME (EBCDIC from the
 * type A set, padded with X'40', the period as X'4B' because the set does
 * not carry it). Whoever stores or reads a partner LU name goes through here.
 */
#ifndef VCPIC_CPIC_LU_NAME_H
#define VCPIC_CPIC_LU_NAME_H

#include <stddef.h>
#include <stdint.h>

#include "vcpic/cpic_records.h"

namespace cpic {

/* Which period ends the network ID when a name holds more than one: a name
 * the program sets splits at its first, a name from side information or from
 * the partner at its last. */
enum class NetIdPeriod : uint8_t { kFirst, kLast };

/* Bytes before the first `blank`, at most `limit`. */
uint16_t length_before(const unsigned char *text, uint16_t limit, unsigned char blank);

/* Position of the period ending the network ID within the first `length`
 * bytes, or -1 when there is none. */
int32_t find_net_id_period(const unsigned char *name, size_t length, unsigned char period, NetIdPeriod rule);

/* Stores an ASCII name of `length` characters. `span` bytes of the source
 * are written (the name and whatever padding follows it, at most 17): an
 * alias over 8 ASCII blanks, a qualified name over 17 EBCDIC blanks. An
 * alias leaves the network ID length as it was. */
void store_partner_lu_name(SideInfoEntry &entry, const unsigned char *name, uint16_t length, uint16_t span,
                           NetIdPeriod rule);

/* Records a name the node gives in network form (EBCDIC, X'40' padded):
 * always qualified, split at its last period (none: network ID length 0). */
void take_network_lu_name(SideInfoEntry &entry, const unsigned char (&name)[17]);

/* Writes the stored name in ASCII, as the program set it: its length, cut
 * to the 17-byte field. Returns the bytes written. */
size_t read_partner_lu_name(const SideInfoEntry &entry, unsigned char *out);

} // namespace cpic

#endif /* VCPIC_CPIC_LU_NAME_H */
