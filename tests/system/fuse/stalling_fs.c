/* A file system served from user space that never answers where the tests ask it not to:
 *   /dead/<any>    a lookup in this directory never gets an answer (a path the caller names
 *                  as --conf; lookups wait for each other within one directory);
 *   /hold-<comm>   a readable file whose flush never gets an answer when the process that
 *                  closes it is named <comm> (the caller's standard input, held in close).
 * Every other request is answered at once. Multithreaded, so a held request holds only itself.
 * Usage: stalling_fs MOUNTPOINT (stays in the foreground; SIGKILL it to fail what it holds). */
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kContent[] = "line\n";

static void hold_forever(void) {
    for (;;) pause();
}

static int fs_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0 || strcmp(path, "/dead") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strncmp(path, "/dead/", 6) == 0) hold_forever();
    if (strncmp(path, "/hold-", 6) == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = sizeof kContent - 1;
        return 0;
    }
    return -ENOENT;
}

static int fs_open(const char* path, struct fuse_file_info* fi) {
    (void)path;
    (void)fi;
    return 0;
}

static int fs_read(const char* path, char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
    (void)path;
    (void)fi;
    const size_t len = sizeof kContent - 1;
    if ((size_t)off >= len) return 0;
    if (size > len - (size_t)off) size = len - (size_t)off;
    memcpy(buf, kContent + off, size);
    return (int)size;
}

static int fs_flush(const char* path, struct fuse_file_info* fi) {
    (void)fi;
    if (strncmp(path, "/hold-", 6) != 0) return 0;
    char file[64], comm[64] = "";
    snprintf(file, sizeof file, "/proc/%d/comm", (int)fuse_get_context()->pid);
    FILE* f = fopen(file, "r");
    if (f) {
        if (fgets(comm, sizeof comm, f)) comm[strcspn(comm, "\n")] = '\0';
        fclose(f);
    }
    if (strcmp(comm, path + 6) == 0) hold_forever();
    return 0;
}

static const struct fuse_operations kOps = {
    .getattr = fs_getattr,
    .open = fs_open,
    .read = fs_read,
    .flush = fs_flush,
};

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s MOUNTPOINT\n", argv[0]);
        return 2;
    }
    char* args[] = {argv[0], "-f", "-o", "allow_other,default_permissions", argv[1], NULL};
    return fuse_main(5, args, &kOps, NULL);
}
