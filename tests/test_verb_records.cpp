// Verb and NOF records: filled through their structs, inspected as the byte
// image the node sees. Fields behind an address are checked at the i386
// offsets on i386, at their 64-bit places otherwise, and by a round trip
// through the byte image on both.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "node/nof_records.h"
#include "node/verb_records.h"

namespace {

constexpr bool kI386 = sizeof(void *) == 4;

using Bytes = std::vector<unsigned char>;

Bytes at(const void *record, size_t off, size_t n) {
    auto p = static_cast<const unsigned char *>(record) + off;
    return Bytes(p, p + n);
}

Bytes str(const char *s) { return Bytes(s, s + std::strlen(s)); }

void put(void *record, size_t off, const Bytes &b) {
    std::memcpy(static_cast<unsigned char *>(record) + off, b.data(), b.size());
}

// What a pointer field looks like to the node: its native bytes.
Bytes addr_bytes(const void *p) {
    uintptr_t v = reinterpret_cast<uintptr_t>(p);
    return at(&v, 0, sizeof v);
}

VCB zeroed() {
    VCB v;
    std::memset(&v, 0, sizeof v);
    return v;
}

// The node copies a record by bytes; a second VCB built from the image must
// give back the same address.
template <class Get> void expect_round_trip(const VCB &v, Get get, const void *want) {
    VCB copy;
    std::memcpy(copy.raw, v.raw, sizeof copy.raw);
    EXPECT_EQ(get(copy), want);
}

}  // namespace

TEST(VerbHeader, FieldsLandAtTheirOffsets) {
    VCB v = zeroed();
    v.hdr.opcode = AP_SEND_DATA;
    v.hdr.conv_type = 1;
    v.hdr.format = 1;
    std::memcpy(v.hdr.tp_id, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    v.hdr.conv_id = 0x11223344u;
    EXPECT_EQ(at(&v, 0, 4), (Bytes{0x0F, 0x00, 0x01, 0x01}));
    EXPECT_EQ(at(&v, 12, 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(at(&v, 20, 4), (Bytes{0x44, 0x33, 0x22, 0x11}));
}

TEST(VerbHeader, ReturnCodesAreComparedUnconverted) {
    VCB v = zeroed();
    put(&v, 4, {0x00, 0x03});              // primary 0x0300 as the node stores it
    put(&v, 8, {0x10, 0x08, 0x60, 0x34});  // secondary 0x34600810
    EXPECT_EQ(v.hdr.primary_rc, 0x0300);
    EXPECT_EQ(v.hdr.secondary_rc, 0x34600810u);
    // Every record reads the same return codes, whatever its header form.
    EXPECT_EQ(v.send.hdr.primary_rc, 0x0300);
    EXPECT_EQ(v.rcvallcp.rcv_alloc.hdr.primary_rc, 0x0300);
    EXPECT_EQ(v.tp_started.hdr.secondary_rc, 0x34600810u);
}

TEST(ConversationSetup, AllocateCarriesTheCharacteristics) {
    VCB v = zeroed();
    v.alloc.hdr.opcode = NAP_B_ALLOCATE;
    v.alloc.hdr.format = AP_FORMAT_ALLOCATE;
    v.alloc.sync_level = 2;
    v.alloc.rtn_ctl = 1;
    std::memcpy(v.alloc.plu_alias, "PLUALIAS", 8);
    std::memcpy(v.alloc.mode_name, "\xD4\xD6\xC4\xC5\x40\x40\x40\x40", 8);
    std::memset(v.alloc.tp_name, 0x40, 64);
    v.alloc.tp_name[0] = 0xE3;
    v.alloc.security = 5;
    std::memcpy(v.alloc.pwd, "PASSWORD12", 10);
    std::memcpy(v.alloc.user_id, "USERID7890", 10);
    std::memcpy(v.alloc.fqplu_name, "NETA\x4BLUB\x40\x40\x40\x40\x40\x40\x40\x40\x40", 17);
    EXPECT_EQ(at(&v, 0, 4), (Bytes{0x01, 0x00, 0x00, 0x01}));
    EXPECT_EQ(at(&v, 25, 4), (Bytes{2, 0, 0, 1}));
    EXPECT_EQ(at(&v, 40, 8), str("PLUALIAS"));
    EXPECT_EQ(at(&v, 48, 4), (Bytes{0xD4, 0xD6, 0xC4, 0xC5}));
    EXPECT_EQ(at(&v, 56, 2), (Bytes{0xE3, 0x40}));
    EXPECT_EQ(at(&v, 119, 2), (Bytes{0x40, 5}));
    EXPECT_EQ(at(&v, 132, 20), str("PASSWORD12USERID7890"));
    EXPECT_EQ(at(&v, 160, 6), (Bytes{0, 'N', 'E', 'T', 'A', 0x4B}));
    EXPECT_EQ(at(&v, 177, 2), (Bytes{0x40, 0}));

    put(&v, 20, {0x78, 0x56, 0x34, 0x12});  // the node's conversation id
    EXPECT_EQ(v.alloc.hdr.conv_id, 0x12345678u);
}

TEST(DataFlow, SendDataPassesLengthBufferAndKind) {
    unsigned char buffer[16] = {};
    VCB v = zeroed();
    v.send.data_len = 32767;
    v.send.data_addr = buffer;
    v.send.send_kind = 6;
    EXPECT_EQ(at(&v, 26, 2), (Bytes{0xFF, 0x7F}));
    const size_t addr = kI386 ? 28 : 32, kind = kI386 ? 32 : 40;
    EXPECT_EQ(at(&v, addr, sizeof(void *)), addr_bytes(buffer));
    EXPECT_EQ(v.raw[kind], 6);
    expect_round_trip(v, [](const VCB &c) { return c.send.data_addr; }, buffer);
    put(&v, 24, {1});
    EXPECT_EQ(v.send.rts_ind, 1);
}

TEST(DataFlow, ReceiveSplitsTheNodeOutputs) {
    unsigned char buffer[16] = {};
    VCB v = zeroed();
    v.rcv.hdr.opcode = NAP_RECEIVE_IMMEDIATE;
    v.rcv.fill_ind = 1;
    v.rcv.requested_len = 0x1234;
    v.rcv.data_addr = buffer;
    EXPECT_EQ(v.raw[27], 1);
    EXPECT_EQ(at(&v, 30, 2), (Bytes{0x34, 0x12}));
    EXPECT_EQ(at(&v, kI386 ? 36 : 40, sizeof(void *)), addr_bytes(buffer));
    expect_round_trip(v, [](const VCB &c) { return c.rcv.data_addr; }, buffer);

    put(&v, 24, {0x04, 0x02, 1});  // complete data with confirm-deallocate
    put(&v, 28, {1});
    put(&v, 32, {0x10, 0x00});
    EXPECT_EQ(v.rcv.data_status_ind, 0x0204);
    EXPECT_EQ(v.rcv.status_with_data, 1);
    EXPECT_EQ(v.rcv.rts_ind, 1);
    EXPECT_EQ(v.rcv.data_len, 16);
}

TEST(Inbound, ReceiveAllocateOffersTheNameListAndReadsThePartner) {
    unsigned char names[2 * 64] = {};
    VCB v = zeroed();
    v.rcvallcp.rcv_alloc.hdr.opcode = NAP_RECEIVE_ALLOCATE_CPIC;
    v.rcvallcp.rcv_alloc.hdr.format = AP_FORMAT_ALLOCATE;
    v.rcvallcp.rcv_alloc.conv_id = 7;  // the CCCB handle
    v.rcvallcp.tp_name_count = 2;
    v.rcvallcp.tp_name_list = names;
    EXPECT_EQ(at(&v, 0, 4), (Bytes{0x00, 0xF1, 0x00, 0x01}));
    EXPECT_EQ(at(&v, 84, 4), (Bytes{7, 0, 0, 0}));
    EXPECT_EQ(at(&v, 192, 4), (Bytes{2, 0, 0, 0}));
    EXPECT_EQ(at(&v, kI386 ? 196 : 200, sizeof(void *)), addr_bytes(names));
    expect_round_trip(v, [](const VCB &c) { return c.rcvallcp.tp_name_list; }, names);

    put(&v, 12, str("TPNAME"));
    put(&v, 76, {1, 2, 3, 4, 5, 6, 7, 8, 0x21, 0, 0, 0, 1, 0});
    put(&v, 90, str("USER      LUALIAS "));
    put(&v, 116, str("MODENAME"));
    put(&v, 132, str("NETA.LUB"));
    const VCB_RCV_ALLOC &r = v.rcvallcp.rcv_alloc;
    EXPECT_EQ(at(r.tp_name, 0, 6), str("TPNAME"));
    EXPECT_EQ(at(r.tp_id, 0, 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(r.conv_id, 0x21u);
    EXPECT_EQ(r.sync_level, 1);
    EXPECT_EQ(r.conv_type, 0);
    EXPECT_EQ(at(r.user_id, 0, 10), str("USER      "));
    EXPECT_EQ(at(r.lu_alias, 0, 8), str("LUALIAS "));
    EXPECT_EQ(at(r.mode_name, 0, 8), str("MODENAME"));
    EXPECT_EQ(at(r.fqplu_name, 0, 8), str("NETA.LUB"));
}

TEST(SideInformation, QueryCarriesNameAndAnswerBuffer) {
    NOF_SIDE_INFO_ANSWER answer;
    NOF_QUERY_RECORD q;
    std::memset(&q, 0, sizeof q);
    q.hdr.opcode = NOF_QUERY_SIDE_INFO;
    q.hdr.format = NOF_QUERY_FORMAT;
    q.buf_addr = &answer;
    q.buf_size = NOF_ANSWER_OFFERED;
    q.num_entries = NOF_QUERY_ONE_ENTRY;
    q.node_byte28 = NOF_QUERY_BYTE28;
    std::memcpy(q.sym_dest_name, "SYMDEST1", 8);
    EXPECT_EQ(at(&q, 0, 4), (Bytes{0x21, 0x21, 0, 1}));
    const size_t shift = kI386 ? 0 : 8;  // what follows the address moves
    EXPECT_EQ(at(&q, 12 + (kI386 ? 0 : 4), sizeof(void *)), addr_bytes(&answer));
    EXPECT_EQ(at(&q, 16 + shift, 4), (Bytes{212, 0, 0, 0}));
    EXPECT_EQ(at(&q, 24 + shift, 2), (Bytes{1, 0}));
    EXPECT_EQ(at(&q, 28 + shift, 1), (Bytes{4}));
    EXPECT_EQ(at(&q, 30 + shift, 8), str("SYMDEST1"));

    put(&q, 4, {0x00, 0x02});
    put(&q, 8, {0x00, 0x00, 0x10, 0x58});
    EXPECT_EQ(q.hdr.primary_rc, NOF_NO_SUCH_NAME_PRIMARY);
    EXPECT_EQ(q.hdr.secondary_rc, NOF_NO_SUCH_NAME_SECONDARY);
}


