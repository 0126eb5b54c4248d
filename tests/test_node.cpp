// SPDX-License-Identifier: Apache-2.0
// Programs conversing as processes through the node daemon: the sample
// ping pair with the echo TP started by the daemon, invokable TPs that
// cannot serve, processes killed mid-conversation, and many conversations
// at once. The test itself never calls CPI-C: it starts cpicping and
// cpicpingd (under the emulator where the build has one) with a private
// daemon socket, and reads their output and exit status; where it needs a
// conversation the samples do not hold, it forks programs of its own that
// call CPI-C (the test process itself never does, so each child starts
// the library afresh).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "include/cpic.h"
#include "test_node_daemon.h"

namespace {

using Args = std::vector<std::string>;

double now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// One of our programs as the kernel can start it: behind the emulator in
// the i386 build (its words separated by '|').
Args command(const std::string &program, const Args &args) {
    Args out;
    std::stringstream emulator(NODE_TEST_EMULATOR);
    for (std::string word; std::getline(emulator, word, '|');)
        if (!word.empty()) out.push_back(word);
    out.push_back(program);
    out.insert(out.end(), args.begin(), args.end());
    return out;
}

std::string toml_list(const Args &words) {
    std::string s;
    for (const std::string &w : words) s += (s.empty() ? "\"" : ", \"") + w + "\"";
    return "[" + s + "]";
}

// A started program with its stdout and stderr on one pipe.
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string text;
    int status = -1; // exit status, or 128 + signal
    double ended_ms = 0;

    // Reads what is there within `ms`; false at end of output.
    bool read_some(int ms) {
        pollfd p{out, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buffer[4096];
        ssize_t n = read(out, buffer, sizeof buffer);
        if (n > 0) text.append(buffer, static_cast<size_t>(n));
        return n > 0 || (n < 0 && errno == EINTR);
    }
    bool wait_for(const std::string &needle, int ms) {
        for (double end = now_ms() + ms; text.find(needle) == std::string::npos;)
            if (now_ms() > end || !read_some(50)) return text.find(needle) != std::string::npos;
        return true;
    }
    // Collects the rest of the output and the exit status; a program still
    // running after `ms` is killed and reported as such.
    int finish(int ms) {
        const double end = now_ms() + ms;
        while (out >= 0 && now_ms() < end && read_some(50)) {}
        int raw = 0;
        pid_t reaped;
        while ((reaped = waitpid(pid, &raw, WNOHANG)) == 0 && now_ms() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (reaped == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
            text += "\n[killed: still running]";
        }
        ended_ms = now_ms();
        if (out >= 0) close(out);
        out = -1;
        pid = -1;
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status;
    }
    ~Child() {
        if (pid > 0) finish(0);
    }
};

// `in_child` run in a forked child with its output on the pipe; what it
// returns is the child's exit status.
template <typename F>
std::unique_ptr<Child> spawn(F in_child) {
    auto c = std::make_unique<Child>();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return c;
    c->pid = fork();
    if (c->pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        const int status = in_child();
        fflush(nullptr);
        _exit(status);
    }
    close(fds[1]);
    c->out = fds[0];
    return c;
}

std::unique_ptr<Child> start(const Args &argv) {
    return spawn([&] {
        std::vector<char *> v;
        for (const std::string &a : argv) v.push_back(const_cast<char *>(a.c_str()));
        v.push_back(nullptr);
        execv(v[0], v.data());
        return 127;
    });
}

bool gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const size_t paren = line.rfind(')');
    return paren == std::string::npos || line.substr(paren + 2, 1) == "Z";
}

class Node : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(NODE_TEST_DAEMON).empty()) GTEST_SKIP() << "this tree builds no node daemon";
        char name[] = "/tmp/zvnode.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        socket_ = dir_ + "/node.sock";
        auto path_of = [](const char *program) {
            const Args words = command(program, {});
            return "path = \"" + words[0] + "\"\nargs = " + toml_list(Args(words.begin() + 1, words.end())) +
                   "\n";
        };
        const std::string path = path_of(NODE_TEST_CPICPINGD);
        Args victim = command(NODE_TEST_CPICPINGD, {});
        std::string victim_line = "echo $$ > " + dir_ + "/victim.pid; exec";
        for (const std::string &w : victim) victim_line += " '" + w + "'";
        std::ofstream(dir_ + "/node.toml")
            << "[[local_lu]]\nalias = \"NODELU\"\nname = \"NETT.NODELU\"\n"
            << "[[tp]]\nname = \"ECHO\"\n"
            << path << "[[tp]]\nname = \"ONEQUICK\"\nmax_instances = 1\nqueue_timeout_ms = 2000\n"
            << path << "[[tp]]\nname = \"MISSING\"\npath = \"" << dir_ << "/no-such-program\"\n"
            << "[[tp]]\nname = \"VICTIM\"\npath = \"/bin/sh\"\nargs = " << toml_list({"-c", victim_line})
            << "\n"
            << "[[tp]]\nname = \"MANY\"\nqueue_timeout_ms = 120000\n"
            << "[[tp]]\nname = \"SINK\"\nqueue_timeout_ms = 60000\n"
            << "[[tp]]\nname = \"HELLOSRV\"\n"
            << path_of(NODE_TEST_HELLO_SERVER)
            << "[[side_info]]\nsym_dest_name = \"PING\"\npartner_lu_name = \"NETT.NODELU\"\n"
            << "tp_name = \"ECHO\"\nmode_name = \"#INTER\"\nsecurity_type = \"none\"\n"
            << "[[side_info]]\nsym_dest_name = \"HELLO\"\npartner_lu_name = \"NODELU\"\n"
            << "tp_name = \"HELLOSRV\"\nsecurity_type = \"none\"\n";
        setenv("ZORVEL_ENGINE", "node", 1);
        setenv("ZORVEL_DAEMON", NODE_TEST_DAEMON, 1);
        setenv("ZORVEL_NODE_SOCKET", socket_.c_str(), 1);
        setenv("ZORVEL_CONFIG", (dir_ + "/node.toml").c_str(), 1);
        setenv("ZORVEL_LOG_DIR", dir_.c_str(), 1);
        setenv("ZORVEL_LOG_FILE", (dir_ + "/library.log").c_str(), 1);
        setenv("ZORVEL_IDLE_SECONDS", "60", 1);
    }
    void TearDown() override {
        if (dir_.empty()) return;
        const pid_t pid = daemon_pid(socket_);
        if (pid > 0) {
            kill(pid, SIGTERM);
            if (!eventually([&] { return gone(pid); }, 5000)) {
                ADD_FAILURE() << "the daemon did not stop on SIGTERM";
                kill(pid, SIGKILL);
            }
        }
        if (HasFailure()) std::cerr << "daemon log:\n" << read_file(dir_ + "/zorveld.log") << "\n";
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::unique_ptr<Child> ping(const Args &args) { return start(command(NODE_TEST_CPICPING, args)); }

    std::string dir_, socket_;
};

// Clients all at once, each against one definition: its TP is started
// by the daemon (instances of ECHO at once), or the client gets
// the code for why it could not be. Waiting behind max_instances and a
// program that quits before it accepts are the daemon test's.
TEST_F(Node, ClientsAtOnce) {
    const std::string cpicping = NODE_TEST_CPICPING;
    const struct {
        Args argv;
        int status;
        const char *says;
    } cases[] = {
        {{cpicping, "-q", "-c", "10", "PING"}, 0, "10 records echoed, 2000 bytes both ways, all matched"},
        {{cpicping, "-q", "-c", "3", "-s", "32767", "-t", "ECHO", "-l", "NODELU"}, 0, "3 records echoed"},
        {{cpicping, "-q", "-c", "200", "-s", "10", "PING"}, 0, "200 records echoed, 4000 bytes"},
        {{cpicping, "-q", "-c", "200", "-s", "1000", "PING"}, 0, "200 records echoed, 400000 bytes"},
        {{cpicping, "-c", "1", "-t", "MISSING", "-l", "NODELU"}, 2, "CM_TP_NOT_AVAILABLE_NO_RETRY"},
        {{cpicping, "-c", "1", "-t", "NOSUCH", "-l", "NODELU"}, 2, "CM_TPN_NOT_RECOGNISED"},
        {{NODE_TEST_HELLO_CLIENT, "HELLO"}, 0, "sent 26 bytes to HELLO, confirmed"},
    };
    std::vector<std::unique_ptr<Child>> clients;
    for (const auto &c : cases)
        clients.push_back(start(command(c.argv[0], Args(c.argv.begin() + 1, c.argv.end()))));
    for (size_t i = 0; i < clients.size(); ++i) {
        std::string line;
        for (const std::string &a : cases[i].argv) line += " " + a;
        SCOPED_TRACE(line);
        EXPECT_EQ(clients[i]->finish(60000), cases[i].status) << clients[i]->text;
        EXPECT_NE(clients[i]->text.find(cases[i].says), std::string::npos) << clients[i]->text;
    }
}

// Each way a conversation ends with an error at the node leaves one line
// in the daemon's log, naming both ends and the sense; an ordinary end
// leaves none. The abend by the allocator after its second conversation's
// attach timed out in the queue, and the TP killed by
// SIGKILL mid-records (its partner fails at once), then a client served;
// then the daemon itself is killed.
TEST_F(Node, ErrorEndsLogOneLineEachAndAKilledDaemonIsReplaced) {
    const std::string from = "ended with an error: CPIC_DEFAULT_TPNAME at NETT.NODELU -> ";
    struct Case {
        Args args;
        bool kill;
        int status;
        const char *says;
        std::vector<std::string> lines;
    } const cases[] = {
        {{"-c", "1", "-C", "2", "-t", "ONEQUICK", "-l", "NODELU"},
         false,
         2,
         "CM_TP_NOT_AVAILABLE_RETRY",
         {from + "ONEQUICK at NETT.NODELU; sense 084B6031 TP not available, retry; attach rejected by the "
                 "node (queue timeout)",
          from + "ONEQUICK at NETT.NODELU; sense 08640000 deallocate abend (program); by the allocator "
                 "CPIC_DEFAULT_TPNAME"}},
        {{"-c", "100000", "-p", "5", "-t", "VICTIM", "-l", "NODELU"},
         true,
         2,
         "CM(SEND|RCV) failed .*CM_RESOURCE_FAILURE_NO_RETRY",
         {from + "VICTIM at NETT.NODELU; sense 00000000 session lost, resource failure; the session of the "
                 "acceptor VICTIM was lost, reported by the allocator CPIC_DEFAULT_TPNAME"}},
        {{"-q", "-c", "5", "PING"}, false, 0, "all matched", {}},
    };
    size_t seen = 0; // the log before the case
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[c.args.size() - (c.args.back() == "NODELU" ? 3 : 1)]);
        auto client = ping(c.args);
        double killed = 0;
        if (c.kill) {
            ASSERT_TRUE(client->wait_for("record=3 ", 20000)) << client->text;
            pid_t victim = 0;
            std::ifstream(dir_ + "/victim.pid") >> victim;
            ASSERT_GT(victim, 0);
            killed = now_ms();
            ASSERT_EQ(kill(victim, SIGKILL), 0);
        }
        EXPECT_EQ(client->finish(30000), c.status) << client->text;
        EXPECT_TRUE(!c.kill || client->ended_ms - killed < 2000);
        EXPECT_TRUE(std::regex_search(client->text, std::regex(c.says))) << client->text;
        // Both ends report; the daemon writes the first report only.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::string all = read_file(dir_ + "/zorveld.log"),
                          text = all.substr(std::min(seen, all.size()));
        std::vector<std::string> lines;
        std::stringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (line.find(" ended with an error: ") != std::string::npos)
                lines.push_back(line.substr(line.find("ended with an error: ")));
        EXPECT_EQ(lines, c.lines) << text << client->text;
        seen += text.size();
    }
    // Killed by SIGKILL, the daemon is started afresh on the same socket by
    // the next program.
    const pid_t old_daemon = daemon_pid(socket_);
    ASSERT_GT(old_daemon, 0);
    ASSERT_EQ(kill(old_daemon, SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return gone(old_daemon); }, 5000));
    auto again = ping({"-q", "-c", "5", "PING"});
    EXPECT_EQ(again->finish(30000), 0) << again->text;
    EXPECT_GT(daemon_pid(socket_), 0);
}

// No daemon answers and none can be started: the program gets a return
// code and the library log names the socket, once.
TEST_F(Node, UnreachableDaemonIsReportedNotFatal) {
    const std::string socket = dir_ + "/none.sock";
    setenv("ZORVEL_DAEMON", (dir_ + "/no-such-daemon").c_str(), 1);
    setenv("ZORVEL_NODE_SOCKET", socket.c_str(), 1);
    auto client = ping({"-q", "-c", "1", "-C", "2", "PING"});
    EXPECT_EQ(client->finish(60000), 2) << client->text;
    const std::string log = read_file(dir_ + "/library.log");
    const size_t at = log.find(socket);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find(socket, at + 1), std::string::npos) << log;
}

// NODE_TEST_PROCESSES clients each hold NODE_TEST_CONVERSATIONS
// conversations at once, served by as many echo programs that each hold as
// many; every echo is checked byte for byte by its client, and the bytes
// the servers echoed add up to what the clients sent.
TEST_F(Node, ManyConversationsAtOnce) {
    const int processes = NODE_TEST_PROCESSES, conversations = NODE_TEST_CONVERSATIONS, records = 4;
    const std::string per = std::to_string(conversations);
    std::vector<std::unique_ptr<Child>> servers, clients;
    long long expected_bytes = 0;
    for (int i = 0; i < processes; ++i) {
        servers.push_back(start(command(NODE_TEST_CPICPINGD, {"-m", per, "-n", per, "MANY"})));
        const int size = 64 + 37 * i;
        expected_bytes += 1LL * conversations * records * size;
        clients.push_back(ping({"-t", "MANY", "-l", "NODELU", "-q", "-i", "0", "-c", std::to_string(records),
                                "-s", std::to_string(size), "-C", per}));
    }
    const std::string each = std::to_string(conversations * records) + " records echoed";
    for (auto &c : clients) {
        EXPECT_EQ(c->finish(240000), 0) << c->text;
        EXPECT_NE(c->text.find(each), std::string::npos) << c->text;
    }
    long long echoed = 0;
    int ended = 0;
    const std::regex over("conversation [0-9]+ over: ([0-9]+) records, ([0-9]+) bytes echoed");
    for (auto &s : servers) {
        EXPECT_EQ(s->finish(30000), 0) << s->text;
        for (std::sregex_iterator m(s->text.begin(), s->text.end(), over), end; m != end; ++m) {
            EXPECT_EQ((*m)[1].str(), std::to_string(records));
            echoed += std::stoll((*m)[2].str());
            ++ended;
        }
    }
    EXPECT_EQ(ended, processes * conversations);
    EXPECT_EQ(echoed, expected_bytes);
}

// One way: records of many sizes, most buffered, some flushed, each turn
// ending with the turn handed over; the receiver checks each record byte
// for byte and answers one byte a turn. Sessions cut frames wherever a
// read ends and the core builds records in buffers it used before, so a
// record that came wrong, short or out of order shows here. A receiver in
// non-blocking mode leaves the reading to the engine's own thread.
constexpr long kStreamTurns = 6, kStreamPerTurn = 40;

long stream_size(long record) {
    static const long sizes[] = {32767, 1, 100, 32766, 20000, 4096, 32767, 777, 31000, 2};
    return sizes[record % 10];
}
unsigned char stream_byte(long record, long j) {
    return static_cast<unsigned char>(record * 131 + j * 7 + (j >> 8));
}
// A call's own code, or the code of the operation it started once
// Wait_For_Conversation reports it over.
CM_RETURN_CODE finished(CM_RETURN_CODE rc) {
    if (rc != CM_OPERATION_INCOMPLETE) return rc;
    unsigned char waited[CM_CID_SIZE];
    CM_RETURN_CODE conversation_rc = -1;
    cmwait(waited, &conversation_rc, &rc);
    return rc == CM_OK ? conversation_rc : rc;
}
CM_RETURN_CODE send_as(unsigned char *id, unsigned char *data, CM_INT32 n, CM_SEND_TYPE type) {
    CM_RETURN_CODE rc;
    CM_REQUEST_TO_SEND_RECEIVED rts;
    cmsst(id, &type, &rc);
    if (rc == CM_OK) cmsend(id, data, &n, &rts, &rc);
    return finished(rc);
}

int stream_sink(long mode) {
    CM_INT32 n = 4;
    CM_RETURN_CODE rc;
    cmsltp(reinterpret_cast<unsigned char *>(const_cast<char *>("SINK")), &n, &rc);
    unsigned char id[CM_CID_SIZE];
    if (rc == CM_OK) cmaccp(id, &rc);
    CM_PROCESSING_MODE processing = static_cast<CM_PROCESSING_MODE>(mode);
    if (rc == CM_OK) cmspm(id, &processing, &rc);
    if (rc != CM_OK) return std::printf("accept: %d\n", rc), 2;
    std::vector<unsigned char> in(32767);
    long record = 0, wrong = 0;
    for (long turn = 0; turn < kStreamTurns; ++turn) {
        for (CM_STATUS_RECEIVED status = CM_NO_STATUS_RECEIVED; status != CM_SEND_RECEIVED;) {
            CM_INT32 room = 32767, got = 0;
            CM_DATA_RECEIVED_TYPE data;
            CM_REQUEST_TO_SEND_RECEIVED rts;
            cmrcv(id, in.data(), &room, &data, &got, &status, &rts, &rc);
            if ((rc = finished(rc)) != CM_OK)
                return std::printf("receive of record %ld: %d\n", record, rc), 2;
            if (data == CM_NO_DATA_RECEIVED) continue;
            bool same = data == CM_COMPLETE_DATA_RECEIVED && got == stream_size(record);
            for (long j = 0; same && j < got; ++j) same = in[j] == stream_byte(record, j);
            if (!same) std::printf("record %ld came wrong (%d bytes, data %d)\n", record, got, data);
            wrong += !same;
            ++record;
        }
        unsigned char answer = wrong ? 'x' : 'k';
        if (send_as(id, &answer, 1, CM_SEND_AND_PREP_TO_RECEIVE) != CM_OK) return 2;
    }
    std::printf("sink: %ld records, %ld wrong\n", record, wrong);
    return wrong ? 1 : 0;
}

int stream_source() {
    unsigned char blank[CM_SDN_SIZE], id[CM_CID_SIZE];
    std::memset(blank, ' ', sizeof blank);
    CM_RETURN_CODE rc;
    cminit(id, blank, &rc);
    CM_INT32 n = 4;
    if (rc == CM_OK) cmstpn(id, reinterpret_cast<unsigned char *>(const_cast<char *>("SINK")), &n, &rc);
    n = 6;
    if (rc == CM_OK) cmspln(id, reinterpret_cast<unsigned char *>(const_cast<char *>("NODELU")), &n, &rc);
    if (rc == CM_OK) cmallc(id, &rc);
    if (rc != CM_OK) return std::printf("allocate: %d\n", rc), 2;
    std::vector<unsigned char> out(32767);
    long record = 0;
    for (long turn = 0; turn < kStreamTurns; ++turn) {
        for (long i = 0; i < kStreamPerTurn; ++i, ++record) {
            const long size = stream_size(record);
            for (long j = 0; j < size; ++j) out[j] = stream_byte(record, j);
            const CM_SEND_TYPE type = i + 1 == kStreamPerTurn ? CM_SEND_AND_PREP_TO_RECEIVE
                                      : record % 7 == 3       ? CM_SEND_AND_FLUSH
                                                              : CM_BUFFER_DATA;
            if ((rc = send_as(id, out.data(), static_cast<CM_INT32>(size), type)) != CM_OK)
                return std::printf("send of record %ld: %d\n", record, rc), 2;
        }
        CM_INT32 room = 1, got = 0;
        CM_DATA_RECEIVED_TYPE data;
        CM_STATUS_RECEIVED status;
        CM_REQUEST_TO_SEND_RECEIVED rts;
        cmrcv(id, out.data(), &room, &data, &got, &status, &rts, &rc);
        if (rc != CM_OK || got != 1 || out[0] != 'k' || status != CM_SEND_RECEIVED)
            return std::printf("turn %ld answered rc %d, %d bytes\n", turn, rc, got), 1;
    }
    cmdeal(id, &rc);
    std::printf("source: %ld records sent\n", record);
    return rc == CM_OK ? 0 : 2;
}

TEST_F(Node, StreamArrivesWhole) {
    for (const CM_PROCESSING_MODE mode : {CM_BLOCKING, CM_NON_BLOCKING}) {
        SCOPED_TRACE(mode == CM_BLOCKING ? "blocking receiver" : "non-blocking receiver");
        auto sink = spawn([mode] { return stream_sink(mode); });
        auto source = spawn(stream_source);
        EXPECT_EQ(source->finish(120000), 0) << source->text;
        EXPECT_EQ(sink->finish(30000), 0) << sink->text;
        const std::string all =
            "sink: " + std::to_string(kStreamTurns * kStreamPerTurn) + " records, 0 wrong";
        EXPECT_NE(sink->text.find(all), std::string::npos) << sink->text;
    }
}

} // namespace
