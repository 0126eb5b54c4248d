/* SPDX-License-Identifier: Apache-2.0 */
// What the loopback and node engines share: this process's LU 6.2 core
// behind the verb seam. The core runs under the process lock (the library
// holds it while it calls the node). A blocking verb waits until the core
// finishes it, in a way each engine chooses; a verb issued with a callback
// that the core cannot finish at once completes through the shared
// completion queue, whose delivery runs the callback under the lock.
//
// An engine supplies where the core's frames go (frame_out), how a blocking
// verb waits (wait_for) and what it does around the core's work (hooks).
#ifndef ZORVEL_CORE_ENGINE_H
#define ZORVEL_CORE_ENGINE_H

#include <map>
#include <memory>

#include "zorvel/lu62_core.h"
#include "zorvel/node_config.h"
#include "zorvel/verb_codec.h"
#include "zorvel/verb_engine.h"

namespace zv {
struct Waiter;
}

namespace zv {

uint64_t monotonic_ms();

class CoreEngine : public VerbEngine {
  public:
    uint16_t appc(const VerbCall &call) override;
    uint16_t appc_async(const VerbCall &call) override;
    // The records of verbs in progress are about to be freed: nothing may
    // complete into them, threads blocked in a verb go back empty, and the
    // core starts afresh.
    void drop_in_flight() override;
    void reset() override { drop_in_flight(); }

  protected:
    struct Inflight {
        VerbCall call;
        codec::Verb verb;
        bool blocking = false;
        Waiter *waiter = nullptr; // blocking: the thread to wake
        bool done = false;
        bool abandoned = false; // write nothing more into the record
        codec::Result result;
    };

    // Derived constructors call it once they can take frames.
    void rebuild();

    // One encoded message of a half-session for its partner.
    virtual void frame_out(lu62::Bytes frame) = 0;
    // The same as a head and data that stays where the core holds it, for
    // an engine that can write the two together (the default joins them).
    virtual void frame_out_split(const lu62::Bytes &head, const uint8_t *data, size_t n);
    // Returns once inflight_.at(t).done, the process lock held.
    virtual void wait_for(lu62::Token t) = 0;
    // Around every verb: before it goes to the core, and after the core
    // took it (it may be done already).
    virtual void before_verb(const codec::Verb &) {}
    virtual void after_submit(lu62::Token, const Inflight &) {}
    // A verb finished in the core, before its result is stored.
    virtual void finished(lu62::Token, const codec::Verb &, const codec::Result &) {}
    // A verb with a callback went in progress.
    virtual void went_in_progress() {}
    // drop_in_flight, before the core is rebuilt.
    virtual void dropped() {}
    // The core's Callbacks::failed.
    virtual void conversation_failed(uint32_t, bool, uint32_t, lu62::Failure) {}

    // Everything below is guarded by the process lock.
    std::unique_ptr<lu62::Core> core_;
    std::map<lu62::Token, Inflight> inflight_;

  private:
    lu62::Token start(const VerbCall &call, bool blocking);
    void run_to_completion(const VerbCall &call);
    void completed(lu62::Token t, const codec::Result &r, bool tp_ended);
    void refresh_config();

    std::shared_ptr<const NodeConfig> config_;
    lu62::Token last_token_ = 0;
    lu62::Token sync_window_ = 0;
};

} // namespace zv

#endif // ZORVEL_CORE_ENGINE_H
