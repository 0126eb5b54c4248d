// SPDX-License-Identifier: Apache-2.0
// The verb history (see verb_history.h).
#include "zorvel/verb_history.h"

#include <algorithm>
#include <cstring>

#include "node/nof_records.h"
#include "node/verb_records.h"

namespace zv {

static_assert(sizeof(VCB) <= ZT_VERB_IMAGE_MAX, "a verb record fits the history image");
static_assert(sizeof(NOF_OPEN_RECORD) <= ZT_VERB_IMAGE_MAX, "a NOF record fits the history image");

VerbHistory &verb_history() {
    static VerbHistory *history = new VerbHistory; // outlives static destruction
    return *history;
}

uint32_t VerbHistory::record(const VerbCall &call) {
    ZT_VERB v{};
    v.kind = call.kind;
    v.state = ZT_VERB_COMPLETED;
    v.opcode = call.opcode;
    v.version = call.version;
    v.target = call.target;
    v.user = call.user;
    v.callback = call.callback;
    v.record = call.record;
    v.length = static_cast<uint32_t>(std::min<size_t>(call.size, ZT_VERB_IMAGE_MAX));
    std::memcpy(v.image, call.record, v.length);
    std::lock_guard<std::mutex> guard(mutex_);
    kept_.push_back(v);
    if (kept_.size() > ZT_HISTORY_MAX) kept_.pop_front();
    return total_++;
}

void VerbHistory::set_state(uint32_t verb, uint32_t state, uint16_t returned) {
    std::lock_guard<std::mutex> guard(mutex_);
    const uint32_t first = total_ - static_cast<uint32_t>(kept_.size());
    if (verb < first || verb >= total_) return;
    ZT_VERB &v = kept_[verb - first];
    v.state = state;
    v.returned = returned;
}

void VerbHistory::mark_in_progress(uint32_t verb) {
    std::lock_guard<std::mutex> guard(mutex_);
    const uint32_t first = total_ - static_cast<uint32_t>(kept_.size());
    if (verb < first || verb >= total_) return;
    ZT_VERB &v = kept_[verb - first];
    v.returned = APPC_IN_PROGRESS;
    if (v.state == ZT_VERB_COMPLETED) v.state = ZT_VERB_PENDING;
}

uint32_t VerbHistory::count() {
    std::lock_guard<std::mutex> guard(mutex_);
    return total_;
}

const ZT_VERB *VerbHistory::at(uint32_t index) {
    std::lock_guard<std::mutex> guard(mutex_);
    const uint32_t first = total_ - static_cast<uint32_t>(kept_.size());
    if (index < first || index >= total_) return nullptr;
    return &kept_[index - first];
}

void VerbHistory::reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    kept_.clear();
    total_ = 0;
}

} // namespace zv
