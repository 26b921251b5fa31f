// What dorqin-listen needs of its platform: TCP connections to the relay
// made without blocking, one wait for the socket, the q key and the stop
// signals together, reads, and standard streams that carry its text byte
// for byte. One backend per platform (client_platform_posix.cpp and
// client_platform_win32.cpp); the build picks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A socket: a file descriptor on POSIX, a SOCKET on Windows.
#ifdef _WIN32
typedef uintptr_t ClientSocket;
constexpr ClientSocket ClientNoSocket = ~uintptr_t(0);  // INVALID_SOCKET
#else
typedef int ClientSocket;
constexpr ClientSocket ClientNoSocket = -1;
#endif

struct addrinfo;

// Readies the platform before anything is printed: standard output and
// standard error write bytes as given (no CR added before LF), and the
// socket library is started. Returns 0, or -1 after saying why on stderr.
int ClientStart(void);

// Why this build has no mode for the option ("--view", "--joystick"), as
// a sentence for standard error, or nullptr when it has it or does not know it.
const char* ClientLacksMode(const char* option);

// A steady clock in milliseconds, for deadlines.
long long ClientNowMs(void);

// The addresses of host and port (a numeric address first, which needs no
// name service; then by name, which waits for the resolver). Returns 0
// and sets *addresses (free them with ClientFreeAddresses), or -1 with the
// sentence for standard error in *why.
int ClientResolve(const char* host, const char* port, addrinfo** addresses, std::string* why);
void ClientFreeAddresses(addrinfo* addresses);
const addrinfo* ClientNextAddress(const addrinfo* address);

// Starts a non-blocking connect to one address. Returns 0 with *socket
// under way (ClientWait with ClientForConnect says when it is done), or
// the system's error, with no socket left.
int ClientConnectStart(const addrinfo* address, ClientSocket* socket);

// How a connect that ClientWait saw done came out: 0 connected, the
// socket blocking again; otherwise the system's error (the caller closes).
int ClientConnectResult(ClientSocket socket);

// A connect's error as the text after "cannot connect to HOST port PORT: "
// ("Connection refused (is dorqin-relay running?)").
std::string ClientConnectErrorText(int error);
// The error of a connect whose time ran out.
extern const int ClientErrorTimedOut;

// Has the system probe the connection after idleMs without a byte from
// the peer, every intervalMs, and end it (reads fail with a timeout) when
// probes answers are missing: a link gone quiet then ends like any other
// loss. Best effort, like the relay's own socket options: failures are
// ignored.
void ClientKeepAlive(ClientSocket socket, int idleMs, int intervalMs, int probes);

// Standard input as the source of the q key that ends dorqin-listen: on a
// terminal one key at a time, without echo, until ClientKeysEnd. Returns
// false when there are none to watch (a job in the background of a shell,
// which touching the terminal would stop).
bool ClientKeysStart(void);
void ClientKeysEnd(void);

// POSIX builds, for --view, whose curses reads the keys itself: the waits
// only watch standard input, and return ClientWaitInput when it has
// something or another signal (a resize) came.
void ClientKeysWatch(void);

// SIGINT, SIGTERM and SIGHUP (those not ignored from the start: nohup, a
// background job) no longer end the program where they come, but end the
// next or current ClientWait with ClientWaitStopped, so that the caller
// puts its terminal or device right first, then calls ClientEndBySignal.
// No-ops on Windows, where Ctrl+C ends the program after the console's
// mode is back.
void ClientCatchStops(void);
// Ends the program by the stop signal caught, as the signal would have,
// once standard input has its modes back (ClientKeysEnd).
void ClientEndBySignal(void);
// POSIX builds, for --joystick: the stop signal caught, or 0.
int ClientStopSignal(void);

enum ClientWaitFor {
    ClientForData,     // a read of the socket would not block
    ClientForConnect,  // the socket's connect is done, either way
};

enum ClientWaitResult {
    ClientWaitFailed = -1,  // ClientErrorText says why
    ClientWaitTimedOut = 0,
    ClientWaitReady,    // the socket, as awaited
    ClientWaitQuit,     // q was typed
    ClientWaitStopped,  // a stop signal came (ClientCatchStops)
    ClientWaitInput,    // for the caller's own key reader (ClientKeysWatch)
};

// The one wait: up to timeoutMs (-1: no limit) for the socket (none:
// ClientNoSocket), for q once ClientKeysStart has been called, and for a
// stop signal once ClientCatchStops has been. Returns a ClientWaitResult.
int ClientWait(ClientSocket socket, int awaited, int timeoutMs);

// Reads up to size bytes, once ClientWait has said a read would not block
// (so no signal cuts it short). Returns the count, 0 when the peer closed
// the connection, or -1 on an error (see ClientErrorText).
long ClientRead(ClientSocket socket, void* buffer, size_t size);

// The last socket error as a sentence.
const char* ClientErrorText(void);

void ClientClose(ClientSocket socket);
