// SPDX-License-Identifier: Apache-2.0
// The node's verb entry points: each verb is recorded in the history and
// handed to the engine stack under the process lock; the engine stack is
// the scripting wrapper over the engine ZORVEL_ENGINE names.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "node/nof_records.h"
#include "node/verb_entry.h"
#include "node/verb_records.h"
#include "zorvel/completions.h"
#include "zorvel/internal.h"
#include "zorvel/node_config.h"
#include "zorvel/scripted_engine.h"
#include "zorvel/verb_history.h"

namespace zv {
namespace {

constexpr char kDefaultEngine[] = "node"; // the node daemon, started on demand
constexpr char kFallbackEngine[] = "scripted";

struct Registry {
    std::mutex mutex; // selection may race with the first verbs of other threads
    std::vector<std::pair<std::string, EngineFactory>> factories;
    std::vector<std::pair<std::string, VerbEngine *>> made; // never destroyed
    std::atomic<bool> selected{false};                      // set once; verbs after that take no lock here
};

Registry &registry() {
    static Registry *r = new Registry; // registrations run during static initialisation
    return *r;
}

// Selects under the registry's mutex, which is the only lock taken: the
// first verb of a thread may arrive with or without the process lock.
void select_locked(Registry &r) {
    const char *env = std::getenv("ZORVEL_ENGINE");
    std::string name = env && *env ? env : kDefaultEngine;
    auto factory =
        std::find_if(r.factories.begin(), r.factories.end(), [&](const auto &f) { return f.first == name; });
    if (factory == r.factories.end()) {
        nba_pd_print_problem(ZT_PROBLEM_ENGINE_UNKNOWN, 1, "ca ca", static_cast<uint32_t>(name.size()),
                             name.c_str(), static_cast<uint32_t>(sizeof kFallbackEngine - 1),
                             kFallbackEngine);
        name = kFallbackEngine;
        factory = std::find_if(r.factories.begin(), r.factories.end(),
                               [&](const auto &f) { return f.first == name; });
    }
    auto made = std::find_if(r.made.begin(), r.made.end(), [&](const auto &m) { return m.first == name; });
    if (made == r.made.end()) {
        r.made.emplace_back(name, factory->second());
        made = r.made.end() - 1;
    }
    scripted_engine().set_inner(made->second);
    r.selected.store(true, std::memory_order_release);
}

size_t nof_record_size(uint16_t opcode) {
    switch (opcode) {
    case NOF_OPEN: return sizeof(NOF_OPEN_RECORD);
    case NOF_QUERY_SIDE_INFO: return sizeof(NOF_QUERY_RECORD);
    case NOF_CLOSE: return sizeof(NOF_CLOSE_RECORD);
    default: return sizeof(NOF_HDR);
    }
}

// What the node may write: the record's documented size, but never past the
// end of the block it lives in.
size_t writable(const void *record, size_t documented) {
    return std::min(documented, room_at(record));
}

VerbCall make_call(uint32_t kind, uint32_t version, void *record, size_t documented) {
    VerbCall call;
    call.kind = kind;
    call.version = version;
    std::memcpy(&call.opcode, record, sizeof call.opcode);
    call.record = record;
    call.size = writable(record, documented);
    return call;
}

// After the engine: the history learns the outcome, and an ended TP
// instance takes its conversations' queued completions with it, whichever
// engine ended it.
void finish(const VerbCall &call, uint16_t returned, bool may_be_in_progress) {
    if (may_be_in_progress && returned == APPC_IN_PROGRESS)
        verb_history().mark_in_progress(call.verb);
    else
        verb_history().set_state(call.verb, ZT_VERB_COMPLETED, returned);
    if (call.opcode == AP_TP_ENDED && call.size >= sizeof(VCB_TP_ENDED)) {
        const auto &ended = *static_cast<const VCB_TP_ENDED *>(call.record);
        if (ended.hdr.primary_rc == 0) completions().discard_tp(ended.tp_id);
    }
}

} // namespace

EngineRegistration::EngineRegistration(const char *name, EngineFactory factory) {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.factories.emplace_back(name, factory);
}

void select_engine() {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    select_locked(r);
}

VerbEngine &verb_engine() {
    Registry &r = registry();
    if (!r.selected.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> guard(r.mutex);
        if (!r.selected.load(std::memory_order_relaxed)) {
            reload_node_config(); // the engine starts with the node's configuration
            select_locked(r);
        }
    }
    return scripted_engine();
}

} // namespace zv

using namespace zv;

extern "C" NODE_API uint16_t appc_c_version(uint32_t version, void *vcb) {
    if (!vcb) {
        ZV_ASSERT_FAILED("appc_c_version: null verb record");
        return 0;
    }
    VerbEngine &engine = verb_engine();
    LockIfNotHeld lock;
    VerbCall call = make_call(ZT_VERB_APPC_BLOCKING, version, vcb, sizeof(VCB));
    call.verb = verb_history().record(call);
    const uint16_t returned = engine.appc(call);
    finish(call, returned, false);
    return returned;
}

extern "C" NODE_API uint16_t appc_c_async_version(uint32_t version, void *vcb, APPC_CALLBACK callback,
                                                  uint32_t user) {
    if (!vcb) {
        ZV_ASSERT_FAILED("appc_c_async_version: null verb record");
        return 0;
    }
    VerbEngine &engine = verb_engine();
    LockIfNotHeld lock;
    VerbCall call = make_call(ZT_VERB_APPC_ASYNC, version, vcb, sizeof(VCB));
    call.callback = callback;
    call.user = user;
    call.verb = verb_history().record(call);
    const uint16_t returned = engine.appc_async(call);
    finish(call, returned, callback != nullptr);
    return returned;
}

extern "C" NODE_API uint16_t nof_version(uint32_t version, uint32_t target, void *record) {
    if (!record) {
        ZV_ASSERT_FAILED("nof_version: null record");
        return 0;
    }
    VerbEngine &engine = verb_engine();
    LockIfNotHeld lock;
    uint16_t opcode;
    std::memcpy(&opcode, record, sizeof opcode);
    VerbCall call = make_call(ZT_VERB_NOF, version, record, nof_record_size(opcode));
    call.target = target;
    call.verb = verb_history().record(call);
    const uint16_t returned = engine.nof(call);
    finish(call, returned, false);
    return returned;
}
