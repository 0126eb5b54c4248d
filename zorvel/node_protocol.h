/* SPDX-License-Identifier: Apache-2.0 */
// The messages between a program's node library and the node daemon, over
// the daemon's Unix stream socket. Every field has a fixed size and network
// byte order, so 32-bit and 64-bit programs talk to one daemon.
//
//   header   u32 body length | u16 type | u16 zero
//   body     fields of the type, in the order the structs below list them:
//            integers big-endian, strings as u16 length + bytes, frames
//            (LU 6.2 messages as lu62::encode makes them) as u32 length +
//            bytes, lists as u16 count + items
//
// Conversation data never passes through the daemon: an allocating program
// makes a socketpair for the session, keeps one end and hands the other
// to the daemon with the attach (SCM_RIGHTS). The daemon checks the attach
// against the node's definitions and either writes the rejection into that
// end and closes it, or hands the end and the attach to the program whose
// receive-allocate takes it. From then on the two programs talk on the
// socketpair in lu62 frames, each end rewriting the session number of what
// it reads to its own.
#ifndef ZORVEL_NODE_PROTOCOL_H
#define ZORVEL_NODE_PROTOCOL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zv::proto {

using Bytes = std::vector<uint8_t>;
using TpId = std::array<uint8_t, 8>;

constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 8;
// Nothing the protocol carries comes near it; a bigger length is a peer to
// drop.
constexpr uint32_t kMaxBody = 64 * 1024;

enum class Type : uint16_t {
    kHello = 1,        // program -> daemon, first message
    kHelloReply = 2,   // daemon -> program
    kTpStarted = 3,    // program -> daemon
    kTpEnded = 4,      // program -> daemon
    kRegister = 5,     // program -> daemon: a TP name this program accepts
    kWithdraw = 6,     // program -> daemon
    kAcceptWait = 7,   // program -> daemon: a receive-allocate waits
    kAcceptCancel = 8, // program -> daemon: it no longer does
    kAttach = 9,       // program -> daemon, with the session's other end
    kDeliver = 10,     // daemon -> program, with the session's end
    kQuery = 11,       // daemon -> program: report your conversations
    kQueryReply = 12,  // program -> daemon
    kStatus = 13,      // operator -> daemon
    kStatusReply = 14, // daemon -> operator
    kStop = 15,        // operator -> daemon
    kConvEnded = 16,   // program -> daemon: a session it held is closed
    kConvFailed = 17,  // program -> daemon: a conversation ended with an error at its end
};

struct Hello {
    uint32_t version = kVersion;
    uint32_t pid = 0;
};
struct HelloReply {
    uint32_t version = kVersion;
    uint32_t pid = 0;
};
struct TpStarted {
    TpId tp_id{};
    std::string lu_alias;
    std::string tp_name;
};
struct TpEnded {
    TpId tp_id{};
};
struct Register {
    std::string tp_name;
};
struct Withdraw {
    std::string tp_name;
};
struct AcceptWait {
    uint64_t wait_id = 0; // the program's, unique within it
    TpId tp_id{};
    std::vector<std::string> tp_names;
};
struct AcceptCancel {
    uint64_t wait_id = 0;
};
struct Attach {
    uint32_t conv_id = 0; // the allocator's conversation
    TpId tp_id{};
    Bytes frame; // the first frame of the session: the FMH-5 and what follows it in its unit
};
struct Deliver {
    uint64_t wait_id = 0;
    uint32_t session = 0; // daemon-wide; the receiver uses it as its session number
    std::string lu_alias; // the local LU the attach arrived at
    std::string lu_name;
    Bytes frame; // as the allocator sent it, security already verified
};
struct Query {
    uint32_t query_id = 0;
};
// A session as one of its ends names it: the allocator by its own
// conversation id (primary), the acceptor by the daemon's session number.
struct ConvInfo {
    uint32_t session = 0;
    uint8_t primary = 0;
    uint8_t state = 0; // as get-state reports it
    uint64_t bytes_sent = 0;
    uint64_t bytes_received = 0;
};
struct QueryReply {
    uint32_t query_id = 0;
    std::vector<ConvInfo> conversations;
};
struct Status {
    uint8_t json = 0;
};
struct StatusReply {
    std::string text;
};
struct Stop {};
struct ConvEnded {
    uint32_t session = 0; // named as in ConvInfo
    uint8_t primary = 0;
};

// Sent before the session's kConvEnded. The daemon logs the first report
// of a conversation and drops the partner's.
struct ConvFailed {
    uint32_t session = 0; // named as in ConvInfo
    uint8_t primary = 0;
    uint32_t sense = 0; // 0: the session was lost
    uint8_t how = 0;    // lu62::Failure: sent, received, session lost
};

// In the order of Type: a message's type is its index plus one.
using Message =
    std::variant<Hello, HelloReply, TpStarted, TpEnded, Register, Withdraw, AcceptWait, AcceptCancel, Attach,
                 Deliver, Query, QueryReply, Status, StatusReply, Stop, ConvEnded, ConvFailed>;

inline Type type_of(const Message &m) {
    return static_cast<Type>(m.index() + 1);
}

Bytes encode(const Message &m);

// Splits a byte stream into messages. Feed what was read; take() hands out
// whole messages in order. A header with an unknown type, a nonzero
// reserved field, a body over kMaxBody or a body that does not match its
// type makes the stream bad for good: drop the peer.
class Reader {
  public:
    void feed(const uint8_t *p, size_t n);
    std::optional<Message> take();
    bool bad() const { return bad_; }

  private:
    Bytes buffer_;
    size_t at_ = 0;
    bool bad_ = false;
};

// One message decoded from a whole body; nullopt when malformed.
std::optional<Message> decode(Type type, const uint8_t *body, size_t n);

// Socket helpers. Both retry on EINTR; sends use MSG_NOSIGNAL.
// One sendmsg of `n` bytes, passing `fd_to_pass` with them when it is not
// -1 (the kernel passes a descriptor with the first byte it takes).
long send_some(int socket, const uint8_t *data, size_t n, int fd_to_pass, int flags);
// Sends all of `bytes`, with `fd_to_pass` (>= 0) attached to the first
// byte. The socket may be non-blocking: then a full socket buffer waits in
// poll. Returns false when the peer is gone.
bool send_all(int socket, const Bytes &bytes, int fd_to_pass = -1);
// Reads what is there (at most `room`), collecting passed descriptors in
// `fds` (close-on-exec). Returns bytes read, 0 at end of stream, -1 with
// errno (EAGAIN when nothing is there on a non-blocking socket).
long receive_some(int socket, uint8_t *buffer, size_t room, std::vector<int> &fds);

// Where the daemon listens: $ZORVEL_NODE_SOCKET, else
// $XDG_RUNTIME_DIR/zorvel/node.sock, else /tmp/zorvel-<uid>/node.sock.
std::string socket_path();

} // namespace zv::proto

#endif // ZORVEL_NODE_PROTOCOL_H
