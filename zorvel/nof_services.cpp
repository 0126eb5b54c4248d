// SPDX-License-Identifier: Apache-2.0
// The NOF verbs as the node's services answer them, whatever engine runs
// the APPC verbs: the configuration is the node's, not an engine's.
#include <cstring>

#include "node/nof_records.h"
#include "zorvel/node_config.h"
#include "zorvel/side_info.h"
#include "zorvel/verb_engine.h"

namespace zv {
namespace {

constexpr size_t kRcEnd = 12; // primary at 4, secondary at 8

} // namespace

uint16_t VerbEngine::nof(const VerbCall &call) {
    return nof_services(call);
}

uint16_t nof_services(const VerbCall &call) {
    auto *record = static_cast<unsigned char *>(call.record);
    uint16_t primary = 0;
    uint32_t secondary = 0;
    switch (call.opcode) {
    case NOF_OPEN:
        if (!reload_node_config()) {
            primary = kSideInfoOpenFailedPrimary;
            secondary = kSideInfoOpenFailedSecondary;
        }
        break;
    case NOF_QUERY_SIDE_INFO:
        // A name the configuration does not define is unknown.
        primary = NOF_NO_SUCH_NAME_PRIMARY;
        secondary = NOF_NO_SUCH_NAME_SECONDARY;
        answer_side_info_query(record, call.size, primary, secondary);
        break;
    default: break;
    }
    if (call.size >= kRcEnd) {
        std::memcpy(record + offsetof(NOF_HDR, primary_rc), &primary, sizeof primary);
        std::memcpy(record + offsetof(NOF_HDR, secondary_rc), &secondary, sizeof secondary);
    }
    if (primary == 0) write_fresh_ids(call.opcode, record, call.size);
    return 0;
}

} // namespace zv
