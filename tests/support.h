/* SPDX-License-Identifier: Apache-2.0 */
// Shared fixture of the library tests: a fresh node stand-in and library
// for every test, and a checked teardown proving that nothing leaked.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <utility>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_util.h"
#include "zorvel/zorvel_control.h"

namespace cpic_test {

inline std::string bytes(const void *p, size_t n) {
    return std::string(static_cast<const char *>(p), n);
}
inline std::string hex(const unsigned char *p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {"0123456789ABCDEF"[p[i] >> 4], "0123456789ABCDEF"[p[i] & 15]};
    return s;
}

using Lines = std::vector<std::string>;
// The trace lines the stand-in captured, from line `from` on.
inline Lines trace_lines(uint32_t from = 0) {
    Lines out;
    for (uint32_t i = from, n = zt_trace_line_count(); i < n; ++i) out.emplace_back(zt_trace_line(i));
    return out;
}
// How many captured trace lines equal `line`.
inline size_t traced(const std::string &line) {
    size_t n = 0;
    for (const std::string &l : trace_lines()) n += l == line;
    return n;
}

// ---- Verb records --------------------------------------------------------

// The latest verb of `opcode` in the history.
inline const ZT_VERB *last_of(uint16_t opcode) {
    for (uint32_t i = zt_verb_count(); i-- > 0;)
        if (zt_verb(i)->opcode == opcode) return zt_verb(i);
    return nullptr;
}
// The node's 200 bytes of an issued verb.
inline std::string image(const ZT_VERB *v) {
    return v == nullptr ? "" : bytes(v->image, VCB_I386_SIZE);
}
// A record as it must be issued: the header, `body` from offset 24, zeros
// everywhere else.
inline std::string record(uint16_t opcode, uint8_t conv_type, uint32_t conv_id,
                          const char *tp_id = "TPID0001", const std::string &body = "") {
    std::string r(VCB_I386_SIZE, '\0');
    memcpy(&r[0], &opcode, 2);
    r[2] = static_cast<char>(conv_type);
    memcpy(&r[12], tp_id, 8);
    memcpy(&r[20], &conv_id, 4);
    return r.replace(24, body.size(), body);
}
// ---- Operation counters ----------------------------------------------------

// Verbs outstanding and results waiting, on the conversation and in the
// process: every test that moves an operation asserts all four here.
inline std::tuple<int, int, uint32_t, uint32_t> counts(const CCCB *c) {
    return {c->usVerbsOutstanding, c->usCompletionWaiting, pGCB->NumVerbsOutstanding, pGCB->NumVerbsWaiting};
}
inline const std::tuple<int, int, uint32_t, uint32_t> kIdle{0, 0, 0u, 0u}, kInFlight{1, 0, 1u, 0u},
    kResultWaits{0, 1, 0u, 1u};

// ---- Records -----------------------------------------------------------------

// Code, sequence, format and inserts of a problem or audit record.
using Rec = std::tuple<uint32_t, uint32_t, std::string, std::string>;
inline Rec rec(const ZT_RECORD *r) {
    return r == nullptr ? Rec{} : Rec{r->code, r->sequence, r->format, r->inserts};
}
inline Rec last_problem() {
    return rec(zt_problem_count() == 0 ? nullptr : zt_problem(zt_problem_count() - 1));
}
inline Rec last_audit() {
    return rec(zt_audit_count() == 0 ? nullptr : zt_audit(zt_audit_count() - 1));
}

// Code and sequence of every problem record so far, in order.
using Problems = std::vector<std::pair<uint32_t, uint32_t>>;
inline Problems problem_list() {
    Problems out;
    for (uint32_t i = 0; i < zt_problem_count(); ++i)
        out.emplace_back(zt_problem(i)->code, zt_problem(i)->sequence);
    return out;
}

using Outcome = std::vector<CM_RETURN_CODE>;

// The return code of `call(args..., &rc)`, poisoned first so that a call
// that never stores it cannot pass.
template <typename F, typename... A>
CM_RETURN_CODE rc_of(F call, A... args) {
    CM_RETURN_CODE rc = -1;
    call(args..., &rc);
    return rc;
}
// Calls that take one value by address.
template <typename F>
CM_RETURN_CODE rc_set(F call, unsigned char *id, CM_INT32 value) {
    return rc_of(call, id, &value);
}
// The steps' return codes, up to the first that is not CM_OK.
inline Outcome run_steps(std::initializer_list<std::function<CM_RETURN_CODE()>> steps) {
    Outcome rcs;
    for (const auto &step : steps)
        if (rcs.push_back(step()), rcs.back() != CM_OK) break;
    return rcs;
}
// A name of eight blanks: no side information.
inline unsigned char kBlankName[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

// Records of `code` since the last reset.
inline uint32_t problems_of(uint32_t code) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < zt_problem_count(); ++i) n += zt_problem(i)->code == code;
    return n;
}

// ---- The calls of a program whose verbs complete later --------------------

// What Wait hands out.
struct Waited {
    CM_RETURN_CODE rc = -1;
    std::string id;
    CM_RETURN_CODE conversation_rc = -1;
    bool operator==(const Waited &o) const {
        return rc == o.rc && id == o.id && conversation_rc == o.conversation_rc;
    }
};
inline std::ostream &operator<<(std::ostream &out, const Waited &w) {
    return out << "rc " << w.rc << ", id "
               << hex(reinterpret_cast<const unsigned char *>(w.id.data()), w.id.size())
               << ", conversation rc " << w.conversation_rc;
}
inline Waited wait() {
    unsigned char got[8] = {};
    Waited w;
    CMWAIT(got, &w.conversation_rc, &w.rc);
    w.id = bytes(got, 8);
    return w;
}
inline std::pair<CM_RETURN_CODE, std::string> check() {
    unsigned char got[8] = {};
    CM_RETURN_CODE rc = -1;
    CMCHCK(got, &rc);
    return {rc, bytes(got, 8)};
}
inline CM_RETURN_CODE cancel(unsigned char *id) {
    return rc_of(CMCANC, id);
}

class LibraryTest : public ::testing::Test {
  protected:
    unsigned char id[8] = {}; // the conversation a test works on

    void SetUp() override {
        unsetenv("APPCLLU");
        unsetenv("APPCTPN");
        zt_reset();
    }

    // The library's own blocks go with the node path; whatever is left
    // afterwards was leaked.
    void TearDown() override {
        zt_fail_path();
        EXPECT_EQ(zt_live_blocks(), 0u) << "memory blocks leaked";
        EXPECT_EQ(zt_live_table_entries(), 0u);
        EXPECT_EQ(zt_live_wait_objects(), 0u);
        zt_reset();
    }

    // A conversation made directly through the internals, as Initialize
    // would make it; `node_id` nonzero makes it allocated at the node.
    CCCB *new_conversation(unsigned char (&id)[8], uint32_t node_id = 0x51, const char *tp_id = "TPID0001") {
        cpic::ProcessLock lock;
        if (fInitCPIC == 0) SCC_init();
        EXPECT_EQ(fInitCPIC, 1);
        CCCB *c = nullptr;
        EXPECT_EQ(SCC_cccb_init(id, &c), 1);
        if (c == nullptr) return nullptr;
        c->usInitialized = 1;
        c->ulConvId = node_id;
        if (tp_id != nullptr) memcpy(c->TpId, tp_id, 8);
        return c;
    }

    // Wait's part after it has handed out a result: the conversation goes
    // with it (and so does everything it owns).
    static void release(const unsigned char *id) {
        cpic::ProcessLock lock;
        CCCB *c = nullptr;
        SCC_find_cccb(id, &c, pGCB);
        if (c != nullptr) SCC_free_cccb(c);
    }

    static CCCB *non_blocking(CCCB *c) {
        c->usProcessingMode = CM_NON_BLOCKING;
        return c;
    }
    static CCCB *find(const unsigned char *id) {
        cpic::ProcessLock lock;
        CCCB *c = nullptr;
        SCC_find_cccb(id, &c, pGCB);
        return c;
    }

    static ZT_ANSWER answer(uint16_t primary, uint32_t secondary = 0, bool in_progress = false) {
        ZT_ANSWER a{};
        a.primary = primary;
        a.secondary = secondary;
        if (in_progress) a.flags = ZT_ANSWER_IN_PROGRESS; // delivered by hand (ZT_DELIVER_MANUAL, zero)
        return a;
    }
    static void queue(uint16_t opcode, const ZT_ANSWER &a) { ASSERT_EQ(zt_queue_answer(opcode, &a), 0); }
    // `a` that also writes `data` into the record at `offset`.
    static ZT_ANSWER patched(ZT_ANSWER a, size_t offset, const std::string &data) {
        ZT_PATCH &p = a.patches[a.patch_count++];
        p = {static_cast<uint32_t>(offset), static_cast<uint32_t>(data.size()), {}};
        memcpy(p.bytes, data.data(), data.size());
        return a;
    }
    // An answer the node completes later, when `delivery` lets it.
    static ZT_ANSWER later(uint16_t primary, uint32_t delivery = ZT_DELIVER_MANUAL, uint32_t flags = 0) {
        ZT_ANSWER a = answer(primary, 0, true);
        a.delivery = delivery;
        a.flags |= flags;
        return a;
    }

    // Fault sweep: `scenario` runs once clean to count the uses of `site`,
    // then again with the 1st, 2nd, ... of them failing, once and from then
    // on. Every run ends in accepted return codes and leaves nothing behind.
    static void sweep(uint32_t site, const std::function<Outcome()> &scenario,
                      const std::set<CM_RETURN_CODE> &accepted) {
        zt_reset();
        const Outcome clean = scenario();
        const uint32_t uses = zt_fault_calls(site);
        for (CM_RETURN_CODE rc : clean)
            ASSERT_TRUE(accepted.count(rc) && rc != CM_PRODUCT_SPECIFIC_ERROR) << rc;
        ASSERT_GT(uses, 0u) << "the scenario never reaches site " << site;
        for (int persistent = 0; persistent <= 1; ++persistent) {
            for (uint32_t n = 1; n <= uses; ++n) {
                SCOPED_TRACE(testing::Message()
                             << "site " << site << " use " << n << " persistent " << persistent);
                zt_reset();
                zt_fault(site, n, persistent);
                for (CM_RETURN_CODE rc : scenario()) EXPECT_TRUE(accepted.count(rc)) << rc;
                EXPECT_GE(zt_fault_hits(site), 1u) << "the fault did not fire";
                zt_fault_clear();
                zt_fail_path();
                EXPECT_EQ(zt_live_blocks() + zt_live_table_entries(), 0u) << "leak";
            }
        }
    }

    static void set_trace(bool on) {
        if (on)
            ptrc[PTRC_API_TRACE_BYTE] |= PTRC_API_TRACE_BIT;
        else
            ptrc[PTRC_API_TRACE_BYTE] &= static_cast<unsigned char>(~PTRC_API_TRACE_BIT);
    }
};

} // namespace cpic_test

#endif // TESTS_SUPPORT_H
