#define _GNU_SOURCE
#include "CSovanta.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/fs.h>
#endif

extern char **environ;

int sovanta_authopen(const char *helper, const char *path, int flags, int *error) {
    if (error) *error = 0;
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        if (error) *error = errno;
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], 1);
    posix_spawn_file_actions_addclose(&actions, sockets[0]);
    char flagText[32];
    snprintf(flagText, sizeof flagText, "%d", flags);
    char *argv[] = {(char *)helper, "-stdoutpipe", "-o", flagText, (char *)path, NULL};
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, helper, &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(sockets[1]);
    if (spawned != 0) {
        close(sockets[0]);
        if (error) *error = spawned;
        return -1;
    }

    char data[64];
    union {
        struct cmsghdr header;
        char space[CMSG_SPACE(sizeof(int))];
    } control;
    memset(&control, 0, sizeof control);
    struct iovec iov = {.iov_base = data, .iov_len = sizeof data};
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control.space;
    message.msg_controllen = sizeof control.space;
    ssize_t got;
    do {
        got = recvmsg(sockets[0], &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    int fd = -1;
    if (got > 0) {
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&message); c != NULL; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                memcpy(&fd, CMSG_DATA(c), sizeof fd);
                break;
            }
        }
    }
    close(sockets[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (fd >= 0) return fd;
    if (error) *error = (WIFEXITED(status) && WEXITSTATUS(status) != 0) ? WEXITSTATUS(status) : 13;
    return -1;
}

int sovanta_device_geometry(int fd, uint32_t *blockSize, uint64_t *blockCount) {
#ifdef __linux__
    int logical = 0;
    uint64_t bytes = 0;
    if (ioctl(fd, BLKSSZGET, &logical) != 0 || logical <= 0) return -1;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
    *blockSize = (uint32_t)logical;
    *blockCount = bytes / (uint64_t)logical;
    return 0;
#else
    if (ioctl(fd, 0x40046418, blockSize) != 0) return -1;
    if (ioctl(fd, 0x40086419, blockCount) != 0) return -1;
    return 0;
#endif
}

int sovanta_set_nocache(int fd) {
#ifdef __linux__
    return posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
#else
    return fcntl(fd, 48, 1);
#endif
}
