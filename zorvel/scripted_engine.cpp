// The scripted verb engine. Tests decide each verb's outcome ahead of time;
// a verb nobody scripted succeeds, and the verbs that create something at
// the node (a TP instance, a conversation, a NOF target) get fresh nonzero
// identifiers so the library's bookkeeping sees realistic values.
#include <algorithm>
#include <cstring>

#include "node/nof_records.h"
#include "node/verb_records.h"
#include "zorvel/internal.h"
#include "zorvel/scripted_engine.h"
#include "zorvel/side_info.h"

namespace zv {
namespace {

static_assert(sizeof(VCB) <= ZT_VERB_IMAGE_MAX, "a verb record fits the history image");
static_assert(sizeof(NOF_OPEN_RECORD) <= ZT_VERB_IMAGE_MAX, "a NOF record fits the history image");

constexpr size_t kRcEnd = 12; // primary at 4, secondary at 8
constexpr uint32_t kConvIdBase = 0x00010000;
constexpr uint32_t kNofHandleBase = 0x4E000000;

using Lock = std::lock_guard<std::mutex>;

uint16_t read_u16(const void *record)
{
    uint16_t v;
    std::memcpy(&v, record, sizeof v);
    return v;
}

void write_at(unsigned char *record, size_t offset, const void *bytes, size_t n)
{
    std::memcpy(record + offset, bytes, n);
}

// What the node may write: the record's documented size, but never past the
// end of the block it lives in.
size_t writable(const void *record, size_t documented) { return std::min(documented, room_at(record)); }

size_t nof_record_size(uint16_t opcode)
{
    switch (opcode) {
    case NOF_OPEN:
        return sizeof(NOF_OPEN_RECORD);
    case NOF_QUERY_SIDE_INFO:
        return sizeof(NOF_QUERY_RECORD);
    case NOF_CLOSE:
        return sizeof(NOF_CLOSE_RECORD);
    default:
        return sizeof(NOF_HDR);
    }
}

} // namespace

ScriptedEngine &scripted_engine()
{
    // Never destroyed: a verb issued during static destruction must not
    // meet a dead engine.
    static ScriptedEngine *engine = new ScriptedEngine;
    return *engine;
}

ScriptedEngine::Answer ScriptedEngine::default_answer(uint16_t opcode, bool nof) const
{
    Answer a;
    if (nof && opcode == NOF_QUERY_SIDE_INFO) {
        // A name the side-information file does not define is unknown.
        a.primary = NOF_NO_SUCH_NAME_PRIMARY;
        a.secondary = NOF_NO_SUCH_NAME_SECONDARY;
    }
    return a;
}

ScriptedEngine::Answer ScriptedEngine::next_answer(uint16_t opcode)
{
    auto it = answers_.find(opcode);
    if (it == answers_.end() || it->second.empty())
        return default_answer(opcode, opcode == NOF_OPEN || opcode == NOF_QUERY_SIDE_INFO ||
                                          opcode == NOF_CLOSE);
    std::deque<Answer> &queue = it->second;
    Answer a = queue.front();
    // A sticky answer keeps answering once nothing is queued behind it.
    if (!(a.flags & ZT_ANSWER_STICKY) || queue.size() > 1)
        queue.pop_front();
    return a;
}

uint32_t ScriptedEngine::record_verb(uint32_t kind, uint16_t opcode, uint32_t version,
                                     uint32_t target, APPC_CALLBACK callback, uint32_t user,
                                     void *record, size_t size)
{
    ZT_VERB v{};
    v.kind = kind;
    v.state = ZT_VERB_COMPLETED;
    v.opcode = opcode;
    v.version = version;
    v.target = target;
    v.user = user;
    v.callback = callback;
    v.record = record;
    v.length = static_cast<uint32_t>(std::min<size_t>(size, ZT_VERB_IMAGE_MAX));
    std::memcpy(v.image, record, v.length);
    history_.push_back(v);
    if (history_.size() > ZT_HISTORY_MAX)
        history_.pop_front();
    return verbs_total_++;
}

void ScriptedEngine::set_state(uint32_t verb, uint32_t state, uint16_t returned)
{
    const uint32_t first = verbs_total_ - static_cast<uint32_t>(history_.size());
    if (verb < first || verb >= verbs_total_)
        return;
    ZT_VERB &v = history_[verb - first];
    v.state = state;
    v.returned = returned;
}

void ScriptedEngine::fresh_ids(uint16_t opcode, unsigned char *record, size_t size)
{
    // Where each verb returns its new identifiers: start-TP and
    // receive-allocate carry them after fields of their own, ALLOCATE in
    // the common header.
    size_t tp_at = 0, conv_at = 0;
    bool tp = false, conv = false;
    switch (opcode) {
    case AP_TP_STARTED:
        tp = true;
        tp_at = offsetof(VCB_TP_STARTED, tp_id);
        break;
    case AP_B_ALLOCATE:
        conv = true;
        conv_at = offsetof(VCB_HDR, conv_id);
        break;
    case AP_RECEIVE_ALLOCATE_CPIC:
        tp = conv = true;
        tp_at = offsetof(VCB_RECEIVE_ALLOCATE, rcv_alloc) + offsetof(VCB_RCV_ALLOC, tp_id);
        conv_at = offsetof(VCB_RECEIVE_ALLOCATE, rcv_alloc) + offsetof(VCB_RCV_ALLOC, conv_id);
        break;
    default:
        break;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (tp && size >= tp_at + 8) {
        const uint32_t n = ++last_tp_;
        // "tp", two zero bytes, the serial most significant byte first:
        // readable in a dump and never all zero.
        const unsigned char id[8] = {0x74, 0x70, 0, 0, static_cast<unsigned char>(n >> 24),
                                     static_cast<unsigned char>(n >> 16),
                                     static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
        write_at(record, tp_at, id, sizeof id);
    }
    if (conv && size >= conv_at + 4) {
        const uint32_t id = kConvIdBase + ++last_conv_;
        write_at(record, conv_at, &id, sizeof id);
    }
    if (opcode == NOF_OPEN && size >= offsetof(NOF_OPEN_RECORD, target_handle) + 4) {
        const uint32_t handle = kNofHandleBase + ++last_nof_;
        write_at(record, offsetof(NOF_OPEN_RECORD, target_handle), &handle, sizeof handle);
    }
}

void ScriptedEngine::apply(const Answer &a, uint16_t opcode, unsigned char *record, size_t size)
{
    if (!a.image.empty()) {
        const size_t n = std::min(a.image.size(), size);
        std::memcpy(record, a.image.data(), n);
        if (n < a.image.size())
            nba_pd_print_problem(ZT_PROBLEM_PATCH_OUTSIDE, 1, "x lx lx", opcode, 0u,
                                 static_cast<uint32_t>(a.image.size()));
    }
    if (size >= kRcEnd) {
        write_at(record, offsetof(VCB_HDR, primary_rc), &a.primary, sizeof a.primary);
        write_at(record, offsetof(VCB_HDR, secondary_rc), &a.secondary, sizeof a.secondary);
    }
    if (a.primary == 0 && !(a.flags & ZT_ANSWER_NO_IDS))
        fresh_ids(opcode, record, size);
    for (const Patch &p : a.patches) {
        if (p.offset + p.bytes.size() <= size)
            write_at(record, p.offset, p.bytes.data(), p.bytes.size());
        else
            nba_pd_print_problem(ZT_PROBLEM_PATCH_OUTSIDE, 2, "x lx lx", opcode, p.offset,
                                 static_cast<uint32_t>(p.bytes.size()));
    }
    if (!a.indirect.empty()) {
        void *target = nullptr;
        if (a.indirect_field + sizeof target <= size)
            std::memcpy(&target, record + a.indirect_field, sizeof target);
        if (!target) {
            nba_pd_print_problem(ZT_PROBLEM_NULL_BUFFER, 1, "x lx", opcode, a.indirect_field);
            return;
        }
        const size_t n = std::min(a.indirect.size(), room_at(target));
        std::memcpy(target, a.indirect.data(), n);
    }
}

uint16_t ScriptedEngine::appc(uint32_t version, void *vcb)
{
    if (!vcb) {
        ZV_ASSERT_FAILED("appc_c_version: null verb record");
        return 0;
    }
    const uint16_t opcode = read_u16(vcb);
    const size_t size = writable(vcb, sizeof(VCB));
    uint32_t verb;
    Answer a;
    {
        Lock guard(mutex_);
        verb = record_verb(ZT_VERB_APPC_BLOCKING, opcode, version, 0, nullptr, 0, vcb, size);
        a = next_answer(opcode);
    }
    // Blocking: an in-progress answer completes here and now.
    apply(a, opcode, static_cast<unsigned char *>(vcb), size);
    const uint16_t returned = (a.flags & ZT_ANSWER_SET_RETURN) ? a.returned : 0;
    Lock guard(mutex_);
    set_state(verb, ZT_VERB_COMPLETED, returned);
    discard_if_tp_ended(opcode, static_cast<const unsigned char *>(vcb));
    return returned;
}

uint16_t ScriptedEngine::appc_async(uint32_t version, void *vcb, APPC_CALLBACK callback, uint32_t user)
{
    if (!vcb) {
        ZV_ASSERT_FAILED("appc_c_async_version: null verb record");
        return 0;
    }
    const uint16_t opcode = read_u16(vcb);
    const size_t size = writable(vcb, sizeof(VCB));
    uint32_t verb;
    Answer a;
    {
        Lock guard(mutex_);
        verb = record_verb(ZT_VERB_APPC_ASYNC, opcode, version, 0, callback, user, vcb, size);
        a = next_answer(opcode);
        // Without a callback nobody could be told later: finish now.
        if (callback && (a.flags & ZT_ANSWER_IN_PROGRESS)) {
            set_state(verb, ZT_VERB_PENDING, APPC_IN_PROGRESS);
            pending_.push_back(Pending{verb, opcode, vcb, size, callback, user, std::move(a)});
            return APPC_IN_PROGRESS;
        }
    }
    apply(a, opcode, static_cast<unsigned char *>(vcb), size);
    const uint16_t returned = (a.flags & ZT_ANSWER_SET_RETURN) ? a.returned : APPC_COMPLETED_SYNC;
    Lock guard(mutex_);
    set_state(verb, ZT_VERB_COMPLETED, returned);
    discard_if_tp_ended(opcode, static_cast<const unsigned char *>(vcb));
    return returned;
}

uint16_t ScriptedEngine::nof(uint32_t version, uint32_t target, void *record)
{
    if (!record) {
        ZV_ASSERT_FAILED("nof_version: null record");
        return 0;
    }
    const uint16_t opcode = read_u16(record);
    const size_t size = writable(record, nof_record_size(opcode));
    uint32_t verb;
    Answer a;
    bool scripted;
    {
        Lock guard(mutex_);
        verb = record_verb(ZT_VERB_NOF, opcode, version, target, nullptr, 0, record, size);
        const auto queued = answers_.find(opcode);
        scripted = queued != answers_.end() && !queued->second.empty();
        a = next_answer(opcode);
    }
    side_info_verb(opcode, static_cast<unsigned char *>(record), size, scripted, a.primary, a.secondary);
    apply(a, opcode, static_cast<unsigned char *>(record), size);
    const uint16_t returned = (a.flags & ZT_ANSWER_SET_RETURN) ? a.returned : 0;
    Lock guard(mutex_);
    set_state(verb, ZT_VERB_COMPLETED, returned);
    return returned;
}

uint32_t ScriptedEngine::deliver(Delivery where, uint32_t how_many)
{
    LockIfNotHeld process_lock;
    uint32_t upto;
    {
        Lock guard(mutex_);
        upto = verbs_total_; // verbs issued by the callbacks below wait
    }
    uint32_t delivered = 0;
    while (how_many == 0 || delivered < how_many) {
        Pending p{};
        {
            Lock guard(mutex_);
            auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending &q) {
                if (q.verb >= upto)
                    return false;
                switch (where) {
                case Delivery::kExplicit:
                    return true;
                case Delivery::kSleep:
                    return (q.answer.delivery & ZT_DELIVER_ON_SLEEP) != 0;
                case Delivery::kPoll:
                    return (q.answer.delivery & ZT_DELIVER_ON_POLL) != 0;
                }
                return false;
            });
            if (it == pending_.end())
                break;
            p = std::move(*it);
            pending_.erase(it);
            set_state(p.verb, ZT_VERB_DELIVERED, APPC_IN_PROGRESS);
        }
        apply(p.answer, p.opcode, static_cast<unsigned char *>(p.record), p.size);
        p.callback(p.record, 0, 0, p.user);
        ++delivered;
    }
    return delivered;
}

uint32_t ScriptedEngine::pending()
{
    Lock guard(mutex_);
    return static_cast<uint32_t>(pending_.size());
}

// An ended TP instance takes its conversations with it: verbs still in
// progress on them are never completed, so no callback can reach a
// conversation the program has dropped together with its instance.
void ScriptedEngine::discard_if_tp_ended(uint16_t opcode, const unsigned char *record)
{
    if (opcode != AP_TP_ENDED)
        return;
    const auto &ended = *reinterpret_cast<const VCB_TP_ENDED *>(record);
    if (ended.hdr.primary_rc != 0)
        return;
    for (auto it = pending_.begin(); it != pending_.end();) {
        const bool conversation_verb = it->opcode != AP_TP_STARTED && it->opcode != AP_TP_ENDED &&
                                       it->opcode != AP_RECEIVE_ALLOCATE_CPIC &&
                                       it->opcode != AP_REGISTER_TP_NAME && it->opcode != AP_WITHDRAW_TP_NAME;
        const auto *hdr = static_cast<const VCB_HDR *>(it->record);
        if (conversation_verb && std::memcmp(hdr->tp_id, ended.tp_id, sizeof ended.tp_id) == 0) {
            set_state(it->verb, ZT_VERB_DISCARDED, APPC_IN_PROGRESS);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

void ScriptedEngine::discard_pending()
{
    Lock guard(mutex_);
    for (const Pending &p : pending_)
        set_state(p.verb, ZT_VERB_DISCARDED, APPC_IN_PROGRESS);
    pending_.clear();
}

void ScriptedEngine::reset()
{
    Lock guard(mutex_);
    answers_.clear();
    pending_.clear();
    history_.clear();
    verbs_total_ = 0;
    last_tp_ = 0;
    last_conv_ = 0;
    last_nof_ = 0;
    reset_side_info();
}

bool ScriptedEngine::queue_answer(uint16_t opcode, const ZT_ANSWER &z)
{
    if (z.patch_count > ZT_PATCH_MAX || z.image_length > ZT_VERB_IMAGE_MAX ||
        (z.image_length && !z.image) || z.indirect_length > ZT_INDIRECT_MAX ||
        (z.indirect_length && !z.indirect_data) || z.delivery > ZT_DELIVER_AUTO)
        return false;
    Answer a;
    a.primary = z.primary;
    a.secondary = z.secondary;
    a.flags = z.flags;
    a.delivery = z.delivery;
    a.returned = z.returned;
    const auto *image = static_cast<const unsigned char *>(z.image);
    a.image.assign(image, image + z.image_length);
    for (uint32_t i = 0; i < z.patch_count; ++i) {
        const ZT_PATCH &p = z.patches[i];
        if (p.length > ZT_PATCH_BYTES || p.offset > ZT_VERB_IMAGE_MAX)
            return false;
        a.patches.push_back(Patch{p.offset, {p.bytes, p.bytes + p.length}});
    }
    a.indirect_field = z.indirect_field;
    const auto *indirect = static_cast<const unsigned char *>(z.indirect_data);
    a.indirect.assign(indirect, indirect + z.indirect_length);
    Lock guard(mutex_);
    answers_[opcode].push_back(std::move(a));
    return true;
}

void ScriptedEngine::clear_answers()
{
    Lock guard(mutex_);
    answers_.clear();
}

uint32_t ScriptedEngine::verb_count()
{
    Lock guard(mutex_);
    return verbs_total_;
}

const ZT_VERB *ScriptedEngine::verb_at(uint32_t index)
{
    Lock guard(mutex_);
    const uint32_t first = verbs_total_ - static_cast<uint32_t>(history_.size());
    if (index < first || index >= verbs_total_)
        return nullptr;
    return &history_[index - first];
}

} // namespace zv
