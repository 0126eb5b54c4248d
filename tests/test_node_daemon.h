/* SPDX-License-Identifier: Apache-2.0 */
// Which process is the node daemon answering on a socket: the tests and
// the benchmark kill it or read its memory. Asked in the daemon's own
// protocol, because the daemon detaches after it starts listening and the
// socket's peer credentials name the process that is gone.
#ifndef TESTS_TEST_NODE_DAEMON_H
#define TESTS_TEST_NODE_DAEMON_H

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

// Whether `done` comes true within `ms`, asked every 10 ms.
template <class F>
bool eventually(F done, int ms) {
    for (int waited = 0; !done(); waited += 10) {
        if (waited >= ms) return false;
        usleep(10000);
    }
    return true;
}

// The whole of a file; "" when there is none.
inline std::string read_file(const std::string &path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

// A stream socket connected to `path`; -1 when nobody listens there.
inline int connect_unix(const std::string &path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return s;
    close(s);
    return -1;
}

// The daemon answering on `socket`, as its answer to a hello names it
// (header: u32 body length, u16 type, u16 zero; hello and its reply: u32
// protocol version, u32 process id; all big-endian).
inline pid_t daemon_pid(const std::string &socket_path) {
    const int s = connect_unix(socket_path);
    unsigned char hello[16] = {0, 0, 0, 8, 0, 1, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < 4; ++i) hello[12 + i] = static_cast<unsigned char>(getpid() >> (24 - 8 * i));
    unsigned char reply[16] = {};
    size_t got = 0;
    timeval patience{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    if (s >= 0 && write(s, hello, 16) == 16)
        for (ssize_t n; got < 16 && (n = read(s, reply + got, 16 - got)) > 0;) got += static_cast<size_t>(n);
    if (s >= 0) close(s);
    if (got < 16 || reply[5] != 2) return -1;
    return static_cast<pid_t>(reply[12] << 24 | reply[13] << 16 | reply[14] << 8 | reply[15]);
}

#endif // TESTS_TEST_NODE_DAEMON_H
