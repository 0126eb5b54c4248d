/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Verb entry points of the node: APPC verbs blocking or with a completion
 * callback, NOF verbs blocking.
 */
#ifndef NODE_VERB_ENTRY_H
#define NODE_VERB_ENTRY_H

#include <stdint.h>

#include "node/node_api.h"

NODE_EXTERN_C_BEGIN

#define APPC_VERSION 2u
#define NOF_VERSION 2u

/* appc_c_async_version answers this when the verb is still in progress:
 * the callback then runs exactly once, later. */
#define APPC_IN_PROGRESS 0x17F0u
/* The end-TP verb's answer for "already completed, no callback". */
#define APPC_COMPLETED_SYNC 0x18F0u

/* (record that completed, unused, unused, user word given at issue) */
typedef void (*APPC_CALLBACK)(void *vcb, uint32_t unused1, uint32_t unused2, uint32_t user);

NODE_API uint16_t appc_c_version(uint32_t version, void *vcb);
NODE_API uint16_t appc_c_async_version(uint32_t version, void *vcb, APPC_CALLBACK callback, uint32_t user);
NODE_API uint16_t nof_version(uint32_t version, uint32_t target, void *record);

NODE_EXTERN_C_END

#endif /* NODE_VERB_ENTRY_H */
