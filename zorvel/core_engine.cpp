// SPDX-License-Identifier: Apache-2.0
#include "zorvel/core_engine.h"

#include <ctime>
#include <utility>

#include "node/verb_records.h"
#include "zorvel/completions.h"
#include "zorvel/internal.h"

namespace zv {

uint64_t monotonic_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

uint16_t CoreEngine::appc(const VerbCall &call) {
    run_to_completion(call);
    return 0;
}

uint16_t CoreEngine::appc_async(const VerbCall &call) {
    if (!call.callback) {
        run_to_completion(call);
        return APPC_COMPLETED_SYNC;
    }
    const lu62::Token t = start(call, false);
    auto it = inflight_.find(t);
    if (it == inflight_.end()) return APPC_COMPLETED_SYNC; // dropped under it: nothing to write
    if (!it->second.done) {
        went_in_progress();
        return APPC_IN_PROGRESS; // its completion goes to the queue
    }
    if (!it->second.abandoned) codec::store(call.record, call.size, it->second.verb, it->second.result);
    inflight_.erase(it);
    return APPC_COMPLETED_SYNC;
}

void CoreEngine::drop_in_flight() {
    for (auto &entry : inflight_) entry.second.abandoned = entry.second.done = true;
    for (auto it = inflight_.begin(); it != inflight_.end();)
        it = it->second.blocking ? std::next(it) : inflight_.erase(it);
    dropped();
    rebuild();
    notify_lock_waiters();
}

void CoreEngine::frame_out_split(const lu62::Bytes &head, const uint8_t *data, size_t n) {
    lu62::Bytes f;
    f.reserve(head.size() + n);
    f.insert(f.end(), head.begin(), head.end());
    f.insert(f.end(), data, data + n);
    frame_out(std::move(f));
}

void CoreEngine::rebuild() {
    config_ = node_config();
    core_ = std::make_unique<lu62::Core>(
        *config_,
        lu62::Callbacks{
            [this](lu62::Bytes f) { frame_out(std::move(f)); },
            [this](lu62::Token t, const codec::Result &r, bool tp_ended) { completed(t, r, tp_ended); },
            [](const lu62::LogRecord &l) {
                nba_pd_print_problem(ZT_PROBLEM_PARTNER_LOG_DATA, 1, "lx lx es", l.conv_id, l.sense,
                                     static_cast<uint32_t>(l.log_data.size()), l.log_data.data());
            },
            [this](uint32_t s, bool p, uint32_t sense, lu62::Failure how) {
                conversation_failed(s, p, sense, how);
            },
            [this](const lu62::Bytes &head, const uint8_t *data, size_t n) {
                frame_out_split(head, data, n);
            }});
}

// A configuration read again since the last verb applies from now on.
void CoreEngine::refresh_config() {
    auto current = node_config();
    if (current != config_) {
        config_ = current;
        core_->set_config(*current);
    }
}

lu62::Token CoreEngine::start(const VerbCall &call, bool blocking) {
    refresh_config();
    const lu62::Token t = ++last_token_;
    Inflight &f = inflight_[t];
    f.call = call;
    f.verb = codec::decode(call.record, call.size);
    f.blocking = blocking;
    if (blocking) f.waiter = this_thread_waiter();
    before_verb(f.verb);
    sync_window_ = t; // what completes before this returns is stored by the caller
    core_->submit(t, f.verb, monotonic_ms());
    auto it = inflight_.find(t);
    if (it != inflight_.end()) after_submit(t, it->second);
    sync_window_ = 0;
    return t;
}

void CoreEngine::run_to_completion(const VerbCall &call) {
    const lu62::Token t = start(call, true);
    wait_for(t);
    Inflight &f = inflight_.at(t);
    if (!f.abandoned) codec::store(f.call.record, f.call.size, f.verb, f.result);
    inflight_.erase(t);
}

void CoreEngine::completed(lu62::Token t, const codec::Result &r, bool tp_ended) {
    auto it = inflight_.find(t);
    if (it == inflight_.end()) return;
    Inflight &f = it->second;
    finished(t, f.verb, r);
    f.result = r;
    f.done = true;
    if (tp_ended && f.blocking) {
        // Another thread ended the TP instance under the verb. The record
        // still exists while end-TP runs, but the program frees it with the
        // instance's conversations once end-TP returns, so the result goes
        // in now and the blocked thread leaves it be.
        codec::store(f.call.record, f.call.size, f.verb, f.result);
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

} // namespace zv
