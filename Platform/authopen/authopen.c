/* Stand-in for the privileged open helper:
 *   authopen -stdoutpipe -o <flags> <path>
 * opens path with the given flags and passes the descriptor over standard
 * output, which must be a UNIX socket, as SCM_RIGHTS. Exits non-zero without
 * sending anything when it cannot. A desktop user who is not root is asked for
 * the administrator password through pkexec. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int usage(void) {
    fprintf(stderr, "brug: authopen -stdoutpipe -o <flag> <sti>\n");
    return 64;
}

static int sendDescriptor(int socket, int fd) {
    char byte = 0;
    struct iovec iov = {.iov_base = &byte, .iov_len = 1};
    union {
        struct cmsghdr header;
        char space[CMSG_SPACE(sizeof(int))];
    } control;
    memset(&control, 0, sizeof control);
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control.space;
    message.msg_controllen = sizeof control.space;
    struct cmsghdr *c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    ssize_t sent;
    do {
        sent = sendmsg(socket, &message, 0);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -1 : 0;
}

int main(int argc, char **argv) {
    if (argc != 5 || strcmp(argv[1], "-stdoutpipe") != 0 || strcmp(argv[2], "-o") != 0) return usage();
    char *end = NULL;
    long flags = strtol(argv[3], &end, 10);
    if (!end || *end != '\0') return usage();
    const char *path = argv[4];

    int fd = open(path, (int)flags | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        /* Not permitted: let the desktop ask for the administrator password. */
        if ((error == EACCES || error == EPERM) && geteuid() != 0 &&
            (getenv("DISPLAY") || getenv("WAYLAND_DISPLAY")) && access("/usr/bin/pkexec", X_OK) == 0) {
            char self[4096];
            ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
            if (n > 0) {
                self[n] = '\0';
                execl("/usr/bin/pkexec", "pkexec", self, argv[1], argv[2], argv[3], argv[4], (char *)NULL);
            }
        }
        fprintf(stderr, "authopen: %s: %s\n", path, strerror(error));
        return error > 0 && error < 256 ? error : 1;
    }
    if (sendDescriptor(1, fd) != 0) {
        fprintf(stderr, "authopen: kunne ikke sende beskrivelsen: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
