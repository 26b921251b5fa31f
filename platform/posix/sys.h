// The few system calls the Win32 stand-ins need, with plain C types, so
// that the stand-ins never meet a POSIX header (whose names collide with
// Winsock's). Every function returns -1 with the Win32/Winsock error code
// in *error (or a negative code) where noted; none of them prints.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Files and console ----

// Opens path for reading and writing; returns the fd or -1 with a Win32
// error code in *error.
int SysOpenReadWrite(const char* path, uint32_t* error);
// One read(2), retried on EINTR; returns the byte count (0 at end of input)
// or -1 with a Win32 error code in *error.
long SysRead(int fd, void* buffer, size_t length, uint32_t* error);
// Writes all of buffer, retrying on EINTR and short writes; returns the
// bytes written or -1 with a Win32 error code in *error.
long SysWriteAll(int fd, const void* buffer, size_t length, uint32_t* error);
void SysClose(int fd);

// ---- Device discovery (sys_device.cpp) ----

// Calls visit(name, context) for every entry of a directory but "." and
// "..", in no particular order; stops early when visit returns 0. Returns
// 0, or -1 when the directory cannot be read.
typedef int (*SysDirectoryVisitor)(const char* name, void* context);
int SysListDirectory(const char* path, SysDirectoryVisitor visit, void* context);
// Reads a whole small file (a sysfs attribute) into buffer; returns its
// length, or -1 when it cannot be read or holds more than capacity bytes.
long SysReadSmallFile(const char* path, void* buffer, size_t capacity);
// Bus, vendor and product of a hidraw node (HIDIOCGRAWINFO); 0, or -1 when
// fd is no hidraw character device.
int SysHidrawInfo(int fd, uint32_t* bus, uint16_t* vendor, uint16_t* product);
// The report descriptor of a hidraw node (HIDIOCGRDESC); its length, or -1
// when fd is no hidraw character device or the descriptor exceeds capacity.
long SysHidrawDescriptor(int fd, void* buffer, size_t capacity);

// ---- Sockets (IPv4, addresses and ports in network byte order) ----

int SysSocket(int winsockType, int* wsaError);
int SysBind(int fd, uint32_t address, uint16_t port, int* wsaError);
int SysListen(int fd, int backlog, int* wsaError);
int SysAccept(int fd, uint32_t* address, uint16_t* port, int* wsaError);
int SysConnect(int fd, uint32_t address, uint16_t port, int* wsaError);
// Never raises SIGPIPE: a peer that went away is an error like any other.
long SysSend(int fd, const void* buffer, size_t length, int* wsaError);
long SysRecv(int fd, void* buffer, size_t length, int* wsaError);
int SysLocalAddress(int fd, uint32_t* address, uint16_t* port, int* wsaError);
int SysShutdown(int fd, int winsockHow, int* wsaError);
int SysSetNoDelay(int fd, bool on, int* wsaError);
int SysGetNoDelay(int fd, bool* on, int* wsaError);
// Keepalive probes after idleMs without traffic, then every intervalMs, the
// connection dropped after count unanswered ones (seconds on Linux, so
// rounded up to whole seconds).
int SysSetKeepAlive(int fd, bool on, uint32_t idleMs, uint32_t intervalMs, int count,
                    int* wsaError);
// What a connection's sending side is waiting for (TCP_INFO).
struct SysTcpSender {
    bool open;             // established, or only the peer has closed its side
    uint32_t unacked;      // segments sent and not yet acknowledged
    uint32_t unsentBytes;  // queued and not sent yet (a closed window holds them)
    uint32_t probes;       // window or keepalive probes unanswered in a row
    uint32_t msSinceAck;   // since the peer last acknowledged anything
};
// 0, or -1 when fd is no TCP socket or the kernel tells too little.
int SysTcpSenderState(int fd, SysTcpSender* sender);
// Caps the interval between retransmissions, and between window probes
// (TCP_RTO_MAX_MS, 1000 to 120000); -1 where the kernel has no such cap
// (before Linux 6.15).
int SysCapRetransmitInterval(int fd, uint32_t milliseconds);

// ---- Process and time ----

// Puts right what a program left running inherits from whoever started
// it and cannot live with: /dev/null on whichever of descriptors 0, 1 and
// 2 are closed (so that no later open, pipe or socket takes one of them),
// no signal blocked, and SIGCHLD and SIGTERM not ignored.
// Every long-running program of ours calls it first; the relay before main.
void SysTakeInheritedState(void);
// Waits milliseconds (0: gives up the processor). Either way a point where
// a stop of the calling thread takes effect.
void SysSleep(uint32_t milliseconds);
// Milliseconds on a clock that only goes forward (CLOCK_MONOTONIC).
uint64_t SysMilliseconds(void);

// ---- Threads ----

typedef struct SysThread SysThread;
typedef uint32_t (*SysThreadRoutine)(void* parameter);

// Starts routine(parameter) on a new thread with cancellation deferred to
// the thread's next blocking call; returns nullptr on failure.
SysThread* SysThreadStart(SysThreadRoutine routine, void* parameter);
// Cancels the thread at its next cancellation point (every blocking read,
// write, send and wait is one) and waits until it is gone. The thread
// object stays valid; a second stop does nothing.
void SysThreadStop(SysThread* thread);
// Waits until the thread has ended (at once when it was stopped before).
void SysThreadJoin(SysThread* thread);
// Forgets the thread object: a thread still running runs on, detached, and
// its resources go when it ends. The object is invalid afterwards.
void SysThreadRelease(SysThread* thread);
