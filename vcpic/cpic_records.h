/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The library's records: the global control block (GCB), the conversation
 * control block (CCCB) and the side-information entry embedded in it.
 * All of them are guarded by the process lock.
 */
#ifndef VCPIC_CPIC_RECORDS_H
#define VCPIC_CPIC_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#include "node/verb_records.h"
#include "vcpic/export.h"

/* Words that carry an address are pointer-sized; every other integer is
 * 32 bits on both ABIs. */
typedef uintptr_t CPIC_WORD;

/* Side-information entry: 148 bytes, also the layout of the CCCB block that
 * starts at SymDestName. Text fields EBCDIC unless noted. */
typedef struct SideInfoEntry {
    char SymDestName[8];             /* ASCII, blank padded; the key */
    unsigned char PartnerLUName[17]; /* qualified: EBCDIC; alias: ASCII */
    unsigned char reserved1[3];
    uint32_t ulTPNameType;
    unsigned char TPName[64];
    unsigned char SideInfoLocLUAlias[8]; /* ASCII; all zero = none */
    unsigned char ModeName[8];
    uint32_t ulSecurityType;
    unsigned char SecurityUserID[10];
    unsigned char SecurityPassword[10];
    uint16_t usPLUNameQualified;
    uint16_t usPLUNetIdLen;
    uint16_t usPLUNameLen;
    uint16_t usModeNameLen;
    uint16_t usUserIDLen;
    uint16_t reserved2;
} SideInfoEntry;

/* One entry of the side-information table. */
typedef struct SideInfoRecord {
    uint16_t usValid; /* 1 = in force, 0 = deleted marker */
    uint16_t reserved;
    SideInfoEntry entry;
} SideInfoRecord;

typedef struct GCB {
    unsigned char CtxTpId[8]; /* current context; all zero = none */
    unsigned char CtxLocLUAlias[8];
    unsigned char EnvLocLUAlias[8]; /* from APPCLLU, ASCII, blank padded */
    unsigned char LocTPName[64];    /* EBCDIC */
    uint32_t NumVerbsWaiting;       /* conversations with a result to collect */
    uint32_t NumVerbsOutstanding;   /* verbs the node holds in progress */
    uint32_t WaitObject;
    uint16_t NumLocTPNames;
    uint32_t LocTPNameTable;
    uint32_t CccbTable;
    uint32_t SideInfoTable;
    uint32_t PathUser;
    uint16_t usLocTPNameLen;
    uint16_t fEnvTPNameListed;
    uint16_t fEnvTPNameGiven;
} GCB;

#define CPIC_TRACE_ARGS 5

typedef struct CCCB {
    VCB vcb;                     /* zeroed in full before every verb */
    uint32_t CCCBhandle;         /* handle in the conversation table */
    uint16_t usConvEnded;        /* set by a conversation-ending completion,
                                     Deallocate and Cancel */
    SideInfoEntry SideInfo;      /* SymDestName .. the side-information word */
    unsigned char LocLUAlias[8]; /* all zero = the node's default */
    uint32_t ulConvId;           /* the node's id; 0 = none yet */
    uint32_t ulConversationType;
    uint32_t ulDeallocateType;
    uint32_t ulErrorDirection;
    uint32_t ulFill;
    uint32_t ulPrepToReceiveType;
    uint32_t ulReceiveType;
    uint32_t ulReturnControl;
    uint32_t ulSendType;
    uint32_t ulSyncLevel;
    uint16_t usLogDataLen;
    unsigned char *LogData; /* owned */
    uint16_t usDeallcLogDataLen;
    unsigned char *DeallcLogData; /* owned */
    uint16_t usConfirmDealloc;
    uint16_t usConfirmPending;
    uint16_t usVerbsOutstanding; /* set at issue, cleared at completion */
    uint16_t usProcessingMode;
    uint16_t usInitialized; /* 1 = made by Initialize_Conversation */
    uint16_t usCancelPending;
    unsigned char TpId[8];        /* context the conversation runs under */
    uint16_t usCompletionWaiting; /* set by an asynchronous completion,
                                     cleared when the result is collected */
    uint32_t ulLocTPNameHandle;
    uint16_t usTraceVerb;
    unsigned char *pTraceConvId;
    uint32_t ulTraceRc;
    CPIC_WORD TraceArgs[CPIC_TRACE_ARGS];
    unsigned char TraceConvId[8];
    uint16_t usNewTpStarted;
} CCCB;

#ifdef __cplusplus
static_assert(sizeof(SideInfoEntry) == 148, "side-information entry");
static_assert(offsetof(SideInfoEntry, PartnerLUName) == 8, "PartnerLUName");
static_assert(offsetof(SideInfoEntry, ulTPNameType) == 28, "ulTPNameType");
static_assert(offsetof(SideInfoEntry, TPName) == 32, "TPName");
static_assert(offsetof(SideInfoEntry, SideInfoLocLUAlias) == 96, "SideInfoLocLUAlias");
static_assert(offsetof(SideInfoEntry, ModeName) == 104, "ModeName");
static_assert(offsetof(SideInfoEntry, ulSecurityType) == 112, "ulSecurityType");
static_assert(offsetof(SideInfoEntry, SecurityUserID) == 116, "SecurityUserID");
static_assert(offsetof(SideInfoEntry, SecurityPassword) == 126, "SecurityPassword");
static_assert(offsetof(SideInfoEntry, usPLUNameQualified) == 136, "usPLUNameQualified");
static_assert(offsetof(SideInfoEntry, usPLUNetIdLen) == 138, "usPLUNetIdLen");
static_assert(offsetof(SideInfoEntry, usPLUNameLen) == 140, "usPLUNameLen");
static_assert(offsetof(SideInfoEntry, usModeNameLen) == 142, "usModeNameLen");
static_assert(offsetof(SideInfoEntry, usUserIDLen) == 144, "usUserIDLen");
static_assert(sizeof(SideInfoRecord) == 152, "side-information record");
static_assert(offsetof(SideInfoRecord, entry) == 4, "entry follows usValid");
static_assert(offsetof(CCCB, vcb) == 0, "the CCCB starts with its verb record");
#endif

CPIC_API GCB sGcb;
CPIC_API GCB *pGCB;
CPIC_API uint16_t fInitCPIC;
CPIC_API char *pEnv;

#endif /* VCPIC_CPIC_RECORDS_H */
