/* SPDX-License-Identifier: Apache-2.0 */
/*
 * cpicpingd: the echo TP that cpicping talks to.
 *
 *   cpicpingd [-n CONVERSATIONS] [-m AT_ONCE] [TP_NAME]
 *
 * Accepts a conversation for its local TP name (APPCTPN, which the node
 * sets when it starts the program, or the TP_NAME given) and sends every
 * record back as it arrived, each time the partner hands over the right to
 * send, until the partner deallocates. It serves CONVERSATIONS
 * conversations one after another (default 1; 0: until it fails), taking
 * AT_ONCE of them at a time (default 1) and echoing on them in turn, so a
 * partner that holds many conversations is served by one program.
 *
 * Exit status: 0 every conversation ended normally, 1 usage, 2 a CPI-C
 * call failed (the call and its return code are named).
 *
 * Built with PING_PAIR, main is cpicpingd_main, for ping_pair.
 */
#include <cpic.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sample_names.h"

enum { PINGD_MAX_RECORD = 32767, PINGD_MAX_AT_ONCE = 4096 };

struct conversation {
    unsigned char id[CM_CID_SIZE];
    long records;
    long long bytes;
    int open;
};

static int usage(void) {
    fprintf(stderr, "usage: cpicpingd [-n CONVERSATIONS (1; 0: no end)] [-m AT_ONCE (1..%d)] [TP_NAME]\n",
            PINGD_MAX_AT_ONCE);
    return 1;
}

static int failed(const char *call, CM_RETURN_CODE rc) {
    fprintf(stderr, "cpicpingd: %s failed: %s (%d)\n", call, sample_rc_name(rc), (int)rc);
    return 2;
}

static int number(const char *text, long high, long *value) {
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > high) return 0;
    *value = v;
    return 1;
}

/* Receives one record and echoes it when the turn comes: 1 echoed, 0 the
 * partner ended the conversation, else the exit status. */
static int echo_one(struct conversation *c, unsigned char *buffer) {
    CM_INT32 held = 0;
    for (;;) {
        CM_INT32 requested = PINGD_MAX_RECORD - held, received = 0;
        CM_DATA_RECEIVED_TYPE data = CM_NO_DATA_RECEIVED;
        CM_STATUS_RECEIVED status = CM_NO_STATUS_RECEIVED;
        CM_REQUEST_TO_SEND_RECEIVED rts;
        CM_RETURN_CODE rc;
        cmrcv(c->id, buffer + held, &requested, &data, &received, &status, &rts, &rc);
        if (rc == CM_DEALLOCATED_NORMAL) return 0;
        if (rc != CM_OK) return failed("CMRCV", rc);
        if (data != CM_NO_DATA_RECEIVED) held += received;
        if (status == CM_CONFIRM_RECEIVED || status == CM_CONFIRM_SEND_RECEIVED ||
            status == CM_CONFIRM_DEALLOC_RECEIVED) {
            cmcfmd(c->id, &rc);
            if (rc != CM_OK) return failed("CMCFMD", rc);
            if (status == CM_CONFIRM_DEALLOC_RECEIVED) return 0;
        }
        if (status == CM_SEND_RECEIVED || status == CM_CONFIRM_SEND_RECEIVED) break;
        if (held == PINGD_MAX_RECORD) {
            fprintf(stderr, "cpicpingd: a record longer than %d bytes\n", PINGD_MAX_RECORD);
            return 2;
        }
    }
    CM_REQUEST_TO_SEND_RECEIVED rts;
    CM_RETURN_CODE rc;
    cmsend(c->id, buffer, &held, &rts, &rc);
    if (rc != CM_OK) return failed("CMSEND", rc);
    c->records++;
    c->bytes += held;
    return 1;
}

static int accept_one(struct conversation *c) {
    CM_RETURN_CODE rc;
    cmaccp(c->id, &rc);
    if (rc != CM_OK) return failed("CMACCP", rc);
    CM_SEND_TYPE send_type = CM_SEND_AND_PREP_TO_RECEIVE;
    cmsst(c->id, &send_type, &rc);
    if (rc != CM_OK) return failed("CMSST", rc);
    c->records = 0, c->bytes = 0, c->open = 1;
    return 0;
}

static int serve(long conversations, long at_once, struct conversation *held, unsigned char *buffer) {
    long served = 0;
    while (conversations == 0 || served < conversations) {
        long batch = at_once;
        if (conversations != 0 && conversations - served < batch) batch = conversations - served;
        for (long k = 0; k < batch; k++) {
            int status = accept_one(&held[k]);
            if (status != 0) return status;
        }
        for (long open = batch; open > 0;) {
            for (long k = 0; k < batch; k++) {
                if (!held[k].open) continue;
                int status = echo_one(&held[k], buffer);
                if (status > 1) return status;
                if (status == 0) {
                    held[k].open = 0, open--;
                    printf("cpicpingd: conversation %ld over: %ld records, %lld bytes echoed\n", ++served,
                           held[k].records, held[k].bytes);
                    fflush(stdout);
                }
            }
        }
    }
    return 0;
}

#ifdef PING_PAIR
int cpicpingd_main(int argc, char **argv);
int cpicpingd_main(int argc, char **argv) {
#else
int main(int argc, char **argv) {
#endif
    long conversations = 1, at_once = 1;
    const char *tp_name = NULL;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (a[0] == '-' && (a[1] == 'n' || a[1] == 'm')) {
            const char *value = a[2] != '\0' ? a + 2 : (i + 1 < argc ? argv[++i] : NULL);
            if (value == NULL) return usage();
            if (a[1] == 'n' ? !number(value, 1L << 30, &conversations)
                            : !number(value, PINGD_MAX_AT_ONCE, &at_once) || at_once == 0)
                return usage();
        } else if (a[0] == '-' || tp_name != NULL || strlen(a) > CM_TPN_SIZE) {
            return usage();
        } else {
            tp_name = a;
        }
    }
    if (tp_name != NULL) {
        CM_INT32 length = (CM_INT32)strlen(tp_name);
        CM_RETURN_CODE rc;
        cmsltp((unsigned char *)tp_name, &length, &rc);
        if (rc != CM_OK) return failed("CMSLTP", rc);
    }
    struct conversation *held = calloc((size_t)at_once, sizeof *held);
    unsigned char *buffer = malloc(PINGD_MAX_RECORD);
    int status = 2;
    if (held == NULL || buffer == NULL)
        fprintf(stderr, "cpicpingd: out of memory\n");
    else
        status = serve(conversations, at_once, held, buffer);
    free(held);
    free(buffer);
    return status;
}
