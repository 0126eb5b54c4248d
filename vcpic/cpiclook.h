/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The side-information directory: symbolic destination names resolved from
 * the process's own table, else from the node (and cached).
 *
 * The table (GCB SideInfoTable) holds one 152-byte SideInfoRecord per name:
 * entries the program set, copies of node answers, and deleted markers that
 * hide a name from this process. Everything here runs under the process
 * lock held by the calling routine.
 */
#ifndef VCPIC_CPICLOOK_H
#define VCPIC_CPICLOOK_H

#include <stdint.h>

#include "node/nof_records.h"
#include "vcpic/cpic_records.h"

enum SideInfoOperation : uint16_t {
    kSideInfoLookup = 1,
    kSideInfoDelete = 2,
    kSideInfoSet = 3,
};

/* Runs one operation on the 148-byte entry whose first 8 bytes are the
 * name; initialises the library first if needed. 0 OK, 20, or 24. The
 * caller holds the process lock. Any other operation does nothing and
 * returns 0. */
CPIC_EXTERN_C uint32_t SCD_main(uint16_t operation, SideInfoEntry *entry);

/* ---- Internal: the operations behind SCD_main ------------------------- */

/* Fills `entry` for its name: from the table, else from the node (the
 * answer is then cached). 0, 20 (node failure), 24 (unknown or deleted). */
CPIC_EXTERN_C uint32_t SCD_lookup(SideInfoEntry *entry);
/* Hides the name from this process with a deleted marker. 0, 20, 24. */
CPIC_EXTERN_C uint32_t SCD_delete(SideInfoEntry *entry);
/* Puts the entry in force for its name. 0, or 20 when no record can be had. */
CPIC_EXTERN_C uint32_t SCD_set(SideInfoEntry *entry);
/* Converts the node's answer into `entry` and caches a copy; a failure to
 * cache is not the caller's failure. */
CPIC_EXTERN_C void SCD_read_nof_response(const NOF_SIDE_INFO_ANSWER *answer, SideInfoEntry *entry);
/* 1 and the record (valid or deleted marker) whose name equals the 8 bytes
 * at `name`, scanning in handle order; 0 when there is none. */
CPIC_EXTERN_C uint16_t SCD_match_sym_dest_name(const char *name, SideInfoRecord **record);

#endif /* VCPIC_CPICLOOK_H */
