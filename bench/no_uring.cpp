// no_uring CMD [ARGS...]: runs CMD with io_uring_setup failing with ENOSYS, as
// on a kernel without io_uring, so that a scanner's synchronous fallback can be
// timed against its ring mode on the same tree. A seccomp filter does it for
// this process tree only; nothing else on the machine is affected.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: no_uring CMD [ARGS...]\n");
        return 2;
    }
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {(unsigned short)(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
        fprintf(stderr, "no_uring: seccomp: %s\n", strerror(errno));
        return 1;
    }
    execvp(argv[1], argv + 1);
    fprintf(stderr, "no_uring: %s: %s\n", argv[1], strerror(errno));
    return 127;
}
