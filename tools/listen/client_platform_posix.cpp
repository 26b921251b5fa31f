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

enum KeysMode { KeysNone, KeysTaken, KeysWatched };
int Keys = KeysNone;
bool KeysRaw = false;
termios KeysSaved;

// The stop signals caught, held back except inside ClientWait's ppoll, so
// that one that comes between its look at Caught and the wait still
// wakes the wait.
sigset_t Stops;
volatile sig_atomic_t Caught = 0;

void OnStop(int signal) { Caught = signal; }

// Reads what was typed once poll says it is readable. Returns 1 when it
// held q, 0 when not, -1 once standard input has ended (it is no longer
// watched).
int TakeKeys() {
    char typed[64];
    ssize_t got = read(STDIN_FILENO, typed, sizeof typed);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    if (got <= 0) {
        // Standard input at its end (/dev/null, say): only the stream and
        // the signals are left.
        Keys = KeysNone;
        return -1;
    }
    for (ssize_t i = 0; i < got; ++i)
        if (typed[i] == 'q' || typed[i] == 'Q') return 1;
    return 0;
}

}  // namespace

const int ClientErrorTimedOut = ETIMEDOUT;

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

long long ClientNowMs(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int ClientResolve(const char* host, const char* port, addrinfo** addresses, std::string* why) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // A numeric address first: it needs no name service, which a static
    // build in a bare initramfs does not have.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    int status = getaddrinfo(host, port, &hints, addresses);
    if (status == EAI_NONAME) {
        hints.ai_flags = AI_NUMERICSERV;
        status = getaddrinfo(host, port, &hints, addresses);
    }
    if (status == 0) return 0;
    char text[512];
    snprintf(text, sizeof text, "cannot resolve %s port %s: %s", host, port, gai_strerror(status));
    *why = text;
    return -1;
}

void ClientFreeAddresses(addrinfo* addresses) { freeaddrinfo(addresses); }

const addrinfo* ClientNextAddress(const addrinfo* address) { return address->ai_next; }

int ClientConnectStart(const addrinfo* address, ClientSocket* socketOut) {
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    address->ai_protocol);
    if (fd < 0) return errno;
    if (connect(fd, address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS) {
        int error = errno;
        close(fd);
        return error;
    }
    *socketOut = fd;
    return 0;
}

int ClientConnectResult(ClientSocket socket) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    if (error == 0) fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) & ~O_NONBLOCK);
    return error;
}

std::string ClientConnectErrorText(int error) {
    return std::string(strerror(error)) +
           (error == ECONNREFUSED ? " (is dorqin-relay running?)" : "");
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
    Keys = KeysTaken;
    if (!terminal || tcgetattr(STDIN_FILENO, &KeysSaved) != 0) return true;
    termios raw = KeysSaved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    KeysRaw = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    return true;
}

void ClientKeysEnd(void) {
    if (KeysRaw) tcsetattr(STDIN_FILENO, TCSANOW, &KeysSaved);
    KeysRaw = false;
    Keys = KeysNone;
}

void ClientKeysWatch(void) { Keys = KeysWatched; }

void ClientCatchStops(void) {
    struct sigaction action = {};
    action.sa_handler = OnStop;
    sigfillset(&action.sa_mask);
    sigemptyset(&Stops);
    for (int stop : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old;
        if (sigaction(stop, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        sigaction(stop, &action, nullptr);
        sigaddset(&Stops, stop);
    }
}

int ClientStopSignal(void) { return Caught; }

void ClientEndBySignal(void) {
    int stop = Caught;
    ClientKeysEnd();
    signal(stop, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, stop);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
    raise(stop);
}

int ClientWait(ClientSocket socket, int awaited, int timeoutMs) {
    long long deadline = ClientNowMs() + timeoutMs;
    for (;;) {
        long long left = timeoutMs < 0 ? -1 : deadline - ClientNowMs();
        if (timeoutMs >= 0 && left < 0) left = 0;
        timespec limit = {static_cast<time_t>(left / 1000),
                          static_cast<long>(left % 1000) * 1000000L};
        short events = awaited == ClientForConnect ? POLLOUT : POLLIN;
        pollfd fds[2] = {{socket, events, 0}, {Keys != KeysNone ? STDIN_FILENO : -1, POLLIN, 0}};
        // A stop signal that comes after the look at Caught waits for
        // ppoll, which lets it in.
        sigset_t unblocked;
        sigprocmask(SIG_BLOCK, &Stops, &unblocked);
        int ready = Caught != 0 ? -1 : ppoll(fds, 2, left < 0 ? nullptr : &limit, &unblocked);
        int error = errno;
        sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        if (Caught != 0) return ClientWaitStopped;
        if (ready < 0 && error != EINTR) {
            errno = error;
            return ClientWaitFailed;
        }
        if (ready < 0 || (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (Keys == KeysWatched) return ClientWaitInput;
            if (ready > 0 && TakeKeys() == 1) return ClientWaitQuit;
        }
        if (ready == 0) return ClientWaitTimedOut;
        if (fds[0].revents & (events | POLLHUP | POLLERR)) return ClientWaitReady;
    }
}

long ClientRead(ClientSocket socket, void* buffer, size_t size) {
    return static_cast<long>(read(socket, buffer, size));
}


const char* ClientErrorText(void) { return strerror(errno); }

void ClientClose(ClientSocket socket) { close(socket); }
