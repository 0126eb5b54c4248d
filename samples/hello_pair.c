/* SPDX-License-Identifier: Apache-2.0 */
/*
 * hello_client and hello_server in one process: the server runs on a
 * thread of its own, registers its TP name and waits in Accept; the client
 * allocates to it by the symbolic destination name HELLO. The node's
 * loopback engine carries the conversation between the two threads, so
 * nothing but this process is needed.
 *
 *   ZORVEL_CONFIG=samples/hello.toml hello_pair
 */
#include <pthread.h>
#include <stdio.h>

int hello_client(const char *name);
int hello_server(const char *local_tp_name);

static void *serve(void *result) {
    *(int *)result = hello_server("HELLOSRV");
    return NULL;
}

int main(void) {
    pthread_t server;
    int server_result = 1;
    if (pthread_create(&server, NULL, serve, &server_result) != 0) {
        fprintf(stderr, "hello_pair: cannot start the server thread\n");
        return 1;
    }
    int client_result = hello_client("HELLO");
    pthread_join(server, NULL);
    return client_result != 0 || server_result != 0;
}
