/* SPDX-License-Identifier: Apache-2.0 */
/*
 * APPC verb records exchanged with the node. The library zeroes a record,
 * sets its fields and hands it to appc_c_version / appc_c_async_version; the
 * node writes its results back into the same bytes.
 *
 * Return codes sit in every record as a u16 primary at 4 and a u32 secondary
 * at 8, stored most significant byte first. They are never converted: the
 * host-order integers read from the record are compared with byte-swapped
 * constants (primary 0x0300 is the bytes 00 03, secondary 0x34600810 is
 * 10 08 60 34). Opcodes and every other integer are plain host order.
 *
 * In the i386 build every record matches the node's layout byte for byte
 * (checked at the end of this file). In the 64-bit build the fields that
 * carry an address are native pointers on their natural alignment, so a
 * record that has one grows and its later fields move; every other integer
 * stays 16 or 32 bits and every field in front of the first pointer keeps
 * its offset.
 */
#ifndef NODE_VERB_RECORDS_H
#define NODE_VERB_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#include "node/node_api.h"

NODE_EXTERN_C_BEGIN

/* Opcodes. */
#define AP_B_ALLOCATE 0x0001u
#define AP_CONFIRM 0x0003u
#define AP_CONFIRMED 0x0004u
#define AP_DEALLOCATE 0x0005u
#define AP_FLUSH 0x0006u
#define AP_GET_STATE 0x0009u
#define AP_PREPARE_TO_RECEIVE 0x000Au
#define AP_RECEIVE_AND_WAIT 0x000Bu
#define AP_RECEIVE_IMMEDIATE 0x000Cu
#define AP_REQUEST_TO_SEND 0x000Eu
#define AP_SEND_DATA 0x000Fu
#define AP_SEND_ERROR 0x0010u
#define AP_TEST_RTS 0x0012u
#define AP_TP_ENDED 0x0013u
#define AP_TP_STARTED 0x0014u
#define AP_CANCEL 0x0072u
#define AP_RECEIVE_ALLOCATE_CPIC 0xF100u
#define AP_REGISTER_TP_NAME 0xF101u
#define AP_WITHDRAW_TP_NAME 0xF102u

/* The names the conversation routines and their assertion texts use. */
#define NAP_B_ALLOCATE AP_B_ALLOCATE
#define NAP_CONFIRM AP_CONFIRM
#define NAP_CONFIRMED AP_CONFIRMED
#define NAP_DEALLOCATE AP_DEALLOCATE
#define NAP_FLUSH AP_FLUSH
#define NAP_PREPARE_TO_RECEIVE AP_PREPARE_TO_RECEIVE
#define NAP_RECEIVE_AND_WAIT AP_RECEIVE_AND_WAIT
#define NAP_RECEIVE_IMMEDIATE AP_RECEIVE_IMMEDIATE
#define NAP_REQUEST_TO_SEND AP_REQUEST_TO_SEND
#define NAP_SEND_DATA AP_SEND_DATA
#define NAP_SEND_ERROR AP_SEND_ERROR
#define NAP_TEST_REQUEST_TO_SEND AP_TEST_RTS
#define NAP_RECEIVE_ALLOCATE_CPIC AP_RECEIVE_ALLOCATE_CPIC

/* Header format byte of the allocate and receive-allocate verbs. */
#define AP_FORMAT_ALLOCATE 1u

/* End-TP type byte: termination says soft or hard, everyone else hard. */
#define AP_TP_END_SOFT 0u
#define AP_TP_END_HARD 1u

/* Common header of the conversation verbs. */
typedef struct VCB_HDR {
    uint16_t opcode;
    uint8_t conv_type; /* low byte of the conversation type */
    uint8_t format;
    uint16_t primary_rc; /* set by the node */
    uint16_t reserved;
    uint32_t secondary_rc; /* set by the node */
    uint8_t tp_id[8];
    uint32_t conv_id;
} VCB_HDR;

/* The first 12 bytes of VCB_HDR, for the records whose bytes 12..23 are not
 * a tp_id and a conversation id (start-TP, end-TP, TP-name and
 * receive-allocate verbs). Same field names, so `rec.hdr.primary_rc` reads
 * alike on every record. */
typedef struct VCB_RC_HDR {
    uint16_t opcode;
    uint8_t conv_type;
    uint8_t format;
    uint16_t primary_rc;
    uint16_t reserved;
    uint32_t secondary_rc;
} VCB_RC_HDR;

/* Start-TP (0x0014): library sets the LU alias and local TP name; the node
 * returns the new tp_id and the LU alias it used. */
typedef struct VCB_TP_STARTED {
    VCB_RC_HDR hdr;
    unsigned char lu_alias[8]; /* in and out, ASCII */
    unsigned char tp_id[8];    /* out */
    unsigned char tp_name[64]; /* local TP name, EBCDIC */
} VCB_TP_STARTED;

/* ALLOCATE (0x0001, format 1): library sets everything below from the CCCB;
 * the node returns the conversation id in hdr.conv_id. */
typedef struct VCB_ALLOCATE {
    VCB_HDR hdr;
    uint8_t node_byte24; /* given 0; its meaning is the node's */
    uint8_t sync_level;
    uint8_t reserved26[2];
    uint8_t rtn_ctl; /* low byte of the return control */
    uint8_t reserved29[11];
    unsigned char plu_alias[8]; /* partner LU alias, or a single 0 */
    unsigned char mode_name[8]; /* EBCDIC */
    unsigned char tp_name[64];  /* partner TP name, EBCDIC */
    uint8_t security;           /* low byte of the security type */
    uint8_t reserved121[11];
    unsigned char pwd[10];     /* EBCDIC; left zero for SAME */
    unsigned char user_id[10]; /* EBCDIC */
    uint16_t node_word152;     /* given 0; its meaning is the node's */
    uint8_t reserved154[7];
    unsigned char fqplu_name[17]; /* network-qualified partner LU, EBCDIC */
} VCB_ALLOCATE;

/* SEND_DATA (0x000F): library sets length, buffer and send kind; the node
 * returns the request-to-send indicator. */
typedef struct VCB_SEND_DATA {
    VCB_HDR hdr;
    uint8_t rts_ind; /* out */
    uint8_t reserved25;
    uint16_t data_len;
    unsigned char *data_addr; /* the program's buffer, passed unchanged */
    uint8_t send_kind;
} VCB_SEND_DATA;

/* RECEIVE_AND_WAIT (0x000B) / RECEIVE_IMMEDIATE (0x000C): library sets
 * fill, requested length and buffer; the node returns the rest. */
typedef struct VCB_RECEIVE {
    VCB_HDR hdr;
    uint16_t data_status_ind; /* out: high byte data, low byte status */
    uint8_t status_with_data; /* out */
    uint8_t fill_ind;         /* 1 logical record, 0 buffer */
    uint8_t rts_ind;          /* out */
    uint8_t reserved29;
    uint16_t requested_len;
    uint16_t data_len; /* out */
    uint8_t reserved34[2];
    unsigned char *data_addr;
} VCB_RECEIVE;

/* CONFIRM (0x0003): the node returns the request-to-send indicator. */
typedef struct VCB_CONFIRM {
    VCB_HDR hdr;
    uint8_t rts_ind; /* out */
} VCB_CONFIRM;

/* CONFIRMED (0x0004): header only. */
typedef struct VCB_CONFIRMED {
    VCB_HDR hdr;
} VCB_CONFIRMED;

/* FLUSH (0x0006): header only. */
typedef struct VCB_FLUSH {
    VCB_HDR hdr;
} VCB_FLUSH;

/* PREPARE_TO_RECEIVE (0x000A): library sets the kind (1 flush, 0 sync
 * level). */
typedef struct VCB_PREPARE_TO_RECEIVE {
    VCB_HDR hdr;
    uint8_t ptr_kind;
    uint8_t node_byte25; /* given 0; its meaning is the node's */
} VCB_PREPARE_TO_RECEIVE;

/* REQUEST_TO_SEND (0x000E): header only. */
typedef struct VCB_REQUEST_TO_SEND {
    VCB_HDR hdr;
} VCB_REQUEST_TO_SEND;

/* SEND_ERROR (0x0010): library sets direction and, on a basic conversation,
 * the log data; the node returns the request-to-send indicator. */
typedef struct VCB_SEND_ERROR {
    VCB_HDR hdr;
    uint8_t rts_ind;     /* out */
    uint8_t node_byte25; /* given 0; its meaning is the node's */
    uint8_t error_dir;   /* 1 send error, 0 receive error */
    uint8_t reserved27;
    uint16_t log_len;
    uint8_t reserved30[2];
    unsigned char *log_addr; /* the CCCB's log data, not consumed here */
} VCB_SEND_ERROR;

/* TEST_REQUEST_TO_SEND (0x0012): header only; the answer is the primary
 * return code. */
typedef struct VCB_TEST_RTS {
    VCB_HDR hdr;
} VCB_TEST_RTS;

/* DEALLOCATE (0x0005): library sets the kind and, for an abend of a basic
 * conversation, the log data. Byte 24 stays zero: a send that chains this
 * verb reads its request-to-send indicator from there. */
typedef struct VCB_DEALLOCATE {
    VCB_HDR hdr;
    uint8_t reserved24;
    uint8_t dealloc_kind; /* 0 sync level, 1 flush, 2 abend basic,
                                    5 abend mapped */
    uint16_t log_len;
    unsigned char *log_addr;
} VCB_DEALLOCATE;

/* Register (0xF101) / withdraw (0xF102) a local TP name: library sets the
 * name; only the primary return code is read back. */
typedef struct VCB_TP_NAME {
    VCB_RC_HDR hdr;
    unsigned char tp_name[64]; /* EBCDIC, X'40' padded */
} VCB_TP_NAME;

#define VCB_TP_NAME_SIZE 76

/* The node's part of the receive-allocate verb: everything it returns about
 * the incoming conversation. */
typedef struct VCB_RCV_ALLOC {
    VCB_RC_HDR hdr;
    unsigned char tp_name[64]; /* out: the local TP name asked for */
    unsigned char tp_id[8];    /* out: the TP instance created */
    uint32_t conv_id;          /* in: the CCCB handle; out: the node's id */
    uint8_t sync_level;        /* out */
    uint8_t conv_type;         /* out */
    unsigned char user_id[10]; /* out, EBCDIC; first byte X'40' = none */
    unsigned char lu_alias[8]; /* out, ASCII, blank padded */
    uint8_t reserved108[8];
    unsigned char mode_name[8]; /* out, EBCDIC */
    uint8_t reserved124[8];
    unsigned char fqplu_name[17]; /* out, EBCDIC, period as X'4B' */
    uint8_t reserved149[43];
} VCB_RCV_ALLOC;

/* RECEIVE_ALLOCATE_CPIC (0xF100, format 1): the node's receive-allocate
 * fields followed by the list of local TP names the library offers (a block
 * of tp_name_count 64-byte EBCDIC names, freed by the completion). */
typedef struct VCB_RECEIVE_ALLOCATE {
    VCB_RCV_ALLOC rcv_alloc;
    uint32_t tp_name_count;
    unsigned char *tp_name_list;
} VCB_RECEIVE_ALLOCATE;

/* Cancel (0x0072), issued in a record of its own: header only; conv_id is
 * the CCCB handle while the conversation is not yet at the node. */
typedef struct VCB_CANCEL {
    VCB_HDR hdr;
} VCB_CANCEL;

/* End-TP (0x0013), issued in a record of its own: library sets the tp_id
 * and the type; return codes are read only when issued blocking. */
typedef struct VCB_TP_ENDED {
    VCB_RC_HDR hdr;
    unsigned char tp_id[8];
    uint8_t type; /* AP_TP_END_SOFT / AP_TP_END_HARD */
} VCB_TP_ENDED;

/* Get-state (0x0009): the node returns its state code. */
typedef struct VCB_GET_STATE {
    VCB_HDR hdr;
    uint8_t conv_state; /* out: the node's code, not a CPI-C state */
} VCB_GET_STATE;

#define VCB_I386_SIZE 200

#define VCB_MAX_(a, b) ((a) > (b) ? (a) : (b))
/* 200 on i386 (checked below); on 64-bit whatever the largest record needs. */
#define VCB_RAW_SIZE                                                                                         \
    VCB_MAX_(VCB_I386_SIZE,                                                                                  \
             VCB_MAX_(sizeof(VCB_RECEIVE_ALLOCATE),                                                          \
                      VCB_MAX_(sizeof(VCB_ALLOCATE),                                                         \
                               VCB_MAX_(sizeof(VCB_TP_STARTED),                                              \
                                        VCB_MAX_(sizeof(VCB_TP_NAME),                                        \
                                                 VCB_MAX_(sizeof(VCB_SEND_DATA),                             \
                                                          VCB_MAX_(sizeof(VCB_RECEIVE),                      \
                                                                   VCB_MAX_(sizeof(VCB_SEND_ERROR),          \
                                                                            sizeof(VCB_DEALLOCATE)))))))))

/* The verb area of a conversation: one union of every per-verb record. Any
 * member may be read through `hdr` for the opcode and return codes. */
typedef union VCB {
    VCB_HDR hdr;
    VCB_TP_STARTED tp_started;
    VCB_ALLOCATE alloc;
    VCB_SEND_DATA send;
    VCB_RECEIVE rcv;
    VCB_CONFIRM confirm;
    VCB_CONFIRMED confirmed;
    VCB_FLUSH flush;
    VCB_PREPARE_TO_RECEIVE prep_to_rcv;
    VCB_REQUEST_TO_SEND rts;
    VCB_SEND_ERROR send_error;
    VCB_TEST_RTS test_rts;
    VCB_DEALLOCATE dealloc;
    VCB_TP_NAME tpname;
    VCB_RECEIVE_ALLOCATE rcvallcp;
    VCB_CANCEL cancel;
    VCB_TP_ENDED tp_ended;
    VCB_GET_STATE get_state;
    unsigned char raw[VCB_RAW_SIZE];
} VCB;

NODE_EXTERN_C_END

/* ---- Layout checks ------------------------------------------------------- */

#ifdef __cplusplus
#define VCB_CHECK(cond, what) static_assert(cond, what)
#else
#define VCB_CHECK(cond, what) _Static_assert(cond, what)
#endif
/* Field at its node offset. */
#define VCB_AT(type, field, off) VCB_CHECK(offsetof(type, field) == (off), #type "." #field)
/* Address field on its natural alignment. */
#define VCB_PTR_ALIGNED(type, field)                                                                         \
    VCB_CHECK(offsetof(type, field) % sizeof(void *) == 0, #type "." #field " alignment")

/* Header: no pointers, same on both ABIs. */
VCB_AT(VCB_HDR, opcode, 0);
VCB_AT(VCB_HDR, conv_type, 2);
VCB_AT(VCB_HDR, format, 3);
VCB_AT(VCB_HDR, primary_rc, 4);
VCB_AT(VCB_HDR, reserved, 6);
VCB_AT(VCB_HDR, secondary_rc, 8);
VCB_AT(VCB_HDR, tp_id, 12);
VCB_AT(VCB_HDR, conv_id, 20);
VCB_CHECK(sizeof(VCB_HDR) == 24, "VCB_HDR size");
VCB_AT(VCB_RC_HDR, opcode, 0);
VCB_AT(VCB_RC_HDR, conv_type, 2);
VCB_AT(VCB_RC_HDR, format, 3);
VCB_AT(VCB_RC_HDR, primary_rc, 4);
VCB_AT(VCB_RC_HDR, secondary_rc, 8);
VCB_CHECK(sizeof(VCB_RC_HDR) == 12, "VCB_RC_HDR size");

/* Start-TP: no pointers. */
VCB_AT(VCB_TP_STARTED, hdr, 0);
VCB_AT(VCB_TP_STARTED, lu_alias, 12);
VCB_AT(VCB_TP_STARTED, tp_id, 20);
VCB_AT(VCB_TP_STARTED, tp_name, 28);

/* ALLOCATE: no pointers. */
VCB_AT(VCB_ALLOCATE, hdr, 0);
VCB_AT(VCB_ALLOCATE, node_byte24, 24);
VCB_AT(VCB_ALLOCATE, sync_level, 25);
VCB_AT(VCB_ALLOCATE, rtn_ctl, 28);
VCB_AT(VCB_ALLOCATE, plu_alias, 40);
VCB_AT(VCB_ALLOCATE, mode_name, 48);
VCB_AT(VCB_ALLOCATE, tp_name, 56);
VCB_AT(VCB_ALLOCATE, security, 120);
VCB_AT(VCB_ALLOCATE, pwd, 132);
VCB_AT(VCB_ALLOCATE, user_id, 142);
VCB_AT(VCB_ALLOCATE, node_word152, 152);
VCB_AT(VCB_ALLOCATE, fqplu_name, 161);

/* SEND_DATA: fields before data_addr. */
VCB_AT(VCB_SEND_DATA, hdr, 0);
VCB_AT(VCB_SEND_DATA, rts_ind, 24);
VCB_AT(VCB_SEND_DATA, data_len, 26);
VCB_PTR_ALIGNED(VCB_SEND_DATA, data_addr);

/* RECEIVE: fields before data_addr. */
VCB_AT(VCB_RECEIVE, hdr, 0);
VCB_AT(VCB_RECEIVE, data_status_ind, 24);
VCB_AT(VCB_RECEIVE, status_with_data, 26);
VCB_AT(VCB_RECEIVE, fill_ind, 27);
VCB_AT(VCB_RECEIVE, rts_ind, 28);
VCB_AT(VCB_RECEIVE, requested_len, 30);
VCB_AT(VCB_RECEIVE, data_len, 32);
VCB_PTR_ALIGNED(VCB_RECEIVE, data_addr);

/* CONFIRM, CONFIRMED, FLUSH, PREPARE_TO_RECEIVE, REQUEST_TO_SEND,
 * TEST_REQUEST_TO_SEND, cancel: no pointers. */
VCB_AT(VCB_CONFIRM, hdr, 0);
VCB_AT(VCB_CONFIRM, rts_ind, 24);
VCB_AT(VCB_CONFIRMED, hdr, 0);
VCB_AT(VCB_FLUSH, hdr, 0);
VCB_AT(VCB_PREPARE_TO_RECEIVE, hdr, 0);
VCB_AT(VCB_PREPARE_TO_RECEIVE, ptr_kind, 24);
VCB_AT(VCB_PREPARE_TO_RECEIVE, node_byte25, 25);
VCB_AT(VCB_REQUEST_TO_SEND, hdr, 0);
VCB_AT(VCB_TEST_RTS, hdr, 0);
VCB_AT(VCB_CANCEL, hdr, 0);

/* SEND_ERROR: fields before log_addr. */
VCB_AT(VCB_SEND_ERROR, hdr, 0);
VCB_AT(VCB_SEND_ERROR, rts_ind, 24);
VCB_AT(VCB_SEND_ERROR, node_byte25, 25);
VCB_AT(VCB_SEND_ERROR, error_dir, 26);
VCB_AT(VCB_SEND_ERROR, log_len, 28);
VCB_PTR_ALIGNED(VCB_SEND_ERROR, log_addr);

/* DEALLOCATE: fields before log_addr. */
VCB_AT(VCB_DEALLOCATE, hdr, 0);
VCB_AT(VCB_DEALLOCATE, reserved24, 24);
VCB_AT(VCB_DEALLOCATE, dealloc_kind, 25);
VCB_AT(VCB_DEALLOCATE, log_len, 26);
VCB_PTR_ALIGNED(VCB_DEALLOCATE, log_addr);

/* TP name: no pointers; the record is 76 bytes on both ABIs. */
VCB_AT(VCB_TP_NAME, hdr, 0);
VCB_AT(VCB_TP_NAME, tp_name, 12);
VCB_CHECK(sizeof(VCB_TP_NAME) == VCB_TP_NAME_SIZE, "VCB_TP_NAME size");

/* Receive-allocate: the node's 192 bytes have no pointers. */
VCB_AT(VCB_RECEIVE_ALLOCATE, rcv_alloc, 0);
VCB_AT(VCB_RCV_ALLOC, hdr, 0);
VCB_AT(VCB_RCV_ALLOC, tp_name, 12);
VCB_AT(VCB_RCV_ALLOC, tp_id, 76);
VCB_AT(VCB_RCV_ALLOC, conv_id, 84);
VCB_AT(VCB_RCV_ALLOC, sync_level, 88);
VCB_AT(VCB_RCV_ALLOC, conv_type, 89);
VCB_AT(VCB_RCV_ALLOC, user_id, 90);
VCB_AT(VCB_RCV_ALLOC, lu_alias, 100);
VCB_AT(VCB_RCV_ALLOC, mode_name, 116);
VCB_AT(VCB_RCV_ALLOC, fqplu_name, 132);
VCB_CHECK(sizeof(VCB_RCV_ALLOC) == 192, "VCB_RCV_ALLOC size");
VCB_AT(VCB_RECEIVE_ALLOCATE, tp_name_count, 192);
VCB_PTR_ALIGNED(VCB_RECEIVE_ALLOCATE, tp_name_list);

/* End-TP and get-state: no pointers. */
VCB_AT(VCB_TP_ENDED, hdr, 0);
VCB_AT(VCB_TP_ENDED, tp_id, 12);
VCB_AT(VCB_TP_ENDED, type, 20);
VCB_AT(VCB_GET_STATE, hdr, 0);
VCB_AT(VCB_GET_STATE, conv_state, 24);

/* Every record fits the verb area, and the header overlays each of them. */
VCB_CHECK(offsetof(VCB, hdr) == 0, "VCB.hdr");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_TP_STARTED), "VCB holds VCB_TP_STARTED");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_ALLOCATE), "VCB holds VCB_ALLOCATE");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_SEND_DATA), "VCB holds VCB_SEND_DATA");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_RECEIVE), "VCB holds VCB_RECEIVE");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_CONFIRM), "VCB holds VCB_CONFIRM");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_CONFIRMED), "VCB holds VCB_CONFIRMED");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_FLUSH), "VCB holds VCB_FLUSH");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_PREPARE_TO_RECEIVE), "VCB holds VCB_PREPARE_TO_RECEIVE");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_REQUEST_TO_SEND), "VCB holds VCB_REQUEST_TO_SEND");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_SEND_ERROR), "VCB holds VCB_SEND_ERROR");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_TEST_RTS), "VCB holds VCB_TEST_RTS");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_DEALLOCATE), "VCB holds VCB_DEALLOCATE");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_TP_NAME), "VCB holds VCB_TP_NAME");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_RECEIVE_ALLOCATE), "VCB holds VCB_RECEIVE_ALLOCATE");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_CANCEL), "VCB holds VCB_CANCEL");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_TP_ENDED), "VCB holds VCB_TP_ENDED");
VCB_CHECK(sizeof(VCB) >= sizeof(VCB_GET_STATE), "VCB holds VCB_GET_STATE");
VCB_CHECK(sizeof(VCB) >= VCB_I386_SIZE, "VCB is never smaller than the node's 200 bytes");

#if defined(__i386__)
/* The fields behind an address, at the node's offsets. */
VCB_AT(VCB_SEND_DATA, data_addr, 28);
VCB_AT(VCB_SEND_DATA, send_kind, 32);
VCB_AT(VCB_RECEIVE, data_addr, 36);
VCB_AT(VCB_SEND_ERROR, log_addr, 32);
VCB_AT(VCB_DEALLOCATE, log_addr, 28);
VCB_AT(VCB_RECEIVE_ALLOCATE, tp_name_list, 196);
VCB_CHECK(sizeof(VCB_RECEIVE_ALLOCATE) == 200, "VCB_RECEIVE_ALLOCATE size");
VCB_CHECK(sizeof(VCB) == VCB_I386_SIZE, "VCB size");
#elif defined(__x86_64__)
/* Where the fields behind an address land in the 64-bit build. */
VCB_AT(VCB_SEND_DATA, data_addr, 32);
VCB_AT(VCB_SEND_DATA, send_kind, 40);
VCB_AT(VCB_RECEIVE, data_addr, 40);
VCB_AT(VCB_SEND_ERROR, log_addr, 32);
VCB_AT(VCB_DEALLOCATE, log_addr, 32);
VCB_AT(VCB_RECEIVE_ALLOCATE, tp_name_list, 200);
VCB_CHECK(sizeof(VCB) == 208, "VCB size");
#endif

#endif /* NODE_VERB_RECORDS_H */
