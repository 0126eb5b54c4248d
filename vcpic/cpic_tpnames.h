/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The process-wide list of local TP names: the names the program serves,
 * each registered with the node while it is listed. Specify_Local_TP_Name
 * and Release_Local_TP_Name change it; the accept calls add the local TP
 * name of the environment and hand the whole list to the node.
 *
 * The list is LocTPNameTable of the GCB (one entry per name, in handle
 * order) with NumLocTPNames counting its entries. Everything here runs
 * under the process lock and only while the library is initialised.
 */
#ifndef VCPIC_CPIC_TPNAMES_H
#define VCPIC_CPIC_TPNAMES_H

#include <stdint.h>

#include "vcpic/cpic_records.h"

namespace cpic {

inline constexpr uint16_t kTpNameSize = 64;

/* One list entry: 66 bytes from the node's memory, owned by the list. */
struct LocalTpName {
    uint16_t usLength;               /* as the program gave it, 1 to 64 */
    unsigned char Name[kTpNameSize]; /* EBCDIC, X'40' padded */
};
static_assert(sizeof(LocalTpName) == 66, "a list entry is 66 bytes");

/* Problem sequences of record 0x2003000B (no memory, no table entry) and
 * 0x2003000E (the node refused to register) for one place that lists. */
struct ListingProblems {
    uint32_t no_memory;
    uint32_t no_table_entry;
    uint32_t register_refused;
};

/* Handle of the entry whose length is `length` and whose first `length`
 * bytes equal `name`; 0 when there is none. */
uint32_t find_local_tp_name(uint16_t length, const unsigned char *name);

/* Registers the 64-byte `name` with the node and lists it under `length`,
 * counting it in NumLocTPNames. False when memory, a table entry or the
 * node refused (problem record written, list unchanged). */
bool list_local_tp_name(uint16_t length, const unsigned char *name, const ListingProblems &problems);

/* Withdraws the entry's name at the node and, when the node agrees, drops
 * the entry and uncounts it. False (problem record 0x2003000F with
 * `problem_sequence`, entry still listed) when the node refuses. */
bool withdraw_local_tp_name(uint32_t handle, uint32_t problem_sequence);

/* Copies every listed 64-byte name, in handle order, into `names` (room for
 * `capacity` names); returns how many entries the list holds. */
uint32_t copy_local_tp_names(unsigned char *names, uint32_t capacity);

/* Handle of the first entry (handle order) whose 64-byte name equals
 * `name`; 0 when there is none. */
uint32_t local_tp_name_handle(const unsigned char *name);

} // namespace cpic

#endif /* VCPIC_CPIC_TPNAMES_H */
