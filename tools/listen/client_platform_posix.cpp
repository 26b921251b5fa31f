#include "tools/listen/client_platform.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/sys.h"

namespace {

bool KeysOn = false;
bool KeysRaw = false;
termios KeysSaved;

void RestoreAndStop(int signal) {
    // tcsetattr is async-signal-safe; the program then ends by the signal
    // as it would have without the handler.
    tcsetattr(STDIN_FILENO, TCSANOW, &KeysSaved);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal);
}

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// connect with a bound: non-blocking, then poll for its answer.
int ConnectWithin(int fd, const sockaddr* address, socklen_t length, int timeoutMs) {
    if (timeoutMs < 0) return connect(fd, address, length) == 0 ? 0 : errno;
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (connect(fd, address, length) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd waiting = {fd, POLLOUT, 0};
            int ready = poll(&waiting, 1, timeoutMs);
            socklen_t size = sizeof error;
            if (ready < 0)
                error = errno;
            else if (ready == 0)
                error = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
    }
    fcntl(fd, F_SETFL, flags);
    return error;
}

}  // namespace

int ClientStart(void) {
    // Standard input closed at start would be taken by the socket, and
    // the stream polled as the keyboard: its "Q" would quit.
    SysTakeInheritedState();
    return 0;
}

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

int ClientConnectQuietly(const char* host, const char* port, int timeoutMs,
                         ClientSocket* socketOut, std::string* why) {
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
    char text[512];
    if (status != 0) {
        snprintf(text, sizeof text, "cannot resolve %s port %s: %s", host, port,
                 gai_strerror(status));
        *why = text;
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
        lastError = ConnectWithin(fd, at->ai_addr, at->ai_addrlen, timeoutMs);
        if (lastError != 0) {
            close(fd);
            fd = -1;
            if (lastError == EINTR) break;  // the caller looks at why it was interrupted
        }
    }
    freeaddrinfo(list);
    if (fd < 0) {
        snprintf(text, sizeof text, "cannot connect to %s port %s: %s%s", host, port,
                 strerror(lastError),
                 lastError == ECONNREFUSED ? " (is dorqin-relay running?)" : "");
        *why = text;
        errno = lastError;
        return -1;
    }
    *socketOut = fd;
    return 0;
}

int ClientConnect(const char* host, const char* port, ClientSocket* socketOut) {
    std::string why;
    if (ClientConnectQuietly(host, port, -1, socketOut, &why) == 0) return 0;
    fprintf(stderr, "dorqin-listen: %s\n", why.c_str());
    return -1;
}

void ClientKeepAlive(ClientSocket socket, int idleMs, int intervalMs, int probes) {
    int on = 1;
    int idle = (idleMs + 999) / 1000;
    int interval = (intervalMs + 999) / 1000;
    // The user timeout covers the same span, since Linux lets it, not the
    // probe count, decide when keepalive gives up once it is set.
    unsigned int limit = static_cast<unsigned int>(idleMs + intervalMs * probes);
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit);
}

bool ClientKeysStart(void) {
    // A job in the background leaves its terminal alone: touching it would
    // stop the job (SIGTTOU, SIGTTIN).
    bool terminal = isatty(STDIN_FILENO) == 1;
    if (terminal && tcgetpgrp(STDIN_FILENO) != getpgrp()) return false;
    KeysOn = true;
    if (!terminal || tcgetattr(STDIN_FILENO, &KeysSaved) != 0) return true;
    termios raw = KeysSaved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    KeysRaw = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    if (KeysRaw) {
        for (int stop : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction old;
            if (sigaction(stop, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
            struct sigaction action = {};
            action.sa_handler = RestoreAndStop;
            sigfillset(&action.sa_mask);
            sigaction(stop, &action, nullptr);
        }
    }
    return true;
}

void ClientKeysEnd(void) {
    if (KeysRaw) tcsetattr(STDIN_FILENO, TCSANOW, &KeysSaved);
    KeysRaw = false;
    KeysOn = false;
}

int ClientKeysTake(void) {
    char typed[64];
    ssize_t got = read(STDIN_FILENO, typed, sizeof typed);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    if (got <= 0) {
        // Standard input at its end (/dev/null, say): only the stream and
        // the signals are left.
        KeysOn = false;
        return -1;
    }
    for (ssize_t i = 0; i < got; ++i)
        if (typed[i] == 'q' || typed[i] == 'Q') return 1;
    return 0;
}

int ClientWait(ClientSocket socket, bool hasSocket, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        int left = timeoutMs < 0 ? -1 : static_cast<int>(deadline - NowMs());
        if (timeoutMs >= 0 && left < 0) left = 0;
        pollfd fds[2] = {{hasSocket ? socket : -1, POLLIN, 0},
                         {KeysOn ? STDIN_FILENO : -1, POLLIN, 0}};
        int ready = poll(fds, 2, left);
        if (ready < 0) return ClientWaitFailed;
        if (ready == 0) return ClientWaitTimedOut;
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && ClientKeysTake() == 1)
            return ClientWaitQuit;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) return ClientWaitData;
    }
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
