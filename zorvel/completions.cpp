// SPDX-License-Identifier: Apache-2.0
// The completion queue shared by every engine (see completions.h).
#include "zorvel/completions.h"

#include <algorithm>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

#include "node/verb_records.h"
#include "zorvel/internal.h"
#include "zorvel/verb_history.h"

namespace zv {
namespace {

bool deliverable(const Completion &c, Delivery where) {
    switch (where) {
    case Delivery::kExplicit: return true;
    case Delivery::kSleep: return (c.delivery & ZT_DELIVER_ON_SLEEP) != 0;
    case Delivery::kPoll: return (c.delivery & ZT_DELIVER_ON_POLL) != 0;
    }
    return false;
}

// Verbs that belong to a TP instance rather than to one of its
// conversations.
bool conversation_verb(uint16_t opcode) {
    return opcode != AP_TP_STARTED && opcode != AP_TP_ENDED && opcode != AP_RECEIVE_ALLOCATE_CPIC &&
           opcode != AP_REGISTER_TP_NAME && opcode != AP_WITHDRAW_TP_NAME;
}

} // namespace

CompletionQueue &completions() {
    // Never destroyed: a verb issued during static destruction must not
    // meet a dead queue.
    static CompletionQueue *queue = new CompletionQueue;
    return *queue;
}

CompletionQueue::CompletionQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void CompletionQueue::update_fd() {
    if (fd_ < 0) return;
    const bool ready = std::any_of(queue_.begin(), queue_.end(),
                                   [](const Entry &e) { return deliverable(e.c, Delivery::kPoll); });
    if (ready == fd_signalled_) return;
    if (ready) {
        const uint64_t one = 1;
        if (write(fd_, &one, sizeof one) != sizeof one)
            ZV_ASSERT_FAILED("completion queue: eventfd write failed");
    } else {
        uint64_t count = 0;
        if (read(fd_, &count, sizeof count) != sizeof count)
            ZV_ASSERT_FAILED("completion queue: eventfd read failed");
    }
    fd_signalled_ = ready;
}

void CompletionQueue::push(Completion c) {
    LockIfNotHeld lock;
    queue_.push_back(Entry{next_sequence_++, std::move(c)});
    update_fd();
    // Under the lock, so a sleeper between its last look and its wait
    // cannot miss it.
    notify_sleepers();
}

uint32_t CompletionQueue::deliver(Delivery where, uint32_t how_many) {
    LockIfNotHeld lock;
    const uint64_t upto = next_sequence_; // completions queued by the callbacks below wait
    uint32_t delivered = 0;
    while (how_many == 0 || delivered < how_many) {
        auto it = std::find_if(queue_.begin(), queue_.end(),
                               [&](const Entry &e) { return e.sequence < upto && deliverable(e.c, where); });
        if (it == queue_.end()) break;
        Completion c = std::move(it->c);
        queue_.erase(it);
        update_fd();
        verb_history().set_state(c.verb, ZT_VERB_DELIVERED, APPC_IN_PROGRESS);
        if (c.finish) c.finish(static_cast<unsigned char *>(c.record), c.size);
        if (c.callback)
            c.callback(c.record, 0, 0, c.user);
        else
            ZV_ASSERT_FAILED("completion queue: a completion without a callback");
        ++delivered;
    }
    return delivered;
}

uint32_t CompletionQueue::pending() {
    LockIfNotHeld lock;
    return static_cast<uint32_t>(queue_.size());
}

void CompletionQueue::discard_all() {
    LockIfNotHeld lock;
    for (const Entry &e : queue_) verb_history().set_state(e.c.verb, ZT_VERB_DISCARDED, APPC_IN_PROGRESS);
    queue_.clear();
    update_fd();
}

void CompletionQueue::discard_tp(const unsigned char (&tp_id)[8]) {
    LockIfNotHeld lock;
    for (auto it = queue_.begin(); it != queue_.end();) {
        const auto *hdr = static_cast<const VCB_HDR *>(it->c.record);
        if (conversation_verb(it->c.opcode) && std::memcmp(hdr->tp_id, tp_id, sizeof tp_id) == 0) {
            verb_history().set_state(it->c.verb, ZT_VERB_DISCARDED, APPC_IN_PROGRESS);
            it = queue_.erase(it);
        } else {
            ++it;
        }
    }
    update_fd();
}

} // namespace zv
