// Replacing a file whole; see fr2_replace.h.
#include "fr2_replace.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int fr2_replace_file(const char *path, const char *data, size_t len, const char **what) {
    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.tmp", path) >= int(sizeof tmp)) {
        errno = ENAMETOOLONG;
        *what = "name";
        return -1;
    }
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *what = "open";
        return -1;
    }
    const char *p = data;
    size_t left = len;
    while (left > 0) {
        ssize_t put = write(fd, p, left);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = ENOSPC;
            *what = "write";
            goto failed;
        }
        p += put;
        left -= size_t(put);
    }
    if (fsync(fd) != 0) {
        *what = "fsync";
        goto failed;
    }
    if (close(fd) != 0) {
        fd = -1;
        *what = "close";
        goto failed;
    }
    fd = -1;
    if (rename(tmp, path) != 0) {
        *what = "rename";
        goto failed;
    }
    {
        char dir[PATH_MAX];
        snprintf(dir, sizeof dir, "%s", path);
        char *slash = strrchr(dir, '/');
        if (slash == dir)
            dir[1] = 0;
        else if (slash)
            *slash = 0;
        else
            strcpy(dir, ".");
        int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            int rc = fsync(dfd);
            int err = errno;
            close(dfd);
            if (rc != 0) {
                errno = err;
                *what = "fsync of the folder";
                return -1;
            }
        }
    }
    return 0;
failed:
    int err = errno;
    if (fd >= 0) close(fd);
    unlink(tmp);
    errno = err;
    return -1;
}
