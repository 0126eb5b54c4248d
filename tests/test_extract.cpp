// The extract calls: what each reports for fresh, incoming, allocated and
// busy conversations, the name conversions, and the get-state verb with its
// state translation, failures and completion bookkeeping.
#include <cstdio>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

const unsigned char kBlankName[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
constexpr unsigned char kFill = 0xAA;  // what an untouched output byte holds

class Extract : public LibraryTest {
  protected:
    // A conversation as Initialize_Conversation makes it, without side
    // information.
    CCCB *init(unsigned char (&id)[8], const unsigned char *name = kBlankName) {
        CM_RETURN_CODE rc = -1;
        cminit(id, const_cast<unsigned char *>(name), &rc);
        EXPECT_EQ(rc, CM_OK);
        return find(id);
    }
    // Initialize_For_Incoming's conversation, before its accept completes.
    CCCB *incoming(unsigned char (&id)[8]) {
        CM_RETURN_CODE rc = -1;
        CMINIC(id, &rc);
        EXPECT_EQ(rc, CM_OK);
        return find(id);
    }

    static CM_INT32 state_of(unsigned char *id, CM_CONVERSATION_STATE &state) {
        CM_RETURN_CODE rc = -1;
        cmecs(id, &state, &rc);
        return rc;
    }
    // Calls (ID, name, length): the name as handed out, and the length.
    using NameCall = void (*)(unsigned char *, unsigned char *, CM_INT32 *, CM_RETURN_CODE *);
    static CM_INT32 name_of(NameCall call, unsigned char *id, std::string &name, CM_INT32 &length) {
        unsigned char buffer[80];
        memset(buffer, kFill, sizeof buffer);
        length = -1;
        CM_RETURN_CODE rc = -1;
        call(id, buffer, &length, &rc);
        name.assign(reinterpret_cast<char *>(buffer), length >= 0 && length <= 64 ? length : 0);
        return rc;
    }
    static CM_INT32 set_name(NameCall call, unsigned char *id, const std::string &text) {
        std::string s = text;
        CM_INT32 length = static_cast<CM_INT32>(s.size());
        s.resize(80);  // the request trace dumps whole name fields
        CM_RETURN_CODE rc = -1;
        call(id, reinterpret_cast<unsigned char *>(&s[0]), &length, &rc);
        return rc;
    }

    // The node's next get-state answer: primary code and state byte.
    static void queue_state(uint8_t code, uint16_t primary = 0) {
        ZT_ANSWER a = answer(primary);
        a.patch_count = 1;
        a.patches[0].offset = offsetof(VCB_GET_STATE, conv_state);
        a.patches[0].length = 1;
        a.patches[0].bytes[0] = code;
        queue(AP_GET_STATE, a);
    }

    static bool traced(const std::string &line) {
        for (uint32_t i = 0; i < zt_trace_line_count(); ++i) {
            if (line == zt_trace_line(i)) return true;
        }
        return false;
    }
};

// ---- Without the node ---------------------------------------------------------

TEST_F(Extract, FreshConversationReportsItsDefaultsWithoutTheNode) {
    unsigned char id[8];
    ASSERT_NE(init(id), nullptr);
    CM_CONVERSATION_STATE state = -1;
    EXPECT_EQ(state_of(id, state), CM_OK);
    EXPECT_EQ(state, CM_INITIALIZE_STATE);

    CM_RETURN_CODE rc = -1;
    CM_CONVERSATION_TYPE type = -1;
    CMECT(id, &type, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(type, CM_MAPPED_CONVERSATION);
    CM_SYNC_LEVEL sync_level = -1;
    CMESL(id, &sync_level, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(sync_level, CM_NONE);

    std::string name;
    CM_INT32 length = -1;
    EXPECT_EQ(name_of(CMEMN, id, name, length), CM_OK);
    EXPECT_EQ(length, 0) << "no mode name without side information";
    EXPECT_EQ(name_of(CMEPLN, id, name, length), CM_OK);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(name_of(CMETPN, id, name, length), CM_OK);
    EXPECT_EQ(length, 0) << "a TP name of EBCDIC blanks is empty";
    EXPECT_EQ(zt_verb_count(), 0u) << "nothing reaches the node";
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
    CM_RETURN_CODE rc = -1;
    XCMSSI(key, &entry, &entry_length, &rc);
    ASSERT_EQ(rc, CM_OK);

    unsigned char id[8];
    ASSERT_NE(init(id, entry.sym_dest_name), nullptr);
    std::string name;
    CM_INT32 length = -1;
    EXPECT_EQ(name_of(CMEMN, id, name, length), CM_OK);
    EXPECT_EQ(name, "#INTER");
    EXPECT_EQ(name_of(CMEPLN, id, name, length), CM_OK);
    EXPECT_EQ(name, "NETA.LUB");
    EXPECT_EQ(length, 8);
    EXPECT_EQ(name_of(CMETPN, id, name, length), CM_OK);
    EXPECT_EQ(name, "SERVER");
}

TEST_F(Extract, IncomingConversationTellsOnlyItsState) {
    unsigned char id[8];
    ASSERT_NE(incoming(id), nullptr);
    CM_CONVERSATION_STATE state = -1;
    EXPECT_EQ(state_of(id, state), CM_OK);
    EXPECT_EQ(state, CM_INITIALIZE_INCOMING_STATE);

    CM_RETURN_CODE rc = -1;
    CM_INT32 value = -7;
    CMESL(id, &value, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    CMECT(id, &value, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(value, -7) << "nothing written on refusal";
    for (NameCall call : {NameCall{CMEPLN}, NameCall{CMEMN}, NameCall{CMETPN}}) {
        std::string name;
        CM_INT32 length = -1;
        EXPECT_EQ(name_of(call, id, name, length), CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(length, -1);
    }
    unsigned char lu[9];
    memset(lu, kFill, sizeof lu);
    CMELLN(id, lu, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(bytes(lu, 9), std::string(9, static_cast<char>(kFill)));
    EXPECT_EQ(zt_verb_count(), 0u);
}

TEST_F(Extract, PartnerLuNameQualifiedOrAlias) {
    unsigned char qualified[8], alias[8];
    init(qualified);
    init(alias);
    ASSERT_EQ(set_name(CMSPLN, qualified, "neta.lub"), CM_OK);
    ASSERT_EQ(set_name(CMSPLN, alias, "lub1"), CM_OK);
    std::string name;
    CM_INT32 length = -1;
    EXPECT_EQ(name_of(CMEPLN, qualified, name, length), CM_OK);
    EXPECT_EQ(name, "NETA.LUB");
    EXPECT_EQ(length, 8);
    EXPECT_EQ(name_of(CMEPLN, alias, name, length), CM_OK);
    EXPECT_EQ(name, "lub1") << "an alias is handed back as given";
    EXPECT_EQ(length, 4);
}

TEST_F(Extract, ModeNameSetInLowerCaseComesBackUpper) {
    unsigned char id[8];
    init(id);
    ASSERT_EQ(set_name(CMSMN, id, "#batch"), CM_OK);
    std::string name;
    CM_INT32 length = -1;
    EXPECT_EQ(name_of(CMEMN, id, name, length), CM_OK);
    EXPECT_EQ(name, "#BATCH");
    EXPECT_EQ(length, 6);
}

TEST_F(Extract, TpNameEndsAtItsFirstBlank) {
    unsigned char id[8];
    init(id);
    std::string name;
    CM_INT32 length = -1;
    ASSERT_EQ(set_name(CMSTPN, id, "PAY ROLL"), CM_OK);
    EXPECT_EQ(name_of(CMETPN, id, name, length), CM_OK);
    EXPECT_EQ(name, "PAY");
    EXPECT_EQ(length, 3);

    std::string whole;
    for (int i = 0; i < 64; ++i) whole += static_cast<char>("abcdefghij-_/0123"[i % 17]);
    ASSERT_EQ(set_name(CMSTPN, id, whole), CM_OK);
    EXPECT_EQ(name_of(CMETPN, id, name, length), CM_OK);
    EXPECT_EQ(length, 64);
    EXPECT_EQ(name, whole) << "the TP name set keeps its case and punctuation";
}

TEST_F(Extract, LocalLuNameIsTerminatedAndAbsenceIsAStateCheck) {
    unsigned char id[8];
    init(id);
    unsigned char lu[12];
    memset(lu, kFill, sizeof lu);
    CM_RETURN_CODE rc = -1;
    CMELLN(id, lu, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK) << "no local LU named";
    EXPECT_EQ(bytes(lu, 9), std::string(9, '\0')) << "eight zero bytes and a terminator are written all the same";
    EXPECT_EQ(lu[9], kFill) << "nothing past the terminator";

    ASSERT_EQ(set_name(CMSLLN, id, "LOCAL1"), CM_OK);
    CMELLN(id, lu, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(bytes(lu, 9), std::string("LOCAL1  \0", 9));
}

TEST_F(Extract, MaximumBufferSizeNeedsNoConversation) {
    CM_INT32 size = -1;
    CM_RETURN_CODE rc = -1;
    CMEMBS(&size, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(size, 32767);
    EXPECT_EQ(fInitCPIC, 0) << "nothing was initialised for it";
}

TEST_F(Extract, UnknownConversationIsAParameterCheck) {
    unsigned char id[8];
    init(id);
    id[0] ^= 0x20;
    const struct {
        const char *name;
        uint32_t sequence;
        void (*call)(unsigned char *id, CM_RETURN_CODE *rc);
    } calls[] = {
        {"CMESL", 11, [](unsigned char *i, CM_RETURN_CODE *rc) { CM_INT32 v; CMESL(i, &v, rc); }},
        {"CMECT", 8, [](unsigned char *i, CM_RETURN_CODE *rc) { CM_INT32 v; CMECT(i, &v, rc); }},
        {"CMEPLN", 10, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[64]; CM_INT32 n; CMEPLN(i, b, &n, rc); }},
        {"CMEMN", 9, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[64]; CM_INT32 n; CMEMN(i, b, &n, rc); }},
        {"CMETPN", 33, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[64]; CM_INT32 n; CMETPN(i, b, &n, rc); }},
        {"CMELLN", 90, [](unsigned char *i, CM_RETURN_CODE *rc) { unsigned char b[9]; CMELLN(i, b, rc); }},
    };
    for (const auto &call : calls) {
        const uint32_t before = zt_problem_count();
        CM_RETURN_CODE rc = -1;
        call.call(id, &rc);
        EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK) << call.name;
        ASSERT_EQ(zt_problem_count(), before + 1) << call.name;
        EXPECT_EQ(zt_problem(before)->code, static_cast<uint32_t>(kProblemUnknownConversation));
        EXPECT_EQ(zt_problem(before)->sequence, call.sequence) << call.name;
        char inserts[32];
        snprintf(inserts, sizeof inserts, "%02X%02X%02X%02X00000000", id[0], id[1], id[2], id[3]);
        EXPECT_STREQ(zt_problem(before)->inserts, inserts);
    }
    const uint32_t before = zt_problem_count();
    CM_CONVERSATION_STATE state = -1;
    EXPECT_EQ(state_of(id, state), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(state_of(nullptr, state), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(zt_problem_count(), before) << "CMECS writes no problem record";
    EXPECT_EQ(state, -1);
}

TEST_F(Extract, MissingOutputIsAParameterCheck) {
    unsigned char id[8];
    init(id);
    CM_RETURN_CODE rc = -1;
    CMESL(id, nullptr, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
    unsigned char buffer[64];
    CMEMN(id, buffer, nullptr, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
    cmecs(id, nullptr, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
}

// ---- With a verb in flight ------------------------------------------------------

TEST_F(Extract, OutstandingReceiveRefusesTpNameAndStateOnly) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->ulSyncLevel = CM_CONFIRM;
    CM_PROCESSING_MODE mode = CM_NON_BLOCKING;
    CM_RETURN_CODE rc = -1;
    CMSPM(id, &mode, &rc);
    ASSERT_EQ(rc, CM_OK);
    queue(AP_RECEIVE_AND_WAIT, answer(0, 0, true));
    unsigned char data[16];
    CM_INT32 requested = sizeof data, received = 0;
    CM_DATA_RECEIVED_TYPE data_received = 0;
    CM_STATUS_RECEIVED status = 0;
    CM_REQUEST_TO_SEND_RECEIVED rts = 0;
    CMRCV(id, data, &requested, &data_received, &received, &status, &rts, &rc);
    ASSERT_EQ(rc, CM_OPERATION_INCOMPLETE);
    const uint32_t verbs = zt_verb_count();

    std::string name;
    CM_INT32 length = -1;
    EXPECT_EQ(name_of(CMETPN, id, name, length), CM_OPERATION_NOT_ACCEPTED);
    CM_CONVERSATION_STATE state = -1;
    EXPECT_EQ(state_of(id, state), CM_OPERATION_NOT_ACCEPTED);
    EXPECT_EQ(state, -1);
    CM_SYNC_LEVEL sync_level = -1;
    CMESL(id, &sync_level, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(sync_level, CM_CONFIRM);
    EXPECT_EQ(name_of(CMEMN, id, name, length), CM_OK);
    EXPECT_EQ(zt_verb_count(), verbs) << "no get-state verb over the one in flight";
    EXPECT_EQ(zt_complete_pending(0), 1u);
}

// ---- The get-state verb ---------------------------------------------------------

TEST_F(Extract, GetStateRecordCompletesWithinTheCall) {
    unsigned char id[8];
    CCCB *c = new_conversation(id, 0x4711, "TPIDSTAT");
    c->usProcessingMode = CM_NON_BLOCKING;  // no matter: the state is wanted now
    queue_state(2);
    CM_CONVERSATION_STATE state = -1;
    EXPECT_EQ(state_of(id, state), CM_OK);
    EXPECT_EQ(state, CM_RECEIVE_STATE);

    const ZT_VERB *v = zt_last_verb();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->opcode, AP_GET_STATE);
    EXPECT_EQ(v->kind, static_cast<uint32_t>(ZT_VERB_APPC_ASYNC));
    EXPECT_EQ(v->callback, nullptr);
    EXPECT_EQ(v->record, static_cast<void *>(c)) << "issued in the conversation's own record";
    VCB issued;
    memcpy(&issued, v->image, sizeof issued);
    EXPECT_EQ(issued.hdr.conv_type, 0) << "left zero even for a mapped conversation";
    EXPECT_EQ(issued.hdr.format, 0);
    EXPECT_EQ(bytes(issued.hdr.tp_id, 8), "TPIDSTAT");
    EXPECT_EQ(issued.hdr.conv_id, 0x4711u);
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
    EXPECT_EQ(c->usCompletionWaiting, 0) << "nothing is left for Wait";
}

TEST_F(Extract, EveryNodeStateCodeTranslatesOrFails) {
    unsigned char id[8];
    new_conversation(id);
    const CM_CONVERSATION_STATE expected[] = {CM_INITIALIZE_STATE, CM_SEND_STATE, CM_RECEIVE_STATE,
                                             CM_CONFIRM_STATE,   CM_CONFIRM_SEND_STATE, CM_CONFIRM_DEALLOCATE_STATE,
                                             0, 0, 0, CM_SEND_PENDING_STATE};
    std::vector<unsigned> codes;
    for (unsigned code = 0; code <= 12; ++code) codes.push_back(code);
    codes.push_back(255);
    for (unsigned code : codes) {
        const CM_CONVERSATION_STATE want = code < 10 ? expected[code] : 0;
        const uint32_t problems = zt_problem_count();
        queue_state(static_cast<uint8_t>(code));
        CM_CONVERSATION_STATE state = -1;
        const CM_INT32 rc = state_of(id, state);
        if (want != 0) {
            EXPECT_EQ(rc, CM_OK) << code;
            EXPECT_EQ(state, want) << code;
            EXPECT_EQ(zt_problem_count(), problems) << code;
        } else {
            EXPECT_EQ(rc, CM_PRODUCT_SPECIFIC_ERROR) << code;
            EXPECT_EQ(state, -1) << "state not written for code " << code;
            ASSERT_EQ(zt_problem_count(), problems + 1) << code;
            const ZT_RECORD *r = zt_problem(problems);
            EXPECT_EQ(r->code, static_cast<uint32_t>(kProblemUnknownStateCode));
            EXPECT_EQ(r->sequence, 0u);
            EXPECT_STREQ(r->format, "b");
            char text[4];
            snprintf(text, sizeof text, "%02X", code);
            EXPECT_STREQ(r->inserts, text);
        }
    }
}

TEST_F(Extract, FailedGetStateIsTheLibrarysProblemNotTheConversations) {
    unsigned char id[8];
    new_conversation(id);
    for (uint16_t primary : {uint16_t{kPrimaryStateCheck}, uint16_t{kPrimaryDeallocNormal}}) {
        const uint32_t problems = zt_problem_count();
        queue_state(1, primary);
        CM_CONVERSATION_STATE state = -1;
        EXPECT_EQ(state_of(id, state), CM_PRODUCT_SPECIFIC_ERROR) << "the node's code is not mapped";
        EXPECT_EQ(state, CM_SEND_STATE) << "the state byte is read all the same";
        ASSERT_EQ(zt_problem_count(), problems + 1);
        const ZT_RECORD *r = zt_problem(problems);
        EXPECT_EQ(r->code, static_cast<uint32_t>(kProblemGetStateFailed));
        EXPECT_EQ(r->sequence, 0u);
        EXPECT_STREQ(r->format, "x");
        char text[8];
        snprintf(text, sizeof text, "%04X", primary);
        EXPECT_STREQ(r->inserts, text);
        ASSERT_NE(find(id), nullptr) << "an ending code from get-state ends nothing";
        EXPECT_EQ(find(id)->usConvEnded, 0);
    }
    // Both at once: two records, one return code.
    const uint32_t problems = zt_problem_count();
    queue_state(7, kPrimaryStateCheck);
    CM_CONVERSATION_STATE state = -1;
    EXPECT_EQ(state_of(id, state), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(zt_problem_count(), problems + 2);
}

TEST_F(Extract, NodeAnsweringInProgressLeavesTheVerbOutstanding) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    ZT_ANSWER a = answer(0);
    a.flags = ZT_ANSWER_SET_RETURN;
    a.returned = APPC_IN_PROGRESS;
    queue(AP_GET_STATE, a);
    CM_CONVERSATION_STATE state = -1;
    EXPECT_EQ(state_of(id, state), CM_OPERATION_INCOMPLETE);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 1u);
    EXPECT_EQ(c->usVerbsOutstanding, 1);
    EXPECT_EQ(state_of(id, state), CM_OPERATION_NOT_ACCEPTED);
}

TEST_F(Extract, StateOfAnEndedConversationDropsItsResultAndReleasesIt) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->usConvEnded = 1;
    c->usCompletionWaiting = 1;
    pGCB->NumVerbsWaiting = 1;
    queue_state(1);
    CM_CONVERSATION_STATE state = -1;
    EXPECT_EQ(state_of(id, state), CM_OK);
    EXPECT_EQ(state, CM_SEND_STATE);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u);
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(state_of(id, state), CM_PROGRAM_PARAMETER_CHECK);
}

TEST_F(Extract, DroppingAResultNobodyCountedIsAsserted) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    c->usCompletionWaiting = 1;  // but NumVerbsWaiting is 0
    CM_CONVERSATION_STATE state = -1;
    EXPECT_EQ(state_of(id, state), CM_OK);
    ASSERT_EQ(zt_assert_count(), 1u);
    const ZT_RECORD *r = zt_assert(0);
    EXPECT_STREQ(r->file, "../../p/vcpic/cpiccal2");
    EXPECT_EQ(r->line, 167);
    EXPECT_STREQ(r->expression, "(pGCB)->NumVerbsWaiting > 0");
    EXPECT_EQ(pGCB->NumVerbsWaiting, 0u) << "the count stays at zero";
    EXPECT_EQ(c->usCompletionWaiting, 0);
}

// The node may still deliver the completion later; then it is collected
// like any other non-blocking result.
TEST_F(Extract, CompletionDeliveredLaterWaitsForCollection) {
    unsigned char id[8];
    CCCB *c = new_conversation(id);
    set_trace(true);
    CM_CONVERSATION_STATE state = -1;
    {
        cpic::ProcessLock lock;
        memset(&c->vcb, 0, sizeof c->vcb);
        c->vcb.get_state.hdr.opcode = AP_GET_STATE;
        c->vcb.get_state.conv_state = 4;
        c->usTraceVerb = kVerbCMECS;
        c->pTraceConvId = c->TraceConvId;
        memcpy(c->TraceConvId, id, 8);
        c->TraceArgs[0] = reinterpret_cast<CPIC_WORD>(&state);
        c->usVerbsOutstanding = 1;
        pGCB->NumVerbsOutstanding = 1;
        cmecs_cb(&c->vcb, 0, 0, 1);
    }
    EXPECT_EQ(state, CM_CONFIRM_SEND_STATE);
    EXPECT_EQ(c->ulTraceRc, static_cast<uint32_t>(CM_OK));
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    EXPECT_EQ(c->usCompletionWaiting, 1);
    EXPECT_EQ(pGCB->NumVerbsOutstanding, 0u);
    EXPECT_EQ(pGCB->NumVerbsWaiting, 1u);
    EXPECT_TRUE(traced("CPIC CMECS response, result = CM_OK"));
    EXPECT_TRUE(traced("CPIC  Conversation state = CM_CONFIRM_SEND_STATE"));
    set_trace(false);
}

// ---- Trace records ----------------------------------------------------------------

TEST_F(Extract, TraceShowsWhatWasHandedOut) {
    unsigned char id[8];
    init(id);
    ASSERT_EQ(set_name(CMSLLN, id, "LOCAL1"), CM_OK);
    set_trace(true);
    zt_trace_clear();
    unsigned char lu[9];
    CM_RETURN_CODE rc = -1;
    CMELLN(id, lu, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_TRUE(traced("CPIC CMELLN response, result = CM_OK"));
    EXPECT_TRUE(traced("CPIC  Local LU name ="));
    EXPECT_TRUE(traced("CPIC  Local LU name length = 8"));

    CM_CONVERSATION_STATE state = -1;
    state_of(id, state);
    EXPECT_TRUE(traced("CPIC CMECS request"));
    EXPECT_TRUE(traced("CPIC  Conversation state = CM_INITIALIZE_STATE"));

    CM_INT32 size = 0;
    CMEMBS(&size, &rc);
    EXPECT_TRUE(traced("CPIC  Maximum buffer size = 32767"));
    set_trace(false);
}

}  // namespace
