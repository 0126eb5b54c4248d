/* SPDX-License-Identifier: Apache-2.0 */
/*
 * cpicping: round trips over mapped conversations, like ping.
 *
 *   cpicping [-c COUNT] [-s SIZE] [-i WARMUP] [-C CONVERSATIONS] [-p PAUSE_MS] [-q]
 *            [-t TP_NAME] [-l PARTNER_LU] [DESTINATION]
 *
 * DESTINATION is a symbolic destination name of the side information;
 * -t and -l name the partner TP and LU instead (or override what the side
 * information says). Each record goes out with Send_Data of type
 * SEND_AND_PREP_TO_RECEIVE, and Receive takes its echo, which must match
 * byte for byte. WARMUP records (default 1, which carries the partner
 * program's start) go first and are not timed. With -C the program holds
 * that many conversations at once and sends each record on all of them
 * before it collects the echoes; one line then stands for one such round.
 *
 * Exit status: 0 all echoes matched, 1 usage, 2 a CPI-C call failed (the
 * call and its return code are named), 3 an echo did not match.
 *
 * Built with PING_PAIR, main is cpicping_main, for ping_pair.
 */
#define _POSIX_C_SOURCE 200809L
#include <cpic.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "sample_names.h"

enum { PING_MAX_SIZE = 32767, PING_MAX_CONVERSATIONS = 4096 };

struct options {
    long count, size, warmup, conversations, pause_ms;
    int quiet;
    const char *destination, *tp_name, *partner_lu;
};

static int usage(const char *why) {
    if (why != NULL) fprintf(stderr, "cpicping: %s\n", why);
    fprintf(stderr,
            "usage: cpicping [-c COUNT] [-s SIZE] [-i WARMUP] [-C CONVERSATIONS] [-p PAUSE_MS] [-q]\n"
            "                [-t TP_NAME] [-l PARTNER_LU] [DESTINATION]\n"
            "  COUNT 1.. (10), SIZE 1..%d bytes (100), WARMUP 0.. untimed records (1),\n"
            "  CONVERSATIONS 1..%d held at once (1), PAUSE_MS between records (0)\n",
            PING_MAX_SIZE, PING_MAX_CONVERSATIONS);
    return 1;
}

static int number(const char *text, long low, long high, long *value) {
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return 0;
    *value = v;
    return 1;
}

/* 0 when the arguments are usable, else the exit status. */
static int parse(int argc, char **argv, struct options *o) {
    o->count = 10, o->size = 100, o->warmup = 1, o->conversations = 1, o->pause_ms = 0;
    o->quiet = 0, o->destination = NULL, o->tp_name = NULL, o->partner_lu = NULL;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (a[0] != '-' || a[1] == '\0') {
            if (o->destination != NULL) return usage("one destination only");
            o->destination = a;
            continue;
        }
        if (a[1] == 'q' && a[2] == '\0') {
            o->quiet = 1;
            continue;
        }
        if (strchr("csiCptl", a[1]) == NULL) return usage("unknown option");
        const char *value = a[2] != '\0' ? a + 2 : (i + 1 < argc ? argv[++i] : NULL);
        if (value == NULL) return usage("an option lacks its value");
        int ok = 1;
        switch (a[1]) {
        case 'c': ok = number(value, 1, LONG_MAX / 2, &o->count); break;
        case 's': ok = number(value, 1, PING_MAX_SIZE, &o->size); break;
        case 'i': ok = number(value, 0, LONG_MAX / 2, &o->warmup); break;
        case 'C': ok = number(value, 1, PING_MAX_CONVERSATIONS, &o->conversations); break;
        case 'p': ok = number(value, 0, 3600000, &o->pause_ms); break;
        case 't': o->tp_name = value, ok = strlen(value) <= CM_TPN_SIZE; break;
        case 'l': o->partner_lu = value, ok = strlen(value) <= CM_PLN_SIZE; break;
        }
        if (!ok) return usage("an option's value is out of range");
    }
    if (o->destination == NULL && (o->tp_name == NULL || o->partner_lu == NULL))
        return usage("give a destination, or -t and -l");
    if (o->destination != NULL && strlen(o->destination) > CM_SDN_SIZE)
        return usage("a symbolic destination name has at most 8 characters");
    return 0;
}

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static void pause_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {}
}

/* Record `seq` on conversation `k`: a pattern that differs from the
 * record before it and from the same record on another conversation. */
static unsigned char pattern(long seq, long k, long j) {
    return (unsigned char)(seq * 7 + k * 13 + j);
}

/* The untimed records that go first; messages count records after them. */
static long warmup_records;

/* seq < 0: before the first record. */
static int failed(const char *call, long k, long seq, CM_RETURN_CODE rc) {
    if (seq < 0)
        fprintf(stderr, "cpicping: %s failed on conversation %ld: %s (%d)\n", call, k + 1, sample_rc_name(rc),
                (int)rc);
    else if (seq < warmup_records)
        fprintf(stderr, "cpicping: %s failed on conversation %ld, warm-up record %ld: %s (%d)\n", call, k + 1,
                seq + 1, sample_rc_name(rc), (int)rc);
    else
        fprintf(stderr, "cpicping: %s failed on conversation %ld, record %ld: %s (%d)\n", call, k + 1,
                seq - warmup_records + 1, sample_rc_name(rc), (int)rc);
    return 2;
}

static int allocate(const struct options *o, long k, unsigned char *id) {
    unsigned char sym_dest_name[CM_SDN_SIZE];
    CM_RETURN_CODE rc;
    memset(sym_dest_name, ' ', sizeof sym_dest_name);
    if (o->destination != NULL) memcpy(sym_dest_name, o->destination, strlen(o->destination));
    cminit(id, sym_dest_name, &rc);
    if (rc != CM_OK) return failed("CMINIT", k, -1, rc);
    if (o->tp_name != NULL) {
        CM_INT32 n = (CM_INT32)strlen(o->tp_name);
        cmstpn(id, (unsigned char *)o->tp_name, &n, &rc);
        if (rc != CM_OK) return failed("CMSTPN", k, -1, rc);
    }
    if (o->partner_lu != NULL) {
        CM_INT32 n = (CM_INT32)strlen(o->partner_lu);
        cmspln(id, (unsigned char *)o->partner_lu, &n, &rc);
        if (rc != CM_OK) return failed("CMSPLN", k, -1, rc);
    }
    CM_CONVERSATION_TYPE type = CM_MAPPED_CONVERSATION;
    cmsct(id, &type, &rc);
    if (rc != CM_OK) return failed("CMSCT", k, -1, rc);
    CM_SYNC_LEVEL sync_level = CM_NONE;
    cmssl(id, &sync_level, &rc);
    if (rc != CM_OK) return failed("CMSSL", k, -1, rc);
    cmallc(id, &rc);
    if (rc != CM_OK) return failed("CMALLC", k, -1, rc);
    CM_SEND_TYPE send_type = CM_SEND_AND_PREP_TO_RECEIVE;
    cmsst(id, &send_type, &rc);
    if (rc != CM_OK) return failed("CMSST", k, -1, rc);
    return 0;
}

/* Takes the echo of record `seq` on conversation `k` and the right to send
 * that comes with it. */
static int take_echo(unsigned char *id, long k, long seq, long size, unsigned char *in) {
    int have_record = 0;
    for (;;) {
        CM_INT32 requested = PING_MAX_SIZE, received = 0;
        CM_DATA_RECEIVED_TYPE data = CM_NO_DATA_RECEIVED;
        CM_STATUS_RECEIVED status = CM_NO_STATUS_RECEIVED;
        CM_REQUEST_TO_SEND_RECEIVED rts;
        CM_RETURN_CODE rc;
        cmrcv(id, in, &requested, &data, &received, &status, &rts, &rc);
        if (rc != CM_OK) return failed("CMRCV", k, seq, rc);
        if (data != CM_NO_DATA_RECEIVED) {
            if (have_record || data != CM_COMPLETE_DATA_RECEIVED || received != size) {
                fprintf(stderr,
                        "cpicping: conversation %ld, record %ld: echo of %d bytes, %s, expected %ld\n", k + 1,
                        seq - warmup_records + 1, (int)received,
                        have_record ? "a second record" : "one record", size);
                return 3;
            }
            for (long j = 0; j < size; j++) {
                if (in[j] != pattern(seq, k, j)) {
                    fprintf(stderr, "cpicping: conversation %ld, record %ld: byte %ld is %u, expected %u\n",
                            k + 1, seq - warmup_records + 1, j, in[j], pattern(seq, k, j));
                    return 3;
                }
            }
            have_record = 1;
        }
        if (status == CM_SEND_RECEIVED) break;
        if (status != CM_NO_STATUS_RECEIVED) {
            fprintf(stderr, "cpicping: conversation %ld, record %ld: unexpected status %d\n", k + 1,
                    seq - warmup_records + 1, (int)status);
            return 3;
        }
    }
    if (!have_record) {
        fprintf(stderr, "cpicping: conversation %ld, record %ld: the turn came back without data\n", k + 1,
                seq - warmup_records + 1);
        return 3;
    }
    return 0;
}

static void abandon(unsigned char (*ids)[CM_CID_SIZE], long n) {
    for (long k = 0; k < n; k++) {
        CM_DEALLOCATE_TYPE abend = CM_DEALLOCATE_ABEND;
        CM_RETURN_CODE rc;
        cmsdt(ids[k], &abend, &rc);
        cmdeal(ids[k], &rc);
    }
}

static int ping(const struct options *o, unsigned char (*ids)[CM_CID_SIZE], unsigned char *out,
                unsigned char *in) {
    const char *to = o->destination != NULL ? o->destination : o->tp_name;
    double min = 0, max = 0, sum = 0;
    double started = now_us();
    warmup_records = o->warmup;
    for (long k = 0; k < o->conversations; k++) {
        int status = allocate(o, k, ids[k]);
        if (status != 0) {
            abandon(ids, k);
            return status;
        }
    }
    if (!o->quiet) {
        printf("CPICPING %s: %ld records of %ld bytes on %ld conversation%s\n", to, o->count, o->size,
               o->conversations, o->conversations == 1 ? "" : "s");
        fflush(stdout);
    }
    for (long seq = 0; seq < o->warmup + o->count; seq++) {
        if (seq > 0 && o->pause_ms > 0) pause_ms(o->pause_ms);
        double t0 = now_us();
        for (long k = 0; k < o->conversations; k++) {
            for (long j = 0; j < o->size; j++) out[j] = pattern(seq, k, j);
            CM_INT32 length = (CM_INT32)o->size;
            CM_REQUEST_TO_SEND_RECEIVED rts;
            CM_RETURN_CODE rc;
            cmsend(ids[k], out, &length, &rts, &rc);
            if (rc != CM_OK) {
                abandon(ids, o->conversations);
                return failed("CMSEND", k, seq, rc);
            }
        }
        for (long k = 0; k < o->conversations; k++) {
            int status = take_echo(ids[k], k, seq, o->size, in);
            if (status != 0) {
                abandon(ids, o->conversations);
                return status;
            }
        }
        double rtt = now_us() - t0;
        if (seq < o->warmup) continue;
        if (seq == o->warmup || rtt < min) min = rtt;
        if (rtt > max) max = rtt;
        sum += rtt;
        if (!o->quiet) {
            printf("%ld bytes from %s: record=%ld time=%.1f us\n", o->size * o->conversations, to,
                   seq - o->warmup + 1, rtt);
            fflush(stdout); /* one line per record as it comes, also into a pipe */
        }
    }
    for (long k = 0; k < o->conversations; k++) {
        CM_RETURN_CODE rc;
        cmdeal(ids[k], &rc);
        if (rc != CM_OK) {
            abandon(ids + k + 1, o->conversations - k - 1);
            return failed("CMDEAL", k, o->warmup + o->count, rc);
        }
    }
    double elapsed = now_us() - started;
    long records = o->count * o->conversations;
    double bytes = 2.0 * (double)records * (double)o->size;
    printf("--- %s cpicping statistics ---\n", to);
    printf("%ld records echoed, %.0f bytes both ways, all matched, %.1f ms in all\n", records, bytes,
           elapsed / 1e3);
    printf("round trip min/avg/max = %.1f/%.1f/%.1f us, throughput %.2f MB/s\n", min, sum / (double)o->count,
           max, bytes / sum);
    return 0;
}

#ifdef PING_PAIR
int cpicping_main(int argc, char **argv);
int cpicping_main(int argc, char **argv) {
#else
int main(int argc, char **argv) {
#endif
    struct options o;
    int status = parse(argc, argv, &o);
    if (status != 0) return status;
    unsigned char(*ids)[CM_CID_SIZE] = calloc((size_t)o.conversations, sizeof *ids);
    unsigned char *out = malloc((size_t)o.size);
    unsigned char *in = malloc(PING_MAX_SIZE);
    if (ids == NULL || out == NULL || in == NULL) {
        fprintf(stderr, "cpicping: out of memory\n");
        status = 2;
    } else {
        status = ping(&o, ids, out, in);
    }
    free(ids);
    free(out);
    free(in);
    fflush(stdout);
    return status;
}
