/* SPDX-License-Identifier: Apache-2.0 */
// The LU 6.2 core: TP instances, local TP names, routing of attaches and
// conversations as pairs of half-session state machines that talk only in
// encoded messages. It does no I/O, takes no lock and reads no clock: verbs
// and partner messages come in with the time, completions, messages and log
// records go out through one callbacks struct. A loopback driver feeds the
// messages straight back; a daemon or a link to another node feeds them over
// a socket, with the same core.
//
// Calls made from inside a callback (a completion that issues its next
// verb) are queued and run when the outermost call returns, never nested.
#ifndef ZORVEL_LU62_CORE_H
#define ZORVEL_LU62_CORE_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zorvel/lu62_codes.h"
#include "zorvel/lu62_messages.h"
#include "zorvel/node_config.h"
#include "zorvel/verb_codec.h"

namespace zv::lu62 {

using codec::TpId;
using Token = uint64_t;

// Log data that arrived with an error, for the node's error log. The
// program never sees it.
struct LogRecord {
    uint32_t conv_id = 0; // the receiving end's conversation
    uint32_t sense = 0;
    Bytes log_data; // the GDS variable as the partner sent it
};

enum class Failure : uint8_t { kSent, kReceived, kLost };

struct Callbacks {
    // One encoded message for a partner half-session, handed over.
    std::function<void(Bytes frame)> send;
    // A verb finished. `tp_ended`: its TP instance was ended under it.
    std::function<void(Token token, const codec::Result &result, bool tp_ended)> completed;
    std::function<void(const LogRecord &record)> log;
    // A conversation ended with an error at this end, named by its session
    // as session_lost names it: `sense` sent (an abend, a rejection),
    // received from the partner, or 0 with `how` kLost when its session went.
    std::function<void(uint32_t session, bool primary_end, uint32_t sense, Failure how)> failed = nullptr;
    // Optional: a data message as its head and its data, which stays where
    // the half-session holds it (read only during the call); `send` gets
    // it whole when this is not set.
    std::function<void(const Bytes &head, const uint8_t *data, size_t n)> send_split = nullptr;
};

// The checks an attach meets when it arrives at the LU it names, before it
// waits for an acceptor: the LU is local, the TP name is defined or
// registered, the definition takes the conversation type and sync level,
// and program security holds. `sense` 0: accepted.
struct AttachCheck {
    uint32_t sense = 0;
    const LocalLu *lu = nullptr;       // into the config
    const TpDefinition *def = nullptr; // into the config; null: registered only
    std::string user_id;               // the attach's user, once verified
};
AttachCheck check_attach(const NodeConfig &config, const Attach &attach, bool tp_name_registered);

class Core {
  public:
    Core(NodeConfig config, Callbacks callbacks);
    ~Core();
    Core(const Core &) = delete;
    Core &operator=(const Core &) = delete;

    // A verb from a program; `completed` runs once for it, maybe before
    // this returns.
    void submit(Token token, const codec::Verb &verb, uint64_t now_ms);
    // A message from a partner half-session (bytes as `send` gave them).
    void receive(const Bytes &frame, uint64_t now_ms);
    // The same from where the driver holds it (read only during the call).
    void receive(const uint8_t *frame, size_t n, uint64_t now_ms);
    // An attach the node daemon routed here after it made the checks above:
    // it waits at `lu` for this process's receive-allocate.
    void receive_routed(const Bytes &frame, const LocalLu &lu, uint64_t now_ms);
    // The session under a conversation is gone; `primary_end`: the session
    // number is this end's own conversation (it allocated).
    void session_lost(uint32_t session, bool primary_end);
    // A new configuration for what arrives from now on; TP instances and
    // queued attaches keep the LU they started at.
    void set_config(NodeConfig config);
    // Lets queued attaches time out.
    void tick(uint64_t now_ms);
    // When tick next has work; nullopt when nothing waits for time.
    std::optional<uint64_t> next_deadline() const;

    // For drivers and tests.
    std::optional<codec::StateCode> state_of(uint32_t conv_id) const;
    // The state of the conversation a session carries at this end (named
    // as in session_lost); nullopt once it is over here.
    std::optional<codec::StateCode> session_state(uint32_t session, bool primary_end) const;
    size_t conversations() const;
    size_t tp_instances() const;
    size_t queued_attaches() const;
    size_t waiting_accepts() const;
    size_t waiting_verbs() const;
    uint32_t malformed_messages() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace zv::lu62

#endif // ZORVEL_LU62_CORE_H
