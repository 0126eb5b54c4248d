/* SPDX-License-Identifier: Apache-2.0 */
/*
 * An outbound CPI-C program: it starts a conversation with the partner
 * named by the symbolic destination name HELLO (side information), sends
 * one record, asks for a confirmation and ends the conversation.
 *
 *   hello_client [sym_dest_name]
 *
 * hello_pair runs it beside hello_server in one process (HELLO_PAIR).
 */
#include <cpic.h>
#include <stdio.h>
#include <string.h>

static int failed(const char *call, CM_RETURN_CODE rc) {
    fprintf(stderr, "hello_client: %s returned %d\n", call, (int)rc);
    return 1;
}

int hello_client(const char *name);

int hello_client(const char *name) {
    unsigned char sym_dest_name[CM_SDN_SIZE];
    unsigned char conversation_ID[CM_CID_SIZE];
    CM_RETURN_CODE rc;
    size_t n = strlen(name);

    memset(sym_dest_name, ' ', sizeof sym_dest_name);
    memcpy(sym_dest_name, name, n < sizeof sym_dest_name ? n : sizeof sym_dest_name);

    cminit(conversation_ID, sym_dest_name, &rc);
    if (rc != CM_OK) return failed("CMINIT", rc);

    CM_SYNC_LEVEL sync_level = CM_CONFIRM;
    cmssl(conversation_ID, &sync_level, &rc);
    if (rc != CM_OK) return failed("CMSSL", rc);

    cmallc(conversation_ID, &rc);
    if (rc != CM_OK) return failed("CMALLC", rc);

    unsigned char greeting[] = "Hello from a CPI-C program";
    CM_INT32 length = (CM_INT32)(sizeof greeting - 1);
    CM_REQUEST_TO_SEND_RECEIVED rts;
    cmsend(conversation_ID, greeting, &length, &rts, &rc);
    if (rc != CM_OK) return failed("CMSEND", rc);

    cmcfm(conversation_ID, &rts, &rc);
    if (rc != CM_OK) return failed("CMCFM", rc);

    cmdeal(conversation_ID, &rc);
    if (rc != CM_OK) return failed("CMDEAL", rc);

    printf("hello_client: sent %d bytes to %s, confirmed\n", (int)length, name);
    return 0;
}

#ifndef HELLO_PAIR
int main(int argc, char **argv) {
    return hello_client(argc > 1 ? argv[1] : "HELLO");
}
#endif
