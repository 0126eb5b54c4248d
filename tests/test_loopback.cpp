// SPDX-License-Identifier: Apache-2.0
// Two threads of one process hold a conversation through the public CPI-C
// header, with the loopback engine carrying it (ZORVEL_ENGINE=loopback).
// The conversation rules between two threads are the scenarios of
// test_conversations; what is here needs the node's own verbs.
#include <cpic.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "node/verb_entry.h"
#include "node/verb_records.h"
#include "zorvel/zorvel_control.h"

namespace {

CM_RETURN_CODE receive(unsigned char *id) {
    unsigned char buffer[100];
    CM_INT32 requested = sizeof buffer, data, length, status, rts;
    CM_RETURN_CODE rc = -1;
    cmrcv(id, buffer, &requested, &data, &length, &status, &rts, &rc);
    return rc;
}

// Another thread ends the TP instance of a conversation whose receive
// waits in the node: by the end-TP verb, or by Terminate in that
// instance's context, which also drops the conversation's block (the
// waiting call keeps it until it returns). Both ends learn of the end.
TEST(Loopback, EndingTheTpEndsAVerbWaitingInIt) {
    using Context = std::array<unsigned char, CM_CTX_SIZE>;
    for (bool by_terminate : {false, true}) {
        SCOPED_TRACE(by_terminate ? "CMTERM" : "end-TP verb");
        std::promise<void> listening;
        std::promise<Context> accepted;
        CM_RETURN_CODE waited = -1;
        const uint32_t receives = zt_verbs_of(AP_RECEIVE_AND_WAIT);
        std::thread b([&] {
            CM_RETURN_CODE rc;
            CM_INT32 len = 4;
            cmsltp(reinterpret_cast<unsigned char *>(const_cast<char *>("SRV3")), &len, &rc);
            listening.set_value();
            unsigned char id[CM_CID_SIZE];
            cmaccp(id, &rc);
            Context context{};
            len = CM_CTX_SIZE;
            cmectx(id, context.data(), &len, &rc);
            accepted.set_value(context);
            waited = receive(id);
        });
        listening.get_future().wait();
        unsigned char id[CM_CID_SIZE], blank[CM_SDN_SIZE];
        std::memset(blank, ' ', sizeof blank);
        CM_RETURN_CODE rc;
        cminit(id, blank, &rc);
        CM_INT32 len = 5;
        cmspln(id, reinterpret_cast<unsigned char *>(const_cast<char *>("LOCAL")), &len, &rc);
        len = 4;
        cmstpn(id, reinterpret_cast<unsigned char *>(const_cast<char *>("SRV3")), &len, &rc);
        cmallc(id, &rc);
        ASSERT_EQ(rc, CM_OK);
        cmflus(id, &rc);
        Context context = accepted.get_future().get();
        // Its receive is in the node once the history has it.
        for (int i = 0; i < 5000 && zt_verbs_of(AP_RECEIVE_AND_WAIT) == receives; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (by_terminate) {
            Context mine{};
            len = CM_CTX_SIZE;
            cmectx(id, mine.data(), &len, &rc);
            cmsctx(context.data(), &len, &rc);
            CM_END_TYPE hard = CM_HARD;
            cmterm(&hard, &rc);
            EXPECT_EQ(rc, CM_OK);
            cmsctx(mine.data(), &len, &rc);
        } else {
            VCB record{};
            record.tp_ended.hdr.opcode = AP_TP_ENDED;
            std::memcpy(record.tp_ended.tp_id, context.data(), sizeof record.tp_ended.tp_id);
            record.tp_ended.type = AP_TP_END_HARD;
            appc_c_version(APPC_VERSION, &record);
            EXPECT_EQ(record.tp_ended.hdr.primary_rc, 0);
        }
        b.join();
        EXPECT_EQ(waited, by_terminate ? CM_DEALLOCATED_ABEND : CM_DEALLOCATED_ABEND_SVC);
        EXPECT_EQ(receive(id), CM_DEALLOCATED_ABEND_SVC);
    }
}

} // namespace
