// SPDX-License-Identifier: Apache-2.0
// The one encoder and decoder of the messages half-sessions exchange.
#include "zorvel/lu62_messages.h"

#include <algorithm>
#include <tuple>

#include "zorvel/ebcdic.h"

namespace zv::lu62 {
namespace {

constexpr size_t kFrameHeader = 2 + 4 + 1; // length, session, direction
constexpr size_t kRhSize = 3;

// RH bits, most significant first as SNA numbers them.
constexpr uint8_t kRhResponse = 0x80, kRhDfc = 0x40, kRhFmh = 0x08, kRhSense = 0x04, kRhBeginChain = 0x02,
                  kRhEndChain = 0x01;
constexpr uint8_t kRhDefinite = 0x80, kRhException = 0x10;
constexpr uint8_t kRhBeginBracket = 0x80, kRhEndBracket = 0x40, kRhChangeDirection = 0x20, kRhCeb = 0x01;
constexpr uint8_t kRhByte0Known = kRhResponse | kRhDfc | kRhFmh | kRhSense | kRhBeginChain | kRhEndChain;
constexpr uint8_t kRhByte1Known = kRhDefinite | kRhException;
constexpr uint8_t kRhByte2Known = kRhBeginBracket | kRhEndBracket | kRhChangeDirection | kRhCeb;

constexpr uint8_t kSignalRu = 0xC9;
constexpr uint8_t kFmh5 = 0x05, kFmh7 = 0x07;
constexpr uint16_t kAttachCommand = 0x02FF;
constexpr uint8_t kFmh5Fixed = 3; // security, resource type, sync level
constexpr uint8_t kBasicResource = 0xD0, kMappedResource = 0xD1;
constexpr uint8_t kFmh7Size = 7;
constexpr uint8_t kFmh7LogFollows = 0x80;

// Widest field of each attach name, in order.
struct NameField {
    std::string Attach::*member;
    size_t min, max;
};
constexpr NameField kAttachNames[] = {{&Attach::tp_name, 1, 64},   {&Attach::user_id, 0, 10},
                                      {&Attach::password, 0, 10},  {&Attach::mode_name, 0, 8},
                                      {&Attach::origin_lu, 0, 17}, {&Attach::destination_lu, 0, 17}};

void put16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void put32(Bytes &b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}
uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(get16(p)) << 16 | get16(p + 2);
}

void put_rh(Bytes &b, const Rh &rh) {
    b.push_back(static_cast<uint8_t>(
        (rh.response ? kRhResponse : 0) | (rh.dfc ? kRhDfc : 0) | (rh.fmh ? kRhFmh : 0) |
        (rh.sense ? kRhSense : 0) | (rh.begin_chain ? kRhBeginChain : 0) | (rh.end_chain ? kRhEndChain : 0)));
    b.push_back(static_cast<uint8_t>((rh.definite_response ? kRhDefinite : 0) |
                                     (rh.exception_response ? kRhException : 0)));
    b.push_back(static_cast<uint8_t>(
        (rh.begin_bracket ? kRhBeginBracket : 0) | (rh.end_bracket ? kRhEndBracket : 0) |
        (rh.change_direction ? kRhChangeDirection : 0) | (rh.conditional_end_bracket ? kRhCeb : 0)));
}

std::optional<Rh> get_rh(const uint8_t *p) {
    if ((p[0] & ~kRhByte0Known) || (p[1] & ~kRhByte1Known) || (p[2] & ~kRhByte2Known)) return std::nullopt;
    Rh rh;
    rh.response = p[0] & kRhResponse;
    rh.dfc = p[0] & kRhDfc;
    rh.fmh = p[0] & kRhFmh;
    rh.sense = p[0] & kRhSense;
    rh.begin_chain = p[0] & kRhBeginChain;
    rh.end_chain = p[0] & kRhEndChain;
    rh.definite_response = p[1] & kRhDefinite;
    rh.exception_response = p[1] & kRhException;
    rh.begin_bracket = p[2] & kRhBeginBracket;
    rh.end_bracket = p[2] & kRhEndBracket;
    rh.change_direction = p[2] & kRhChangeDirection;
    rh.conditional_end_bracket = p[2] & kRhCeb;
    return rh;
}

void put_attach(Bytes &b, const Attach &a) {
    Bytes f;
    f.push_back(0); // length, set below
    f.push_back(kFmh5);
    put16(f, kAttachCommand);
    f.push_back(kFmh5Fixed);
    f.push_back(a.security);
    f.push_back(a.conv_type ? kMappedResource : kBasicResource);
    f.push_back(a.sync_level);
    for (const NameField &n : kAttachNames) {
        const std::string &s = a.*n.member;
        const size_t len = std::min(s.size(), n.max);
        f.push_back(static_cast<uint8_t>(len));
        for (size_t i = 0; i < len; ++i)
            f.push_back(ebcdic::kTables.to_ebcdic[static_cast<unsigned char>(s[i])]);
    }
    f[0] = static_cast<uint8_t>(f.size());
    b.insert(b.end(), f.begin(), f.end());
}

// The FMH-5 at p (n bytes available); returns its length, 0 when malformed.
size_t get_attach(const uint8_t *p, size_t n, Attach &a) {
    if (n < 8 || p[0] > n || p[0] < 8 || p[1] != kFmh5 || get16(p + 2) != kAttachCommand ||
        p[4] != kFmh5Fixed)
        return 0;
    const size_t len = p[0];
    if (p[5] > 2 || (p[6] != kBasicResource && p[6] != kMappedResource) || p[7] > 1) return 0;
    a.security = p[5];
    a.conv_type = p[6] == kMappedResource;
    a.sync_level = p[7];
    size_t at = 8;
    for (const NameField &f : kAttachNames) {
        if (at >= len) return 0;
        const size_t l = p[at++];
        if (l < f.min || l > f.max || at + l > len) return 0;
        std::string s(l, ' ');
        for (size_t i = 0; i < l; ++i) s[i] = ebcdic::kTables.to_ascii[p[at + i]];
        a.*f.member = s;
        at += l;
    }
    return at == len ? len : 0;
}

} // namespace

bool operator==(const Rh &a, const Rh &b) {
    auto t = [](const Rh &r) {
        return std::tie(r.response, r.dfc, r.fmh, r.sense, r.begin_chain, r.end_chain, r.definite_response,
                        r.exception_response, r.begin_bracket, r.end_bracket, r.change_direction,
                        r.conditional_end_bracket);
    };
    return t(a) == t(b);
}

bool operator==(const Attach &a, const Attach &b) {
    auto t = [](const Attach &x) {
        return std::tie(x.conv_type, x.sync_level, x.security, x.tp_name, x.user_id, x.password, x.mode_name,
                        x.origin_lu, x.destination_lu);
    };
    return t(a) == t(b);
}

bool operator==(const ErrorFmh &a, const ErrorFmh &b) {
    return a.sense == b.sense;
}

bool operator==(const Message &a, const Message &b) {
    return a.session == b.session && a.to_primary == b.to_primary && a.rh == b.rh && a.attach == b.attach &&
           a.error == b.error && a.sense == b.sense && a.signal == b.signal && a.data == b.data;
}

Bytes encode(const Message &m) {
    return encode(m, m.data.data(), m.data.size());
}

namespace {

// A frame up to its n bytes of data (none for a response or a SIGNAL),
// with the length of the whole.
void put_head(Bytes &b, const Message &m, size_t n) {
    put16(b, 0); // length, set below
    put32(b, m.session);
    b.push_back(m.to_primary ? 1 : 0);
    Rh rh = m.rh;
    if (m.rh.response) {
        rh.sense = m.sense != 0;
        rh.fmh = rh.dfc = false;
        put_rh(b, rh);
        if (rh.sense) put32(b, m.sense);
    } else if (m.rh.dfc) {
        rh.fmh = rh.sense = false;
        put_rh(b, rh);
        b.push_back(kSignalRu);
        put32(b, m.signal);
    } else {
        rh.fmh = m.attach.has_value() || m.error.has_value();
        rh.sense = false;
        put_rh(b, rh);
        if (m.attach)
            put_attach(b, *m.attach);
        else if (m.error) {
            b.push_back(kFmh7Size);
            b.push_back(kFmh7);
            put32(b, m.error->sense);
            b.push_back(n == 0 ? 0 : kFmh7LogFollows);
        }
    }
    const size_t body = b.size() - 2 + ((m.rh.response || m.rh.dfc) ? 0 : n);
    b[0] = static_cast<uint8_t>(body >> 8);
    b[1] = static_cast<uint8_t>(body);
}

} // namespace

Bytes encode(const Message &m, const uint8_t *data, size_t n) {
    Bytes b;
    b.reserve(kFrameHeader + kRhSize + n + 160);
    put_head(b, m, n);
    if (!m.rh.response && !m.rh.dfc) b.insert(b.end(), data, data + n);
    return b;
}

Bytes encode_head(const Message &m, size_t n) {
    Bytes b;
    b.reserve(kFrameHeader + kRhSize + 160);
    put_head(b, m, n);
    return b;
}

Bytes rejection_frame(uint32_t session, uint32_t sense) {
    Message m;
    m.session = session;
    m.to_primary = true;
    m.error = ErrorFmh{sense};
    m.rh.begin_chain = m.rh.end_chain = m.rh.conditional_end_bracket = true;
    return encode(m);
}

std::optional<Message> decode(const uint8_t *p, size_t n) {
    const uint8_t *data = nullptr;
    size_t data_n = 0;
    auto m = decode_head(p, n, data, data_n);
    if (m) m->data.assign(data, data + data_n);
    return m;
}

std::optional<Message> decode_head(const uint8_t *p, size_t n, const uint8_t *&data, size_t &data_n) {
    data = nullptr;
    data_n = 0;
    if (!p || n < kFrameHeader + kRhSize || get16(p) != n - 2 || p[6] > 1) return std::nullopt;
    Message m;
    m.session = get32(p + 2);
    m.to_primary = p[6] == 1;
    const auto rh = get_rh(p + kFrameHeader);
    if (!rh) return std::nullopt;
    m.rh = *rh;
    const uint8_t *ru = p + kFrameHeader + kRhSize;
    size_t left = n - kFrameHeader - kRhSize;
    if (rh->response) {
        if (rh->fmh || rh->dfc || left != (rh->sense ? 4u : 0u)) return std::nullopt;
        if (rh->sense) {
            m.sense = get32(ru);
            if (m.sense == 0) return std::nullopt;
        }
        return m;
    }
    if (rh->sense) return std::nullopt;
    if (rh->dfc) {
        if (rh->fmh || left != 5 || ru[0] != kSignalRu) return std::nullopt;
        m.signal = get32(ru + 1);
        return m;
    }
    if (rh->fmh) {
        if (left < 2) return std::nullopt;
        if (ru[1] == kFmh5) {
            Attach a;
            const size_t used = get_attach(ru, left, a);
            if (used == 0) return std::nullopt;
            m.attach = a;
            ru += used;
            left -= used;
        } else if (ru[1] == kFmh7) {
            if (ru[0] != kFmh7Size || left < kFmh7Size || (ru[6] & ~kFmh7LogFollows)) return std::nullopt;
            const bool log = ru[6] & kFmh7LogFollows;
            if (log != (left > kFmh7Size)) return std::nullopt;
            m.error = ErrorFmh{get32(ru + 2)};
            ru += kFmh7Size;
            left -= kFmh7Size;
        } else {
            return std::nullopt;
        }
    }
    data = ru;
    data_n = left;
    return m;
}

void append_gds_record(Bytes &out, const uint8_t *data, size_t n) {
    constexpr size_t kMaxSegment = 0x7FFF;
    size_t done = 0;
    bool first = true;
    do {
        const size_t head = first ? 4 : 2;
        const size_t take = std::min(n - done, kMaxSegment - head);
        const bool more = done + take < n;
        put16(out, static_cast<uint16_t>((head + take) | (more ? 0x8000 : 0)));
        if (first) put16(out, kGdsApplicationData);
        out.insert(out.end(), data + done, data + done + take);
        done += take;
        first = false;
    } while (done < n);
}

// Segment bodies go straight into the record they belong to; only a
// header split between two calls is held back.
bool GdsReader::feed(const uint8_t *p, size_t n, std::vector<Bytes> &records, std::vector<Bytes> *spares) {
    if (bad_) return false;
    size_t i = 0;
    for (;;) {
        if (in_body_) {
            const size_t take = std::min(left_, n - i);
            record_.insert(record_.end(), p + i, p + i + take);
            i += take;
            left_ -= take;
            if (left_ > 0) return true;
            in_body_ = false;
            first_segment_ = !more_;
            if (first_segment_) {
                records.push_back(std::move(record_));
                record_.clear();
            }
            continue;
        }
        const size_t head = first_segment_ ? 4 : 2;
        while (head_have_ < head && i < n) head_[head_have_++] = p[i++];
        if (head_have_ < head) return true;
        head_have_ = 0;
        const uint16_t ll = get16(head_);
        const size_t len = ll & 0x7FFF;
        if (len < head || (first_segment_ && get16(head_ + 2) != kGdsApplicationData)) {
            bad_ = true; // nothing after it can be framed again
            return false;
        }
        more_ = (ll & 0x8000) != 0;
        left_ = len - head;
        in_body_ = true;
        if (record_.empty() && record_.capacity() == 0 && spares && !spares->empty()) {
            record_ = std::move(spares->back());
            spares->pop_back();
            record_.clear();
        }
        // A record that goes on past its first segment takes room for the
        // next one too, rather than moving everything when it comes.
        const size_t need = record_.size() + left_ + (more_ && record_.empty() ? 0x7FFF : 0);
        if (record_.capacity() < need) record_.reserve(std::max(need, 2 * record_.capacity()));
    }
}

size_t LlScanner::advance(const uint8_t *p, size_t n, bool stop_at_end, bool &ended, bool &bad) {
    ended = bad = false;
    size_t i = 0;
    while (i < n) {
        if (left > 0) {
            const size_t take = std::min<size_t>(left, n - i);
            left = static_cast<uint16_t>(left - take);
            i += take;
            if (left == 0 && !more) {
                ended = true;
                if (stop_at_end) return i;
            }
            continue;
        }
        if (have == 0) {
            high = p[i++];
            have = 1;
            continue;
        }
        const uint16_t ll = static_cast<uint16_t>(high << 8 | p[i]);
        const uint16_t len = ll & 0x7FFF;
        if (len < 2) {
            bad = true;
            return i;
        }
        ++i;
        have = 0;
        more = (ll & 0x8000) != 0;
        left = static_cast<uint16_t>(len - 2);
        if (left == 0 && !more) {
            ended = true;
            if (stop_at_end) return i;
        }
    }
    return i;
}

} // namespace zv::lu62
