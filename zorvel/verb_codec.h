/* SPDX-License-Identifier: Apache-2.0 */
// The verb codec: the one place that knows where each field of an APPC verb
// record sits. It turns a record into a typed verb and a typed result back
// into the record, for both ABIs (the structs of node/verb_records.h carry
// the layout), so no engine reads a raw offset.
//
// Names that travel to a partner are EBCDIC in the records and ASCII in the
// typed verbs, without their padding; LU aliases are ASCII on both sides.
#ifndef ZORVEL_VERB_CODEC_H
#define ZORVEL_VERB_CODEC_H

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace zv::codec {

using TpId = std::array<uint8_t, 8>;

// What every conversation verb names.
struct Conv {
    TpId tp_id{};
    uint32_t conv_id = 0;
    uint8_t conv_type = 0; // 0 basic, 1 mapped (header byte 2)
};

enum class SendKind : uint8_t {
    kBuffer = 0,
    kFlush = 1,
    kConfirm = 2,
    kPrepareFlush = 3,
    kPrepareSyncLevel = 4,
    kDeallocFlush = 5,
    kDeallocSyncLevel = 6,
    kDeallocAbend = 7
};
enum class DeallocKind : uint8_t { kSyncLevel = 0, kFlush = 1, kAbendBasic = 2, kAbendMapped = 5 };

struct StartTp {
    std::string lu_alias; // blank: the default local LU
    std::string tp_name;
};
struct EndTp {
    TpId tp_id{};
    bool hard = true;
};
struct RegisterTpName {
    std::string tp_name;
};
struct WithdrawTpName {
    std::string tp_name;
};
struct Allocate {
    Conv conv;
    uint8_t sync_level = 0;
    uint8_t return_control = 0;
    std::string partner_alias; // empty when the partner is named in full
    std::string partner_name;  // NETID.LUNAME
    std::string mode_name;
    std::string tp_name;
    uint8_t security = 0; // 0 none, 1 same, 2 program, 5 program strong
    std::string user_id;
    std::string password; // never logged
};
struct ReceiveAllocate {
    std::vector<std::string> tp_names;
    uint32_t handle = 0; // the library's conversation handle (cancel names it)
};
struct SendData {
    Conv conv;
    const uint8_t *data = nullptr;
    uint16_t length = 0;
    SendKind kind = SendKind::kBuffer;
};
struct Receive {
    Conv conv;
    bool immediate = false;
    bool fill_ll = true;
    uint16_t requested = 0;
    uint8_t *buffer = nullptr; // the program's; the core fills it
};
struct Confirm {
    Conv conv;
};
struct Confirmed {
    Conv conv;
};
struct Flush {
    Conv conv;
};
struct PrepareToReceive {
    Conv conv;
    bool flush = false; // else according to the sync level
};
struct RequestToSend {
    Conv conv;
};
struct SendError {
    Conv conv;
    bool send_direction = false;
    std::vector<uint8_t> log; // an error log GDS variable, as given
};
struct TestRts {
    Conv conv;
};
struct Deallocate {
    Conv conv;
    DeallocKind kind = DeallocKind::kSyncLevel;
    std::vector<uint8_t> log;
};
struct GetState {
    Conv conv;
};
// A zero tp_id names an accept in progress by its library handle.
struct Cancel {
    Conv conv;
};
struct Unknown {
    uint16_t opcode = 0;
};

using Verb = std::variant<Unknown, StartTp, EndTp, RegisterTpName, WithdrawTpName, Allocate, ReceiveAllocate,
                          SendData, Receive, Confirm, Confirmed, Flush, PrepareToReceive, RequestToSend,
                          SendError, TestRts, Deallocate, GetState, Cancel>;

// The node's state codes as the get-state verb returns them.
enum class StateCode : uint8_t {
    kReset = 0,
    kSend = 1,
    kReceive = 2,
    kConfirm = 3,
    kConfirmSend = 4,
    kConfirmDeallocate = 5,
    kSendPending = 9
};

// Receive indicators: data (high byte of data_status_ind) and status.
enum class DataInd : uint8_t { kNone = 0, kData = 1, kComplete = 2, kIncomplete = 4 };
enum class StatusInd : uint8_t { kNone = 0, kSend = 1, kConfirm = 2, kConfirmSend = 3, kConfirmDealloc = 4 };

// Everything a verb can answer; each opcode stores the fields it has.
struct Result {
    uint16_t primary = 0;
    uint32_t secondary = 0;
    uint32_t conv_id = 0; // allocate, receive-allocate
    TpId tp_id{};         // start-TP, receive-allocate
    std::string lu_alias; // start-TP, receive-allocate (local LU)
    bool rts = false;     // send, receive, confirm, send error
    DataInd data = DataInd::kNone;
    StatusInd status = StatusInd::kNone;
    bool status_with_data = false;
    uint16_t data_length = 0;
    StateCode state = StateCode::kReset;
    // receive-allocate
    std::string tp_name;
    uint8_t sync_level = 0;
    uint8_t conv_type = 0;
    std::string user_id;
    std::string mode_name;
    std::string partner_lu; // NETID.LUNAME
};

// `size` is what may be read and written at `record`; a record too short for
// its opcode decodes as Unknown.
Verb decode(const void *record, size_t size);
uint16_t opcode_of(const void *record);
void store(void *record, size_t size, const Verb &verb, const Result &result);

} // namespace zv::codec

#endif // ZORVEL_VERB_CODEC_H
