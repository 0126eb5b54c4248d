/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Node services of libzorvel.so as the CPI-C library uses them: the process
 * lock, wait objects, the node path, handle tables, memory, problem and audit
 * records, assertions, trace control and trace files.
 *
 * Conventions: handles are nonzero 32-bit values, 0 means "none" or
 * "failed". Integers are 32-bit on both ABIs; only words that carry an
 * address are pointer-sized. Everything here is C linkage.
 */
#ifndef NODE_SERVICES_H
#define NODE_SERVICES_H

#include <stddef.h>
#include <stdint.h>

#include "node/node_api.h"

NODE_EXTERN_C_BEGIN

/* ---- Process lock and wait objects ------------------------------------ */

/* Takes the one process lock; returns the token vpm_unlock wants back.
 * The lock is not recursive: taking it twice from one thread is a bug. */
NODE_API uint16_t vpm_lock(void);
NODE_API void vpm_unlock(uint16_t token);

NODE_API uint32_t vpm_allocate_wait_object(void);
NODE_API void vpm_release_wait_object(uint32_t wait_object);

#define VPM_WAIT_FOREVER 0xFFFFFFFFu
/* Sleeps with the process lock released until vpm_wakeup of the handle;
 * node completions are delivered meanwhile. Returns 0 normally. */
NODE_API uint16_t vpm_sleep(uint32_t wait_object, uint32_t timeout);
NODE_API void vpm_wakeup(uint32_t wait_object);
/* Lets pending completions be delivered; returns a pollable descriptor or
 * -1 when the node has none. Called without the process lock. */
NODE_API int32_t vpm_asm_event_fd(void);

/* ---- Node path -------------------------------------------------------- */

#define VPM_EVENT_PATH_FAILED 0x8001u

typedef struct VPM_PATH_EVENT {
    uint16_t code;  /* event code; 0x8001 = path to the node failed */
    uint16_t reply; /* reply word, set by the path user */
} VPM_PATH_EVENT;

typedef uint32_t (*VPM_PATH_CALLBACK)(uint32_t user, VPM_PATH_EVENT *event);

/* Stores a nonzero handle through path_user, or 0 on failure. */
NODE_API void vpm_init_path_user(uint32_t reserved1, uint32_t reserved2, VPM_PATH_CALLBACK callback,
                                 uint32_t user, uint32_t *path_user);
NODE_API void vpm_terminate_path_user(uint32_t path_user);

/* ---- Handle tables ---------------------------------------------------- */

NODE_API void vtm_table_init(uint32_t *table, uint32_t flags);
NODE_API void vtm_table_terminate(uint32_t *table);
NODE_API uint32_t vtm_get_free_entry(uint32_t table, void *pointer);
NODE_API void *vtm_get_pointer(uint32_t table, uint32_t handle);
/* Next used handle after `previous` (0 = from the start) in handle order,
 * its pointer through `pointer`; 0 at the end. */
NODE_API uint32_t vtm_get_next_used(uint32_t table, uint32_t previous, void **pointer);
NODE_API void vtm_release_entry(uint32_t table, uint32_t handle);

/* ---- Memory ----------------------------------------------------------- */

#define NBA_MM_CONTROL_BLOCK 0x302u /* long-lived blocks */
#define NBA_MM_ONE_OFF_VERB 0x202u  /* a verb record freed after its verb */

NODE_API extern const char nba_blank_name[];
NODE_API void *nba_mm_alloc(uint32_t size, uint32_t flags, const char *name, uint32_t reserved1,
                            uint32_t reserved2);
NODE_API void nba_mm_free(void *block, uint32_t reserved);

/* ---- Problem and audit records, assertions ---------------------------- */

/* The insert format names the inserts that follow, blank separated:
 *   "ba" byte array  (uint32_t length, const void *address), shown in hex
 *   "ca" char array  (uint32_t length, const char *address), shown as text
 *   "es" EBCDIC text (uint32_t length, const void *address)
 *   "x"  16-bit hex  (unsigned, promoted)    "lx" 32-bit hex (uint32_t)
 *   "l"  32-bit signed decimal (int32_t)     "b"  byte (unsigned, promoted)
 *   ""   no inserts */
NODE_API void nba_pd_print_problem(uint32_t code, uint32_t sequence, const char *format, ...);
NODE_API void nba_pd_print_audit(uint32_t code, uint32_t sequence, const char *format, ...);
NODE_API void v0_assert(const char *file, int32_t line, const char *expression);

/* ---- Trace control and trace files ------------------------------------ */

#define PTRC_SIZE 16
#define PTRC_API_TRACE_BYTE 0
#define PTRC_API_TRACE_BIT 0x20u
#define PTRC_AUDIT_BYTE 8
#define PTRC_NO_AUDIT_BIT 0x02u

/* Trace-control record: byte 0 bit 0x20 = API trace on, byte 8 bit 0x02 =
 * no audit records. */
NODE_API extern unsigned char ptrc[PTRC_SIZE];

#define TRC_NO_FILE 0xFFFFFFFFu

typedef struct TRC_API {
    uint8_t initialised; /* owned by the CPI-C library */
    uint8_t reserved[3];
    uint32_t handle; /* open trace file, TRC_NO_FILE when none */
} TRC_API;

NODE_API extern TRC_API trc_api;

NODE_API void sepuapi_init(unsigned char *trace_control);
NODE_API void trc_lock_file(TRC_API *trace);
NODE_API void trc_unlock_file(TRC_API *trace);
NODE_API void com_trc_sep(uint32_t handle, const char *prefix);
NODE_API void com_trc_line(uint32_t handle, const char *prefix, const char *text);
NODE_API void com_trc_dump(uint32_t handle, const char *prefix, const void *address, uint32_t length);

NODE_EXTERN_C_END

#endif /* NODE_SERVICES_H */
