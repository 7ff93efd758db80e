/* The floor for an idle guard: only the 5 s wait on stdin and the two shield probes, no
 * runtime, no seams. Ends at the end of its input. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int listening(void) {
    static char buf[65536];
    int fd = open("/proc/net/udp", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t len = 0;
    ssize_t n;
    while ((n = read(fd, buf + len, sizeof buf - 1 - len)) > 0) len += (size_t)n;
    close(fd);
    buf[len] = 0;
    return strstr(buf, " 0100007F:14EA ") != NULL;
}

static int answers(void) {
    static const char q[] = "\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                            "\x0b" "adtrackerzz" "\x03" "com" "\x00\x00\x01\x00\x01";
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons(5354),
                            .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    unsigned char r[512];
    int ok = 0;
    if (connect(s, (struct sockaddr*)&a, sizeof a) == 0 && send(s, q, 33, 0) == 33) {
        struct pollfd p = {s, POLLIN, 0};
        if (poll(&p, 1, 3000) == 1 && recv(s, r, sizeof r, 0) >= 2) ok = r[0] == 0x12 && r[1] == 0x34;
    }
    close(s);
    return ok;
}

int main(void) {
    char buf[4096];
    for (;;) {
        struct pollfd p = {0, POLLIN, 0};
        if (poll(&p, 1, 5000) == 1 && read(0, buf, sizeof buf) <= 0) return 0;
        if (!(listening() && answers())) return 1;
    }
}
