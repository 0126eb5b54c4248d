/* SPDX-License-Identifier: Apache-2.0 */
/*
 * cpic.h - the CPI-C programming interface of libcpic.so.
 *
 * Conventions, the same for every call:
 *  - Every parameter is passed by pointer, the return code is always the
 *    last one. No call returns a value: results, including the CPI-C
 *    return code, come back only through the parameters.
 *  - Every integer the program exchanges with the library is 32 bits wide
 *    (CM_INT32 and the characteristic types, all int32_t) on every ABI.
 *  - Character parameters (conversation IDs, names, buffers) are byte
 *    strings of the stated length, not NUL-terminated. A conversation ID
 *    is CM_CID_SIZE bytes.
 *  - An operation that returns CM_OPERATION_INCOMPLETE (non-blocking
 *    processing mode) writes its buffer and output parameters when it
 *    completes, so they must stay valid until Wait_For_Conversation has
 *    handed out its result. Otherwise the library keeps no pointer the
 *    program passes beyond the call.
 *  - Each call exists twice, under its upper-case and lower-case name; the
 *    two are the same call.
 *  - Usable from C (C99 or later) and from C++.
 *
 * Each list of values is written once below as an X-macro map of
 * XX(NAME, value) entries in increasing value order. The maps generate the
 * CM_ and XC_ constants here, and the library's trace builds its value
 * names from the same maps, so a value and its name cannot drift apart.
 */
#ifndef CPIC_H
#define CPIC_H

#include <stdint.h>

/* ---- Linkage and basic types ------------------------------------------ */

#ifdef __cplusplus
#define CPIC_LINKAGE extern "C"
#else
#define CPIC_LINKAGE extern
#endif

/* Return type of every call. The library is built with hidden visibility,
 * so the calls carry their export attribute in their declaration. */
#define CM_ENTRY CPIC_LINKAGE __attribute__((visibility("default"))) void
#define CM_PTR *

typedef int32_t CM_INT32;

typedef CM_INT32 CM_RETURN_CODE;
typedef CM_INT32 CM_CONVERSATION_STATE;
typedef CM_INT32 CM_CONVERSATION_TYPE;
typedef CM_INT32 CM_DATA_RECEIVED_TYPE;
typedef CM_INT32 CM_DEALLOCATE_TYPE;
typedef CM_INT32 CM_ERROR_DIRECTION;
typedef CM_INT32 CM_FILL;
typedef CM_INT32 CM_PREPARE_TO_RECEIVE_TYPE;
typedef CM_INT32 CM_PROCESSING_MODE;
typedef CM_INT32 CM_RECEIVE_TYPE;
typedef CM_INT32 CM_REQUEST_TO_SEND_RECEIVED;
typedef CM_INT32 CM_RETURN_CONTROL;
typedef CM_INT32 CM_SEND_TYPE;
typedef CM_INT32 CM_STATUS_RECEIVED;
typedef CM_INT32 CM_SYNC_LEVEL;
typedef CM_INT32 CM_END_TYPE;
typedef CM_INT32 CM_CONVERSATION_SECURITY_TYPE;
typedef CM_INT32 XC_CONVERSATION_SECURITY_TYPE;
typedef CM_INT32 CM_TP_NAME_TYPE;
typedef CM_INT32 XC_TP_NAME_TYPE;

/* ---- Value maps ------------------------------------------------------- */

/* Return codes. Codes not listed here are never produced. */
#define CM_RETURN_CODE_MAP(XX)                                                                               \
    XX(OK, 0)                                                                                                \
    XX(ALLOCATE_FAILURE_NO_RETRY, 1)                                                                         \
    XX(ALLOCATE_FAILURE_RETRY, 2)                                                                            \
    XX(CONVERSATION_TYPE_MISMATCH, 3)                                                                        \
    XX(PIP_NOT_SPECIFIED_CORRECTLY, 5)                                                                       \
    XX(SECURITY_NOT_VALID, 6)                                                                                \
    XX(SYNC_LEVEL_NOT_SUPPORTED_LU, 7)                                                                       \
    XX(SYNC_LEVEL_NOT_SUPPORTED_PGM, 8)                                                                      \
    XX(TPN_NOT_RECOGNISED, 9)                                                                                \
    XX(TP_NOT_AVAILABLE_NO_RETRY, 10)                                                                        \
    XX(TP_NOT_AVAILABLE_RETRY, 11)                                                                           \
    XX(DEALLOCATED_ABEND, 17)                                                                                \
    XX(DEALLOCATED_NORMAL, 18)                                                                               \
    XX(PARAMETER_ERROR, 19)                                                                                  \
    XX(PRODUCT_SPECIFIC_ERROR, 20)                                                                           \
    XX(PROGRAM_ERROR_NO_TRUNC, 21)                                                                           \
    XX(PROGRAM_ERROR_PURGING, 22)                                                                            \
    XX(PROGRAM_ERROR_TRUNC, 23)                                                                              \
    XX(PROGRAM_PARAMETER_CHECK, 24)                                                                          \
    XX(PROGRAM_STATE_CHECK, 25)                                                                              \
    XX(RESOURCE_FAILURE_NO_RETRY, 26)                                                                        \
    XX(RESOURCE_FAILURE_RETRY, 27)                                                                           \
    XX(UNSUCCESSFUL, 28)                                                                                     \
    XX(DEALLOCATED_ABEND_SVC, 30)                                                                            \
    XX(DEALLOCATED_ABEND_TIMER, 31)                                                                          \
    XX(SVC_ERROR_NO_TRUNC, 32)                                                                               \
    XX(SVC_ERROR_PURGING, 33)                                                                                \
    XX(SVC_ERROR_TRUNC, 34)                                                                                  \
    XX(OPERATION_INCOMPLETE, 35)                                                                             \
    XX(SYSTEM_EVENT, 36)                                                                                     \
    XX(OPERATION_NOT_ACCEPTED, 37)                                                                           \
    XX(CONVERSATION_ENDING, 38)                                                                              \
    XX(SEND_RCV_MODE_NOT_SUPPORTED, 39)                                                                      \
    XX(BUFFER_TOO_SMALL, 40)                                                                                 \
    XX(EXP_DATA_NOT_SUPPORTED, 41)                                                                           \
    XX(DEALLOC_CONFIRM_REJECT, 42)                                                                           \
    XX(ALLOCATION_ERROR, 43)                                                                                 \
    XX(RETRY_LIMIT_EXCEEDED, 44)                                                                             \
    XX(NO_SECONDARY_INFORMATION, 45)                                                                         \
    XX(SECURITY_NOT_SUPPORTED, 46)                                                                           \
    XX(SECURITY_MUTUAL_FAILED, 47)                                                                           \
    XX(CALL_NOT_SUPPORTED, 48)                                                                               \
    XX(PARM_VALUE_NOT_SUPPORTED, 49)                                                                         \
    XX(TAKE_BACKOUT, 100)                                                                                    \
    XX(DEALLOCATED_ABEND_BO, 130)                                                                            \
    XX(DEALLOCATED_ABEND_SVC_BO, 131)                                                                        \
    XX(DEALLOCATED_ABEND_TIMER_BO, 132)                                                                      \
    XX(RESOURCE_FAIL_NO_RETRY_BO, 133)                                                                       \
    XX(RESOURCE_FAILURE_RETRY_BO, 134)                                                                       \
    XX(DEALLOCATED_NORMAL_BO, 135)                                                                           \
    XX(CONV_DEALLOC_AFTER_SYNCPT, 136)                                                                       \
    XX(INCLUDE_PARTNER_REJECT_BO, 137)

#define CM_CONVERSATION_TYPE_MAP(XX)                                                                         \
    XX(BASIC_CONVERSATION, 0)                                                                                \
    XX(MAPPED_CONVERSATION, 1)

#define CM_DEALLOCATE_TYPE_MAP(XX)                                                                           \
    XX(DEALLOCATE_SYNC_LEVEL, 0)                                                                             \
    XX(DEALLOCATE_FLUSH, 1)                                                                                  \
    XX(DEALLOCATE_CONFIRM, 2)                                                                                \
    XX(DEALLOCATE_ABEND, 3)

#define CM_ERROR_DIRECTION_MAP(XX)                                                                           \
    XX(RECEIVE_ERROR, 0)                                                                                     \
    XX(SEND_ERROR, 1)

/* Only NONE and CONFIRM can be set on a conversation. */
#define CM_SYNC_LEVEL_MAP(XX)                                                                                \
    XX(NONE, 0)                                                                                              \
    XX(CONFIRM, 1)                                                                                           \
    XX(SYNC_POINT, 2)                                                                                        \
    XX(SYNC_POINT_NO_CONFIRM, 3)

#define CM_FILL_MAP(XX)                                                                                      \
    XX(FILL_LL, 0)                                                                                           \
    XX(FILL_BUFFER, 1)

#define CM_PREPARE_TO_RECEIVE_TYPE_MAP(XX)                                                                   \
    XX(PREP_TO_RECEIVE_SYNC_LEVEL, 0)                                                                        \
    XX(PREP_TO_RECEIVE_FLUSH, 1)                                                                             \
    XX(PREP_TO_RECEIVE_CONFIRM, 2)

#define CM_RECEIVE_TYPE_MAP(XX)                                                                              \
    XX(RECEIVE_AND_WAIT, 0)                                                                                  \
    XX(RECEIVE_IMMEDIATE, 1)

#define CM_SEND_TYPE_MAP(XX)                                                                                 \
    XX(BUFFER_DATA, 0)                                                                                       \
    XX(SEND_AND_FLUSH, 1)                                                                                    \
    XX(SEND_AND_CONFIRM, 2)                                                                                  \
    XX(SEND_AND_PREP_TO_RECEIVE, 3)                                                                          \
    XX(SEND_AND_DEALLOCATE, 4)

/* Constants under both the XC_ and the CM_ prefix. Only NONE, SAME,
 * PROGRAM and PROGRAM_STRONG can be set on a conversation. */
#define CM_CONVERSATION_SECURITY_TYPE_MAP(XX)                                                                \
    XX(SECURITY_NONE, 0)                                                                                     \
    XX(SECURITY_SAME, 1)                                                                                     \
    XX(SECURITY_PROGRAM, 2)                                                                                  \
    XX(SECURITY_DISTRIBUTED, 3)                                                                              \
    XX(SECURITY_MUTUAL, 4)                                                                                   \
    XX(SECURITY_PROGRAM_STRONG, 5)

#define CM_RETURN_CONTROL_MAP(XX)                                                                            \
    XX(WHEN_SESSION_ALLOCATED, 0)                                                                            \
    XX(IMMEDIATE, 1)

#define CM_REQUEST_TO_SEND_RECEIVED_MAP(XX)                                                                  \
    XX(REQ_TO_SEND_NOT_RECEIVED, 0)                                                                          \
    XX(REQ_TO_SEND_RECEIVED, 1)

#define CM_DATA_RECEIVED_TYPE_MAP(XX)                                                                        \
    XX(NO_DATA_RECEIVED, 0)                                                                                  \
    XX(DATA_RECEIVED, 1)                                                                                     \
    XX(COMPLETE_DATA_RECEIVED, 2)                                                                            \
    XX(INCOMPLETE_DATA_RECEIVED, 3)

#define CM_STATUS_RECEIVED_MAP(XX)                                                                           \
    XX(NO_STATUS_RECEIVED, 0)                                                                                \
    XX(SEND_RECEIVED, 1)                                                                                     \
    XX(CONFIRM_RECEIVED, 2)                                                                                  \
    XX(CONFIRM_SEND_RECEIVED, 3)                                                                             \
    XX(CONFIRM_DEALLOC_RECEIVED, 4)                                                                          \
    XX(TAKE_COMMIT, 5)                                                                                       \
    XX(TAKE_COMMIT_SEND, 6)                                                                                  \
    XX(TAKE_COMMIT_DEALLOCATE, 7)                                                                            \
    XX(TAKE_COMMIT_DATA_OK, 8)                                                                               \
    XX(TAKE_COMMIT_SEND_DATA_OK, 9)                                                                          \
    XX(TAKE_COMMIT_DEALLOC_DATA_OK, 10)                                                                      \
    XX(PREPARE_OK, 11)                                                                                       \
    XX(JOINT_TRANSACTION, 12)

/* The library itself reports only 2 to 8 and 14. */
#define CM_CONVERSATION_STATE_MAP(XX)                                                                        \
    XX(INITIALIZE_STATE, 2)                                                                                  \
    XX(SEND_STATE, 3)                                                                                        \
    XX(RECEIVE_STATE, 4)                                                                                     \
    XX(SEND_PENDING_STATE, 5)                                                                                \
    XX(CONFIRM_STATE, 6)                                                                                     \
    XX(CONFIRM_SEND_STATE, 7)                                                                                \
    XX(CONFIRM_DEALLOCATE_STATE, 8)                                                                          \
    XX(DEFER_RECEIVE_STATE, 9)                                                                               \
    XX(DEFER_DEALLOCATE_STATE, 10)                                                                           \
    XX(SYNC_POINT_STATE, 11)                                                                                 \
    XX(SYNC_POINT_SEND_STATE, 12)                                                                            \
    XX(SYNC_POINT_DEALLOCATE_STATE, 13)                                                                      \
    XX(INITIALIZE_INCOMING_STATE, 14)                                                                        \
    XX(SEND_ONLY_STATE, 15)                                                                                  \
    XX(RECEIVE_ONLY_STATE, 16)                                                                               \
    XX(SEND_RECEIVE_STATE, 17)                                                                               \
    XX(PREPARED_STATE, 18)

#define CM_PROCESSING_MODE_MAP(XX)                                                                           \
    XX(BLOCKING, 0)                                                                                          \
    XX(NON_BLOCKING, 1)

/* End type of CMTERM. */
#define CM_END_TYPE_MAP(XX)                                                                                  \
    XX(HARD, 0)                                                                                              \
    XX(SOFT, 1)

/* Constants under both the XC_ and the CM_ prefix. */
#define CM_TP_NAME_TYPE_MAP(XX)                                                                              \
    XX(APPLICATION_TP, 0)                                                                                    \
    XX(SNA_SERVICE_TP, 1)

/* ---- Constants generated from the maps -------------------------------- */

#define CPIC_CM_CONSTANT(name, value) CM_##name = (value),
#define CPIC_XC_CONSTANT(name, value) XC_##name = (value),

/* Each group is one enum; the second spelling or prefix of a value is in
 * the same enum as the first, so that the two compare without warnings. */
enum {
    CM_RETURN_CODE_MAP(CPIC_CM_CONSTANT) CM_TPN_NOT_RECOGNIZED =
        CM_TPN_NOT_RECOGNISED /* the American spelling */
};
enum { CM_CONVERSATION_TYPE_MAP(CPIC_CM_CONSTANT) };
enum { CM_DEALLOCATE_TYPE_MAP(CPIC_CM_CONSTANT) };
enum { CM_ERROR_DIRECTION_MAP(CPIC_CM_CONSTANT) };
enum { CM_SYNC_LEVEL_MAP(CPIC_CM_CONSTANT) };
enum { CM_FILL_MAP(CPIC_CM_CONSTANT) };
enum { CM_PREPARE_TO_RECEIVE_TYPE_MAP(CPIC_CM_CONSTANT) };
enum { CM_RECEIVE_TYPE_MAP(CPIC_CM_CONSTANT) };
enum { CM_SEND_TYPE_MAP(CPIC_CM_CONSTANT) };
enum {
    CM_CONVERSATION_SECURITY_TYPE_MAP(CPIC_XC_CONSTANT) CM_CONVERSATION_SECURITY_TYPE_MAP(CPIC_CM_CONSTANT)
};
enum { CM_RETURN_CONTROL_MAP(CPIC_CM_CONSTANT) };
enum { CM_REQUEST_TO_SEND_RECEIVED_MAP(CPIC_CM_CONSTANT) };
enum { CM_DATA_RECEIVED_TYPE_MAP(CPIC_CM_CONSTANT) };
enum { CM_STATUS_RECEIVED_MAP(CPIC_CM_CONSTANT) };
enum { CM_CONVERSATION_STATE_MAP(CPIC_CM_CONSTANT) };
enum { CM_PROCESSING_MODE_MAP(CPIC_CM_CONSTANT) };
enum { CM_END_TYPE_MAP(CPIC_CM_CONSTANT) };
enum { CM_TP_NAME_TYPE_MAP(CPIC_XC_CONSTANT) CM_TP_NAME_TYPE_MAP(CPIC_CM_CONSTANT) };

#undef CPIC_CM_CONSTANT
#undef CPIC_XC_CONSTANT

/* Sizes in bytes of the character parameters, as this library takes them. */
enum {
    CM_CID_SIZE = 8,  /* conversation ID */
    CM_CTX_SIZE = 8,  /* context ID */
    CM_SDN_SIZE = 8,  /* symbolic destination name */
    CM_PLN_SIZE = 17, /* partner LU name */
    CM_MN_SIZE = 8,   /* mode name */
    CM_TPN_SIZE = 64, /* TP name */
    CM_UID_SIZE = 10, /* security user ID */
    CM_PW_SIZE = 10,  /* security password */
    CM_LD_SIZE = 512  /* log data */
};

/* ---- The X/Open side-information entry -------------------------------- */

/* Exchanged by XCMSSI and XCMESI; 124 bytes, all text ASCII. */
typedef struct side_info_entry {
    unsigned char sym_dest_name[8];
    unsigned char partner_LU_name[17]; /* an alias, or NETID.LUNAME */
    unsigned char reserved[3];
    XC_TP_NAME_TYPE TP_name_type;
    unsigned char TP_name[64];
    unsigned char mode_name[8];
    XC_CONVERSATION_SECURITY_TYPE conversation_security_type;
    unsigned char security_user_ID[8];
    unsigned char security_password[8];
} SIDE_INFO;

#if defined(__cplusplus)
static_assert(sizeof(SIDE_INFO) == 124, "the side-information entry is 124 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(SIDE_INFO) == 124, "the side-information entry is 124 bytes");
#endif

/* ---- The calls -------------------------------------------------------- */

#ifdef __cplusplus
extern "C" {
#endif

/* Accept_Conversation: waits (always blocking) for an incoming conversation. */
CM_ENTRY CMACCP(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmaccp(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Allocate */
CM_ENTRY CMALLC(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmallc(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Confirm */
CM_ENTRY CMCFM(unsigned char CM_PTR conversation_ID,
               CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmcfm(unsigned char CM_PTR conversation_ID,
               CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
               CM_RETURN_CODE CM_PTR return_code);

/* Confirmed */
CM_ENTRY CMCFMD(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmcfmd(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Deallocate */
CM_ENTRY CMDEAL(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmdeal(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Extract_Conversation_State */
CM_ENTRY CMECS(unsigned char CM_PTR conversation_ID, CM_CONVERSATION_STATE CM_PTR conversation_state,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmecs(unsigned char CM_PTR conversation_ID, CM_CONVERSATION_STATE CM_PTR conversation_state,
               CM_RETURN_CODE CM_PTR return_code);

/* Extract_Conversation_Type */
CM_ENTRY CMECT(unsigned char CM_PTR conversation_ID, CM_CONVERSATION_TYPE CM_PTR conversation_type,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmect(unsigned char CM_PTR conversation_ID, CM_CONVERSATION_TYPE CM_PTR conversation_type,
               CM_RETURN_CODE CM_PTR return_code);

/* Extract_Mode_Name */
CM_ENTRY CMEMN(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR mode_name,
               CM_INT32 CM_PTR mode_name_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmemn(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR mode_name,
               CM_INT32 CM_PTR mode_name_length, CM_RETURN_CODE CM_PTR return_code);

/* Extract_Partner_LU_Name */
CM_ENTRY CMEPLN(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR partner_LU_name,
                CM_INT32 CM_PTR partner_LU_name_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmepln(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR partner_LU_name,
                CM_INT32 CM_PTR partner_LU_name_length, CM_RETURN_CODE CM_PTR return_code);

/* Extract_Sync_Level */
CM_ENTRY CMESL(unsigned char CM_PTR conversation_ID, CM_SYNC_LEVEL CM_PTR sync_level,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmesl(unsigned char CM_PTR conversation_ID, CM_SYNC_LEVEL CM_PTR sync_level,
               CM_RETURN_CODE CM_PTR return_code);

/* Flush */
CM_ENTRY CMFLUS(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmflus(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Initialize_Conversation */
CM_ENTRY CMINIT(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR sym_dest_name,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cminit(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR sym_dest_name,
                CM_RETURN_CODE CM_PTR return_code);

/* Prepare_To_Receive */
CM_ENTRY CMPTR(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmptr(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Receive */
CM_ENTRY CMRCV(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR buffer,
               CM_INT32 CM_PTR requested_length, CM_DATA_RECEIVED_TYPE CM_PTR data_received,
               CM_INT32 CM_PTR received_length, CM_STATUS_RECEIVED CM_PTR status_received,
               CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmrcv(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR buffer,
               CM_INT32 CM_PTR requested_length, CM_DATA_RECEIVED_TYPE CM_PTR data_received,
               CM_INT32 CM_PTR received_length, CM_STATUS_RECEIVED CM_PTR status_received,
               CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
               CM_RETURN_CODE CM_PTR return_code);

/* Request_To_Send */
CM_ENTRY CMRTS(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmrts(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Send_Data */
CM_ENTRY CMSEND(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR buffer,
                CM_INT32 CM_PTR send_length, CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsend(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR buffer,
                CM_INT32 CM_PTR send_length, CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
                CM_RETURN_CODE CM_PTR return_code);

/* Send_Error */
CM_ENTRY CMSERR(unsigned char CM_PTR conversation_ID,
                CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmserr(unsigned char CM_PTR conversation_ID,
                CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
                CM_RETURN_CODE CM_PTR return_code);

/* Set_Conversation_Type */
CM_ENTRY CMSCT(unsigned char CM_PTR conversation_ID, CM_CONVERSATION_TYPE CM_PTR conversation_type,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsct(unsigned char CM_PTR conversation_ID, CM_CONVERSATION_TYPE CM_PTR conversation_type,
               CM_RETURN_CODE CM_PTR return_code);

/* Set_Deallocate_Type */
CM_ENTRY CMSDT(unsigned char CM_PTR conversation_ID, CM_DEALLOCATE_TYPE CM_PTR deallocate_type,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsdt(unsigned char CM_PTR conversation_ID, CM_DEALLOCATE_TYPE CM_PTR deallocate_type,
               CM_RETURN_CODE CM_PTR return_code);

/* Set_Error_Direction */
CM_ENTRY CMSED(unsigned char CM_PTR conversation_ID, CM_ERROR_DIRECTION CM_PTR error_direction,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsed(unsigned char CM_PTR conversation_ID, CM_ERROR_DIRECTION CM_PTR error_direction,
               CM_RETURN_CODE CM_PTR return_code);

/* Set_Fill */
CM_ENTRY CMSF(unsigned char CM_PTR conversation_ID, CM_FILL CM_PTR fill, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsf(unsigned char CM_PTR conversation_ID, CM_FILL CM_PTR fill, CM_RETURN_CODE CM_PTR return_code);

/* Set_Log_Data */
CM_ENTRY CMSLD(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR log_data,
               CM_INT32 CM_PTR log_data_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsld(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR log_data,
               CM_INT32 CM_PTR log_data_length, CM_RETURN_CODE CM_PTR return_code);

/* Set_Mode_Name */
CM_ENTRY CMSMN(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR mode_name,
               CM_INT32 CM_PTR mode_name_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsmn(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR mode_name,
               CM_INT32 CM_PTR mode_name_length, CM_RETURN_CODE CM_PTR return_code);

/* Set_Partner_LU_Name */
CM_ENTRY CMSPLN(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR partner_LU_name,
                CM_INT32 CM_PTR partner_LU_name_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmspln(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR partner_LU_name,
                CM_INT32 CM_PTR partner_LU_name_length, CM_RETURN_CODE CM_PTR return_code);

/* Set_Prepare_To_Receive_Type */
CM_ENTRY CMSPTR(unsigned char CM_PTR conversation_ID,
                CM_PREPARE_TO_RECEIVE_TYPE CM_PTR prepare_to_receive_type, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsptr(unsigned char CM_PTR conversation_ID,
                CM_PREPARE_TO_RECEIVE_TYPE CM_PTR prepare_to_receive_type, CM_RETURN_CODE CM_PTR return_code);

/* Set_Receive_Type */
CM_ENTRY CMSRT(unsigned char CM_PTR conversation_ID, CM_RECEIVE_TYPE CM_PTR receive_type,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsrt(unsigned char CM_PTR conversation_ID, CM_RECEIVE_TYPE CM_PTR receive_type,
               CM_RETURN_CODE CM_PTR return_code);

/* Set_Return_Control */
CM_ENTRY CMSRC(unsigned char CM_PTR conversation_ID, CM_RETURN_CONTROL CM_PTR return_control,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsrc(unsigned char CM_PTR conversation_ID, CM_RETURN_CONTROL CM_PTR return_control,
               CM_RETURN_CODE CM_PTR return_code);

/* Set_Send_Type */
CM_ENTRY CMSST(unsigned char CM_PTR conversation_ID, CM_SEND_TYPE CM_PTR send_type,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsst(unsigned char CM_PTR conversation_ID, CM_SEND_TYPE CM_PTR send_type,
               CM_RETURN_CODE CM_PTR return_code);

/* Set_Sync_Level */
CM_ENTRY CMSSL(unsigned char CM_PTR conversation_ID, CM_SYNC_LEVEL CM_PTR sync_level,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmssl(unsigned char CM_PTR conversation_ID, CM_SYNC_LEVEL CM_PTR sync_level,
               CM_RETURN_CODE CM_PTR return_code);

/* Set_TP_Name */
CM_ENTRY CMSTPN(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR TP_name,
                CM_INT32 CM_PTR TP_name_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmstpn(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR TP_name,
                CM_INT32 CM_PTR TP_name_length, CM_RETURN_CODE CM_PTR return_code);

/* Test_Request_To_Send_Received: always completes within the call. */
CM_ENTRY CMTRTS(unsigned char CM_PTR conversation_ID,
                CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmtrts(unsigned char CM_PTR conversation_ID,
                CM_REQUEST_TO_SEND_RECEIVED CM_PTR request_to_send_received,
                CM_RETURN_CODE CM_PTR return_code);

/* Delete_Side_Information; the key is not examined. */
CM_ENTRY XCMDSI(unsigned char CM_PTR key, unsigned char CM_PTR sym_dest_name,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY xcmdsi(unsigned char CM_PTR key, unsigned char CM_PTR sym_dest_name,
                CM_RETURN_CODE CM_PTR return_code);

/* Extract_Conversation_Security_Type (X/Open) */
CM_ENTRY XCECST(unsigned char CM_PTR conversation_ID,
                XC_CONVERSATION_SECURITY_TYPE CM_PTR conversation_security_type,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY xcecst(unsigned char CM_PTR conversation_ID,
                XC_CONVERSATION_SECURITY_TYPE CM_PTR conversation_security_type,
                CM_RETURN_CODE CM_PTR return_code);

/* Extract_Conversation_Security_User_ID (X/Open): at most 8 bytes written. */
CM_ENTRY XCECSU(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY xcecsu(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);

/* Extract_Side_Information; only entry_number 0 (lookup by name) is offered. */
CM_ENTRY XCMESI(CM_INT32 CM_PTR entry_number, unsigned char CM_PTR sym_dest_name,
                SIDE_INFO CM_PTR side_info_entry, CM_INT32 CM_PTR side_info_entry_length,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY xcmesi(CM_INT32 CM_PTR entry_number, unsigned char CM_PTR sym_dest_name,
                SIDE_INFO CM_PTR side_info_entry, CM_INT32 CM_PTR side_info_entry_length,
                CM_RETURN_CODE CM_PTR return_code);

/* Set_Conversation_Security_Password (X/Open) */
CM_ENTRY XCSCSP(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_password,
                CM_INT32 CM_PTR security_password_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY xcscsp(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_password,
                CM_INT32 CM_PTR security_password_length, CM_RETURN_CODE CM_PTR return_code);

/* Set_Conversation_Security_Type (X/Open) */
CM_ENTRY XCSCST(unsigned char CM_PTR conversation_ID,
                XC_CONVERSATION_SECURITY_TYPE CM_PTR conversation_security_type,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY xcscst(unsigned char CM_PTR conversation_ID,
                XC_CONVERSATION_SECURITY_TYPE CM_PTR conversation_security_type,
                CM_RETURN_CODE CM_PTR return_code);

/* Set_Conversation_Security_User_ID (X/Open) */
CM_ENTRY XCSCSU(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY xcscsu(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);

/* Set_Side_Information; the key is not examined. */
CM_ENTRY XCMSSI(unsigned char CM_PTR key, SIDE_INFO CM_PTR side_info_entry,
                CM_INT32 CM_PTR side_info_entry_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY xcmssi(unsigned char CM_PTR key, SIDE_INFO CM_PTR side_info_entry,
                CM_INT32 CM_PTR side_info_entry_length, CM_RETURN_CODE CM_PTR return_code);

/* Terminate: ends the current context and its conversations. */
CM_ENTRY CMTERM(CM_END_TYPE CM_PTR end_type, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmterm(CM_END_TYPE CM_PTR end_type, CM_RETURN_CODE CM_PTR return_code);

/* Set_Processing_Mode */
CM_ENTRY CMSPM(unsigned char CM_PTR conversation_ID, CM_PROCESSING_MODE CM_PTR processing_mode,
               CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmspm(unsigned char CM_PTR conversation_ID, CM_PROCESSING_MODE CM_PTR processing_mode,
               CM_RETURN_CODE CM_PTR return_code);

/* Initialize_For_Incoming */
CM_ENTRY CMINIC(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cminic(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Accept_Incoming */
CM_ENTRY CMACCI(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmacci(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Wait_For_Conversation: conversation_ID receives the conversation whose
 * operation completed, conversation_return_code that operation's result. */
CM_ENTRY CMWAIT(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR conversation_return_code,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmwait(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR conversation_return_code,
                CM_RETURN_CODE CM_PTR return_code);

/* Cancel_Conversation */
CM_ENTRY CMCANC(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmcanc(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Check: which conversation has a completed operation, without collecting it. */
CM_ENTRY CMCHCK(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmchck(unsigned char CM_PTR conversation_ID, CM_RETURN_CODE CM_PTR return_code);

/* Set_Conversation_Security_Type */
CM_ENTRY CMSCST(unsigned char CM_PTR conversation_ID,
                CM_CONVERSATION_SECURITY_TYPE CM_PTR conversation_security_type,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmscst(unsigned char CM_PTR conversation_ID,
                CM_CONVERSATION_SECURITY_TYPE CM_PTR conversation_security_type,
                CM_RETURN_CODE CM_PTR return_code);

/* Set_Conversation_Security_User_ID */
CM_ENTRY CMSCSU(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmscsu(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);

/* Set_Conversation_Security_Password */
CM_ENTRY CMSCSP(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_password,
                CM_INT32 CM_PTR security_password_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmscsp(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_password,
                CM_INT32 CM_PTR security_password_length, CM_RETURN_CODE CM_PTR return_code);

/* Extract_Security_User_ID: up to 10 bytes written. */
CM_ENTRY CMESUI(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmesui(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);

/* Specify_Local_TP_Name */
CM_ENTRY CMSLTP(unsigned char CM_PTR TP_name, CM_INT32 CM_PTR TP_name_length,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsltp(unsigned char CM_PTR TP_name, CM_INT32 CM_PTR TP_name_length,
                CM_RETURN_CODE CM_PTR return_code);

/* Release_Local_TP_Name */
CM_ENTRY CMRLTP(unsigned char CM_PTR TP_name, CM_INT32 CM_PTR TP_name_length,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmrltp(unsigned char CM_PTR TP_name, CM_INT32 CM_PTR TP_name_length,
                CM_RETURN_CODE CM_PTR return_code);

/* Extract_TP_Name */
CM_ENTRY CMETPN(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR TP_name,
                CM_INT32 CM_PTR TP_name_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmetpn(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR TP_name,
                CM_INT32 CM_PTR TP_name_length, CM_RETURN_CODE CM_PTR return_code);

/* Convert_Incoming: EBCDIC to ASCII in place, at most 32767 bytes. */
CM_ENTRY CMCNVI(unsigned char CM_PTR buffer, CM_INT32 CM_PTR buffer_length,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmcnvi(unsigned char CM_PTR buffer, CM_INT32 CM_PTR buffer_length,
                CM_RETURN_CODE CM_PTR return_code);

/* Convert_Outgoing: ASCII to EBCDIC in place, at most 32767 bytes. */
CM_ENTRY CMCNVO(unsigned char CM_PTR buffer, CM_INT32 CM_PTR buffer_length,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmcnvo(unsigned char CM_PTR buffer, CM_INT32 CM_PTR buffer_length,
                CM_RETURN_CODE CM_PTR return_code);

/* Extract_Maximum_Buffer_Size */
CM_ENTRY CMEMBS(CM_INT32 CM_PTR maximum_buffer_size, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmembs(CM_INT32 CM_PTR maximum_buffer_size, CM_RETURN_CODE CM_PTR return_code);

/* Extract_Conversation_Context: context_ID takes CM_CTX_SIZE bytes. */
CM_ENTRY CMECTX(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR context_ID,
                CM_INT32 CM_PTR context_ID_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmectx(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR context_ID,
                CM_INT32 CM_PTR context_ID_length, CM_RETURN_CODE CM_PTR return_code);

/* Set_Conversation_Context */
CM_ENTRY CMSCTX(unsigned char CM_PTR context_ID, CM_INT32 CM_PTR context_ID_length,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmsctx(unsigned char CM_PTR context_ID, CM_INT32 CM_PTR context_ID_length,
                CM_RETURN_CODE CM_PTR return_code);

/* Extract_Conversation_Security_User_ID: at most 8 bytes written. */
CM_ENTRY CMECSU(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmecsu(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR security_user_ID,
                CM_INT32 CM_PTR security_user_ID_length, CM_RETURN_CODE CM_PTR return_code);

/* Extract_Conversation_Security_Type */
CM_ENTRY CMECST(unsigned char CM_PTR conversation_ID,
                CM_CONVERSATION_SECURITY_TYPE CM_PTR conversation_security_type,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmecst(unsigned char CM_PTR conversation_ID,
                CM_CONVERSATION_SECURITY_TYPE CM_PTR conversation_security_type,
                CM_RETURN_CODE CM_PTR return_code);

/* Extract_Local_LU_Name: writes 8 bytes and a terminating zero byte, so
 * local_LU_name must hold 9 bytes. */
CM_ENTRY CMELLN(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR local_LU_name,
                CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmelln(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR local_LU_name,
                CM_RETURN_CODE CM_PTR return_code);

/* Set_Local_LU_Name: 0 to 8 bytes; length 0 returns to the node's default. */
CM_ENTRY CMSLLN(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR local_LU_name,
                CM_INT32 CM_PTR local_LU_name_length, CM_RETURN_CODE CM_PTR return_code);
CM_ENTRY cmslln(unsigned char CM_PTR conversation_ID, unsigned char CM_PTR local_LU_name,
                CM_INT32 CM_PTR local_LU_name_length, CM_RETURN_CODE CM_PTR return_code);

#ifdef __cplusplus
}
#endif

#endif /* CPIC_H */
