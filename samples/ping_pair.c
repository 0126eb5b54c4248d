/* SPDX-License-Identifier: Apache-2.0 */
/*
 * cpicping and cpicpingd in one process: the echo TP runs on a thread of
 * its own and registers its TP name; cpicping allocates to it by the
 * symbolic destination name PING and times its records. The node's
 * loopback engine carries the conversation between the two threads.
 *
 *   ZORVEL_ENGINE=loopback ZORVEL_CONFIG=<build>/samples/node.toml ping_pair [cpicping options]
 *
 * Options -C N make the echo TP hold N conversations at once as well.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

int cpicping_main(int argc, char **argv);
int cpicpingd_main(int argc, char **argv);

static char at_once[16] = "1";

static void *serve(void *result) {
    char *argv[] = {"cpicpingd", "-m", at_once, "-n", at_once, "CPICPINGD", NULL};
    *(int *)result = cpicpingd_main(6, argv);
    return NULL;
}

int main(int argc, char **argv) {
    char *ping_argv[64] = {"cpicping"};
    int n = 1;
    for (int i = 1; i < argc && n < 62; i++) {
        if (strcmp(argv[i], "-C") == 0 && i + 1 < argc) snprintf(at_once, sizeof at_once, "%s", argv[i + 1]);
        ping_argv[n++] = argv[i];
    }
    ping_argv[n++] = "PING";
    pthread_t server;
    int server_result = 2;
    if (pthread_create(&server, NULL, serve, &server_result) != 0) {
        fprintf(stderr, "ping_pair: cannot start the echo thread\n");
        return 2;
    }
    int client_result = cpicping_main(n, ping_argv);
    pthread_join(server, NULL);
    return client_result != 0 ? client_result : server_result;
}
