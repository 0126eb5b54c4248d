// SPDX-License-Identifier: Apache-2.0
// Conversation contexts: extracting a conversation's TP instance, making
// one current, what Allocate then does with it, and when the instance left
// behind is ended at the node.
#include <cstdio>
#include <tuple>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

class Contexts : public LibraryTest {
  protected:
    static CM_INT32 set_context(const void *context, CM_INT32 length = 8) {
        unsigned char buffer[8];
        memcpy(buffer, context, sizeof buffer);
        return rc_of(CMSCTX, buffer, &length);
    }
    // What Extract_Conversation_Context answers, and the context it hands out.
    static std::pair<CM_RETURN_CODE, std::string> context_of(unsigned char *id) {
        unsigned char buffer[8];
        memset(buffer, 0xAA, sizeof buffer);
        CM_INT32 length = -1;
        const CM_RETURN_CODE rc = rc_of(CMECTX, id, buffer, &length);
        return {rc, rc == CM_OK ? bytes(buffer, static_cast<size_t>(length)) : std::string()};
    }
    // Initialize_Conversation with a local LU named, then Allocate.
    static CM_INT32 allocate(unsigned char (&id)[8], std::string local_lu) {
        EXPECT_EQ(rc_of(cminit, id, kBlankName), CM_OK);
        CM_INT32 length = static_cast<CM_INT32>(local_lu.size());
        if (length != 0) {
            EXPECT_EQ(rc_of(CMSLLN, id, reinterpret_cast<unsigned char *>(&local_lu[0]), &length), CM_OK);
        }
        return rc_of(CMALLC, id);
    }
    static std::string current() { return bytes(pGCB->CtxTpId, 8); }
    static std::string current_alias() { return bytes(pGCB->CtxLocLUAlias, 8); }
};
const std::string kNone(8, '\0');

TEST_F(Contexts, ExtractNeedsAConversationAtTheNode) {
    unsigned char id[8], incoming[8], allocated[8];
    ASSERT_EQ(rc_of(cminit, id, kBlankName), CM_OK);
    // Allocate got a TP instance, but the node refused the conversation.
    queue(AP_B_ALLOCATE, answer(kPrimaryStateCheck));
    ASSERT_EQ(rc_of(CMALLC, id), CM_PROGRAM_STATE_CHECK);
    ASSERT_NE(find(id), nullptr);
    ASSERT_NE(bytes(find(id)->TpId, 8), kNone) << "a TpId was obtained";
    EXPECT_EQ(context_of(id).first, CM_PROGRAM_STATE_CHECK);
    new_conversation(incoming, 0, "TPIDINC1")->usInitialized = 0;
    EXPECT_EQ(context_of(incoming).first, CM_PROGRAM_STATE_CHECK);
    new_conversation(allocated, 0x51, "TPIDALC1");
    EXPECT_EQ(context_of(allocated), std::make_pair(CM_RETURN_CODE{CM_OK}, std::string("TPIDALC1")));
}

TEST_F(Contexts, SwitchingMakesANewConversationJoinThatInstance) {
    unsigned char first[8], second[8];
    ASSERT_EQ(allocate(first, "LUA"), CM_OK);
    ASSERT_EQ(zt_verbs_of(AP_TP_STARTED), 1u);
    const std::string context = context_of(first).second;
    ASSERT_EQ(context.size(), 8u);
    EXPECT_EQ(current(), kNone) << "Allocate makes no context current";

    EXPECT_EQ(set_context(context.data()), CM_OK);
    EXPECT_EQ(current(), context);
    EXPECT_EQ(current_alias(), "LUA     ") << "the conversation's local LU alias comes along";

    ASSERT_EQ(allocate(second, ""), CM_OK);
    EXPECT_EQ(zt_verbs_of(AP_TP_STARTED), 1u) << "no new TP instance was started";
    EXPECT_EQ(context_of(second).second, context);
    const ZT_VERB *v = zt_last_verb();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->opcode, AP_B_ALLOCATE);
    EXPECT_EQ(bytes(v->image + offsetof(VCB_HDR, tp_id), 8), context);
}

TEST_F(Contexts, SwitchToTheCurrentContextDoesNothing) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x51, "TPIDCUR1");
    memcpy(c->LocLUAlias, "LUX     ", 8);
    ASSERT_EQ(set_context("TPIDCUR1"), CM_OK);
    memcpy(pGCB->CtxLocLUAlias, "KEPT    ", 8);
    const uint32_t verbs = zt_verb_count();
    EXPECT_EQ(set_context("TPIDCUR1"), CM_OK);
    EXPECT_EQ(zt_verb_count(), verbs);
    EXPECT_EQ(current_alias(), "KEPT    ") << "nothing is taken from the conversation again";
}

TEST_F(Contexts, WrongLengthOrUnknownContextIsRefused) {
    EXPECT_EQ(set_context("TPIDNONE"), CM_PROGRAM_PARAMETER_CHECK)
        << "nothing is known before initialisation";
    EXPECT_EQ(fInitCPIC, 0);
    unsigned char id[8];
    new_conversation(id, 0x51, "TPIDKNWN");
    ASSERT_EQ(set_context("TPIDKNWN"), CM_OK);
    for (CM_INT32 length : {4, 0, 7, 9, -8})
        EXPECT_EQ(set_context("TPIDKNWN", length), CM_PROGRAM_PARAMETER_CHECK) << length;
    EXPECT_EQ(set_context("NOSUCHTP"), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(current(), "TPIDKNWN") << "the current context is unchanged";
    EXPECT_EQ(rc_of(CMSCTX, nullptr, nullptr), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(zt_problem_count(), 0u) << "no record for a refused context";
    EXPECT_EQ(zt_verbs_of(AP_TP_ENDED), 0u);
}

TEST_F(Contexts, InstanceLeftBehindEndsOnlyWhenUnused) {
    unsigned char a[8], b[8];
    new_conversation(a, 0x51, "TPIDAAAA");
    new_conversation(b, 0x52, "TPIDBBBB");
    // A current context no conversation runs under any more.
    memcpy(pGCB->CtxTpId, "TPIDGONE", 8);

    ASSERT_EQ(set_context("TPIDAAAA"), CM_OK);
    ASSERT_EQ(zt_verbs_of(AP_TP_ENDED), 1u);
    const ZT_VERB *v = last_of(AP_TP_ENDED);
    EXPECT_EQ(std::make_tuple(v->kind, v->callback != nullptr),
              std::make_tuple(uint32_t{ZT_VERB_APPC_ASYNC}, true))
        << "ended without waiting";
    // The type byte sits where other records carry a conversation ID.
    EXPECT_EQ(image(v), record(AP_TP_ENDED, 0, AP_TP_END_HARD, "TPIDGONE"));

    // TPIDAAAA still has its conversation: switching away ends nothing.
    ASSERT_EQ(set_context("TPIDBBBB"), CM_OK);
    EXPECT_EQ(zt_verbs_of(AP_TP_ENDED), 1u);
    EXPECT_EQ(current(), "TPIDBBBB");
}

TEST_F(Contexts, FirstConversationInTableOrderNamesTheAlias) {
    unsigned char a[8], b[8];
    CCCB *first = new_conversation(a, 0x51, "TPIDSHRD");
    CCCB *second = new_conversation(b, 0x52, "TPIDSHRD");
    ASSERT_LT(first->CCCBhandle, second->CCCBhandle);
    memcpy(first->LocLUAlias, "FIRSTLU ", 8);
    memcpy(second->LocLUAlias, "SECONDLU", 8);
    ASSERT_EQ(set_context("TPIDSHRD"), CM_OK);
    EXPECT_EQ(current_alias(), "FIRSTLU ");
}

} // namespace
