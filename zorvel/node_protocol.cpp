// SPDX-License-Identifier: Apache-2.0
// The daemon protocol's one encoder and decoder. Each message lists its
// fields once (fields() below); the same list writes and reads it.
#include "zorvel/node_protocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zv::proto {
namespace {

template <class F>
void fields(F &f, Hello &m) {
    f(m.version), f(m.pid);
}
template <class F>
void fields(F &f, HelloReply &m) {
    f(m.version), f(m.pid);
}
template <class F>
void fields(F &f, TpStarted &m) {
    f(m.tp_id), f(m.lu_alias), f(m.tp_name);
}
template <class F>
void fields(F &f, TpEnded &m) {
    f(m.tp_id);
}
template <class F>
void fields(F &f, Register &m) {
    f(m.tp_name);
}
template <class F>
void fields(F &f, Withdraw &m) {
    f(m.tp_name);
}
template <class F>
void fields(F &f, AcceptWait &m) {
    f(m.wait_id), f(m.tp_id), f(m.tp_names);
}
template <class F>
void fields(F &f, AcceptCancel &m) {
    f(m.wait_id);
}
template <class F>
void fields(F &f, Attach &m) {
    f(m.conv_id), f(m.tp_id), f(m.frame);
}
template <class F>
void fields(F &f, Deliver &m) {
    f(m.wait_id), f(m.session), f(m.lu_alias), f(m.lu_name), f(m.frame);
}
template <class F>
void fields(F &f, Query &m) {
    f(m.query_id);
}
template <class F>
void fields(F &f, ConvInfo &m) {
    f(m.session), f(m.primary), f(m.state), f(m.bytes_sent), f(m.bytes_received);
}
template <class F>
void fields(F &f, QueryReply &m) {
    f(m.query_id), f(m.conversations);
}
template <class F>
void fields(F &f, Status &m) {
    f(m.json);
}
template <class F>
void fields(F &f, StatusReply &m) {
    f(m.text);
}
template <class F>
void fields(F &, Stop &) {}
template <class F>
void fields(F &f, ConvEnded &m) {
    f(m.session), f(m.primary);
}
template <class F>
void fields(F &f, ConvFailed &m) {
    f(m.session), f(m.primary), f(m.sense), f(m.how);
}

struct Writer {
    Bytes &out;
    template <class T>
    void integer(T v) {
        for (size_t i = sizeof(T); i-- > 0;) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void operator()(uint8_t v) { integer(v); }
    void operator()(uint32_t v) { integer(v); }
    void operator()(uint64_t v) { integer(v); }
    void operator()(const TpId &v) { out.insert(out.end(), v.begin(), v.end()); }
    void operator()(const std::string &v) {
        integer(static_cast<uint16_t>(v.size()));
        out.insert(out.end(), v.begin(), v.end());
    }
    void operator()(const Bytes &v) {
        integer(static_cast<uint32_t>(v.size()));
        out.insert(out.end(), v.begin(), v.end());
    }
    template <class T>
    void operator()(const std::vector<T> &v) {
        integer(static_cast<uint16_t>(v.size()));
        for (const T &x : v) (*this)(x);
    }
    void operator()(const ConvInfo &v) { fields(*this, const_cast<ConvInfo &>(v)); }
};

struct Parser {
    const uint8_t *p;
    size_t left;
    bool ok = true;
    const uint8_t *take(size_t n) {
        if (!ok || n > left) {
            ok = false;
            return nullptr;
        }
        const uint8_t *at = p;
        p += n;
        left -= n;
        return at;
    }
    template <class T>
    T integer() {
        const uint8_t *b = take(sizeof(T));
        T v = 0;
        if (b)
            for (size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v << 8 | b[i]);
        return v;
    }
    void operator()(uint8_t &v) { v = integer<uint8_t>(); }
    void operator()(uint32_t &v) { v = integer<uint32_t>(); }
    void operator()(uint64_t &v) { v = integer<uint64_t>(); }
    void operator()(TpId &v) {
        if (const uint8_t *b = take(v.size())) std::memcpy(v.data(), b, v.size());
    }
    void operator()(std::string &v) {
        const size_t n = integer<uint16_t>();
        if (const uint8_t *b = take(n)) v.assign(reinterpret_cast<const char *>(b), n);
    }
    void operator()(Bytes &v) {
        const size_t n = integer<uint32_t>();
        if (const uint8_t *b = take(n)) v.assign(b, b + n);
    }
    template <class T>
    void operator()(std::vector<T> &v) {
        const size_t n = integer<uint16_t>();
        for (size_t i = 0; i < n && ok; ++i) {
            T x{};
            (*this)(x);
            v.push_back(std::move(x));
        }
    }
    void operator()(ConvInfo &v) { fields(*this, v); }
};

// Decodes alternative I of Message when it is the one `index` names.
template <size_t I = 0>
std::optional<Message> decode_as(size_t index, Parser &in) {
    if constexpr (I < std::variant_size_v<Message>) {
        if (index != I) return decode_as<I + 1>(index, in);
        std::variant_alternative_t<I, Message> m{};
        fields(in, m);
        if (!in.ok || in.left != 0) return std::nullopt;
        return Message{std::move(m)};
    } else {
        return std::nullopt;
    }
}

} // namespace

Bytes encode(const Message &m) {
    Bytes out(kHeaderSize);
    Writer w{out};
    std::visit([&](const auto &x) { fields(w, const_cast<std::decay_t<decltype(x)> &>(x)); }, m);
    const uint32_t body = static_cast<uint32_t>(out.size() - kHeaderSize);
    const uint16_t type = static_cast<uint16_t>(type_of(m));
    const uint8_t header[kHeaderSize] = {static_cast<uint8_t>(body >> 24),
                                         static_cast<uint8_t>(body >> 16),
                                         static_cast<uint8_t>(body >> 8),
                                         static_cast<uint8_t>(body),
                                         static_cast<uint8_t>(type >> 8),
                                         static_cast<uint8_t>(type),
                                         0,
                                         0};
    std::memcpy(out.data(), header, kHeaderSize);
    return out;
}

std::optional<Message> decode(Type type, const uint8_t *body, size_t n) {
    const size_t index = static_cast<size_t>(type);
    if (index == 0) return std::nullopt;
    Parser in{body, n};
    return decode_as(index - 1, in);
}

void Reader::feed(const uint8_t *p, size_t n) {
    if (at_ > 0 && at_ == buffer_.size()) {
        buffer_.clear();
        at_ = 0;
    }
    buffer_.insert(buffer_.end(), p, p + n);
}

std::optional<Message> Reader::take() {
    if (bad_ || buffer_.size() - at_ < kHeaderSize) return std::nullopt;
    const uint8_t *h = buffer_.data() + at_;
    const uint32_t body = static_cast<uint32_t>(h[0]) << 24 | static_cast<uint32_t>(h[1]) << 16 |
                          static_cast<uint32_t>(h[2]) << 8 | h[3];
    const uint16_t type = static_cast<uint16_t>(h[4] << 8 | h[5]);
    if (body > kMaxBody || h[6] != 0 || h[7] != 0 || type == 0 || type > std::variant_size_v<Message>) {
        bad_ = true;
        return std::nullopt;
    }
    if (buffer_.size() - at_ - kHeaderSize < body) return std::nullopt;
    auto m = decode(static_cast<Type>(type), h + kHeaderSize, body);
    if (!m) {
        bad_ = true;
        return std::nullopt;
    }
    at_ += kHeaderSize + body;
    if (at_ == buffer_.size()) {
        buffer_.clear();
        at_ = 0;
    }
    return m;
}

long send_some(int socket, const uint8_t *data, size_t n, int fd_to_pass, int flags) {
    iovec iov{const_cast<uint8_t *>(data), n};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd_to_pass >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd_to_pass, sizeof(int));
    }
    return sendmsg(socket, &msg, MSG_NOSIGNAL | flags);
}

bool send_all(int socket, const Bytes &bytes, int fd_to_pass) {
    size_t at = 0;
    while (at < bytes.size()) {
        const long n = send_some(socket, bytes.data() + at, bytes.size() - at, at == 0 ? fd_to_pass : -1, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{socket, POLLOUT, 0};
                poll(&p, 1, -1);
                continue;
            }
            return false;
        }
        at += static_cast<size_t>(n);
    }
    return true;
}

long receive_some(int socket, uint8_t *buffer, size_t room, std::vector<int> &fds) {
    iovec iov{buffer, room};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do n = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            fds.push_back(fd);
        }
    }
    return static_cast<long>(n);
}

std::string socket_path() {
    if (const char *p = std::getenv("ZORVEL_NODE_SOCKET"); p && *p) return p;
    if (const char *r = std::getenv("XDG_RUNTIME_DIR"); r && *r) return std::string(r) + "/zorvel/node.sock";
    return "/tmp/zorvel-" + std::to_string(getuid()) + "/node.sock";
}

} // namespace zv::proto
