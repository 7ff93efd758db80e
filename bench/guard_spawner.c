/* The floor for the guard's clean-up: check, delete, check, cache flush, spawned back to back
 * with their output on a pipe and waited for, nothing else. Like the guard it says "HAZIR",
 * waits for the end of its input, then runs them and exits, so that both can be timed alike
 * from outside; it also prints the microseconds the four commands took by themselves. */
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static void run(char* const argv[]) {
    int out[2];
    pipe(out);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &fa, NULL, argv, environ) == 0) {
        close(out[1]);
        char buf[4096];
        while (read(out[0], buf, sizeof buf) > 0) {}
        waitpid(pid, NULL, 0);
    } else {
        close(out[1]);
    }
    close(out[0]);
    posix_spawn_file_actions_destroy(&fa);
}

#define RULE "OUTPUT", "-p", "udp", "-d", "127.0.0.53", "--dport", "53", "-j", "DNAT", \
             "--to-destination", "127.0.0.1:5354", NULL

int main(void) {
    char buf[4096];
    fputs("HAZIR\n", stdout);
    fflush(stdout);
    while (read(0, buf, sizeof buf) > 0) {}
    char* const check[] = {"iptables", "-w", "5", "-t", "nat", "-C", RULE};
    char* const del[] = {"iptables", "-w", "5", "-t", "nat", "-D", RULE};
    char* const flush[] = {"resolvectl", "flush-caches", NULL};
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    run(check);
    run(del);
    run(check);
    run(flush);
    clock_gettime(CLOCK_MONOTONIC, &b);
    printf("%ld\n", (b.tv_sec - a.tv_sec) * 1000000L + (b.tv_nsec - a.tv_nsec) / 1000);
    return 0;
}
