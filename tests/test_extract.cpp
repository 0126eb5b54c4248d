// SPDX-License-Identifier: Apache-2.0
// The extract calls: what each reports for fresh, incoming, allocated and
// busy conversations, the name conversions, and the get-state verb with its
// state translation, failures and completion bookkeeping.
#include <cstdio>
#include <map>
#include <tuple>
#include <utility>

#include "support.h"

namespace {

using namespace cpic_test;

constexpr unsigned char kFill = 0xAA; // what an untouched output byte holds
using NameCall = void (*)(unsigned char *, unsigned char *, CM_INT32 *, CM_RETURN_CODE *);
using IntCall = void (*)(unsigned char *, CM_INT32 *, CM_RETURN_CODE *);
using NameOut = std::tuple<CM_RETURN_CODE, std::string, CM_INT32>; // rc, name, length
using IntOut = std::pair<CM_RETURN_CODE, CM_INT32>;
using LuOut = std::pair<CM_RETURN_CODE, std::string>;

class Extract : public LibraryTest {
  protected:
    // A conversation as Initialize_Conversation makes it, without side
    // information unless `name` names an entry.
    CCCB *init(const char *name = "        ") {
        unsigned char sym_dest[8];
        memcpy(sym_dest, name, 8);
        EXPECT_EQ(rc_of(cminit, id, sym_dest), CM_OK);
        return find(id);
    }
    IntOut value(IntCall call) {
        CM_INT32 v = -1;
        CM_RETURN_CODE rc = -1;
        call(id, &v, &rc);
        return {rc, v};
    }
    IntOut state() { return value(cmecs); }
    NameOut name(NameCall call) {
        unsigned char buffer[80];
        memset(buffer, kFill, sizeof buffer);
        CM_INT32 length = -1;
        CM_RETURN_CODE rc = -1;
        call(id, buffer, &length, &rc);
        return {rc, bytes(buffer, length >= 0 && length <= 64 ? length : 0), length};
    }
    CM_RETURN_CODE set_name(NameCall call, const std::string &text) {
        std::string s = text;
        CM_INT32 length = static_cast<CM_INT32>(s.size());
        s.resize(80); // the request trace dumps whole name fields
        return rc_of(call, id, reinterpret_cast<unsigned char *>(&s[0]), &length);
    }
    // The local LU name buffer after CMELLN, and its return code.
    LuOut local_lu() {
        unsigned char lu[12];
        memset(lu, kFill, sizeof lu);
        CM_RETURN_CODE rc = -1;
        CMELLN(id, lu, &rc);
        return {rc, bytes(lu, 10)};
    }
    // The node's next get-state answer: primary code and state byte.
    static void queue_state(uint8_t code, uint16_t primary = 0) {
        queue(AP_GET_STATE, patched(answer(primary), offsetof(VCB_GET_STATE, conv_state), {char(code)}));
    }
};

// ---- Without the node ---------------------------------------------------------

// A fresh conversation answers from its defaults: without side
// information no mode or partner, a TP name of EBCDIC blanks is empty, and
// with no local LU named eight zero bytes and a terminator are written all
// the same. An incoming one tells only its state and writes nothing else.
TEST_F(Extract, FreshAndIncomingConversationsWithoutTheNode) {
    CM_INT32 size = -1;
    EXPECT_EQ(rc_of(CMEMBS, &size), CM_OK);
    EXPECT_EQ(size, 32767);
    EXPECT_EQ(fInitCPIC, 0) << "the maximum buffer size needs no conversation";
    for (bool incoming : {false, true}) {
        ASSERT_NE(incoming ? (rc_of(CMINIC, id), find(id)) : init(), nullptr);
        const CM_RETURN_CODE refused = incoming ? CM_PROGRAM_STATE_CHECK : CM_OK;
        EXPECT_EQ(state(), IntOut(CM_OK, incoming ? CM_INITIALIZE_INCOMING_STATE : CM_INITIALIZE_STATE));
        EXPECT_EQ(value(CMECT), IntOut(refused, incoming ? -1 : CM_MAPPED_CONVERSATION));
        EXPECT_EQ(value(CMESL), IntOut(refused, incoming ? -1 : CM_NONE));
        for (NameCall call : {NameCall{CMEMN}, NameCall{CMEPLN}, NameCall{CMETPN}})
            EXPECT_EQ(name(call), NameOut(refused, "", incoming ? -1 : 0));
        EXPECT_EQ(local_lu(), LuOut(CM_PROGRAM_STATE_CHECK,
                                    incoming ? std::string(10, '\xAA') : std::string(9, '\0') + '\xAA'));
    }
    EXPECT_EQ(zt_verb_count(), 0u) << "nothing reaches the node";
}

TEST_F(Extract, NamesAsSetComeBackConverted) {
    std::string whole;
    for (int i = 0; i < 64; ++i) whole += "abcdefghij-_/0123"[i % 17];
    const std::tuple<NameCall, NameCall, std::string, std::string> cases[] = {
        {CMSPLN, CMEPLN, "neta.lub", "NETA.LUB"},
        {CMSPLN, CMEPLN, "lub1", "lub1"}, // an alias is handed back as given
        {CMSMN, CMEMN, "#batch", "#BATCH"},
        {CMSTPN, CMETPN, "PAY ROLL", "PAY"}, // ends at its first blank
        {CMSTPN, CMETPN, whole, whole},      // keeps its case and punctuation
    };
    for (const auto &[set_call, extract, given, handed_out] : cases) {
        init();
        ASSERT_EQ(set_name(set_call, given), CM_OK) << given;
        EXPECT_EQ(name(extract), NameOut(CM_OK, handed_out, static_cast<CM_INT32>(handed_out.size())));
    }
    ASSERT_EQ(set_name(CMSLLN, "LOCAL1"), CM_OK);
    EXPECT_EQ(local_lu(), LuOut(CM_OK, std::string("LOCAL1  \0\xAA", 10)));
}

TEST_F(Extract, SideInformationNamesComeBackInUpperCase) {
    SIDE_INFO entry;
    memset(&entry, ' ', sizeof entry);
    memcpy(entry.sym_dest_name, "SIDEX   ", 8);
    memcpy(entry.partner_LU_name, "neta.lub", 8);
    entry.TP_name_type = XC_APPLICATION_TP;
    memcpy(entry.TP_name, "SERVER", 6);
    memcpy(entry.mode_name, "#inter", 6);
    entry.conversation_security_type = XC_SECURITY_NONE;
    unsigned char key[8] = {};
    CM_INT32 entry_length = sizeof entry;
    ASSERT_EQ(rc_of(XCMSSI, key, &entry, &entry_length), CM_OK);
    ASSERT_NE(init("SIDEX   "), nullptr);
    EXPECT_EQ(name(CMEMN), NameOut(CM_OK, "#INTER", 6));
    EXPECT_EQ(name(CMEPLN), NameOut(CM_OK, "NETA.LUB", 8));
    EXPECT_EQ(name(CMETPN), NameOut(CM_OK, "SERVER", 6));
}

TEST_F(Extract, MissingOutputIsAParameterCheck) {
    init();
    unsigned char buffer[64];
    EXPECT_EQ(
        (Outcome{rc_of(CMESL, id, nullptr), rc_of(CMEMN, id, buffer, nullptr), rc_of(cmecs, id, nullptr)}),
        Outcome(3, CM_PROGRAM_PARAMETER_CHECK));
    id[0] ^= 0x20; // unknown: CMECS alone writes no problem record
    EXPECT_EQ(state(), IntOut(CM_PROGRAM_PARAMETER_CHECK, -1));
    CM_CONVERSATION_STATE untouched = -1;
    EXPECT_EQ(rc_of(cmecs, nullptr, &untouched), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(untouched, -1);
    EXPECT_EQ(zt_problem_count(), 0u);
}

// ---- With a verb in flight ------------------------------------------------------

TEST_F(Extract, OutstandingReceiveRefusesTpNameAndStateOnly) {
    non_blocking(new_conversation(id))->ulSyncLevel = CM_CONFIRM;
    queue(AP_RECEIVE_AND_WAIT, answer(0, 0, true));
    unsigned char data[16];
    CM_INT32 requested = sizeof data, received = 0, data_received = 0, status = 0, rts = 0;
    ASSERT_EQ(rc_of(CMRCV, id, data, &requested, &data_received, &received, &status, &rts),
              CM_OPERATION_INCOMPLETE);
    const uint32_t verbs = zt_verb_count();
    EXPECT_EQ(name(CMETPN), NameOut(CM_OPERATION_NOT_ACCEPTED, "", -1));
    EXPECT_EQ(state(), IntOut(CM_OPERATION_NOT_ACCEPTED, -1));
    EXPECT_EQ(value(CMESL), IntOut(CM_OK, CM_CONFIRM));
    EXPECT_EQ(std::get<0>(name(CMEMN)), CM_OK);
    EXPECT_EQ(zt_verb_count(), verbs) << "no get-state verb over the one in flight";
    EXPECT_EQ(zt_complete_pending(0), 1u);
}

// ---- The get-state verb ---------------------------------------------------------

TEST_F(Extract, GetStateRecordCompletesWithinTheCall) {
    CCCB *c = non_blocking(new_conversation(id, 0x4711, "TPIDSTAT")); // no matter: the state is wanted now
    queue_state(2);
    EXPECT_EQ(state(), IntOut(CM_OK, CM_RECEIVE_STATE));
    const ZT_VERB *v = zt_last_verb();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::make_tuple(v->callback, v->record), std::make_tuple(nullptr, static_cast<void *>(c)))
        << "issued in the conversation's own record";
    // Conversation type and format are left zero, even for a mapped
    // conversation.
    EXPECT_EQ(image(v), record(AP_GET_STATE, 0, 0x4711, "TPIDSTAT"));
    EXPECT_EQ(counts(c), kIdle) << "nothing is left for Wait";
}

TEST_F(Extract, EveryNodeStateCodeTranslatesOrFails) {
    new_conversation(id);
    // Node codes 0..5 and 9 name a state; 6..8, 10..12 and 255 name none.
    const std::map<unsigned, CM_CONVERSATION_STATE> named = {
        {0, CM_INITIALIZE_STATE},  {1, CM_SEND_STATE},         {2, CM_RECEIVE_STATE},
        {3, CM_CONFIRM_STATE},     {4, CM_CONFIRM_SEND_STATE}, {5, CM_CONFIRM_DEALLOCATE_STATE},
        {9, CM_SEND_PENDING_STATE}};
    for (unsigned code = 0; code <= 13; ++code) {
        const uint8_t sent = static_cast<uint8_t>(code == 13 ? 255 : code);
        const CM_CONVERSATION_STATE want = named.count(code) ? named.at(code) : 0;
        const uint32_t problems = zt_problem_count();
        queue_state(sent);
        EXPECT_EQ(state(), want != 0 ? IntOut(CM_OK, want) : IntOut(CM_PRODUCT_SPECIFIC_ERROR, -1)) << code;
        ASSERT_EQ(zt_problem_count(), problems + (want != 0 ? 0 : 1)) << code;
        char text[4];
        snprintf(text, sizeof text, "%02X", sent);
        if (want == 0) {
            EXPECT_EQ(last_problem(), Rec(kProblemUnknownStateCode, 0, "b", text));
        }
    }
}

TEST_F(Extract, FailedGetStateIsTheLibrarysProblemNotTheConversations) {
    new_conversation(id);
    // The node's code is not mapped; the state byte is read all the same.
    for (uint16_t primary : {uint16_t{kPrimaryStateCheck}, uint16_t{kPrimaryDeallocNormal}}) {
        queue_state(1, primary);
        EXPECT_EQ(state(), IntOut(CM_PRODUCT_SPECIFIC_ERROR, CM_SEND_STATE));
        char text[8];
        snprintf(text, sizeof text, "%04X", primary);
        EXPECT_EQ(last_problem(), Rec(kProblemGetStateFailed, 0, "x", text));
        ASSERT_NE(find(id), nullptr) << "an ending code from get-state ends nothing";
        EXPECT_EQ(find(id)->usConvEnded, 0);
    }
    // Both at once: two records, one return code.
    const uint32_t problems = zt_problem_count();
    queue_state(7, kPrimaryStateCheck);
    EXPECT_EQ(state().first, CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(zt_problem_count(), problems + 2);
}

// The node may still deliver the completion later; then it is collected
// like any other non-blocking result.
TEST_F(Extract, NodeAnsweringInProgressLeavesTheVerbOutstandingUntilItCompletes) {
    CCCB *c = new_conversation(id);
    ZT_ANSWER a = patched(answer(0), offsetof(VCB_GET_STATE, conv_state), {4});
    std::tie(a.flags, a.returned) = std::make_tuple(ZT_ANSWER_SET_RETURN, APPC_IN_PROGRESS);
    queue(AP_GET_STATE, a);
    CM_CONVERSATION_STATE later = -1;
    EXPECT_EQ(rc_of(cmecs, id, &later), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(counts(c), kInFlight);
    EXPECT_EQ(state().first, CM_OPERATION_NOT_ACCEPTED);
    {
        cpic::ProcessLock lock;
        cmecs_cb(&c->vcb, 0, 0, 1);
    }
    EXPECT_EQ(std::make_tuple(later, c->ulTraceRc, counts(c)),
              std::make_tuple(CM_CONFIRM_SEND_STATE, uint32_t{CM_OK}, kResultWaits));
}

// A result left waiting on the conversation is dropped by the state
// extract; an ended conversation goes with it. Dropping one nobody counted
// is asserted, and the count stays at zero.
TEST_F(Extract, StateExtractDropsAWaitingResult) {
    for (bool counted : {true, false}) {
        CCCB *c = new_conversation(id);
        c->usConvEnded = counted;
        c->usCompletionWaiting = 1;
        pGCB->NumVerbsWaiting = counted;
        queue_state(1);
        EXPECT_EQ(state(), IntOut(CM_OK, CM_SEND_STATE));
        EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);
        EXPECT_EQ(zt_assert_count(), counted ? 0u : 1u);
        if (counted) {
            EXPECT_EQ(state().first, CM_PROGRAM_PARAMETER_CHECK) << "released";
        } else {
            EXPECT_EQ(c->usCompletionWaiting, 0);
            EXPECT_STREQ(zt_assert(0)->expression, "(pGCB)->NumVerbsWaiting > 0");
        }
    }
}

} // namespace
