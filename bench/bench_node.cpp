// SPDX-License-Identifier: Apache-2.0
// Conversations between processes through the node daemon, each against a
// raw socketpair between two processes doing the same in the same run:
// - a 100-byte round trip (Send_Data with SEND_AND_PREP_TO_RECEIVE, then
//   Receive) against 100 bytes written and read back over a socketpair;
// - 32767-byte records streamed one way against the same bytes written to
//   a socketpair; both senders wait for a one-byte answer every 16 records
//   (512 KB), which bounds what is in flight, so the time covers the
//   receiver's last byte;
// - conversation set-up (allocate to a program waiting in Accept, one
//   100-byte exchange, deallocate), counted in socketpair round trips;
// - the daemon's resident memory per open conversation, from VmRSS before
//   and after 500 conversations are opened and established.
// The ratios are counters: x_socketpair (time against the socketpair's),
// x_throughput (throughput against the socketpair's), socketpair_round_trips
// and daemon_bytes_per_conversation. Run the whole program: the ratios take
// the socketpair figures of the same run.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "include/cpic.h"
#include "tests/test_node_daemon.h"

namespace {

constexpr CM_INT32 kSmall = 100;
constexpr CM_INT32 kLarge = 32767;
constexpr int kAnswerEvery = 16;
constexpr int kHeld = 500;

std::string g_dir;
std::vector<pid_t> g_children;
double g_pair_round_trip_ns = 0, g_pair_stream_bytes_per_ns = 0;

using Clock = std::chrono::steady_clock;
double since_ns(Clock::time_point t0) {
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
}

bool write_all(int fd, const void *p, size_t n) {
    for (auto *c = static_cast<const char *>(p); n > 0;) {
        ssize_t w = write(fd, c, n);
        if (w <= 0) return false;
        c += w, n -= static_cast<size_t>(w);
    }
    return true;
}
bool read_all(int fd, void *p, size_t n) {
    for (auto *c = static_cast<char *>(p); n > 0;) {
        ssize_t r = read(fd, c, n);
        if (r <= 0) return false;
        c += r, n -= static_cast<size_t>(r);
    }
    return true;
}

// ---- CPI-C helpers ---------------------------------------------------------

struct Receipt {
    CM_RETURN_CODE rc = -1;
    CM_INT32 length = 0;
    CM_STATUS_RECEIVED status = CM_NO_STATUS_RECEIVED;
    CM_DATA_RECEIVED_TYPE data = CM_NO_DATA_RECEIVED;
};
Receipt receive(unsigned char *id, unsigned char *buffer, CM_INT32 room) {
    Receipt r;
    CM_REQUEST_TO_SEND_RECEIVED rts;
    cmrcv(id, buffer, &room, &r.data, &r.length, &r.status, &rts, &r.rc);
    return r;
}
CM_RETURN_CODE send(unsigned char *id, unsigned char *buffer, CM_INT32 length, CM_SEND_TYPE type) {
    CM_RETURN_CODE rc;
    CM_REQUEST_TO_SEND_RECEIVED rts;
    cmsst(id, &type, &rc);
    if (rc != CM_OK) return rc;
    cmsend(id, buffer, &length, &rts, &rc);
    return rc;
}
// Receives until the partner hands over the turn; bytes that came, or -1.
long take_turn(unsigned char *id, unsigned char *buffer, CM_INT32 room) {
    long bytes = 0;
    for (;;) {
        Receipt r = receive(id, buffer, room);
        if (r.rc != CM_OK) return -1;
        bytes += r.length;
        if (r.status == CM_SEND_RECEIVED) return bytes;
    }
}
bool allocate(const char *tp, unsigned char *id) {
    unsigned char blank[CM_SDN_SIZE];
    std::memset(blank, ' ', sizeof blank);
    CM_RETURN_CODE rc;
    cminit(id, blank, &rc);
    CM_INT32 n = static_cast<CM_INT32>(std::strlen(tp));
    if (rc == CM_OK) cmstpn(id, reinterpret_cast<unsigned char *>(const_cast<char *>(tp)), &n, &rc);
    n = 6;
    if (rc == CM_OK) cmspln(id, reinterpret_cast<unsigned char *>(const_cast<char *>("BENCLU")), &n, &rc);
    if (rc == CM_OK) cmallc(id, &rc);
    return rc == CM_OK;
}
bool deallocate(unsigned char *id) {
    CM_RETURN_CODE rc;
    cmdeal(id, &rc);
    return rc == CM_OK;
}

// The partner programs, each a process of its own that accepts one
// conversation after another for its TP name until it is killed. The echo
// sends back what came each time the turn comes; the sink counts what came
// and answers one byte.
[[noreturn]] void serve(const char *tp, bool echo) {
    CM_INT32 n = static_cast<CM_INT32>(std::strlen(tp));
    CM_RETURN_CODE rc;
    cmsltp(reinterpret_cast<unsigned char *>(const_cast<char *>(tp)), &n, &rc);
    std::vector<unsigned char> buffer(kLarge);
    while (rc == CM_OK) {
        unsigned char id[CM_CID_SIZE];
        cmaccp(id, &rc);
        for (long got; rc == CM_OK && (got = take_turn(id, buffer.data(), kLarge)) >= 0;)
            if (send(id, buffer.data(), echo ? static_cast<CM_INT32>(got) : 1, CM_SEND_AND_PREP_TO_RECEIVE) !=
                CM_OK)
                break;
    }
    std::fprintf(stderr, "bench_node: %s partner ends: %d\n", tp, rc);
    _exit(1);
}

pid_t spawn(void (*body)(const char *, int), const char *arg, int fd) {
    pid_t pid = fork();
    if (pid == 0) {
        body(arg, fd);
        _exit(0);
    }
    g_children.push_back(pid);
    return pid;
}

long rss_bytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6) * 1024;
    return -1;
}

// ---- Socketpair baselines -----------------------------------------------------

void pair_echo(const char *, int fd) {
    char buffer[kSmall];
    while (read_all(fd, buffer, kSmall) && write_all(fd, buffer, kSmall)) {}
}
void pair_sink(const char *, int fd) {
    std::vector<char> buffer(kLarge);
    for (;;) {
        for (int i = 0; i < kAnswerEvery; ++i)
            if (!read_all(fd, buffer.data(), kLarge)) return;
        if (!write_all(fd, "k", 1)) return;
    }
}

struct Pair {
    int fd = -1;
    pid_t pid = -1;
    explicit Pair(void (*body)(const char *, int)) {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
        pid = fork();
        if (pid == 0) {
            close(sv[0]);
            body(nullptr, sv[1]);
            _exit(0);
        }
        close(sv[1]);
        fd = sv[0];
    }
    ~Pair() {
        close(fd);
        waitpid(pid, nullptr, 0);
    }
};

void BM_SocketpairRoundTrip(benchmark::State &state) {
    Pair pair(pair_echo);
    char buffer[kSmall] = {};
    const auto t0 = Clock::now();
    for (auto _ : state) {
        if (!write_all(pair.fd, buffer, kSmall) || !read_all(pair.fd, buffer, kSmall)) {
            state.SkipWithError("the socketpair echo failed");
            return;
        }
    }
    g_pair_round_trip_ns = since_ns(t0) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * 2 * kSmall);
}

void BM_SocketpairStream32K(benchmark::State &state) {
    Pair pair(pair_sink);
    std::vector<char> buffer(kLarge);
    char answer;
    const auto t0 = Clock::now();
    for (auto _ : state) {
        for (int i = 0; i < kAnswerEvery; ++i) write_all(pair.fd, buffer.data(), kLarge);
        if (!read_all(pair.fd, &answer, 1)) {
            state.SkipWithError("the socketpair sink failed");
            return;
        }
    }
    const double bytes = static_cast<double>(state.iterations()) * kAnswerEvery * kLarge;
    g_pair_stream_bytes_per_ns = bytes / since_ns(t0);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// ---- Conversations --------------------------------------------------------------

void BM_ConversationRoundTrip(benchmark::State &state) {
    unsigned char id[CM_CID_SIZE], buffer[kLarge] = {};
    if (!allocate("BECHO", id)) return state.SkipWithError("allocate failed");
    const auto t0 = Clock::now();
    for (auto _ : state) {
        if (send(id, buffer, kSmall, CM_SEND_AND_PREP_TO_RECEIVE) != CM_OK ||
            take_turn(id, buffer, kLarge) != kSmall)
            return state.SkipWithError("the echo failed");
    }
    const double ns = since_ns(t0) / static_cast<double>(state.iterations());
    deallocate(id);
    state.SetBytesProcessed(state.iterations() * 2 * kSmall);
    if (g_pair_round_trip_ns > 0) state.counters["x_socketpair"] = ns / g_pair_round_trip_ns;
}

void BM_ConversationStream32K(benchmark::State &state) {
    unsigned char id[CM_CID_SIZE];
    std::vector<unsigned char> buffer(kLarge);
    if (!allocate("BSINK", id)) return state.SkipWithError("allocate failed");
    const auto t0 = Clock::now();
    for (auto _ : state) {
        for (int i = 0; i < kAnswerEvery; ++i) {
            const CM_SEND_TYPE type = i + 1 < kAnswerEvery ? CM_BUFFER_DATA : CM_SEND_AND_PREP_TO_RECEIVE;
            if (send(id, buffer.data(), kLarge, type) != CM_OK) return state.SkipWithError("send failed");
        }
        if (take_turn(id, buffer.data(), kLarge) != 1) return state.SkipWithError("the sink failed");
    }
    const double bytes = static_cast<double>(state.iterations()) * kAnswerEvery * kLarge;
    const double per_ns = bytes / since_ns(t0);
    deallocate(id);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    if (g_pair_stream_bytes_per_ns > 0) state.counters["x_throughput"] = per_ns / g_pair_stream_bytes_per_ns;
}

void BM_ConversationSetUp(benchmark::State &state) {
    unsigned char id[CM_CID_SIZE], buffer[kLarge] = {};
    const auto t0 = Clock::now();
    for (auto _ : state) {
        if (!allocate("BECHO", id) || send(id, buffer, kSmall, CM_SEND_AND_PREP_TO_RECEIVE) != CM_OK ||
            take_turn(id, buffer, kLarge) != kSmall || !deallocate(id))
            return state.SkipWithError("the set-up failed");
    }
    const double ns = since_ns(t0) / static_cast<double>(state.iterations());
    if (g_pair_round_trip_ns > 0) state.counters["socketpair_round_trips"] = ns / g_pair_round_trip_ns;
}

// kHeld conversations opened to one program that holds them all
// (cpicpingd -m kHeld), each established by one exchange. Only the first
// opening in a daemon's life counts: a repetition reuses the memory the
// first one made the daemon grow.
void BM_DaemonMemoryPerConversation(benchmark::State &state) {
    for (auto _ : state) {
        const pid_t daemon = daemon_pid(g_dir + "/node.sock");
        if (daemon <= 0) return state.SkipWithError("no daemon answers");
        pid_t holder = fork();
        if (holder == 0) {
            const std::string held = std::to_string(kHeld);
            if (!freopen("/dev/null", "w", stdout)) _exit(2);
            execl(BENCH_CPICPINGD, BENCH_CPICPINGD, "-m", held.c_str(), "-n", held.c_str(), "BHOLD",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const long before = rss_bytes(daemon);
        std::vector<std::array<unsigned char, CM_CID_SIZE>> ids(kHeld);
        unsigned char buffer[kLarge] = {};
        bool ok = true;
        for (auto &id : ids)
            ok = ok && allocate("BHOLD", id.data()) &&
                 send(id.data(), buffer, 1, CM_SEND_AND_PREP_TO_RECEIVE) == CM_OK;
        for (auto &id : ids) ok = ok && take_turn(id.data(), buffer, kLarge) == 1;
        const long after = rss_bytes(daemon);
        for (auto &id : ids) ok = deallocate(id.data()) && ok;
        waitpid(holder, nullptr, 0);
        if (!ok) return state.SkipWithError("opening the conversations failed");
        state.counters["daemon_rss_before_kb"] = static_cast<double>(before) / 1024;
        state.counters["daemon_rss_after_kb"] = static_cast<double>(after) / 1024;
        state.counters["daemon_bytes_per_conversation"] = static_cast<double>(after - before) / kHeld;
    }
}

BENCHMARK(BM_SocketpairRoundTrip)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SocketpairStream32K)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ConversationRoundTrip)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ConversationStream32K)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ConversationSetUp)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_DaemonMemoryPerConversation)->Iterations(1)->UseRealTime();

void serve_echo(const char *tp, int) {
    serve(tp, true);
}
void serve_sink(const char *tp, int) {
    serve(tp, false);
}

} // namespace

int main(int argc, char **argv) {
    char dir[] = "/tmp/zvbench.XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    g_dir = dir;
    std::ofstream(g_dir + "/node.toml")
        << "[[local_lu]]\nalias = \"BENCLU\"\nname = \"NETB.BENCLU\"\n"
        << "[[tp]]\nname = \"BECHO\"\n[[tp]]\nname = \"BSINK\"\n[[tp]]\nname = \"BHOLD\"\n";
    setenv("ZORVEL_ENGINE", "node", 1);
    setenv("ZORVEL_DAEMON", BENCH_DAEMON, 0);
    setenv("ZORVEL_CONFIG", (g_dir + "/node.toml").c_str(), 1);
    setenv("ZORVEL_NODE_SOCKET", (g_dir + "/node.sock").c_str(), 1);
    setenv("ZORVEL_LOG_DIR", g_dir.c_str(), 1);
    setenv("ZORVEL_LOG_FILE", (g_dir + "/library.log").c_str(), 1);
    // The partners start before this process makes its first call: a child
    // forked from a process whose library is initialised would share its
    // node connection.
    spawn(serve_echo, "BECHO", -1);
    spawn(serve_sink, "BSINK", -1);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    for (pid_t pid : g_children) kill(pid, SIGKILL);
    for (pid_t pid : g_children) waitpid(pid, nullptr, 0);
    if (const pid_t daemon = daemon_pid(g_dir + "/node.sock"); daemon > 0) kill(daemon, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
    return 0;
}
