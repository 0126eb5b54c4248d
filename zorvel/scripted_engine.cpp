// SPDX-License-Identifier: Apache-2.0
// The scripting wrapper. Tests decide a verb's outcome ahead of time; a
// verb nobody scripted goes to the engine below unchanged.
#include <algorithm>
#include <cstring>

#include "node/nof_records.h"
#include "node/verb_records.h"
#include "zorvel/completions.h"
#include "zorvel/internal.h"
#include "zorvel/node_config.h"
#include "zorvel/scripted_engine.h"

namespace zv {
namespace {

constexpr size_t kRcEnd = 12; // primary at 4, secondary at 8

void write_at(unsigned char *record, size_t offset, const void *bytes, size_t n) {
    std::memcpy(record + offset, bytes, n);
}

// Overrides of verbs the engine below left in progress, keyed by record:
// its completion passes through override_callback, which writes the codes
// and hands it on to the program's callback. Guarded by the process lock.
struct InFlightOverride {
    APPC_CALLBACK callback;
    uint16_t primary;
    uint32_t secondary;
};
std::map<void *, InFlightOverride> g_overrides;

void override_callback(void *record, uint32_t a, uint32_t b, uint32_t user) {
    const auto it = g_overrides.find(record);
    if (it == g_overrides.end()) {
        ZV_ASSERT_FAILED("scripted override: completion of an unknown record");
        return;
    }
    const InFlightOverride o = it->second;
    g_overrides.erase(it);
    auto *r = static_cast<unsigned char *>(record);
    write_at(r, offsetof(VCB_HDR, primary_rc), &o.primary, sizeof o.primary);
    write_at(r, offsetof(VCB_HDR, secondary_rc), &o.secondary, sizeof o.secondary);
    o.callback(record, a, b, user);
}

} // namespace

ScriptedEngine &scripted_engine() {
    // Never destroyed: a verb issued during static destruction must not
    // meet a dead engine.
    static ScriptedEngine *engine = new ScriptedEngine;
    return *engine;
}

bool ScriptedEngine::next_answer(uint16_t opcode, Answer &out) {
    if (scripted_.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = answers_.find(opcode);
    if (it == answers_.end() || it->second.empty()) return false;
    std::deque<Answer> &queue = it->second;
    out = queue.front();
    // A sticky answer keeps answering once nothing is queued behind it.
    if (!(out.flags & ZT_ANSWER_STICKY) || queue.size() > 1) {
        queue.pop_front();
        scripted_.fetch_sub(1, std::memory_order_release);
    }
    ++hits_[opcode];
    return true;
}

void ScriptedEngine::write_codes(const Answer &a, uint16_t opcode, unsigned char *record, size_t size) {
    if (size >= kRcEnd) {
        write_at(record, offsetof(VCB_HDR, primary_rc), &a.primary, sizeof a.primary);
        write_at(record, offsetof(VCB_HDR, secondary_rc), &a.secondary, sizeof a.secondary);
    }
    if (a.primary == 0 && !(a.flags & (ZT_ANSWER_NO_IDS | ZT_ANSWER_OVERRIDE)))
        write_fresh_ids(opcode, record, size);
    for (const Patch &p : a.patches) {
        if (p.offset + p.bytes.size() <= size)
            write_at(record, p.offset, p.bytes.data(), p.bytes.size());
        else
            nba_pd_print_problem(ZT_PROBLEM_PATCH_OUTSIDE, 2, "x lx lx", opcode, p.offset,
                                 static_cast<uint32_t>(p.bytes.size()));
    }
}

void ScriptedEngine::apply(const Answer &a, uint16_t opcode, unsigned char *record, size_t size) {
    if (!a.image.empty()) {
        const size_t n = std::min(a.image.size(), size);
        std::memcpy(record, a.image.data(), n);
        if (n < a.image.size())
            nba_pd_print_problem(ZT_PROBLEM_PATCH_OUTSIDE, 1, "x lx lx", opcode, 0u,
                                 static_cast<uint32_t>(a.image.size()));
    }
    write_codes(a, opcode, record, size);
    if (!a.indirect.empty()) {
        void *target = nullptr;
        if (a.indirect_field + sizeof target <= size)
            std::memcpy(&target, record + a.indirect_field, sizeof target);
        if (!target) {
            nba_pd_print_problem(ZT_PROBLEM_NULL_BUFFER, 1, "x lx", opcode, a.indirect_field);
            return;
        }
        const size_t n = std::min(a.indirect.size(), room_at(target));
        std::memcpy(target, a.indirect.data(), n);
    }
}

uint16_t ScriptedEngine::appc(const VerbCall &call) {
    Answer a;
    if (!next_answer(call.opcode, a) || (a.flags & ZT_ANSWER_PASS)) return inner().appc(call);
    auto *record = static_cast<unsigned char *>(call.record);
    if (a.flags & ZT_ANSWER_OVERRIDE) {
        const uint16_t returned = inner().appc(call);
        write_codes(a, call.opcode, record, call.size);
        return returned;
    }
    // Blocking: an in-progress answer completes here and now.
    apply(a, call.opcode, record, call.size);
    return (a.flags & ZT_ANSWER_SET_RETURN) ? a.returned : 0;
}

uint16_t ScriptedEngine::appc_async(const VerbCall &call) {
    Answer a;
    if (!next_answer(call.opcode, a) || (a.flags & ZT_ANSWER_PASS)) return inner().appc_async(call);
    auto *record = static_cast<unsigned char *>(call.record);
    if (a.flags & ZT_ANSWER_OVERRIDE) {
        VerbCall through = call;
        if (call.callback) through.callback = override_callback;
        const uint16_t returned = inner().appc_async(through);
        if (returned == APPC_IN_PROGRESS && call.callback)
            g_overrides[call.record] = InFlightOverride{call.callback, a.primary, a.secondary};
        else
            write_codes(a, call.opcode, record, call.size);
        return returned;
    }
    // Without a callback nobody could be told later: finish now.
    if (call.callback && (a.flags & ZT_ANSWER_IN_PROGRESS)) {
        Completion c;
        c.verb = call.verb;
        c.opcode = call.opcode;
        c.record = call.record;
        c.size = call.size;
        c.callback = call.callback;
        c.user = call.user;
        c.delivery = a.delivery;
        const uint16_t opcode = call.opcode;
        c.finish = [this, a = std::move(a), opcode](unsigned char *r, size_t n) { apply(a, opcode, r, n); };
        completions().push(std::move(c));
        return APPC_IN_PROGRESS;
    }
    apply(a, call.opcode, record, call.size);
    return (a.flags & ZT_ANSWER_SET_RETURN) ? a.returned : APPC_COMPLETED_SYNC;
}

uint16_t ScriptedEngine::nof(const VerbCall &call) {
    Answer a;
    if (!next_answer(call.opcode, a) || (a.flags & ZT_ANSWER_PASS)) return inner().nof(call);
    auto *record = static_cast<unsigned char *>(call.record);
    if (a.flags & ZT_ANSWER_OVERRIDE) {
        const uint16_t returned = inner().nof(call);
        write_codes(a, call.opcode, record, call.size);
        return returned;
    }
    // A scripted open keeps its scripted result, but the configuration is
    // read all the same, so the definitions follow the file.
    if (call.opcode == NOF_OPEN) reload_node_config();
    apply(a, call.opcode, record, call.size);
    return (a.flags & ZT_ANSWER_SET_RETURN) ? a.returned : 0;
}

void ScriptedEngine::drop_in_flight() {
    g_overrides.clear();
    inner().drop_in_flight();
}

void ScriptedEngine::reset() {
    clear_answers();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        hits_.clear();
    }
    g_overrides.clear();
    inner().reset();
}

bool ScriptedEngine::queue_answer(uint16_t opcode, const ZT_ANSWER &z) {
    if (z.patch_count > ZT_PATCH_MAX || z.image_length > ZT_VERB_IMAGE_MAX || (z.image_length && !z.image) ||
        z.indirect_length > ZT_INDIRECT_MAX || (z.indirect_length && !z.indirect_data) ||
        z.delivery > ZT_DELIVER_AUTO)
        return false;
    Answer a;
    a.primary = z.primary;
    a.secondary = z.secondary;
    a.flags = z.flags;
    a.delivery = z.delivery;
    a.returned = z.returned;
    const auto *image = static_cast<const unsigned char *>(z.image);
    a.image.assign(image, image + z.image_length);
    for (uint32_t i = 0; i < z.patch_count; ++i) {
        const ZT_PATCH &p = z.patches[i];
        if (p.length > ZT_PATCH_BYTES || p.offset > ZT_VERB_IMAGE_MAX) return false;
        a.patches.push_back(Patch{p.offset, {p.bytes, p.bytes + p.length}});
    }
    a.indirect_field = z.indirect_field;
    const auto *indirect = static_cast<const unsigned char *>(z.indirect_data);
    a.indirect.assign(indirect, indirect + z.indirect_length);
    std::lock_guard<std::mutex> guard(mutex_);
    answers_[opcode].push_back(std::move(a));
    scripted_.fetch_add(1, std::memory_order_release);
    return true;
}

void ScriptedEngine::clear_answers() {
    std::lock_guard<std::mutex> guard(mutex_);
    answers_.clear();
    scripted_.store(0, std::memory_order_release);
}

uint32_t ScriptedEngine::hits(uint16_t opcode) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto it = hits_.find(opcode);
    return it == hits_.end() ? 0 : it->second;
}

} // namespace zv
