/* Preloaded into the service by the black-box tests: sends on accepted connections as on a slow or
 * limited system. KV_SHIM_SEND_BYTES=N: each sendmsg or sendfile takes 1 to N bytes. KV_SHIM_EAGAIN_EVERY=N
 * (with it): every Nth fails with EAGAIN while bytes sent earlier are unread (their reading wakes the waiting sender).
 * KV_SHIM_SENDFILE_EINVAL=1: sendfile at offset 0 fails with EINVAL (the kernel copy refused).
 * KV_SHIM_SENDFILE_WAIT=1: sendfile waits (up to a second) for room, as for a reader that always keeps up. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#define MAX_FD 65536
#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static unsigned char accepted[MAX_FD];  /* descriptors that accept4 returned */
static unsigned long calls;

static long setting(const char* name) { return getenv(name) != NULL ? atol(getenv(name)) : 0; }
static int is_accepted(int fd) { return fd >= 0 && fd < MAX_FD && accepted[fd]; }

/* Whether this call is refused. SIOCOUTQ counts sent buffers' memory, one unit more while they wake senders. */
static int refuse_now(int fd)
{
    const long every = setting("KV_SHIM_EAGAIN_EVERY");
    int unread = 0;
    if (every <= 0 || ++calls % (unsigned long)every != 0 || ioctl(fd, SIOCOUTQ, &unread) != 0 || unread <= 1)
        return 0;
    return errno = EAGAIN, 1;
}

/* How many of wanted bytes this call takes: 1 to the limit, varying from call to call. */
static size_t short_count(size_t wanted)
{
    const long limit = setting("KV_SHIM_SEND_BYTES");
    const size_t allowed = limit > 0 ? 1 + (size_t)(++calls % (unsigned long)limit) : wanted;
    return allowed < wanted ? allowed : wanted;
}

int accept4(int fd, struct sockaddr* address, socklen_t* length, int flags)
{
    const int connection = REAL(accept4)(fd, address, length, flags);
    return connection >= 0 && connection < MAX_FD ? (accepted[connection] = 1, connection) : connection;
}

ssize_t sendmsg(int fd, const struct msghdr* message, int flags)
{
    if (!is_accepted(fd) || setting("KV_SHIM_SEND_BYTES") <= 0)
        return REAL(sendmsg)(fd, message, flags);
    if (refuse_now(fd))
        return -1;
    /* The first piece that is not empty, cut after the bytes this call takes. */
    struct msghdr shorter = *message;
    struct iovec piece = {NULL, 0};
    for (size_t i = 0; i < (size_t)message->msg_iovlen && piece.iov_len == 0; ++i)
        piece = message->msg_iov[i];
    piece.iov_len = short_count(piece.iov_len);
    shorter.msg_iov = &piece;
    shorter.msg_iovlen = 1;
    return REAL(sendmsg)(fd, &shorter, flags);
}

ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count)
{
    if (!is_accepted(out_fd))
        return REAL(sendfile)(out_fd, in_fd, offset, count);
    if (setting("KV_SHIM_SENDFILE_EINVAL") && offset != NULL && *offset == 0)
        return errno = EINVAL, -1;
    if (refuse_now(out_fd))
        return -1;
    struct pollfd room = {out_fd, POLLOUT, 0};
    if (setting("KV_SHIM_SENDFILE_WAIT"))
        poll(&room, 1, 1000);
    return REAL(sendfile)(out_fd, in_fd, offset, short_count(count));
}
