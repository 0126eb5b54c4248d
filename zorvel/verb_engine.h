// The one seam between the node's verb entry points and whatever executes
// the verbs: the scripted engine today, a conversation-carrying engine
// beside it later. The services and the library never see which one runs.
#ifndef ZORVEL_VERB_ENGINE_H
#define ZORVEL_VERB_ENGINE_H

#include <cstdint>

#include "node/verb_entry.h"

namespace zv {

// Where a completion may be handed to the program.
enum class Delivery {
    kExplicit, // the test asks for it: every pending completion qualifies
    kSleep,    // the program sleeps in vpm_sleep
    kPoll      // the program polls with vpm_asm_event_fd
};

class VerbEngine {
public:
    virtual ~VerbEngine() = default;

    // appc_c_version: the verb has completed when this returns.
    virtual uint16_t appc(uint32_t version, void *vcb) = 0;
    // appc_c_async_version: APPC_IN_PROGRESS means the callback runs once,
    // later, under the process lock; anything else means done, no callback.
    virtual uint16_t appc_async(uint32_t version, void *vcb, APPC_CALLBACK callback,
                                uint32_t user) = 0;
    // nof_version: always completes before it returns.
    virtual uint16_t nof(uint32_t version, uint32_t target, void *record) = 0;

    // Runs up to `how_many` (0 = all) completions that may be delivered at
    // `where`, oldest first; only those pending on entry qualify, so a
    // callback that issues another verb cannot keep the loop going. The
    // caller holds the process lock. Returns the number delivered.
    virtual uint32_t deliver(Delivery where, uint32_t how_many) = 0;
    virtual uint32_t pending() = 0;
    // The path failed: pending completions are dropped, never delivered.
    virtual void discard_pending() = 0;
    // Back to the state at load.
    virtual void reset() = 0;
};

// The engine behind the entry points.
VerbEngine &verb_engine();

} // namespace zv

#endif // ZORVEL_VERB_ENGINE_H
