/* SPDX-License-Identifier: Apache-2.0 */
// The one seam between the node's verb entry points and whatever executes
// the verbs. The entry points record every verb in the shared history and
// hand it to the engine stack: the scripting wrapper (scripted_engine.h) on
// top, which answers what a test scripted and passes the rest down to the
// engine chosen by ZORVEL_ENGINE ("node", the default: the node daemon;
// "loopback": the TPs of this process only; "scripted": tests).
// The services and the library never see which one runs.
//
// Locking: every call into an engine runs under the process lock (the
// library holds it while it calls the node; the entry points take it when a
// caller does not). Engine state may therefore be guarded by the process
// lock itself. A verb that must wait for the partner waits with
// wait_with_lock_released (internal.h), which gives the lock up while it
// waits, so the partner's thread can run its verbs meanwhile.
#ifndef ZORVEL_VERB_ENGINE_H
#define ZORVEL_VERB_ENGINE_H

#include <cstddef>
#include <cstdint>

#include "node/verb_entry.h"

namespace zv {

// Where a completion may be handed to the program.
enum class Delivery {
    kExplicit, // the test asks for it: every pending completion qualifies
    kSleep,    // the program sleeps in vpm_sleep
    kPoll      // the program polls with vpm_asm_event_fd
};

// One verb as the entry point received it.
struct VerbCall {
    uint32_t kind = 0; // ZT_VERB_APPC_BLOCKING, ZT_VERB_APPC_ASYNC or ZT_VERB_NOF
    uint32_t version = 0;
    uint32_t target = 0; // NOF target handle
    uint16_t opcode = 0;
    void *record = nullptr;
    size_t size = 0;                  // bytes of the record the node may write
    APPC_CALLBACK callback = nullptr; // async verbs only; may be null
    uint32_t user = 0;
    uint32_t verb = 0; // index in the verb history (verb_history.h)
};

class VerbEngine {
  public:
    virtual ~VerbEngine() = default;

    // appc_c_version, and appc_c_async_version without a callback: the verb
    // has completed when this returns (the engine may wait for the partner
    // with wait_with_lock_released). Returns what the entry point returns.
    virtual uint16_t appc(const VerbCall &call) = 0;
    // appc_c_async_version. With a callback, APPC_IN_PROGRESS means the
    // engine queues exactly one completion for the verb later
    // (completions().push, from any thread, with this call's verb, record,
    // callback and user); anything else means done (APPC_COMPLETED_SYNC as
    // a rule). Without a callback nobody could be told later: the verb
    // completes before this returns, as in appc().
    virtual uint16_t appc_async(const VerbCall &call) = 0;
    // nof_version: completes before it returns. The node's own NOF
    // services answer unless an engine has a reason to.
    virtual uint16_t nof(const VerbCall &call);

    // The path failed or the node is being reset: verbs this engine holds
    // in progress must never complete (their records are about to be
    // freed). Completions already queued are dropped by the queue.
    virtual void drop_in_flight() {}
    // Back to the state at load (the completion queue and the history are
    // reset by their owners). Runs under the process lock.
    virtual void reset() {}
};

// The NOF verbs as the node's services answer them (nof_services.cpp):
// open reads the node configuration again, query answers from its side
// information, close succeeds.
uint16_t nof_services(const VerbCall &call);
// The NOF handle a successful open hands out (also for scripted opens).
uint32_t next_nof_handle();

// The engine stack behind the entry points: the scripting wrapper over the
// engine ZORVEL_ENGINE names.
VerbEngine &verb_engine();
// Reads ZORVEL_ENGINE again and puts that engine under the wrapper; an
// unknown or unbuilt name falls back to "scripted" with a problem record
// ZT_PROBLEM_ENGINE_UNKNOWN. Called at load and by a test reset.
void select_engine();

// Engines register a factory under their name, from a static object in
// their own file:
//   static const zv::EngineRegistration kLoopback("loopback", [] () -> zv::VerbEngine * {...});
// The factory runs at most once per process, when the engine is first
// selected, from whichever thread issues a verb first (with or without the
// process lock): it must not take the process lock. The engine is never
// destroyed, so a verb issued during static destruction never meets a dead
// one.
using EngineFactory = VerbEngine *(*)();
struct EngineRegistration {
    EngineRegistration(const char *name, EngineFactory factory);
};

// Fresh nonzero identifiers for the verbs that create something at the
// node (a TP instance, a conversation), written where each verb returns
// them: for engines that do not keep their own (the default engine and
// scripted answers share one sequence, so tests see the same numbers
// whichever answered). Reset with reset_fresh_ids.
void write_fresh_ids(uint16_t opcode, unsigned char *record, size_t size);
void reset_fresh_ids();

} // namespace zv

#endif // ZORVEL_VERB_ENGINE_H
