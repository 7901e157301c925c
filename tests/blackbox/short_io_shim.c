/* Preloaded into the service by the black-box tests: makes the sends on accepted connections
 * behave like a slow or limited system's. Settings, from the environment:
 *   KV_SHIM_SEND_BYTES=N      each sendmsg/send takes 1 to N bytes (default: all)
 *   KV_SHIM_SENDFILE_BYTES=N  each sendfile takes 1 to N bytes (default: all)
 *   KV_SHIM_EAGAIN_EVERY=N    every Nth send or sendfile fails with EAGAIN, sending nothing,
 *                             while the peer has bytes unread (as the system does: their reading
 *                             is what tells a waiting sender that there is room again)
 *   KV_SHIM_SNDBUF=N          accepted sockets get SO_SNDBUF N (the system rounds it up)
 *   KV_SHIM_SENDFILE_EINVAL=1 sendfile at offset 0 fails with EINVAL (a refused kernel copy)
 *   KV_SHIM_SENDFILE_WAIT=1   sendfile first waits (up to a second) for room: a reader that
 *                             always keeps up, so the socket never answers EAGAIN */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#define MAX_FD 65536

static unsigned char accepted[MAX_FD];  /* descriptors that accept4 returned */
static long send_bytes, sendfile_bytes, eagain_every, sndbuf;
static int sendfile_einval, sendfile_wait;
static unsigned long calls;

static long setting(const char* name)
{
    const char* text = getenv(name);
    return text != NULL ? atol(text) : 0;
}

__attribute__((constructor)) static void read_settings(void)
{
    send_bytes = setting("KV_SHIM_SEND_BYTES");
    sendfile_bytes = setting("KV_SHIM_SENDFILE_BYTES");
    eagain_every = setting("KV_SHIM_EAGAIN_EVERY");
    sndbuf = setting("KV_SHIM_SNDBUF");
    sendfile_einval = setting("KV_SHIM_SENDFILE_EINVAL") != 0;
    sendfile_wait = setting("KV_SHIM_SENDFILE_WAIT") != 0;
}

static int is_accepted(int fd) { return fd >= 0 && fd < MAX_FD && accepted[fd]; }

/* Whether this call on fd is refused with EAGAIN: only while a buffer of the socket's is still
 * unread (SIOCOUTQ counts a buffer's whole memory; the kernel holds one unit more for a moment
 * while it tells waiting senders about room, after the buffer has been read). */
static int refuse_now(int fd)
{
    int unread = 0;
    return eagain_every > 0 && ++calls % (unsigned long)eagain_every == 0 && ioctl(fd, SIOCOUTQ, &unread) == 0 &&
           unread > 1;
}

/* How many of wanted bytes this call takes: 1 to limit, varying from call to call. */
static size_t short_count(size_t wanted, long limit)
{
    if (limit <= 0 || wanted <= 1)
        return wanted;
    const size_t allowed = 1 + (size_t)(++calls % (unsigned long)limit);
    return allowed < wanted ? allowed : wanted;
}

int accept4(int fd, struct sockaddr* address, socklen_t* length, int flags)
{
    static int (*real)(int, struct sockaddr*, socklen_t*, int);
    if (real == NULL)
        real = (int (*)(int, struct sockaddr*, socklen_t*, int))dlsym(RTLD_NEXT, "accept4");
    const int connection = real(fd, address, length, flags);
    if (connection >= 0 && connection < MAX_FD) {
        accepted[connection] = 1;
        if (sndbuf > 0) {
            const int size = (int)sndbuf;
            setsockopt(connection, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        }
    }
    return connection;
}

ssize_t sendmsg(int fd, const struct msghdr* message, int flags)
{
    static ssize_t (*real)(int, const struct msghdr*, int);
    if (real == NULL)
        real = (ssize_t (*)(int, const struct msghdr*, int))dlsym(RTLD_NEXT, "sendmsg");
    if (!is_accepted(fd))
        return real(fd, message, flags);
    if (refuse_now(fd)) {
        errno = EAGAIN;
        return -1;
    }
    size_t total = 0;
    for (size_t i = 0; i < (size_t)message->msg_iovlen; ++i)
        total += message->msg_iov[i].iov_len;
    size_t left = short_count(total, send_bytes);
    /* The same message with its pieces cut after the bytes this call takes. */
    struct iovec pieces[64];
    struct msghdr shorter = *message;
    size_t count = 0;
    for (size_t i = 0; i < (size_t)message->msg_iovlen && left > 0 && count < 64; ++i) {
        pieces[count] = message->msg_iov[i];
        if (pieces[count].iov_len > left)
            pieces[count].iov_len = left;
        left -= pieces[count].iov_len;
        ++count;
    }
    shorter.msg_iov = pieces;
    shorter.msg_iovlen = count;
    return real(fd, &shorter, flags);
}

ssize_t send(int fd, const void* data, size_t size, int flags)
{
    static ssize_t (*real)(int, const void*, size_t, int);
    if (real == NULL)
        real = (ssize_t (*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
    if (!is_accepted(fd))
        return real(fd, data, size, flags);
    if (refuse_now(fd)) {
        errno = EAGAIN;
        return -1;
    }
    return real(fd, data, short_count(size, send_bytes), flags);
}

ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count)
{
    static ssize_t (*real)(int, int, off_t*, size_t);
    if (real == NULL)
        real = (ssize_t (*)(int, int, off_t*, size_t))dlsym(RTLD_NEXT, "sendfile");
    if (!is_accepted(out_fd))
        return real(out_fd, in_fd, offset, count);
    if (sendfile_einval && offset != NULL && *offset == 0) {
        errno = EINVAL;
        return -1;
    }
    if (refuse_now(out_fd)) {
        errno = EAGAIN;
        return -1;
    }
    if (sendfile_wait) {
        struct pollfd room = {out_fd, POLLOUT, 0};
        poll(&room, 1, 1000);
    }
    return real(out_fd, in_fd, offset, short_count(count, sendfile_bytes));
}
