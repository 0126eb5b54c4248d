/* SPDX-License-Identifier: Apache-2.0 */
/*
 * An inbound CPI-C program: it accepts one conversation for its local TP
 * name (APPCTPN, or the name given), receives until the partner
 * deallocates, confirms when asked, and prints what arrived.
 *
 *   hello_server [local_tp_name]
 *
 * hello_pair runs it beside hello_client in one process (HELLO_PAIR).
 */
#include <cpic.h>
#include <stdio.h>
#include <string.h>

static int failed(const char *call, CM_RETURN_CODE rc) {
    fprintf(stderr, "hello_server: %s returned %d\n", call, (int)rc);
    return 1;
}

int hello_server(const char *local_tp_name);

int hello_server(const char *local_tp_name) {
    unsigned char conversation_ID[CM_CID_SIZE];
    CM_RETURN_CODE rc;

    if (local_tp_name != NULL) {
        unsigned char tp_name[CM_TPN_SIZE];
        CM_INT32 length = (CM_INT32)strlen(local_tp_name);
        if (length > CM_TPN_SIZE) length = CM_TPN_SIZE;
        memcpy(tp_name, local_tp_name, (size_t)length);
        cmsltp(tp_name, &length, &rc);
        if (rc != CM_OK) return failed("CMSLTP", rc);
    }

    cmaccp(conversation_ID, &rc);
    if (rc != CM_OK) return failed("CMACCP", rc);

    for (;;) {
        unsigned char buffer[256];
        CM_INT32 requested = (CM_INT32)sizeof buffer, received = 0;
        CM_DATA_RECEIVED_TYPE data_received;
        CM_STATUS_RECEIVED status;
        CM_REQUEST_TO_SEND_RECEIVED rts;
        cmrcv(conversation_ID, buffer, &requested, &data_received, &received, &status, &rts, &rc);
        if (rc == CM_DEALLOCATED_NORMAL) break;
        if (rc != CM_OK) return failed("CMRCV", rc);
        if (data_received != CM_NO_DATA_RECEIVED)
            printf("hello_server: received \"%.*s\"\n", (int)received, (const char *)buffer);
        if (status == CM_CONFIRM_RECEIVED || status == CM_CONFIRM_SEND_RECEIVED ||
            status == CM_CONFIRM_DEALLOC_RECEIVED) {
            cmcfmd(conversation_ID, &rc);
            if (rc != CM_OK) return failed("CMCFMD", rc);
            if (status == CM_CONFIRM_DEALLOC_RECEIVED) break;
        }
    }
    printf("hello_server: conversation over\n");
    return 0;
}

#ifndef HELLO_PAIR
int main(int argc, char **argv) {
    return hello_server(argc > 1 ? argv[1] : NULL);
}
#endif
