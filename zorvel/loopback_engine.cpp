// SPDX-License-Identifier: Apache-2.0
// The loopback engine: conversations among the TPs of this process. The
// messages one half-session sends go straight back into the core.
//
// Blocking verbs that must wait for the partner wait with the process lock
// released (the partner's thread needs it to answer). An attach that waits
// for an acceptor times out by a timer thread that sleeps until the core's
// next deadline; nothing polls.
#include <deque>
#include <thread>

#include "zorvel/core_engine.h"
#include "zorvel/internal.h"

namespace zv {
namespace {

class LoopbackEngine final : public CoreEngine {
  public:
    LoopbackEngine() { rebuild(); }

  private:
    void frame_out(lu62::Bytes f) override { wire_.push_back(std::move(f)); }

    void after_submit(lu62::Token, const Inflight &) override { pump(); }

    void wait_for(lu62::Token t) override {
        while (!inflight_.at(t).done) wait_with_lock_released(nullptr);
    }

    void dropped() override { wire_.clear(); }

    // Hands every message to its partner half-session, in order; what they
    // answer goes round again.
    void pump() {
        while (!wire_.empty()) {
            const lu62::Bytes frame = std::move(wire_.front());
            wire_.pop_front();
            core_->receive(frame, monotonic_ms());
        }
        if (core_->next_deadline()) arm_timer();
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
            const uint64_t now = monotonic_ms();
            if (now >= *next) {
                core_->tick(now);
                pump();
                continue;
            }
            const timespec deadline = deadline_after(static_cast<uint32_t>(*next - now));
            wait_with_lock_released(&deadline);
        }
    }

    // Guarded by the process lock.
    std::deque<lu62::Bytes> wire_;
    bool timer_started_ = false;
    Waiter *timer_waiter_ = nullptr;
};

const EngineRegistration kLoopback("loopback", []() -> VerbEngine * { return new LoopbackEngine; });

} // namespace
} // namespace zv
