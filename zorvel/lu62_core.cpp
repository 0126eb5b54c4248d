// SPDX-License-Identifier: Apache-2.0
// The LU 6.2 core. One file holds the half-session state machine: each
// state names the events that enter it, each verb checks the state table
// first, and every partner effect is a message built here and decoded by
// the partner's half-session.
#include "zorvel/lu62_core.h"

#include <algorithm>
#include <crypt.h>
#include <cstring>
#include <set>
#include <type_traits>

namespace zv::lu62 {
namespace {

using codec::DataInd;
using codec::Result;
using codec::StateCode;
using codec::StatusInd;

// Conversation states of one half-session.
enum class State : uint8_t {
    // Entered by deallocate (flush, confirmed, abend), a received
    // deallocation, an ending error; the half-session is then dropped.
    kReset,
    // Entered by allocate; receive of SEND_RECEIVED without data; Confirmed
    // of a confirm-send request; Send_Error in any state; Flush or a send
    // from SendPending.
    kSend,
    // Entered by receive-allocate; prepare to receive; send with
    // prepare-to-receive; receive-and-wait from Send; Confirmed of a confirm
    // request; PROGRAM_ERROR_PURGING (the partner's Send_Error).
    kReceive,
    // Entered by a receive that returned data together with SEND_RECEIVED.
    kSendPending,
    // Entered by a receive that returned CONFIRM_RECEIVED.
    kConfirm,
    // Entered by a receive that returned CONFIRM_SEND_RECEIVED.
    kConfirmSend,
    // Entered by a receive that returned CONFIRM_DEALLOC_RECEIVED.
    kConfirmDeallocate
};

constexpr uint8_t bit(State s) {
    return static_cast<uint8_t>(1u << static_cast<unsigned>(s));
}
constexpr uint8_t kSendStates = bit(State::kSend) | bit(State::kSendPending);
constexpr uint8_t kConfirmStates =
    bit(State::kConfirm) | bit(State::kConfirmSend) | bit(State::kConfirmDeallocate);

// The state table: in which states each verb is allowed (x elsewhere).
enum class Act : uint8_t {
    kSendData,
    kFlushConfirm,
    kPrepare,
    kReceiveWait,
    kReceiveImmediate,
    kConfirmed,
    kSendError,
    kRequestToSend,
    kTestRts,
    kDeallocNormal,
    kDeallocAbend
};
constexpr uint8_t kAllowed[] = {
    /* kSendData */ kSendStates,
    /* kFlushConfirm */ kSendStates,
    /* kPrepare */ kSendStates,
    /* kReceiveWait */ kSendStates | bit(State::kReceive),
    /* kReceiveImmediate */ bit(State::kReceive),
    /* kConfirmed */ kConfirmStates,
    /* kSendError */ kSendStates | bit(State::kReceive) | kConfirmStates,
    /* kRequestToSend */ kSendStates | bit(State::kReceive) | kConfirmStates,
    /* kTestRts */ kSendStates | bit(State::kReceive),
    /* kDeallocNormal */ kSendStates,
    /* kDeallocAbend */ 0xFF};

bool allowed(Act a, State s) {
    return (kAllowed[static_cast<size_t>(a)] & bit(s)) != 0;
}

StateCode code_of(State s) {
    switch (s) {
    case State::kReset: return StateCode::kReset;
    case State::kSend: return StateCode::kSend;
    case State::kReceive: return StateCode::kReceive;
    case State::kSendPending: return StateCode::kSendPending;
    case State::kConfirm: return StateCode::kConfirm;
    case State::kConfirmSend: return StateCode::kConfirmSend;
    case State::kConfirmDeallocate: return StateCode::kConfirmDeallocate;
    }
    return StateCode::kReset;
}

// What arrived and waits for the program's receive, in order.
struct InItem {
    enum Kind : uint8_t {
        kData,           // basic: a stretch of the record stream; mapped: one record
        kSend,           // change direction
        kConfirm,        // definite response requested
        kConfirmSend,    // ... with change direction
        kConfirmDealloc, // ... with conditional end bracket
        kDeallocNormal,  // conditional end bracket
        kError           // the partner's Send_Error while it was sending
    } kind;
    Bytes bytes;
    size_t used = 0;
    uint16_t primary = 0;
    uint32_t secondary = 0;
};

// What the half-session holds for the next flush.
struct OutSeg {
    enum Kind : uint8_t { kAttach, kData, kError } kind;
    Attach attach;
    Bytes bytes; // data, or the log data of an error
    uint32_t sense = 0;
};

struct Ending {
    uint16_t primary = 0;
    uint32_t secondary = 0;
    bool ends = true; // the conversation is over once it is reported
};

// A verb parked until the partner answers.
struct Waiting {
    Token token = 0;
    enum Kind : uint8_t { kReceive, kResponse } kind = kResponse;
    codec::Receive receive;     // kReceive
    State after = State::kSend; // kResponse: state after a positive response
    bool reports_rts = false;
};

struct HalfSession {
    uint32_t conv_id = 0;
    uint32_t session = 0; // the allocating half-session's conv_id
    bool primary = false; // this end allocated
    bool accepted = true; // secondary: a receive-allocate took it
    TpId tp_id{};
    uint8_t conv_type = 0;
    uint8_t sync_level = 0;
    State state = State::kReset;
    std::deque<OutSeg> out;
    size_t out_bytes = 0;
    bool in_chain = false;
    bool attach_sent = false;
    LlScanner tx, rx;
    GdsReader gds;
    std::deque<InItem> in;
    bool rts = false;              // SIGNAL arrived, not yet reported
    bool await_error_fmh = false;  // our partner's -RSP(0846) came; its FMH-7 follows
    std::optional<Ending> pending; // reported on the program's next call
    std::optional<Waiting> waiting;
    bool mapped() const { return conv_type == 1; }
};

struct TpInstance {
    LocalLu lu; // as configured when the instance started
    std::string tp_name;
    std::string user_id; // from the attach that started it (security SAME)
    std::set<uint32_t> conversations;
};

struct QueuedAttach {
    uint32_t conv_id;
    uint64_t deadline;
    LocalLu lu;
    Attach attach;
    std::string user_id; // verified or already verified; empty: none
};

struct AcceptWait {
    Token token;
    codec::ReceiveAllocate verb;
};

constexpr uint32_t kDefaultQueueTimeoutMs = 10000;

Result code(uint16_t primary, uint32_t secondary = 0) {
    Result r;
    r.primary = primary;
    r.secondary = secondary;
    return r;
}

bool is_abend_sense(uint32_t s) {
    return s == sense::kDeallocAbendProgram || s == sense::kDeallocAbendSvc || s == sense::kDeallocAbendTimer;
}

bool is_program_error(uint32_t s) {
    return s == sense::kProgramError || s == sense::kProgramErrorTrunc;
}

} // namespace

const char *sense_text(uint32_t s) {
#define ZV_SENSE_TEXT(name, value, text)                                                                     \
    if (s == (value)) return text;
    ZV_SENSE_CODES(ZV_SENSE_TEXT)
#undef ZV_SENSE_TEXT
    return nullptr;
}

namespace {

const TpDefinition *find_definition(const NodeConfig &config, const std::string &tp_name) {
    for (const TpDefinition &d : config.tps)
        if (d.name == tp_name) return &d;
    return nullptr;
}

// Program security: the user is defined and the password matches its
// hash. The password itself goes nowhere else.
bool password_valid(const NodeConfig &config, const std::string &user, const std::string &password) {
    for (const NodeUser &u : config.users) {
        if (u.user_id != user) continue;
        auto data = std::make_unique<crypt_data>();
        const char *h = crypt_r(password.c_str(), u.password_hash.c_str(), data.get());
        return h && h[0] != '*' && u.password_hash == h;
    }
    return false;
}

bool user_defined(const NodeConfig &config, const std::string &user) {
    return std::any_of(config.users.begin(), config.users.end(),
                       [&](const NodeUser &u) { return u.user_id == user; });
}

} // namespace

AttachCheck check_attach(const NodeConfig &config, const Attach &a, bool tp_name_registered) {
    AttachCheck c;
    for (const LocalLu &lu : config.local_lus)
        if (lu.name == a.destination_lu) c.lu = &lu;
    if (!c.lu) {
        c.sense = sense::kTpNotAvailableNoRetry;
        return c;
    }
    const TpDefinition *def = c.def = find_definition(config, a.tp_name);
    if (!def && !tp_name_registered) {
        c.sense = sense::kTpnNotRecognized;
        return c;
    }
    if (def) {
        if ((def->conversation_type == ConvTypeRule::kBasic && a.conv_type != 0) ||
            (def->conversation_type == ConvTypeRule::kMapped && a.conv_type != 1)) {
            c.sense = sense::kConvTypeMismatch;
            return c;
        }
        if ((def->sync_level == SyncLevelRule::kNone && a.sync_level != 0) ||
            (def->sync_level == SyncLevelRule::kConfirm && a.sync_level != 1)) {
            c.sense = sense::kSyncLevelNotSupported;
            return c;
        }
    }
    bool security_ok = true;
    if (a.security == 2) {
        security_ok = password_valid(config, a.user_id, a.password);
        c.user_id = a.user_id;
    } else if (a.security == 1) {
        c.user_id = a.user_id;
        security_ok = !(def && def->security_required) || user_defined(config, c.user_id);
    } else {
        security_ok = !(def && def->security_required);
    }
    if (!security_ok) c.sense = sense::kSecurityNotValid;
    return c;
}

struct Core::Impl {
    NodeConfig config;
    Callbacks cb;
    std::map<uint32_t, HalfSession> convs;
    std::map<uint32_t, uint32_t> secondaries; // session -> secondary conv_id
    std::map<TpId, TpInstance> tps;
    std::map<std::string, uint32_t> registered;
    std::deque<QueuedAttach> queued;
    std::deque<AcceptWait> accepts;
    uint32_t last_conv = 0;
    uint32_t last_tp = 0;
    uint32_t malformed = 0;

    // Calls that arrive while one runs (from a callback) wait here.
    struct Deferred {
        enum Kind : uint8_t { kVerb, kFrame, kRouted, kLost, kTick } kind = kVerb;
        Token token = 0;
        codec::Verb verb;
        Bytes frame;
        uint64_t now = 0;
        LocalLu lu;           // kRouted
        uint32_t session = 0; // kLost
        bool primary = false; // kLost
    };
    std::deque<Deferred> deferred;
    bool running = false;

    // Buffers of data the program has taken or that went to the partner,
    // kept for the next data: a stream of 32 KB records otherwise makes
    // and frees a buffer of that size for each, and the heap gives such
    // memory back to the system and faults it in again every time.
    static constexpr size_t kSpares = 8;
    static constexpr size_t kSpareMax = 4 * kMaxRu;
    std::vector<Bytes> spares;
    std::vector<Bytes> arrived; // records data_arrived assembles, kept for its room

    Bytes spare() {
        if (spares.empty()) return {};
        Bytes b = std::move(spares.back());
        spares.pop_back();
        return b;
    }
    void recycle(Bytes &b) {
        if (spares.size() < kSpares && b.capacity() >= kMaxRu / 2 && b.capacity() <= kSpareMax) {
            b.clear();
            spares.push_back(std::move(b));
        }
    }

    Impl(NodeConfig c, Callbacks k) : config(std::move(c)), cb(std::move(k)) {
        if (config.local_lus.empty()) config.local_lus.push_back(LocalLu{"LOCAL", "ZORVEL.LOCAL", true});
    }

    // ---- Re-entry ---------------------------------------------------------

    // A call runs at once unless one is running: then a copy of it waits
    // its turn, which the common case does without.
    template <typename Now, typename Later>
    void run(Now now, Later later) {
        if (running) {
            deferred.push_back(later());
            return;
        }
        running = true;
        now();
        drain();
    }

    void drain() {
        while (!deferred.empty()) {
            Deferred next = std::move(deferred.front());
            deferred.pop_front();
            switch (next.kind) {
            case Deferred::kVerb: verb(next.token, next.verb, next.now); break;
            case Deferred::kFrame: frame(next.frame.data(), next.frame.size(), next.now); break;
            case Deferred::kRouted: routed(next.frame, next.lu, next.now); break;
            case Deferred::kLost: lost(next.session, next.primary); break;
            case Deferred::kTick: expire(next.now); break;
            }
        }
        running = false;
    }

    // ---- Outputs ----------------------------------------------------------

    void complete(Token t, const Result &r, bool tp_ended = false) {
        if (cb.completed) cb.completed(t, r, tp_ended);
    }

    void send(const Message &m) {
        if (cb.send) cb.send(encode(m));
    }

    void failed(uint32_t session, bool primary_end, uint32_t sense_code, Failure how) {
        if (cb.failed) cb.failed(session, primary_end, sense_code, how);
    }

    Message to_partner(const HalfSession &h) const {
        Message m;
        m.session = h.session;
        m.to_primary = !h.primary;
        return m;
    }

    // ---- Names ------------------------------------------------------------

    std::optional<size_t> lu_by_alias(const std::string &alias) const {
        for (size_t i = 0; i < config.local_lus.size(); ++i)
            if (config.local_lus[i].alias == alias) return i;
        return std::nullopt;
    }

    std::optional<size_t> lu_by_name(const std::string &name) const {
        for (size_t i = 0; i < config.local_lus.size(); ++i)
            if (config.local_lus[i].name == name) return i;
        return std::nullopt;
    }

    size_t default_lu() const {
        for (size_t i = 0; i < config.local_lus.size(); ++i)
            if (config.local_lus[i].is_default) return i;
        return 0;
    }

    const TpDefinition *definition(const std::string &tp_name) const {
        return find_definition(config, tp_name);
    }

    uint32_t new_conv_id() {
        do last_conv = last_conv == UINT32_MAX ? 1 : last_conv + 1;
        while (convs.count(last_conv) || secondaries.count(last_conv));
        return last_conv;
    }

    TpId new_tp(const LocalLu &lu, const std::string &name, const std::string &user) {
        TpId id{};
        do {
            ++last_tp;
            id = {'L',
                  'U',
                  '6',
                  '2',
                  static_cast<uint8_t>(last_tp >> 24),
                  static_cast<uint8_t>(last_tp >> 16),
                  static_cast<uint8_t>(last_tp >> 8),
                  static_cast<uint8_t>(last_tp)};
        } while (tps.count(id));
        tps[id] = TpInstance{lu, name, user, {}};
        return id;
    }

    // ---- Half-session plumbing -----------------------------------------------

    HalfSession *find(uint32_t conv_id) {
        auto it = convs.find(conv_id);
        return it == convs.end() ? nullptr : &it->second;
    }

    // The conversation is over at this end: nothing of it stays.
    void drop(HalfSession &h) {
        const uint32_t id = h.conv_id;
        if (!h.primary) {
            secondaries.erase(h.session);
            queued.erase(std::remove_if(queued.begin(), queued.end(),
                                        [&](const QueuedAttach &q) { return q.conv_id == id; }),
                         queued.end());
        }
        auto tp = tps.find(h.tp_id);
        if (tp != tps.end()) tp->second.conversations.erase(id);
        convs.erase(id);
    }

    void append_out(HalfSession &h, const uint8_t *p, size_t n) {
        if (h.out.empty() || h.out.back().kind != OutSeg::kData)
            h.out.push_back(OutSeg{OutSeg::kData, {}, spare(), 0});
        Bytes &b = h.out.back().bytes;
        const size_t before = b.size();
        const size_t need = before + n + 2 * (n / 0x7FFF + 1) + 2; // a GDS head per segment
        if (b.capacity() < need) b.reserve(std::max(need, 2 * b.capacity()));
        if (h.mapped())
            append_gds_record(b, p, n);
        else
            b.insert(b.end(), p, p + n);
        h.out_bytes += b.size() - before;
    }

    // Sends what the half-session holds as one chain (or the rest of one);
    // the last unit carries the given end bits. An allocate and a Send_Error
    // leave here too.
    void flush(HalfSession &h, bool end_chain, bool cd, bool dr, bool ceb) {
        // Each unit's data stays where the half-session holds it until it
        // is encoded.
        struct Unit {
            Message m;
            const uint8_t *data = nullptr;
            size_t n = 0;
        };
        std::vector<Unit> us;
        for (OutSeg &s : h.out) {
            Message m = to_partner(h);
            switch (s.kind) {
            case OutSeg::kAttach:
                m.attach = s.attach;
                m.rh.begin_bracket = true;
                h.attach_sent = true;
                us.push_back(Unit{std::move(m)});
                break;
            case OutSeg::kError:
                m.error = ErrorFmh{s.sense};
                us.push_back(Unit{std::move(m), s.bytes.data(), s.bytes.size()});
                break;
            case OutSeg::kData:
                for (size_t at = 0; at < s.bytes.size(); at += kMaxRu)
                    us.push_back(Unit{m, s.bytes.data() + at, std::min(kMaxRu, s.bytes.size() - at)});
                break;
            }
        }
        end_chain = end_chain || cd || dr || ceb;
        if (us.empty() && end_chain) us.push_back(Unit{to_partner(h)});
        if (!us.empty()) {
            if (!h.in_chain) us.front().m.rh.begin_chain = true;
            Rh &last = us.back().m.rh;
            last.end_chain = end_chain;
            last.change_direction = cd;
            last.definite_response = dr;
            last.conditional_end_bracket = ceb;
            h.in_chain = !end_chain;
            for (const Unit &u : us) {
                if (cb.send_split && u.n > 0 && !u.m.attach && !u.m.error)
                    cb.send_split(encode_head(u.m, u.n), u.data, u.n);
                else if (cb.send)
                    cb.send(encode(u.m, u.data, u.n));
            }
        }
        for (OutSeg &s : h.out)
            if (s.kind == OutSeg::kData) recycle(s.bytes);
        h.out.clear();
        h.out_bytes = 0;
    }

    void respond(HalfSession &h, uint32_t sense_code) {
        Message m = to_partner(h);
        m.rh.response = true;
        m.sense = sense_code;
        send(m);
    }

    // Ends the conversation abnormally towards the partner; an attach that
    // never left means the partner never knew of it.
    void abend(HalfSession &h, uint32_t sense_code, const Bytes &log) {
        h.out.clear();
        h.out_bytes = 0;
        h.in.clear();
        if (!h.attach_sent && h.primary) return;
        failed(h.session, h.primary, sense_code, Failure::kSent);
        Message m = to_partner(h);
        m.error = ErrorFmh{sense_code};
        m.data = log;
        m.rh.begin_chain = !h.in_chain;
        m.rh.end_chain = true;
        m.rh.conditional_end_bracket = true;
        send(m);
    }

    bool take_rts(HalfSession &h) {
        const bool r = h.rts;
        h.rts = false;
        return r;
    }

    // Reports an error that arrived while the program was not waiting.
    bool report_pending(Token t, HalfSession &h, bool rts) {
        if (!h.pending) return false;
        Result r = code(h.pending->primary, h.pending->secondary);
        if (rts) r.rts = take_rts(h);
        const bool ends = h.pending->ends;
        h.pending.reset();
        if (ends) drop(h);
        complete(t, r);
        return true;
    }

    // Verbs that need a logical-record boundary on a basic conversation.
    bool off_boundary(const HalfSession &h) const { return !h.mapped() && !h.tx.at_boundary(); }

    // ---- Receiving ------------------------------------------------------------

    // Copies data of the front item into the program's buffer; nullopt when
    // the verb has to wait for more.
    std::optional<Result> take_data(HalfSession &h, const codec::Receive &v) {
        InItem &d = h.in.front();
        const size_t avail = d.bytes.size() - d.used;
        const bool status_follows = h.in.size() > 1;
        size_t n = 0;
        DataInd ind = DataInd::kData;
        const uint8_t *p = d.bytes.data() + d.used;
        if (h.mapped()) {
            n = std::min<size_t>(v.requested, avail);
            ind = n == avail ? DataInd::kComplete : DataInd::kIncomplete;
        } else if (v.fill_ll) {
            LlScanner probe = h.rx;
            bool ended = false, bad = false;
            const size_t to_end = probe.advance(p, avail, true, ended, bad);
            if (ended) {
                n = std::min<size_t>(v.requested, to_end);
                ind = n == to_end ? DataInd::kComplete : DataInd::kIncomplete;
            } else if (v.requested <= avail || status_follows || v.immediate) {
                // The record's end has not arrived: part of it.
                n = std::min<size_t>(v.requested, avail);
                ind = DataInd::kIncomplete;
                if (n == 0 && v.requested > 0 && !status_follows) return std::nullopt;
            } else {
                return std::nullopt;
            }
        } else {
            n = std::min<size_t>(v.requested, avail);
            if (n < v.requested && !status_follows && !v.immediate)
                return std::nullopt; // fill buffer: until full or a status is pending
        }
        if (n > 0 && v.buffer) std::memcpy(v.buffer, p, n);
        if (!h.mapped()) {
            bool ended = false, bad = false;
            h.rx.advance(p, n, false, ended, bad);
        }
        d.used += n;
        const bool item_done = h.mapped() ? ind == DataInd::kComplete : d.used == d.bytes.size();
        if (item_done) {
            recycle(d.bytes);
            h.in.pop_front();
        }
        Result r;
        r.data = ind;
        r.data_length = static_cast<uint16_t>(n);
        // A status right behind the data goes with it.
        if (item_done && ind != DataInd::kIncomplete && !h.in.empty()) {
            const InItem::Kind k = h.in.front().kind;
            if (k == InItem::kSend || k == InItem::kConfirm || k == InItem::kConfirmSend ||
                k == InItem::kConfirmDealloc) {
                r.status_with_data = true;
                take_status(h, r, true);
            }
        }
        return r;
    }

    // Applies the status at the front of the queue.
    void take_status(HalfSession &h, Result &r, bool with_data) {
        const InItem m = std::move(h.in.front());
        h.in.pop_front();
        switch (m.kind) {
        case InItem::kSend:
            r.status = StatusInd::kSend;
            h.state = with_data ? State::kSendPending : State::kSend;
            break;
        case InItem::kConfirm:
            r.status = StatusInd::kConfirm;
            h.state = State::kConfirm;
            break;
        case InItem::kConfirmSend:
            r.status = StatusInd::kConfirmSend;
            h.state = State::kConfirmSend;
            break;
        case InItem::kConfirmDealloc:
            r.status = StatusInd::kConfirmDealloc;
            h.state = State::kConfirmDeallocate;
            break;
        case InItem::kDeallocNormal:
            r.primary = primary::kDeallocNormal;
            h.state = State::kReset;
            break;
        case InItem::kError:
            r.primary = m.primary;
            r.secondary = m.secondary;
            break;
        case InItem::kData: break;
        }
    }

    // One receive against the queue; nullopt: nothing to return yet.
    std::optional<Result> try_receive(HalfSession &h, const codec::Receive &v) {
        std::optional<Result> r;
        if (!h.in.empty() && h.in.front().kind == InItem::kData) {
            r = take_data(h, v);
        } else if (!h.in.empty()) {
            r = Result{};
            take_status(h, *r, false);
        }
        if (!r && v.immediate) r = code(primary::kUnsuccessful);
        if (r) r->rts = take_rts(h);
        return r;
    }

    void finish_receive(Token t, HalfSession &h, const Result &r) {
        if (h.state == State::kReset) drop(h);
        complete(t, r);
    }

    // A parked verb may be able to finish now.
    void serve(HalfSession &h) {
        if (!h.waiting) return;
        if (h.pending) {
            Waiting w = *h.waiting;
            h.waiting.reset();
            report_pending(w.token, h, w.reports_rts);
            return;
        }
        if (h.waiting->kind != Waiting::kReceive) return;
        auto r = try_receive(h, h.waiting->receive);
        if (!r) return;
        const Token t = h.waiting->token;
        h.waiting.reset();
        finish_receive(t, h, *r);
    }

    // The partner cut a basic record short: the piece that arrived goes.
    void truncate_partial_record(HalfSession &h) {
        if (!h.in.empty() && h.in.back().kind == InItem::kData && !h.mapped()) {
            InItem &d = h.in.back();
            const bool front = h.in.size() == 1;
            LlScanner s = front ? h.rx : LlScanner{};
            size_t at = front ? d.used : 0;
            size_t boundary = s.at_boundary() ? at : SIZE_MAX;
            while (at < d.bytes.size()) {
                bool ended = false, bad = false;
                at += s.advance(d.bytes.data() + at, d.bytes.size() - at, true, ended, bad);
                if (bad) break;
                if (ended) boundary = at;
            }
            if (boundary == SIZE_MAX) boundary = front ? d.used : 0;
            d.bytes.resize(boundary);
            if (d.used == d.bytes.size()) h.in.pop_back();
        }
        if (h.in.empty() || h.in.back().kind != InItem::kData) h.rx = LlScanner{};
    }

    // ---- Messages from the partner ------------------------------------------

    void frame(const uint8_t *bytes, size_t n, uint64_t now) {
        // Data goes from the frame straight to where it waits for the
        // program; an attach or an error keeps it in the message.
        const uint8_t *data = nullptr;
        size_t data_n = 0;
        auto m = decode_head(bytes, n, data, data_n);
        if (!m) {
            ++malformed;
            return;
        }
        if (m->attach || m->error) {
            m->data.assign(data, data + data_n);
            data = m->data.data();
        }
        if (m->attach && !m->to_primary) {
            attach_arrived(*m, now);
            return;
        }
        uint32_t id = m->session;
        if (!m->to_primary) {
            auto s = secondaries.find(m->session);
            if (s == secondaries.end()) return; // the conversation is over here
            id = s->second;
        }
        HalfSession *h = find(id);
        if (!h || h->primary != m->to_primary) return;
        message(*h, *m, data, data_n);
    }

    void routed(const Bytes &bytes, const LocalLu &lu, uint64_t now) {
        auto m = decode(bytes.data(), bytes.size());
        if (!m || !m->attach || m->to_primary) {
            ++malformed;
            return;
        }
        attach_arrived(*m, now, &lu);
    }

    // The session under a conversation is gone (its partner's process died,
    // the path to it broke). A conversation that was ending anyway ends as
    // it was going to; any other ends with a resource failure, reported at
    // once to a verb that waits and else on the program's next call.
    void lost(uint32_t session, bool primary_end) {
        uint32_t id = session;
        if (!primary_end) {
            auto s = secondaries.find(session);
            if (s == secondaries.end()) return;
            id = s->second;
        }
        HalfSession *h = find(id);
        if (!h || h->primary != primary_end) return;
        if (h->pending && h->pending->ends) return;
        const bool ending = std::any_of(h->in.begin(), h->in.end(),
                                        [](const InItem &i) { return i.kind == InItem::kDeallocNormal; });
        if (ending) return;
        h->in.clear();
        h->out.clear();
        h->out_bytes = 0;
        h->pending = Ending{primary::kResourceFailureNoRetry, 0, true};
        failed(h->session, h->primary, 0, Failure::kLost);
        serve(*h);
    }

    // `data`: the message's data, wherever it is.
    void message(HalfSession &h, const Message &m, const uint8_t *data, size_t data_n) {
        const uint32_t id = h.conv_id;
        if (m.rh.response)
            response(h, m);
        else if (m.rh.dfc) {
            if (m.signal == kSignalRequestToSend) h.rts = true;
        } else if (m.error)
            error_arrived(h, m);
        else
            data_arrived(h, m.rh, data, data_n);
        if (HalfSession *still = find(id)) serve(*still);
    }

    void response(HalfSession &h, const Message &m) {
        const bool confirming = h.waiting && h.waiting->kind == Waiting::kResponse;
        if (m.sense == 0) {
            // Confirmed.
            if (!confirming) return;
            const Waiting w = *h.waiting;
            h.waiting.reset();
            h.state = w.after;
            Result r;
            if (w.reports_rts) r.rts = take_rts(h);
            if (h.state == State::kReset) drop(h);
            complete(w.token, r);
            return;
        }
        // The partner's Send_Error while it received: what we held is
        // purged, we receive from now on, and its FMH-7 follows.
        h.await_error_fmh = true;
        h.out.clear();
        h.out_bytes = 0;
        h.tx = LlScanner{};
        h.in_chain = false;
        if (confirming || allowed(Act::kSendData, h.state)) {
            h.state = State::kReceive;
            // A verb waiting for the confirmation gets it from serve().
            h.pending = Ending{primary::kProgramErrorPurging, sense::kProgramError, false};
        } else if (h.state == State::kReceive) {
            // It crossed our change of direction: we receive already, and
            // learn of it as the next thing received.
            h.in.push_back(InItem{InItem::kError, {}, 0, primary::kProgramErrorPurging, sense::kProgramError});
        }
    }

    void error_arrived(HalfSession &h, const Message &m) {
        const uint32_t s = m.error->sense;
        if (!m.data.empty() && cb.log) cb.log(LogRecord{h.conv_id, s, m.data});
        if (h.await_error_fmh && is_program_error(s)) {
            h.await_error_fmh = false; // explains the -RSP already reported
            status_arrived(h, m.rh);
            return;
        }
        if (is_attach_rejection(s) || is_abend_sense(s)) {
            failed(h.session, h.primary, s, Failure::kReceived);
            uint16_t p = primary::kAllocationError;
            if (s == sense::kDeallocAbendProgram)
                p = h.mapped() ? primary::kDeallocAbend : primary::kDeallocAbendProg;
            else if (s == sense::kDeallocAbendSvc)
                p = primary::kDeallocAbendSvc;
            else if (s == sense::kDeallocAbendTimer)
                p = primary::kDeallocAbendTimer;
            // Unreceived data and anything not yet sent are purged.
            h.in.clear();
            h.out.clear();
            h.out_bytes = 0;
            // A queued attach stays queued: its acceptor still gets the
            // conversation and learns of the end on its first call, so the
            // outcome does not depend on whether it accepted before or
            // after the end arrived.
            h.pending = Ending{p, s, true};
            return;
        }
        if (is_program_error(s)) {
            if (s == sense::kProgramErrorTrunc) truncate_partial_record(h);
            h.in.push_back(InItem{InItem::kError,
                                  {},
                                  0,
                                  s == sense::kProgramErrorTrunc ? primary::kProgramErrorTrunc
                                                                 : primary::kProgramErrorNoTrunc,
                                  s});
            status_arrived(h, m.rh);
        }
    }

    void data_arrived(HalfSession &h, const Rh &rh, const uint8_t *p, size_t n) {
        // While we hold the right to send, whatever data the partner sent
        // before our Send_Error reached it is stale.
        if (allowed(Act::kSendData, h.state)) return;
        if (n > 0) {
            if (h.mapped()) {
                arrived.clear();
                if (!h.gds.feed(p, n, arrived, &spares)) ++malformed;
                for (Bytes &r : arrived) h.in.push_back(InItem{InItem::kData, std::move(r), 0, 0, 0});
            } else if (!h.in.empty() && h.in.back().kind == InItem::kData) {
                Bytes &b = h.in.back().bytes;
                b.insert(b.end(), p, p + n);
            } else {
                Bytes b = spare();
                b.assign(p, p + n);
                h.in.push_back(InItem{InItem::kData, std::move(b), 0, 0, 0});
            }
        }
        status_arrived(h, rh);
    }

    // What the end of a chain asks of the receiver.
    void status_arrived(HalfSession &h, const Rh &rh) {
        if (allowed(Act::kSendData, h.state)) return;
        InItem::Kind k;
        if (rh.definite_response)
            k = rh.conditional_end_bracket ? InItem::kConfirmDealloc
                : rh.change_direction      ? InItem::kConfirmSend
                                           : InItem::kConfirm;
        else if (rh.conditional_end_bracket)
            k = InItem::kDeallocNormal;
        else if (rh.change_direction)
            k = InItem::kSend;
        else
            return;
        h.in.push_back(InItem{k, {}, 0, 0, 0});
    }

    // ---- Attach routing ---------------------------------------------------------

    void reject(const Message &attach_msg, uint32_t sense_code) {
        failed(attach_msg.session, false, sense_code, Failure::kSent);
        if (cb.send) cb.send(rejection_frame(attach_msg.session, sense_code));
    }

    // The checks against the TP definition come first (unless the daemon
    // made them already); then an acceptor that waits, else the queue.
    void attach_arrived(Message &m, uint64_t now, const LocalLu *routed_to = nullptr) {
        const Attach &a = *m.attach;
        if (secondaries.count(m.session)) return; // a session carries one conversation at a time
        AttachCheck c;
        if (routed_to) {
            c.lu = routed_to;
            c.def = definition(a.tp_name);
            c.user_id = a.user_id;
        } else {
            c = check_attach(config, a, registered.count(a.tp_name) != 0);
        }
        if (c.sense) {
            reject(m, c.sense);
            return;
        }
        const TpDefinition *def = c.def;
        const std::string user = c.user_id;
        HalfSession h;
        h.conv_id = new_conv_id();
        h.session = m.session;
        h.primary = false;
        h.accepted = false;
        h.conv_type = a.conv_type;
        h.sync_level = a.sync_level;
        // Entered by the attach: the allocator sends first.
        h.state = State::kReceive;
        const uint32_t id = h.conv_id;
        convs[id] = std::move(h);
        secondaries[m.session] = id;
        const uint32_t timeout = def ? def->queue_timeout_ms : kDefaultQueueTimeoutMs;
        queued.push_back(QueuedAttach{id, now + timeout, *c.lu, a, user});
        data_arrived(convs[id], m.rh, m.data.data(), m.data.size());
        match_queued();
    }

    // Pairs the oldest attaches with the oldest acceptors that offer their
    // TP names.
    void match_queued() {
        for (auto q = queued.begin(); q != queued.end();) {
            auto w = std::find_if(accepts.begin(), accepts.end(), [&](const AcceptWait &aw) {
                const auto &names = aw.verb.tp_names;
                return std::find(names.begin(), names.end(), q->attach.tp_name) != names.end();
            });
            if (w == accepts.end()) {
                ++q;
                continue;
            }
            const QueuedAttach qa = *q;
            const AcceptWait aw = *w;
            q = queued.erase(q);
            accepts.erase(w);
            accept(qa, aw);
        }
    }

    void accept(const QueuedAttach &q, const AcceptWait &w) {
        HalfSession *h = find(q.conv_id);
        if (!h) return;
        const TpId tp = new_tp(q.lu, q.attach.tp_name, q.user_id);
        tps[tp].conversations.insert(h->conv_id);
        h->tp_id = tp;
        h->accepted = true;
        Result r;
        r.conv_id = h->conv_id;
        r.tp_id = tp;
        r.lu_alias = q.lu.alias;
        r.tp_name = q.attach.tp_name;
        r.sync_level = q.attach.sync_level;
        r.conv_type = q.attach.conv_type;
        r.user_id = q.user_id;
        r.mode_name = q.attach.mode_name;
        r.partner_lu = q.attach.origin_lu;
        complete(w.token, r);
    }

    void expire(uint64_t now) {
        while (true) {
            auto q = std::find_if(queued.begin(), queued.end(),
                                  [&](const QueuedAttach &x) { return x.deadline <= now; });
            if (q == queued.end()) return;
            const uint32_t id = q->conv_id;
            queued.erase(q);
            HalfSession *h = find(id);
            if (!h) continue;
            Message m;
            m.session = h->session;
            drop(*h);
            reject(m, sense::kTpNotAvailableRetry);
        }
    }

    // ---- Verbs -------------------------------------------------------------------

    void verb(Token t, const codec::Verb &v, uint64_t now) {
        std::visit([&](const auto &x) { on(t, x, now); }, v);
    }

    void on(Token t, const codec::Unknown &, uint64_t) {
        complete(t, code(primary::kParameterCheck, secondary::kUnknownVerb));
    }

    void on(Token t, const codec::StartTp &v, uint64_t) {
        size_t lu = default_lu();
        if (!v.lu_alias.empty()) {
            const auto found = lu_by_alias(v.lu_alias);
            if (!found) {
                complete(t, code(primary::kParameterCheck, secondary::kBadLuAlias));
                return;
            }
            lu = *found;
        }
        Result r;
        r.tp_id = new_tp(config.local_lus[lu], v.tp_name, {});
        r.lu_alias = config.local_lus[lu].alias;
        complete(t, r);
    }

    // Ends a TP instance: its conversations end abnormally towards their
    // partners, verbs parked on them finish with it.
    void on(Token t, const codec::EndTp &v, uint64_t) {
        auto it = tps.find(v.tp_id);
        if (it == tps.end()) {
            complete(t, code(primary::kParameterCheck, secondary::kBadTpId));
            return;
        }
        const std::set<uint32_t> ids = it->second.conversations;
        for (uint32_t id : ids) {
            HalfSession *h = find(id);
            if (!h) continue;
            std::optional<Waiting> w = h->waiting;
            h->waiting.reset();
            if (!h->pending || !h->pending->ends) abend(*h, sense::kDeallocAbendSvc, {});
            drop(*h);
            if (w) complete(w->token, code(primary::kDeallocAbendSvc, sense::kDeallocAbendSvc), true);
        }
        tps.erase(v.tp_id);
        complete(t, Result{});
    }

    void on(Token t, const codec::RegisterTpName &v, uint64_t) {
        ++registered[v.tp_name];
        complete(t, Result{});
    }

    void on(Token t, const codec::WithdrawTpName &v, uint64_t) {
        auto it = registered.find(v.tp_name);
        if (it == registered.end()) {
            complete(t, code(primary::kParameterCheck, secondary::kTpNameNotRegistered));
            return;
        }
        if (--it->second == 0) registered.erase(it);
        complete(t, Result{});
    }

    void on(Token t, const codec::Allocate &v, uint64_t) {
        auto tp = tps.find(v.conv.tp_id);
        if (tp == tps.end()) {
            complete(t, code(primary::kParameterCheck, secondary::kBadTpId));
            return;
        }
        if (v.conv.conv_type > 1) {
            complete(t, code(primary::kParameterCheck, secondary::kBadConvType));
            return;
        }
        if (v.sync_level > 1) {
            complete(t, code(primary::kParameterCheck, secondary::kBadSyncLevel));
            return;
        }
        if (v.security != 0 && v.security != 1 && v.security != 2 && v.security != 5) {
            complete(t, code(primary::kParameterCheck, secondary::kBadSecurity));
            return;
        }
        // Only local LUs can be reached: no session to anywhere else.
        const auto lu = v.partner_alias.empty() ? lu_by_name(v.partner_name) : lu_by_alias(v.partner_alias);
        if (!lu) {
            complete(t, code(primary::kAllocationError, secondary::kAllocationFailureNoRetry));
            return;
        }
        Attach a;
        a.conv_type = v.conv.conv_type;
        a.sync_level = v.sync_level;
        a.tp_name = v.tp_name;
        a.mode_name = v.mode_name;
        a.origin_lu = tp->second.lu.name;
        a.destination_lu = config.local_lus[*lu].name;
        if (v.security == 2 || v.security == 5) {
            a.security = 2;
            a.user_id = v.user_id;
            a.password = v.password;
        } else if (v.security == 1) {
            // Already verified: the allocating program's user, or the one
            // its own TP instance was started for.
            a.user_id = v.user_id.empty() ? tp->second.user_id : v.user_id;
            a.security = a.user_id.empty() ? 0 : 1;
        }
        HalfSession h;
        h.conv_id = new_conv_id();
        h.session = h.conv_id;
        h.primary = true;
        h.tp_id = v.conv.tp_id;
        h.conv_type = v.conv.conv_type;
        h.sync_level = v.sync_level;
        // Entered by allocate: the allocator sends first; the attach waits
        // for the first flush.
        h.state = State::kSend;
        h.out.push_back(OutSeg{OutSeg::kAttach, a, {}, 0});
        const uint32_t id = h.conv_id;
        convs[id] = std::move(h);
        tp->second.conversations.insert(id);
        Result r;
        r.conv_id = id;
        complete(t, r);
    }

    void on(Token t, const codec::ReceiveAllocate &v, uint64_t) {
        if (v.tp_names.empty()) {
            complete(t, code(primary::kParameterCheck, secondary::kNoTpNames));
            return;
        }
        accepts.push_back(AcceptWait{t, v});
        match_queued();
    }

    // Common entry of the conversation verbs: the half-session, an error
    // that waits to be reported, the state table.
    HalfSession *enter(Token t, const codec::Conv &c, Act act, bool report_rts) {
        HalfSession *h = find(c.conv_id);
        if (!h || !h->accepted) {
            complete(t, code(primary::kStateCheck));
            return nullptr;
        }
        if (h->waiting) {
            complete(t, code(primary::kStateCheck));
            return nullptr;
        }
        const bool reports_errors = act != Act::kRequestToSend && act != Act::kTestRts;
        if (reports_errors && report_pending(t, *h, report_rts)) return nullptr;
        if (!allowed(act, h->state)) {
            Result r = code(primary::kStateCheck);
            if (report_rts) r.rts = h->rts;
            complete(t, r);
            return nullptr;
        }
        return h;
    }

    void park_response(Token t, HalfSession &h, State after, bool rts) {
        Waiting w;
        w.token = t;
        w.kind = Waiting::kResponse;
        w.after = after;
        w.reports_rts = rts;
        h.waiting = w;
    }

    void done(Token t, HalfSession &h, bool rts) {
        Result r;
        if (rts) r.rts = take_rts(h);
        if (h.state == State::kReset) drop(h);
        complete(t, r);
    }

    void on(Token t, const codec::SendData &v, uint64_t) {
        using K = codec::SendKind;
        HalfSession *h = enter(t, v.conv, Act::kSendData, true);
        if (!h) return;
        const bool confirm_level = h->sync_level == 1;
        const bool needs_boundary = v.kind != K::kBuffer && v.kind != K::kFlush && v.kind != K::kDeallocAbend;
        if (v.kind == K::kConfirm && !confirm_level) {
            complete(t, code(primary::kStateCheck));
            return;
        }
        if (!h->mapped()) {
            LlScanner s = h->tx;
            bool ended = false, bad = false;
            s.advance(v.data, v.length, false, ended, bad);
            if (bad) {
                complete(t, code(primary::kParameterCheck, secondary::kBadLl));
                return;
            }
            if (needs_boundary && !s.at_boundary()) {
                complete(t, code(primary::kStateCheck));
                return;
            }
            h->tx = s;
        }
        if (v.kind == K::kDeallocAbend) {
            abend(*h, sense::kDeallocAbendProgram, {});
            h->state = State::kReset;
            done(t, *h, true);
            return;
        }
        append_out(*h, v.data, v.length);
        h->state = State::kSend;
        switch (v.kind) {
        case K::kBuffer:
            if (h->out_bytes >= kMaxRu) flush(*h, false, false, false, false);
            break;
        case K::kFlush: flush(*h, false, false, false, false); break;
        case K::kConfirm:
            flush(*h, true, false, true, false);
            park_response(t, *h, State::kSend, true);
            return;
        case K::kPrepareFlush:
        case K::kPrepareSyncLevel:
            if (v.kind == K::kPrepareSyncLevel && confirm_level) {
                flush(*h, true, true, true, false);
                park_response(t, *h, State::kReceive, true);
                return;
            }
            flush(*h, true, true, false, false);
            h->state = State::kReceive;
            break;
        case K::kDeallocFlush:
        case K::kDeallocSyncLevel:
            if (v.kind == K::kDeallocSyncLevel && confirm_level) {
                flush(*h, true, false, true, true);
                park_response(t, *h, State::kReset, true);
                return;
            }
            flush(*h, true, false, false, true);
            h->state = State::kReset;
            break;
        case K::kDeallocAbend: break;
        }
        done(t, *h, true);
    }

    void on(Token t, const codec::Flush &v, uint64_t) {
        HalfSession *h = enter(t, v.conv, Act::kFlushConfirm, false);
        if (!h) return;
        flush(*h, false, false, false, false);
        h->state = State::kSend;
        done(t, *h, false);
    }

    void on(Token t, const codec::Confirm &v, uint64_t) {
        HalfSession *h = enter(t, v.conv, Act::kFlushConfirm, true);
        if (!h) return;
        if (h->sync_level != 1 || off_boundary(*h)) {
            complete(t, code(primary::kStateCheck));
            return;
        }
        flush(*h, true, false, true, false);
        h->state = State::kSend;
        park_response(t, *h, State::kSend, true);
    }

    void on(Token t, const codec::PrepareToReceive &v, uint64_t) {
        HalfSession *h = enter(t, v.conv, Act::kPrepare, false);
        if (!h) return;
        if (off_boundary(*h)) {
            complete(t, code(primary::kStateCheck));
            return;
        }
        if (!v.flush && h->sync_level == 1) {
            flush(*h, true, true, true, false);
            h->state = State::kSend;
            park_response(t, *h, State::kReceive, false);
            return;
        }
        flush(*h, true, true, false, false);
        h->state = State::kReceive;
        done(t, *h, false);
    }

    void on(Token t, const codec::Receive &v, uint64_t) {
        HalfSession *h = enter(t, v.conv, v.immediate ? Act::kReceiveImmediate : Act::kReceiveWait, true);
        if (!h) return;
        if (h->state != State::kReceive) {
            // Receive-and-wait in Send: the right to send goes first.
            if (off_boundary(*h)) {
                complete(t, code(primary::kStateCheck));
                return;
            }
            flush(*h, true, true, false, false);
            h->state = State::kReceive;
        }
        if (auto r = try_receive(*h, v)) {
            finish_receive(t, *h, *r);
            return;
        }
        Waiting w;
        w.token = t;
        w.kind = Waiting::kReceive;
        w.receive = v;
        w.reports_rts = true;
        h->waiting = w;
    }

    void on(Token t, const codec::Confirmed &v, uint64_t) {
        HalfSession *h = enter(t, v.conv, Act::kConfirmed, false);
        if (!h) return;
        respond(*h, 0);
        h->state = h->state == State::kConfirm       ? State::kReceive
                   : h->state == State::kConfirmSend ? State::kSend
                                                     : State::kReset;
        done(t, *h, false);
    }

    void on(Token t, const codec::SendError &v, uint64_t) {
        HalfSession *h = enter(t, v.conv, Act::kSendError, true);
        if (!h) return;
        if (allowed(Act::kSendData, h->state)) {
            // Our own data is in error; a basic record we cut short says so.
            const uint32_t s = off_boundary(*h) ? sense::kProgramErrorTrunc : sense::kProgramError;
            h->tx = LlScanner{};
            h->out.push_back(OutSeg{OutSeg::kError, {}, v.log, s});
        } else {
            // The partner's data is in error: what it sent is purged (a
            // deallocation already on its way ends the conversation).
            const bool ended = std::any_of(h->in.begin(), h->in.end(),
                                           [](const InItem &i) { return i.kind == InItem::kDeallocNormal; });
            if (ended) {
                Result r = code(primary::kDeallocNormal);
                r.rts = take_rts(*h);
                drop(*h);
                complete(t, r);
                return;
            }
            h->in.clear();
            h->rx = LlScanner{};
            respond(*h, sense::kErrorInfoFollows);
            h->out.push_back(OutSeg{OutSeg::kError, {}, v.log, sense::kProgramError});
        }
        h->state = State::kSend;
        done(t, *h, true);
    }

    void on(Token t, const codec::RequestToSend &v, uint64_t) {
        HalfSession *h = enter(t, v.conv, Act::kRequestToSend, false);
        if (!h) return;
        Message m = to_partner(*h);
        m.rh.dfc = true;
        m.signal = kSignalRequestToSend;
        send(m);
        done(t, *h, false);
    }

    void on(Token t, const codec::TestRts &v, uint64_t) {
        HalfSession *h = enter(t, v.conv, Act::kTestRts, false);
        if (!h) return;
        complete(t, take_rts(*h) ? Result{} : code(primary::kUnsuccessful));
    }

    void on(Token t, const codec::Deallocate &v, uint64_t) {
        using K = codec::DeallocKind;
        const bool abend_kind = v.kind == K::kAbendBasic || v.kind == K::kAbendMapped;
        if (abend_kind) {
            HalfSession *h = find(v.conv.conv_id);
            if (!h) {
                complete(t, Result{}); // already Reset: stays so
                return;
            }
            std::optional<Waiting> w = h->waiting;
            h->waiting.reset();
            if (!h->pending || !h->pending->ends) abend(*h, sense::kDeallocAbendProgram, v.log);
            drop(*h);
            if (w) complete(w->token, code(primary::kCancelled));
            complete(t, Result{});
            return;
        }
        HalfSession *h = enter(t, v.conv, Act::kDeallocNormal, false);
        if (!h) return;
        if (off_boundary(*h)) {
            complete(t, code(primary::kStateCheck));
            return;
        }
        if (v.kind == K::kSyncLevel && h->sync_level == 1) {
            flush(*h, true, false, true, true);
            h->state = State::kSend;
            park_response(t, *h, State::kReset, false);
            return;
        }
        flush(*h, true, false, false, true);
        h->state = State::kReset;
        done(t, *h, false);
    }

    void on(Token t, const codec::GetState &v, uint64_t) {
        HalfSession *h = find(v.conv.conv_id);
        if (!h) {
            complete(t, code(primary::kParameterCheck, secondary::kBadConvId));
            return;
        }
        Result r;
        r.state = code_of(h->state);
        complete(t, r);
    }

    // Ends a conversation at once; the verb in progress on it finishes as
    // cancelled. A zero tp_id names an accept in progress by its handle.
    void on(Token t, const codec::Cancel &v, uint64_t) {
        if (v.conv.tp_id == TpId{}) {
            auto w = std::find_if(accepts.begin(), accepts.end(),
                                  [&](const AcceptWait &a) { return a.verb.handle == v.conv.conv_id; });
            if (w != accepts.end()) {
                const Token accept_token = w->token;
                accepts.erase(w);
                complete(accept_token, code(primary::kCancelled));
            }
            complete(t, Result{});
            return;
        }
        HalfSession *h = find(v.conv.conv_id);
        if (h) {
            std::optional<Waiting> w = h->waiting;
            h->waiting.reset();
            if (!h->pending || !h->pending->ends) abend(*h, sense::kDeallocAbendProgram, {});
            drop(*h);
            if (w) complete(w->token, code(primary::kCancelled));
        }
        complete(t, Result{});
    }
};

Core::Core(NodeConfig config, Callbacks callbacks)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(callbacks))) {}

Core::~Core() = default;

void Core::set_config(NodeConfig config) {
    if (config.local_lus.empty()) config.local_lus.push_back(LocalLu{"LOCAL", "ZORVEL.LOCAL", true});
    impl_->config = std::move(config);
}

void Core::submit(Token token, const codec::Verb &verb, uint64_t now_ms) {
    Impl &m = *impl_;
    m.run([&] { m.verb(token, verb, now_ms); },
          [&] {
              Impl::Deferred d;
              d.kind = Impl::Deferred::kVerb;
              d.token = token;
              d.verb = verb;
              d.now = now_ms;
              return d;
          });
}

void Core::receive(const Bytes &frame, uint64_t now_ms) {
    receive(frame.data(), frame.size(), now_ms);
}

void Core::receive(const uint8_t *frame, size_t n, uint64_t now_ms) {
    Impl &m = *impl_;
    m.run([&] { m.frame(frame, n, now_ms); },
          [&] {
              Impl::Deferred d;
              d.kind = Impl::Deferred::kFrame;
              d.frame.assign(frame, frame + n);
              d.now = now_ms;
              return d;
          });
}

void Core::receive_routed(const Bytes &frame, const LocalLu &lu, uint64_t now_ms) {
    Impl &m = *impl_;
    m.run([&] { m.routed(frame, lu, now_ms); },
          [&] {
              Impl::Deferred d;
              d.kind = Impl::Deferred::kRouted;
              d.frame = frame;
              d.now = now_ms;
              d.lu = lu;
              return d;
          });
}

void Core::session_lost(uint32_t session, bool primary_end) {
    Impl &m = *impl_;
    m.run([&] { m.lost(session, primary_end); },
          [&] {
              Impl::Deferred d;
              d.kind = Impl::Deferred::kLost;
              d.session = session;
              d.primary = primary_end;
              return d;
          });
}

void Core::tick(uint64_t now_ms) {
    Impl &m = *impl_;
    m.run([&] { m.expire(now_ms); },
          [&] {
              Impl::Deferred d;
              d.kind = Impl::Deferred::kTick;
              d.now = now_ms;
              return d;
          });
}

std::optional<uint64_t> Core::next_deadline() const {
    std::optional<uint64_t> d;
    for (const QueuedAttach &q : impl_->queued)
        if (!d || q.deadline < *d) d = q.deadline;
    return d;
}

std::optional<codec::StateCode> Core::state_of(uint32_t conv_id) const {
    auto it = impl_->convs.find(conv_id);
    if (it == impl_->convs.end()) return std::nullopt;
    return code_of(it->second.state);
}

std::optional<codec::StateCode> Core::session_state(uint32_t session, bool primary_end) const {
    uint32_t id = session;
    if (!primary_end) {
        auto s = impl_->secondaries.find(session);
        if (s == impl_->secondaries.end()) return std::nullopt;
        id = s->second;
    }
    auto it = impl_->convs.find(id);
    if (it == impl_->convs.end() || it->second.primary != primary_end) return std::nullopt;
    return code_of(it->second.state);
}

size_t Core::conversations() const {
    return impl_->convs.size();
}
size_t Core::tp_instances() const {
    return impl_->tps.size();
}
size_t Core::queued_attaches() const {
    return impl_->queued.size();
}
size_t Core::waiting_accepts() const {
    return impl_->accepts.size();
}
size_t Core::waiting_verbs() const {
    size_t n = 0;
    for (const auto &c : impl_->convs) n += c.second.waiting.has_value();
    return n;
}
uint32_t Core::malformed_messages() const {
    return impl_->malformed;
}

} // namespace zv::lu62
