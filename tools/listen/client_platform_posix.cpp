#include "tools/listen/client_platform.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int ClientStart(void) { return 0; }

// A build made where libevdev or ncurses was missing lacks the mode that
// needs it (tools/CMakeLists.txt).
const char* ClientLacksMode(const char* option) {
#ifdef DORQIN_LISTEN_NO_VIEW
    if (strcmp(option, "--view") == 0) {
        return "is not available in this build of dorqin-listen (it was built without ncurses); "
               "without it, dorqin-listen prints one line per event";
    }
#endif
#ifdef DORQIN_LISTEN_NO_JOYSTICK
    if (strcmp(option, "--joystick") == 0) {
        return "is not available in this build of dorqin-listen (it was built without libevdev); "
               "without it, dorqin-listen prints one line per event";
    }
#endif
    (void)option;
    return nullptr;
}

int ClientConnect(const char* host, const char* port, ClientSocket* socketOut) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    // A numeric address first: it needs no name service, which a static
    // build in a bare initramfs does not have.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    int status = getaddrinfo(host, port, &hints, &list);
    if (status == EAI_NONAME) {
        hints.ai_flags = AI_NUMERICSERV;
        status = getaddrinfo(host, port, &hints, &list);
    }
    if (status != 0) {
        fprintf(stderr, "dorqin-listen: cannot resolve %s port %s: %s\n", host, port,
                gai_strerror(status));
        return -1;
    }
    int lastError = 0;
    int fd = -1;
    for (addrinfo* at = list; at && fd < 0; at = at->ai_next) {
        fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        if (connect(fd, at->ai_addr, at->ai_addrlen) != 0) {
            lastError = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd < 0) {
        fprintf(stderr, "dorqin-listen: cannot connect to %s port %s: %s%s\n", host, port,
                strerror(lastError),
                lastError == ECONNREFUSED ? " (is dorqin-relay running?)" : "");
        return -1;
    }
    *socketOut = fd;
    return 0;
}

int ClientWaitReadable(ClientSocket socket, int timeoutMs) {
    pollfd waiting = {socket, POLLIN, 0};
    int ready = poll(&waiting, 1, timeoutMs);
    return ready < 0 ? -1 : ready;
}

long ClientRead(ClientSocket socket, void* buffer, size_t size) {
    return static_cast<long>(read(socket, buffer, size));
}

bool ClientReadInterrupted(void) { return errno == EINTR; }

const char* ClientErrorText(void) { return strerror(errno); }

void ClientClose(ClientSocket socket) { close(socket); }
