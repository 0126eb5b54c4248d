// SPDX-License-Identifier: Apache-2.0
// Two threads of one process hold a conversation through the public CPI-C
// header, with the loopback engine carrying it (ZORVEL_ENGINE=loopback).
#include <cpic.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "node/verb_entry.h"
#include "node/verb_records.h"
#include "zorvel/zorvel_control.h"

namespace {

struct Received {
    CM_RETURN_CODE rc = -1;
    CM_DATA_RECEIVED_TYPE data = -1;
    CM_STATUS_RECEIVED status = -1;
    std::string bytes;
};

Received receive(unsigned char *id) {
    Received r;
    char buffer[100];
    CM_INT32 requested = sizeof buffer, length = 0;
    CM_REQUEST_TO_SEND_RECEIVED rts = 0;
    cmrcv(id, reinterpret_cast<unsigned char *>(buffer), &requested, &r.data, &length, &r.status, &rts,
          &r.rc);
    r.bytes.assign(buffer, static_cast<size_t>(length));
    return r;
}

// Initialises a conversation to `tp` at this process's LU, without side
// information; the first failing call's code, else CM_OK.
CM_RETURN_CODE initialize_to(unsigned char *id, const char *tp) {
    unsigned char blank[CM_SDN_SIZE];
    std::memset(blank, ' ', sizeof blank);
    CM_RETURN_CODE rc;
    cminit(id, blank, &rc);
    if (rc != CM_OK) return rc;
    CM_INT32 n = 5;
    cmspln(id, reinterpret_cast<unsigned char *>(const_cast<char *>("LOCAL")), &n, &rc);
    if (rc != CM_OK) return rc;
    n = static_cast<CM_INT32>(std::strlen(tp));
    cmstpn(id, reinterpret_cast<unsigned char *>(const_cast<char *>(tp)), &n, &rc);
    return rc;
}

CM_RETURN_CODE send(unsigned char *id, const char *text) {
    CM_INT32 length = static_cast<CM_INT32>(std::strlen(text));
    CM_REQUEST_TO_SEND_RECEIVED rts = 0;
    CM_RETURN_CODE rc = -1;
    cmsend(id, reinterpret_cast<unsigned char *>(const_cast<char *>(text)), &length, &rts, &rc);
    return rc;
}

// The acceptor: takes the conversation, answers the confirmation, and once
// it has the right to send replies and deallocates with confirmation.
void server(std::promise<void> &listening, std::string &log) {
    CM_RETURN_CODE rc;
    CM_INT32 len = 3;
    cmsltp(reinterpret_cast<unsigned char *>(const_cast<char *>("SRV")), &len, &rc);
    listening.set_value();
    if (rc != CM_OK) {
        log += "CMSLTP " + std::to_string(rc);
        return;
    }
    unsigned char id[CM_CID_SIZE];
    cmaccp(id, &rc);
    if (rc != CM_OK) {
        log += "CMACCP " + std::to_string(rc);
        return;
    }
    Received r = receive(id);
    log += "B:" + std::to_string(r.rc) + "/" + std::to_string(r.data) + "/" + std::to_string(r.status) + "/" +
           r.bytes + " ";
    cmcfmd(id, &rc);
    log += "B-cfmd:" + std::to_string(rc) + " ";
    r = receive(id);
    log += "B:" + std::to_string(r.rc) + "/" + std::to_string(r.data) + "/" + std::to_string(r.status) + " ";
    log += "B-send:" + std::to_string(send(id, "world")) + " ";
    cmdeal(id, &rc);
    log += "B-deal:" + std::to_string(rc);
}

TEST(Loopback, TwoThreadsConverse) {
    std::promise<void> listening;
    std::string server_log;
    std::thread b([&] { server(listening, server_log); });
    listening.get_future().wait();

    unsigned char id[CM_CID_SIZE];
    CM_RETURN_CODE rc;
    ASSERT_EQ(initialize_to(id, "SRV"), CM_OK);
    CM_SYNC_LEVEL sync = CM_CONFIRM;
    cmssl(id, &sync, &rc);
    ASSERT_EQ(rc, CM_OK);
    cmallc(id, &rc);
    ASSERT_EQ(rc, CM_OK);
    EXPECT_EQ(send(id, "hello"), CM_OK);
    CM_REQUEST_TO_SEND_RECEIVED rts = -1;
    cmcfm(id, &rts, &rc); // waits for the other thread's Confirmed
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_NOT_RECEIVED);
    // Receiving from Send gives the partner the right to send.
    const Received r = receive(id);
    EXPECT_EQ(r.rc, CM_OK);
    EXPECT_EQ(r.data, CM_COMPLETE_DATA_RECEIVED);
    EXPECT_EQ(r.status, CM_CONFIRM_DEALLOC_RECEIVED);
    EXPECT_EQ(r.bytes, "world");
    cmcfmd(id, &rc);
    EXPECT_EQ(rc, CM_OK);
    b.join();
    EXPECT_EQ(server_log, "B:0/2/2/hello B-cfmd:0 B:0/0/1 B-send:0 B-deal:0");
    // Both ends are gone: the conversation ID is unknown.
    cmcfmd(id, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
}

// A non-blocking receive answers in-progress; the partner's thread
// completes it and Wait hands out its result.
TEST(Loopback, NonBlockingReceiveCompletesThroughWait) {
    std::promise<void> listening, go;
    std::string log;
    std::thread b([&] {
        CM_RETURN_CODE rc;
        CM_INT32 len = 4;
        cmsltp(reinterpret_cast<unsigned char *>(const_cast<char *>("SRV2")), &len, &rc);
        listening.set_value();
        unsigned char id[CM_CID_SIZE];
        cmaccp(id, &rc);
        const Received r = receive(id);
        log +=
            std::to_string(rc) + "/" + std::to_string(r.rc) + "/" + std::to_string(r.status) + "/" + r.bytes;
        go.get_future().wait();
        CM_SEND_TYPE type = CM_SEND_AND_DEALLOCATE;
        cmsst(id, &type, &rc);
        CM_DEALLOCATE_TYPE dt = CM_DEALLOCATE_FLUSH;
        cmsdt(id, &dt, &rc);
        log += " " + std::to_string(send(id, "pong"));
    });
    listening.get_future().wait();

    unsigned char id[CM_CID_SIZE];
    CM_RETURN_CODE rc;
    ASSERT_EQ(initialize_to(id, "SRV2"), CM_OK);
    cmallc(id, &rc);
    ASSERT_EQ(rc, CM_OK);
    CM_SEND_TYPE type = CM_SEND_AND_PREP_TO_RECEIVE;
    cmsst(id, &type, &rc);
    EXPECT_EQ(send(id, "ping"), CM_OK);
    CM_PROCESSING_MODE mode = CM_NON_BLOCKING;
    cmspm(id, &mode, &rc);
    char buffer[16] = {};
    CM_INT32 requested = sizeof buffer, length = 0;
    CM_DATA_RECEIVED_TYPE data = -1;
    CM_STATUS_RECEIVED status = -1;
    CM_REQUEST_TO_SEND_RECEIVED rts = -1;
    cmrcv(id, reinterpret_cast<unsigned char *>(buffer), &requested, &data, &length, &status, &rts, &rc);
    EXPECT_EQ(rc, CM_OPERATION_INCOMPLETE);
    go.set_value();
    unsigned char waited[CM_CID_SIZE] = {};
    CM_RETURN_CODE conversation_rc = -1;
    cmwait(waited, &conversation_rc, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(std::memcmp(waited, id, sizeof id), 0);
    EXPECT_EQ(conversation_rc, CM_OK);
    EXPECT_EQ(data, CM_COMPLETE_DATA_RECEIVED);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), "pong");
    b.join();
    EXPECT_EQ(log, "0/0/1/ping 0");
    // The deallocation that followed the data ends the conversation.
    cmrcv(id, reinterpret_cast<unsigned char *>(buffer), &requested, &data, &length, &status, &rts, &rc);
    EXPECT_EQ(rc, CM_DEALLOCATED_NORMAL);
}

// Another thread ends the TP instance a receive waits in, as the node
// sees it (the library's own end would free the conversation too): the
// receive returns with the instance's end written into its record, and the
// partner learns of it the same way.
// Another thread ends the TP instance of a conversation whose receive
// waits in the node: by the end-TP verb, or by Terminate in that
// instance's context, which also drops the conversation's block (the
// waiting call keeps it until it returns). Both ends learn of the end.
TEST(Loopback, EndingTheTpEndsAVerbWaitingInIt) {
    using Context = std::array<unsigned char, CM_CTX_SIZE>;
    const struct {
        bool by_terminate;
        CM_RETURN_CODE waiting_end;
    } cases[] = {{false, CM_DEALLOCATED_ABEND_SVC}, {true, CM_DEALLOCATED_ABEND}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.by_terminate ? "CMTERM" : "end-TP verb");
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
            waited = receive(id).rc;
        });
        listening.get_future().wait();
        unsigned char id[CM_CID_SIZE];
        CM_RETURN_CODE rc;
        ASSERT_EQ(initialize_to(id, "SRV3"), CM_OK);
        cmallc(id, &rc);
        ASSERT_EQ(rc, CM_OK);
        cmflus(id, &rc);
        Context context = accepted.get_future().get();
        // Its receive is in the node once the history has it.
        for (int i = 0; i < 5000 && zt_verbs_of(AP_RECEIVE_AND_WAIT) == receives; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (c.by_terminate) {
            Context mine{};
            CM_INT32 len = CM_CTX_SIZE;
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
        EXPECT_EQ(waited, c.waiting_end);
        EXPECT_EQ(receive(id).rc, CM_DEALLOCATED_ABEND_SVC);
    }
}

// Allocation errors: an unknown partner LU fails the allocate itself; what
// the partner's node refuses comes back on the next call, here a receive
// that gives it the attach (one thread: nobody accepts).
TEST(Loopback, AllocationErrors) {
    struct Case {
        const char *partner, *tp;
        CM_CONVERSATION_TYPE type;
        CM_RETURN_CODE allocate, receive;
    } const cases[] = {
        {"FAR", "SRV", CM_MAPPED_CONVERSATION, CM_ALLOCATE_FAILURE_NO_RETRY, 0},
        {"LOCAL", "NOSUCH", CM_MAPPED_CONVERSATION, CM_OK, CM_TPN_NOT_RECOGNISED},
        {"LOCAL", "BASICONLY", CM_MAPPED_CONVERSATION, CM_OK, CM_CONVERSATION_TYPE_MISMATCH},
        {"LOCAL", "QUICK", CM_BASIC_CONVERSATION, CM_OK, CM_TP_NOT_AVAILABLE_RETRY}, // after 100 ms
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tp);
        unsigned char id[CM_CID_SIZE];
        unsigned char blank[CM_SDN_SIZE];
        std::memset(blank, ' ', sizeof blank);
        CM_RETURN_CODE rc;
        cminit(id, blank, &rc);
        ASSERT_EQ(rc, CM_OK);
        CM_INT32 n = static_cast<CM_INT32>(std::strlen(c.partner));
        cmspln(id, reinterpret_cast<unsigned char *>(const_cast<char *>(c.partner)), &n, &rc);
        n = static_cast<CM_INT32>(std::strlen(c.tp));
        cmstpn(id, reinterpret_cast<unsigned char *>(const_cast<char *>(c.tp)), &n, &rc);
        CM_CONVERSATION_TYPE type = c.type;
        cmsct(id, &type, &rc);
        cmallc(id, &rc);
        EXPECT_EQ(rc, c.allocate);
        if (rc != CM_OK) continue;
        EXPECT_EQ(receive(id).rc, c.receive);
        cmcfmd(id, &rc);
        EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK) << "the conversation ended";
    }
}

} // namespace
