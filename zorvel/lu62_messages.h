/* SPDX-License-Identifier: Apache-2.0 */
// LU 6.2 messages between two half-sessions, and their one encoder and
// decoder.
//
// A message is one request or response unit with its request header, in a
// frame that names the session it belongs to:
//
//   frame    u16 length of what follows | u32 session | u8 direction
//   RH       3 bytes, SNA layout (below)
//   RU       FM header (FMH-5 attach or FMH-7 error) if RH.fmh, then data;
//            SIGNAL: code X'C9' and a 4-byte signal; -RSP: 4-byte sense
//
// One header describes every byte: the frame length covers RH and RU, the
// RH says what the RU holds, an FM header carries its own length.
//
// Sessions are numbered by the half-session that allocated the
// conversation (the primary); a message going back to it says so in the
// direction byte, so two nodes never need to agree on numbers.
#ifndef ZORVEL_LU62_MESSAGES_H
#define ZORVEL_LU62_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zv::lu62 {

using Bytes = std::vector<uint8_t>;

// Request header. Byte 0: response, category (FMD or DFC), FM header
// follows, sense data included, begin chain, end chain. Byte 1: definite
// response requested, exception response. Byte 2: begin bracket, end
// bracket, change direction, conditional end bracket.
struct Rh {
    bool response = false;
    bool dfc = false;   // data flow control (SIGNAL); else function management data
    bool fmh = false;   // FM header follows
    bool sense = false; // sense data included (negative response)
    bool begin_chain = false;
    bool end_chain = false;
    bool definite_response = false;
    bool exception_response = false;
    bool begin_bracket = false;
    bool end_bracket = false;
    bool change_direction = false;
    bool conditional_end_bracket = false;
};

// FMH-5: the attach that starts a conversation at the partner, with the
// session's facts (which LUs, which mode) that a session activation would
// otherwise have settled.
struct Attach {
    uint8_t conv_type = 0;  // 0 basic, 1 mapped
    uint8_t sync_level = 0; // 0 none, 1 confirm
    uint8_t security = 0;   // 0 none, 1 already verified, 2 user and password
    std::string tp_name;
    std::string user_id;
    std::string password;
    std::string mode_name;
    std::string origin_lu;      // NETID.LUNAME of the allocating LU
    std::string destination_lu; // alias or NETID.LUNAME as the allocator named it
};

// FMH-7: an error with its sense code; log data (a GDS variable X'12E1')
// follows in the same unit when the sender had some.
struct ErrorFmh {
    uint32_t sense = 0;
};

bool operator==(const Rh &a, const Rh &b);
bool operator==(const Attach &a, const Attach &b);
bool operator==(const ErrorFmh &a, const ErrorFmh &b);

constexpr uint32_t kSignalRequestToSend = 0x00010000;

struct Message {
    uint32_t session = 0;
    bool to_primary = false;
    Rh rh;
    std::optional<Attach> attach;
    std::optional<ErrorFmh> error;
    uint32_t sense = 0;  // negative response
    uint32_t signal = 0; // SIGNAL
    Bytes data;          // FMD bytes after the FM header (log data after FMH-7)
};

bool operator==(const Message &a, const Message &b);

// Largest RU a flush puts in one message; longer data goes as a chain. The
// sessions run on local sockets, so an RU takes a whole 32767-byte record
// with its headers (fewer messages, fewer copies); the frame's 16-bit
// length bounds it.
constexpr size_t kMaxRu = 32768 + 64;

Bytes encode(const Message &m);
// The FMH-7 that refuses an attach: it ends the session's bracket towards
// the allocating (primary) half-session.
Bytes rejection_frame(uint32_t session, uint32_t sense);
// Bytes of one frame (as encode made it); nullopt for anything malformed.
std::optional<Message> decode(const uint8_t *bytes, size_t n);

// As decode, but the data stays in the frame: m.data is left empty and
// `data` points at its `data_n` bytes, for a receiver that puts them where
// they belong itself.
std::optional<Message> decode_head(const uint8_t *bytes, size_t n, const uint8_t *&data, size_t &data_n);

// The same frame as encode(m) would make were m.data these n bytes (m.data
// is not looked at): data goes out from where the sender holds it.
Bytes encode(const Message &m, const uint8_t *data, size_t n);
// That frame's bytes up to its data: what encode(m, data, n) puts before
// the n bytes, which complete the frame.
Bytes encode_head(const Message &m, size_t n);

// Mapped conversations carry each record as a GDS variable X'12FF', split
// into segments of at most 32767 bytes whose length field has its high bit
// set while more segments follow.
constexpr uint16_t kGdsApplicationData = 0x12FF;
void append_gds_record(Bytes &out, const uint8_t *data, size_t n);

// Reassembles GDS records from a byte stream that may split them anywhere.
class GdsReader {
  public:
    // Takes the bytes; returns false when they are not a GDS stream. A
    // record starts in a buffer from `spares` when there is one, so the
    // room of records already received is used again.
    bool feed(const uint8_t *p, size_t n, std::vector<Bytes> &records, std::vector<Bytes> *spares = nullptr);

  private:
    uint8_t head_[4] = {}; // the segment header being read
    uint8_t head_have_ = 0;
    bool in_body_ = false;
    size_t left_ = 0;   // body bytes of the segment still to come
    bool more_ = false; // the segment continues its record
    bool first_segment_ = true;
    bool bad_ = false;
    Bytes record_;
};

// Walks the logical records of a basic conversation: each starts with a
// two-byte big-endian length that counts itself; a length with its high bit
// set is followed by another segment of the same record; lengths 0 and 1
// (with or without the high bit) are invalid.
struct LlScanner {
    uint8_t have = 0;  // bytes of the current length field seen (0..1)
    uint8_t high = 0;  // its first byte
    uint16_t left = 0; // body bytes left in the current segment
    bool more = false; // the current segment continues the record

    bool at_boundary() const { return have == 0 && left == 0 && !more; }
    // Advances over up to n bytes; stops right after a record ends when
    // `stop_at_end`. Returns the bytes taken, sets `ended` when a record
    // ended there and `bad` on an invalid length (taking nothing more).
    size_t advance(const uint8_t *p, size_t n, bool stop_at_end, bool &ended, bool &bad);
};

} // namespace zv::lu62

#endif // ZORVEL_LU62_MESSAGES_H
