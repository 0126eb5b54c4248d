// SPDX-License-Identifier: Apache-2.0
// The single test-control entry of the stand-in; absent from builds without
// ZORVEL_TEST_CONTROL.
#ifdef ZORVEL_TEST_CONTROL

#include <cstdarg>
#include <memory>
#include <string>

#include "zorvel/completions.h"
#include "zorvel/internal.h"
#include "zorvel/node_config.h"
#include "zorvel/scripted_engine.h"
#include "zorvel/side_info.h"
#include "zorvel/verb_history.h"

namespace {

void reset_everything() {
    zv::LockIfNotHeld lock;
    zv::clear_faults(); // the teardown below must not trip over one
    // The library tears itself down on the path event and frees what it
    // holds; whatever it leaves is swept up afterwards.
    zv::deliver_path_failure();
    // ZORVEL_ENGINE may have changed; the engine chosen is reset with the
    // wrapper over it.
    zv::select_engine();
    zv::verb_engine().reset();
    zv::completions().discard_all();
    zv::verb_history().reset();
    zv::reset_fresh_ids();
    zv::reset_side_info();
    zv::reset_lock_state();
    zv::reset_tables();
    zv::reset_memory();
    zv::reset_logs();
    zv::reset_trace();
    // After the logs, so a problem with the file stays visible.
    zv::reload_node_config();
}

const char *render_node_config() {
    static const char *const kConv[] = {"basic", "mapped", "either"};
    static const char *const kSync[] = {"none", "confirm", "either"};
    static std::string text; // test control is single-threaded
    const std::shared_ptr<const zv::NodeConfig> c = zv::node_config();
    text.clear();
    auto item = [](const std::string &s) { text += (text.empty() ? "" : "; ") + s; };
    for (const zv::LocalLu &lu : c->local_lus)
        item("lu " + lu.alias + " " + lu.name + (lu.is_default ? " default" : ""));
    for (const zv::TpDefinition &tp : c->tps) {
        std::string args;
        for (const std::string &a : tp.args) args += (args.empty() ? "" : ",") + a;
        item("tp " + tp.name + " " + kConv[static_cast<int>(tp.conversation_type)] + " " +
             kSync[static_cast<int>(tp.sync_level)] + " " + (tp.security_required ? "required" : "none") +
             " " + std::to_string(tp.queue_timeout_ms) + " " + (tp.path.empty() ? "-" : tp.path) + " " +
             (args.empty() ? "-" : args) + " " + std::to_string(tp.max_instances));
    }
    for (const zv::NodeUser &u : c->users) item("user " + u.user_id + " " + u.password_hash);
    return text.c_str();
}

template <typename T>
void put(va_list ap, T value) {
    T *out = va_arg(ap, T *);
    if (out) *out = value;
}

int control(int op, va_list ap) {
    switch (op) {
    case ZT_OP_RESET: reset_everything(); return 0;
    case ZT_OP_LIVE_BLOCKS: put(ap, zv::live_blocks()); return 0;
    case ZT_OP_LIVE_BYTES: put(ap, zv::live_bytes()); return 0;
    case ZT_OP_LIVE_TABLE_ENTRIES: put(ap, zv::live_table_entries()); return 0;
    case ZT_OP_LIVE_WAIT_OBJECTS: put(ap, zv::live_wait_objects()); return 0;
    case ZT_OP_LIVE_TABLES: put(ap, zv::live_tables()); return 0;
    case ZT_OP_LIVE_PATH_USERS: put(ap, zv::live_path_users()); return 0;
    case ZT_OP_RECORD_COUNT: {
        const uint32_t kind = va_arg(ap, uint32_t);
        put(ap, zv::record_count(kind));
        return 0;
    }
    case ZT_OP_RECORD: {
        const uint32_t kind = va_arg(ap, uint32_t);
        const uint32_t index = va_arg(ap, uint32_t);
        const ZT_RECORD *r = zv::record_at(kind, index);
        put(ap, r);
        return r ? 0 : -1;
    }
    case ZT_OP_TRACE_LINE_COUNT: put(ap, zv::trace_line_count()); return 0;
    case ZT_OP_TRACE_LINE: {
        const char *line = zv::trace_line_at(va_arg(ap, uint32_t));
        put(ap, line);
        return line ? 0 : -1;
    }
    case ZT_OP_TRACE_CLEAR: zv::clear_trace_lines(); return 0;
    case ZT_OP_VERB_COUNT: put(ap, zv::verb_history().count()); return 0;
    case ZT_OP_VERB: {
        const ZT_VERB *v = zv::verb_history().at(va_arg(ap, uint32_t));
        put(ap, v);
        return v ? 0 : -1;
    }
    case ZT_OP_QUEUE_ANSWER: {
        const auto opcode = static_cast<uint16_t>(va_arg(ap, unsigned));
        const ZT_ANSWER *answer = va_arg(ap, const ZT_ANSWER *);
        return answer && zv::scripted_engine().queue_answer(opcode, *answer) ? 0 : -1;
    }
    case ZT_OP_ANSWER_HITS: {
        const auto opcode = static_cast<uint16_t>(va_arg(ap, unsigned));
        put(ap, zv::scripted_engine().hits(opcode));
        return 0;
    }
    case ZT_OP_NODE_CONFIG: put(ap, render_node_config()); return 0;
    case ZT_OP_CLEAR_ANSWERS: zv::scripted_engine().clear_answers(); return 0;
    case ZT_OP_PENDING_COUNT: put(ap, zv::completions().pending()); return 0;
    case ZT_OP_COMPLETE_PENDING: {
        const uint32_t how_many = va_arg(ap, uint32_t);
        put(ap, zv::completions().deliver(zv::Delivery::kExplicit, how_many));
        return 0;
    }
    case ZT_OP_FAULT: {
        const uint32_t site = va_arg(ap, uint32_t);
        const uint32_t countdown = va_arg(ap, uint32_t);
        const int persistent = va_arg(ap, int);
        if (site == 0 || site >= ZT_FAULT_SITE_END) return -1;
        zv::arm_fault(site, countdown, persistent != 0);
        return 0;
    }
    case ZT_OP_FAULT_CLEAR: zv::clear_faults(); return 0;
    case ZT_OP_FAULT_HITS: {
        const uint32_t site = va_arg(ap, uint32_t);
        put(ap, zv::fault_hits(site));
        return 0;
    }
    case ZT_OP_FAULT_CALLS: {
        const uint32_t site = va_arg(ap, uint32_t);
        put(ap, zv::fault_calls(site));
        return 0;
    }
    case ZT_OP_FAIL_PATH: {
        zv::LockIfNotHeld lock;
        zv::deliver_path_failure();
        return 0;
    }
    case ZT_OP_SET_TABLE_CAPACITY: zv::set_table_capacity(va_arg(ap, uint32_t)); return 0;
    case ZT_OP_SET_SLEEP_LIMIT: zv::set_sleep_limit(va_arg(ap, uint32_t)); return 0;
    default: return -1;
    }
}

} // namespace

extern "C" NODE_API int zorvel_test_control(int op, ...) {
    va_list ap;
    va_start(ap, op);
    const int rc = control(op, ap);
    va_end(ap);
    return rc;
}

#endif // ZORVEL_TEST_CONTROL
