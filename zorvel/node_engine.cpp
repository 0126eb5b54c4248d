// SPDX-License-Identifier: Apache-2.0
// The node engine: this process's LU 6.2 core behind the verb seam, with the
// node daemon (zorveld) for everything that crosses programs. The daemon
// knows the TP instances and names of every program, routes each attach
// and starts invokable TPs; conversation data never passes through it.
//
// Sessions. An allocating program makes a socketpair when its attach first
// leaves, keeps one end and hands the other to the daemon with the attach;
// the daemon hands it on to the program whose receive-allocate takes it, or
// writes the rejection into it. Each session then runs on its own
// socketpair, in the core's frames; a reader rewrites the session number of
// what arrives to its own end's (the allocator numbers a session by its
// conversation, the acceptor by the daemon's number). When the conversation
// is over at this end, what is still unwritten goes and the end closes; a
// session that closes under a conversation still running ends it with a
// resource failure.
//
// Waiting. Everything runs under the process lock. A blocking verb that
// must wait for its partner polls every descriptor of the engine itself
// with the lock released (one thread at a time does: the others wait on the
// lock's condition and see what the poller read). A thread of the engine's
// own does the same while no blocking verb waits but something must be
// read in the background: a verb in progress with a callback, output the
// socket did not take, a queued attach that may time out.
//
// The daemon lost: every path user gets the path failure, the engine drops
// its conversations (their partners see the sessions close) and the next
// verb connects again, starting a fresh daemon.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "node/verb_records.h"
#include "zorvel/completions.h"
#include "zorvel/internal.h"
#include "zorvel/lu62_core.h"
#include "zorvel/node_config.h"
#include "zorvel/node_protocol.h"
#include "zorvel/verb_codec.h"
#include "zorvel/core_engine.h"

namespace zv {
namespace {

constexpr int kDaemonStartWaitMs = 5000;
constexpr size_t kFrameHeader = 7; // u16 length, u32 session, u8 direction
constexpr size_t kMaxFrame = 0xFFFF + 2;
// One read takes this much of a session at most; what is left waits in the
// socket for the next, so a fast sender cannot pile up more in the core.
constexpr size_t kReadBuffer = 128 * 1024;
// Each end may have this much in flight (the kernel doubles it) before a
// send finds its socket full: a burst of 32 KB records goes out in the
// sending verb instead of queueing for a poller, and a socket that reports
// room only once three quarters of its buffer is free reports it often.
constexpr int kSocketBuffer = 512 * 1024;

uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

int connect_to(const std::string &path) {
    sockaddr_un a{};
    if (path.size() >= sizeof a.sun_path) return -1;
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
}

// The daemon to start: $ZORVEL_DAEMON, else the zorveld beside this library
// (a build tree), else the installed one.
std::string daemon_program() {
    if (const char *d = std::getenv("ZORVEL_DAEMON"); d && *d) return d;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&connect_to), &info) != 0 && info.dli_fname) {
        const std::string lib = info.dli_fname;
        const size_t slash = lib.rfind('/');
        const std::string beside =
            slash == std::string::npos ? "zorveld" : lib.substr(0, slash + 1) + "zorveld";
        if (access(beside.c_str(), X_OK) == 0) return beside;
    }
    return ZORVEL_INSTALLED_DAEMON;
}

void make_folder(const std::string &socket) {
    const size_t slash = socket.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    const std::string dir = socket.substr(0, slash);
    // The parent of a private folder may be missing too ($XDG_RUNTIME_DIR/zorvel).
    for (size_t at = 1; at != std::string::npos; at = dir.find('/', at + 1))
        mkdir(dir.substr(0, at).c_str(), 0700);
    mkdir(dir.c_str(), 0700);
}

// Starts the daemon detached from this program (its own session, not our
// child), so it outlives us and never becomes a zombie of ours.
bool spawn_daemon(const std::string &program, const std::string &socket) {
    const std::vector<std::string> args = {program, "--socket", socket};
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        setsid();
        if (fork() != 0) _exit(0);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return true;
}

// Connects to the daemon, starting one if none answers and `start` allows.
// A lock file next to the socket makes two programs that start at once start
// one daemon.
int connect_daemon(bool start) {
    const std::string path = proto::socket_path();
    int fd = connect_to(path);
    if (fd >= 0 || !start) return fd;
    make_folder(path);
    const std::string lock_path = path + ".lock";
    const int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0) flock(lock, LOCK_EX);
    fd = connect_to(path);
    if (fd < 0 && spawn_daemon(daemon_program(), path)) {
        for (int waited = 0; fd < 0 && waited < kDaemonStartWaitMs; waited += 5) {
            usleep(5000);
            fd = connect_to(path);
        }
    }
    const int e = errno;
    if (lock >= 0) close(lock); // releases the flock
    errno = e;
    return fd;
}

// One session's socketpair end.
struct Channel {
    int fd = -1;
    uint32_t session = 0; // this end's number for it
    bool primary = false; // this end allocated
    lu62::Bytes in;       // a frame not yet whole
    lu62::Bytes out;      // what the socket did not take yet, from out_at
    size_t out_at = 0;
    uint64_t bytes_sent = 0;
    uint64_t bytes_received = 0;
    bool closing = false; // the conversation is over here: close once `out` is written
};

uint64_t key_of(uint32_t session, bool primary) {
    return static_cast<uint64_t>(session) << 1 | (primary ? 1u : 0u);
}

class NodeEngine final : public CoreEngine {
  public:
    NodeEngine() {
        wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        rebuild();
    }

  private:
    // ---- Around the core ------------------------------------------------------

    void before_verb(const codec::Verb &v) override {
        ensure_connected();
        // A verb that answers from what has arrived must see what the
        // sessions hold now, read or not.
        const auto *r = std::get_if<codec::Receive>(&v);
        if ((r && r->immediate) || std::holds_alternative<codec::TestRts>(v) ||
            std::holds_alternative<codec::GetState>(v))
            read_ready_sessions();
    }

    void after_submit(lu62::Token t, const Inflight &f) override {
        if (auto *ra = std::get_if<codec::ReceiveAllocate>(&f.verb); ra && !f.done)
            tell_daemon(proto::AcceptWait{t, {}, ra->tp_names});
        sweep();
        wake_background(); // a lost daemon, an attach that may time out: a poller sees to them
    }

    void went_in_progress() override { wake_background(); } // the background thread may have to read

    void wait_for(lu62::Token t) override {
        ++blocking_waiters_;
        while (!inflight_.at(t).done) {
            if (!polling_)
                poll_once(false);
            else {
                // The engine's thread steps aside for a verb that waits.
                if (poller_is_background_) kick();
                wait_with_lock_released(nullptr);
            }
        }
        --blocking_waiters_;
        notify_lock_waiters();
        wake_background();
    }

    // Path failure or reset: every session closes and the daemon forgets
    // this program; the next verb connects again.
    void dropped() override {
        for (auto &entry : channels_) close(entry.second.fd);
        channels_.clear();
        if (daemon_fd_ >= 0) close(daemon_fd_);
        daemon_fd_ = -1;
        daemon_in_ = proto::Reader{};
        for (int fd : passed_fds_) close(fd);
        passed_fds_.clear();
        conv_tp_.clear();
        delivered_.clear();
        daemon_lost_ = false;
        path_failure_pending_ = false;
        unreachable_reported_ = false;
        kick();
        wake_background();
    }

    void finished(lu62::Token t, const codec::Verb &verb, const codec::Result &r) override {
        tell_daemon_of(t, verb, r);
    }

    // The daemon logs one line per conversation that ends with an error.
    void conversation_failed(uint32_t session, bool primary, uint32_t sense, lu62::Failure how) override {
        tell_daemon(proto::ConvFailed{session, primary, sense, static_cast<uint8_t>(how)});
    }

    // What the daemon must know of a verb that finished here.
    void tell_daemon_of(lu62::Token t, const codec::Verb &verb, const codec::Result &r) {
        if (std::holds_alternative<codec::ReceiveAllocate>(verb)) {
            if (!delivered_.erase(t)) tell_daemon(proto::AcceptCancel{t});
            return;
        }
        if (r.primary != 0) return;
        if (auto *s = std::get_if<codec::StartTp>(&verb))
            tell_daemon(proto::TpStarted{r.tp_id, r.lu_alias, s->tp_name});
        else if (auto *e = std::get_if<codec::EndTp>(&verb))
            tell_daemon(proto::TpEnded{e->tp_id});
        else if (auto *g = std::get_if<codec::RegisterTpName>(&verb))
            tell_daemon(proto::Register{g->tp_name});
        else if (auto *w = std::get_if<codec::WithdrawTpName>(&verb))
            tell_daemon(proto::Withdraw{w->tp_name});
        else if (auto *a = std::get_if<codec::Allocate>(&verb))
            conv_tp_[r.conv_id] = a->conv.tp_id;
    }

    // ---- The daemon -----------------------------------------------------------

    void ensure_connected() {
        if (daemon_fd_ >= 0 || path_failure_pending_) return;
        // A daemon that could not be started is not started again for every
        // verb (each try waits for it): until a connection succeeds, later
        // verbs only look for one that someone else started.
        const int fd = connect_daemon(!unreachable_reported_);
        if (fd < 0) {
            const auto error = static_cast<uint32_t>(errno);
            if (!unreachable_reported_) {
                const std::string path = proto::socket_path();
                nba_pd_print_problem(ZT_PROBLEM_NODE_UNREACHABLE, 1, "ca lx", static_cast<uint32_t>(path.size()),
                                     path.c_str(), error);
            }
            unreachable_reported_ = true;
            return;
        }
        if (!proto::send_all(fd,
                             proto::encode(proto::Hello{proto::kVersion, static_cast<uint32_t>(getpid())}))) {
            close(fd);
            return;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        daemon_fd_ = fd;
        unreachable_reported_ = false;
        if (!background_started_) {
            background_started_ = true;
            std::thread([this] { background(); }).detach();
        }
        kick();
    }

    void tell_daemon(const proto::Message &m, int fd_to_pass = -1) {
        if (daemon_fd_ < 0) return;
        if (!proto::send_all(daemon_fd_, proto::encode(m), fd_to_pass)) daemon_lost_ = true;
    }

    void daemon_readable() {
        uint8_t buffer[4096];
        for (;;) {
            const long n = proto::receive_some(daemon_fd_, buffer, sizeof buffer, passed_fds_);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) {
                daemon_lost_ = true;
                return;
            }
            daemon_in_.feed(buffer, static_cast<size_t>(n));
        }
        while (auto m = daemon_in_.take()) {
            if (auto *d = std::get_if<proto::Deliver>(&*m))
                delivered(*d);
            else if (auto *q = std::get_if<proto::Query>(&*m))
                answer(*q);
        }
        if (daemon_in_.bad()) daemon_lost_ = true;
    }

    // An attach for one of our receive-allocates, with its session's end
    // (passed descriptors come in the order of the messages they go with).
    void delivered(const proto::Deliver &d) {
        if (passed_fds_.empty()) return;
        const int fd = passed_fds_.front();
        passed_fds_.erase(passed_fds_.begin());
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        Channel &c = channels_[key_of(d.session, false)];
        c.fd = fd;
        c.session = d.session;
        c.primary = false;
        delivered_.insert(d.wait_id);
        lu62::Bytes frame = d.frame;
        if (frame.size() < kFrameHeader) return;
        put32(frame.data() + 2, d.session);
        core_->receive_routed(frame, LocalLu{d.lu_alias, d.lu_name, false}, monotonic_ms());
    }

    void answer(const proto::Query &q) {
        proto::QueryReply r;
        r.query_id = q.query_id;
        for (const auto &entry : channels_) {
            const Channel &c = entry.second;
            const auto state = core_->session_state(c.session, c.primary);
            r.conversations.push_back(
                proto::ConvInfo{c.session, c.primary ? uint8_t{1} : uint8_t{0},
                                static_cast<uint8_t>(state ? *state : codec::StateCode::kReset), c.bytes_sent,
                                c.bytes_received});
        }
        tell_daemon(r);
    }

    // ---- Sessions ---------------------------------------------------------------

    // One frame from a half-session of the core, for its partner.
    void frame_out(lu62::Bytes f) override {
        if (f.size() < kFrameHeader) return;
        const uint32_t session = get32(f.data() + 2);
        const bool to_primary = f[6] != 0;
        auto it = channels_.find(key_of(session, !to_primary));
        if (it != channels_.end()) {
            write_channel(it->second, f.data(), f.size());
            return;
        }
        if (!to_primary) open_session(session, f);
    }

    // The first frame of a session this end allocated: the attach.
    void open_session(uint32_t conv_id, const lu62::Bytes &attach) {
        int sv[2];
        if (daemon_fd_ < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv) != 0) {
            // No node to route it: the allocation fails as for a TP that
            // cannot be started (the core runs this after the current step).
            core_->receive(lu62::rejection_frame(conv_id, lu62::sense::kTpNotAvailableNoRetry),
                           monotonic_ms());
            return;
        }
        for (int fd : sv) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
        }
        Channel &c = channels_[key_of(conv_id, true)];
        c.fd = sv[0];
        c.session = conv_id;
        c.primary = true;
        const auto tp = conv_tp_.find(conv_id);
        tell_daemon(proto::Attach{conv_id, tp == conv_tp_.end() ? codec::TpId{} : tp->second, attach}, sv[1]);
        close(sv[1]);
        kick(); // a poller must watch the new descriptor
    }

    // A data message goes out in one write from its head and where the
    // core holds its data.
    void frame_out_split(const lu62::Bytes &head, const uint8_t *data, size_t n) override {
        if (head.size() < kFrameHeader) return;
        auto it = channels_.find(key_of(get32(head.data() + 2), head[6] == 0));
        if (it == channels_.end()) {
            CoreEngine::frame_out_split(head, data, n);
            return;
        }
        write_channel(it->second, head.data(), head.size(), data, n);
    }

    // Writes p then p2; what the socket does not take waits in `c.out`.
    void write_channel(Channel &c, const uint8_t *p, size_t n, const uint8_t *p2 = nullptr, size_t n2 = 0) {
        c.bytes_sent += n + n2;
        size_t taken = 0;
        if (c.out.empty()) {
            iovec iov[2] = {{const_cast<uint8_t *>(p), n}, {const_cast<uint8_t *>(p2), n2}};
            msghdr mh{};
            mh.msg_iov = iov;
            mh.msg_iovlen = n2 > 0 ? 2 : 1;
            ssize_t w;
            do w = sendmsg(c.fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
            while (w < 0 && errno == EINTR);
            if (w == static_cast<ssize_t>(n + n2)) return;
            if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                write_failed(c);
                return;
            }
            taken = w > 0 ? static_cast<size_t>(w) : 0;
            kick(); // a poller must wait for room
        }
        if (taken < n) {
            c.out.insert(c.out.end(), p + taken, p + n);
            taken = 0;
        } else {
            taken -= n;
        }
        if (n2 > 0) c.out.insert(c.out.end(), p2 + taken, p2 + n2);
        wake_background();
    }

    void flush_channel(Channel &c) {
        while (!c.out.empty()) {
            const ssize_t w =
                send(c.fd, c.out.data() + c.out_at, c.out.size() - c.out_at, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) write_failed(c);
                return;
            }
            c.out_at += static_cast<size_t>(w);
            if (c.out_at == c.out.size()) {
                c.out.clear();
                c.out_at = 0;
            } else if (c.out_at > c.out.size() / 2) {
                c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.out_at));
                c.out_at = 0;
            }
        }
    }

    // A write found the partner's end gone. What it sent before it went
    // (the rejection of an attach, an abend) still waits unread and tells
    // the conversation more than the loss does: it goes to the core first.
    // A write made while a read hands frames to the core waits until the
    // read is over (the read buffer is in use, and the frames already read
    // come first).
    void write_failed(Channel &c) {
        if (reading_) {
            const uint64_t key = key_of(c.session, c.primary);
            if (std::find(failed_writes_.begin(), failed_writes_.end(), key) == failed_writes_.end())
                failed_writes_.push_back(key);
            return;
        }
        channel_readable(c, true);
        if (!c.closing) broken(c);
    }

    // The partner's end is gone: the conversation here learns it (after
    // the core's current step) and the sweep closes the channel.
    void broken(Channel &c) {
        c.out.clear();
        c.out_at = 0;
        c.closing = true;
        core_->session_lost(c.session, c.primary);
    }

    // Reads what the partner sent (one buffer, or until nothing is left when
    // `to_end`) and hands each whole frame to the core from where it was
    // read; only a frame cut by the read waits in `c.in` for the rest.
    void channel_readable(Channel &c, bool to_end = false) {
        if (reading_) return; // the buffer is in use; the poller comes back for it
        if (read_buffer_.empty()) read_buffer_.resize(kReadBuffer + kMaxFrame);
        uint8_t *const buffer = read_buffer_.data();
        reading_ = true;
        for (;;) {
            // The cut frame goes in front of what this read brings.
            const size_t have = c.in.size();
            const ssize_t n = recv(c.fd, buffer + have, kReadBuffer, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) {
                broken(c);
                break;
            }
            c.bytes_received += static_cast<uint64_t>(n);
            if (have) std::memcpy(buffer, c.in.data(), have);
            const size_t left = have + static_cast<size_t>(n);
            size_t at = 0;
            while (left - at >= kFrameHeader) {
                const size_t len = static_cast<size_t>(buffer[at] << 8 | buffer[at + 1]) + 2;
                if (left - at < len) break;
                put32(buffer + at + 2, c.session);
                core_->receive(buffer + at, len, monotonic_ms());
                at += len;
            }
            c.in.assign(buffer + at, buffer + left);
            if (!to_end) break;
        }
        reading_ = false;
        while (!failed_writes_.empty()) {
            const uint64_t key = failed_writes_.front();
            failed_writes_.erase(failed_writes_.begin());
            auto it = channels_.find(key);
            if (it != channels_.end()) write_failed(it->second);
        }
    }

    // Closes the sessions whose conversations are over at this end, once
    // what they still owe the partner is written.
    void sweep() {
        for (auto it = channels_.begin(); it != channels_.end();) {
            Channel &c = it->second;
            if (!c.closing && !core_->session_state(c.session, c.primary)) c.closing = true;
            if (c.closing && c.out.empty()) {
                close(c.fd);
                tell_daemon(proto::ConvEnded{c.session, c.primary ? uint8_t{1} : uint8_t{0}});
                if (c.primary) conv_tp_.erase(c.session);
                it = channels_.erase(it);
            } else {
                ++it;
            }
        }
    }

    // The daemon is gone. Conversations end with a resource failure; a verb
    // blocked on one returns with it (into its conversation's block, which
    // the path failure would free under it). The path failure itself waits
    // until no blocking verb is inside the library, then every path user
    // gets it, the library tears down, and drop_in_flight closes every
    // session; the next verb after that starts a fresh daemon.
    void lose_daemon() {
        daemon_lost_ = false;
        if (daemon_fd_ >= 0) close(daemon_fd_);
        daemon_fd_ = -1;
        path_failure_pending_ = true;
        for (auto &entry : channels_) core_->session_lost(entry.second.session, entry.second.primary);
        // What still waits (an accept for the daemon's attach) waits in vain.
        for (auto &entry : inflight_) {
            if (!entry.second.blocking || entry.second.done) continue;
            entry.second.result = codec::Result{};
            entry.second.result.primary = lu62::primary::kResourceFailureNoRetry;
            entry.second.done = true;
        }
        notify_lock_waiters();
        wake_background();
        deliver_path_failure_when_quiet();
    }

    void deliver_path_failure_when_quiet() {
        if (!path_failure_pending_) return;
        for (const auto &entry : inflight_)
            if (entry.second.blocking) return;
        path_failure_pending_ = false;
        deliver_path_failure();
    }

    // Reads whatever the sessions hold, without waiting.
    void read_ready_sessions() {
        if (channels_.empty()) return;
        std::vector<pollfd> fds;
        std::vector<uint64_t> keys;
        for (const auto &entry : channels_) {
            fds.push_back(pollfd{entry.second.fd, POLLIN, 0});
            keys.push_back(entry.first);
        }
        if (poll(fds.data(), fds.size(), 0) <= 0) return;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (!fds[i].revents) continue;
            auto it = channels_.find(keys[i]);
            if (it != channels_.end()) channel_readable(it->second);
        }
    }

    // ---- Polling ------------------------------------------------------------------

    void kick() {
        const uint64_t one = 1;
        if (wake_fd_ >= 0) (void)!write(wake_fd_, &one, sizeof one);
    }

    // One poll over every descriptor, the process lock released meanwhile.
    void poll_once(bool background) {
        polling_ = true;
        poller_is_background_ = background;
        // One poller at a time: the lists keep their room from poll to poll.
        std::vector<pollfd> &fds = poll_fds_;
        std::vector<uint64_t> &keys = poll_keys_; // per entry after the first two
        fds.clear();
        keys.clear();
        fds.push_back(pollfd{wake_fd_, POLLIN, 0});
        fds.push_back(pollfd{daemon_fd_, POLLIN, 0}); // -1 is skipped by poll
        for (const auto &entry : channels_) {
            fds.push_back(pollfd{entry.second.fd,
                                 static_cast<short>(POLLIN | (entry.second.out.empty() ? 0 : POLLOUT)), 0});
            keys.push_back(entry.first);
        }
        int timeout = -1;
        if (const auto next = core_->next_deadline()) {
            const uint64_t now = monotonic_ms();
            timeout = *next <= now ? 0 : static_cast<int>(std::min<uint64_t>(*next - now, INT_MAX));
        }
        int n;
        {
            LockReleased unlocked;
            n = poll(fds.data(), fds.size(), timeout);
        }
        if (n > 0) {
            if (fds[0].revents) {
                uint64_t v;
                (void)!read(wake_fd_, &v, sizeof v);
            }
            // Channels opened or closed meanwhile are looked up by key: a
            // closed one is gone, a new one waits for the next poll.
            for (size_t i = 0; i < keys.size(); ++i) {
                if (!fds[i + 2].revents) continue;
                auto it = channels_.find(keys[i]);
                if (it == channels_.end() || it->second.fd != fds[i + 2].fd) continue;
                if (fds[i + 2].revents & POLLOUT) flush_channel(it->second);
                if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) channel_readable(it->second);
            }
            if (daemon_fd_ >= 0 && daemon_fd_ == fds[1].fd && fds[1].revents) daemon_readable();
        }
        if (core_->next_deadline() && *core_->next_deadline() <= monotonic_ms()) core_->tick(monotonic_ms());
        sweep();
        if (daemon_lost_) lose_daemon();
        polling_ = false;
        notify_lock_waiters();
        wake_background();
    }

    // Whether anything must be read while no blocking verb waits.
    bool background_work() const {
        if (daemon_lost_ || core_->next_deadline()) return true;
        for (const auto &entry : inflight_)
            if (!entry.second.blocking && !entry.second.done) return true;
        for (const auto &entry : channels_)
            if (!entry.second.out.empty()) return true;
        return false;
    }

    // The engine's thread sleeps until one of the places that can give it
    // work wakes it (wake_background): woken by every notification of the
    // process lock, it cost each verb a wake-up and a fight for the lock.
    void background() {
        LockIfNotHeld lock;
        background_waiter_ = this_thread_waiter();
        for (;;) {
            deliver_path_failure_when_quiet();
            if (background_due())
                poll_once(true);
            else
                wait_with_lock_released(nullptr, true);
        }
    }

    bool background_due() const {
        return !path_failure_pending_ && !polling_ && blocking_waiters_ == 0 && background_work();
    }

    // Called wherever what background() looks at may have changed.
    void wake_background() {
        if (background_waiter_ && (path_failure_pending_ || background_due()))
            notify_waiter(background_waiter_);
    }

    // Everything below is guarded by the process lock.
    std::map<uint64_t, Channel> channels_;
    std::vector<uint8_t> read_buffer_;    // what channel_readable reads, made once
    bool reading_ = false;                // channel_readable is handing frames to the core
    std::vector<uint64_t> failed_writes_; // channels whose write failed meanwhile
    std::vector<pollfd> poll_fds_;        // poll_once's, while polling_
    std::vector<uint64_t> poll_keys_;
    std::map<uint32_t, codec::TpId> conv_tp_; // allocated conversations: their TP instance
    std::set<lu62::Token> delivered_;         // receive-allocates the daemon handed an attach
    int daemon_fd_ = -1;
    proto::Reader daemon_in_;
    std::vector<int> passed_fds_;
    bool daemon_lost_ = false;
    bool path_failure_pending_ = false;
    bool unreachable_reported_ = false;
    int wake_fd_ = -1;
    bool polling_ = false;
    bool poller_is_background_ = false;
    int blocking_waiters_ = 0;
    bool background_started_ = false;
    Waiter *background_waiter_ = nullptr;
};

const EngineRegistration kNode("node", []() -> VerbEngine * { return new NodeEngine; });

} // namespace
} // namespace zv
