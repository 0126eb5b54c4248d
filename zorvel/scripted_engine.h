// The scripted verb engine: answers each verb from a per-opcode queue of
// test-supplied answers, or with a plausible default, and records every
// verb it was given.
#ifndef ZORVEL_SCRIPTED_ENGINE_H
#define ZORVEL_SCRIPTED_ENGINE_H

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "zorvel/verb_engine.h"
#include "zorvel/zorvel_control.h"

namespace zv {

class ScriptedEngine final : public VerbEngine {
public:
    uint16_t appc(uint32_t version, void *vcb) override;
    uint16_t appc_async(uint32_t version, void *vcb, APPC_CALLBACK callback, uint32_t user) override;
    uint16_t nof(uint32_t version, uint32_t target, void *record) override;
    uint32_t deliver(Delivery where, uint32_t how_many) override;
    uint32_t pending() override;
    void discard_pending() override;
    void reset() override;

    // Test control.
    bool queue_answer(uint16_t opcode, const ZT_ANSWER &answer);
    void clear_answers();
    uint32_t verb_count();
    const ZT_VERB *verb_at(uint32_t index);

private:
    struct Patch {
        uint32_t offset;
        std::vector<unsigned char> bytes;
    };
    struct Answer {
        uint16_t primary = 0;
        uint32_t secondary = 0;
        uint32_t flags = 0;
        uint32_t delivery = ZT_DELIVER_MANUAL;
        uint16_t returned = 0;
        std::vector<unsigned char> image;
        std::vector<Patch> patches;
        uint32_t indirect_field = 0;
        std::vector<unsigned char> indirect;
    };
    struct Pending {
        uint32_t verb;      // index in the history
        uint16_t opcode;
        void *record;
        size_t size;        // bytes of the record we may write
        APPC_CALLBACK callback;
        uint32_t user;
        Answer answer;
    };

    // Everything below is guarded by mutex_; callbacks and record writes
    // run without it.
    Answer next_answer(uint16_t opcode);
    Answer default_answer(uint16_t opcode, bool nof) const;
    uint32_t record_verb(uint32_t kind, uint16_t opcode, uint32_t version, uint32_t target,
                         APPC_CALLBACK callback, uint32_t user, void *record, size_t size);
    void set_state(uint32_t verb, uint32_t state, uint16_t returned);
    void discard_if_tp_ended(uint16_t opcode, const unsigned char *record); // mutex_ held
    void fresh_ids(uint16_t opcode, unsigned char *record, size_t size);
    void apply(const Answer &answer, uint16_t opcode, unsigned char *record, size_t size);

    std::mutex mutex_;
    std::map<uint16_t, std::deque<Answer>> answers_;
    std::deque<Pending> pending_;
    std::deque<ZT_VERB> history_; // deque: pointers survive push_back
    uint32_t verbs_total_ = 0;
    uint32_t last_tp_ = 0;
    uint32_t last_conv_ = 0;
    uint32_t last_nof_ = 0;
};

ScriptedEngine &scripted_engine();

} // namespace zv

#endif // ZORVEL_SCRIPTED_ENGINE_H
