// Winsock 2 stand-ins over BSD sockets.
//
// Like Winsock, the library must be started before any socket call, and
// the last WSACleanup closes every socket still open: from then on each
// call fails with WSANOTINITIALISED. The relay relies on that after a
// failed send, when every later send must fail at once.
//
// TCP_MAXRT is kept by a thread of ours, not by the kernel. Windows gives
// a connection up when sent data goes unacknowledged for that long, but
// probes a closed receive window for as long as the peer answers (RFC
// 9293 3.8.6.1; see docs/reliability.md). Linux's TCP_USER_TIMEOUT since
// 5.11 also cuts a connection whose window has stayed closed that long,
// however promptly the peer answers: a client that merely stopped reading
// was dropped after 20 s. Lifting the option while the window is closed
// does not help either: the kernel forgets when the window closed only once
// it opens wide enough for the whole next segment, so a window that opens
// a little and closes again is cut at once when the option is set back
// (tests/kernel/zero-window.py shows both). So the option is not used.
// Once a second, the thread asks the kernel
// what each watched connection waits for and shuts down the one whose
// peer has owed an answer, to data or to a window probe, for the limit.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/posix/send_limit.h"
#include "platform/posix/sys.h"
#include "platform/posix/win32.h"

namespace {

constexpr WORD kHighestVersion = 0x0202;
constexpr int kMaxSockets = 1024;
constexpr uint32_t kWatchPeriodMs = 1000;

struct Socket {
    int fd;
    uint32_t limitMs;    // TCP_MAXRT; 0: not watched
    uint64_t owedSince;  // when its peer was first seen owing an answer; 0: it owes none
};

struct Library {
    std::mutex lock;
    int starts = 0;
    Socket open[kMaxSockets];  // made by socket() and accept()
    int openCount = 0;
    bool watching = false;     // the TCP_MAXRT thread runs
};

Library& Lib() {
    static Library library;
    return library;
}

thread_local int wsaLastError = 0;
#ifdef DORQIN_TEST_SEAMS
int sendLimit = 0;
#endif

int Fail(int error) {
    wsaLastError = error;
    return SOCKET_ERROR;
}

bool Started() {
    Library& lib = Lib();
    std::lock_guard<std::mutex> hold(lib.lock);
    return lib.starts > 0;
}

bool Track(int fd) {
    Library& lib = Lib();
    std::lock_guard<std::mutex> hold(lib.lock);
    if (lib.openCount == kMaxSockets) return false;
    lib.open[lib.openCount++] = Socket{fd, 0, 0};
    return true;
}

bool Untrack(int fd) {
    Library& lib = Lib();
    std::lock_guard<std::mutex> hold(lib.lock);
    for (int i = 0; i < lib.openCount; ++i) {
        if (lib.open[i].fd == fd) {
            lib.open[i] = lib.open[--lib.openCount];
            return true;
        }
    }
    return false;
}

// The descriptor behind s, or -1 with the Winsock error already set: the
// library not started, or a value that is not one of our sockets. Every
// send asks, so both questions go under one hold of the lock.
int Descriptor(SOCKET s) {
    Library& lib = Lib();
    std::lock_guard<std::mutex> hold(lib.lock);
    if (lib.starts == 0) return Fail(WSANOTINITIALISED);
    if (s != INVALID_SOCKET && s <= static_cast<SOCKET>(0x7fffffff)) {
        for (int i = 0; i < lib.openCount; ++i) {
            if (lib.open[i].fd == static_cast<int>(s)) return lib.open[i].fd;
        }
    }
    return Fail(WSAENOTSOCK);
}

// Whether the peer of a watched connection has owed an answer for its
// limit: to data (nothing acknowledged for that long), or to a probe of
// its closed window. A peer that answers every probe is kept however long
// its window stays closed. A closed window is given up only once a second
// probe has gone unanswered too: where the kernel probes minutes apart (no
// TCP_RTO_MAX_MS), one lost probe would otherwise end a live connection.
bool PeerGone(Socket* socket, const SysTcpSender& sender, uint64_t now) {
    const bool probeUnanswered = sender.unacked == 0 && sender.unsentBytes > 0 && sender.probes > 0;
    if (!sender.open || (sender.unacked == 0 && !probeUnanswered)) {
        socket->owedSince = 0;
        return false;
    }
    if (socket->owedSince == 0) socket->owedSince = now;
    const uint64_t waited = std::min<uint64_t>(now - socket->owedSince, sender.msSinceAck);
    return waited >= socket->limitMs && (sender.unacked > 0 || sender.probes >= 2);
}

// The TCP_MAXRT thread: runs while a connection is watched. It holds the
// library's lock for a look at the kernel's state, so a socket cannot be
// closed, or its descriptor reused, under it.
uint32_t WatchLinks(void*) {
    Library& lib = Lib();
    for (;;) {
        SysSleep(kWatchPeriodMs);
        std::lock_guard<std::mutex> hold(lib.lock);
        const uint64_t now = SysMilliseconds();
        bool watched = false;
        for (int i = 0; i < lib.openCount; ++i) {
            Socket& socket = lib.open[i];
            if (socket.limitMs == 0) continue;
            watched = true;
            SysTcpSender sender;
            if (SysTcpSenderState(socket.fd, &sender) < 0 || !PeerGone(&socket, sender, now)) {
                continue;
            }
            // As a connection Windows gave up: a send waiting in it fails at
            // once, and so does every later one.
            int error = 0;
            SysShutdown(socket.fd, SD_BOTH, &error);
            socket.limitMs = 0;
        }
        if (!watched) {
            lib.watching = false;
            return 0;
        }
    }
}

// TCP_MAXRT: watches the connection with a limit of limitMs, or no longer
// with 0.
int WatchLink(int fd, uint32_t limitMs) {
    Library& lib = Lib();
    bool start = false;
    {
        std::lock_guard<std::mutex> hold(lib.lock);
        Socket* socket = nullptr;
        for (int i = 0; i < lib.openCount && !socket; ++i) {
            if (lib.open[i].fd == fd) socket = &lib.open[i];
        }
        if (!socket) return Fail(WSAENOTSOCK);
        socket->limitMs = limitMs;
        socket->owedSince = 0;
        start = limitMs > 0 && !lib.watching;
        if (start) lib.watching = true;
    }
    // Windows retries an unanswered window probe within a few round trips;
    // Linux waits out its backoff, up to two minutes, unless capped. A
    // quarter of the limit leaves room for several probes before it; best
    // effort, as older kernels have no cap.
    SysCapRetransmitInterval(fd, limitMs == 0 ? 120000u
                                              : std::clamp(limitMs / 4, 1000u, 120000u));
    if (!start) return 0;
    SysThread* thread = SysThreadStart(WatchLinks, nullptr);
    if (!thread) {
        std::lock_guard<std::mutex> hold(lib.lock);
        lib.watching = false;
        return Fail(WSAENOBUFS);
    }
    SysThreadRelease(thread);
    return 0;
}

bool ReadIpv4(const struct sockaddr* name, int nameLength, uint32_t* address, uint16_t* port) {
    if (!name || nameLength < static_cast<int>(sizeof(SOCKADDR_IN))) {
        Fail(WSAEFAULT);
        return false;
    }
    SOCKADDR_IN in;
    memcpy(&in, name, sizeof in);
    if (in.sin_family != AF_INET) {
        Fail(WSAEAFNOSUPPORT);
        return false;
    }
    *address = in.sin_addr.s_addr;
    *port = in.sin_port;
    return true;
}

}  // namespace

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (!data) return WSAEFAULT;
    BYTE major = versionRequested & 0xff;
    BYTE minor = versionRequested >> 8;
    memset(data, 0, sizeof *data);
    data->wHighVersion = kHighestVersion;
    if (major < 1 || (major == 1 && minor < 1)) {
        data->wVersion = kHighestVersion;
        return WSAVERNOTSUPPORTED;
    }
    // The version used is the lower of the one asked for and our highest.
    data->wVersion = (major > 2 || (major == 2 && minor >= 2)) ? kHighestVersion : versionRequested;
    snprintf(data->szDescription, sizeof data->szDescription, "POSIX sockets");
    snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    Library& lib = Lib();
    std::lock_guard<std::mutex> hold(lib.lock);
    ++lib.starts;
    return 0;
}

int WSACleanup(void) {
    Library& lib = Lib();
    std::lock_guard<std::mutex> hold(lib.lock);
    if (lib.starts == 0) return Fail(WSANOTINITIALISED);
    if (--lib.starts == 0) {
        for (int i = 0; i < lib.openCount; ++i) SysClose(lib.open[i].fd);
        lib.openCount = 0;
    }
    return 0;
}

int WSAGetLastError(void) { return wsaLastError; }

#ifdef DORQIN_TEST_SEAMS
void SetSendLimit(int maxBytes) { sendLimit = maxBytes; }
int SendLimit() { return sendLimit; }
#endif

SOCKET socket(int af, int type, int protocol) {
    if (!Started()) return Fail(WSANOTINITIALISED), INVALID_SOCKET;
    if (af != AF_INET || (protocol != 0 && protocol != IPPROTO_TCP)) {
        return Fail(WSAEAFNOSUPPORT), INVALID_SOCKET;
    }
    int error = 0;
    int fd = SysSocket(type, &error);
    if (fd < 0) return Fail(error), INVALID_SOCKET;
    if (!Track(fd)) {
        SysClose(fd);
        return Fail(WSAEMFILE), INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int bind(SOCKET s, const struct sockaddr* name, int nameLength) {
    int fd = Descriptor(s);
    uint32_t address;
    uint16_t port;
    if (fd < 0 || !ReadIpv4(name, nameLength, &address, &port)) return SOCKET_ERROR;
    int error = 0;
    return SysBind(fd, address, port, &error) < 0 ? Fail(error) : 0;
}

int listen(SOCKET s, int backlog) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    int error = 0;
    return SysListen(fd, backlog, &error) < 0 ? Fail(error) : 0;
}

SOCKET accept(SOCKET s, struct sockaddr* address, int* addressLength) {
    int fd = Descriptor(s);
    if (fd < 0) return INVALID_SOCKET;
    if (address && (!addressLength || *addressLength < static_cast<int>(sizeof(SOCKADDR_IN)))) {
        return Fail(WSAEFAULT), INVALID_SOCKET;
    }
    uint32_t peer = 0;
    uint16_t port = 0;
    int error = 0;
    int client = SysAccept(fd, &peer, &port, &error);
    if (client < 0) return Fail(error), INVALID_SOCKET;
    if (!Track(client)) {
        SysClose(client);
        return Fail(WSAEMFILE), INVALID_SOCKET;
    }
    if (address) {
        SOCKADDR_IN in{};
        in.sin_family = AF_INET;
        in.sin_port = port;
        in.sin_addr.s_addr = peer;
        memcpy(address, &in, sizeof in);
        *addressLength = sizeof in;
    }
    return static_cast<SOCKET>(client);
}

int connect(SOCKET s, const struct sockaddr* name, int nameLength) {
    int fd = Descriptor(s);
    uint32_t address;
    uint16_t port;
    if (fd < 0 || !ReadIpv4(name, nameLength, &address, &port)) return SOCKET_ERROR;
    int error = 0;
    return SysConnect(fd, address, port, &error) < 0 ? Fail(error) : 0;
}

int send(SOCKET s, const char* buffer, int length, int flags) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (length < 0 || (length > 0 && !buffer) || flags != 0) return Fail(WSAEINVAL);
    const int limit = SendLimit();
    if (limit > 0 && length > limit) length = limit;
    int error = 0;
    long n = SysSend(fd, buffer, static_cast<size_t>(length), &error);
    return n < 0 ? Fail(error) : static_cast<int>(n);
}

int recv(SOCKET s, char* buffer, int length, int flags) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (length < 0 || (length > 0 && !buffer) || flags != 0) return Fail(WSAEINVAL);
    int error = 0;
    long n = SysRecv(fd, buffer, static_cast<size_t>(length), &error);
    return n < 0 ? Fail(error) : static_cast<int>(n);
}

int getsockname(SOCKET s, struct sockaddr* name, int* nameLength) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (!name || !nameLength || *nameLength < static_cast<int>(sizeof(SOCKADDR_IN))) {
        return Fail(WSAEFAULT);
    }
    uint32_t address = 0;
    uint16_t port = 0;
    int error = 0;
    if (SysLocalAddress(fd, &address, &port, &error) < 0) return Fail(error);
    SOCKADDR_IN in{};
    in.sin_family = AF_INET;
    in.sin_port = port;
    in.sin_addr.s_addr = address;
    memcpy(name, &in, sizeof in);
    *nameLength = sizeof in;
    return 0;
}

int setsockopt(SOCKET s, int level, int name, const char* value, int valueLength) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (level != IPPROTO_TCP || (name != TCP_NODELAY && name != TCP_MAXRT)) {
        return Fail(WSAENOPROTOOPT);
    }
    if (!value || valueLength < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    int given = 0;
    memcpy(&given, value, sizeof given);
    if (name == TCP_MAXRT) {
        // Windows takes seconds, and -1 for no limit at all.
        if (given < -1) return Fail(WSAEINVAL);
        return WatchLink(fd, given <= 0 ? 0 : static_cast<uint32_t>(given) * 1000u);
    }
    int error = 0;
    return SysSetNoDelay(fd, given != 0, &error) < 0 ? Fail(error) : 0;
}

int WSAIoctl(SOCKET s, DWORD controlCode, LPVOID inBuffer, DWORD inLength, LPVOID outBuffer,
             DWORD outLength, LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    (void)outBuffer;
    (void)outLength;
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (controlCode != SIO_KEEPALIVE_VALS) return Fail(WSAEINVAL);
    if (overlapped || completion) return Fail(WSAEINVAL);
    if (!inBuffer || inLength < sizeof(tcp_keepalive)) return Fail(WSAEFAULT);
    tcp_keepalive values;
    memcpy(&values, inBuffer, sizeof values);
    // Windows gives up after 10 unanswered probes; so do we.
    int error = 0;
    if (SysSetKeepAlive(fd, values.onoff != 0, values.keepalivetime, values.keepaliveinterval,
                        10, &error) < 0) {
        return Fail(error);
    }
    if (bytesReturned) *bytesReturned = 0;
    return 0;
}

int getsockopt(SOCKET s, int level, int name, char* value, int* valueLength) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (level != IPPROTO_TCP || name != TCP_NODELAY) return Fail(WSAENOPROTOOPT);
    if (!value || !valueLength || *valueLength < static_cast<int>(sizeof(int))) {
        return Fail(WSAEFAULT);
    }
    bool on = false;
    int error = 0;
    if (SysGetNoDelay(fd, &on, &error) < 0) return Fail(error);
    int result = on ? 1 : 0;
    memcpy(value, &result, sizeof result);
    *valueLength = sizeof result;
    return 0;
}

int shutdown(SOCKET s, int how) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (how < SD_RECEIVE || how > SD_BOTH) return Fail(WSAEINVAL);
    int error = 0;
    return SysShutdown(fd, how, &error) < 0 ? Fail(error) : 0;
}

int closesocket(SOCKET s) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (!Untrack(fd)) return Fail(WSAENOTSOCK);
    SysClose(fd);
    return 0;
}

#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
uint16_t htons(uint16_t host) { return host; }
uint32_t htonl(uint32_t host) { return host; }
#else
uint16_t htons(uint16_t host) { return __builtin_bswap16(host); }
uint32_t htonl(uint32_t host) { return __builtin_bswap32(host); }
#endif

uint16_t ntohs(uint16_t net) { return htons(net); }

uint32_t ntohl(uint32_t net) { return htonl(net); }

char* inet_ntoa(struct in_addr address) {
    thread_local char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", address.S_un.S_un_b.s_b1,
             address.S_un.S_un_b.s_b2, address.S_un.S_un_b.s_b3, address.S_un.S_un_b.s_b4);
    return text;
}
