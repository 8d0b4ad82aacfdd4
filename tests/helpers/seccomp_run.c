/*
 * seccomp_run — run a command with io_uring made unavailable or broken, to
 * test a program's fallbacks without a kernel that lacks io_uring.
 *
 * Usage:
 *   seccomp_run [--fail-setup[=ERR]] [--fail-enter[=ERR]] [--fail-wait[=ERR]]
 *               [--fail-register[=ERR]] -- CMD [ARGS...]
 *
 *   --fail-setup[=ERR]     io_uring_setup fails with ERR (default ENOSYS: as on a
 *                          kernel built without io_uring)
 *   --fail-enter[=ERR]     io_uring_enter fails with ERR (default EPERM: a hard
 *                          failure, unlike EINTR or EAGAIN that callers retry);
 *                          io_uring_setup still works, so rings are created
 *                          and then cannot submit or wait
 *   --fail-wait[=ERR]      only the io_uring_enter calls that wait for
 *                          completions (IORING_ENTER_GETEVENTS) fail with ERR
 *                          (default EPERM): requests are submitted and run,
 *                          but their completions are never waited for
 *   --fail-register[=ERR]  io_uring_register fails with ERR (default EPERM)
 *
 * ERR is a number or one of EPERM ENOSYS EINVAL ENOMEM EFAULT EBADF EBUSY
 * EAGAIN EINTR EOPNOTSUPP. At least one --fail option is needed. Every other
 * system call is allowed. The filter is a hand-built classic BPF program
 * installed with no_new_privs; it is inherited by the command's threads and
 * children and cannot be removed.
 *
 * Exit status: the command's (it is exec'd); 125 when the filter cannot be
 * installed or the command line is wrong; 126/127 when CMD cannot be run.
 */
#define _GNU_SOURCE

#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/io_uring.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define AUDIT_ARCH_HERE AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define AUDIT_ARCH_HERE AUDIT_ARCH_AARCH64
#elif defined(__i386__)
#define AUDIT_ARCH_HERE AUDIT_ARCH_I386
#elif defined(__riscv) && __riscv_xlen == 64
#define AUDIT_ARCH_HERE AUDIT_ARCH_RISCV64
#else
#error "seccomp_run: unknown architecture"
#endif

// The io_uring calls have the same numbers on every architecture.
#ifndef __NR_io_uring_setup
#define __NR_io_uring_setup 425
#endif
#ifndef __NR_io_uring_enter
#define __NR_io_uring_enter 426
#endif
#ifndef __NR_io_uring_register
#define __NR_io_uring_register 427
#endif

static const struct {
    const char *name;
    int value;
} errnames[] = {
    {"EPERM", EPERM}, {"ENOSYS", ENOSYS}, {"EINVAL", EINVAL}, {"ENOMEM", ENOMEM},
    {"EFAULT", EFAULT}, {"EBADF", EBADF}, {"EBUSY", EBUSY}, {"EAGAIN", EAGAIN},
    {"EINTR", EINTR}, {"EOPNOTSUPP", EOPNOTSUPP},
};

static void usage(void) {
    fprintf(stderr, "usage: seccomp_run [--fail-setup[=ERR]] [--fail-enter[=ERR]] "
                    "[--fail-wait[=ERR]] [--fail-register[=ERR]] -- CMD [ARGS...]\n");
    exit(125);
}

static int parse_errno(const char *s) {
    for (size_t i = 0; i < sizeof errnames / sizeof errnames[0]; i++)
        if (strcmp(s, errnames[i].name) == 0) return errnames[i].value;
    char *end;
    long v = strtol(s, &end, 10);
    if (end == s || *end || v < 1 || v > 4095) {
        fprintf(stderr, "seccomp_run: bad errno '%s'\n", s);
        exit(125);
    }
    return (int)v;
}

// Matches "--fail-NAME" or "--fail-NAME=ERR"; returns the errno, 0 for no match.
static int match(const char *arg, const char *opt, int dflt) {
    size_t n = strlen(opt);
    if (strncmp(arg, opt, n) != 0) return 0;
    if (arg[n] == 0) return dflt;
    if (arg[n] == '=') return parse_errno(arg + n + 1);
    return 0;
}

int main(int argc, char **argv) {
    int fail_setup = 0, fail_enter = 0, fail_wait = 0, fail_register = 0;
    int i = 1;
    for (; i < argc; i++) {
        const char *a = argv[i];
        int e;
        if (strcmp(a, "--") == 0) {
            i++;
            break;
        } else if ((e = match(a, "--fail-setup", ENOSYS))) {
            fail_setup = e;
        } else if ((e = match(a, "--fail-enter", EPERM))) {
            fail_enter = e;
        } else if ((e = match(a, "--fail-wait", EPERM))) {
            fail_wait = e;
        } else if ((e = match(a, "--fail-register", EPERM))) {
            fail_register = e;
        } else {
            fprintf(stderr, "seccomp_run: unknown option '%s'\n", a);
            usage();
        }
    }
    if (i >= argc || !(fail_setup || fail_enter || fail_wait || fail_register)) usage();
    if (!fail_wait) fail_wait = fail_enter;

#define ACTION(err) ((err) ? SECCOMP_RET_ERRNO | ((unsigned)(err) & SECCOMP_RET_DATA) : SECCOMP_RET_ALLOW)
    struct sock_filter filter[] = {
        // A call made under another ABI (say, 32-bit on a 64-bit kernel) has
        // other numbers: leave it alone rather than match the wrong call.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_HERE, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, ACTION(fail_setup)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_enter, 0, 4),
        // The flags argument: its low word comes first on the little-endian
        // machines above.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[3])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, IORING_ENTER_GETEVENTS, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, ACTION(fail_wait)),
        BPF_STMT(BPF_RET | BPF_K, ACTION(fail_enter)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_register, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, ACTION(fail_register)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
#undef ACTION
    struct sock_fprog prog = {(unsigned short)(sizeof filter / sizeof filter[0]), filter};

    // no_new_privs lets an unprivileged caller install a filter, and keeps a
    // set-uid program from running under it with more rights.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        fprintf(stderr, "seccomp_run: prctl(PR_SET_NO_NEW_PRIVS): %s\n", strerror(errno));
        return 125;
    }
    // SECCOMP_FILTER_FLAG_TSYNC is not needed: this process has one thread, and
    // the filter passes to every thread and child created after exec.
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0 &&
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) {
        fprintf(stderr, "seccomp_run: cannot install the seccomp filter: %s\n", strerror(errno));
        return 125;
    }
    execvp(argv[i], argv + i);
    int e = errno;
    fprintf(stderr, "seccomp_run: %s: %s\n", argv[i], strerror(e));
    return e == ENOENT ? 127 : 126;
}
