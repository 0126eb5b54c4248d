// SPDX-License-Identifier: Apache-2.0
// zorvel, the operator's tool for the node daemon.
//
//   zorvel status [--json]     what the daemon serves (exit 3: no daemon)
//   zorvel stop                stops the daemon (exit 3: no daemon)
//   zorvel check-config FILE   every mistake as FILE:LINE: reason (exit 1),
//                              else one line of what the file defines
//   zorvel log [--tp NAME] [--conversation ID] [--file FILE]...
//                              the node's log: the daemon's zorveld.log,
//                              then $ZORVEL_LOG_FILE when set and each
//                              FILE (programs' problem and audit records),
//                              the lines naming the TP as a word and/or
//                              the conversation (exit 1: no daemon log)
//
// --socket PATH before the command talks to a daemon other than the one
// at proto::socket_path().
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <cstdio>
#include <cstring>
#include <string>

#include "zorvel/node_config.h"
#include "zorvel/node_protocol.h"

namespace {

using namespace zv;

constexpr int kNoDaemon = 3;

int connect_to(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// The next message within `timeout_ms`; nullopt at end of stream, on a
// malformed stream or when time is up.
std::optional<proto::Message> next_message(int fd, proto::Reader &reader, int timeout_ms) {
    for (;;) {
        if (auto m = reader.take()) return m;
        if (reader.bad()) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
        uint8_t buffer[16384];
        std::vector<int> fds;
        const long n = proto::receive_some(fd, buffer, sizeof buffer, fds);
        for (int f : fds) close(f);
        if (n <= 0) return std::nullopt;
        reader.feed(buffer, static_cast<size_t>(n));
    }
}

int status(const std::string &socket, bool json) {
    const int fd = connect_to(socket);
    if (fd < 0 || !proto::send_all(fd, proto::encode(proto::Status{static_cast<uint8_t>(json)}))) {
        std::printf("no daemon answers on %s\n", socket.c_str());
        return kNoDaemon;
    }
    proto::Reader reader;
    for (;;) {
        auto m = next_message(fd, reader, 5000);
        if (!m) break;
        if (auto *r = std::get_if<proto::StatusReply>(&*m)) {
            std::fputs(r->text.c_str(), stdout);
            close(fd);
            return 0;
        }
    }
    close(fd);
    std::printf("no daemon answers on %s\n", socket.c_str());
    return kNoDaemon;
}

int stop(const std::string &socket) {
    const int fd = connect_to(socket);
    if (fd < 0 || !proto::send_all(fd, proto::encode(proto::Stop{}))) {
        std::printf("no daemon answers on %s\n", socket.c_str());
        return kNoDaemon;
    }
    // The daemon closes every connection when it goes.
    proto::Reader reader;
    while (next_message(fd, reader, 5000)) {}
    close(fd);
    std::printf("zorveld on %s stopped\n", socket.c_str());
    return 0;
}

int check_config(const std::string &file) {
    if (access(file.c_str(), F_OK) != 0) {
        std::printf("%s:0: cannot be read: %s\n", file.c_str(), std::strerror(errno));
        return 1;
    }
    const ParsedConfig parsed = read_node_config(file);
    for (const ConfigFailure &f : parsed.errors)
        std::printf("%s:%u: %s\n", file.c_str(), f.line, f.reason.c_str());
    if (!parsed.errors.empty()) return 1;
    std::printf("%s: %zu local LU(s), %zu TP definition(s), %zu user(s), %zu side information entr%s\n",
                file.c_str(), parsed.config.local_lus.size(), parsed.config.tps.size(),
                parsed.config.users.size(), parsed.side_info.size(),
                parsed.side_info.size() == 1 ? "y" : "ies");
    return 0;
}

// Where the daemon on `socket` writes its log: $ZORVEL_LOG_DIR, else the
// socket's folder.
std::string daemon_log(const std::string &socket) {
    if (const char *d = std::getenv("ZORVEL_LOG_DIR"); d && *d) return std::string(d) + "/zorveld.log";
    const size_t slash = socket.rfind('/');
    return (slash == std::string::npos ? std::string(".") : socket.substr(0, slash)) + "/zorveld.log";
}

bool name_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_$#@.%-", c) != nullptr;
}

// `word` stands in `line` on its own: nothing a name is made of on either
// side; with `digits_after`, no digit follows it.
bool has_word(const std::string &line, const std::string &word, bool digits_after) {
    for (size_t at = line.find(word); at != std::string::npos; at = line.find(word, at + 1)) {
        const size_t end = at + word.size();
        const bool open_left = digits_after || at == 0 || !name_char(line[at - 1]);
        const bool open_right =
            end == line.size() ||
            (digits_after ? !std::isdigit(static_cast<unsigned char>(line[end])) : !name_char(line[end]));
        if (open_left && open_right) return true;
    }
    return false;
}

struct LogFilter {
    std::string tp, conversation;
    bool keeps(const std::string &line) const {
        return (tp.empty() || has_word(line, tp, false)) &&
               (conversation.empty() || has_word(line, "conversation " + conversation, true));
    }
};

int show_log(const std::string &socket, const LogFilter &filter, std::vector<std::string> files) {
    files.insert(files.begin(), daemon_log(socket));
    if (const char *f = std::getenv("ZORVEL_LOG_FILE"); f && *f) files.insert(files.begin() + 1, f);
    int status = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        std::ifstream in(files[i]);
        if (!in) {
            std::fprintf(stderr, "zorvel: no log at %s\n", files[i].c_str());
            if (i == 0) status = 1;
            continue;
        }
        if (files.size() > 1) std::printf("==> %s <==\n", files[i].c_str());
        for (std::string line; std::getline(in, line);)
            if (filter.keeps(line)) std::printf("%s\n", line.c_str());
    }
    return status;
}

int usage(FILE *to = stderr) {
    std::fprintf(to, "usage: zorvel [--socket PATH] status [--json] | stop | check-config FILE\n"
                     "       zorvel [--socket PATH] log [--tp NAME] [--conversation ID] [--file FILE]...\n"
                     "  log shows the daemon's zorveld.log ($ZORVEL_LOG_DIR, else the socket's folder),\n"
                     "  then $ZORVEL_LOG_FILE when set and each FILE (programs' problem and audit records);\n"
                     "  --tp keeps the lines naming the TP, --conversation those of the daemon's\n"
                     "  conversation ID (as status and the log lines number it); both: lines with both\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        usage(stdout);
        return 0;
    }
    std::string socket = proto::socket_path();
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--socket") {
        socket = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return usage();
    const std::string command = argv[i++];
    if (command == "status" && i == argc) return status(socket, false);
    if (command == "status" && i + 1 == argc && std::string(argv[i]) == "--json") return status(socket, true);
    if (command == "stop" && i == argc) return stop(socket);
    if (command == "check-config" && i + 1 == argc) return check_config(argv[i]);
    if (command == "log") {
        LogFilter filter;
        std::vector<std::string> files;
        for (; i + 1 < argc; i += 2) {
            const std::string option = argv[i];
            if (option == "--tp")
                filter.tp = argv[i + 1];
            else if (option == "--conversation")
                filter.conversation = argv[i + 1];
            else if (option == "--file")
                files.push_back(argv[i + 1]);
            else
                return usage();
        }
        if (i != argc) return usage();
        return show_log(socket, filter, files);
    }
    return usage();
}
