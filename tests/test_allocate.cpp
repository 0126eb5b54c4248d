// SPDX-License-Identifier: Apache-2.0
// Initialize_Conversation and Allocate against the scripted node: the
// conversation's defaults and local LU alias, the start-TP and ALLOCATE
// records, and every way an allocation ends.
#include <cstdio>
#include <tuple>
#include <utility>

#include "node/nof_records.h"
#include "support.h"

namespace {

using namespace cpic_test;

class Allocate : public LibraryTest {
  protected:
    CCCB *init_conversation(unsigned char (&id)[8], const void *name = kBlankName) {
        EXPECT_EQ(rc_of(cminit, id, static_cast<unsigned char *>(const_cast<void *>(name))), CM_OK);
        return find(id);
    }

    // The node's answer to a side-information query, as a queued script.
    static void queue_side_info(const char *name, const char *local_lu_alias) {
        NOF_SIDE_INFO_ANSWER entry;
        memset(&entry, ' ', sizeof entry);
        memcpy(entry.sym_dest_name, name, 8);
        entry.tp_name_type = 0;
        entry.security_type = CM_SECURITY_NONE;
        memcpy(entry.lu_alias, local_lu_alias, 8);
        ZT_ANSWER a = answer(0);
        a.indirect_field = offsetof(NOF_QUERY_RECORD, buf_addr);
        a.indirect_length = sizeof entry;
        a.indirect_data = &entry;
        queue(NOF_QUERY_SIDE_INFO, a); // copied when queued
    }

    // The ALLOCATE record of `c`: mapped, format 1, `fields` at their
    // offsets, zeros elsewhere.
    static std::string allocate_record(const CCCB *c,
                                       std::initializer_list<std::pair<size_t, std::string>> fields) {
        std::string r = record(AP_B_ALLOCATE, 1, 0, reinterpret_cast<const char *>(c->TpId));
        r[3] = 1;
        for (const auto &f : fields) r.replace(f.first, f.second.size(), f.second);
        return r;
    }
    static void set_context(const char *tp_id, const char *alias) {
        memcpy(pGCB->CtxTpId, tp_id, 8);
        memcpy(pGCB->CtxLocLUAlias, alias, 8);
    }
};

// A name starting with a blank is never looked up: the conversation gets
// every default.
TEST_F(Allocate, NameStartingWithABlankIsNotLookedUp) {
    for (const void *sym_dest :
         {static_cast<const void *>(kBlankName), static_cast<const void *>(" XY     ")}) {
        CCCB *c = init_conversation(id, sym_dest);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(std::make_tuple(fInitCPIC, c->usInitialized, c->ulConvId), std::make_tuple(1, 1, 0u));
        EXPECT_EQ(bytes(c->SideInfo.SymDestName, 8) + bytes(c->SideInfo.ModeName, 8) +
                      bytes(c->LocLUAlias, 8),
                  bytes(sym_dest, 8) + std::string(8, '\x40') + std::string(8, '\0'));
    }
    EXPECT_EQ(zt_verb_count(), 0u);
}

TEST_F(Allocate, UnknownNameIsRefusedAndAudited) {
    unsigned char name[8] = {'N', 'O', 'S', 'U', 'C', 'H', ' ', ' '};
    EXPECT_EQ(rc_of(cminit, id, name), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(std::make_tuple(zt_audit_count(), std::get<0>(last_audit()), std::get<2>(last_audit())),
              std::make_tuple(1u, uint32_t{kAuditSideInfoLookupFailed}, "es"));
    EXPECT_EQ(rc_of(cmflus, id), CM_PROGRAM_PARAMETER_CHECK) << "the ID written is stale";
}

TEST_F(Allocate, LocalLuAliasChoice) {
    // No context: APPCLLU beats side information.
    setenv("APPCLLU", "ENVLU", 1);
    queue_side_info("PARTNER1", "SIDELU  ");
    CCCB *c = init_conversation(id, "PARTNER1");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(bytes(c->LocLUAlias, 8), "ENVLU   ");

    // A context fills a missing alias, APPCLLU or not.
    set_context("CTXTP001", "CTXLU   ");
    queue_side_info("PARTNER2", std::string(8, '\0').c_str());
    c = init_conversation(id, "PARTNER2");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(bytes(c->LocLUAlias, 8), "CTXLU   ");

    // With a context, a side-information alias of blanks is an alias: only
    // APPCLLU replaces it.
    for (const char *env : {static_cast<const char *>(nullptr), "ENV2"}) {
        if (env != nullptr)
            setenv("APPCLLU", env, 1);
        else
            unsetenv("APPCLLU");
        zt_fail_path(); // the next initialisation reads APPCLLU again
        init_conversation(id);
        set_context("CTXTP001", "CTXLU   ");
        queue_side_info("PARTNER3", "        ");
        c = init_conversation(id, "PARTNER3");
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(bytes(c->LocLUAlias, 8), env != nullptr ? "ENV2    " : "        ");
    }
}

TEST_F(Allocate, WithoutContextAStartedTpCarriesTheAllocate) {
    CCCB *c = init_conversation(id);
    memcpy(c->SideInfo.PartnerLUName, "PARTLU  ", 8);
    memcpy(c->SideInfo.SecurityUserID, "\xE4\xE2\xC5\xD9\x40\x40\x40\x40\x40\x40", 10);
    memcpy(c->SideInfo.SecurityPassword, "\xD7\xE6\x40\x40\x40\x40\x40\x40\x40\x40", 10);
    c->ulSyncLevel = CM_CONFIRM;
    c->ulReturnControl = CM_IMMEDIATE;
    EXPECT_EQ(rc_of(cmallc, id), CM_OK);
    ASSERT_EQ(zt_verb_count(), 2u);
    const ZT_VERB *start = zt_verb(0);
    EXPECT_EQ(std::make_tuple(start->opcode, start->callback, start->user),
              std::make_tuple(uint16_t{AP_TP_STARTED}, nullptr, 0u));
    EXPECT_EQ(bytes(start->image + 28, 64), bytes(pGCB->LocTPName, 64));

    EXPECT_NE(bytes(c->TpId, 8), std::string(8, '\0'));
    // Sync level, return control, the partner's alias, mode and TP name as
    // Initialize left them; security SAME sends the user ID, no password.
    EXPECT_EQ(image(zt_verb(1)), allocate_record(c, {{25, "\x01"},
                                                     {28, "\x01"},
                                                     {40, "PARTLU  "},
                                                     {48, std::string(8, '\x40')},
                                                     {56, std::string(64, '\x40')},
                                                     {120, "\x01"},
                                                     {142, bytes(c->SideInfo.SecurityUserID, 10)}}));
    EXPECT_NE(c->ulConvId, 0u) << "the node's conversation id";
    EXPECT_EQ(c->usNewTpStarted, 0) << "cleared by the completion";
    ASSERT_EQ(zt_audit_count(), 2u);
    EXPECT_EQ(std::make_tuple(zt_audit(0)->code, zt_audit(1)->code, std::string(zt_audit(1)->format)),
              std::make_tuple(uint32_t{kAuditTpStarted}, uint32_t{kAuditConversationAllocated}, "ba ca"));

    EXPECT_EQ(rc_of(cmallc, id), CM_PROGRAM_STATE_CHECK) << "allocated once already";
}

TEST_F(Allocate, QualifiedPartnerAndProgramSecurity) {
    CCCB *c = init_conversation(id);
    const unsigned char qualified[17] = {0xD5, 0xC5, 0xE3, 0xC1, 0x4B, 0xD3, 0xE4, 0xC2, 0x40,
                                         0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40};
    memcpy(c->SideInfo.PartnerLUName, qualified, 17);
    c->SideInfo.usPLUNameQualified = 1;
    c->SideInfo.ulSecurityType = CM_SECURITY_PROGRAM;
    memcpy(c->SideInfo.SecurityPassword, "\xD7\xE6\x40\x40\x40\x40\x40\x40\x40\x40", 10);
    EXPECT_EQ(rc_of(cmallc, id), CM_OK);
    EXPECT_EQ(image(zt_last_verb()), allocate_record(c, {{48, std::string(8, '\x40')},
                                                         {56, std::string(64, '\x40')},
                                                         {120, "\x02"},
                                                         {132, bytes(c->SideInfo.SecurityPassword, 10)},
                                                         {142, bytes(c->SideInfo.SecurityUserID, 10)},
                                                         {161, bytes(qualified, 17)}}));
}

TEST_F(Allocate, CurrentContextWithTheSameAliasStartsNoTp) {
    CCCB *c = init_conversation(id);
    set_context("CTXTP777", "LOCAL1  ");
    memcpy(c->LocLUAlias, "LOCAL1  ", 8);
    EXPECT_EQ(rc_of(cmallc, id), CM_OK);
    EXPECT_EQ(zt_verbs_of(AP_TP_STARTED), 0u);
    EXPECT_EQ(bytes(c->TpId, 8), "CTXTP777");

    unsigned char other[8];
    CCCB *o = init_conversation(other);
    memcpy(o->LocLUAlias, "LOCAL2  ", 8);
    EXPECT_EQ(rc_of(cmallc, other), CM_OK);
    EXPECT_EQ(zt_verbs_of(AP_TP_STARTED), 1u) << "another local LU needs its own TP";
}

// A refusal the program cannot mend releases the conversation; one it can
// (its own fault) keeps it in Initialize state, ready to allocate again;
// the TP instance the call started ends on an ending code or the
// program's fault.
TEST_F(Allocate, FailuresReleaseOrKeepTheConversationAndEndItsTp) {
    const std::tuple<uint16_t, uint16_t, uint32_t, CM_RETURN_CODE, bool, uint32_t> rows[] = {
        {AP_TP_STARTED, 0x0100, 0x31000000, CM_PROGRAM_PARAMETER_CHECK, false, 0},
        {AP_B_ALLOCATE, 0x0300, 0x21600810, CM_TPN_NOT_RECOGNIZED, false, 1},
        {AP_B_ALLOCATE, 0x0100, 0x17000000, CM_PARAMETER_ERROR, true, 1},
        {AP_B_ALLOCATE, 0x0200, 0, CM_PROGRAM_STATE_CHECK, true, 0},
    };
    for (const auto &[opcode, primary, secondary, want_rc, kept, ended] : rows) {
        SCOPED_TRACE(want_rc);
        zt_reset();
        CCCB *c = init_conversation(id);
        queue(opcode, answer(primary, secondary));
        EXPECT_EQ(rc_of(cmallc, id), want_rc);
        EXPECT_EQ(std::make_tuple(find(id), zt_verbs_of(AP_TP_ENDED), zt_verbs_of(AP_B_ALLOCATE)),
                  std::make_tuple(kept ? c : nullptr, ended, opcode == AP_B_ALLOCATE ? 1u : 0u));
        if (!kept) continue;
        if (ended) {
            EXPECT_EQ(bytes(last_of(AP_TP_ENDED)->image + 12, 8), bytes(c->TpId, 8));
        }
        EXPECT_EQ(c->ulConvId, 0u);
        EXPECT_EQ(rc_of(cmallc, id), CM_OK);
        EXPECT_EQ(zt_verbs_of(AP_TP_STARTED), 2u) << "with a TP of its own again";
    }
}

TEST_F(Allocate, NonBlockingAllocateCompletesLater) {
    CCCB *c = non_blocking(init_conversation(id));
    queue(AP_B_ALLOCATE, answer(0, 0, true));
    EXPECT_EQ(rc_of(cmallc, id), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(c->ulConvId, 0u);
    EXPECT_EQ(rc_of(cmallc, id), CM_OPERATION_NOT_ACCEPTED);
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_NE(c->ulConvId, 0u);
    EXPECT_EQ(counts(c), kResultWaits);
}

TEST_F(Allocate, CancelledWhileInFlightCancelsTheNewConversation) {
    CCCB *c = non_blocking(init_conversation(id));
    queue(AP_B_ALLOCATE, answer(0, 0, true));
    ASSERT_EQ(rc_of(cmallc, id), CM_OPERATION_INCOMPLETE);
    c->usCancelPending = 1; // as Cancel_Conversation marks it
    zt_complete_pending(0);
    const ZT_VERB *cancel = zt_last_verb();
    EXPECT_EQ(cancel->opcode, AP_CANCEL);
    EXPECT_EQ(std::make_tuple(cancel->kind, cancel->callback),
              std::make_tuple(uint32_t{ZT_VERB_APPC_ASYNC}, nullptr));
    uint32_t node_id;
    memcpy(&node_id, cancel->image + 20, 4);
    EXPECT_NE(node_id, 0u);
    EXPECT_EQ(bytes(cancel->image + 12, 8), bytes(c->TpId, 8));
    EXPECT_EQ(
        std::make_tuple(c->ulConvId, c->usConvEnded, c->ulTraceRc, c->usCancelPending,
                        std::get<0>(last_problem())),
        std::make_tuple(0u, 1, uint32_t{CM_PRODUCT_SPECIFIC_ERROR}, 0, uint32_t{kProblemAllocateCancelled}));
}

} // namespace
