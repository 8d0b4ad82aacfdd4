// The real system calls behind g_sys.
#include "fr2_sys.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

static int sys_io_uring_setup(unsigned entries, struct io_uring_params *params) {
    return int(syscall(__NR_io_uring_setup, entries, params));
}

static int sys_io_uring_enter(int fd, unsigned to_submit, unsigned min_complete, unsigned flags) {
    return int(syscall(__NR_io_uring_enter, fd, to_submit, min_complete, flags, nullptr, 0));
}

static int sys_io_uring_register(int fd, unsigned opcode, void *arg, unsigned nr_args) {
    return int(syscall(__NR_io_uring_register, fd, opcode, arg, nr_args));
}

static long sys_getdents64(int fd, void *buf, size_t len) {
    return syscall(SYS_getdents64, fd, buf, len);
}

static int sys_statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *buf) {
    return statx(dirfd, path, flags, mask, buf);
}

static int sys_open(const char *path, int flags) { return open(path, flags); }

constexpr fr2_sys fr2_sys_linux = {
    sys_io_uring_setup, sys_io_uring_enter, sys_io_uring_register, mmap, munmap,
    sys_getdents64,     sys_statx,          sys_open,              lseek,
};

fr2_sys g_sys = fr2_sys_linux;
