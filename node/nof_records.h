/* SPDX-License-Identifier: Apache-2.0 */
/*
 * NOF records the side-information directory issues through nof_version:
 * open a target, query one side-information entry, close. Each is zeroed
 * before its fields are set and is issued blocking; return codes follow the
 * convention of the APPC records (u16 primary at 4, u32 secondary at 8,
 * compared unconverted with byte-swapped constants).
 *
 * i386 layouts are the node's byte for byte; in the 64-bit build the query's
 * answer-buffer address is a native pointer and the fields after it move.
 */
#ifndef NODE_NOF_RECORDS_H
#define NODE_NOF_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#include "node/node_api.h"
#include "node/verb_records.h"

NODE_EXTERN_C_BEGIN

/* Opcodes. */
#define NOF_OPEN 0xF004u
#define NOF_QUERY_SIDE_INFO 0x2121u
#define NOF_CLOSE 0xF005u

/* Values the node expects in the open and query records. */
#define NOF_OPEN_BYTE12 2u
#define NOF_QUERY_FORMAT 1u
#define NOF_QUERY_ONE_ENTRY 1u
#define NOF_QUERY_BYTE28 4u

/* The query offers 212 bytes of a 224-byte buffer for the answer. */
#define NOF_ANSWER_OFFERED 212u
#define NOF_ANSWER_BUFFER_SIZE 224u

/* The query's answer for a name the node does not know. */
#define NOF_NO_SUCH_NAME_PRIMARY 0x0200u
#define NOF_NO_SUCH_NAME_SECONDARY 0x58100000u

#define NOF_OPEN_SIZE 232
#define NOF_QUERY_I386_SIZE 40
#define NOF_CLOSE_SIZE 12

/* Opcode and return codes, common to the three records. */
typedef struct NOF_HDR {
    uint16_t opcode;
    uint8_t reserved2;
    uint8_t format;      /* 1 in the query, 0 elsewhere */
    uint16_t primary_rc; /* set by the node */
    uint16_t reserved6;
    uint32_t secondary_rc; /* set by the node */
} NOF_HDR;

/* Open (0xF004), issued with target 0: the node returns the handle that the
 * query and the close are issued with. */
typedef struct NOF_OPEN_RECORD {
    NOF_HDR hdr;
    uint8_t node_byte12; /* NOF_OPEN_BYTE12; its meaning is the node's */
    uint8_t reserved13[211];
    uint32_t target_handle; /* out */
    uint8_t reserved228[4];
} NOF_OPEN_RECORD;

/* Query one side-information entry (0x2121): library sets the name and the
 * answer buffer; the node fills the buffer (NOF_SIDE_INFO_ANSWER). */
typedef struct NOF_QUERY_RECORD {
    NOF_HDR hdr;       /* format NOF_QUERY_FORMAT */
    void *buf_addr;    /* the answer buffer, NOF_ANSWER_BUFFER_SIZE */
    uint32_t buf_size; /* NOF_ANSWER_OFFERED */
    uint8_t reserved20[4];
    uint16_t num_entries; /* NOF_QUERY_ONE_ENTRY */
    uint8_t reserved26[2];
    uint8_t node_byte28; /* NOF_QUERY_BYTE28; its meaning is the node's */
    uint8_t reserved29;
    char sym_dest_name[8]; /* ASCII, blank padded */
} NOF_QUERY_RECORD;

/* Close (0xF005): opcode only; its result is not examined. */
typedef struct NOF_CLOSE_RECORD {
    NOF_HDR hdr;
} NOF_CLOSE_RECORD;

/* The node's answer to the query, in the buffer the library supplies. Text
 * is ASCII, blank padded; only the named fields are read. */
typedef struct NOF_SIDE_INFO_ANSWER {
    uint8_t reserved0[2];
    char sym_dest_name[8];
    uint8_t reserved10[50];
    char partner_lu_name[17]; /* alias, or network ID '.' LU name */
    uint8_t reserved77[3];
    uint32_t tp_name_type; /* 1: service TP, hexadecimal in tp_name */
    char tp_name[64];
    char mode_name[8];
    uint32_t security_type;
    char user_id[10];
    char password[10];
    char lu_alias[8]; /* local LU alias */
    uint8_t reserved188[36];
} NOF_SIDE_INFO_ANSWER;

NODE_EXTERN_C_END

/* ---- Layout checks (macros from node/verb_records.h) --------------------- */

VCB_AT(NOF_HDR, opcode, 0);
VCB_AT(NOF_HDR, format, 3);
VCB_AT(NOF_HDR, primary_rc, 4);
VCB_AT(NOF_HDR, secondary_rc, 8);
VCB_CHECK(sizeof(NOF_HDR) == 12, "NOF_HDR size");

/* Open: no pointers. */
VCB_AT(NOF_OPEN_RECORD, hdr, 0);
VCB_AT(NOF_OPEN_RECORD, node_byte12, 12);
VCB_AT(NOF_OPEN_RECORD, target_handle, 224);
VCB_CHECK(sizeof(NOF_OPEN_RECORD) == NOF_OPEN_SIZE, "NOF_OPEN_RECORD size");

/* Query: header in front of the buffer address. */
VCB_AT(NOF_QUERY_RECORD, hdr, 0);
VCB_PTR_ALIGNED(NOF_QUERY_RECORD, buf_addr);

/* Close: no pointers. */
VCB_AT(NOF_CLOSE_RECORD, hdr, 0);
VCB_CHECK(sizeof(NOF_CLOSE_RECORD) == NOF_CLOSE_SIZE, "NOF_CLOSE_RECORD size");

/* Answer: no pointers. */
VCB_AT(NOF_SIDE_INFO_ANSWER, sym_dest_name, 2);
VCB_AT(NOF_SIDE_INFO_ANSWER, partner_lu_name, 60);
VCB_AT(NOF_SIDE_INFO_ANSWER, tp_name_type, 80);
VCB_AT(NOF_SIDE_INFO_ANSWER, tp_name, 84);
VCB_AT(NOF_SIDE_INFO_ANSWER, mode_name, 148);
VCB_AT(NOF_SIDE_INFO_ANSWER, security_type, 156);
VCB_AT(NOF_SIDE_INFO_ANSWER, user_id, 160);
VCB_AT(NOF_SIDE_INFO_ANSWER, password, 170);
VCB_AT(NOF_SIDE_INFO_ANSWER, lu_alias, 180);
VCB_CHECK(sizeof(NOF_SIDE_INFO_ANSWER) == NOF_ANSWER_BUFFER_SIZE, "NOF_SIDE_INFO_ANSWER size");

#if defined(__i386__)
VCB_AT(NOF_QUERY_RECORD, buf_addr, 12);
VCB_AT(NOF_QUERY_RECORD, buf_size, 16);
VCB_AT(NOF_QUERY_RECORD, num_entries, 24);
VCB_AT(NOF_QUERY_RECORD, node_byte28, 28);
VCB_AT(NOF_QUERY_RECORD, sym_dest_name, 30);
VCB_CHECK(sizeof(NOF_QUERY_RECORD) == NOF_QUERY_I386_SIZE, "NOF_QUERY_RECORD size");
#elif defined(__x86_64__)
VCB_AT(NOF_QUERY_RECORD, buf_addr, 16);
VCB_AT(NOF_QUERY_RECORD, buf_size, 24);
VCB_AT(NOF_QUERY_RECORD, num_entries, 32);
VCB_AT(NOF_QUERY_RECORD, node_byte28, 36);
VCB_AT(NOF_QUERY_RECORD, sym_dest_name, 38);
VCB_CHECK(sizeof(NOF_QUERY_RECORD) == 48, "NOF_QUERY_RECORD size");
#endif

#endif /* NODE_NOF_RECORDS_H */
