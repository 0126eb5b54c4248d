// SPDX-License-Identifier: Apache-2.0
// The LU 6.2 core without any driver: its message encoder round-trips
// every message and refuses malformed ones, and the core's own duties that
// no program sees through the CPI-C calls (log records, attach timeouts,
// malformed input, verbs issued from callbacks, cancel, messages that
// cross) hold. The conversation rules (fill-buffer receives, request to
// send and attach security among them) are checked end to end in
// test_conversations.
#include <deque>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "node/verb_records.h"
#include "zorvel/lu62_core.h"
#include "zorvel/verb_codec.h"

namespace {

using namespace zv;
using namespace zv::lu62;
using codec::DataInd;
using codec::SendKind;
using codec::StateCode;
using codec::StatusInd;

// ---- Messages ------------------------------------------------------------------

Message msg(uint32_t session, bool to_primary, std::initializer_list<bool Rh::*> bits = {}, Bytes data = {}) {
    Message m;
    m.session = session;
    m.to_primary = to_primary;
    for (bool Rh::*bit : bits) m.rh.*bit = true;
    m.data = std::move(data);
    return m;
}

// One of each kind of message, with every field that kind carries set.
std::vector<Message> every_message() {
    const Bytes log{0x00, 0x0B, 0x12, 0xE1, 0x00, 0x02, 0x00, 0x05, 0xC1, 0xC2, 0xC3};
    std::vector<Message> v{
        msg(7, false, {&Rh::begin_bracket, &Rh::begin_chain}),
        msg(1, false, {&Rh::begin_chain, &Rh::end_chain, &Rh::conditional_end_bracket}, {0x00, 0x03, 0x41}),
        msg(0xFFFFFFFF, true, {&Rh::begin_chain}, Bytes(kMaxRu, 0x5A)),
        msg(2, false, {&Rh::end_chain, &Rh::change_direction}),
        msg(3, true, {&Rh::end_chain, &Rh::definite_response}, {0x00, 0x02}),
        msg(3, true,
            {&Rh::end_chain, &Rh::definite_response, &Rh::conditional_end_bracket, &Rh::exception_response},
            {0x00, 0x02}),
        msg(4, false, {&Rh::end_bracket, &Rh::end_chain}),
        msg(5, false),                                                     // error
        msg(5, true, {&Rh::conditional_end_bracket, &Rh::end_chain}, log), // error with log data
        msg(6, true, {&Rh::response}),                                     // positive response
        msg(6, false, {&Rh::response, &Rh::sense}),                        // negative response
        msg(8, true, {&Rh::dfc}),                                          // signal
    };
    v[0].attach = Attach{1, 1, 2, "PAYROLL_TP", "ALICE", "s3cr3t", "#INTER", "NET.LUA", "NET.LUB"};
    v[1].attach = Attach{0, 0, 0, "T", "", "", "", "", ""};
    v[7].error = ErrorFmh{sense::kProgramErrorTrunc};
    v[8].error = ErrorFmh{sense::kDeallocAbendProgram};
    v[10].sense = sense::kErrorInfoFollows;
    v[11].signal = kSignalRequestToSend;
    return v;
}

TEST(Lu62Messages, EveryMessageRoundTripsAndNoPrefixDecodes) {
    for (Message m : every_message()) {
        m.rh.fmh = m.attach || m.error; // the encoder derives it
        const Bytes b = encode(m);
        const auto back = decode(b.data(), b.size());
        ASSERT_TRUE(back.has_value()) << "message of " << b.size() << " bytes";
        EXPECT_TRUE(*back == m) << "message of " << b.size() << " bytes";
        for (size_t n = 0; n < b.size(); ++n)
            EXPECT_FALSE(decode(b.data(), n).has_value()) << n << " of " << b.size();
    }
}

// The request header bits sit where SNA puts them.
TEST(Lu62Messages, RequestHeaderBitPositions) {
    struct Case {
        bool Rh::*bit;
        size_t byte;
        uint8_t mask;
    } const cases[] = {
        {&Rh::begin_chain, 0, 0x02},       {&Rh::end_chain, 0, 0x01},
        {&Rh::definite_response, 1, 0x80}, {&Rh::exception_response, 1, 0x10},
        {&Rh::begin_bracket, 2, 0x80},     {&Rh::end_bracket, 2, 0x40},
        {&Rh::change_direction, 2, 0x20},  {&Rh::conditional_end_bracket, 2, 0x01},
    };
    for (const Case &c : cases) {
        Message m = msg(1, false);
        m.rh.*c.bit = true;
        const Bytes b = encode(m);
        ASSERT_EQ(b.size(), 10u);
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(b[7 + i], i == c.byte ? c.mask : 0) << "byte " << i << " mask " << int(c.mask);
    }
    Message fmh = msg(1, false);
    fmh.error = ErrorFmh{sense::kProgramError};
    EXPECT_EQ(encode(fmh)[7], 0x08) << "FM header follows";
    Message neg = msg(1, false);
    neg.rh.response = true;
    neg.sense = sense::kErrorInfoFollows;
    EXPECT_EQ(encode(neg)[7], 0x80 | 0x04) << "response with sense data";
}

TEST(Lu62Messages, MalformedFramesAreRefused) {
    Bytes good = encode(every_message()[0]);
    struct Case {
        size_t at;
        uint8_t value;
    } const cases[] = {
        {6, 2},     {7, 0x20},  {9, 0x02}, // direction byte, unknown RH bits
        {11, 0x06}, {12, 0x03},            // FMH type, attach command
        {15, 3},    {16, 0xD5}, {17, 2},   // security indicator, resource type, sync level
    };
    for (const Case &c : cases) {
        Bytes b = good;
        b[c.at] = c.value;
        EXPECT_FALSE(decode(b.data(), b.size()).has_value()) << "byte " << c.at;
    }
}

TEST(Lu62Messages, GdsRecordsSurviveAnySplit) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{32763}, size_t{32764}, size_t{70000}}) {
        Bytes rec(n);
        for (size_t i = 0; i < n; ++i) rec[i] = static_cast<uint8_t>(i * 7);
        Bytes stream;
        append_gds_record(stream, rec.data(), rec.size());
        append_gds_record(stream, rec.data(), std::min<size_t>(3, n));
        for (size_t step : {size_t{1}, size_t{4096}, stream.size()}) {
            GdsReader r;
            std::vector<Bytes> out;
            for (size_t at = 0; at < stream.size(); at += step)
                ASSERT_TRUE(r.feed(stream.data() + at, std::min(step, stream.size() - at), out));
            ASSERT_EQ(out.size(), 2u) << n << " split " << step;
            EXPECT_EQ(out[0], rec);
            EXPECT_EQ(out[1], Bytes(rec.begin(), rec.begin() + std::min<size_t>(3, n)));
        }
    }
}

// Octal escapes: "\0\5abc" is a record of five bytes.
TEST(Lu62Messages, LogicalRecordScanner) {
    struct Case {
        const char *bytes;
        size_t n;
        bool bad, boundary;
    } const cases[] = {
        {"\0\2", 2, false, true},      {"\0\5abc", 5, false, true},       {"\0\5ab", 4, false, false},
        {"\0", 1, false, false},       {"\200\4ab\0\3c", 7, false, true}, // continued record
        {"\200\4ab", 4, false, false}, {"\0\0", 2, true, false},          {"\0\1", 2, true, false},
        {"\200\0", 2, true, false},    {"\200\1", 2, true, false},
    };
    for (const Case &c : cases) {
        LlScanner s;
        bool ended = false, bad = false;
        s.advance(reinterpret_cast<const uint8_t *>(c.bytes), c.n, false, ended, bad);
        EXPECT_EQ(bad, c.bad) << c.n;
        EXPECT_TRUE(c.bad || s.at_boundary() == c.boundary) << c.n;
    }
}

// ---- The codec ---------------------------------------------------------------------

// Return codes land most significant byte first, so the library reads the
// documented host-order values.
TEST(VerbCodec, ResultsLandWhereTheLibraryReadsThem) {
    VCB v{};
    v.rcv.hdr.opcode = AP_RECEIVE_AND_WAIT;
    v.rcv.fill_ind = 1;
    v.rcv.requested_len = 9;
    uint8_t buffer[9];
    v.rcv.data_addr = buffer;
    const codec::Verb verb = codec::decode(&v, sizeof v);
    const auto *r = std::get_if<codec::Receive>(&verb);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->fill_ll);
    EXPECT_EQ(r->requested, 9);
    EXPECT_EQ(r->buffer, buffer);
    codec::Result res;
    res.primary = primary::kAllocationError;
    res.secondary = sense::kTpnNotRecognized;
    res.data = DataInd::kComplete;
    res.status = StatusInd::kConfirmDealloc;
    res.rts = true;
    res.data_length = 7;
    codec::store(&v, sizeof v, verb, res);
    EXPECT_EQ(v.hdr.primary_rc, 0x0300);
    EXPECT_EQ(v.hdr.secondary_rc, 0x21600810u);
    EXPECT_EQ(v.rcv.data_status_ind, 0x0204);
    EXPECT_EQ(v.rcv.rts_ind, 1);
    EXPECT_EQ(v.rcv.data_len, 7);
}

// ---- The core --------------------------------------------------------------------

NodeConfig two_lus() {
    NodeConfig c;
    c.local_lus = {{"LUA", "NET.LUA", true}, {"LUB", "NET.LUB", false}};
    c.tps = {TpDefinition{"QUICK", ConvTypeRule::kEither, SyncLevelRule::kEither, false, 50, {}, {}, 0}};
    return c;
}

codec::Conv conv(const codec::Result &tp, uint32_t id, uint8_t type) {
    codec::Conv c;
    c.tp_id = tp.tp_id;
    c.conv_id = id;
    c.conv_type = type;
    return c;
}

// One core whose messages wait on a wire until pump() hands them back, so a
// test sees what one half-session gave the other.
class Node {
  public:
    explicit Node(NodeConfig config = two_lus())
        : core(std::move(config), Callbacks{[this](const Bytes &f) { wire.push_back(f); },
                                            [this](Token t, const codec::Result &r, bool) { done_[t] = r; },
                                            [this](const LogRecord &l) { logs.push_back(l); }}) {}
    Token submit(const codec::Verb &v) {
        core.submit(++last_, v, now);
        return last_;
    }
    std::optional<codec::Result> result(Token t) {
        auto node = done_.extract(t);
        return node ? std::optional<codec::Result>(node.mapped()) : std::nullopt;
    }
    codec::Result run(const codec::Verb &v) { return result(submit(v)).value_or(codec::Result{}); }
    void pump() {
        while (!wire.empty()) {
            const Bytes f = wire.front();
            wire.pop_front();
            core.receive(f, now);
        }
    }
    // A conversation from a TP at LUA to SRV at LUB, accepted; the accept
    // reports what the allocator asked for.
    void open(uint8_t type) {
        a = run(codec::StartTp{"LUA", "CLIENT"});
        run(codec::RegisterTpName{"SRV"});
        const Token accept = submit(codec::ReceiveAllocate{{"SRV"}, 77});
        const codec::Allocate al{conv(a, 0, type), 1, 0, "LUB", "", "#INTER", "SRV", 0, "", ""};
        ca = conv(a, run(al).conv_id, type);
        run(codec::Flush{ca});
        pump();
        b = result(accept).value_or(codec::Result{});
        ASSERT_EQ(b.primary, 0);
        EXPECT_EQ(b.lu_alias, "LUB");
        EXPECT_EQ(b.partner_lu, "NET.LUA");
        EXPECT_EQ(b.mode_name, "#INTER");
        EXPECT_EQ(b.conv_type, type);
        EXPECT_EQ(b.sync_level, 1);
        cb = conv(b, b.conv_id, type);
    }
    // A receive-immediate on B's end.
    codec::Result b_receive_now() {
        uint8_t buf[8];
        return run(codec::Receive{cb, true, true, sizeof buf, buf});
    }

    uint64_t now = 1000;
    codec::Result a, b; // the two TPs
    codec::Conv ca, cb; // their ends of the conversation
    std::deque<Bytes> wire;
    std::vector<LogRecord> logs;

  private:
    std::map<Token, codec::Result> done_;
    Token last_ = 0;

  public:
    Core core; // last: its callbacks reach the members above
};

TEST(Lu62Core, LogDataIsLoggedByTheReceivingNodeNamingItsConversation) {
    Node n;
    n.open(0);
    const std::string log("\x00\x0B\x12\xE1\x00\x02\x00\x05\xC1\xC2\xC3", 11);
    n.run(codec::SendError{n.ca, true, Bytes(log.begin(), log.end())});
    n.run(codec::Flush{n.ca});
    n.pump();
    ASSERT_EQ(n.logs.size(), 1u);
    EXPECT_EQ(n.logs[0].conv_id, n.cb.conv_id);
    EXPECT_EQ(n.logs[0].sense, sense::kProgramError);
    EXPECT_EQ(n.logs[0].log_data, Bytes(log.begin(), log.end()));
}

// What cannot be decoded is counted and dropped; so is mapped data that is
// not a GDS stream. A good message for a session nobody knows is dropped
// uncounted. None of it disturbs the conversation.
TEST(Lu62Core, MalformedMessagesAreCountedAndDropped) {
    Bytes truncated = encode(every_message()[0]);
    truncated.pop_back();
    struct Case {
        const char *what;
        Bytes frame; // empty: A's own data message with its RU replaced
        uint32_t counted;
    } const cases[] = {
        {"garbage", {0x00, 0x01, 0xFF}, 1},
        {"truncated attach", truncated, 1},
        {"unknown session", encode(msg(999, true, {}, {0x00, 0x03, 0x41})), 0},
        {"mapped data not in GDS form", {}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Node n;
        n.open(1);
        Bytes frame = c.frame;
        if (frame.empty()) {
            const uint8_t x = 'x';
            n.run(codec::SendData{n.ca, &x, 1, SendKind::kFlush});
            ASSERT_EQ(n.wire.size(), 1u);
            Message m = decode(n.wire.front().data(), n.wire.front().size()).value();
            n.wire.clear();
            m.data = {0x00, 0x05, 0x12, 0x34, 0x41};
            frame = encode(m);
        }
        n.core.receive(frame, n.now);
        EXPECT_EQ(n.core.malformed_messages(), c.counted);
        EXPECT_EQ(n.core.state_of(n.cb.conv_id), StateCode::kReceive);
        EXPECT_EQ(n.b_receive_now().primary, primary::kUnsuccessful) << "nothing was delivered";
    }
}

TEST(Lu62Core, AQueuedAttachWaitsForAnAcceptorUntilItsTimeout) {
    Node n;
    const codec::Result tp = n.run(codec::StartTp{"", "CLIENT"});
    EXPECT_EQ(tp.lu_alias, "LUA") << "the default LU";
    codec::Allocate a{conv(tp, 0, 1), 0, 0, "LUA", "", "", "QUICK", 0, "", ""};
    const uint32_t quick = n.run(a).conv_id;
    a.tp_name = "SRV"; // registered now, accepted later
    n.run(codec::RegisterTpName{"SRV"});
    const uint32_t srv = n.run(a).conv_id;
    n.run(codec::Flush{conv(tp, quick, 1)});
    n.run(codec::Flush{conv(tp, srv, 1)});
    n.pump();
    EXPECT_EQ(n.core.queued_attaches(), 2u);
    EXPECT_EQ(n.core.next_deadline(), std::optional<uint64_t>(n.now + 50));
    n.core.tick(n.now + 49);
    EXPECT_EQ(n.core.queued_attaches(), 2u);
    n.core.tick(n.now + 50);
    n.pump();
    EXPECT_EQ(n.core.queued_attaches(), 1u);
    codec::Receive r;
    r.conv = conv(tp, quick, 1);
    const codec::Result rr = n.run(r);
    EXPECT_EQ(rr.primary, primary::kAllocationError);
    EXPECT_EQ(rr.secondary, sense::kTpNotAvailableRetry);
    // The other attach is taken by the next receive-allocate at once.
    const codec::Result acc = n.run(codec::ReceiveAllocate{{"OTHER", "SRV"}, 9});
    EXPECT_EQ(acc.primary, 0);
    EXPECT_EQ(acc.tp_name, "SRV");
    EXPECT_EQ(n.core.queued_attaches(), 0u);
    EXPECT_EQ(n.core.next_deadline(), std::nullopt);
    // Withdrawing a name nobody registered is refused.
    EXPECT_EQ(n.run(codec::WithdrawTpName{"SRV"}).primary, 0);
    EXPECT_EQ(n.run(codec::WithdrawTpName{"SRV"}).primary, primary::kParameterCheck);
}

// Cancel ends the verb waiting on the conversation, and the partner learns
// of it as an abend; an accept in progress is cancelled by its handle.
TEST(Lu62Core, CancelEndsTheWaitingVerbAndTheConversation) {
    Node n;
    n.open(1);
    uint8_t buf[8];
    const Token waiting = n.submit(codec::Receive{n.cb, false, true, sizeof buf, buf});
    EXPECT_FALSE(n.result(waiting).has_value());
    EXPECT_EQ(n.run(codec::Cancel{n.cb}).primary, 0);
    EXPECT_EQ(n.result(waiting).value_or(codec::Result{}).primary, primary::kCancelled);
    EXPECT_EQ(n.core.state_of(n.cb.conv_id), std::nullopt);
    n.pump();
    const uint8_t x = 'x';
    EXPECT_EQ(n.run(codec::SendData{n.ca, &x, 1, SendKind::kFlush}).primary, primary::kDeallocAbend);
    EXPECT_EQ(n.core.conversations(), 0u);

    const Token accept = n.submit(codec::ReceiveAllocate{{"SRV"}, 42});
    EXPECT_EQ(n.core.waiting_accepts(), 1u);
    codec::Conv handle;
    handle.conv_id = 42;
    EXPECT_EQ(n.run(codec::Cancel{handle}).primary, 0);
    EXPECT_EQ(n.result(accept).value_or(codec::Result{}).primary, primary::kCancelled);
    EXPECT_EQ(n.core.waiting_accepts(), 0u);
}

// The receiver's Send_Error crosses the sender's prepare-to-receive: the
// sender, receiving by then, still learns of it on its next receive.
TEST(Lu62Core, SendErrorCrossingAChangeOfDirectionReachesTheFormerSender) {
    Node n;
    n.open(0);
    EXPECT_EQ(n.run(codec::PrepareToReceive{n.ca, true}).primary, 0);
    EXPECT_EQ(n.run(codec::SendError{n.cb, false, {}}).primary, 0);
    n.run(codec::Flush{n.cb});
    n.pump();
    uint8_t buf[8];
    EXPECT_EQ(n.run(codec::Receive{n.ca, true, true, sizeof buf, buf}).primary,
              primary::kProgramErrorPurging);
}

// A completion that issues the next verb is queued, not run inside.
TEST(Lu62Core, VerbsFromInsideACompletionRunAfterIt) {
    Core *core = nullptr;
    std::vector<Token> order;
    bool inside = false;
    bool nested = false;
    Core c(NodeConfig{}, Callbacks{[](const Bytes &) {},
                                   [&](Token t, const codec::Result &, bool) {
                                       nested = nested || inside;
                                       inside = true;
                                       order.push_back(t);
                                       if (t == 1) core->submit(2, codec::StartTp{"", "B"}, 0);
                                       inside = false;
                                   },
                                   [](const LogRecord &) {}});
    core = &c;
    c.submit(1, codec::StartTp{"", "A"}, 0);
    EXPECT_EQ(order, (std::vector<Token>{1, 2}));
    EXPECT_FALSE(nested);
    EXPECT_EQ(c.tp_instances(), 2u);
}

} // namespace
