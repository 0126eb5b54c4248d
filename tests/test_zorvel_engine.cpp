// The scripted verb engine behind appc_c_version, appc_c_async_version and
// nof_version: history, scripted and default answers, in-progress verbs and
// how their completions are delivered, and path failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <poll.h>
#include <thread>
#include <utility>
#include <vector>

#include "node/nof_records.h"
#include "node/services.h"
#include "node/verb_entry.h"
#include "node/verb_records.h"
#include "zorvel/zorvel_control.h"

namespace {

using namespace std::chrono_literals;

struct Completion {
    void *record;
    uint32_t a, b, user;
    uint32_t nested_lock_reports; // 1 when the callback ran under the lock
};
std::vector<Completion> g_done;
uint32_t g_wake = 0;          // wait object the callback wakes, if any
uint16_t g_reissue_opcode = 0; // verb the callback issues, if any
VCB g_reissued;

void on_complete(void *record, uint32_t a, uint32_t b, uint32_t user)
{
    const uint32_t before = zt_assert_count();
    vpm_unlock(vpm_lock()); // reported as nested only if the lock is held
    g_done.push_back({record, a, b, user, zt_assert_count() - before});
    if (g_wake)
        vpm_wakeup(g_wake);
    if (g_reissue_opcode) {
        std::memset(&g_reissued, 0, sizeof g_reissued);
        g_reissued.hdr.opcode = g_reissue_opcode;
        g_reissue_opcode = 0;
        appc_c_async_version(APPC_VERSION, &g_reissued, on_complete, 9);
    }
}

std::string bytes(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }

ZT_ANSWER answer(uint16_t primary, uint32_t secondary, uint32_t flags = 0, uint32_t delivery = 0)
{
    ZT_ANSWER a{};
    a.primary = primary;
    a.secondary = secondary;
    a.flags = flags;
    a.delivery = delivery;
    return a;
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override
    {
        zt_reset();
        g_done.clear();
        g_wake = 0;
        g_reissue_opcode = 0;
        std::memset(&vcb, 0, sizeof vcb);
    }
    void TearDown() override
    {
        EXPECT_EQ(zt_pending_count(), 0u);
        EXPECT_EQ(zt_live_blocks(), 0u);
        EXPECT_EQ(zt_live_wait_objects(), 0u);
        EXPECT_EQ(zt_live_path_users(), 0u);
        zt_reset();
    }
    // Issues `opcode` blocking on a cleared record.
    VCB &issue(uint16_t opcode)
    {
        std::memset(&vcb, 0, sizeof vcb);
        vcb.hdr.opcode = opcode;
        appc_c_version(APPC_VERSION, &vcb);
        return vcb;
    }
    // Scripts an in-progress answer for `opcode` and issues it with a callback.
    uint16_t in_progress(uint16_t opcode, uint32_t delivery, VCB &record, uint32_t user = 1, uint16_t primary = 0)
    {
        const ZT_ANSWER a = answer(primary, 0x77, ZT_ANSWER_IN_PROGRESS, delivery);
        EXPECT_EQ(zt_queue_answer(opcode, &a), 0);
        record.hdr.opcode = opcode;
        return appc_c_async_version(APPC_VERSION, &record, on_complete, user);
    }
    VCB vcb;
};

// ---- History and answers --------------------------------------------------------

TEST_F(Engine, RecordsEachVerbAsIssued)
{
    vcb.hdr.opcode = AP_FLUSH;
    vcb.hdr.conv_type = 1;
    vcb.hdr.primary_rc = 0x5555;
    vcb.hdr.conv_id = 0x1234;
    const VCB issued = vcb;
    appc_c_version(APPC_VERSION, &vcb);
    EXPECT_EQ(appc_c_async_version(APPC_VERSION, &vcb, nullptr, 5), APPC_COMPLETED_SYNC);
    appc_c_async_version(APPC_VERSION, &vcb, on_complete, 1);

    ASSERT_EQ(zt_verb_count(), 3u);
    const ZT_VERB *v = zt_verb(0);
    EXPECT_EQ(v->kind, static_cast<uint32_t>(ZT_VERB_APPC_BLOCKING));
    EXPECT_EQ(v->opcode, AP_FLUSH);
    EXPECT_EQ(v->version, APPC_VERSION);
    EXPECT_EQ(v->record, &vcb);
    EXPECT_EQ(v->length, sizeof(VCB));
    EXPECT_EQ(bytes(v->image, v->length), bytes(&issued, sizeof issued)) << "the copy is taken before the answer";
    EXPECT_EQ(vcb.hdr.primary_rc, 0) << "no script: success";
    EXPECT_EQ(zt_verb(1)->kind, static_cast<uint32_t>(ZT_VERB_APPC_ASYNC));
    EXPECT_EQ(zt_verb(1)->callback, nullptr);
    EXPECT_EQ(zt_verb(1)->user, 5u);
    EXPECT_EQ(zt_verb(2)->callback, &on_complete);
    EXPECT_EQ(zt_verb(2)->returned, APPC_COMPLETED_SYNC);
    EXPECT_EQ(zt_verb(2)->state, static_cast<uint32_t>(ZT_VERB_COMPLETED));
    EXPECT_TRUE(g_done.empty()) << "a verb done at once has no callback";
    EXPECT_EQ(zt_verb(3), nullptr);
}

TEST_F(Engine, ReturnCodesLandInHostOrderAtFourAndEightAndPatchesAfter)
{
    ZT_ANSWER a = answer(0x0300, 0x34600810);
    a.patch_count = 2;
    a.patches[0] = ZT_PATCH{28, 4, {0xC1, 0xC2, 0xC3, 0xC4}};
    a.patches[1] = ZT_PATCH{20, 2, {0xEE, 0xFF}};
    ASSERT_EQ(zt_queue_answer(AP_RECEIVE_AND_WAIT, &a), 0);
    issue(AP_RECEIVE_AND_WAIT);
    EXPECT_EQ(bytes(vcb.raw + 4, 28), bytes("\x00\x03\0\0\x10\x08\x60\x34\0\0\0\0\0\0\0\0\xEE\xFF\0\0\0\0\0\0\xC1\xC2\xC3\xC4", 28));
}

TEST_F(Engine, AnswersAreFifoPerOpcodeAndStickyAnswersStay)
{
    const ZT_ANSWER first = answer(0x0100, 1), second = answer(0x0200, 2), other = answer(0x0900, 3),
                    sticky = answer(0x0700, 4, ZT_ANSWER_STICKY);
    zt_queue_answer(AP_SEND_DATA, &first);
    zt_queue_answer(AP_SEND_DATA, &second);
    zt_queue_answer(AP_DEALLOCATE, &other);
    zt_queue_answer(AP_CONFIRM, &sticky);
    auto codes = [&](uint16_t opcode) {
        issue(opcode);
        return std::make_pair(vcb.hdr.primary_rc, vcb.hdr.secondary_rc);
    };
    const std::pair<uint16_t, std::pair<uint16_t, uint32_t>> expected[] = {
        {AP_SEND_DATA, {0x0100, 1}}, {AP_DEALLOCATE, {0x0900, 3}}, {AP_SEND_DATA, {0x0200, 2}},
        {AP_SEND_DATA, {0, 0}}, // queue empty: default
        {AP_CONFIRM, {0x0700, 4}},   {AP_CONFIRM, {0x0700, 4}},    {AP_CONFIRM, {0x0700, 4}}};
    for (const auto &e : expected)
        EXPECT_EQ(codes(e.first), e.second) << e.first;
    EXPECT_EQ(zt_verbs_of(AP_SEND_DATA), 3u);
    zt_clear_answers();
    EXPECT_EQ(codes(AP_CONFIRM).first, 0);
}

TEST_F(Engine, WholeImageOverriddenReturnAndMalformedAnswers)
{
    VCB image{};
    std::memset(image.raw, 0xAB, sizeof image.raw);
    ZT_ANSWER a = answer(0x0F00, 0, ZT_ANSWER_SET_RETURN);
    a.image = &image;
    a.image_length = sizeof image;
    a.returned = 0x1234;
    zt_queue_answer(AP_TP_ENDED, &a);
    vcb.hdr.opcode = AP_TP_ENDED;
    EXPECT_EQ(appc_c_async_version(APPC_VERSION, &vcb, on_complete, 1), 0x1234);
    image.hdr.primary_rc = 0x0F00; // return codes go over the image
    image.hdr.secondary_rc = 0;
    EXPECT_EQ(bytes(&vcb, sizeof vcb), bytes(&image, sizeof image));

    a = ZT_ANSWER{};
    a.patch_count = 1;
    a.patches[0].length = ZT_PATCH_BYTES + 1;
    EXPECT_EQ(zt_queue_answer(AP_FLUSH, &a), -1);
    a = ZT_ANSWER{};
    a.image_length = 8;
    EXPECT_EQ(zt_queue_answer(AP_FLUSH, &a), -1) << "length without data";
    a = ZT_ANSWER{};
    a.patch_count = ZT_PATCH_MAX + 1;
    EXPECT_EQ(zt_queue_answer(AP_FLUSH, &a), -1);
}

TEST_F(Engine, WritesStayInsideTheBlockHoldingTheRecord)
{
    auto *small = static_cast<unsigned char *>(nba_mm_alloc(64, NBA_MM_ONE_OFF_VERB, nba_blank_name, 0, 0));
    std::memset(small, 0, 64);
    small[0] = AP_CANCEL;
    ZT_ANSWER a = answer(0, 0);
    a.patch_count = 1;
    a.patches[0] = ZT_PATCH{100, 4, {1, 2, 3, 4}};
    zt_queue_answer(AP_CANCEL, &a);
    appc_c_version(APPC_VERSION, small);
    EXPECT_EQ(zt_last_verb()->length, 64u);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, ZT_PROBLEM_PATCH_OUTSIDE);
    EXPECT_STREQ(zt_problem(0)->inserts, "0072 00000064 00000004");
    nba_mm_free(small, 0);
}

// ---- Defaults that create something ------------------------------------------

TEST_F(Engine, FreshTpIdsAndConversationIdsRestartOnReset)
{
    // Each verb returns its identifiers in its own fields.
    const std::string zero(8, '\0'), tp1 = bytes(issue(AP_TP_STARTED).tp_started.tp_id, 8),
                      tp2 = bytes(issue(AP_TP_STARTED).tp_started.tp_id, 8);
    issue(AP_RECEIVE_ALLOCATE_CPIC);
    const std::string tp3 = bytes(vcb.rcvallcp.rcv_alloc.tp_id, 8);
    std::vector<uint32_t> conv_ids{vcb.rcvallcp.rcv_alloc.conv_id};
    for (int i = 0; i < 2; ++i) {
        std::memset(&vcb, 0, sizeof vcb);
        vcb.hdr.opcode = AP_B_ALLOCATE;
        appc_c_async_version(APPC_VERSION, &vcb, nullptr, 1);
        conv_ids.push_back(vcb.hdr.conv_id);
        EXPECT_EQ(bytes(vcb.hdr.tp_id, 8), zero) << "allocate leaves tp_id alone";
    }
    EXPECT_NE(tp1, zero);
    EXPECT_NE(tp1, tp2);
    EXPECT_NE(tp2, tp3);
    for (uint32_t id : conv_ids)
        EXPECT_NE(id, 0u);
    EXPECT_NE(conv_ids[0], conv_ids[1]);
    EXPECT_NE(conv_ids[1], conv_ids[2]);

    // A failed allocate creates nothing; NO_IDS suppresses them on success.
    const ZT_ANSWER failed = answer(0x0300, 0), quiet = answer(0, 0, ZT_ANSWER_NO_IDS);
    zt_queue_answer(AP_B_ALLOCATE, &failed);
    zt_queue_answer(AP_TP_STARTED, &quiet);
    EXPECT_EQ(issue(AP_B_ALLOCATE).hdr.conv_id, 0u);
    EXPECT_EQ(bytes(issue(AP_TP_STARTED).tp_started.tp_id, 8), zero);

    // Reset forgets verbs and answers, and identifiers restart so runs are
    // repeatable.
    zt_queue_answer(AP_B_ALLOCATE, &failed);
    zt_reset();
    EXPECT_EQ(zt_verb_count(), 0u);
    EXPECT_EQ(issue(AP_B_ALLOCATE).hdr.primary_rc, 0) << "the queued answer is gone";
    EXPECT_EQ(bytes(issue(AP_TP_STARTED).tp_started.tp_id, 8), tp1);
}

TEST_F(Engine, NofDefaultsAndScriptedQuery)
{
    NOF_OPEN_RECORD open{};
    open.hdr.opcode = NOF_OPEN;
    nof_version(NOF_VERSION, 0, &open);
    EXPECT_EQ(open.hdr.primary_rc, 0);
    EXPECT_NE(open.target_handle, 0u);

    NOF_SIDE_INFO_ANSWER buffer{};
    NOF_QUERY_RECORD query{};
    query.hdr.opcode = NOF_QUERY_SIDE_INFO;
    query.buf_addr = &buffer;
    std::memcpy(query.sym_dest_name, "SIDE1   ", 8);
    nof_version(NOF_VERSION, open.target_handle, &query);
    EXPECT_EQ(query.hdr.primary_rc, NOF_NO_SUCH_NAME_PRIMARY);
    EXPECT_EQ(query.hdr.secondary_rc, NOF_NO_SUCH_NAME_SECONDARY);

    NOF_CLOSE_RECORD close{};
    close.hdr.opcode = NOF_CLOSE;
    close.hdr.primary_rc = 0x4444;
    nof_version(NOF_VERSION, open.target_handle, &close);
    EXPECT_EQ(close.hdr.primary_rc, 0);

    ASSERT_EQ(zt_verb_count(), 3u);
    EXPECT_EQ(zt_verb(0)->length, static_cast<uint32_t>(NOF_OPEN_SIZE));
    EXPECT_EQ(zt_verb(1)->length, sizeof(NOF_QUERY_RECORD));
    EXPECT_EQ(zt_verb(1)->target, open.target_handle);
    EXPECT_EQ(bytes(zt_verb(1)->image + offsetof(NOF_QUERY_RECORD, sym_dest_name), 8), "SIDE1   ");
    EXPECT_EQ(zt_verb(2)->length, static_cast<uint32_t>(NOF_CLOSE_SIZE));
    EXPECT_EQ(zt_verb(2)->kind, static_cast<uint32_t>(ZT_VERB_NOF));

    // A scripted query fills the answer buffer the record points to.
    NOF_SIDE_INFO_ANSWER node_answer{};
    std::memcpy(node_answer.sym_dest_name, "SIDE1   ", 8);
    std::memcpy(node_answer.mode_name, "#INTER  ", 8);
    ZT_ANSWER a = answer(0, 0);
    a.indirect_field = offsetof(NOF_QUERY_RECORD, buf_addr);
    a.indirect_data = &node_answer;
    a.indirect_length = sizeof node_answer;
    zt_queue_answer(NOF_QUERY_SIDE_INFO, &a);
    zt_queue_answer(NOF_QUERY_SIDE_INFO, &a);
    nof_version(NOF_VERSION, 1, &query);
    EXPECT_EQ(query.hdr.primary_rc, 0);
    EXPECT_EQ(bytes(&buffer, sizeof buffer), bytes(&node_answer, sizeof node_answer));
    query.buf_addr = nullptr;
    nof_version(NOF_VERSION, 1, &query);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, ZT_PROBLEM_NULL_BUFFER);
}

// ---- In-progress verbs and their delivery ----------------------------------------

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST_F(Engine, InProgressCompletesWhenTheTestSaysSo)
{
    EXPECT_EQ(in_progress(AP_SEND_DATA, ZT_DELIVER_MANUAL, vcb, 1, 0x0900), APPC_IN_PROGRESS);
    EXPECT_EQ(vcb.hdr.primary_rc, 0) << "nothing is written before the completion";
    EXPECT_EQ(zt_pending_count(), 1u);
    EXPECT_EQ(zt_last_verb()->state, static_cast<uint32_t>(ZT_VERB_PENDING));
    EXPECT_EQ(zt_last_verb()->returned, APPC_IN_PROGRESS);

    const uint32_t w = vpm_allocate_wait_object();
    zt_set_sleep_limit(30);
    const uint16_t t = vpm_lock();
    EXPECT_EQ(vpm_sleep(w, VPM_WAIT_FOREVER), 2) << "manual answers wait for the test";
    vpm_unlock(t);
    EXPECT_FALSE(readable(vpm_asm_event_fd())) << "manual answers are not polled for";
    EXPECT_TRUE(g_done.empty());

    EXPECT_EQ(zt_complete_pending(0), 1u);
    ASSERT_EQ(g_done.size(), 1u);
    EXPECT_EQ(g_done[0].record, &vcb);
    EXPECT_EQ(g_done[0].a, 0u);
    EXPECT_EQ(g_done[0].b, 0u);
    EXPECT_EQ(g_done[0].user, 1u);
    EXPECT_EQ(g_done[0].nested_lock_reports, 1u) << "delivered under the process lock";
    EXPECT_EQ(vcb.hdr.primary_rc, 0x0900);
    EXPECT_EQ(vcb.hdr.secondary_rc, 0x77u);
    EXPECT_EQ(zt_last_verb()->state, static_cast<uint32_t>(ZT_VERB_DELIVERED));
    EXPECT_EQ(zt_complete_pending(0), 0u);
    vpm_release_wait_object(w);

    // Without a callback the verb completes at once.
    const ZT_ANSWER a = answer(0x0500, 0, ZT_ANSWER_IN_PROGRESS, ZT_DELIVER_AUTO);
    zt_queue_answer(AP_FLUSH, &a);
    vcb.hdr.opcode = AP_FLUSH;
    EXPECT_EQ(appc_c_async_version(APPC_VERSION, &vcb, nullptr, 1), APPC_COMPLETED_SYNC);
    EXPECT_EQ(vcb.hdr.primary_rc, 0x0500);
    EXPECT_EQ(zt_pending_count(), 0u);
}

TEST_F(Engine, CompletionWakesTheSleeperWhetherOnSleepOrFromAnotherThread)
{
    // Queued before the sleep; completed by another thread; queued by
    // another thread while the sleeper waits (it must wake and deliver).
    const std::pair<uint32_t, bool> cases[] = {
        {ZT_DELIVER_ON_SLEEP, false}, {ZT_DELIVER_MANUAL, false}, {ZT_DELIVER_ON_SLEEP, true}};
    for (const auto &[delivery, queued_by_other] : cases) {
        g_done.clear();
        const uint32_t w = vpm_allocate_wait_object();
        g_wake = w;
        const uint16_t t = vpm_lock();
        if (!queued_by_other) {
            ASSERT_EQ(in_progress(AP_CONFIRM, delivery, vcb), APPC_IN_PROGRESS);
        }
        std::thread node([this, delivery = delivery, queued_by_other = queued_by_other] {
            std::this_thread::sleep_for(20ms);
            if (queued_by_other) {
                EXPECT_EQ(in_progress(AP_CONFIRM, delivery, vcb), APPC_IN_PROGRESS);
            } else if (delivery == ZT_DELIVER_MANUAL) {
                EXPECT_EQ(zt_complete_pending(0), 1u);
            }
        });
        EXPECT_EQ(vpm_sleep(w, VPM_WAIT_FOREVER), 0) << delivery;
        vpm_unlock(t);
        node.join();
        ASSERT_EQ(g_done.size(), 1u) << delivery;
        EXPECT_EQ(g_done[0].nested_lock_reports, 1u) << delivery;
        vpm_release_wait_object(w);
    }
}

TEST_F(Engine, PollDeliversOnlyPollAnswers)
{
    VCB second{};
    const int fd = vpm_asm_event_fd();
    ASSERT_GE(fd, 0);
    in_progress(AP_FLUSH, ZT_DELIVER_ON_SLEEP, vcb, 1);
    EXPECT_FALSE(readable(fd));
    in_progress(AP_FLUSH, ZT_DELIVER_ON_POLL, second, 2);
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(vpm_asm_event_fd(), fd);
    EXPECT_FALSE(readable(fd)) << "drained once delivered";
    ASSERT_EQ(g_done.size(), 1u);
    EXPECT_EQ(g_done[0].record, &second);
    EXPECT_EQ(g_done[0].nested_lock_reports, 1u) << "poll is called without the lock and takes it";
    EXPECT_EQ(zt_pending_count(), 1u);
    EXPECT_EQ(zt_complete_pending(1), 1u);
}

TEST_F(Engine, VerbsIssuedByACallbackWaitForTheNextRound)
{
    const ZT_ANSWER a = answer(0, 0, ZT_ANSWER_IN_PROGRESS | ZT_ANSWER_STICKY);
    zt_queue_answer(AP_SEND_DATA, &a);
    vcb.hdr.opcode = AP_SEND_DATA;
    g_reissue_opcode = AP_SEND_DATA;
    appc_c_async_version(APPC_VERSION, &vcb, on_complete, 1);
    EXPECT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(zt_pending_count(), 1u) << "the reissued verb is pending, not delivered";
    EXPECT_EQ(zt_complete_pending(0), 1u);
    ASSERT_EQ(g_done.size(), 2u);
    EXPECT_EQ(g_done[1].record, &g_reissued);
    EXPECT_EQ(g_done[1].user, 9u);
}

// ---- Path failure ------------------------------------------------------------------

uint32_t g_path_events = 0;
uint32_t count_path_event(uint32_t, VPM_PATH_EVENT *event)
{
    if (event->code == VPM_EVENT_PATH_FAILED)
        ++g_path_events;
    return 0;
}

TEST_F(Engine, PathFailureDiscardsPendingCompletions)
{
    g_path_events = 0;
    uint32_t user = 0;
    vpm_init_path_user(0, 0, count_path_event, 0, &user);
    ASSERT_EQ(in_progress(AP_SEND_DATA, ZT_DELIVER_AUTO, vcb, 1, 0x0900), APPC_IN_PROGRESS);
    zt_fail_path();
    EXPECT_EQ(g_path_events, 1u);
    EXPECT_EQ(zt_pending_count(), 0u);
    EXPECT_EQ(zt_complete_pending(0), 0u);
    EXPECT_FALSE(readable(vpm_asm_event_fd()));
    EXPECT_TRUE(g_done.empty()) << "a discarded completion is never delivered";
    EXPECT_EQ(vcb.hdr.primary_rc, 0) << "and never written";
    EXPECT_EQ(zt_last_verb()->state, static_cast<uint32_t>(ZT_VERB_DISCARDED));
    vpm_terminate_path_user(user);
}

} // namespace
