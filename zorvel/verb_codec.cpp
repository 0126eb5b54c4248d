// SPDX-License-Identifier: Apache-2.0
// Verb records <-> typed verbs and results. Every offset comes from the
// structs of node/verb_records.h, which pin the i386 layout and let the
// address-carrying fields grow in the 64-bit build.
#include "zorvel/verb_codec.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "node/verb_records.h"
#include "zorvel/ebcdic.h"

namespace zv::codec {
namespace {

// A private copy of the record: the caller's bytes may sit anywhere and be
// shorter than the union.
VCB load(const void *record, size_t size) {
    VCB v;
    std::memset(&v, 0, sizeof v);
    std::memcpy(&v, record, std::min(size, sizeof v));
    return v;
}

void save(void *record, size_t size, const VCB &v) {
    std::memcpy(record, &v, std::min(size, sizeof v));
}

std::string ascii(const unsigned char *field, size_t width) {
    size_t n = width;
    while (n > 0 && (field[n - 1] == ' ' || field[n - 1] == 0)) --n;
    return std::string(reinterpret_cast<const char *>(field), n);
}

void ascii_field(const std::string &s, unsigned char *field, size_t width) {
    for (size_t i = 0; i < width; ++i) field[i] = i < s.size() ? static_cast<unsigned char>(s[i]) : ' ';
}

std::string ebcdic(const unsigned char *field, size_t width) {
    return ebcdic::to_ascii(field, width);
}

Conv conv_of(const VCB_HDR &h) {
    Conv c;
    std::memcpy(c.tp_id.data(), h.tp_id, sizeof h.tp_id);
    c.conv_id = h.conv_id;
    c.conv_type = h.conv_type;
    return c;
}

std::vector<uint8_t> bytes_at(const unsigned char *p, uint16_t n) {
    if (!p || n == 0) return {};
    return std::vector<uint8_t>(p, p + n);
}

// Return codes go in most significant byte first.
void put_codes(VCB &v, const Result &r) {
    const uint8_t p[2] = {static_cast<uint8_t>(r.primary >> 8), static_cast<uint8_t>(r.primary)};
    const uint8_t s[4] = {static_cast<uint8_t>(r.secondary >> 24), static_cast<uint8_t>(r.secondary >> 16),
                          static_cast<uint8_t>(r.secondary >> 8), static_cast<uint8_t>(r.secondary)};
    std::memcpy(&v.hdr.primary_rc, p, sizeof p);
    std::memcpy(&v.hdr.secondary_rc, s, sizeof s);
}

// Offsets of each opcode's last input field end: a record shorter than that
// cannot be decoded.
size_t needed(uint16_t opcode) {
    switch (opcode) {
    case AP_TP_STARTED: return sizeof(VCB_TP_STARTED);
    case AP_TP_ENDED: return offsetof(VCB_TP_ENDED, type) + 1;
    case AP_REGISTER_TP_NAME:
    case AP_WITHDRAW_TP_NAME: return sizeof(VCB_TP_NAME);
    case AP_B_ALLOCATE: return offsetof(VCB_ALLOCATE, fqplu_name) + sizeof(VCB_ALLOCATE::fqplu_name);
    case AP_RECEIVE_ALLOCATE_CPIC: return offsetof(VCB_RECEIVE_ALLOCATE, tp_name_list) + sizeof(void *);
    case AP_SEND_DATA: return offsetof(VCB_SEND_DATA, send_kind) + 1;
    case AP_RECEIVE_AND_WAIT:
    case AP_RECEIVE_IMMEDIATE: return offsetof(VCB_RECEIVE, data_addr) + sizeof(void *);
    case AP_SEND_ERROR: return offsetof(VCB_SEND_ERROR, log_addr) + sizeof(void *);
    case AP_DEALLOCATE: return offsetof(VCB_DEALLOCATE, log_addr) + sizeof(void *);
    case AP_PREPARE_TO_RECEIVE:
    case AP_CONFIRM:
    case AP_GET_STATE: return sizeof(VCB_HDR) + 1;
    default: return sizeof(VCB_HDR);
    }
}

// More names than any program lists; a count beyond it is a broken record.
constexpr uint32_t kMaxTpNames = 4096;

} // namespace

uint16_t opcode_of(const void *record) {
    uint16_t op;
    std::memcpy(&op, record, sizeof op);
    return op;
}

Verb decode(const void *record, size_t size) {
    if (!record || size < sizeof(VCB_RC_HDR)) return Unknown{0};
    const uint16_t op = opcode_of(record);
    if (size < needed(op)) return Unknown{op};
    const VCB v = load(record, size);
    switch (op) {
    case AP_TP_STARTED:
        return StartTp{ascii(v.tp_started.lu_alias, sizeof v.tp_started.lu_alias),
                       ebcdic(v.tp_started.tp_name, sizeof v.tp_started.tp_name)};
    case AP_TP_ENDED: {
        EndTp e;
        std::memcpy(e.tp_id.data(), v.tp_ended.tp_id, 8);
        e.hard = v.tp_ended.type != AP_TP_END_SOFT;
        return e;
    }
    case AP_REGISTER_TP_NAME: return RegisterTpName{ebcdic(v.tpname.tp_name, sizeof v.tpname.tp_name)};
    case AP_WITHDRAW_TP_NAME: return WithdrawTpName{ebcdic(v.tpname.tp_name, sizeof v.tpname.tp_name)};
    case AP_B_ALLOCATE: {
        const VCB_ALLOCATE &a = v.alloc;
        Allocate r;
        r.conv = conv_of(a.hdr);
        r.sync_level = a.sync_level;
        r.return_control = a.rtn_ctl;
        if (a.plu_alias[0] != 0) r.partner_alias = ascii(a.plu_alias, sizeof a.plu_alias);
        r.partner_name = ebcdic(a.fqplu_name, sizeof a.fqplu_name);
        r.mode_name = ebcdic(a.mode_name, sizeof a.mode_name);
        r.tp_name = ebcdic(a.tp_name, sizeof a.tp_name);
        r.security = a.security;
        r.user_id = ebcdic(a.user_id, sizeof a.user_id);
        r.password = ebcdic(a.pwd, sizeof a.pwd);
        return r;
    }
    case AP_RECEIVE_ALLOCATE_CPIC: {
        const VCB_RECEIVE_ALLOCATE &a = v.rcvallcp;
        ReceiveAllocate r;
        r.handle = a.rcv_alloc.conv_id;
        if (a.tp_name_list && a.tp_name_count <= kMaxTpNames)
            for (uint32_t i = 0; i < a.tp_name_count; ++i)
                r.tp_names.push_back(ebcdic(a.tp_name_list + 64 * i, 64));
        return r;
    }
    case AP_SEND_DATA: {
        SendData s;
        s.conv = conv_of(v.send.hdr);
        s.data = v.send.data_addr;
        s.length = v.send.data_addr ? v.send.data_len : 0;
        s.kind = static_cast<SendKind>(v.send.send_kind);
        if (v.send.send_kind > static_cast<uint8_t>(SendKind::kDeallocAbend)) return Unknown{op};
        return s;
    }
    case AP_RECEIVE_AND_WAIT:
    case AP_RECEIVE_IMMEDIATE: {
        Receive r;
        r.conv = conv_of(v.rcv.hdr);
        r.immediate = op == AP_RECEIVE_IMMEDIATE;
        r.fill_ll = v.rcv.fill_ind != 0;
        r.buffer = v.rcv.data_addr;
        r.requested = v.rcv.data_addr ? v.rcv.requested_len : 0;
        return r;
    }
    case AP_CONFIRM: return Confirm{conv_of(v.hdr)};
    case AP_CONFIRMED: return Confirmed{conv_of(v.hdr)};
    case AP_FLUSH: return Flush{conv_of(v.hdr)};
    case AP_PREPARE_TO_RECEIVE: return PrepareToReceive{conv_of(v.hdr), v.prep_to_rcv.ptr_kind == 1};
    case AP_REQUEST_TO_SEND: return RequestToSend{conv_of(v.hdr)};
    case AP_SEND_ERROR:
        return SendError{conv_of(v.hdr), v.send_error.error_dir == 1,
                         bytes_at(v.send_error.log_addr, v.send_error.log_len)};
    case AP_TEST_RTS: return TestRts{conv_of(v.hdr)};
    case AP_DEALLOCATE: {
        const uint8_t k = v.dealloc.dealloc_kind;
        if (k != 0 && k != 1 && k != 2 && k != 5) return Unknown{op};
        return Deallocate{conv_of(v.hdr), static_cast<DeallocKind>(k),
                          bytes_at(v.dealloc.log_addr, v.dealloc.log_len)};
    }
    case AP_GET_STATE: return GetState{conv_of(v.hdr)};
    case AP_CANCEL: return Cancel{conv_of(v.hdr)};
    default: return Unknown{op};
    }
}

void store(void *record, size_t size, const Verb &verb, const Result &r) {
    if (!record || size < sizeof(VCB_RC_HDR)) return;
    VCB v = load(record, size);
    put_codes(v, r);
    std::visit(
        [&](const auto &x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, StartTp>) {
                if (r.primary == 0) {
                    ascii_field(r.lu_alias, v.tp_started.lu_alias, sizeof v.tp_started.lu_alias);
                    std::memcpy(v.tp_started.tp_id, r.tp_id.data(), 8);
                }
            } else if constexpr (std::is_same_v<T, Allocate>) {
                if (r.primary == 0) v.alloc.hdr.conv_id = r.conv_id;
            } else if constexpr (std::is_same_v<T, ReceiveAllocate>) {
                if (r.primary == 0) {
                    VCB_RCV_ALLOC &a = v.rcvallcp.rcv_alloc;
                    ebcdic::to_ebcdic(r.tp_name, a.tp_name, sizeof a.tp_name);
                    std::memcpy(a.tp_id, r.tp_id.data(), 8);
                    a.conv_id = r.conv_id;
                    a.sync_level = r.sync_level;
                    a.conv_type = r.conv_type;
                    ebcdic::to_ebcdic(r.user_id, a.user_id, sizeof a.user_id);
                    ascii_field(r.lu_alias, a.lu_alias, sizeof a.lu_alias);
                    ebcdic::to_ebcdic(r.mode_name, a.mode_name, sizeof a.mode_name);
                    ebcdic::to_ebcdic(r.partner_lu, a.fqplu_name, sizeof a.fqplu_name);
                }
            } else if constexpr (std::is_same_v<T, SendData>) {
                v.send.rts_ind = r.rts;
            } else if constexpr (std::is_same_v<T, Receive>) {
                v.rcv.data_status_ind =
                    static_cast<uint16_t>(static_cast<uint8_t>(r.data) << 8 | static_cast<uint8_t>(r.status));
                v.rcv.status_with_data = r.status_with_data;
                v.rcv.rts_ind = r.rts;
                v.rcv.data_len = r.data_length;
            } else if constexpr (std::is_same_v<T, Confirm>) {
                v.confirm.rts_ind = r.rts;
            } else if constexpr (std::is_same_v<T, SendError>) {
                v.send_error.rts_ind = r.rts;
            } else if constexpr (std::is_same_v<T, GetState>) {
                v.get_state.conv_state = static_cast<uint8_t>(r.state);
            }
        },
        verb);
    save(record, size, v);
}

} // namespace zv::codec
