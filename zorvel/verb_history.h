/* SPDX-License-Identifier: Apache-2.0 */
// Every verb the node was given, in issue order, with its record as issued
// and what became of it; shared by all engines and read by tests.
#ifndef ZORVEL_VERB_HISTORY_H
#define ZORVEL_VERB_HISTORY_H

#include <cstdint>
#include <deque>
#include <mutex>

#include "zorvel/verb_engine.h"
#include "zorvel/zorvel_control.h"

namespace zv {

class VerbHistory {
  public:
    // Records the verb (state ZT_VERB_COMPLETED) and returns its index.
    uint32_t record(const VerbCall &call);
    // Ignored for a verb that fell out of the bounded history.
    void set_state(uint32_t verb, uint32_t state, uint16_t returned);
    // The entry point returned APPC_IN_PROGRESS: pending, unless its
    // completion was already delivered or discarded.
    void mark_in_progress(uint32_t verb);
    uint32_t count();
    // Stays valid until reset or until the entry falls out of the history.
    const ZT_VERB *at(uint32_t index);
    void reset();

  private:
    std::mutex mutex_;         // tests read it from any thread, with or without the process lock
    std::deque<ZT_VERB> kept_; // deque: pointers survive push_back
    uint32_t total_ = 0;
};

VerbHistory &verb_history();

} // namespace zv

#endif // ZORVEL_VERB_HISTORY_H
