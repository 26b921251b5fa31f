// The POSIX system calls behind the Win32 stand-ins. This is the only
// translation unit of the socket, file and thread stand-ins that sees
// POSIX headers; errors leave here already translated to Win32 codes.
#include "platform/posix/sys.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <initializer_list>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define DORQIN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DORQIN_ASAN 1
#endif
#endif
#ifdef DORQIN_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Win32 codes of platform/posix/win32.h, repeated here because that header
// must not meet the POSIX ones.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorDeviceNotConnected = 1167;

uint32_t Win32Error(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return kErrorAccessDenied;
    case EBADF:
        return kErrorInvalidHandle;
    case ENOMEM:
        return kErrorNotEnoughMemory;
    case EBUSY:
        return kErrorSharingViolation;
    case EPIPE:
        return kErrorBrokenPipe;
    case EIO:
    case ENODEV:
    case ENXIO:
        return kErrorDeviceNotConnected;
    default:
        return kErrorGenFailure;
    }
}

int WsaError(int err) {
    switch (err) {
    case EINTR: return 10004;
    case EACCES:
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
    case EAGAIN: return 10035;
    case EBADF:
    case ENOTSOCK: return 10038;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ECONNABORTED: return 10053;
    case ECONNRESET:
    case EPIPE: return 10054;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    default: return 10050;
    }
}

sockaddr_in Ipv4(uint32_t address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = port;
    in.sin_addr.s_addr = address;
    return in;
}

}  // namespace

int SysOpenReadWrite(const char* path, uint32_t* error) {
    int fd;
    do {
        fd = open(path, O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) *error = Win32Error(errno);
    return fd;
}

long SysRead(int fd, void* buffer, size_t length, uint32_t* error) {
    ssize_t n;
    do {
        n = read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) *error = Win32Error(errno);
    return static_cast<long>(n);
}

long SysWriteAll(int fd, const void* buffer, size_t length, uint32_t* error) {
    const char* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, p + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = Win32Error(errno);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

void SysClose(int fd) {
    // close is a cancellation point, and callers may hold a lock around it
    // (the socket table); a thread stopped here must not take that with it.
    int old = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    // Linux releases the descriptor even when close reports EINTR, so
    // retrying could close a descriptor another thread has just opened.
    close(fd);
    pthread_setcancelstate(old, nullptr);
}

int SysSocket(int winsockType, int* wsaError) {
    if (winsockType != 1) {  // SOCK_STREAM is all the relay speaks
        *wsaError = 10044;   // WSAESOCKTNOSUPPORT
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *wsaError = WsaError(errno);
        return -1;
    }
    // Winsock lets a server bind again while connections of an earlier run
    // linger in TIME_WAIT; Linux needs SO_REUSEADDR for that. It still
    // refuses a port on which another socket is listening.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return fd;
}

int SysBind(int fd, uint32_t address, uint16_t port, int* wsaError) {
    sockaddr_in in = Ipv4(address, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) < 0) {
        *wsaError = WsaError(errno);
        return -1;
    }
    return 0;
}

int SysListen(int fd, int backlog, int* wsaError) {
    if (listen(fd, backlog) < 0) {
        *wsaError = WsaError(errno);
        return -1;
    }
    return 0;
}

int SysAccept(int fd, uint32_t* address, uint16_t* port, int* wsaError) {
    for (;;) {
        sockaddr_in in{};
        socklen_t length = sizeof in;
        int client = accept4(fd, reinterpret_cast<sockaddr*>(&in), &length, SOCK_CLOEXEC);
        if (client >= 0) {
            *address = in.sin_addr.s_addr;
            *port = in.sin_port;
            return client;
        }
        // A connection reset while it waited in the backlog is Linux's news
        // only; Winsock never hands it to accept, so neither do we.
        if (errno == EINTR || errno == ECONNABORTED) continue;
        *wsaError = WsaError(errno);
        return -1;
    }
}

int SysConnect(int fd, uint32_t address, uint16_t port, int* wsaError) {
    sockaddr_in in = Ipv4(address, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) < 0) {
        *wsaError = WsaError(errno);
        return -1;
    }
    return 0;
}

long SysSend(int fd, const void* buffer, size_t length, int* wsaError) {
    ssize_t n;
    do {
        n = send(fd, buffer, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) *wsaError = WsaError(errno);
    return static_cast<long>(n);
}

long SysRecv(int fd, void* buffer, size_t length, int* wsaError) {
    ssize_t n;
    do {
        n = recv(fd, buffer, length, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) *wsaError = WsaError(errno);
    return static_cast<long>(n);
}

int SysLocalAddress(int fd, uint32_t* address, uint16_t* port, int* wsaError) {
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length) < 0) {
        *wsaError = WsaError(errno);
        return -1;
    }
    *address = in.sin_addr.s_addr;
    *port = in.sin_port;
    return 0;
}

int SysSetNoDelay(int fd, bool on, int* wsaError) {
    int value = on ? 1 : 0;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) < 0) {
        *wsaError = WsaError(errno);
        return -1;
    }
    return 0;
}

int SysSetKeepAlive(int fd, bool on, uint32_t idleMs, uint32_t intervalMs, int count,
                    int* wsaError) {
    const int enable = on ? 1 : 0;
    const int idle = static_cast<int>((idleMs + 999) / 1000);
    const int interval = static_cast<int>((intervalMs + 999) / 1000);
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &enable, sizeof enable) < 0 ||
        (on && (setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0 ||
                setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) < 0 ||
                setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) < 0))) {
        *wsaError = WsaError(errno);
        return -1;
    }
    return 0;
}

namespace {

// The kernel's struct tcp_info goes on past glibc's copy of it; this is the
// part up to the count of unsent bytes (Linux 4.6), laid out as
// <linux/tcp.h> has it, which cannot be included beside <netinet/tcp.h>.
struct TcpInfoToUnsent {
    tcp_info base;
    uint64_t pacingRate;
    uint64_t maxPacingRate;
    uint64_t bytesAcked;
    uint64_t bytesReceived;
    uint32_t segsOut;
    uint32_t segsIn;
    uint32_t notsentBytes;
};
static_assert(offsetof(TcpInfoToUnsent, notsentBytes) == 144, "tcpi_notsent_bytes is at 144");

// Not in Debian 12's kernel headers; the kernel refuses it before 6.15.
constexpr int kTcpRtoMaxMs = 44;

}  // namespace

int SysTcpSenderState(int fd, SysTcpSender* sender) {
    TcpInfoToUnsent info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) < 0 ||
        length < offsetof(TcpInfoToUnsent, notsentBytes) + sizeof info.notsentBytes) {
        return -1;
    }
    sender->open = info.base.tcpi_state == TCP_ESTABLISHED || info.base.tcpi_state == TCP_CLOSE_WAIT;
    sender->unacked = info.base.tcpi_unacked;
    sender->unsentBytes = info.notsentBytes;
    sender->probes = info.base.tcpi_probes;
    sender->msSinceAck = info.base.tcpi_last_ack_recv;
    return 0;
}

int SysCapRetransmitInterval(int fd, uint32_t milliseconds) {
    const int value = static_cast<int>(milliseconds);
    return setsockopt(fd, IPPROTO_TCP, kTcpRtoMaxMs, &value, sizeof value) < 0 ? -1 : 0;
}

int SysGetNoDelay(int fd, bool* on, int* wsaError) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) < 0) {
        *wsaError = WsaError(errno);
        return -1;
    }
    *on = value != 0;
    return 0;
}

int SysShutdown(int fd, int winsockHow, int* wsaError) {
    int how = winsockHow == 0 ? SHUT_RD : winsockHow == 1 ? SHUT_WR : SHUT_RDWR;
    if (shutdown(fd, how) < 0) {
        *wsaError = WsaError(errno);
        return -1;
    }
    return 0;
}

struct SysThread {
    pthread_t id;
    bool joined;
};

namespace {

// What the new thread needs to begin; it owns and frees this, so that the
// thread object may be released at any time after the start.
struct ThreadStart {
    SysThreadRoutine routine;
    void* parameter;
};

#ifdef DORQIN_ASAN
// Cancellation unwinds the thread's frames behind AddressSanitizer's back,
// leaving their redzones poisoned; the thread's own exit code then runs on
// that part of the stack and would be reported. Clears the dead part.
void UnpoisonDeadStack(void*) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    void* low = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    char* here = static_cast<char*>(__builtin_frame_address(0));
    char* bottom = static_cast<char*>(low);
    if (here > bottom) ASAN_UNPOISON_MEMORY_REGION(bottom, static_cast<size_t>(here - bottom));
}
#endif

void* ThreadMain(void* arg) {
    const ThreadStart start = *static_cast<ThreadStart*>(arg);
    delete static_cast<ThreadStart*>(arg);
    // Deferred cancellation: the thread dies only inside a blocking call,
    // never halfway through updating memory another thread relies on.
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
#ifdef DORQIN_ASAN
    void* result = nullptr;
    pthread_cleanup_push(UnpoisonDeadStack, nullptr);
    result = reinterpret_cast<void*>(static_cast<uintptr_t>(start.routine(start.parameter)));
    pthread_cleanup_pop(0);
    return result;
#else
    return reinterpret_cast<void*>(static_cast<uintptr_t>(start.routine(start.parameter)));
#endif
}

}  // namespace

SysThread* SysThreadStart(SysThreadRoutine routine, void* parameter) {
    SysThread* thread = new (std::nothrow) SysThread{};
    ThreadStart* start = new (std::nothrow) ThreadStart{routine, parameter};
    if (!thread || !start || pthread_create(&thread->id, nullptr, ThreadMain, start) != 0) {
        delete thread;
        delete start;
        return nullptr;
    }
    return thread;
}

void SysThreadStop(SysThread* thread) {
    if (!thread || thread->joined) return;
    pthread_cancel(thread->id);
    SysThreadJoin(thread);
}

void SysThreadJoin(SysThread* thread) {
    if (!thread || thread->joined) return;
    pthread_join(thread->id, nullptr);
    thread->joined = true;
}

void SysThreadRelease(SysThread* thread) {
    if (!thread) return;
    if (!thread->joined) pthread_detach(thread->id);
    delete thread;
}

namespace {

void KeepStandardDescriptors() {
    // With 0, 1 or 2 closed at start (a service manager's doing, or
    // `<&- >&-`), the first socket or pipe would take one of them: the
    // console texts would go out on the stream, or a connection be polled
    // as the keyboard.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null = open("/dev/null", O_RDWR);
        // Without /dev/null (a bare chroot), the root directory holds the
        // place: reads and writes on it fail, as on a closed descriptor.
        if (null < 0) null = open("/", O_RDONLY | O_DIRECTORY);
        if (null < 0) return;
        if (null != fd) {
            // Lower descriptors are open, so open() gave a higher one.
            dup2(null, fd);
            close(null);
        }
    }
}

}  // namespace

void SysTakeInheritedState(void) {
    KeepStandardDescriptors();
    // A blocked signal stays blocked across exec: a parent's mask would
    // leave SIGTERM pending for good, or keep it from the signalfd that
    // each program sets up for what it waits on.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // So does an ignored one. Ignored SIGCHLD has the kernel reap our
    // children, and waitpid() then fails for good; ignored SIGTERM leaves
    // a service manager's stop unheard. Those two go back to the default.
    // The rest stay as the starter left them, who ignores them on purpose:
    // SIGHUP (nohup), SIGINT and SIGQUIT (a shell's background job, which
    // Ctrl+C at the terminal is not meant to reach), SIGPIPE (write errors
    // instead of an end). Each program then sets its own.
    for (int signo : {SIGCHLD, SIGTERM}) {
        struct sigaction current;
        if (sigaction(signo, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
            current.sa_handler == SIG_IGN) {
            signal(signo, SIG_DFL);
        }
    }
}

uint64_t SysMilliseconds(void) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SysSleep(uint32_t milliseconds) {
    if (milliseconds == 0) {
        pthread_testcancel();
        sched_yield();
        return;
    }
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}
