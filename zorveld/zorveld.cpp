// SPDX-License-Identifier: Apache-2.0
// zorveld, the node daemon: routes attaches between the programs of one
// user on one machine and starts the TPs the node configuration makes
// invokable. Conversation data never passes through it: each session is a
// socketpair whose far end the daemon only hands from allocator to
// acceptor (node_protocol.h).
//
//   zorveld [--foreground] [--socket PATH] [--idle SECONDS] [--config FILE]
//
// Configuration: --config, else $ZORVEL_CONFIG, else /etc/zorvel/node.toml,
// read once at start with the library's parser; a missing file is the node
// with one LU (LOCAL / ZORVEL.LOCAL). A malformed file is logged mistake by
// mistake and the daemon runs as without one, as the library does, so a
// program that auto-starts the daemon finds it serving.
//
// Start-up: without --foreground the daemon detaches (new session) and then
// binds and listens, while the first process waits and exits 0 only once
// the socket accepts, so whoever started it may connect as soon as it
// returns, and the socket's peer credentials name the serving process. A
// daemon that answers on the socket already: exit 0 quietly. A socket file
// nobody answers on is stale and is replaced. Missing folders on the way
// are made with mode 0700. A relative --config is taken from the folder
// the daemon was started in.
//
// Peers: only those of the daemon's own uid (SO_PEERCRED); others are
// closed with a log line. One thread, one poll loop, non-blocking sockets;
// what a peer cannot take yet waits in its output queue (descriptors go
// with the first byte of their message). A peer whose stream is bad or
// that sends a message only the daemon sends is dropped with a log line.
// A kHello is answered but not required (the operator tool goes straight
// to kStatus / kStop); a kHello of another protocol version is refused.
//
// Attach routing: the attach frame must decode as an FMH-5 going to the
// secondary; check_attach decides against the configuration, a TP name
// counting as registered while any peer registered it or has an accept
// wait naming it. Rejected: the rejection frame is written into the
// session's end, which is closed. Accepted: password security becomes
// "already verified" (the password goes no further) and the frame goes to
// the oldest accept wait of any peer naming the TP name, else to the queue
// (deadline: the definition's queue_timeout_ms, 10000 without one; then
// TP_NOT_AVAILABLE_RETRY). An invokable definition (path) gets a process
// when the attach is queued, unless max_instances of the processes the
// daemon started for it run already or one of them has not yet taken an
// attach (it is on its way to accept). A process "took" an attach when a
// delivery went to a peer with its pid; when one that took an attach ends,
// the oldest attach still queued for its name may start another. Exec
// failure (reported through a close-on-exec pipe): the queued attaches for
// the name are rejected TP_NOT_AVAILABLE_NO_RETRY unless another started
// process or a program that registered the name may still take them. A started process gets APPCTPN, APPCLLU, ZORVEL_CONFIG (the file
// the daemon read), ZORVEL_NODE_SOCKET, stdin /dev/null and stdout+stderr
// appended to <log folder>/<tp name>.<pid>.out (characters other than
// A-Z a-z 0-9 . _ - in the TP name written as _).
//
// Conversations: each attach gets the conversation's daemon-wide number
// (never 0), the session number its acceptor uses; a delivery records both
// ends; kConvEnded from either end or either peer gone ends it. An
// allocator gone or ending its conversation takes its queued attaches with
// it.
//
// Errors: a conversation that ends with an error at the node is one log
// line, naming both TPs and LUs (the allocator's TP from its kTpStarted,
// its LU from the FMH-5), the sense code and its meaning. A rejection by
// the daemon writes it at once; otherwise the first kConvFailed of either
// end does and the other end's report of the same end is dropped. When one
// end's program goes, its conversations wait (orphans_) for the other
// end's report of the lost session.
//
// Status: kStatus is answered after asking every peer that holds a
// conversation (kQuery) and waiting for their replies for up to 200 ms;
// a peer that did not answer shows its side as unknown.
//
// Stopping: kStop, SIGTERM or SIGINT, or idle (no peer, no queued attach,
// no started process running) for --idle seconds (else
// $ZORVEL_IDLE_SECONDS, else 60; 0: never). Queued attaches are rejected
// TP_NOT_AVAILABLE_RETRY, the socket file is removed if it is still ours.
//
// Log: one time-stamped line per event that matters, appended to
// <log folder>/zorveld.log ($ZORVEL_LOG_DIR, else the socket's folder);
// --foreground writes the lines to stderr too.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "zorvel/lu62_codes.h"
#include "zorvel/lu62_core.h"
#include "zorvel/lu62_messages.h"
#include "zorvel/node_config.h"
#include "zorvel/node_protocol.h"

namespace {

using namespace zv;
using proto::Bytes;

constexpr uint32_t kDefaultQueueTimeoutMs = 10000;
constexpr int64_t kQueryWaitMs = 200;
constexpr size_t kMaxHeldFds = 64; // passed descriptors a peer may have us hold unclaimed

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string hex8(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

// A name in a log line; one the daemon was not told shows as "?".
std::string shown(const std::string &name) {
    return name.empty() ? "?" : name;
}

std::string folder_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the missing folders of `path` with mode 0700; existing ones are
// left as they are.
bool make_folders(const std::string &path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// ---- Log ----------------------------------------------------------------------

class Log {
  public:
    void open(const std::string &file, bool to_stderr) {
        fd_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        stderr_ = to_stderr;
    }
    __attribute__((format(printf, 2, 3))) void line(const char *format, ...) {
        char text[2048];
        va_list ap;
        va_start(ap, format);
        std::vsnprintf(text, sizeof text, format, ap);
        va_end(ap);
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        tm t;
        gmtime_r(&ts.tv_sec, &t);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", t.tm_year + 1900,
                      t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000);
        const std::string out =
            std::string(stamp) + " zorveld[" + std::to_string(getpid()) + "]: " + text + "\n";
        if (fd_ >= 0 && write(fd_, out.data(), out.size()) < 0) {}
        if (stderr_ && write(2, out.data(), out.size()) < 0) {}
    }

  private:
    int fd_ = -1;
    bool stderr_ = false;
};

// ---- State --------------------------------------------------------------------

struct TpInstance {
    std::string lu_alias, tp_name;
};

struct Out {
    Bytes bytes;
    int fd = -1; // passed with the first byte, closed once sent
    size_t at = 0;
};

struct Peer {
    int fd = -1;
    pid_t pid = 0;
    proto::Reader reader;
    std::deque<int> held; // passed descriptors, in the order they came
    std::deque<Out> out;
    std::map<proto::TpId, TpInstance> tps;
    std::map<std::string, uint32_t> names; // registered, counted
    bool dead = false;
};

struct Wait {
    uint64_t peer = 0;
    uint64_t wait_id = 0;
    std::vector<std::string> names;
};

struct Queued {
    uint32_t id = 0;   // the conversation's number, from the attach on
    uint64_t peer = 0; // the allocator
    uint32_t conv_id = 0;
    std::string alloc_tp, alloc_lu;
    std::string tp_name, accept_lu;
    const LocalLu *lu = nullptr;
    Bytes frame; // as it will be delivered
    uint32_t attach_session = 0;
    int fd = -1;
    int64_t deadline = 0;
};

// Both ends of a routed conversation, as its log line names them.
struct Conversation {
    uint64_t alloc_peer = 0;
    uint32_t alloc_conv = 0;
    std::string alloc_tp, alloc_lu;
    uint64_t accept_peer = 0;
    std::string accept_tp, accept_lu;
    bool logged = false; // its error is written: what the other end reports of it is the same end
};

// A conversation as one of its ends names it (proto::ConvInfo).
std::map<uint32_t, Conversation>::iterator find_conv(std::map<uint32_t, Conversation> &convs, uint64_t peer,
                                                     uint32_t session, bool primary) {
    if (!primary) {
        auto c = convs.find(session);
        return c != convs.end() && c->second.accept_peer == peer ? c : convs.end();
    }
    return std::find_if(convs.begin(), convs.end(), [&](const auto &c) {
        return c.second.alloc_peer == peer && c.second.alloc_conv == session;
    });
}

struct Child {
    std::string tp_name, lu_alias;
    bool took = false; // an attach was delivered to it
};

struct PendingStatus {
    uint64_t peer = 0;
    bool json = false;
    uint32_t query_id = 0;
    int64_t deadline = 0;
    std::set<uint64_t> asked;
    std::map<uint64_t, std::vector<proto::ConvInfo>> replies;
};

struct Options {
    bool foreground = false;
    std::string socket, config;
    long idle_s = 60;
};

class Daemon {
  public:
    explicit Daemon(Options o) : opt_(std::move(o)) {}
    int run();

  private:
    // Set-up and the loop.
    int listen_socket();
    void load_config();
    void loop();
    void accept_peers();
    void read_peer(uint64_t id, Peer &p);
    void flush(Peer &p);
    void send(uint64_t id, const proto::Message &m, int fd = -1);
    void drop(Peer &p, const char *why);
    void bury_dead();
    void handle_signals();
    void reap_children();
    void tick();
    int64_t next_deadline() const;
    void stop(const char *why);

    // Messages.
    void handle(uint64_t id, Peer &p, proto::Message &m);
    void on_attach(uint64_t id, Peer &p, const proto::Attach &a);
    void on_accept_wait(uint64_t id, const proto::AcceptWait &w);
    void on_conv_ended(uint64_t id, const proto::ConvEnded &e);
    void on_conv_failed(uint64_t id, const proto::ConvFailed &f);
    void on_status(uint64_t id, bool json);
    void on_query_reply(uint64_t id, const proto::QueryReply &r);

    // Routing.
    bool registered(const std::string &tp_name) const;
    bool alive(uint64_t peer) const {
        auto it = peers_.find(peer);
        return it != peers_.end() && !it->second.dead;
    }
    void reject(const Queued &q, uint32_t sense, const char *why);
    void log_failure(uint32_t id, const Conversation &c, uint32_t sense, const std::string &by);
    void deliver(Queued q, const Wait &w);
    void maybe_start(const Queued &q);
    bool start_tp(const TpDefinition &def, const LocalLu &lu);
    bool may_take(const std::string &tp_name) const;

    // Status.
    void answer_status(PendingStatus &s);
    std::string render(const PendingStatus &s) const;

    Options opt_;
    Log log_;
    NodeConfig config_;
    std::string config_path_, socket_path_, log_dir_;
    int listen_fd_ = -1, signal_fd_ = -1;
    dev_t socket_dev_ = 0;
    ino_t socket_ino_ = 0;
    int64_t started_ = 0, idle_since_ = 0;
    bool stopping_ = false;

    uint64_t next_peer_ = 1;
    std::map<uint64_t, Peer> peers_;
    std::deque<Wait> waits_;   // oldest first
    std::deque<Queued> queue_; // oldest first
    std::map<uint32_t, Conversation> convs_;
    // Conversations whose one end's program went: kept until the other end
    // reports how its side ended, closes it or goes too.
    std::map<uint32_t, Conversation> orphans_;
    uint32_t last_session_ = 0;
    std::map<pid_t, Child> children_;
    std::deque<PendingStatus> statuses_;
    uint32_t last_query_ = 0;
};

// ---- Set-up -----------------------------------------------------------------

void Daemon::load_config() {
    ParsedConfig parsed = read_node_config(config_path_);
    for (const ConfigFailure &f : parsed.errors)
        log_.line("config %s:%u: %s", config_path_.c_str(), f.line, f.reason.c_str());
    if (!parsed.errors.empty())
        log_.line("config %s refused: running as without a file", config_path_.c_str());
    config_ = std::move(parsed.config);
}

// 0: listening; 1: someone serves already; -1: cannot.
int Daemon::listen_socket() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path_.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "zorveld: socket path too long: %s\n", socket_path_.c_str());
        return -1;
    }
    std::memcpy(addr.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
    if (!make_folders(folder_of(socket_path_))) {
        std::fprintf(stderr, "zorveld: cannot make %s: %s\n", folder_of(socket_path_).c_str(),
                     std::strerror(errno));
        return -1;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        close(probe);
        return 1;
    }
    if (probe >= 0) close(probe);
    unlink(socket_path_.c_str()); // stale: nobody answers on it
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) return -1;
    const mode_t old = umask(0077);
    const int bound = bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    umask(old);
    if (bound != 0) {
        // Another daemon bound it between our probe and our bind.
        if (errno == EADDRINUSE) return 1;
        std::fprintf(stderr, "zorveld: cannot bind %s: %s\n", socket_path_.c_str(), std::strerror(errno));
        return -1;
    }
    if (listen(listen_fd_, 128) != 0) return -1;
    struct stat st;
    if (stat(socket_path_.c_str(), &st) == 0) {
        socket_dev_ = st.st_dev;
        socket_ino_ = st.st_ino;
    }
    return 0;
}

int Daemon::run() {
    // Blocked before the socket answers: a stop that comes while the
    // daemon is still starting waits for the loop instead of killing it
    // halfway.
    signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal_fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);

    socket_path_ = opt_.socket.empty() ? proto::socket_path() : opt_.socket;
    config_path_ = opt_.config.empty() ? node_config_path() : opt_.config;
    if (config_path_[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) config_path_ = std::string(cwd) + "/" + config_path_;
    }

    // In the background the daemon detaches before it listens, so that the
    // socket's credentials name the process that serves it; the first
    // process waits for the outcome and exits with it, so whoever started
    // the daemon may connect as soon as it returns.
    int ready[2] = {-1, -1};
    if (!opt_.foreground) {
        if (pipe2(ready, O_CLOEXEC) != 0) return 1;
        const pid_t child = fork();
        if (child < 0) return 1;
        if (child > 0) {
            close(ready[1]);
            uint8_t outcome = 1; // the child died before it told
            ssize_t n;
            do n = read(ready[0], &outcome, 1);
            while (n < 0 && errno == EINTR);
            _exit(n == 1 ? outcome : 1);
        }
        close(ready[0]);
        setsid();
    }
    const int l = listen_socket();
    const uint8_t outcome = l < 0 ? 1 : 0;
    if (ready[1] >= 0) {
        if (write(ready[1], &outcome, 1) != 1) {}
        close(ready[1]);
    }
    if (l != 0) return outcome;

    const char *log_env = std::getenv("ZORVEL_LOG_DIR");
    log_dir_ = log_env && *log_env ? log_env : folder_of(socket_path_);
    make_folders(log_dir_);

    if (!opt_.foreground) {
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2) close(null);
        }
        if (chdir("/") != 0) {}
    }
    log_.open(log_dir_ + "/zorveld.log", opt_.foreground);
    load_config();

    // More sessions may be in flight than the usual 1024 descriptors.
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    started_ = idle_since_ = now_ms();
    log_.line("start pid %d socket %s config %s idle %lds", getpid(), socket_path_.c_str(),
              config_path_.c_str(), opt_.idle_s);
    loop();
    return 0;
}

void Daemon::stop(const char *why) {
    if (stopping_) return;
    stopping_ = true;
    for (Queued &q : queue_) reject(q, lu62::sense::kTpNotAvailableRetry, "daemon stopping");
    queue_.clear();
    for (auto &[id, p] : peers_) flush(p);
    struct stat st;
    if (stat(socket_path_.c_str(), &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_)
        unlink(socket_path_.c_str());
    log_.line("stop (%s)", why);
}

// ---- The loop -----------------------------------------------------------------

int64_t Daemon::next_deadline() const {
    int64_t d = INT64_MAX;
    for (const Queued &q : queue_) d = std::min(d, q.deadline);
    for (const PendingStatus &s : statuses_) d = std::min(d, s.deadline);
    if (opt_.idle_s > 0 && peers_.empty() && queue_.empty() && children_.empty())
        d = std::min(d, idle_since_ + int64_t{opt_.idle_s} * 1000);
    return d;
}

void Daemon::loop() {
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    while (!stopping_) {
        fds.clear();
        ids.clear();
        fds.push_back({listen_fd_, POLLIN, 0});
        fds.push_back({signal_fd_, POLLIN, 0});
        for (auto &[id, p] : peers_) {
            fds.push_back({p.fd, static_cast<short>(POLLIN | (p.out.empty() ? 0 : POLLOUT)), 0});
            ids.push_back(id);
        }
        const int64_t deadline = next_deadline();
        int timeout = -1;
        if (deadline != INT64_MAX)
            timeout = static_cast<int>(std::clamp<int64_t>(deadline - now_ms(), 0, 60000));
        const int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) {
            log_.line("poll failed: %s", std::strerror(errno));
            stop("poll failed");
            break;
        }
        if (n > 0) {
            if (fds[1].revents) handle_signals();
            for (size_t i = 0; i < ids.size(); ++i) {
                const short r = fds[i + 2].revents;
                if (!r) continue;
                auto it = peers_.find(ids[i]);
                if (it == peers_.end() || it->second.dead) continue;
                if (r & POLLOUT) flush(it->second);
                if (r & (POLLIN | POLLHUP | POLLERR)) read_peer(it->first, it->second);
            }
            if (fds[0].revents) accept_peers();
        }
        tick();
        bury_dead();
        if (!peers_.empty() || !queue_.empty() || !children_.empty())
            idle_since_ = now_ms();
        else if (opt_.idle_s > 0 && now_ms() - idle_since_ >= int64_t{opt_.idle_s} * 1000)
            stop("idle");
    }
}

void Daemon::accept_peers() {
    for (;;) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
            log_.line("peer refused: pid %d uid %u is not the daemon's uid %u", cred.pid,
                      static_cast<unsigned>(cred.uid), static_cast<unsigned>(geteuid()));
            close(fd);
            continue;
        }
        Peer &p = peers_[next_peer_++];
        p.fd = fd;
        p.pid = cred.pid;
    }
}

void Daemon::read_peer(uint64_t id, Peer &p) {
    uint8_t buffer[16384];
    for (int rounds = 0; rounds < 16 && !p.dead; ++rounds) {
        std::vector<int> passed;
        const long n = proto::receive_some(p.fd, buffer, sizeof buffer, passed);
        for (int fd : passed) p.held.push_back(fd);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            drop(p, nullptr);
            return;
        }
        if (n == 0) {
            drop(p, nullptr);
            return;
        }
        if (p.held.size() > kMaxHeldFds) {
            drop(p, "passes descriptors it does not use");
            return;
        }
        p.reader.feed(buffer, static_cast<size_t>(n));
        while (!p.dead) {
            std::optional<proto::Message> m = p.reader.take();
            if (!m) break;
            handle(id, p, *m);
        }
        if (!p.dead && p.reader.bad()) {
            drop(p, "malformed message");
            return;
        }
    }
}

void Daemon::send(uint64_t id, const proto::Message &m, int fd) {
    auto it = peers_.find(id);
    if (it == peers_.end() || it->second.dead) {
        if (fd >= 0) close(fd);
        return;
    }
    it->second.out.push_back(Out{proto::encode(m), fd, 0});
    flush(it->second);
}

void Daemon::flush(Peer &p) {
    while (!p.dead && !p.out.empty()) {
        Out &o = p.out.front();
        const long n = proto::send_some(p.fd, o.bytes.data() + o.at, o.bytes.size() - o.at,
                                        o.at == 0 ? o.fd : -1, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            p.dead = true; // read_peer or bury_dead tells the rest
            return;
        }
        o.at += static_cast<size_t>(n);
        if (o.fd >= 0) {
            close(o.fd);
            o.fd = -1;
        }
        if (o.at == o.bytes.size()) p.out.pop_front();
    }
}

// Everything the peer held goes; the rest of the daemon forgets it in
// bury_dead, after the loop is done with it.
void Daemon::drop(Peer &p, const char *why) {
    if (why && !p.dead) log_.line("peer pid %d dropped: %s", p.pid, why);
    p.dead = true;
}

void Daemon::bury_dead() {
    for (auto it = peers_.begin(); it != peers_.end();) {
        Peer &p = it->second;
        const uint64_t id = it->first;
        if (!p.dead) {
            ++it;
            continue;
        }
        const size_t conversations =
            static_cast<size_t>(std::count_if(convs_.begin(), convs_.end(), [&](const auto &c) {
                return c.second.alloc_peer == id || c.second.accept_peer == id;
            }));
        if (!p.tps.empty() || conversations)
            log_.line("peer lost: pid %d with %zu TP instances and %zu conversations", p.pid, p.tps.size(),
                      conversations);
        close(p.fd);
        for (int fd : p.held) close(fd);
        for (Out &o : p.out)
            if (o.fd >= 0) close(o.fd);
        waits_.erase(
            std::remove_if(waits_.begin(), waits_.end(), [&](const Wait &w) { return w.peer == id; }),
            waits_.end());
        for (auto q = queue_.begin(); q != queue_.end();) {
            if (q->peer != id) {
                ++q;
                continue;
            }
            close(q->fd);
            q = queue_.erase(q);
        }
        // Orphans first: one that this peer survived is over, one it leaves
        // now waits for the other end to report how its side ended.
        for (auto c = orphans_.begin(); c != orphans_.end();)
            c = (c->second.alloc_peer == id || c->second.accept_peer == id) ? orphans_.erase(c)
                                                                            : std::next(c);
        for (auto c = convs_.begin(); c != convs_.end();) {
            const Conversation &v = c->second;
            if (v.alloc_peer != id && v.accept_peer != id) {
                ++c;
                continue;
            }
            if (!v.logged && alive(v.alloc_peer == id ? v.accept_peer : v.alloc_peer)) orphans_[c->first] = v;
            c = convs_.erase(c);
        }
        it = peers_.erase(it);
    }
}

void Daemon::handle_signals() {
    signalfd_siginfo si;
    while (read(signal_fd_, &si, sizeof si) == sizeof si) {
        if (si.ssi_signo == SIGCHLD)
            reap_children();
        else
            stop(si.ssi_signo == SIGTERM ? "signal SIGTERM" : "signal SIGINT");
    }
}

void Daemon::reap_children() {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        auto it = children_.find(pid);
        if (it == children_.end()) continue;
        const bool abnormal = WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
        if (abnormal) {
            const std::string how = WIFSIGNALED(status)
                                        ? "signal " + std::to_string(WTERMSIG(status))
                                        : "exit status " + std::to_string(WEXITSTATUS(status));
            log_.line("TP ended abnormally: %s pid %d %s%s", it->second.tp_name.c_str(), pid, how.c_str(),
                      it->second.took ? "" : " before accepting");
        }
        const std::string name = it->second.tp_name;
        const bool took = it->second.took;
        children_.erase(it);
        // Its place is free for an attach that waits behind max_instances;
        // one that went before accepting anything is not started again
        // (the queue timeout answers its attaches).
        if (took) {
            auto q = std::find_if(queue_.begin(), queue_.end(),
                                  [&](const Queued &x) { return x.tp_name == name; });
            if (q != queue_.end()) maybe_start(*q);
        }
    }
}

void Daemon::tick() {
    const int64_t now = now_ms();
    for (auto q = queue_.begin(); q != queue_.end();) {
        if (q->deadline > now) {
            ++q;
            continue;
        }
        reject(*q, lu62::sense::kTpNotAvailableRetry, "queue timeout");
        q = queue_.erase(q);
    }
    for (auto s = statuses_.begin(); s != statuses_.end();) {
        if (s->deadline > now && s->replies.size() < s->asked.size()) {
            ++s;
            continue;
        }
        answer_status(*s);
        s = statuses_.erase(s);
    }
}

// ---- Messages -------------------------------------------------------------------

void Daemon::handle(uint64_t id, Peer &p, proto::Message &m) {
    using proto::Type;
    switch (proto::type_of(m)) {
    case Type::kHello: {
        const auto &h = std::get<proto::Hello>(m);
        if (h.version != proto::kVersion) {
            log_.line("peer refused: pid %d speaks protocol version %u", p.pid, h.version);
            drop(p, nullptr);
            return;
        }
        send(id, proto::HelloReply{proto::kVersion, static_cast<uint32_t>(getpid())});
        return;
    }
    case Type::kTpStarted: {
        auto &t = std::get<proto::TpStarted>(m);
        p.tps[t.tp_id] = TpInstance{t.lu_alias, t.tp_name};
        return;
    }
    case Type::kTpEnded: p.tps.erase(std::get<proto::TpEnded>(m).tp_id); return;
    case Type::kRegister: ++p.names[std::get<proto::Register>(m).tp_name]; return;
    case Type::kWithdraw: {
        auto it = p.names.find(std::get<proto::Withdraw>(m).tp_name);
        if (it != p.names.end() && --it->second == 0) p.names.erase(it);
        return;
    }
    case Type::kAcceptWait: on_accept_wait(id, std::get<proto::AcceptWait>(m)); return;
    case Type::kAcceptCancel: {
        const uint64_t w = std::get<proto::AcceptCancel>(m).wait_id;
        waits_.erase(std::remove_if(waits_.begin(), waits_.end(),
                                    [&](const Wait &x) { return x.peer == id && x.wait_id == w; }),
                     waits_.end());
        return;
    }
    case Type::kAttach: on_attach(id, p, std::get<proto::Attach>(m)); return;
    case Type::kQueryReply: on_query_reply(id, std::get<proto::QueryReply>(m)); return;
    case Type::kStatus: on_status(id, std::get<proto::Status>(m).json != 0); return;
    case Type::kStop:
        log_.line("stop requested by pid %d", p.pid);
        stop("requested");
        return;
    case Type::kConvEnded: on_conv_ended(id, std::get<proto::ConvEnded>(m)); return;
    case Type::kConvFailed: on_conv_failed(id, std::get<proto::ConvFailed>(m)); return;
    case Type::kHelloReply:
    case Type::kDeliver:
    case Type::kQuery:
    case Type::kStatusReply: drop(p, "malformed message (a type only the daemon sends)"); return;
    }
}

bool Daemon::registered(const std::string &tp_name) const {
    for (const auto &[id, p] : peers_)
        if (!p.dead && p.names.count(tp_name)) return true;
    for (const Wait &w : waits_)
        if (alive(w.peer) && std::find(w.names.begin(), w.names.end(), tp_name) != w.names.end()) return true;
    return false;
}

// The rejection is the conversation's end: its one log line.
void Daemon::reject(const Queued &q, uint32_t sense, const char *why) {
    const Bytes frame = lu62::rejection_frame(q.attach_session, sense);
    if (::send(q.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {}
    close(q.fd);
    log_failure(q.id,
                Conversation{q.peer, q.conv_id, q.alloc_tp, q.alloc_lu, 0, q.tp_name, q.accept_lu, true},
                sense, std::string("attach rejected by the node (") + why + ")");
}

//   conversation ID ended with an error: ATP at ALU -> BTP at BLU; sense XXXXXXXX meaning; by whom
// `zorvel log` finds a conversation by "conversation ID" and a TP by its
// name as a word.
void Daemon::log_failure(uint32_t id, const Conversation &c, uint32_t sense, const std::string &by) {
    const char *text = sense ? lu62::sense_text(sense) : "session lost, resource failure";
    log_.line("conversation %u ended with an error: %s at %s -> %s at %s; sense %s %s; %s", id,
              shown(c.alloc_tp).c_str(), shown(c.alloc_lu).c_str(), shown(c.accept_tp).c_str(),
              shown(c.accept_lu).c_str(), hex8(sense).c_str(), text ? text : "not one the node knows",
              by.c_str());
}

void Daemon::on_attach(uint64_t id, Peer &p, const proto::Attach &a) {
    if (p.held.empty()) {
        log_.line("attach from pid %d without the session's descriptor: ignored", p.pid);
        return;
    }
    const int fd = p.held.front();
    p.held.pop_front();
    std::optional<lu62::Message> m = lu62::decode(a.frame.data(), a.frame.size());
    if (!m || !m->attach || m->to_primary) {
        log_.line("attach from pid %d is not an attach frame: session closed", p.pid);
        close(fd);
        return;
    }
    const lu62::AttachCheck c = lu62::check_attach(config_, *m->attach, registered(m->attach->tp_name));
    Queued q;
    if (++last_session_ == 0) ++last_session_;
    q.id = last_session_;
    q.peer = id;
    q.conv_id = a.conv_id;
    auto tp = p.tps.find(a.tp_id);
    q.alloc_tp = tp != p.tps.end() ? tp->second.tp_name : "";
    q.alloc_lu = m->attach->origin_lu;
    q.tp_name = m->attach->tp_name;
    q.accept_lu = c.lu ? c.lu->name : m->attach->destination_lu;
    q.attach_session = m->session;
    q.fd = fd;
    if (c.sense) {
        reject(q, c.sense, "at the attach");
        return;
    }
    if (m->attach->security == 2) {
        m->attach->security = 1;
        m->attach->password.clear();
    }
    q.lu = c.lu;
    q.frame = lu62::encode(*m);
    q.deadline = now_ms() + (c.def ? c.def->queue_timeout_ms : kDefaultQueueTimeoutMs);
    // A wait of a peer found gone in this round of the loop is forgotten
    // only at its end: skip it.
    auto w = std::find_if(waits_.begin(), waits_.end(), [&](const Wait &x) {
        return alive(x.peer) && std::find(x.names.begin(), x.names.end(), q.tp_name) != x.names.end();
    });
    if (w != waits_.end()) {
        const Wait taken = *w;
        waits_.erase(w);
        deliver(std::move(q), taken);
        return;
    }
    queue_.push_back(std::move(q));
    maybe_start(queue_.back());
}

void Daemon::on_accept_wait(uint64_t id, const proto::AcceptWait &aw) {
    Wait w{id, aw.wait_id, aw.tp_names};
    auto q = std::find_if(queue_.begin(), queue_.end(), [&](const Queued &x) {
        return alive(x.peer) && std::find(w.names.begin(), w.names.end(), x.tp_name) != w.names.end();
    });
    if (q == queue_.end()) {
        waits_.push_back(std::move(w));
        return;
    }
    Queued taken = std::move(*q);
    queue_.erase(q);
    deliver(std::move(taken), w);
}

void Daemon::deliver(Queued q, const Wait &w) {
    auto it = peers_.find(w.peer);
    const uint32_t session = q.id;
    proto::Deliver d;
    d.wait_id = w.wait_id;
    d.session = session;
    d.lu_alias = q.lu->alias;
    d.lu_name = q.lu->name;
    d.frame = std::move(q.frame);
    convs_[session] = Conversation{q.peer, q.conv_id, q.alloc_tp, q.alloc_lu, w.peer, q.tp_name, q.accept_lu};
    for (auto &[pid, child] : children_)
        if (it != peers_.end() && pid == it->second.pid) child.took = true;
    send(w.peer, d, q.fd); // closes our copy once sent
}

void Daemon::on_conv_ended(uint64_t id, const proto::ConvEnded &e) {
    for (auto *map : {&convs_, &orphans_}) {
        auto c = find_conv(*map, id, e.session, e.primary != 0);
        if (c != map->end()) map->erase(c);
    }
    if (!e.primary) return;
    // Not delivered yet: nobody will take it now.
    for (auto q = queue_.begin(); q != queue_.end(); ++q) {
        if (q->peer == id && q->conv_id == e.session) {
            close(q->fd);
            queue_.erase(q);
            break;
        }
    }
}

// The first report of a conversation is logged; the queued attach of an
// allocator that ends it before anyone accepted is one too.
void Daemon::on_conv_failed(uint64_t id, const proto::ConvFailed &f) {
    const bool primary = f.primary != 0;
    Conversation *c = nullptr;
    uint32_t conv = 0;
    for (auto *map : {&convs_, &orphans_}) {
        auto it = find_conv(*map, id, f.session, primary);
        if (!c && it != map->end()) c = &it->second, conv = it->first;
    }
    Conversation queued;
    if (!c && primary) {
        for (const Queued &q : queue_) {
            if (q.peer != id || q.conv_id != f.session) continue;
            queued = Conversation{q.peer, q.conv_id, q.alloc_tp, q.alloc_lu, 0, q.tp_name, q.accept_lu};
            c = &queued;
            conv = q.id;
        }
    }
    if (!c || c->logged) return;
    c->logged = true;
    const bool reporter_allocates = c->alloc_peer == id && primary;
    const std::string me =
        reporter_allocates ? "the allocator " + shown(c->alloc_tp) : "the acceptor " + shown(c->accept_tp);
    const std::string partner =
        reporter_allocates ? "the acceptor " + shown(c->accept_tp) : "the allocator " + shown(c->alloc_tp);
    std::string by;
    switch (static_cast<lu62::Failure>(f.how)) {
    case lu62::Failure::kSent: by = "by " + me; break;
    case lu62::Failure::kReceived: by = "by " + partner; break;
    default: by = "the session of " + partner + " was lost, reported by " + me; break;
    }
    log_failure(conv, *c, f.sense, by);
}

// ---- Invoked TPs ----------------------------------------------------------------

bool Daemon::may_take(const std::string &tp_name) const {
    for (const auto &[pid, c] : children_)
        if (c.tp_name == tp_name && !c.took) return true;
    return false;
}

void Daemon::maybe_start(const Queued &q) {
    const TpDefinition *def = nullptr;
    for (const TpDefinition &d : config_.tps)
        if (d.name == q.tp_name) def = &d;
    if (!def || def->path.empty() || may_take(q.tp_name)) return;
    const size_t running = static_cast<size_t>(std::count_if(
        children_.begin(), children_.end(), [&](const auto &c) { return c.second.tp_name == q.tp_name; }));
    if (def->max_instances != 0 && running >= def->max_instances) return;
    // A program that registered the name may still come to accept.
    if (start_tp(*def, *q.lu) || may_take(q.tp_name) || registered(q.tp_name)) return;
    const std::string name = q.tp_name;
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (it->tp_name != name) {
            ++it;
            continue;
        }
        reject(*it, lu62::sense::kTpNotAvailableNoRetry, "cannot be started");
        it = queue_.erase(it);
    }
}

// Forks and execs the definition's program; false when the exec failed.
bool Daemon::start_tp(const TpDefinition &def, const LocalLu &lu) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        log_.line("TP %s not started: pipe: %s", def.name.c_str(), std::strerror(errno));
        return false;
    }
    std::string file_name;
    for (const char c : def.name)
        file_name +=
            (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-') ? c : '_';
    std::vector<std::string> argv_s{def.path};
    argv_s.insert(argv_s.end(), def.args.begin(), def.args.end());
    std::vector<char *> argv;
    for (std::string &s : argv_s) argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string out_prefix = log_dir_ + "/" + file_name + ".";

    const pid_t pid = fork();
    if (pid < 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        log_.line("TP %s not started: fork: %s", def.name.c_str(), std::strerror(errno));
        return false;
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        const std::string out = out_prefix + std::to_string(getpid()) + ".out";
        const int in_fd = open("/dev/null", O_RDONLY);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in_fd >= 0) dup2(in_fd, 0);
        if (out_fd >= 0) {
            dup2(out_fd, 1);
            dup2(out_fd, 2);
        }
        setenv("APPCTPN", def.name.c_str(), 1);
        setenv("APPCLLU", lu.alias.c_str(), 1);
        setenv("ZORVEL_CONFIG", config_path_.c_str(), 1);
        setenv("ZORVEL_NODE_SOCKET", socket_path_.c_str(), 1);
        execv(def.path.c_str(), argv.data());
        const int e = errno;
        if (write(pipe_fds[1], &e, sizeof e) < 0) {}
        _exit(127);
    }
    close(pipe_fds[1]);
    int e = 0;
    ssize_t n;
    do n = read(pipe_fds[0], &e, sizeof e);
    while (n < 0 && errno == EINTR);
    close(pipe_fds[0]);
    if (n == static_cast<ssize_t>(sizeof e)) {
        log_.line("TP %s not started: %s: %s", def.name.c_str(), def.path.c_str(), std::strerror(e));
        int status;
        waitpid(pid, &status, 0);
        return false;
    }
    children_[pid] = Child{def.name, lu.alias, false};
    log_.line("TP started: %s pid %d (%s)", def.name.c_str(), pid, def.path.c_str());
    return true;
}

// ---- Status -----------------------------------------------------------------------

void Daemon::on_status(uint64_t id, bool json) {
    PendingStatus s;
    s.peer = id;
    s.json = json;
    if (++last_query_ == 0) ++last_query_;
    s.query_id = last_query_;
    s.deadline = now_ms() + kQueryWaitMs;
    for (const auto &[session, c] : convs_) {
        s.asked.insert(c.alloc_peer);
        s.asked.insert(c.accept_peer);
    }
    for (uint64_t peer : s.asked) send(peer, proto::Query{s.query_id});
    if (s.asked.empty())
        answer_status(s);
    else
        statuses_.push_back(std::move(s));
}

void Daemon::on_query_reply(uint64_t id, const proto::QueryReply &r) {
    for (PendingStatus &s : statuses_)
        if (s.query_id == r.query_id && s.asked.count(id)) s.replies[id] = r.conversations;
}

void Daemon::answer_status(PendingStatus &s) {
    send(s.peer, proto::StatusReply{render(s)});
}

std::string Daemon::render(const PendingStatus &s) const {
    static const char *const kConv[] = {"basic", "mapped", "either"};
    static const char *const kSync[] = {"none", "confirm", "either"};
    const auto pid_of = [&](uint64_t peer) {
        auto it = peers_.find(peer);
        return it == peers_.end() ? 0 : static_cast<long>(it->second.pid);
    };
    // One side of a conversation as its peer reported it.
    const auto side = [&](uint64_t peer, uint32_t session, bool primary) -> const proto::ConvInfo * {
        auto r = s.replies.find(peer);
        if (r == s.replies.end()) return nullptr;
        for (const proto::ConvInfo &i : r->second)
            if (i.session == session && (i.primary != 0) == primary) return &i;
        return nullptr;
    };
    const long uptime = static_cast<long>((now_ms() - started_) / 1000);
    std::string out;
    const auto add = [&](const std::string &x) { out += x; };
    if (s.json) {
        add("{\"daemon\":{\"pid\":" + std::to_string(getpid()) + ",\"socket\":" + json_string(socket_path_) +
            ",\"config\":" + json_string(config_path_) + ",\"uptime_s\":" + std::to_string(uptime) + "},");
        add("\"local_lus\":[");
        for (size_t i = 0; i < config_.local_lus.size(); ++i) {
            const LocalLu &lu = config_.local_lus[i];
            add(std::string(i ? "," : "") + "{\"alias\":" + json_string(lu.alias) + ",\"name\":" +
                json_string(lu.name) + ",\"default\":" + (lu.is_default ? "true" : "false") + "}");
        }
        add("],\"tps\":[");
        for (size_t i = 0; i < config_.tps.size(); ++i) {
            const TpDefinition &d = config_.tps[i];
            std::string args;
            for (size_t k = 0; k < d.args.size(); ++k) args += (k ? "," : "") + json_string(d.args[k]);
            add(std::string(i ? "," : "") + "{\"name\":" + json_string(d.name) + ",\"conversation_type\":\"" +
                kConv[static_cast<int>(d.conversation_type)] + "\",\"sync_level\":\"" +
                kSync[static_cast<int>(d.sync_level)] + "\",\"security\":\"" +
                (d.security_required ? "required" : "none") + "\",\"queue_timeout_ms\":" +
                std::to_string(d.queue_timeout_ms) + ",\"path\":" + json_string(d.path) + ",\"args\":[" +
                args + "],\"max_instances\":" + std::to_string(d.max_instances) + "}");
        }
        add("],\"instances\":[");
        bool first = true;
        for (const auto &[id, p] : peers_)
            for (const auto &[tp_id, t] : p.tps) {
                add(std::string(first ? "" : ",") + "{\"tp_name\":" + json_string(t.tp_name) +
                    ",\"lu_alias\":" + json_string(t.lu_alias) + ",\"pid\":" + std::to_string(p.pid) + "}");
                first = false;
            }
        add("],\"started\":[");
        first = true;
        for (const auto &[pid, c] : children_) {
            add(std::string(first ? "" : ",") + "{\"tp_name\":" + json_string(c.tp_name) +
                ",\"pid\":" + std::to_string(pid) + ",\"accepted\":" + (c.took ? "true" : "false") + "}");
            first = false;
        }
        add("],\"conversations\":[");
        first = true;
        for (const auto &[session, c] : convs_) {
            const auto end = [&](const char *role, uint64_t peer, const std::string &tp, uint32_t sess,
                                 bool primary) {
                const proto::ConvInfo *i = side(peer, sess, primary);
                std::string e = std::string("\"") + role + "\":{\"tp_name\":" + json_string(tp) +
                                ",\"pid\":" + std::to_string(pid_of(peer));
                if (i)
                    e += ",\"state\":" + std::to_string(i->state) +
                         ",\"bytes_sent\":" + std::to_string(i->bytes_sent) +
                         ",\"bytes_received\":" + std::to_string(i->bytes_received);
                return e + "}";
            };
            add(std::string(first ? "" : ",") + "{\"session\":" + std::to_string(session) + "," +
                end("allocator", c.alloc_peer, c.alloc_tp, c.alloc_conv, true) + "," +
                end("acceptor", c.accept_peer, c.accept_tp, session, false) + "}");
            first = false;
        }
        add("],\"queued_attaches\":" + std::to_string(queue_.size()) + "}\n");
        return out;
    }
    add("daemon pid " + std::to_string(getpid()) + " socket " + socket_path_ + " config " + config_path_ +
        " uptime " + std::to_string(uptime) + "s\n");
    for (const LocalLu &lu : config_.local_lus)
        add("lu " + lu.alias + " " + lu.name + (lu.is_default ? " default" : "") + "\n");
    for (const TpDefinition &d : config_.tps) {
        std::string args;
        for (const std::string &a : d.args) args += " " + a;
        add("tp " + d.name + " conversation_type " + kConv[static_cast<int>(d.conversation_type)] +
            " sync_level " + kSync[static_cast<int>(d.sync_level)] + " security " +
            (d.security_required ? "required" : "none") + " queue_timeout_ms " +
            std::to_string(d.queue_timeout_ms) +
            (d.path.empty()
                 ? ""
                 : " path " + d.path + args + " max_instances " + std::to_string(d.max_instances)) +
            "\n");
    }
    for (const auto &[id, p] : peers_)
        for (const auto &[tp_id, t] : p.tps)
            add("instance " + t.tp_name + " lu " + t.lu_alias + " pid " + std::to_string(p.pid) + "\n");
    for (const auto &[pid, c] : children_)
        add("started " + c.tp_name + " pid " + std::to_string(pid) +
            (c.took ? " accepted" : " not yet accepted") + "\n");
    for (const auto &[session, c] : convs_) {
        const auto end = [&](uint64_t peer, const std::string &tp, uint32_t sess, bool primary) {
            const proto::ConvInfo *i = side(peer, sess, primary);
            std::string e = (tp.empty() ? "?" : tp) + " (pid " + std::to_string(pid_of(peer));
            if (i)
                e += " state " + std::to_string(i->state) + " sent " + std::to_string(i->bytes_sent) +
                     " received " + std::to_string(i->bytes_received);
            else
                e += " state unknown";
            return e + ")";
        };
        add("conversation " + std::to_string(session) + " " +
            end(c.alloc_peer, c.alloc_tp, c.alloc_conv, true) + " -> " +
            end(c.accept_peer, c.accept_tp, session, false) + "\n");
    }
    if (!queue_.empty()) add("queued attaches " + std::to_string(queue_.size()) + "\n");
    return out;
}

int usage() {
    std::fprintf(stderr, "usage: zorveld [--foreground] [--socket PATH] [--idle SECONDS] [--config FILE]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (const char *idle = std::getenv("ZORVEL_IDLE_SECONDS"); idle && *idle) o.idle_s = std::atol(idle);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--foreground")
            o.foreground = true;
        else if (a == "--socket" && has_value)
            o.socket = argv[++i];
        else if (a == "--config" && has_value)
            o.config = argv[++i];
        else if (a == "--idle" && has_value) {
            char *end = nullptr;
            o.idle_s = std::strtol(argv[++i], &end, 10);
            if (!end || *end || o.idle_s < 0) return usage();
        } else
            return usage();
    }
    return Daemon(std::move(o)).run();
}
