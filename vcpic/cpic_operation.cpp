// SPDX-License-Identifier: Apache-2.0
// The bookkeeping of an operation, shared by every verb path, and the list
// of calls sleeping on the node.
#include "vcpic/cpic_operation.h"

#include <string.h>

#include "vcpic/semutrcp.h"

namespace cpic {
namespace op {

namespace {

// Positions of the saved words. Receive saves all five of its outputs;
// every other call that writes one saves it first.
enum ReceiveWord : uint8_t {
    kRcvBuffer,
    kRcvDataReceived,
    kRcvReceivedLength,
    kRcvStatusReceived,
    kRcvRequestToSend
};
constexpr uint8_t kFirstWord = 0;

// Guarded by the process lock, like everything the library keeps.
Sleeper *g_sleepers = nullptr;
BlockedCall *g_holders = nullptr;
HeldRecord *g_node_held = nullptr;

void unlink_node_held(HeldRecord *held) {
    for (HeldRecord **p = &g_node_held; *p != nullptr; p = &(*p)->next) {
        if (*p == held) {
            *p = held->next;
            break;
        }
    }
    held->next = nullptr;
}

template <typename T>
T *word_as(const TraceOutputs &words, uint8_t index) {
    return reinterpret_cast<T *>(words[index]);
}

bool receives(uint16_t verb) {
    return verb == kVerbCMRCV;
}

bool released_when_idle(CCCB *c) {
    if (!c->usConvEnded || c->usVerbsOutstanding != 0 || c->usCompletionWaiting) return false;
    SCC_free_cccb(c);
    return true;
}

} // namespace

CM_REQUEST_TO_SEND_RECEIVED *SavedCall::request_to_send() const {
    return word_as<CM_REQUEST_TO_SEND_RECEIVED>(words,
                                                receives(verb) ? uint8_t{kRcvRequestToSend} : kFirstWord);
}
CM_DATA_RECEIVED_TYPE *SavedCall::data_received() const {
    return word_as<CM_DATA_RECEIVED_TYPE>(words, kRcvDataReceived);
}
CM_INT32 *SavedCall::received_length() const {
    return word_as<CM_INT32>(words, kRcvReceivedLength);
}
CM_STATUS_RECEIVED *SavedCall::status_received() const {
    return word_as<CM_STATUS_RECEIVED>(words, kRcvStatusReceived);
}
CM_CONVERSATION_STATE *SavedCall::conversation_state() const {
    return word_as<CM_CONVERSATION_STATE>(words, kFirstWord);
}

const unsigned char *saved_conversation_id(const CCCB *c) {
    return c->pTraceConvId != nullptr ? c->pTraceConvId : c->TraceConvId;
}

SavedCall saved(const CCCB *c) {
    SavedCall s{c->usTraceVerb, c->pTraceConvId, {}};
    memcpy(s.words.data(), c->TraceArgs, sizeof c->TraceArgs);
    return s;
}

void begin(CCCB *c, uint16_t verb, const unsigned char *conversation_id, CM_INT32 rc,
           const TraceOutputs &words) {
    c->usTraceVerb = verb;
    memcpy(c->TraceArgs, words.data(), sizeof c->TraceArgs);
    c->pTraceConvId = c->TraceConvId;
    c->ulTraceRc = static_cast<uint32_t>(rc);
    if (conversation_id != nullptr) memcpy(c->TraceConvId, conversation_id, sizeof c->TraceConvId);
}

void drop(CCCB *c, const AssertPlace &place) {
    if (!c->usCompletionWaiting) return;
    c->usCompletionWaiting = 0;
    GCB *g = pGCB;
    if (g->NumVerbsWaiting > 0)
        --g->NumVerbsWaiting;
    else
        v0_assert(place.file, place.line, place.expression);
}

uint16_t hand_to_node(CCCB *c, void *record, APPC_CALLBACK callback, uint32_t user, Count count,
                      const AssertPlace &place) {
    if (count != Count::kInline) ++c->usVerbsOutstanding;
    // The new verb's result replaces one nobody collected.
    if (count == Count::kReplacesResult) drop(c, place);
    return appc_c_async_version(APPC_VERSION, record, callback, user);
}

bool in_flight(uint16_t answer, bool node_may_call_back) {
    if (answer != APPC_IN_PROGRESS || !node_may_call_back) return false;
    ++pGCB->NumVerbsOutstanding;
    return true;
}

bool finish(CCCB *c, Count count) {
    if (count != Count::kInline) --c->usVerbsOutstanding;
    return released_when_idle(c);
}

void hand_over(CCCB *c) {
    --pGCB->NumVerbsOutstanding;
    --c->usVerbsOutstanding;
}

void post(CCCB *c, const SavedCall &saved) {
    GCB *g = pGCB;
    --g->NumVerbsOutstanding;
    if (!c->usCompletionWaiting) {
        c->usCompletionWaiting = 1;
        ++g->NumVerbsWaiting;
    }
    --c->usVerbsOutstanding;
    vpm_wakeup(g->WaitObject);
    if (SCC_api_trace_on()) {
        CCCB *found = nullptr;
        if (saved.conversation_id != nullptr) SCC_find_cccb(saved.conversation_id, &found, g);
        const TraceOutputs &a = saved.words;
        seputrcp(2, saved.verb, found, reinterpret_cast<CPIC_WORD>(&c->ulTraceRc), a[0], a[1], a[2], a[3],
                 a[4]);
    }
}

CCCB *first_waiting() {
    void *p = nullptr;
    for (uint32_t h = vtm_get_next_used(pGCB->CccbTable, 0, &p); h != 0;
         h = vtm_get_next_used(pGCB->CccbTable, h, &p)) {
        auto *c = static_cast<CCCB *>(p);
        if (c == nullptr) {
            v0_assert(__FILE__, __LINE__, "cccb_ptr != NULL");
            continue;
        }
        if (c->usCompletionWaiting) return c;
    }
    return nullptr;
}

bool collect(CCCB *c, unsigned char *conversation_id, CM_RETURN_CODE *conversation_rc) {
    memcpy(conversation_id, saved_conversation_id(c), 8);
    *conversation_rc = static_cast<CM_RETURN_CODE>(c->ulTraceRc);
    c->usCompletionWaiting = 0;
    --pGCB->NumVerbsWaiting;
    if (!c->usConvEnded || c->usVerbsOutstanding != 0) return false;
    SCC_free_cccb(c);
    return true;
}

KeptResult keep_waiting_result(const CCCB *c) {
    KeptResult k{};
    if (!c->usCompletionWaiting) return k;
    k.kept = true;
    k.verb = c->usTraceVerb;
    k.rc = c->ulTraceRc;
    memcpy(k.words, c->TraceArgs, sizeof k.words);
    memcpy(k.conversation_id, c->TraceConvId, sizeof k.conversation_id);
    return k;
}

void restore(CCCB *c, const KeptResult &k) {
    if (!k.kept) return;
    c->usTraceVerb = k.verb;
    c->ulTraceRc = k.rc;
    memcpy(c->TraceArgs, k.words, sizeof c->TraceArgs);
    memcpy(c->TraceConvId, k.conversation_id, sizeof c->TraceConvId);
    c->pTraceConvId = c->TraceConvId;
}

Sleeping::Sleeping(Sleeper &sleeper) : sleeper_(sleeper) {
    sleeper_.next = g_sleepers;
    g_sleepers = &sleeper_;
}

Sleeping::~Sleeping() {
    for (Sleeper **p = &g_sleepers; *p != nullptr; p = &(*p)->next) {
        if (*p == &sleeper_) {
            *p = sleeper_.next;
            break;
        }
    }
    sleeper_.next = nullptr;
}

Holding::Holding(BlockedCall &call) : holder_(call) {
    holder_.next = g_holders;
    g_holders = &holder_;
}

Holding::~Holding() {
    for (BlockedCall **p = &g_holders; *p != nullptr; p = &(*p)->next) {
        if (*p == &holder_) {
            *p = holder_.next;
            break;
        }
    }
    holder_.next = nullptr;
}

bool other_waits_sleep(const Sleeper *self, bool handed_only) {
    for (const Sleeper *s = g_sleepers; s != nullptr; s = s->next) {
        if (s != self && s->cancelling == nullptr && (!handed_only || s->handed)) return true;
    }
    return false;
}

bool drop_conversation(CCCB *c, DropCause cause) {
    GCB *g = pGCB;
    // Either way the conversation is over for the program, abnormally.
    const CM_RETURN_CODE ending =
        cause == DropCause::kInstanceEnded ? CM_DEALLOCATED_ABEND : CM_RESOURCE_FAILURE_NO_RETRY;
    uint16_t cancels = 0;
    for (Sleeper *s = g_sleepers; s != nullptr; s = s->next) {
        if (s->cancelling != c) continue;
        // Its cancel verb went with the instance or the path: nobody else
        // will wake it, and it must not touch the block after we return.
        s->dropped = true;
        s->conversation_rc = ending;
        vpm_wakeup(s->wait_object);
        ++cancels;
    }
    // A call waiting in the node is inside the block: it keeps it and
    // frees it once the node returns, unless a Cancel already took it.
    uint16_t held = 0;
    for (BlockedCall *h = g_holders; h != nullptr; h = h->next) {
        if (h->cccb != c) continue;
        h->dropped = true;
        h->frees = cancels == 0 && held == 0;
        h->conversation_rc = ending;
        ++held;
    }
    const bool owned = cancels != 0 || held != 0;
    if (cause == DropCause::kPathFailed) return owned;

    // Ending the instance at the node ends the verbs it had in flight:
    // their callbacks never come, so their count goes now, or Wait would
    // sleep and Check answer 28 for ever. A Wait already sleeping for them
    // gets the end of one. The waiting calls' verbs were never counted
    // among them.
    const uint32_t others = static_cast<uint32_t>(cancels) + held;
    const uint16_t verbs =
        c->usVerbsOutstanding > others ? static_cast<uint16_t>(c->usVerbsOutstanding - others) : 0;
    if (verbs == 0) return owned;
    g->NumVerbsOutstanding = g->NumVerbsOutstanding > verbs ? g->NumVerbsOutstanding - verbs : 0;
    for (Sleeper *s = g_sleepers; s != nullptr; s = s->next) {
        if (s->cancelling != nullptr || s->handed) continue;
        s->handed = true;
        memcpy(s->conversation_id, saved_conversation_id(c), sizeof s->conversation_id);
        s->conversation_rc = ending;
        break;
    }
    if (other_waits_sleep(nullptr, false)) vpm_wakeup(g->WaitObject);
    return owned;
}

void free_dropped(CCCB *c) {
    SCC_drop_verb_in_flight(c);
    if (c->LogData != nullptr) nba_mm_free(c->LogData, 0);
    if (c->DeallcLogData != nullptr) nba_mm_free(c->DeallcLogData, 0);
    nba_mm_free(c, 0);
}

HeldRecord *new_held_record() {
    const uint32_t wait_object = vpm_allocate_wait_object();
    if (wait_object == 0) return nullptr;
    auto *held = static_cast<HeldRecord *>(
        nba_mm_alloc(sizeof(HeldRecord), NBA_MM_ONE_OFF_VERB, nba_blank_name, 0, 0));
    if (held == nullptr) {
        vpm_release_wait_object(wait_object);
        return nullptr;
    }
    memset(held, 0, sizeof *held);
    held->wait_object = wait_object;
    held->holders = kCallHolds;
    return held;
}

void node_holds(HeldRecord *held) {
    held->holders |= kNodeHolds;
    held->next = g_node_held;
    g_node_held = held;
}

void let_go(HeldRecord *held, Holder holder) {
    if ((held->holders & holder) == 0) return;
    held->holders &= static_cast<uint8_t>(~holder);
    if (holder == kNodeHolds) unlink_node_held(held);
    if (held->holders != 0) return;
    vpm_release_wait_object(held->wait_object);
    nba_mm_free(held, 0);
}

bool node_called_back(void *record) {
    // Only addresses are compared until the record is found among those
    // the node still holds.
    for (HeldRecord *h = g_node_held; h != nullptr; h = h->next) {
        if (&h->record != record) continue;
        if (h->holders & kCallHolds) vpm_wakeup(h->wait_object);
        let_go(h, kNodeHolds);
        return true;
    }
    return false;
}

void node_dropped_verbs(const unsigned char *tp_id) {
    for (HeldRecord *h = g_node_held; h != nullptr;) {
        HeldRecord *next = h->next;
        if (tp_id == nullptr || memcmp(h->record.hdr.tp_id, tp_id, sizeof h->record.hdr.tp_id) == 0) {
            // A call still sleeping on it has been told by its conversation's
            // drop, or gives up on its own; either way it lets go after us.
            let_go(h, kNodeHolds);
        }
        h = next;
    }
}

} // namespace op
} // namespace cpic

CPIC_EXTERN_C void SCC_drop_on_path_failure(uint32_t handle, CCCB *c) {
    using namespace cpic::op;
    if (drop_conversation(c, DropCause::kPathFailed)) {
        vtm_release_entry(pGCB->CccbTable, handle);
        return;
    }
    // The table's sweep frees the block alone: the buffers it owns go
    // first, or every held log data buffer would leak with each failure.
    SCC_drop_verb_in_flight(c);
    if (c->LogData != nullptr) nba_mm_free(c->LogData, 0);
    if (c->DeallcLogData != nullptr) nba_mm_free(c->DeallcLogData, 0);
    c->LogData = nullptr;
    c->DeallcLogData = nullptr;
}
