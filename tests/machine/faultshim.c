#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

/* ORVIK_KILL_WRITE=<dir> and ORVIK_KILL_WRITE_NTH=<n>: the n-th write of more than one byte
 * to a file under <dir> puts half of its bytes, then the process is killed. Files are told by
 * directory, not by name: a temporary file may have no name yet (O_TMPFILE).
 * ORVIK_KILL_RENAME=<suffix>: the process is killed just before a file is renamed onto a path
 * ending in <suffix>. ORVIK_FAIL_RENAME=<suffix>: such a rename fails with EIO instead.
 * ORVIK_SWAP_DIR=<dir>: just before <dir> is first opened through a handle of its parent, it is
 * moved to <dir>.aside and replaced by a link to ORVIK_SWAP_LINK, or without one a tmpfs is
 * mounted on it. ORVIK_FAIL_MOUNTINFO=<file>: once <file> exists, the mount table cannot be
 * opened, or with ORVIK_MOUNTINFO_MOUNT=<dir> a tmpfs is first mounted on <dir>.
 * A power cut: ORVIK_CUT_MADE=<suffix> (a path ending in it opened with O_CREAT, renamed or
 * linked onto) or ORVIK_CUT_GONE=<suffix> (unlinked): just after that call, ORVIK_CUT_SYNC is
 * synced, every mount point of the ':'-separated ORVIK_CUT_FS is shut down without flushing
 * its log, and the run's first process with the shim and this one are killed. Children
 * inherit the shim, so a flag made by a child process is hit too. When a shutdown fails, the
 * run goes on (the caller sees no kill). */

static int ends_with(const char *s, const char *suffix) {
    size_t a = strlen(s), b = strlen(suffix);
    return a >= b && strcmp(s + a - b, suffix) == 0;
}

#define GOINGDOWN _IOR('X', 125, unsigned) /* xfs; ext4 takes the same request */
#define GOINGDOWN_NOLOGFLUSH 2u

__attribute__((constructor)) static void note_first_process(void) {
    char pid[32];
    snprintf(pid, sizeof pid, "%d", (int)getpid());
    setenv("ORVIK_CUT_TOP", pid, 0);
}

static int on_fs(const char *mount_point, int shut) {
    unsigned flag = GOINGDOWN_NOLOGFLUSH;
    int fd = open(mount_point, O_RDONLY | O_DIRECTORY);
    int ok = fd >= 0 && (shut ? ioctl(fd, GOINGDOWN, &flag) : syncfs(fd)) == 0;
    if (!ok) fprintf(stderr, "faultshim: %s: %s\n", mount_point, strerror(errno));
    if (fd >= 0) close(fd);
    return ok;
}

static void cut_after(const char *variable, const char *path, long result) {
    const char *suffix = getenv(variable), *list = getenv("ORVIK_CUT_FS");
    const char *first = getenv("ORVIK_CUT_SYNC");
    char copy[PATH_MAX];
    int ok;
    if (result < 0 || !suffix || !list || !path || !ends_with(path, suffix)) return;
    ok = !first || !*first || on_fs(first, 0);
    snprintf(copy, sizeof copy, "%s", list);
    for (char *fs = strtok(copy, ":"); fs; fs = strtok(NULL, ":")) ok = on_fs(fs, 1) && ok;
    if (!ok) return;
    kill(atoi(getenv("ORVIK_CUT_TOP")), SIGKILL);
    kill(getpid(), SIGKILL);
}

static int refused_rename_onto(const char *target) {
    const char *suffix = getenv("ORVIK_KILL_RENAME");
    if (suffix && target && ends_with(target, suffix)) kill(getpid(), SIGKILL);
    suffix = getenv("ORVIK_FAIL_RENAME");
    if (suffix && target && ends_with(target, suffix)) {
        errno = EIO;
        return 1;
    }
    return 0;
}

ssize_t write(int fd, const void *buf, size_t n) {
    static ssize_t (*real)(int, const void *, size_t);
    if (!real) real = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    static int seen;
    const char *dir = getenv("ORVIK_KILL_WRITE");
    const char *nth = getenv("ORVIK_KILL_WRITE_NTH");
    if (dir && n > 1) {
        char link[64], path[PATH_MAX];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t len = readlink(link, path, sizeof path - 1);
        if (len > 0) {
            path[len] = 0;
            if (strncmp(path, dir, strlen(dir)) == 0 && ++seen == (nth ? atoi(nth) : 1)) {
                real(fd, buf, n / 2);
                kill(getpid(), SIGKILL);
            }
        }
    }
    return real(fd, buf, n);
}

static void swap_before_openat(int dirfd, const char *name) {
    static int done;
    const char *dir = getenv("ORVIK_SWAP_DIR"), *link = getenv("ORVIK_SWAP_LINK");
    const char *slash = dir ? strrchr(dir, '/') : NULL;
    char fd[64], parent[PATH_MAX], aside[PATH_MAX];
    snprintf(fd, sizeof fd, "/proc/self/fd/%d", dirfd);
    ssize_t len = readlink(fd, parent, sizeof parent);
    if (done || !slash || len != slash - dir || strncmp(parent, dir, len) != 0 ||
        strcmp(name, slash + 1) != 0)
        return;
    done = 1;
    if (!link) {
        mount("swapped", dir, "tmpfs", 0, NULL);
        return;
    }
    snprintf(aside, sizeof aside, "%s.aside", dir);
    rename(dir, aside);
    symlink(link, dir);
}

int openat(int dirfd, const char *name, int flags, ...) {
    static int (*real)(int, const char *, int, ...);
    if (!real) real = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, "openat");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    swap_before_openat(dirfd, name);
    int fd = real(dirfd, name, flags, mode);
    if (flags & O_CREAT) cut_after("ORVIK_CUT_MADE", name, fd);
    return fd;
}

static int open_made(const char *symbol, const char *path, int flags, mode_t mode) {
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, symbol);
    int fd = real(path, flags, mode);
    if (flags & O_CREAT) cut_after("ORVIK_CUT_MADE", path, fd);
    return fd;
}

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return open_made("open", path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    const char *after = getenv("ORVIK_FAIL_MOUNTINFO");
    const char *over = getenv("ORVIK_MOUNTINFO_MOUNT");
    static int mounted;
    if (after && strcmp(path, "/proc/self/mountinfo") == 0 && access(after, F_OK) == 0) {
        if (over) {
            if (!mounted++) mount("above", over, "tmpfs", 0, NULL);
        } else {
            errno = EACCES;
            return -1;
        }
    }
    return open_made("open64", path, flags, mode);
}

int rename(const char *from, const char *to) {
    static int (*real)(const char *, const char *);
    if (!real) real = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
    if (refused_rename_onto(to)) return -1;
    int result = real(from, to);
    cut_after("ORVIK_CUT_MADE", to, result);
    return result;
}

int renameat(int fromdir, const char *from, int todir, const char *to) {
    static int (*real)(int, const char *, int, const char *);
    if (!real) real = (int (*)(int, const char *, int, const char *))dlsym(RTLD_NEXT, "renameat");
    if (refused_rename_onto(to)) return -1;
    int result = real(fromdir, from, todir, to);
    cut_after("ORVIK_CUT_MADE", to, result);
    return result;
}

int renameat2(int fromdir, const char *from, int todir, const char *to, unsigned flags) {
    static int (*real)(int, const char *, int, const char *, unsigned);
    if (!real)
        real = (int (*)(int, const char *, int, const char *, unsigned))dlsym(RTLD_NEXT,
                                                                             "renameat2");
    if (refused_rename_onto(to)) return -1;
    int result = real(fromdir, from, todir, to, flags);
    cut_after("ORVIK_CUT_MADE", to, result);
    return result;
}

int linkat(int fromdir, const char *from, int todir, const char *to, int flags) {
    static int (*real)(int, const char *, int, const char *, int);
    if (!real) real = (int (*)(int, const char *, int, const char *, int))dlsym(RTLD_NEXT, "linkat");
    int result = real(fromdir, from, todir, to, flags);
    cut_after("ORVIK_CUT_MADE", to, result);
    return result;
}

int unlink(const char *path) {
    static int (*real)(const char *);
    if (!real) real = (int (*)(const char *))dlsym(RTLD_NEXT, "unlink");
    int result = real(path);
    cut_after("ORVIK_CUT_GONE", path, result);
    return result;
}

int unlinkat(int dirfd, const char *path, int flags) {
    static int (*real)(int, const char *, int);
    if (!real) real = (int (*)(int, const char *, int))dlsym(RTLD_NEXT, "unlinkat");
    int result = real(dirfd, path, flags);
    cut_after("ORVIK_CUT_GONE", path, result);
    return result;
}

/* ORVIK_FAIL_FSYNC=<path>: fsync of the file or directory at <path> fails with EIO. */
int fsync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    const char *failing = getenv("ORVIK_FAIL_FSYNC");
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t len = failing ? readlink(link, path, sizeof path - 1) : -1;
    if (len > 0) {
        path[len] = 0;
        if (strcmp(path, failing) == 0) {
            errno = EIO;
            return -1;
        }
    }
    return real(fd);
}
