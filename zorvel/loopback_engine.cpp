// The loopback engine: the LU 6.2 core behind the verb seam, for
// conversations among the TPs of this process. The messages one
// half-session sends go straight back into the core; everything runs under
// the process lock, which the library holds while it calls the node.
//
// Blocking verbs that must wait for the partner wait with the process lock
// released (the partner's thread needs it to answer). Verbs issued with a
// callback that the core cannot finish at once complete through the shared
// completion queue, whose delivery runs the callback under the lock. An
// attach that waits for an acceptor times out by a timer thread that
// sleeps until the core's next deadline; nothing polls.
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <thread>

#include "node/verb_records.h"
#include "zorvel/completions.h"
#include "zorvel/internal.h"
#include "zorvel/lu62_core.h"
#include "zorvel/node_config.h"
#include "zorvel/verb_codec.h"
#include "zorvel/verb_engine.h"

namespace zv {
namespace {

// Log data a partner sent with an error, written by the receiving node:
// "lx lx es" conversation id, sense code, the log data GDS variable.
constexpr uint32_t kProblemPartnerLogData = 0x5A000010u;

uint64_t now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

class LoopbackEngine final : public VerbEngine {
  public:
    LoopbackEngine() { rebuild(); }

    uint16_t appc(const VerbCall &call) override {
        run_to_completion(call);
        return 0;
    }

    uint16_t appc_async(const VerbCall &call) override {
        if (!call.callback) {
            run_to_completion(call);
            return APPC_COMPLETED_SYNC;
        }
        const lu62::Token t = start(call, false);
        Inflight &f = inflight_.at(t);
        if (!f.done) return APPC_IN_PROGRESS; // its completion goes to the queue
        store(f);
        inflight_.erase(t);
        return APPC_COMPLETED_SYNC;
    }

    // The records of verbs in progress are about to be freed: nothing may
    // complete into them, and threads blocked in a verb go back empty.
    void drop_in_flight() override {
        for (auto &entry : inflight_) entry.second.abandoned = entry.second.done = true;
        for (auto it = inflight_.begin(); it != inflight_.end();)
            it = it->second.blocking ? std::next(it) : inflight_.erase(it);
        rebuild();
        notify_lock_waiters();
    }

    void reset() override { drop_in_flight(); }

  private:
    struct Inflight {
        VerbCall call;
        codec::Verb verb;
        bool blocking = false;
        Waiter *waiter = nullptr; // blocking: the thread to wake
        bool done = false;
        bool abandoned = false; // write nothing more into the record
        codec::Result result;
    };

    void rebuild() {
        config_ = node_config();
        wire_.clear();
        core_ = std::make_unique<lu62::Core>(
            *config_,
            lu62::Callbacks{
                [this](lu62::Bytes f) { wire_.push_back(std::move(f)); },
                [this](lu62::Token t, const codec::Result &r, bool tp_ended) { completed(t, r, tp_ended); },
                [](const lu62::LogRecord &l) {
                    nba_pd_print_problem(kProblemPartnerLogData, 1, "lx lx es", l.conv_id, l.sense,
                                         static_cast<uint32_t>(l.log_data.size()), l.log_data.data());
                }});
    }

    // A configuration read again since the last verb applies from now on.
    void refresh_config() {
        auto current = node_config();
        if (current != config_) {
            config_ = current;
            core_->set_config(*current);
        }
    }

    lu62::Token start(const VerbCall &call, bool blocking) {
        refresh_config();
        const lu62::Token t = ++last_token_;
        Inflight &f = inflight_[t];
        f.call = call;
        f.verb = codec::decode(call.record, call.size);
        f.blocking = blocking;
        if (blocking) f.waiter = this_thread_waiter();
        // What completes before this returns is stored by the caller.
        sync_window_ = t;
        core_->submit(t, f.verb, now_ms());
        pump();
        sync_window_ = 0;
        return t;
    }

    // Hands every message to its partner half-session, in order; what they
    // answer goes round again.
    void pump() {
        while (!wire_.empty()) {
            const lu62::Bytes frame = std::move(wire_.front());
            wire_.pop_front();
            core_->receive(frame, now_ms());
        }
        if (core_->next_deadline()) arm_timer();
    }

    void run_to_completion(const VerbCall &call) {
        const lu62::Token t = start(call, true);
        while (!inflight_.at(t).done) wait_with_lock_released(nullptr);
        Inflight &f = inflight_.at(t);
        if (!f.abandoned) store(f);
        inflight_.erase(t);
    }

    void store(const Inflight &f) { codec::store(f.call.record, f.call.size, f.verb, f.result); }

    void completed(lu62::Token t, const codec::Result &r, bool tp_ended) {
        auto it = inflight_.find(t);
        if (it == inflight_.end()) return;
        Inflight &f = it->second;
        f.result = r;
        f.done = true;
        if (tp_ended && f.blocking) {
            // Another thread ended the TP instance under the verb. The
            // record still exists while end-TP runs, but the program frees
            // it with the instance's conversations once end-TP returns, so
            // the result goes in now and the blocked thread leaves it be.
            store(f);
            f.abandoned = true;
        }
        if (f.blocking) {
            notify_waiter(f.waiter);
            return;
        }
        if (t == sync_window_) return; // appc_async is still on the stack and stores it
        if (!tp_ended) {
            Completion c;
            c.verb = f.call.verb;
            c.opcode = f.call.opcode;
            c.record = f.call.record;
            c.size = f.call.size;
            c.callback = f.call.callback;
            c.user = f.call.user;
            c.finish = [verb = f.verb, result = r](unsigned char *record, size_t size) {
                codec::store(record, size, verb, result);
            };
            completions().push(std::move(c));
        }
        inflight_.erase(it);
    }

    // Wakes, or starts, the thread that lets queued attaches time out.
    void arm_timer() {
        if (!timer_started_) {
            timer_started_ = true;
            std::thread([this] { timer(); }).detach();
        }
        notify_waiter(timer_waiter_);
    }

    void timer() {
        LockIfNotHeld lock;
        timer_waiter_ = this_thread_waiter();
        for (;;) {
            const auto next = core_->next_deadline();
            if (!next) {
                wait_with_lock_released(nullptr);
                continue;
            }
            const uint64_t now = now_ms();
            if (now >= *next) {
                core_->tick(now);
                pump();
                continue;
            }
            const timespec deadline = deadline_after(static_cast<uint32_t>(*next - now));
            wait_with_lock_released(&deadline);
        }
    }

    // Everything below is guarded by the process lock.
    std::shared_ptr<const NodeConfig> config_;
    std::unique_ptr<lu62::Core> core_;
    std::deque<lu62::Bytes> wire_;
    std::map<lu62::Token, Inflight> inflight_;
    lu62::Token last_token_ = 0;
    lu62::Token sync_window_ = 0;
    bool timer_started_ = false;
    Waiter *timer_waiter_ = nullptr;
};

const EngineRegistration kLoopback("loopback", []() -> VerbEngine * { return new LoopbackEngine; });

} // namespace
} // namespace zv
