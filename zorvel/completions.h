/* SPDX-License-Identifier: Apache-2.0 */
// The completion queue every engine hands its in-progress verbs' results
// to. A completion is delivered under the process lock: by vpm_sleep (the
// library sleeps on its wait object), by vpm_asm_event_fd (the library
// polls), or by a test. Pushing one wakes every vpm_sleep sleeper, and
// while one that may be polled for is queued the descriptor
// vpm_asm_event_fd returns is readable.
#ifndef ZORVEL_COMPLETIONS_H
#define ZORVEL_COMPLETIONS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

#include "zorvel/verb_engine.h"
#include "zorvel/zorvel_control.h"

namespace zv {

struct Completion {
    uint32_t verb = 0; // index in the verb history
    uint16_t opcode = 0;
    void *record = nullptr;
    size_t size = 0;
    APPC_CALLBACK callback = nullptr;
    uint32_t user = 0;
    // ZT_DELIVER_* bits: where besides an explicit test request it may be
    // delivered. Engines that complete verbs themselves use ZT_DELIVER_AUTO.
    uint32_t delivery = ZT_DELIVER_AUTO;
    // Writes the verb's results into the record just before the callback
    // (under the process lock); may be empty when the record is final.
    std::function<void(unsigned char *record, size_t size)> finish;
};

class CompletionQueue {
  public:
    CompletionQueue();
    CompletionQueue(const CompletionQueue &) = delete;
    CompletionQueue &operator=(const CompletionQueue &) = delete;

    // From any thread, with or without the process lock.
    void push(Completion c);
    // Runs up to `how_many` (0 = all) completions that may be delivered at
    // `where`, oldest first; only those queued on entry qualify, so a
    // callback that issues another verb cannot keep the loop going.
    // Returns the number delivered.
    uint32_t deliver(Delivery where, uint32_t how_many);
    uint32_t pending();
    // Drops every queued completion: they are never delivered.
    void discard_all();
    // An ended TP instance takes its conversations with it: queued
    // completions of its conversation verbs are dropped, so no callback can
    // reach a conversation the program dropped together with its instance.
    void discard_tp(const unsigned char (&tp_id)[8]);
    // Readable while a completion that may be polled for is queued;
    // -1 when the descriptor could not be made.
    int event_fd() const { return fd_; }

  private:
    struct Entry {
        uint64_t sequence;
        Completion c;
    };
    void update_fd(); // process lock held

    // Guarded by the process lock.
    std::deque<Entry> queue_;
    uint64_t next_sequence_ = 0;
    bool fd_signalled_ = false;
    int fd_;
};

CompletionQueue &completions();

} // namespace zv

#endif // ZORVEL_COMPLETIONS_H
