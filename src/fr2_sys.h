// The system calls through which the walker reads directories and fetches
// metadata, as one record of function pointers. The program uses the real
// ones; tests put their own in place to inject faults (an interrupted call, a
// short submit, a lost completion) without a special file system.
#pragma once

#include <linux/io_uring.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

struct fr2_sys {
    int (*io_uring_setup)(unsigned entries, struct io_uring_params *params);
    int (*io_uring_enter)(int fd, unsigned to_submit, unsigned min_complete, unsigned flags);
    int (*io_uring_register)(int fd, unsigned opcode, void *arg, unsigned nr_args);
    void *(*mmap)(void *addr, size_t len, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void *addr, size_t len);
    long (*getdents64)(int fd, void *buf, size_t len);
    int (*statx)(int dirfd, const char *path, int flags, unsigned mask, struct statx *buf);
    int (*open)(const char *path, int flags);  // no O_CREAT: no mode
    off_t (*lseek)(int fd, off_t offset, int whence);
};

// The real calls.
extern const fr2_sys fr2_sys_linux;
// What the walker calls; fr2_sys_linux unless a test replaced it before the
// walk started.
extern fr2_sys g_sys;
