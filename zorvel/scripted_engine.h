/* SPDX-License-Identifier: Apache-2.0 */
// The scripting wrapper: sits over whatever engine runs (the default
// engine under ZORVEL_ENGINE=scripted, the loopback engine, later the
// daemon's) and answers, per opcode, the verbs a test scripted: a whole
// answer instead of the engine's, primary and secondary codes written over
// the engine's result, or an answer left in progress until the test, a
// sleep or a poll delivers it. What nobody scripted, and a verb whose
// answer says pass, goes through to the engine below. Each opcode counts
// the verbs the script answered.
#ifndef ZORVEL_SCRIPTED_ENGINE_H
#define ZORVEL_SCRIPTED_ENGINE_H

#include <atomic>
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
    uint16_t appc(const VerbCall &call) override;
    uint16_t appc_async(const VerbCall &call) override;
    uint16_t nof(const VerbCall &call) override;
    void drop_in_flight() override;
    void reset() override; // forgets the script and resets the engine below

    // The engine below; set by select_engine under the process lock.
    void set_inner(VerbEngine *inner) { inner_.store(inner); }
    VerbEngine &inner() { return *inner_.load(); }

    // Test control.
    bool queue_answer(uint16_t opcode, const ZT_ANSWER &answer);
    void clear_answers();
    uint32_t hits(uint16_t opcode);

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

    // Takes the next scripted answer of the opcode, if any, and counts it.
    bool next_answer(uint16_t opcode, Answer &out);
    void apply(const Answer &answer, uint16_t opcode, unsigned char *record, size_t size);
    void write_codes(const Answer &answer, uint16_t opcode, unsigned char *record, size_t size);

    std::atomic<VerbEngine *> inner_{nullptr};
    std::atomic<uint32_t> scripted_{0}; // answers queued: none means pass through at once
    std::mutex mutex_;                  // guards the two maps; never held across a verb
    std::map<uint16_t, std::deque<Answer>> answers_;
    std::map<uint16_t, uint32_t> hits_;
};

ScriptedEngine &scripted_engine();

} // namespace zv

#endif // ZORVEL_SCRIPTED_ENGINE_H
