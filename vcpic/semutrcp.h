/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The API trace: one request record when a call is entered, one response
 * record when it returns (or when its non-blocking operation completes).
 *
 *   seputrcp(kind, verb_index, cccb, a1, a2, a3, a4, a5, a6)
 *
 * kind        kTraceRequest (1), kTraceResponse (2); any other value gives an
 *             "async response" heading with the response lines.
 * verb_index  the call's VerbIndex (low 16 bits used); above 62 the record
 *             is a heading only.
 * cccb        the conversation, or null: the "Conversation characteristics"
 *             lines then show BlankCccb.
 * a1..a6      words as the table below gives them; an unused position is 0.
 *             Every word is pointer-sized on the 64-bit build. "&x" means the
 *             address of the caller's 32-bit x (the trace reads it); "id" is
 *             the address of the 8-byte conversation ID; "rc" the address of
 *             the 32-bit return code, a1 of EVERY response record.
 *
 * Callers test the trace bit first (SCC_api_trace_on) so that an untraced
 * call costs one test; seputrcp tests it again, since tracing can be
 * switched off between the two.
 *
 * verb (index)      request a1..                        response a1 = rc, a2..
 * CMACCP  (0)       -                                   id
 * CMALLC  (1)       id                                  -
 * CMCFM   (2)       id                                  &request_to_send_received
 * CMCFMD  (3)       id                                  -
 * CMDEAL  (4)       id                                  -
 * CMECS   (5)       id                                  &conversation_state
 * CMECT   (6)       id                                  &conversation_type
 * CMEMN   (7)       id                                  mode_name, &mode_name_length
 * CMEPLN  (8)       id                                  partner_LU_name, &partner_LU_name_length
 * CMESL   (9)       id                                  &sync_level
 * CMFLUS  (10)      id                                  -
 * CMINIT  (11)      sym_dest_name                       id
 * CMPTR   (12)      id                                  -
 * CMRCV   (13)      id, &requested_length               buffer, &data_received, &received_length,
 *                                                       &status_received, &request_to_send_received
 * CMRTS   (14)      id                                  -
 * CMSEND  (15)      id, buffer, &send_length            &request_to_send_received
 * CMSERR  (16)      id                                  &request_to_send_received
 * CMSCT CMSDT CMSED CMSF CMSPTR CMSRT CMSRC CMSST CMSSL XCSCST CMSCST (17-20, 24-28, 36, 46)
 *                   id, &requested value                -
 * CMSLD   (21)      id, log_data, &log_data_length      -
 * CMSMN   (22)      id, mode_name, &mode_name_length    -
 * CMSPLN  (23)      id, partner_LU_name, &length        -
 * CMSTPN  (29)      id, TP_name, &TP_name_length        -
 * CMTRTS  (30)      id                                  &request_to_send_received
 * XCMDSI  (31)      key, sym_dest_name                  -
 * XCECST  (32)      id                                  &conversation_security_type
 * XCECSU  (33)      id                                  security_user_ID, &length
 * XCMESI  (34)      &entry_number, sym_dest_name,       side_info_entry
 *                   &side_info_entry_length
 * XCSCSP  (35)      id                                  -
 * XCSCSU  (37)      id, security_user_ID, &length       -
 * XCMSSI  (38)      key, side_info_entry,               -
 *                   &side_info_entry_length
 * CMTERM  (39)      &end_type                           -
 * CMSPM   (40)      id, &processing_mode                -
 * CMINIC  (41)      -                                   id
 * CMACCI  (42)      id                                  -
 * CMWAIT  (43)      -                                   id, &conversation_return_code
 * CMCANC  (44)      id                                  -
 * CMCHCK  (45)      -                                   id
 * CMSCSU  (47)      id, security_user_ID, &length       -
 * CMSCSP  (48)      id                                  -
 * CMESUI  (49)      id                                  security_user_ID, &length
 * CMSLTP CMRLTP (50, 51)  TP_name, &TP_name_length      -
 * CMETPN  (52)      id                                  TP_name, &TP_name_length
 * CMCNVI CMCNVO (53, 54)  0, buffer, &buffer_length     buffer, &buffer_length
 * CMEMBS  (55)      -                                   &maximum_buffer_size
 * CMECTX  (56)      id                                  context_ID, &context_ID_length
 * CMSCTX  (57)      0, context_ID, &context_ID_length   -
 * CMECSU  (58)      id                                  security_user_ID, &length
 * CMECST  (59)      id                                  &conversation_security_type
 * CMELLN  (60)      id                                  local_LU_name, &length (the call has no
 *                                                       length parameter: the address of a local
 *                                                       holding 8, the bytes written)
 * XCHWND  (61)      the window handle itself (a number) -
 * CMSLLN  (62)      id, local_LU_name, &length          -
 *
 * The "Conversation characteristics" lines of a record come from `cccb`; a
 * routine that has no CCCB (yet, or any more) passes null and the record
 * shows BlankCccb's zeros. CMWAIT's response passes the CCCB of the
 * conversation it reports.
 *
 * Nothing the caller passes is trusted beyond its address: a null address is
 * never read (the line shows "(null)" where the value would be, e.g.
 * " Conversation ID = (null)"), and a buffer dump shows as many bytes as its length line says.
 */
#ifndef VCPIC_SEMUTRCP_H
#define VCPIC_SEMUTRCP_H

#include <stdint.h>

#include "node/services.h"
#include "vcpic/cpic_records.h"
#include "vcpic/export.h"

enum TraceKind : uint32_t {
    kTraceRequest = 1,
    kTraceResponse = 2,
};

CPIC_API void seputrcp(uint32_t kind, uint32_t verb_index, const CCCB *cccb, CPIC_WORD a1, CPIC_WORD a2,
                       CPIC_WORD a3, CPIC_WORD a4, CPIC_WORD a5, CPIC_WORD a6);

/* All zero: the characteristics traced for a call without a conversation.
 * Internal to the library (not exported). */
extern const CCCB BlankCccb;

#endif /* VCPIC_SEMUTRCP_H */
