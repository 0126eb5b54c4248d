// SPDX-License-Identifier: Apache-2.0
// The default engine: every verb succeeds at once, and the verbs that
// create something at the node (a TP instance, a conversation) get fresh
// nonzero identifiers, so the library's bookkeeping sees realistic values.
// Under ZORVEL_ENGINE=scripted it sits below the scripting wrapper, which
// answers whatever a test scripted.
#include <cstring>
#include <mutex>

#include "node/nof_records.h"
#include "node/verb_records.h"
#include "zorvel/verb_engine.h"

namespace zv {
namespace {

constexpr size_t kRcEnd = 12; // primary at 4, secondary at 8
constexpr uint32_t kConvIdBase = 0x00010000;
constexpr uint32_t kNofHandleBase = 0x4E000000;

std::mutex g_ids_mutex;
uint32_t g_last_tp = 0;
uint32_t g_last_conv = 0;
uint32_t g_last_nof = 0;

class DefaultEngine final : public VerbEngine {
  public:
    uint16_t appc(const VerbCall &call) override {
        succeed(call);
        return 0;
    }
    uint16_t appc_async(const VerbCall &call) override {
        succeed(call);
        return APPC_COMPLETED_SYNC;
    }

  private:
    static void succeed(const VerbCall &call) {
        auto *record = static_cast<unsigned char *>(call.record);
        if (call.size >= kRcEnd) {
            std::memset(record + offsetof(VCB_HDR, primary_rc), 0, sizeof(uint16_t));
            std::memset(record + offsetof(VCB_HDR, secondary_rc), 0, sizeof(uint32_t));
        }
        write_fresh_ids(call.opcode, record, call.size);
    }
};

const EngineRegistration kScripted("scripted", []() -> VerbEngine * { return new DefaultEngine; });

} // namespace

uint32_t next_nof_handle() {
    std::lock_guard<std::mutex> guard(g_ids_mutex);
    return kNofHandleBase + ++g_last_nof;
}

void write_fresh_ids(uint16_t opcode, unsigned char *record, size_t size) {
    // Where each verb returns its new identifiers: start-TP and
    // receive-allocate carry them after fields of their own, ALLOCATE in
    // the common header.
    size_t tp_at = 0, conv_at = 0;
    bool tp = false, conv = false;
    switch (opcode) {
    case AP_TP_STARTED:
        tp = true;
        tp_at = offsetof(VCB_TP_STARTED, tp_id);
        break;
    case AP_B_ALLOCATE:
        conv = true;
        conv_at = offsetof(VCB_HDR, conv_id);
        break;
    case AP_RECEIVE_ALLOCATE_CPIC:
        tp = conv = true;
        tp_at = offsetof(VCB_RECEIVE_ALLOCATE, rcv_alloc) + offsetof(VCB_RCV_ALLOC, tp_id);
        conv_at = offsetof(VCB_RECEIVE_ALLOCATE, rcv_alloc) + offsetof(VCB_RCV_ALLOC, conv_id);
        break;
    case NOF_OPEN:
        if (size >= offsetof(NOF_OPEN_RECORD, target_handle) + 4) {
            const uint32_t handle = next_nof_handle();
            std::memcpy(record + offsetof(NOF_OPEN_RECORD, target_handle), &handle, sizeof handle);
        }
        return;
    default: return;
    }
    std::lock_guard<std::mutex> guard(g_ids_mutex);
    if (tp && size >= tp_at + 8) {
        const uint32_t n = ++g_last_tp;
        // "tp", two zero bytes, the serial most significant byte first:
        // readable in a dump and never all zero.
        const unsigned char id[8] = {0x74,
                                     0x70,
                                     0,
                                     0,
                                     static_cast<unsigned char>(n >> 24),
                                     static_cast<unsigned char>(n >> 16),
                                     static_cast<unsigned char>(n >> 8),
                                     static_cast<unsigned char>(n)};
        std::memcpy(record + tp_at, id, sizeof id);
    }
    if (conv && size >= conv_at + 4) {
        const uint32_t id = kConvIdBase + ++g_last_conv;
        std::memcpy(record + conv_at, &id, sizeof id);
    }
}

void reset_fresh_ids() {
    std::lock_guard<std::mutex> guard(g_ids_mutex);
    g_last_tp = 0;
    g_last_conv = 0;
    g_last_nof = 0;
}

} // namespace zv
