/* The floor run_cmd is measured against: the least a spawn with both streams captured can do. */
#define _GNU_SOURCE /* pipe2 */
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

/* Runs argv n times (posix_spawnp, both pipes read to their end with poll, waitpid) and
   returns how many runs could not be started or did not exit 0. */
int spawn_floor_run(char *const argv[], int n) {
    static char buf[65536];
    int failed = 0;
    for (int i = 0; i < n; ++i) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return n;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
        pid_t pid;
        const int e = posix_spawnp(&pid, argv[0], &fa, NULL, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(err[1]);
        struct pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        int open = 2;
        while (e == 0 && open > 0) {
            if (poll(p, 2, -1) < 0) continue;
            for (int j = 0; j < 2; ++j) {
                if (p[j].fd < 0 || p[j].revents == 0) continue;
                if (read(p[j].fd, buf, sizeof buf) <= 0) {
                    close(p[j].fd);
                    p[j].fd = -1; /* poll skips negative descriptors */
                    --open;
                }
            }
        }
        if (e != 0) {
            close(out[0]);
            close(err[0]);
            ++failed;
            continue;
        }
        int st;
        while (waitpid(pid, &st, 0) < 0) {
        }
        failed += !(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    return failed;
}
