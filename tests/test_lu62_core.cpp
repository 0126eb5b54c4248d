// The LU 6.2 core without any driver: its message encoder round-trips
// every message, and tables of steps hold a conversation between two
// half-sessions by handing each the other's bytes.
#include <crypt.h>
#include <cstring>
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

Message msg(uint32_t session, bool to_primary)
{
    Message m;
    m.session = session;
    m.to_primary = to_primary;
    return m;
}

std::vector<Message> every_message()
{
    std::vector<Message> v;
    Message attach = msg(7, false);
    attach.attach = Attach{1, 1, 2, "PAYROLL_TP", "ALICE", "s3cr3t", "#INTER", "NET.LUA", "NET.LUB"};
    attach.rh.begin_bracket = attach.rh.begin_chain = true;
    v.push_back(attach);
    Message minimal = msg(1, false);
    minimal.attach = Attach{0, 0, 0, "T", "", "", "", "", ""};
    minimal.data = {0x00, 0x03, 0x41};
    minimal.rh.begin_chain = minimal.rh.end_chain = minimal.rh.conditional_end_bracket = true;
    v.push_back(minimal);
    Message data = msg(0xFFFFFFFF, true);
    data.data.assign(kMaxRu, 0x5A);
    data.rh.begin_chain = true;
    v.push_back(data);
    Message empty = msg(2, false);
    empty.rh.end_chain = empty.rh.change_direction = true;
    v.push_back(empty);
    Message confirm = msg(3, true);
    confirm.data = {0x00, 0x02};
    confirm.rh.end_chain = confirm.rh.definite_response = true;
    v.push_back(confirm);
    Message confirm_dealloc = confirm;
    confirm_dealloc.rh.conditional_end_bracket = true;
    confirm_dealloc.rh.exception_response = true;
    v.push_back(confirm_dealloc);
    Message bracket_end = msg(4, false);
    bracket_end.rh.end_bracket = bracket_end.rh.end_chain = true;
    v.push_back(bracket_end);
    Message error = msg(5, false);
    error.error = ErrorFmh{sense::kProgramErrorTrunc};
    v.push_back(error);
    Message error_log = msg(5, true);
    error_log.error = ErrorFmh{sense::kDeallocAbendProgram};
    error_log.data = {0x00, 0x0B, 0x12, 0xE1, 0x00, 0x02, 0x00, 0x05, 0xC1, 0xC2, 0xC3};
    error_log.rh.conditional_end_bracket = error_log.rh.end_chain = true;
    v.push_back(error_log);
    Message positive = msg(6, true);
    positive.rh.response = true;
    v.push_back(positive);
    Message negative = msg(6, false);
    negative.rh.response = negative.rh.sense = true;
    negative.sense = sense::kErrorInfoFollows;
    v.push_back(negative);
    Message signal = msg(8, true);
    signal.rh.dfc = true;
    signal.signal = kSignalRequestToSend;
    v.push_back(signal);
    return v;
}

TEST(Lu62Messages, EveryMessageRoundTripsAndNoPrefixDecodes)
{
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
TEST(Lu62Messages, RequestHeaderBitPositions)
{
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

TEST(Lu62Messages, MalformedFramesAreRefused)
{
    Bytes good = encode(every_message()[0]);
    struct Case {
        size_t at;
        uint8_t value;
    } const cases[] = {
        {6, 2},     // direction byte
        {7, 0x20},  // unknown RH bit
        {9, 0x02},  // unknown RH byte 2 bit
        {11, 0x06}, // FMH type
        {12, 0x03}, // attach command
        {15, 3},    // security indicator
        {16, 0xD5}, // resource type
        {17, 2},    // sync level
    };
    for (const Case &c : cases) {
        Bytes b = good;
        b[c.at] = c.value;
        EXPECT_FALSE(decode(b.data(), b.size()).has_value()) << "byte " << c.at;
    }
}

TEST(Lu62Messages, GdsRecordsSurviveAnySplit)
{
    for (size_t n : {size_t{0}, size_t{1}, size_t{32763}, size_t{32764}, size_t{70000}}) {
        Bytes rec(n);
        for (size_t i = 0; i < n; ++i)
            rec[i] = static_cast<uint8_t>(i * 7);
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

TEST(Lu62Messages, LogicalRecordScanner)
{
    struct Case {
        const char *bytes;
        size_t n;
        bool bad, boundary;
    } const cases[] = {
        {"\x00\x02", 2, false, true},
        {"\x00\x05" "abc", 5, false, true},
        {"\x00\x05" "ab", 4, false, false},
        {"\x00", 1, false, false},
        {"\x80\x04" "ab" "\x00\x03" "c", 7, false, true}, // continued record
        {"\x80\x04" "ab", 4, false, false},
        {"\x00\x00", 2, true, false},
        {"\x00\x01", 2, true, false},
        {"\x80\x00", 2, true, false},
        {"\x80\x01", 2, true, false},
    };
    for (const Case &c : cases) {
        LlScanner s;
        bool ended = false, bad = false;
        s.advance(reinterpret_cast<const uint8_t *>(c.bytes), c.n, false, ended, bad);
        EXPECT_EQ(bad, c.bad) << c.n;
        if (!c.bad) {
            EXPECT_EQ(s.at_boundary(), c.boundary) << c.n;
        }
    }
}

// ---- The codec ---------------------------------------------------------------------

// Return codes land most significant byte first, so the library reads the
// documented host-order values.
TEST(VerbCodec, ResultsLandWhereTheLibraryReadsThem)
{
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

    VCB a{};
    a.alloc.hdr.opcode = AP_B_ALLOCATE;
    a.alloc.sync_level = 1;
    a.alloc.security = 2;
    std::memcpy(a.alloc.tp_name, "\xE3\xD7\xF1\x6D\x40", 5);
    std::memset(a.alloc.tp_name + 5, 0x40, 59);
    std::memcpy(a.alloc.plu_alias, "LUB     ", 8);
    const codec::Verb av = codec::decode(&a, sizeof a);
    const auto *alloc = std::get_if<codec::Allocate>(&av);
    ASSERT_NE(alloc, nullptr);
    EXPECT_EQ(alloc->tp_name, "TP1_");
    EXPECT_EQ(alloc->partner_alias, "LUB");
    EXPECT_EQ(alloc->sync_level, 1);
    codec::Result ok;
    ok.conv_id = 0x1234;
    codec::store(&a, sizeof a, av, ok);
    EXPECT_EQ(a.hdr.conv_id, 0x1234u);
    EXPECT_EQ(a.hdr.primary_rc, 0);
}

// ---- Sessions ----------------------------------------------------------------------

// Two TPs of one core; the driver holds every message until a step passes
// it on, so each step sees exactly what one half-session gave the other.
class Pair {
public:
    explicit Pair(NodeConfig config = {})
        : core_(std::move(config), Callbacks{[this](const Bytes &f) { wire_.push_back(f); },
                                             [this](Token t, const codec::Result &r, bool) { done_[t] = r; },
                                             [this](const LogRecord &l) { logs_.push_back(l); }})
    {
    }

    codec::Result run(const codec::Verb &v, bool *parked = nullptr)
    {
        const Token t = ++last_;
        core_.submit(t, v, now_);
        const auto it = done_.find(t);
        if (parked)
            *parked = it == done_.end();
        if (it == done_.end()) {
            parked_ = t;
            return {};
        }
        codec::Result r = it->second;
        done_.erase(it);
        return r;
    }
    std::optional<codec::Result> parked_result()
    {
        const auto it = done_.find(parked_);
        if (it == done_.end())
            return std::nullopt;
        codec::Result r = it->second;
        done_.erase(it);
        return r;
    }
    Token parked_token() const { return parked_; }
    std::optional<codec::Result> result_of(Token t)
    {
        const auto it = done_.find(t);
        if (it == done_.end())
            return std::nullopt;
        codec::Result r = it->second;
        done_.erase(it);
        return r;
    }
    size_t pump()
    {
        size_t n = 0;
        while (!wire_.empty()) {
            const Bytes f = wire_.front();
            wire_.pop_front();
            core_.receive(f, now_);
            ++n;
        }
        return n;
    }
    Core &core() { return core_; }
    uint64_t &now() { return now_; }
    const std::vector<LogRecord> &logs() const { return logs_; }

private:
    Core core_;
    std::deque<Bytes> wire_;
    std::map<Token, codec::Result> done_;
    std::vector<LogRecord> logs_;
    Token last_ = 0, parked_ = 0;
    uint64_t now_ = 1000;
};

codec::Conv conv(const codec::Result &r, uint32_t id, uint8_t type)
{
    codec::Conv c;
    c.tp_id = r.tp_id;
    c.conv_id = id;
    c.conv_type = type;
    return c;
}

enum Side : uint8_t { A, B };
enum class Op : uint8_t {
    kSend,       // arg: send kind
    kReceive,    // arg: 1 fill LL, 0 fill buffer
    kReceiveNow, // immediate
    kFlush,
    kConfirm,
    kConfirmed,
    kPrepare,    // arg: 1 flush
    kRts,
    kTestRts,
    kSendError,  // data: log data
    kDealloc,    // arg: dealloc kind
    kEndTp,      // arg: 1 hard
    kCancel,
    kPump,       // the other half-session's bytes
    kParkedDone, // the side's parked verb has now completed as expected
    kState       // get-state: expect `state`
};

constexpr int kAny = -1;
constexpr int kGone = -2; // the conversation is no longer known

struct Step {
    Side side;
    Op op;
    int arg = 0;
    std::string data;      // sent, or expected received bytes
    uint16_t requested = 0; // receive
    int primary = 0;       // kAny: not checked
    bool parks = false;
    int data_ind = kAny, status = kAny, rts = kAny, state = kAny;
    uint32_t secondary = 0; // checked when nonzero
};

struct Scenario {
    const char *name;
    uint8_t conv_type, sync_level;
    std::vector<Step> steps;
};

std::string operator""_b(const char *p, size_t n) { return std::string(p, n); }

std::string ll(const std::string &body) // a basic record with its LL
{
    const size_t n = body.size() + 2;
    return std::string{static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)} + body;
}

Step send(Side s, SendKind k, std::string d, int p = 0) { return Step{s, Op::kSend, static_cast<int>(k), std::move(d), 0, p}; }
Step rcv(Side s, uint16_t req, int p, int ind, int st, std::string d = {}, bool ll_fill = true)
{
    Step x{s, Op::kReceive, ll_fill ? 1 : 0, std::move(d), req, p};
    x.data_ind = ind;
    x.status = st;
    return x;
}
Step rcv_now(Side s, uint16_t req, int p, int ind = kAny, int st = kAny, std::string d = {})
{
    Step x{s, Op::kReceiveNow, 1, std::move(d), req, p};
    x.data_ind = ind;
    x.status = st;
    return x;
}
Step op(Side s, Op o, int p = 0, int arg = 0) { return Step{s, o, arg, {}, 0, p}; }
Step parks(Step s)
{
    s.parks = true;
    return s;
}
Step done(Side s, int p, int ind = kAny, int st = kAny, std::string d = {})
{
    Step x{s, Op::kParkedDone, 0, std::move(d), 0, p};
    x.data_ind = ind;
    x.status = st;
    return x;
}
Step state(Side s, int st)
{
    Step x{s, Op::kState, 0, {}, 0, kAny};
    x.state = st;
    return x;
}
Step pump() { return Step{A, Op::kPump, 0, {}, 0, kAny}; }
Step with_rts(Step s, int r)
{
    s.rts = r;
    return s;
}
Step with_secondary(Step s, uint32_t sec)
{
    s.secondary = sec;
    return s;
}

constexpr int kComplete = static_cast<int>(DataInd::kComplete);
constexpr int kIncomplete = static_cast<int>(DataInd::kIncomplete);
constexpr int kData = static_cast<int>(DataInd::kData);
constexpr int kNoData = static_cast<int>(DataInd::kNone);
constexpr int kNone = static_cast<int>(StatusInd::kNone);
constexpr int kSendSt = static_cast<int>(StatusInd::kSend);
constexpr int kConfirmSt = static_cast<int>(StatusInd::kConfirm);
constexpr int kConfirmSendSt = static_cast<int>(StatusInd::kConfirmSend);
constexpr int kConfirmDeallocSt = static_cast<int>(StatusInd::kConfirmDealloc);
constexpr int kSendS = static_cast<int>(StateCode::kSend);
constexpr int kReceiveS = static_cast<int>(StateCode::kReceive);
constexpr int kSendPendingS = static_cast<int>(StateCode::kSendPending);
constexpr int kConfirmS = static_cast<int>(StateCode::kConfirm);
constexpr int kConfirmSendS = static_cast<int>(StateCode::kConfirmSend);
constexpr int kConfirmDeallocS = static_cast<int>(StateCode::kConfirmDeallocate);
constexpr int kCheck = primary::kStateCheck;
constexpr int kParam = primary::kParameterCheck;
constexpr int kNotNow = primary::kUnsuccessful;
constexpr int kPurging = primary::kProgramErrorPurging;

class Session {
public:
    Session(uint8_t type, uint8_t sync) : type_(type)
    {
        tp_a_ = pair_.run(codec::StartTp{"LOCAL", "CLIENT"});
        pair_.run(codec::RegisterTpName{"SRV"});
        bool parked = false;
        pair_.run(codec::ReceiveAllocate{{"SRV"}, 77}, &parked);
        accept_ = pair_.parked_token();
        codec::Allocate a;
        a.conv = conv(tp_a_, 0, type);
        a.sync_level = sync;
        a.partner_alias = "LOCAL";
        a.mode_name = "#INTER";
        a.tp_name = "SRV";
        conv_a_ = pair_.run(a).conv_id;
        // The attach leaves with the first flush.
        pair_.run(codec::Flush{conv(tp_a_, conv_a_, type)});
        pair_.pump();
        const auto acc = pair_.result_of(accept_);
        ok_ = parked && acc && acc->primary == 0;
        if (ok_) {
            tp_b_ = *acc;
            conv_b_ = acc->conv_id;
        }
    }
    bool ok() const { return ok_; }

    void step(const Step &s, size_t i)
    {
        SCOPED_TRACE(testing::Message() << "step " << i);
        const codec::Conv c =
            s.side == A ? conv(tp_a_, conv_a_, type_) : conv(tp_b_, conv_b_, type_);
        uint8_t buffer[512];
        std::memset(buffer, 0xEE, sizeof buffer);
        codec::Verb v;
        switch (s.op) {
        case Op::kPump:
            pair_.pump();
            return;
        case Op::kParkedDone: {
            const auto r = pair_.result_of(parked_[s.side]);
            ASSERT_TRUE(r.has_value()) << "the parked verb has not completed";
            check(s, *r, parked_buffer_[s.side]);
            return;
        }
        case Op::kState: {
            const auto st = pair_.core().state_of(c.conv_id);
            if (s.state == kGone)
                EXPECT_FALSE(st.has_value());
            else {
                ASSERT_TRUE(st.has_value());
                EXPECT_EQ(static_cast<int>(*st), s.state);
                const codec::Result r = pair_.run(codec::GetState{c});
                EXPECT_EQ(static_cast<int>(r.state), s.state);
            }
            return;
        }
        case Op::kSend:
            v = codec::SendData{c, reinterpret_cast<const uint8_t *>(s.data.data()),
                                static_cast<uint16_t>(s.data.size()), static_cast<SendKind>(s.arg)};
            break;
        case Op::kReceive:
        case Op::kReceiveNow: {
            codec::Receive r;
            r.conv = c;
            r.immediate = s.op == Op::kReceiveNow;
            r.fill_ll = s.arg == 1;
            r.requested = s.requested;
            r.buffer = s.side == A ? parked_buffer_store_[A] : parked_buffer_store_[B];
            std::memset(r.buffer, 0xEE, 512);
            v = r;
            break;
        }
        case Op::kFlush:
            v = codec::Flush{c};
            break;
        case Op::kConfirm:
            v = codec::Confirm{c};
            break;
        case Op::kConfirmed:
            v = codec::Confirmed{c};
            break;
        case Op::kPrepare:
            v = codec::PrepareToReceive{c, s.arg == 1};
            break;
        case Op::kRts:
            v = codec::RequestToSend{c};
            break;
        case Op::kTestRts:
            v = codec::TestRts{c};
            break;
        case Op::kSendError:
            v = codec::SendError{c, true, Bytes(s.data.begin(), s.data.end())};
            break;
        case Op::kDealloc:
            v = codec::Deallocate{c, static_cast<codec::DeallocKind>(s.arg), {}};
            break;
        case Op::kEndTp:
            v = codec::EndTp{c.tp_id, s.arg == 1};
            break;
        case Op::kCancel:
            v = codec::Cancel{c};
            break;
        }
        bool parked = false;
        const codec::Result r = pair_.run(v, &parked);
        ASSERT_EQ(parked, s.parks) << "op " << int(s.op) << " side " << int(s.side);
        if (parked) {
            parked_[s.side] = pair_.parked_token();
            parked_buffer_[s.side] = parked_buffer_store_[s.side];
            return;
        }
        check(s, r, parked_buffer_store_[s.side]);
    }

    void check(const Step &s, const codec::Result &r, const uint8_t *buffer)
    {
        if (s.primary != kAny) {
            EXPECT_EQ(r.primary, s.primary) << std::hex << "secondary " << r.secondary;
        }
        if (s.secondary) {
            EXPECT_EQ(r.secondary, s.secondary);
        }
        if (s.data_ind != kAny) {
            EXPECT_EQ(static_cast<int>(r.data), s.data_ind);
        }
        if (s.status != kAny) {
            EXPECT_EQ(static_cast<int>(r.status), s.status);
        }
        if (s.rts != kAny) {
            EXPECT_EQ(r.rts, s.rts == 1);
        }
        if ((s.op == Op::kReceive || s.op == Op::kReceiveNow || s.op == Op::kParkedDone) &&
            s.data_ind != kAny && s.data_ind != kNoData) {
            EXPECT_EQ(r.data_length, s.data.size());
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(buffer), r.data_length), s.data);
        }
    }

    Pair &pair() { return pair_; }
    uint32_t conv_b() const { return conv_b_; }

private:
    Pair pair_;
    uint8_t type_;
    codec::Result tp_a_, tp_b_;
    uint32_t conv_a_ = 0, conv_b_ = 0;
    Token accept_ = 0;
    bool ok_ = false;
    Token parked_[2] = {};
    uint8_t parked_buffer_store_[2][512] = {};
    const uint8_t *parked_buffer_[2] = {};
};

constexpr uint8_t kBasic = 0, kMapped = 1, kSyncNone = 0, kSyncConfirm = 1;
constexpr int kDeallocFlush = static_cast<int>(codec::DeallocKind::kFlush);
constexpr int kDeallocSync = static_cast<int>(codec::DeallocKind::kSyncLevel);
constexpr int kAbendBasic = static_cast<int>(codec::DeallocKind::kAbendBasic);
constexpr int kAbendMapped = static_cast<int>(codec::DeallocKind::kAbendMapped);

const std::vector<Scenario> &scenarios()
{
    static const std::vector<Scenario> s = {
        {"buffered data waits for confirm; confirmed", kBasic, kSyncConfirm, {
            send(A, SendKind::kBuffer, ll("abc")), pump(),
            rcv_now(B, 100, kNotNow),
            parks(op(A, Op::kConfirm)), pump(), state(A, kSendS),
            rcv(B, 100, 0, kComplete, kConfirmSt, ll("abc")), state(B, kConfirmS),
            op(B, Op::kTestRts, kCheck),
            op(B, Op::kConfirmed), state(B, kReceiveS), pump(),
            done(A, 0), state(A, kSendS)}},
        {"prepare to receive: data with SEND_RECEIVED; deallocate flush", kBasic, kSyncConfirm, {
            send(A, SendKind::kFlush, ll("rec")), op(A, Op::kPrepare, 0, 1), state(A, kReceiveS), pump(),
            rcv(B, 100, 0, kComplete, kSendSt, ll("rec")), state(B, kSendPendingS),
            send(B, SendKind::kBuffer, ll("back")), state(B, kSendS),
            op(B, Op::kDealloc, 0, kDeallocFlush), state(B, kGone), pump(),
            rcv(A, 100, 0, kComplete, kNone, ll("back")),
            rcv(A, 100, primary::kDeallocNormal, kAny, kAny), state(A, kGone)}},
        {"receive-and-wait in Send changes direction", kBasic, kSyncNone, {
            parks(rcv(A, 100, 0, kAny, kAny)), state(A, kReceiveS), pump(),
            rcv(B, 100, 0, kNoData, kSendSt), state(B, kSendS),
            send(B, SendKind::kPrepareSyncLevel, ll("answer")), pump(),
            done(A, 0, kComplete, kSendSt, ll("answer")), state(A, kSendPendingS)}},
        {"fill LL: incomplete then complete; empty record", kBasic, kSyncNone, {
            send(A, SendKind::kBuffer, ll("abcdefgh")), send(A, SendKind::kFlush, ll("")), pump(),
            rcv(B, 4, 0, kIncomplete, kNone, "\x00\x0A" "ab"_b),
            rcv(B, 100, 0, kComplete, kNone, "cdefgh"),
            rcv(B, 100, 0, kComplete, kNone, ll(""))}},
        {"fill buffer: to the requested length or a status", kBasic, kSyncNone, {
            send(A, SendKind::kBuffer, ll("abc")), send(A, SendKind::kPrepareFlush, ll("def")), pump(),
            rcv(B, 7, 0, kData, kNone, ll("abc") + "\x00\x05"_b, false),
            rcv(B, 100, 0, kData, kSendSt, "def", false)}},
        {"fill buffer waits for more when no status follows", kBasic, kSyncNone, {
            send(A, SendKind::kFlush, ll("abc")), pump(),
            parks(rcv(B, 8, 0, kAny, kAny, {}, false)),
            send(A, SendKind::kFlush, ll("xyz")), pump(),
            done(B, 0, kData, kNone, "\x00\x05" "abc" "\x00\x05" "x"_b)}},
        {"invalid LL: parameter check, nothing sent", kBasic, kSyncNone, {
            with_secondary(send(A, SendKind::kFlush, std::string("\x00\x00", 2), kParam), secondary::kBadLl),
            send(A, SendKind::kFlush, std::string("\x00\x01", 2), kParam),
            send(A, SendKind::kFlush, std::string("\x80\x00", 2), kParam),
            send(A, SendKind::kFlush, std::string("\x80\x01", 2), kParam),
            send(A, SendKind::kFlush, ll("ok") + std::string("\x00\x01", 2), kParam), pump(),
            op(A, Op::kPrepare, 0, 1), pump(),
            rcv(B, 100, 0, kNoData, kSendSt)}},
        {"basic: direction and end need a record boundary", kBasic, kSyncConfirm, {
            send(A, SendKind::kBuffer, "\x00\x0A" "abc"_b),
            op(A, Op::kConfirm, kCheck), op(A, Op::kPrepare, kCheck, 1),
            op(A, Op::kDealloc, kCheck, kDeallocFlush), rcv(A, 10, kCheck, kAny, kAny),
            send(A, SendKind::kConfirm, "de", kCheck),
            op(A, Op::kFlush), send(A, SendKind::kPrepareFlush, "defgh"), pump(),
            rcv(B, 100, 0, kComplete, kSendSt, "\x00\x0A" "abcdefgh"_b)}},
        {"send error cutting a record short: truncated, the piece purged", kBasic, kSyncNone, {
            send(A, SendKind::kFlush, "\x00\x0A" "abc"_b), pump(),
            rcv_now(B, 100, 0, kIncomplete, kNone, "\x00\x0A" "abc"_b),
            send(A, SendKind::kFlush, "de"),
            op(A, Op::kSendError), state(A, kSendS), op(A, Op::kFlush), pump(),
            rcv(B, 100, primary::kProgramErrorTrunc, kAny, kAny), state(B, kReceiveS),
            send(A, SendKind::kPrepareFlush, ll("new")), pump(),
            rcv(B, 100, 0, kComplete, kSendSt, ll("new"))}},
        {"send error after whole records: no truncation, data first", kBasic, kSyncNone, {
            send(A, SendKind::kBuffer, ll("one")), op(A, Op::kSendError), op(A, Op::kFlush), pump(),
            rcv(B, 100, 0, kComplete, kNone, ll("one")),
            with_secondary(rcv(B, 100, primary::kProgramErrorNoTrunc, kAny, kAny), sense::kProgramError),
            state(B, kReceiveS)}},
        {"receiver's send error: purged, the sender gets PROGRAM_ERROR_PURGING", kBasic, kSyncNone, {
            send(A, SendKind::kFlush, ll("unread")), pump(),
            op(B, Op::kSendError), state(B, kSendS), pump(),
            send(A, SendKind::kFlush, ll("late"), kPurging), state(A, kReceiveS),
            op(B, Op::kPrepare, 0, 1), pump(),
            rcv(A, 100, 0, kNoData, kSendSt)}},
        {"send error answering a confirm request", kBasic, kSyncConfirm, {
            parks(send(A, SendKind::kConfirm, ll("x"))), pump(),
            rcv(B, 100, 0, kComplete, kConfirmSt, ll("x")),
            op(B, Op::kSendError), state(B, kSendS), pump(),
            done(A, kPurging), state(A, kReceiveS)}},
        {"confirm-send and confirm-deallocate", kBasic, kSyncConfirm, {
            parks(send(A, SendKind::kPrepareSyncLevel, ll("q"))), pump(),
            rcv(B, 100, 0, kComplete, kConfirmSendSt, ll("q")), state(B, kConfirmSendS),
            op(B, Op::kConfirmed), state(B, kSendS), pump(), done(A, 0), state(A, kReceiveS),
            parks(op(B, Op::kDealloc, 0, kDeallocSync)), pump(),
            rcv(A, 100, 0, kNoData, kConfirmDeallocSt), state(A, kConfirmDeallocS),
            op(A, Op::kConfirmed), state(A, kGone), pump(), done(B, 0), state(B, kGone)}},
        {"confirm-deallocate refused with send error", kBasic, kSyncConfirm, {
            parks(send(A, SendKind::kDeallocSyncLevel, ll("bye"))), pump(),
            rcv(B, 100, 0, kComplete, kConfirmDeallocSt, ll("bye")),
            op(B, Op::kSendError), pump(), done(A, kPurging), state(A, kReceiveS)}},
        {"request to send reaches the partner's next calls", kBasic, kSyncNone, {
            op(B, Op::kRts), pump(),
            with_rts(op(A, Op::kTestRts, 0), kAny), op(A, Op::kTestRts, kNotNow),
            op(B, Op::kRts), op(B, Op::kRts), pump(),
            with_rts(send(A, SendKind::kBuffer, ll("a")), 1),
            with_rts(send(A, SendKind::kBuffer, ll("b")), 0)}},
        {"deallocate abend purges unreceived data (basic)", kBasic, kSyncNone, {
            send(A, SendKind::kFlush, ll("lost")), op(A, Op::kDealloc, 0, kAbendBasic), state(A, kGone), pump(),
            with_secondary(rcv(B, 100, primary::kDeallocAbendProg, kAny, kAny), sense::kDeallocAbendProgram),
            state(B, kGone)}},
        {"deallocate abend reaches a waiting receive (mapped)", kMapped, kSyncNone, {
            op(A, Op::kPrepare, 0, 1), pump(), state(B, kReceiveS),
            rcv(B, 100, 0, kNoData, kSendSt), parks(rcv(A, 100, 0, kAny, kAny)), pump(),
            op(B, Op::kDealloc, 0, kAbendMapped), pump(), done(A, primary::kDeallocAbend), state(A, kGone)}},
        {"mapped records: short buffer, zero length, status with data", kMapped, kSyncNone, {
            send(A, SendKind::kBuffer, "hello"), send(A, SendKind::kBuffer, ""),
            send(A, SendKind::kPrepareFlush, "end"), pump(),
            rcv(B, 3, 0, kIncomplete, kNone, "hel"), rcv(B, 100, 0, kComplete, kNone, "lo"),
            rcv(B, 100, 0, kComplete, kNone, ""), rcv(B, 100, 0, kComplete, kSendSt, "end"),
            state(B, kSendPendingS)}},
        {"mapped data is not checked for LLs", kMapped, kSyncNone, {
            send(A, SendKind::kPrepareFlush, std::string("\x00\x01", 2)), pump(),
            rcv(B, 100, 0, kComplete, kSendSt, std::string("\x00\x01", 2))}},
        {"sync level none: no confirmation, sync-level kinds flush", kBasic, kSyncNone, {
            op(A, Op::kConfirm, kCheck), send(A, SendKind::kConfirm, ll("a"), kCheck),
            send(A, SendKind::kPrepareSyncLevel, ll("a")), state(A, kReceiveS), pump(),
            rcv(B, 100, 0, kComplete, kSendSt, ll("a")),
            send(B, SendKind::kDeallocSyncLevel, ll("z")), state(B, kGone), pump(),
            rcv(A, 100, 0, kComplete, kNone, ll("z")), rcv(A, 100, primary::kDeallocNormal, kAny, kAny)}},
        {"state checks of the table", kBasic, kSyncConfirm, {
            send(B, SendKind::kFlush, ll("x"), kCheck), op(B, Op::kFlush, kCheck),
            op(B, Op::kConfirm, kCheck), op(B, Op::kPrepare, kCheck, 1),
            op(B, Op::kDealloc, kCheck, kDeallocFlush), op(B, Op::kConfirmed, kCheck),
            op(A, Op::kConfirmed, kCheck), rcv_now(A, 10, kCheck),
            op(B, Op::kTestRts, kNotNow), op(A, Op::kTestRts, kNotNow), state(A, kSendS), state(B, kReceiveS)}},
        {"end-TP: the partner's waiting receive ends with abend SVC", kBasic, kSyncNone, {
            op(A, Op::kPrepare, 0, 1), pump(), rcv(B, 10, 0, kNoData, kSendSt),
            parks(rcv(A, 10, 0, kAny, kAny)),
            op(B, Op::kEndTp, 0, 1), pump(),
            with_secondary(done(A, primary::kDeallocAbendSvc), sense::kDeallocAbendSvc), state(A, kGone)}},
        {"cancel ends the conversation; the partner sees an abend", kMapped, kSyncNone, {
            send(A, SendKind::kFlush, "x"), op(A, Op::kCancel), state(A, kGone), pump(),
            rcv(B, 100, primary::kDeallocAbend, kAny, kAny)}},
    };
    return s;
}

TEST(Lu62Core, Scenarios)
{
    for (const Scenario &sc : scenarios()) {
        SCOPED_TRACE(sc.name);
        Session s(sc.conv_type, sc.sync_level);
        ASSERT_TRUE(s.ok());
        for (size_t i = 0; i < sc.steps.size(); ++i) {
            s.step(sc.steps[i], i);
            if (testing::Test::HasFatalFailure())
                return;
        }
        s.pair().pump();
        EXPECT_EQ(s.pair().core().malformed_messages(), 0u);
    }
}

TEST(Lu62Core, LogDataIsLoggedByTheReceivingNodeNamingItsConversation)
{
    Session s(kBasic, kSyncNone);
    ASSERT_TRUE(s.ok());
    const std::string log("\x00\x0B\x12\xE1\x00\x02\x00\x05\xC1\xC2\xC3", 11);
    s.step(Step{A, Op::kSendError, 0, log, 0, 0}, 0);
    s.step(op(A, Op::kFlush), 1);
    s.step(pump(), 2);
    ASSERT_EQ(s.pair().logs().size(), 1u);
    EXPECT_EQ(s.pair().logs()[0].conv_id, s.conv_b());
    EXPECT_EQ(s.pair().logs()[0].sense, sense::kProgramError);
    EXPECT_EQ(s.pair().logs()[0].log_data, Bytes(log.begin(), log.end()));
}

// ---- Routing of an allocate ----------------------------------------------------------

std::string hash_of(const char *password)
{
    crypt_data data{};
    return crypt_r(password, "$6$zorvelsalt$", &data);
}

NodeConfig routing_config()
{
    NodeConfig c;
    c.local_lus = {{"LUA", "NET.LUA", true}, {"LUB", "NET.LUB", false}};
    TpDefinition basic_only{"BASICTP", ConvTypeRule::kBasic, SyncLevelRule::kEither, false, 10000, {}, {}, 0};
    TpDefinition no_confirm{"NOCONF", ConvTypeRule::kEither, SyncLevelRule::kNone, false, 10000, {}, {}, 0};
    TpDefinition secure{"SECURE", ConvTypeRule::kEither, SyncLevelRule::kEither, true, 10000, {}, {}, 0};
    TpDefinition quick{"QUICK", ConvTypeRule::kEither, SyncLevelRule::kEither, false, 50, {}, {}, 0};
    c.tps = {basic_only, no_confirm, secure, quick};
    c.users = {{"ALICE", hash_of("wonder")}};
    return c;
}

struct Route {
    const char *what;
    const char *partner_alias, *partner_name, *tp;
    uint8_t type, sync, security;
    const char *user, *password;
    uint16_t allocate_primary;
    uint32_t allocate_secondary;
    uint32_t reject; // sense on the allocator's next call; 0: accepted
    const char *accepted_user;
};

TEST(Lu62Core, RoutingOfAnAllocate)
{
    const Route routes[] = {
        {"partner LU not local", "FAR", "", "SRV", 1, 0, 0, "", "", primary::kAllocationError,
         secondary::kAllocationFailureNoRetry, 0, ""},
        {"by alias", "LUB", "", "SRV", 1, 0, 0, "", "", 0, 0, 0, ""},
        {"by network name", "", "NET.LUB", "SRV", 0, 1, 0, "", "", 0, 0, 0, ""},
        {"TP neither defined nor registered", "LUB", "", "NOSUCH", 1, 0, 0, "", "", 0, 0,
         sense::kTpnNotRecognized, ""},
        {"conversation type refused", "LUB", "", "BASICTP", 1, 0, 0, "", "", 0, 0, sense::kConvTypeMismatch, ""},
        {"sync level refused", "LUB", "", "NOCONF", 0, 1, 0, "", "", 0, 0, sense::kSyncLevelNotSupported, ""},
        {"security required, none given", "LUB", "", "SECURE", 1, 0, 0, "", "", 0, 0, sense::kSecurityNotValid, ""},
        {"wrong password", "LUB", "", "SECURE", 1, 0, 2, "ALICE", "wander", 0, 0, sense::kSecurityNotValid, ""},
        {"unknown user", "LUB", "", "SRV", 1, 0, 2, "BOB", "wonder", 0, 0, sense::kSecurityNotValid, ""},
        {"program security", "LUB", "", "SECURE", 1, 0, 2, "ALICE", "wonder", 0, 0, 0, "ALICE"},
        {"security same carries the user", "LUB", "", "SRV", 1, 0, 1, "CAROL", "", 0, 0, 0, "CAROL"},
        {"security same with a defined user", "LUB", "", "SECURE", 1, 0, 1, "ALICE", "", 0, 0, 0, "ALICE"},
    };
    for (const Route &rt : routes) {
        SCOPED_TRACE(rt.what);
        Pair p(routing_config());
        const codec::Result tp = p.run(codec::StartTp{"LUA", "CLIENT"});
        ASSERT_EQ(tp.primary, 0);
        p.run(codec::RegisterTpName{"SRV"});
        bool parked = false;
        p.run(codec::ReceiveAllocate{{"SRV", "SECURE", "BASICTP", "NOCONF"}, 5}, &parked);
        ASSERT_TRUE(parked);
        const Token accept = p.parked_token();
        codec::Allocate a;
        a.conv = conv(tp, 0, rt.type);
        a.sync_level = rt.sync;
        a.partner_alias = rt.partner_alias;
        a.partner_name = rt.partner_name;
        a.mode_name = "#BATCH";
        a.tp_name = rt.tp;
        a.security = rt.security;
        a.user_id = rt.user;
        a.password = rt.password;
        const codec::Result ar = p.run(a);
        EXPECT_EQ(ar.primary, rt.allocate_primary);
        EXPECT_EQ(ar.secondary, rt.allocate_secondary);
        if (ar.primary != 0)
            continue;
        // Rejection or not, the allocate itself succeeded; the partner's
        // answer comes with the first flush.
        bool waits = false;
        codec::Receive r;
        r.conv = conv(tp, ar.conv_id, rt.type);
        p.run(r, &waits);
        ASSERT_TRUE(waits);
        const Token receive = p.parked_token();
        p.pump();
        const auto acc = p.result_of(accept);
        if (rt.reject) {
            EXPECT_FALSE(acc.has_value());
            const auto rr = p.result_of(receive);
            ASSERT_TRUE(rr.has_value());
            EXPECT_EQ(rr->primary, primary::kAllocationError);
            EXPECT_EQ(rr->secondary, rt.reject);
            EXPECT_EQ(p.core().conversations(), 0u);
            continue;
        }
        ASSERT_TRUE(acc.has_value());
        EXPECT_EQ(acc->primary, 0);
        EXPECT_EQ(acc->tp_name, rt.tp);
        EXPECT_EQ(acc->lu_alias, "LUB");
        EXPECT_EQ(acc->partner_lu, "NET.LUA");
        EXPECT_EQ(acc->mode_name, "#BATCH");
        EXPECT_EQ(acc->conv_type, rt.type);
        EXPECT_EQ(acc->sync_level, rt.sync);
        EXPECT_EQ(acc->user_id, rt.accepted_user);
        EXPECT_NE(acc->tp_id, tp.tp_id);
        EXPECT_EQ(p.core().state_of(acc->conv_id), StateCode::kReceive);
    }
}

TEST(Lu62Core, AQueuedAttachWaitsForAnAcceptorUntilItsTimeout)
{
    Pair p(routing_config());
    const codec::Result tp = p.run(codec::StartTp{"", "CLIENT"});
    EXPECT_EQ(tp.lu_alias, "LUA") << "the default LU";
    codec::Allocate a;
    a.conv = conv(tp, 0, 1);
    a.partner_alias = "LUA";
    a.tp_name = "QUICK";
    const uint32_t quick = p.run(a).conv_id;
    a.tp_name = "SRV"; // registered later, accepted later
    p.run(codec::RegisterTpName{"SRV"});
    const uint32_t srv = p.run(a).conv_id;
    p.run(codec::Flush{conv(tp, quick, 1)});
    p.run(codec::Flush{conv(tp, srv, 1)});
    p.pump();
    EXPECT_EQ(p.core().queued_attaches(), 2u);
    EXPECT_EQ(p.core().next_deadline(), std::optional<uint64_t>(p.now() + 50));
    p.core().tick(p.now() + 49);
    EXPECT_EQ(p.core().queued_attaches(), 2u);
    p.core().tick(p.now() + 50);
    p.pump();
    EXPECT_EQ(p.core().queued_attaches(), 1u);
    codec::Receive r;
    r.conv = conv(tp, quick, 1);
    const codec::Result rr = p.run(r);
    EXPECT_EQ(rr.primary, primary::kAllocationError);
    EXPECT_EQ(rr.secondary, sense::kTpNotAvailableRetry);
    // The other attach is taken by the next receive-allocate at once.
    const codec::Result acc = p.run(codec::ReceiveAllocate{{"OTHER", "SRV"}, 9});
    EXPECT_EQ(acc.primary, 0);
    EXPECT_EQ(acc.tp_name, "SRV");
    EXPECT_EQ(p.core().queued_attaches(), 0u);
    // Withdrawing a name nobody registered is refused.
    EXPECT_EQ(p.run(codec::WithdrawTpName{"SRV"}).primary, 0);
    EXPECT_EQ(p.run(codec::WithdrawTpName{"SRV"}).primary, primary::kParameterCheck);
}

// A completion that issues the next verb is queued, not run inside.
TEST(Lu62Core, VerbsFromInsideACompletionRunAfterIt)
{
    Core *core = nullptr;
    std::vector<Token> order;
    bool inside = false;
    bool nested = false;
    Core c(NodeConfig{}, Callbacks{[](const Bytes &) {},
                                   [&](Token t, const codec::Result &, bool) {
                                       nested = nested || inside;
                                       inside = true;
                                       order.push_back(t);
                                       if (t == 1)
                                           core->submit(2, codec::StartTp{"", "B"}, 0);
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
