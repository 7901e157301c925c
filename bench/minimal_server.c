/*
 * minimal_server: the floor for one-request-per-connection HTTP over a Unix socket.
 * One epoll loop: accept, read once, write a canned 1 KiB response, close. Nothing else:
 * no parsing, no files, no deadline. run.sh measures the service against it.
 *
 * usage: minimal_server SOCKET_PATH
 */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define BODY_BYTES 1024
#define HEAD "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Beast\r\nContent-Type: text/plain\r\nContent-Length: 1024\r\n\r\n"

int main(int argc, char** argv)
{
    static char response[sizeof HEAD - 1 + BODY_BYTES];
    static char scratch[8192];
    struct sockaddr_un address;
    struct epoll_event events[64];
    size_t response_size = sizeof HEAD - 1 + BODY_BYTES;
    int listener;
    int loop;

    if (argc != 2 || strlen(argv[1]) >= sizeof address.sun_path) {
        fprintf(stderr, "usage: minimal_server SOCKET_PATH\n");
        return 2;
    }
    memcpy(response, HEAD, sizeof HEAD - 1);
    memset(response + sizeof HEAD - 1, 'k', BODY_BYTES);
    signal(SIGPIPE, SIG_IGN);

    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, argv[1]);
    unlink(argv[1]);
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, 128) != 0) {
        perror("minimal_server: listen");
        return 1;
    }
    loop = epoll_create1(EPOLL_CLOEXEC);
    {
        struct epoll_event ev;
        ev.events = EPOLLIN;
        ev.data.fd = listener;
        if (loop < 0 || epoll_ctl(loop, EPOLL_CTL_ADD, listener, &ev) != 0) {
            perror("minimal_server: epoll");
            return 1;
        }
    }

    for (;;) {
        int i;
        const int ready = epoll_wait(loop, events, 64, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            perror("minimal_server: epoll_wait");
            return 1;
        }
        for (i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                for (;;) {
                    struct epoll_event ev;
                    const int client = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0)
                        break;
                    ev.events = EPOLLIN;
                    ev.data.fd = client;
                    if (epoll_ctl(loop, EPOLL_CTL_ADD, client, &ev) != 0)
                        close(client);
                }
                continue;
            }
            if (read(fd, scratch, sizeof scratch) > 0 && write(fd, response, response_size) < 0)
                perror("minimal_server: write");
            close(fd);
        }
    }
}
