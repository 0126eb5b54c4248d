/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Operations: the one bookkeeping of a verb a call starts on a conversation,
 * from its issue to the moment the program has its result.
 *
 * begin         saves the call in the CCCB (verb index, the conversation ID
 *               as the program gave it, the return code so far, and the
 *               output words the completion writes through);
 * hand_to_node  counts the verb on the conversation and gives it to the node;
 * finish        ends an operation the node answered at once (its count
 *               goes, an ended and idle conversation is released);
 * post          ends one the node completed later: the result now waits
 *               for Wait, which is woken;
 * collect       hands a waiting result to Wait;
 * drop          forgets a waiting result nobody will collect.
 *
 * Calls that sleep with the process lock let go (Wait, Cancel) stand in a
 * list while they sleep, so that whoever drops conversations meanwhile
 * (Terminate, a node path failure) can tell them instead of freeing the
 * block under them. Everything here runs under the process lock.
 */
#ifndef VCPIC_CPIC_OPERATION_H
#define VCPIC_CPIC_OPERATION_H

#include <array>

#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_util.h"

namespace cpic {

using TraceOutputs = std::array<CPIC_WORD, CPIC_TRACE_ARGS>;

namespace op {

/* The call an operation belongs to, as saved in the CCCB. The words are
 * the outputs the response record shows (a2..a6); the accessors name the
 * ones a completion writes through. */
struct SavedCall {
    uint16_t verb;
    const unsigned char *conversation_id;
    TraceOutputs words;

    CM_REQUEST_TO_SEND_RECEIVED *request_to_send() const;
    CM_DATA_RECEIVED_TYPE *data_received() const;
    CM_INT32 *received_length() const;
    CM_STATUS_RECEIVED *status_received() const;
    CM_CONVERSATION_STATE *conversation_state() const;
};
SavedCall saved(const CCCB *cccb);
/* The conversation ID as the program gave it when it started the operation. */
const unsigned char *saved_conversation_id(const CCCB *cccb);

/* Where a broken count is reported. */
struct AssertPlace {
    const char *file;
    int32_t line;
    const char *expression;
};

void begin(CCCB *cccb, uint16_t verb, const unsigned char *conversation_id, CM_INT32 rc,
           const TraceOutputs &words);

/* How a verb counts on its conversation. */
enum class Count : uint8_t {
    kReplacesResult, /* counted; a result nobody collected is dropped */
    kBesideResult,   /* counted; a waiting result stays (the cancel verb) */
    kInline,         /* not counted: answered before the node returns */
};

/* Gives `record` to the node with `callback` (null: the node answers before
 * it returns) and `user`; returns the node's answer. */
uint16_t hand_to_node(CCCB *cccb, void *record, APPC_CALLBACK callback, uint32_t user, Count count,
                      const AssertPlace &place);

/* The node's answer leaves the verb in flight: counted among the verbs the
 * node holds. */
bool in_flight(uint16_t answer, bool node_may_call_back);

/* The end of an operation answered at once. True when the conversation was
 * released. */
bool finish(CCCB *cccb, Count count = Count::kReplacesResult);

/* A verb the node completed later hands its operation to the chained verb
 * it has just issued, whose completion posts the result: its own counts
 * go. */
void hand_over(CCCB *cccb);

/* The end of an operation the node completed later. */
void post(CCCB *cccb, const SavedCall &saved);

/* A waiting result nobody will collect. */
void drop(CCCB *cccb, const AssertPlace &place);

/* The first conversation in table order whose result waits. */
CCCB *first_waiting();

/* Hands the waiting result of `cccb` out; true when the conversation was
 * released with it. */
bool collect(CCCB *cccb, unsigned char *conversation_id, CM_RETURN_CODE *conversation_rc);

/* What a verb answered before the node returned changes in the saved call
 * of a result that waits for Wait; kept aside and put back around it. */
struct KeptResult {
    bool kept;
    uint16_t verb;
    uint32_t rc;
    CPIC_WORD words[CPIC_TRACE_ARGS];
    unsigned char conversation_id[8];
};
KeptResult keep_waiting_result(const CCCB *cccb);
void restore(CCCB *cccb, const KeptResult &kept);

/* ---- Records the node may hold after their call has gone -------------- */

/* A call that sleeps on a verb in a record of its own (Cancel's) shares
 * that record with the node: the call holds it until it stops waiting, the
 * node until it calls back or drops the verb without a callback (the node
 * path failed, or the record's TP instance ended). Whoever lets go last
 * frees the block and its wait object, so it goes exactly once whatever
 * the order: a callback after the call gave up, a drop after the call
 * gave up, a drop while the call sleeps. */
struct HeldRecord {
    VCB record; /* first: the node's callback gets its address */
    uint32_t wait_object;
    uint8_t holders;
    HeldRecord *next; /* in the list of records the node holds */
};
enum Holder : uint8_t { kCallHolds = 1, kNodeHolds = 2 };

/* A zeroed block with a wait object of its own, held by the call; null
 * when either is not to be had (nothing is left allocated). */
HeldRecord *new_held_record();
/* The node is given the record: it holds it until it calls back or drops
 * the verb (or answers at once, and the caller lets go for it). */
void node_holds(HeldRecord *held);
/* The callback: the node lets go. False when the node had already dropped
 * the verb (the block may be gone: nothing in it is read). */
bool node_called_back(void *record);
void let_go(HeldRecord *held, Holder holder);
/* The node dropped, without callbacks, the verbs of the TP instance
 * `tp_id` (null: every verb, the path failed). */
void node_dropped_verbs(const unsigned char *tp_id);

/* ---- Sleepers ---------------------------------------------------------- */

struct Sleeper {
    CCCB *cancelling = nullptr; /* Cancel: its conversation; Wait: null */
    uint32_t wait_object = 0;   /* Cancel's own */
    bool dropped = false;       /* Cancel: the conversation went meanwhile and its block is now ours */
    bool handed = false;        /* Wait: given the end of a dropped operation */
    unsigned char conversation_id[8] = {};
    CM_RETURN_CODE conversation_rc = 0; /* the conversation-ending code either one reports */
    Sleeper *next = nullptr;
};

/* Stands `sleeper` in the list for its lifetime. */
class Sleeping {
  public:
    explicit Sleeping(Sleeper &sleeper);
    ~Sleeping();
    Sleeping(const Sleeping &) = delete;
    Sleeping &operator=(const Sleeping &) = delete;

  private:
    Sleeper &sleeper_;
};

/* Wait sleepers other than `self` in the list; with `handed_only`, only
 * those holding a handed result. */
bool other_waits_sleep(const Sleeper *self, bool handed_only);

/* A call waiting in the node on its conversation (a blocking verb): should
 * the conversation go meanwhile (Terminate on another thread, a path
 * failure), its block stays for the call, which is inside it, and the
 * call frees it when the node returns. */
struct BlockedCall {
    CCCB *cccb = nullptr;
    bool dropped = false;               /* the conversation went while the call waited */
    bool frees = false;                 /* ... and the block is this call's to free */
    CM_RETURN_CODE conversation_rc = 0; /* the conversation-ending code it reports */
    BlockedCall *next = nullptr;
};

/* Stands `call` in the list for its lifetime. */
class Holding {
  public:
    explicit Holding(BlockedCall &call);
    ~Holding();
    Holding(const Holding &) = delete;
    Holding &operator=(const Holding &) = delete;

  private:
    BlockedCall &holder_;
};

/* Why conversations go without a completion of their own. */
enum class DropCause : uint8_t {
    kInstanceEnded, /* Terminate ended their TP instance */
    kPathFailed,    /* the node path failed */
};

/* `cccb` goes with its TP instance or the node path. A Cancel sleeping on
 * it, or a call waiting in the node on it, is told (a Cancel is woken);
 * verbs it had in flight no longer count, and after Terminate the end of
 * such an operation goes to a sleeping Wait. True when a Cancel or a
 * waiting call now owns the block: the caller releases the table entry
 * only, and must not free the block. */
bool drop_conversation(CCCB *cccb, DropCause cause);

/* Frees a dropped block and what it owns (no table entry, no TP instance). */
void free_dropped(CCCB *cccb);

} // namespace op
} // namespace cpic

#endif /* VCPIC_CPIC_OPERATION_H */
