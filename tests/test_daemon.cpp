// SPDX-License-Identifier: Apache-2.0
// The node daemon as its peers see it: a real zorveld on a socket of its
// own, spoken to by raw protocol clients (proto::encode / Reader, session
// ends passed as socketpair descriptors). The same program is the invoked
// TP: started with --invoked-tp it connects, waits to accept and writes
// what it got into the session.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <crypt.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zorvel/lu62_codes.h"
#include "zorvel/lu62_core.h"
#include "zorvel/lu62_messages.h"
#include "zorvel/node_config.h"
#include "zorvel/node_protocol.h"
#include "test_node_daemon.h"

namespace {

using namespace zv;
namespace sense = lu62::sense;
using proto::Bytes;

std::string g_self; // this program, for the invoked TP

// ---- A raw protocol client -------------------------------------------------------

struct Client {
    int fd = -1;
    proto::Reader reader;
    std::vector<int> fds;
    explicit Client(const std::string &socket) : fd(connect_unix(socket)) {}
    ~Client() {
        if (fd >= 0) close(fd);
        for (int f : fds) close(f);
    }
    bool send(const proto::Message &m, int pass = -1) { return proto::send_all(fd, proto::encode(m), pass); }
    bool send_raw(const Bytes &b) { return proto::send_all(fd, b); }
    // The next message within `ms`; nullopt at end of stream or time out
    // (`eof` tells which).
    std::optional<proto::Message> next(int ms = 3000, bool *eof = nullptr) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (auto m = reader.take()) return m;
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  until - std::chrono::steady_clock::now())
                                                  .count());
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0) return std::nullopt;
            uint8_t b[4096];
            const long n = proto::receive_some(fd, b, sizeof b, fds);
            if (n <= 0) {
                if (eof) *eof = true;
                return std::nullopt;
            }
            reader.feed(b, static_cast<size_t>(n));
        }
    }
    template <class T>
    std::optional<T> next_of(int ms = 3000) {
        auto m = next(ms);
        if (!m || !std::holds_alternative<T>(*m)) return std::nullopt;
        return std::get<T>(*m);
    }
    // The daemon answered a hello: it has handled all sent before.
    bool settled() { return send(proto::Hello{}) && next_of<proto::HelloReply>(); }
    bool closed_by_daemon(int ms = 3000) {
        bool eof = false;
        while (next(ms, &eof)) {}
        return eof;
    }
    int take_fd() {
        if (fds.empty()) return -1;
        const int f = fds.front();
        fds.erase(fds.begin());
        return f;
    }
};

// Reads one whole lu62 frame from a session end within `ms`.
std::optional<lu62::Message> read_frame(int fd, int ms = 3000) {
    Bytes b;
    for (;;) {
        if (b.size() >= 2 && b.size() >= 2u + (b[0] << 8 | b[1])) return lu62::decode(b.data(), b.size());
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return std::nullopt;
        uint8_t c[4096];
        const ssize_t n = read(fd, c, sizeof c);
        if (n <= 0) return std::nullopt;
        b.insert(b.end(), c, c + n);
    }
}

bool at_eof(int fd, int ms = 3000) {
    pollfd p{fd, POLLIN, 0};
    char c;
    return poll(&p, 1, ms) == 1 && read(fd, &c, 1) == 0;
}

lu62::Message attach_message(const std::string &tp, uint8_t conv_type = 1, uint8_t sync = 0,
                             uint8_t security = 0, const std::string &user = "",
                             const std::string &password = "", const std::string &lu = "NETA.LU1") {
    lu62::Message m;
    m.session = 7;
    m.rh.fmh = m.rh.begin_chain = m.rh.begin_bracket = true;
    m.attach = lu62::Attach{conv_type, sync, security, tp, user, password, "#INTER", "NETA.ORIG", lu};
    m.data = {1, 2, 3};
    return m;
}

// Sends the attach with a fresh session; returns the allocator's end.
int attach(Client &c, const lu62::Message &m, uint32_t conv_id = 11, proto::TpId tp_id = {1}) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    c.send(proto::Attach{conv_id, tp_id, lu62::encode(m)}, sv[1]);
    close(sv[1]);
    return sv[0];
}

// ---- The daemon under test ---------------------------------------------------------

class Daemon : public ::testing::Test {
  public:
    static std::string emulator() {
#ifdef ZORVEL_EMULATOR
        return ZORVEL_EMULATOR " ";
#else
        return "";
#endif
    }

  protected:
    void SetUp() override {
        char name[] = "/tmp/zorveld_test_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        socket = dir + "/run/node.sock";
        const std::string hash = crypt("SECRET", "$6$salt$");
        const std::string script = dir + "/tp.sh";
        std::ofstream(script) << "#!/bin/sh\nexec " << emulator() << g_self << " --invoked-tp\n";
        chmod(script.c_str(), 0755);
        std::ofstream(dir + "/node.toml")
            << "[[local_lu]]\nalias = \"LOCAL1\"\nname = \"NETA.LU1\"\n"
               "[[tp]]\nname = \"SERVER\"\nqueue_timeout_ms = 60000\n"
               "[[tp]]\nname = \"BASICONLY\"\nconversation_type = \"basic\"\n"
               "[[tp]]\nname = \"NOSYNC\"\nsync_level = \"none\"\n"
               "[[tp]]\nname = \"SECURE\"\nsecurity = \"required\"\n"
               "[[tp]]\nname = \"QUICK\"\nqueue_timeout_ms = 300\n"
               "[[tp]]\nname = \"NOPROG\"\npath = \"/nonexistent/tp\"\n"
               "[[tp]]\nname = \"CRASH\"\npath = \"/bin/sh\"\nargs = [\"-c\", \"exit 3\"]\nqueue_timeout_ms "
               "= 500\n"
               "[[tp]]\nname = \"INVOKED\"\npath = \""
            << script << "\"\nmax_instances = 1\n[[user]]\nuser_id = \"CLERK\"\npassword_hash = \"" << hash
            << "\"\n";
        start();
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (HasFailure()) std::fprintf(stderr, "daemon log:\n%s", log().c_str());
        if (std::system(("rm -rf " + dir).c_str()) != 0) {}
    }

    // Starts zorveld in the foreground and waits until it answers.
    void start(long idle = 60) {
        pid = spawn(idle);
        ASSERT_GT(pid, 0);
        int fd = -1;
        ASSERT_TRUE(eventually([&] { return (fd = connect_unix(socket)) >= 0; }, 5000))
            << "zorveld does not answer on " << socket;
        close(fd);
    }
    pid_t spawn(long idle) {
        const std::string cmd = emulator() + ZORVELD_PATH + " --foreground --socket " + socket +
                                " --config " + dir + "/node.toml --idle " + std::to_string(idle);
        const pid_t p = fork();
        if (p == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        return p;
    }
    // The daemon's exit status once it exits within `ms`; -1 if it does not.
    int exited(int ms) {
        int status = 0;
        if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, ms)) return -1;
        pid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string log() {
        return read_file(dir + "/run/zorveld.log");
    }
    bool logged(const std::string &what, int ms = 3000) {
        return eventually([&] { return log().find(what) != std::string::npos; }, ms);
    }

    std::string dir, socket;
    pid_t pid = 0;
};

// ---- Rejections: each written into the session's end ------------------------------

struct Rejection {
    const char *what;
    lu62::Message attach;
    uint32_t sense;
};

TEST_F(Daemon, EachRejectionIsWrittenIntoThePassedEndAndLogged) {
    const Rejection rows[] = {
        {"TP name neither defined nor registered", attach_message("NOBODY"), sense::kTpnNotRecognized},
        {"mapped to a basic-only TP", attach_message("BASICONLY", 1), sense::kConvTypeMismatch},
        {"confirm to a sync-none TP", attach_message("NOSYNC", 0, 1), sense::kSyncLevelNotSupported},
        {"no security to a TP that requires it", attach_message("SECURE"), sense::kSecurityNotValid},
        {"wrong password", attach_message("SERVER", 1, 0, 2, "CLERK", "WRONG"), sense::kSecurityNotValid},
        {"unknown user", attach_message("SERVER", 1, 0, 2, "NOONE", "SECRET"), sense::kSecurityNotValid},
        {"LU not local", attach_message("SERVER", 1, 0, 0, "", "", "NETA.OTHER"),
         sense::kTpNotAvailableNoRetry},
        {"nobody accepts within the queue timeout", attach_message("QUICK"), sense::kTpNotAvailableRetry},
        {"invokable program that does not exist", attach_message("NOPROG"), sense::kTpNotAvailableNoRetry},
        // Not started again: the queue timeout answers.
        {"invoked program that exits before accepting", attach_message("CRASH"), sense::kTpNotAvailableRetry},
    };
    Client c(socket);
    for (const Rejection &r : rows) {
        const int end = attach(c, r.attach);
        const auto m = read_frame(end);
        ASSERT_TRUE(m && m->error) << r.what;
        EXPECT_EQ(m->error->sense, r.sense) << r.what;
        EXPECT_TRUE(m->to_primary && m->rh.conditional_end_bracket && m->rh.begin_chain && m->rh.end_chain)
            << r.what;
        EXPECT_EQ(m->session, 7u) << r.what;
        EXPECT_TRUE(at_eof(end)) << r.what << ": the daemon closes its copy";
        close(end);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", r.sense);
        EXPECT_TRUE(logged(" ended with an error: ? at NETA.ORIG -> " + r.attach.attach->tp_name + " at " +
                           r.attach.attach->destination_lu + "; sense " + hex + " " +
                           lu62::sense_text(r.sense) + "; attach rejected by the node ("))
            << r.what;
    }
    EXPECT_TRUE(logged("TP NOPROG not started: /nonexistent/tp"));
    EXPECT_TRUE(logged("TP ended abnormally: CRASH pid"));
    EXPECT_TRUE(logged("exit status 3 before accepting"));
}

// ---- Routing ------------------------------------------------------------------------

TEST_F(Daemon, AttachGoesToTheOldestWaitWithPasswordVerifiedAndTheSessionEnd) {
    for (const bool wait_first : {true, false}) {
        Client allocator(socket), first(socket), second(socket);
        const lu62::Message sent = attach_message("SERVER", 0, 1, 2, "CLERK", "SECRET");
        int end = -1;
        if (!wait_first) end = attach(allocator, sent);
        ASSERT_TRUE(first.send(proto::AcceptWait{5, {}, {"OTHER", "SERVER"}}));
        ASSERT_TRUE(second.send(proto::AcceptWait{6, {}, {"SERVER"}}));
        if (wait_first) end = attach(allocator, sent);

        const auto d = first.next_of<proto::Deliver>();
        ASSERT_TRUE(d) << "wait first: " << wait_first;
        EXPECT_EQ(d->wait_id, 5u);
        EXPECT_NE(d->session, 0u);
        EXPECT_EQ(d->lu_alias, "LOCAL1");
        EXPECT_EQ(d->lu_name, "NETA.LU1");
        const auto got = lu62::decode(d->frame.data(), d->frame.size());
        ASSERT_TRUE(got && got->attach);
        lu62::Message expect = sent;
        expect.attach->security = 1;
        expect.attach->password.clear();
        EXPECT_TRUE(*got == expect) << "the frame as sent, security verified, every RH bit kept";
        const int delivered = first.take_fd();
        ASSERT_GE(delivered, 0);
        ASSERT_EQ(write(end, "ping", 4), 4);
        char b[8] = {};
        EXPECT_EQ(read(delivered, b, sizeof b), 4);
        EXPECT_STREQ(b, "ping") << "the delivered end is the allocator's partner";
        EXPECT_FALSE(second.next(200)) << "one attach, one delivery";
        close(delivered);
        close(end);
    }
}

// INVOKED allows one instance; each takes one attach and stays until its
// partner closes the session. A second attach waits for the first
// instance to end, and then gets one of its own.
TEST_F(Daemon, InvokedTpIsStartedWithItsEnvironmentOneInstanceAtATime) {
    Client allocator(socket);
    const auto answer = [](int end) {
        char b[256] = {};
        pollfd p{end, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1 || read(end, b, sizeof b - 1) <= 0) return std::string("no answer");
        return std::string(b);
    };
    const auto starts = [&] {
        const std::string text = log();
        size_t n = 0;
        for (size_t at = text.find("TP started: INVOKED pid"); at != std::string::npos;
             at = text.find("TP started: INVOKED pid", at + 1))
            ++n;
        return n;
    };
    const char kAnswer[] = "tp INVOKED lu LOCAL1 security 0 wait 1"; // written by the started program
    const int first = attach(allocator, attach_message("INVOKED"));
    EXPECT_EQ(answer(first), kAnswer);
    const int second = attach(allocator, attach_message("INVOKED"));
    ASSERT_TRUE(allocator.settled()); // the second attach handled
    EXPECT_EQ(starts(), 1u) << "max_instances 1 while the first instance runs";
    close(first);
    EXPECT_EQ(answer(second), kAnswer);
    close(second);
    EXPECT_EQ(starts(), 2u);
}

TEST_F(Daemon, PeerGoneTakesItsWaitsAndItsQueuedAttachesWithIt) {
    {
        Client gone(socket);
        gone.send(proto::AcceptWait{1, {}, {"SERVER"}});
        ASSERT_TRUE(gone.settled());
    }
    Client allocator(socket);
    const int kept = attach(allocator, attach_message("SERVER"));
    EXPECT_FALSE(at_eof(kept, 300)) << "queued, not handed to the wait of a peer that is gone";
    int dropped;
    {
        Client gone(socket);
        dropped = attach(gone, attach_message("SERVER"));
        ASSERT_TRUE(gone.settled());
    }
    EXPECT_TRUE(at_eof(dropped)) << "the queued attach went with its allocator";
    close(dropped);
    Client acceptor(socket);
    acceptor.send(proto::AcceptWait{2, {}, {"SERVER"}});
    ASSERT_TRUE(acceptor.next_of<proto::Deliver>());
    const int delivered = acceptor.take_fd();
    ASSERT_EQ(write(kept, "k", 1), 1);
    char b = 0;
    EXPECT_EQ(read(delivered, &b, 1), 1);
    EXPECT_EQ(b, 'k');
    close(delivered);
    close(kept);
}

// ---- Peers that misbehave, peers of another user --------------------------------------

TEST_F(Daemon, MalformedPeerIsDroppedAndTheOthersServed) {
    const Bytes bad_type = {0, 0, 0, 0, 0x03, 0xE7, 0, 0};
    const Bytes bad_reserved = {0, 0, 0, 0, 0, 15, 0, 1};
    const Bytes too_long = {0, 2, 0, 0, 0, 15, 0, 0};
    const Bytes short_body = {0, 0, 0, 2, 0, 5, 0, 0, 0, 9};
    const Bytes daemon_only = proto::encode(proto::Query{1});
    Client good(socket);
    ASSERT_TRUE(good.send(proto::Register{"SERVER"}));
    for (const Bytes &b : {bad_type, bad_reserved, too_long, short_body, daemon_only}) {
        Client bad(socket);
        ASSERT_TRUE(bad.send_raw(b));
        EXPECT_TRUE(bad.closed_by_daemon());
        ASSERT_TRUE(good.send(proto::Hello{}));
        const auto reply = good.next_of<proto::HelloReply>();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->pid, static_cast<uint32_t>(pid));
    }
    EXPECT_TRUE(logged("dropped: malformed message"));
}

TEST_F(Daemon, PeerOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    ASSERT_EQ(chmod((dir + "/run").c_str(), 0755), 0);
    ASSERT_EQ(chmod(socket.c_str(), 0777), 0);
    chmod(dir.c_str(), 0755);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        Client c(socket);
        if (c.fd < 0) _exit(3);
        c.send(proto::Hello{});
        _exit(c.closed_by_daemon() ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(logged("peer refused: pid " + std::to_string(child) + " uid 65534"));
    Client mine(socket);
    EXPECT_TRUE(mine.settled());
}

// ---- Status, stop, idle ------------------------------------------------------------------

TEST_F(Daemon, StatusNamesDefinitionsInstancesAndConversationsWithWhatThePeersReport) {
    Client allocator(socket), acceptor(socket);
    allocator.send(proto::TpStarted{{1}, "LOCAL1", "CLIENT"});
    acceptor.send(proto::TpStarted{{2}, "LOCAL1", "SERVER"});
    acceptor.send(proto::AcceptWait{1, {2}, {"SERVER"}});
    const int end = attach(allocator, attach_message("SERVER"), 42, {1});
    const auto d = acceptor.next_of<proto::Deliver>();
    ASSERT_TRUE(d);
    const std::string me = std::to_string(getpid());
    const std::string session = std::to_string(d->session);
    for (const bool json : {false, true}) {
        Client op(socket);
        op.send(proto::Status{json});
        // The acceptor answers the daemon's query; the allocator does not.
        const auto q = acceptor.next_of<proto::Query>();
        ASSERT_TRUE(q);
        acceptor.send(proto::QueryReply{q->query_id, {proto::ConvInfo{d->session, 0, 4, 100, 23}}});
        ASSERT_TRUE(allocator.next_of<proto::Query>());
        const auto r = op.next_of<proto::StatusReply>();
        ASSERT_TRUE(r);
        const std::vector<std::string> text = {
            "lu LOCAL1 NETA.LU1 default\n",
            "tp QUICK conversation_type either sync_level either security none queue_timeout_ms 300\n",
            "instance SERVER lu LOCAL1 pid " + me + "\n",
            "conversation " + session + " CLIENT (pid " + me + " state unknown) -> SERVER (pid " + me +
                " state 4 sent 100 received 23)\n"};
        const std::vector<std::string> in_json = {
            "{\"alias\":\"LOCAL1\",\"name\":\"NETA.LU1\",\"default\":true}",
            "{\"name\":\"INVOKED\",\"conversation_type\":\"either\"",
            "{\"tp_name\":\"CLIENT\",\"lu_alias\":\"LOCAL1\",\"pid\":" + me + "}",
            "{\"session\":" + session + ",\"allocator\":{\"tp_name\":\"CLIENT\",\"pid\":" + me +
                "},\"acceptor\":{\"tp_name\":\"SERVER\",\"pid\":" + me +
                ",\"state\":4,\"bytes_sent\":100,\"bytes_received\":23}}"};
        for (const std::string &item : json ? in_json : text)
            EXPECT_NE(r->text.find(item), std::string::npos) << item << "\n" << r->text;
    }
    // A conversation ended by either end leaves the status.
    allocator.send(proto::ConvEnded{42, 1});
    Client op(socket);
    op.send(proto::Status{0});
    const auto r = op.next_of<proto::StatusReply>();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text.find("conversation "), std::string::npos) << r->text;
    close(end);
}

TEST_F(Daemon, SecondDaemonLeavesTheFirstServingAndIdleDaemonExits) {
    const pid_t first = pid;
    pid = spawn(60);
    EXPECT_EQ(exited(5000), 0) << "the second one sees the first and goes";
    pid = first;
    {
        Client c(socket);
        c.send(proto::TpStarted{{9}, "LOCAL1", "GONE"});
        ASSERT_TRUE(c.settled());
    }
    EXPECT_TRUE(logged("peer lost: pid " + std::to_string(getpid()) + " with 1 TP instances"));
    kill(pid, SIGTERM);
    EXPECT_EQ(exited(3000), 0);
    start(1);
    EXPECT_EQ(exited(4000), 0) << "idle for a second with no peer";
    EXPECT_NE(access(socket.c_str(), F_OK), 0);
    EXPECT_TRUE(logged("stop (idle)"));
}

// ---- The configuration parser and the operator tool ---------------------------------------

// A refused file is the node without one: the daemon runs on what this
// leaves (the mistakes themselves are check-config's, below).
TEST(ConfigParse, RefusedFileLeavesTheNodeWithoutOne) {
    const ParsedConfig p = parse_node_config(
        "[[local_lu]]\nalias = \"A\"\nname = \"N.A\"\n[[tp]]\nname = \"T\"\n[[tp]]\nnam = \"X\"\n", "f.toml");
    ASSERT_EQ(p.errors.size(), 2u);
    ASSERT_EQ(p.config.local_lus.size(), 1u);
    EXPECT_EQ(p.config.local_lus[0].alias, "LOCAL");
    EXPECT_TRUE(p.config.tps.empty());
}

// Runs the tool; its output and exit status.
std::pair<std::string, int> tool(const std::string &args) {
    FILE *f = popen((Daemon::emulator() + ZORVEL_TOOL_PATH + " " + args + " 2>&1").c_str(), "r");
    std::string out;
    char b[4096];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0) out.append(b, n);
    const int status = pclose(f);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(Daemon, ToolChecksFilesAndTalksToTheDaemonWhichStops) {
    const std::string bad = dir + "/bad.toml", none = dir + "/none.toml";
    // Every mistake in the order of the lines, a table's own first; a table
    // with a mistake is left out of the checks across tables (no second A).
    std::ofstream(bad) << "[[user]]\nuser_id = \"CLERK\"\nnam = 1\n[[local_lu]]\nalias = \"A\"\n"
                          "[[local_lu]]\nalias = \"A\"\nname = \"N.A\"\n";
    Client c(socket);
    const int queued = attach(c, attach_message("SERVER"));
    const struct {
        std::string args, output;
        int status;
    } rows[] = {
        {"check-config " + bad,
         bad + ":3: unknown key 'nam' in [[user]]\n" + bad + ":1: password_hash is missing\n" + bad +
             ":4: name is missing\n",
         1},
        {"check-config " + dir + "/node.toml",
         dir + "/node.toml: 1 local LU(s), 8 TP definition(s), 1 user(s), 0 side information entries\n", 0},
        {"check-config " + none, none + ":0: cannot be read: No such file or directory\n", 1},
        {"--socket " + dir + "/nobody.sock status", "no daemon answers on " + dir + "/nobody.sock\n", 3},
        {"--socket " + dir + "/nobody.sock stop", "no daemon answers on " + dir + "/nobody.sock\n", 3},
        {"--socket " + socket + " status", "daemon pid " + std::to_string(pid) + " socket " + socket, 0},
        {"--socket " + socket + " status --json",
         "{\"daemon\":{\"pid\":" + std::to_string(pid) + ",\"socket\":\"" + socket, 0},
        {"--socket " + socket + " stop", "zorveld on " + socket + " stopped\n", 0},
    };
    for (const auto &r : rows) {
        const auto [out, status] = tool(r.args);
        // An answer that ends its line is the whole output; a status, its start.
        EXPECT_EQ(r.output.back() == '\n' ? out : out.substr(0, r.output.size()), r.output) << r.args;
        EXPECT_EQ(status, r.status) << r.args;
    }
    // Stopped, the daemon rejects what is queued, removes its socket and
    // exits.
    const auto m = read_frame(queued);
    EXPECT_TRUE(m && m->error && m->error->sense == sense::kTpNotAvailableRetry);
    close(queued);
    EXPECT_EQ(exited(3000), 0);
    EXPECT_NE(access(socket.c_str(), F_OK), 0);
    EXPECT_TRUE(logged("stop (requested)"));
}

// Each conversation that ends with an error is one line: the first report
// of either end, or the daemon's own rejection. `zorvel log` picks lines by
// TP name and by conversation. (An end the allocator reports is pinned by
// the node tests, where the library reports it.)
TEST_F(Daemon, FirstReportOfAnErrorEndIsLoggedAndZorvelLogFiltersIt) {
    unsetenv("ZORVEL_LOG_FILE"); // the daemon's log only
    Client allocator(socket), acceptor(socket);
    allocator.send(proto::TpStarted{{1}, "LOCAL1", "CLIENT"});
    acceptor.send(proto::AcceptWait{21, {2}, {"SERVER"}});
    close(attach(allocator, attach_message("SERVER"), 21));
    const auto d = acceptor.next_of<proto::Deliver>();
    ASSERT_TRUE(d);
    // The acceptor abends; the allocator's report of the same end is not
    // logged again.
    using F = lu62::Failure;
    acceptor.send(
        proto::ConvFailed{d->session, 0, sense::kDeallocAbendProgram, static_cast<uint8_t>(F::kSent)});
    allocator.send(proto::ConvFailed{21, 1, sense::kDeallocAbendProgram, static_cast<uint8_t>(F::kReceived)});
    close(attach(allocator, attach_message("NOBODY"), 23));
    const std::pair<uint32_t, std::string> rows[] = {
        // conversation, its line from "ended"
        {d->session, "CLIENT at NETA.ORIG -> SERVER at NETA.LU1; sense 08640000 deallocate abend (program); "
                     "by the acceptor SERVER"},
        {0, "CLIENT at NETA.ORIG -> NOBODY at NETA.LU1; sense 10086021 TP name not recognised; "
            "attach rejected by the node (at the attach)"}};
    ASSERT_TRUE(allocator.settled());
    const std::string log_of = "--socket " + socket + " log ";
    for (const auto &[id, line] : rows) {
        const auto [out, status] =
            tool(log_of + (id ? "--conversation " + std::to_string(id) : std::string("--tp NOBODY")));
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out.substr(std::min(out.size(), out.find(" ended with an error: ") + 22)), line + "\n")
            << out;
    }
    const auto [both, status] = tool(log_of + "--tp SERVER --conversation " + std::to_string(d->session));
    EXPECT_EQ(std::count(both.begin(), both.end(), '\n'), 1) << both;
    EXPECT_EQ(tool(log_of + "--tp CLIEN").first, "") << "a word, not a piece of one";
}

// ---- The protocol itself ----------------------------------------------------------------

template <size_t I = 0>
void each_type(std::vector<proto::Message> &out) {
    if constexpr (I < std::variant_size_v<proto::Message>) {
        out.push_back(std::variant_alternative_t<I, proto::Message>{});
        each_type<I + 1>(out);
    }
}

TEST(Protocol, EveryTypeRoundTripsThroughTheReaderByteByByte) {
    std::vector<proto::Message> all;
    each_type(all);
    // Nonzero fields where a type has them, so a field left out shows.
    all[0] = proto::Hello{1, 0x01020304};
    all[2] = proto::TpStarted{{1, 2, 3, 4, 5, 6, 7, 8}, "LU", "TP NAME"};
    all[6] = proto::AcceptWait{0x1122334455667788, {9}, {"A", "", "CCC"}};
    all[8] = proto::Attach{5, {1}, {0, 1, 2, 255}};
    all[9] = proto::Deliver{3, 4, "L", "N.L", {7, 7}};
    all[11] = proto::QueryReply{8, {proto::ConvInfo{1, 1, 2, 3, 4}, proto::ConvInfo{5, 0, 6, 1ull << 40, 7}}};
    all[13] = proto::StatusReply{std::string(3000, 'x')};
    all[15] = proto::ConvEnded{9, 1};
    all[16] = proto::ConvFailed{9, 1, 0x08640000, 2};
    Bytes stream;
    for (const proto::Message &m : all) {
        const Bytes b = proto::encode(m);
        stream.insert(stream.end(), b.begin(), b.end());
    }
    proto::Reader r;
    std::vector<proto::Message> got;
    for (uint8_t byte : stream) {
        r.feed(&byte, 1);
        while (auto m = r.take()) got.push_back(*m);
    }
    ASSERT_FALSE(r.bad());
    ASSERT_EQ(got.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(got[i].index(), all[i].index());
        EXPECT_EQ(proto::encode(got[i]), proto::encode(all[i])) << "type " << i + 1;
        // A body one byte short never decodes.
        const Bytes b = proto::encode(all[i]);
        if (b.size() > proto::kHeaderSize) {
            EXPECT_FALSE(proto::decode(proto::type_of(all[i]), b.data() + proto::kHeaderSize,
                                       b.size() - proto::kHeaderSize - 1))
                << "type " << i + 1;
        }
    }
}

// ---- The invoked TP -----------------------------------------------------------------------

// Connects as a started TP would, takes one attach and writes what it got
// into the session.
int invoked_tp() {
    const char *tp = std::getenv("APPCTPN");
    const char *lu = std::getenv("APPCLLU");
    const char *sock = std::getenv("ZORVEL_NODE_SOCKET");
    if (!tp || !lu || !sock || !std::getenv("ZORVEL_CONFIG")) return 2;
    Client c(sock);
    c.send(proto::Hello{proto::kVersion, static_cast<uint32_t>(getpid())});
    c.send(proto::TpStarted{{1}, lu, tp});
    c.send(proto::AcceptWait{1, {1}, {tp}});
    for (;;) {
        auto m = c.next(10000);
        if (!m) return 3;
        const auto *d = std::get_if<proto::Deliver>(&*m);
        if (!d) continue;
        const auto a = lu62::decode(d->frame.data(), d->frame.size());
        const int end = c.take_fd();
        if (!a || !a->attach || end < 0) return 4;
        const std::string text = std::string("tp ") + tp + " lu " + lu + " security " +
                                 std::to_string(a->attach->security) + " wait " + std::to_string(d->wait_id);
        if (write(end, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 5;
        char byte;
        while (read(end, &byte, 1) > 0) {}
        return 0;
    }
}

} // namespace

int main(int argc, char **argv) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    g_self = n > 0 ? std::string(self, static_cast<size_t>(n)) : argv[0];
    if (argc == 2 && std::strcmp(argv[1], "--invoked-tp") == 0) return invoked_tp();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
