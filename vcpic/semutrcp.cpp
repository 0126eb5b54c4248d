// SPDX-License-Identifier: Apache-2.0
// The API trace. What a record holds is data, not code: a table of line
// forms (the exact text of each kind of line and where "from the CCCB"
// reads its value) and, per verb, the request and response lines as short
// lists of {form, source}. One interpreter walks those lists; the tables are
// checked at compile time, so a line that names a source its form cannot
// use does not build.
#include "vcpic/semutrcp.h"

#include <stddef.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_names.h"
#include "vcpic/cpic_util.h"

const CCCB BlankCccb = {};

namespace {

using cpic_names::ValueNames;

constexpr char kPrefix[] = "CPIC ";
constexpr char kBufferEmpty[] = " Buffer empty";
constexpr char kUnreadable[] = "(null)";
// Fills a name field past the length the program gave.
constexpr unsigned char kNameFill = ' ';
constexpr size_t kLongestName = 64;
constexpr size_t kLineMax = 192;

// ---- Line forms ----------------------------------------------------------

enum class Shape : uint8_t {
    kId,            // first 4 bytes of an 8-byte conversation ID in hex
    kHeading,       // fixed text
    kValue,         // a 32-bit characteristic printed by name
    kNumber,        // a 32-bit value, %lu
    kPointer,       // an address, %p
    kWindow,        // the word itself, %u
    kName,          // label line, then a dump of a fixed number of bytes
    kSym,           // 8 bytes shown as a string
    kBuffer,        // address line and dump, or " Buffer empty"
    kSideInfoEntry, // the lines of a 124-byte X/Open side-information entry
};

// How a form reads its field when the line's source is the CCCB.
enum class Fetch : uint8_t { kNone, kU16, kU32, kPointer, kBytes };

enum Form : uint8_t {
    kId,
    kCc,
    // value lines
    kConversationType,
    kDeallocateType,
    kErrorDirection,
    kSyncLevel,
    kFill,
    kPrepToReceiveType,
    kReceiveType,
    kSendType,
    kSecurityType,
    kReturnControl,
    kProcessingMode,
    kConversationState,
    kDataReceived,
    kStatusReceived,
    kRtsReceived,
    kEndType,
    kTpNameType,
    kAsyncResult,
    // number lines
    kLogDataPointer,
    kLogDataLength,
    kRequestedLength,
    kReceivedLength,
    kSendLength,
    kModeNameLength,
    kPartnerLuNameLength,
    kTpNameLength,
    kUserIdLength,
    kLocalLuNameLength,
    kContextIdLength,
    kEntryLength,
    kMaxBufferSize,
    kWindowHandle,
    // dumped names
    kPartnerLuName,
    kModeName,
    kPartnerTpName,
    kLocalTpName,
    kLocalLuName,
    kUserId,
    kContextId,
    // the rest
    kSym,
    kBuffer,
    kSideInfoEntry,
    kFormCount
};

struct FormInfo {
    Shape shape = Shape::kHeading;
    const char *format = nullptr;      // the exact line; a name's label line
    const ValueNames *names = nullptr; // value lines
    Fetch fetch = Fetch::kNone;        // how the CCCB source reads it
    uint16_t offset = 0;               // of that field in the CCCB
    uint8_t bytes = 0;                 // dumped by a name line
};

constexpr uint16_t InSideInfo(size_t offset) {
    return static_cast<uint16_t>(offsetof(CCCB, SideInfo) + offset);
}

constexpr FormInfo Value(const char *format, const ValueNames &names, Fetch fetch = Fetch::kNone,
                         size_t offset = 0) {
    return {Shape::kValue, format, &names, fetch, static_cast<uint16_t>(offset), 0};
}

constexpr FormInfo Number(const char *format, Fetch fetch = Fetch::kNone, size_t offset = 0) {
    return {Shape::kNumber, format, nullptr, fetch, static_cast<uint16_t>(offset), 0};
}

constexpr FormInfo Name(const char *label, uint8_t bytes, Fetch fetch = Fetch::kNone, size_t offset = 0) {
    return {Shape::kName, label, nullptr, fetch, static_cast<uint16_t>(offset), bytes};
}

constexpr std::array<FormInfo, kFormCount> kForms = [] {
    namespace n = cpic_names;
    std::array<FormInfo, kFormCount> f{};
    f[kId] = {Shape::kId, " Conversation ID = %02X%02X%02X%02X"};
    f[kCc] = {Shape::kHeading, "Conversation characteristics"};

    f[kConversationType] = Value(" Conversation type = %s", n::kConversationType, Fetch::kU32,
                                 offsetof(CCCB, ulConversationType));
    f[kDeallocateType] =
        Value(" Deallocate type = %s", n::kDeallocateType, Fetch::kU32, offsetof(CCCB, ulDeallocateType));
    f[kErrorDirection] =
        Value(" Error direction = %s", n::kErrorDirection, Fetch::kU32, offsetof(CCCB, ulErrorDirection));
    f[kSyncLevel] = Value(" Sync level = %s", n::kSyncLevel, Fetch::kU32, offsetof(CCCB, ulSyncLevel));
    f[kFill] = Value(" Fill type = %s", n::kFill, Fetch::kU32, offsetof(CCCB, ulFill));
    f[kPrepToReceiveType] = Value(" Prepare to receive type = %s", n::kPrepToReceiveType, Fetch::kU32,
                                  offsetof(CCCB, ulPrepToReceiveType));
    f[kReceiveType] =
        Value(" Receive type = %s", n::kReceiveType, Fetch::kU32, offsetof(CCCB, ulReceiveType));
    f[kSendType] = Value(" Send type = %s", n::kSendType, Fetch::kU32, offsetof(CCCB, ulSendType));
    f[kSecurityType] = Value(" Conversation security type = %s", n::kSecurityType, Fetch::kU32,
                             InSideInfo(offsetof(SideInfoEntry, ulSecurityType)));
    f[kReturnControl] =
        Value(" Return control = %s", n::kReturnControl, Fetch::kU32, offsetof(CCCB, ulReturnControl));
    f[kProcessingMode] =
        Value(" Processing mode = %s", n::kProcessingMode, Fetch::kU16, offsetof(CCCB, usProcessingMode));
    f[kConversationState] = Value(" Conversation state = %s", n::kConversationState);
    f[kDataReceived] = Value(" Data received type = %s", n::kDataReceived);
    f[kStatusReceived] = Value(" Status received = %s", n::kStatusReceived);
    f[kRtsReceived] = Value(" Request to send received = %s", n::kRtsReceived);
    f[kEndType] = Value(" End type = %s", n::kEndType);
    f[kTpNameType] = Value(" TP name type = %s", n::kTpNameType);
    f[kAsyncResult] = Value(" Async result = %s", n::kAsyncResult);

    f[kLogDataPointer] = {Shape::kPointer, " Log data pointer = %p", nullptr, Fetch::kPointer,
                          offsetof(CCCB, LogData)};
    f[kLogDataLength] = Number(" Log data length = %lu", Fetch::kU16, offsetof(CCCB, usLogDataLen));
    f[kRequestedLength] = Number(" Requested length = %lu");
    f[kReceivedLength] = Number(" Received length = %lu");
    f[kSendLength] = Number(" Send length = %lu");
    f[kModeNameLength] = Number(" Mode name length = %lu");
    f[kPartnerLuNameLength] = Number(" Partner LU name length = %lu");
    f[kTpNameLength] = Number(" TP name length = %lu");
    f[kUserIdLength] = Number(" Security user ID length = %lu");
    f[kLocalLuNameLength] = Number(" Local LU name length = %lu");
    f[kContextIdLength] = Number(" Context ID length = %lu");
    f[kEntryLength] = Number(" Entry length = %lu");
    f[kMaxBufferSize] = Number(" Maximum buffer size = %lu");
    f[kWindowHandle] = {Shape::kWindow, " Window Handle = %u"};

    f[kPartnerLuName] =
        Name(" Partner LU name =", 17, Fetch::kBytes, InSideInfo(offsetof(SideInfoEntry, PartnerLUName)));
    f[kModeName] = Name(" Mode name =", 8, Fetch::kBytes, InSideInfo(offsetof(SideInfoEntry, ModeName)));
    f[kPartnerTpName] =
        Name(" Partner TP name =", 64, Fetch::kBytes, InSideInfo(offsetof(SideInfoEntry, TPName)));
    f[kLocalTpName] = Name(" Local TP name =", 64);
    f[kLocalLuName] = Name(" Local LU name =", 8, Fetch::kBytes, offsetof(CCCB, LocLUAlias));
    f[kUserId] =
        Name(" Security user ID =", 8, Fetch::kBytes, InSideInfo(offsetof(SideInfoEntry, SecurityUserID)));
    f[kContextId] = Name(" Context ID =", 8);

    f[kSym] = {Shape::kSym, " Sym dest name = %s", nullptr, Fetch::kBytes,
               InSideInfo(offsetof(SideInfoEntry, SymDestName))};
    f[kBuffer] = {Shape::kBuffer, "---- Buffer at address %p ----"};
    f[kSideInfoEntry] = {Shape::kSideInfoEntry, "X/Open side-information entry"};
    return f;
}();

// (Value lines get their name table from Value(), the only place that sets
// one; the address of an inline table is not a constant under UBSan, so it
// is not compared here.)
constexpr bool FormsComplete() {
    for (const FormInfo &f : kForms) {
        if (f.format == nullptr) return false;
        if ((f.shape == Shape::kName) != (f.bytes != 0)) return false;
    }
    return true;
}
static_assert(FormsComplete(), "every form has its text, names a length");

// The X/Open side-information entry as its lines read it, field by field.
struct EntryField {
    Form form;
    uint8_t offset;
};
constexpr std::array<EntryField, 7> kEntryFields = {{
    {kSym, 0},
    {kPartnerLuName, 8},
    {kTpNameType, 28},
    {kPartnerTpName, 32},
    {kModeName, 96},
    {kSecurityType, 104},
    {kUserId, 108},
}};
static_assert(sizeof(SIDE_INFO) == 124 && offsetof(SIDE_INFO, partner_LU_name) == 8 &&
                  offsetof(SIDE_INFO, TP_name_type) == 28 && offsetof(SIDE_INFO, TP_name) == 32 &&
                  offsetof(SIDE_INFO, mode_name) == 96 &&
                  offsetof(SIDE_INFO, conversation_security_type) == 104 &&
                  offsetof(SIDE_INFO, security_user_ID) == 108,
              "entry lines read the public entry's layout");

// ---- Verb table ------------------------------------------------------------

// Where a line takes its operand: aN is the word itself (an address, or for
// the window handle a number), pN the 32-bit value at the address in aN,
// fromCccb the form's field of the conversation's CCCB.
enum Src : uint8_t { kNoSource, a1, a2, a3, a4, a5, a6, p1, p2, p3, p4, p5, p6, fromCccb };

struct Line {
    Form form = kCc;
    Src from = kNoSource;
    Src length = kNoSource; // buffers, and names the program passes
};

struct LineList {
    static constexpr size_t kMax = 17; // Initialize_Conversation's response
    std::array<Line, kMax> line{};
    uint8_t count = 0;
    bool overflow = false;

    constexpr LineList() = default;
    constexpr LineList(std::initializer_list<Line> lines) {
        for (const Line &l : lines) {
            if (count == kMax) {
                overflow = true;
                break;
            }
            line[count++] = l;
        }
    }

    constexpr LineList then(const LineList &more) const {
        LineList all = *this;
        for (uint8_t i = 0; i < more.count; ++i) {
            if (all.count == kMax) {
                all.overflow = true;
                break;
            }
            all.line[all.count++] = more.line[i];
        }
        all.overflow = all.overflow || more.overflow;
        return all;
    }
};

struct VerbTrace {
    LineList request;
    LineList response;
};

// A set call shows the requested value, then the conversation's own.
constexpr VerbTrace SetValue(Form form) {
    return {{{kId, a1}, {form, p2}, {kCc}, {form, fromCccb}}, {{kCc}, {form, fromCccb}}};
}

constexpr VerbTrace SetName(Form name, Form length) {
    return {{{kId, a1}, {name, a2, p3}, {length, p3}, {kCc}, {name, fromCccb}}, {{kCc}, {name, fromCccb}}};
}

constexpr VerbTrace ExtractName(Form name, Form length) {
    return {{{kId, a1}}, {{name, a2, p3}, {length, p3}}};
}

constexpr VerbTrace ExtractValue(Form form) {
    return {{{kId, a1}}, {{form, p2}}};
}

constexpr std::array<VerbTrace, kVerbCount> kVerbTraces = [] {
    std::array<VerbTrace, kVerbCount> t{};
    const VerbTrace idOnly{{{kId, a1}}, {}};

    // A new conversation's response shows its identifier and its starting
    // characteristics; Accept and Initialize differ only in the names after.
    const LineList started = {{kId, a2},
                              {kCc},
                              {kConversationType, fromCccb},
                              {kDeallocateType, fromCccb},
                              {kErrorDirection, fromCccb},
                              {kSyncLevel, fromCccb},
                              {kFill, fromCccb},
                              {kPrepToReceiveType, fromCccb},
                              {kReceiveType, fromCccb},
                              {kSendType, fromCccb},
                              {kSecurityType, fromCccb},
                              {kLogDataPointer, fromCccb},
                              {kLogDataLength, fromCccb}};

    t[kVerbCMACCP] = {{}, started.then({{kPartnerLuName, fromCccb}, {kModeName, fromCccb}})};
    t[kVerbCMALLC] = {{{kId, a1},
                       {kCc},
                       {kConversationType, fromCccb},
                       {kReturnControl, fromCccb},
                       {kSyncLevel, fromCccb},
                       {kSecurityType, fromCccb},
                       {kPartnerLuName, fromCccb},
                       {kModeName, fromCccb},
                       {kPartnerTpName, fromCccb}},
                      {}};
    t[kVerbCMCFM] = {{{kId, a1}, {kCc}, {kSyncLevel, fromCccb}}, {{kRtsReceived, p2}}};
    t[kVerbCMCFMD] = idOnly;
    t[kVerbCMDEAL] = {{{kId, a1},
                       {kCc},
                       {kDeallocateType, fromCccb},
                       {kLogDataPointer, fromCccb},
                       {kLogDataLength, fromCccb}},
                      {}};
    t[kVerbCMECS] = ExtractValue(kConversationState);
    t[kVerbCMECT] = ExtractValue(kConversationType);
    t[kVerbCMEMN] = ExtractName(kModeName, kModeNameLength);
    t[kVerbCMEPLN] = ExtractName(kPartnerLuName, kPartnerLuNameLength);
    t[kVerbCMESL] = ExtractValue(kSyncLevel);
    t[kVerbCMFLUS] = idOnly;
    t[kVerbCMINIT] = {{{kSym, a1}},
                      started.then({{kSym, fromCccb},
                                    {kPartnerLuName, fromCccb},
                                    {kModeName, fromCccb},
                                    {kPartnerTpName, fromCccb}})};
    t[kVerbCMPTR] = {{{kId, a1}, {kCc}, {kPrepToReceiveType, fromCccb}}, {}};
    t[kVerbCMRCV] = {{{kId, a1},
                      {kRequestedLength, p2},
                      {kCc},
                      {kConversationType, fromCccb},
                      {kFill, fromCccb},
                      {kReceiveType, fromCccb}},
                     {{kBuffer, a2, p4},
                      {kDataReceived, p3},
                      {kReceivedLength, p4},
                      {kStatusReceived, p5},
                      {kRtsReceived, p6}}};
    t[kVerbCMRTS] = idOnly;
    t[kVerbCMSEND] = {{{kId, a1},
                       {kBuffer, a2, p3},
                       {kSendLength, p3},
                       {kCc},
                       {kSendType, fromCccb},
                       {kPrepToReceiveType, fromCccb},
                       {kDeallocateType, fromCccb}},
                      {{kRtsReceived, p2}}};
    t[kVerbCMSERR] = {{{kId, a1},
                       {kCc},
                       {kErrorDirection, fromCccb},
                       {kLogDataPointer, fromCccb},
                       {kLogDataLength, fromCccb}},
                      {{kRtsReceived, p2}}};
    t[kVerbCMSCT] = SetValue(kConversationType);
    t[kVerbCMSDT] = SetValue(kDeallocateType);
    t[kVerbCMSED] = SetValue(kErrorDirection);
    t[kVerbCMSF] = SetValue(kFill);
    t[kVerbCMSLD] = {{{kId, a1},
                      {kBuffer, a2, p3},
                      {kLogDataLength, p3},
                      {kCc},
                      {kLogDataPointer, fromCccb},
                      {kLogDataLength, fromCccb}},
                     {{kCc}, {kLogDataPointer, fromCccb}, {kLogDataLength, fromCccb}}};
    t[kVerbCMSMN] = SetName(kModeName, kModeNameLength);
    t[kVerbCMSPLN] = SetName(kPartnerLuName, kPartnerLuNameLength);
    t[kVerbCMSPTR] = SetValue(kPrepToReceiveType);
    t[kVerbCMSRT] = SetValue(kReceiveType);
    t[kVerbCMSRC] = SetValue(kReturnControl);
    t[kVerbCMSST] = SetValue(kSendType);
    t[kVerbCMSSL] = SetValue(kSyncLevel);
    t[kVerbCMSTPN] = SetName(kPartnerTpName, kTpNameLength);
    t[kVerbCMTRTS] = ExtractValue(kRtsReceived);
    t[kVerbXCMDSI] = {{{kSym, a2}}, {}};
    t[kVerbXCECST] = ExtractValue(kSecurityType);
    t[kVerbXCECSU] = ExtractName(kUserId, kUserIdLength);
    t[kVerbXCMESI] = {{{kSym, a2}, {kEntryLength, p3}}, {{kSideInfoEntry, a2}}};
    t[kVerbXCSCSP] = idOnly;
    t[kVerbXCSCST] = SetValue(kSecurityType);
    t[kVerbXCSCSU] = SetName(kUserId, kUserIdLength);
    t[kVerbXCMSSI] = {{{kSideInfoEntry, a2}, {kEntryLength, p3}}, {}};
    t[kVerbCMTERM] = {{{kEndType, p1}}, {}};
    // The request shows "Conversation characteristics" with no line under it.
    t[kVerbCMSPM] = {{{kId, a1}, {kProcessingMode, p2}, {kCc}}, {{kCc}, {kProcessingMode, fromCccb}}};
    t[kVerbCMINIC] = {{}, {{kId, a2}}};
    t[kVerbCMACCI] = idOnly;
    t[kVerbCMWAIT] = {{}, {{kId, a2}, {kAsyncResult, p3}}};
    t[kVerbCMCANC] = idOnly;
    t[kVerbCMCHCK] = {{}, {{kId, a2}}};
    t[kVerbCMSCST] = SetValue(kSecurityType);
    t[kVerbCMSCSU] = SetName(kUserId, kUserIdLength);
    t[kVerbCMSCSP] = idOnly;
    t[kVerbCMESUI] = ExtractName(kUserId, kUserIdLength);
    t[kVerbCMSLTP] = {{{kLocalTpName, a1, p2}, {kTpNameLength, p2}}, {}};
    t[kVerbCMRLTP] = {{{kLocalTpName, a1, p2}, {kTpNameLength, p2}}, {}};
    t[kVerbCMETPN] = ExtractName(kLocalTpName, kTpNameLength);
    t[kVerbCMCNVI] = {{{kBuffer, a2, p3}}, {{kBuffer, a2, p3}}};
    t[kVerbCMCNVO] = {{{kBuffer, a2, p3}}, {{kBuffer, a2, p3}}};
    t[kVerbCMEMBS] = {{}, {{kMaxBufferSize, p2}}};
    t[kVerbCMECTX] = ExtractName(kContextId, kContextIdLength);
    t[kVerbCMSCTX] = {{{kContextId, a2, p3}, {kContextIdLength, p3}}, {}};
    t[kVerbCMECSU] = ExtractName(kUserId, kUserIdLength);
    t[kVerbCMECST] = ExtractValue(kSecurityType);
    t[kVerbCMELLN] = ExtractName(kLocalLuName, kLocalLuNameLength);
    t[kVerbXCHWND] = {{{kWindowHandle, a1}}, {}};
    // The request names the new local LU; the response shows what the CCCB kept.
    t[kVerbCMSLLN] = {{{kId, a1}, {kLocalLuName, a2, p3}, {kLocalLuNameLength, p3}},
                      {{kCc}, {kLocalLuName, fromCccb}}};
    return t;
}();

constexpr bool IsWord(Src s) {
    return s >= a1 && s <= a6;
}
constexpr bool IsPointee(Src s) {
    return s >= p1 && s <= p6;
}

// A line may only name a source its form can read.
constexpr bool Fits(const Line &l, bool response) {
    const FormInfo &f = kForms[l.form];
    // a1 of a response is the return code, which only the heading reads.
    if (response && (l.from == a1 || l.from == p1 || l.length == p1)) return false;
    if (f.shape == Shape::kBuffer) return IsWord(l.from) && IsPointee(l.length);
    // A name the program passes is read no further than the length it
    // gives with it, so every such line must name that length.
    if (f.shape == Shape::kName && IsWord(l.from)) return IsPointee(l.length) && f.bytes <= kLongestName;
    if (l.length != kNoSource) return false;
    const bool cccb = l.from == fromCccb;
    switch (f.shape) {
    case Shape::kHeading: return l.from == kNoSource;
    case Shape::kId:
    case Shape::kWindow:
    case Shape::kSideInfoEntry: return IsWord(l.from);
    case Shape::kValue:
    case Shape::kNumber:
        return IsPointee(l.from) || (cccb && (f.fetch == Fetch::kU16 || f.fetch == Fetch::kU32));
    case Shape::kPointer: return cccb && f.fetch == Fetch::kPointer;
    case Shape::kName:
    case Shape::kSym: return IsWord(l.from) || (cccb && f.fetch == Fetch::kBytes);
    case Shape::kBuffer: break;
    }
    return false;
}

constexpr bool Fits(const LineList &list, bool response) {
    if (list.overflow) return false;
    for (size_t i = 0; i < list.count; ++i) {
        if (!Fits(list.line[i], response)) return false;
    }
    return true;
}

constexpr bool VerbTableFits() {
    for (const VerbTrace &v : kVerbTraces) {
        if (!Fits(v.request, false) || !Fits(v.response, true)) return false;
    }
    return true;
}
static_assert(VerbTableFits(), "every verb line names a source its form can read");

// ---- Interpreter -----------------------------------------------------------

// What a line formats: an address (null: unreadable), a 32-bit value
// (known false: unreadable), or both.
struct Operand {
    const unsigned char *bytes = nullptr;
    uint32_t value = 0;
    bool known = false;
};

const unsigned char *AsBytes(CPIC_WORD word) {
    return reinterpret_cast<const unsigned char *>(word);
}

// The 32-bit value at an address the caller gave; the caller's int32 may sit
// at any alignment, so it is copied, never dereferenced in place.
Operand At(const unsigned char *address) {
    Operand op;
    op.bytes = address;
    if (address != nullptr) {
        std::memcpy(&op.value, address, sizeof op.value);
        op.known = true;
    }
    return op;
}

// Holds the node's trace-file lock for one record, so lines of two records
// never interleave.
class TraceFileLock {
  public:
    TraceFileLock() { trc_lock_file(&trc_api); }
    ~TraceFileLock() { trc_unlock_file(&trc_api); }
    TraceFileLock(const TraceFileLock &) = delete;
    TraceFileLock &operator=(const TraceFileLock &) = delete;
};

class Record {
  public:
    Record(uint32_t handle, const CCCB &cccb, const std::array<CPIC_WORD, 6> &args)
        : handle_(handle), cccb_(cccb), args_(args) {}

    void Heading(uint32_t kind, uint32_t verb) const;
    void Write(const Line &line) const;

  private:
    void Text(const char *text) const { com_trc_line(handle_, kPrefix, text); }
    void Dump(const void *address, uint32_t length) const { com_trc_dump(handle_, kPrefix, address, length); }
    template <typename... Args>
    void Printf(const char *format, Args... args) const;
    void Unreadable(const char *format) const;
    Operand Resolve(Src src, Form form) const;
    void Write(Form form, const Operand &op, const Operand &length) const;
    void WriteEntry(const unsigned char *entry) const;

    uint32_t handle_;
    const CCCB &cccb_;
    const std::array<CPIC_WORD, 6> &args_;
};

template <typename... Args>
void Record::Printf(const char *format, Args... args) const {
    char line[kLineMax];
    std::snprintf(line, sizeof line, format, args...);
    Text(line);
}

// The line with "(null)" where its value would stand: the text before the
// first conversion and after the last one are kept, so
// " Conversation ID = %02X%02X%02X%02X" gives " Conversation ID = (null)"
// and a label without a conversion gets " (null)" appended.
void Record::Unreadable(const char *format) const {
    char line[kLineMax];
    const char *first = std::strchr(format, '%');
    if (first == nullptr) {
        std::snprintf(line, sizeof line, "%s %s", format, kUnreadable);
    } else {
        const char *last = std::strrchr(format, '%');
        const char *rest = last + 1;
        while (*rest != '\0' && std::strchr("0123456789l", *rest) != nullptr) ++rest;
        if (*rest != '\0') ++rest; // the conversion letter
        std::snprintf(line, sizeof line, "%.*s%s%s", static_cast<int>(first - format), format, kUnreadable,
                      rest);
    }
    Text(line);
}

void Record::Heading(uint32_t kind, uint32_t verb) const {
    const char *name = cpic_names::NameOf(cpic_names::kVerb, verb).name;
    if (kind == kTraceRequest) {
        Printf("%s request", name);
        return;
    }
    char result[64];
    const Operand rc = At(AsBytes(args_[0]));
    if (!rc.known) {
        std::snprintf(result, sizeof result, "%s", kUnreadable);
    } else if (rc.value < cpic_names::kReturnCodeSlots) {
        const auto text = cpic_names::NameOf(cpic_names::kReturnCode, rc.value);
        std::snprintf(result, sizeof result, "%s%s", text.prefix, text.name);
    } else {
        const int16_t low = static_cast<int16_t>(static_cast<uint16_t>(rc.value & 0xFFFFu));
        std::snprintf(result, sizeof result, "%s (rc=%d)", cpic_names::kReturnCode.unknown, low);
    }
    Printf(kind == kTraceResponse ? "%s response, result = %s" : "%s async response, result = %s", name,
           result);
}

Operand Record::Resolve(Src src, Form form) const {
    Operand op;
    if (IsWord(src)) {
        const CPIC_WORD word = args_[src - a1];
        op.bytes = AsBytes(word);
        op.value = static_cast<uint32_t>(word);
        op.known = true;
    } else if (IsPointee(src)) {
        op = At(AsBytes(args_[src - p1]));
    } else if (src == fromCccb) {
        const FormInfo &f = kForms[form];
        const unsigned char *field = reinterpret_cast<const unsigned char *>(&cccb_) + f.offset;
        switch (f.fetch) {
        case Fetch::kU16: {
            uint16_t v;
            std::memcpy(&v, field, sizeof v);
            op.value = v;
            op.known = true;
            break;
        }
        case Fetch::kU32: op = At(field); break;
        case Fetch::kPointer:
            std::memcpy(&op.bytes, field, sizeof op.bytes);
            op.known = true;
            break;
        case Fetch::kBytes: op.bytes = field; break;
        case Fetch::kNone: break;
        }
    }
    return op;
}

void Record::Write(const Line &line) const {
    const Operand op = Resolve(line.from, line.form);
    const FormInfo &f = kForms[line.form];
    if (f.shape != Shape::kName || line.length == kNoSource || op.bytes == nullptr)
        return Write(line.form, op, Resolve(line.length, line.form));
    // The field's full width is shown, but only the bytes the program said
    // it passed are read; the rest shows as blanks.
    const Operand length = Resolve(line.length, line.form);
    const int32_t given = length.known ? static_cast<int32_t>(length.value) : 0;
    const size_t n = given <= 0 ? 0 : given < f.bytes ? static_cast<size_t>(given) : f.bytes;
    unsigned char name[kLongestName];
    std::memset(name, kNameFill, sizeof name);
    std::memcpy(name, op.bytes, n);
    Text(f.format);
    Dump(name, f.bytes);
}

void Record::Write(Form form, const Operand &op, const Operand &length) const {
    const FormInfo &f = kForms[form];
    switch (f.shape) {
    case Shape::kHeading: Text(f.format); return;
    case Shape::kId:
        if (op.bytes == nullptr) return Unreadable(f.format);
        return Printf(f.format, op.bytes[0], op.bytes[1], op.bytes[2], op.bytes[3]);
    case Shape::kValue: {
        if (!op.known) return Unreadable(f.format);
        const auto text = cpic_names::NameOf(*f.names, op.value);
        char name[64];
        std::snprintf(name, sizeof name, "%s%s", text.prefix, text.name);
        return Printf(f.format, name);
    }
    case Shape::kNumber:
        if (!op.known) return Unreadable(f.format);
        return Printf(f.format, static_cast<unsigned long>(op.value));
    case Shape::kPointer: return Printf(f.format, static_cast<const void *>(op.bytes));
    case Shape::kWindow: return Printf(f.format, static_cast<unsigned>(op.value));
    case Shape::kName:
        if (op.bytes == nullptr) return Unreadable(f.format);
        Text(f.format);
        return Dump(op.bytes, f.bytes);
    case Shape::kSym: {
        if (op.bytes == nullptr) return Unreadable(f.format);
        char sym[9];
        std::memcpy(sym, op.bytes, 8);
        sym[8] = '\0';
        return Printf(f.format, sym);
    }
    case Shape::kBuffer: {
        // An unreadable length leaves the address line alone: the length
        // line that follows in the record shows "(null)".
        if (length.known && length.value == 0) return Text(kBufferEmpty);
        if (op.bytes == nullptr) return Unreadable(f.format);
        Printf(f.format, static_cast<const void *>(op.bytes));
        const int32_t n = length.known ? static_cast<int32_t>(length.value) : 0;
        if (n > 0) Dump(op.bytes, static_cast<uint32_t>(n));
        return;
    }
    case Shape::kSideInfoEntry: return WriteEntry(op.bytes);
    }
}

void Record::WriteEntry(const unsigned char *entry) const {
    for (const EntryField &field : kEntryFields) {
        const Operand op = entry != nullptr ? At(entry + field.offset) : Operand{};
        Write(field.form, op, Operand{});
    }
}

} // namespace

CPIC_API void seputrcp(uint32_t kind, uint32_t verb_index, const CCCB *cccb, CPIC_WORD a1, CPIC_WORD a2,
                       CPIC_WORD a3, CPIC_WORD a4, CPIC_WORD a5, CPIC_WORD a6) {
    if (trc_api.initialised == 0) {
        sepuapi_init(ptrc);
        trc_api.initialised = 1;
    }
    if (!SCC_api_trace_on()) return;

    TraceFileLock lock;
    const uint32_t handle = trc_api.handle;
    if (handle == TRC_NO_FILE) return;

    com_trc_sep(handle, kPrefix);
    const std::array<CPIC_WORD, 6> args = {a1, a2, a3, a4, a5, a6};
    const Record record(handle, cccb != nullptr ? *cccb : BlankCccb, args);
    const uint32_t verb = verb_index & 0xFFFFu;
    record.Heading(kind, verb);
    if (verb >= kVerbCount) return;

    const VerbTrace &trace = kVerbTraces[verb];
    const LineList &lines = kind == kTraceRequest ? trace.request : trace.response;
    for (size_t i = 0; i < lines.count; ++i) record.Write(lines.line[i]);
}
