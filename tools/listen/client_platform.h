// What dorqin-listen needs of its platform: a TCP connection to the relay,
// reads from it, and standard streams that carry its text byte for byte.
// One backend per platform (client_platform_posix.cpp and
// client_platform_win32.cpp); the build picks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A connected socket: a file descriptor on POSIX, a SOCKET on Windows.
#ifdef _WIN32
typedef uintptr_t ClientSocket;
#else
typedef int ClientSocket;
#endif

// Readies the platform before anything is printed: standard output and
// standard error write bytes as given (no CR added before LF), and the
// socket library is started. Returns 0, or -1 after saying why on stderr.
int ClientStart(void);

// Why this build has no mode for the option ("--view", "--joystick"), as
// a sentence for standard error, or nullptr when it has it or does not know it.
const char* ClientLacksMode(const char* option);

// Connects to host and port (a numeric address first, then by name).
// Returns 0 and sets *socket, or -1 after saying why on standard error.
int ClientConnect(const char* host, const char* port, ClientSocket* socket);

// Connects as ClientConnect does, but says nothing: on failure *why holds
// the sentence ClientConnect prints, without the program's name. Each
// address gets at most timeoutMs to answer (-1: as long as the system
// gives it); a signal that interrupts the wait ends the attempt.
int ClientConnectQuietly(const char* host, const char* port, int timeoutMs, ClientSocket* socket,
                         std::string* why);

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
// A stop signal that would end the program by default gives the terminal
// back first.
bool ClientKeysStart(void);
void ClientKeysEnd(void);

// POSIX builds, for a loop of their own over standard input: reads what
// was typed once poll says it is readable. Returns 1 when it held q, 0
// when not, -1 once standard input has ended (it is no longer watched).
int ClientKeysTake(void);

enum ClientWaitResult {
    ClientWaitFailed = -1,
    ClientWaitTimedOut = 0,
    ClientWaitData = 1,  // a read of the socket would not block
    ClientWaitQuit = 2,  // q was typed
};

// Waits up to timeoutMs (-1: no limit) for the socket, when hasSocket, and
// for q once ClientKeysStart has been called. Returns a ClientWaitResult;
// ClientWaitFailed with ClientReadInterrupted() true after a signal.
int ClientWait(ClientSocket socket, bool hasSocket, int timeoutMs);

// Waits up to timeoutMs for data or the end of the stream. Returns 1 when
// a read would not block, 0 when the time ran out, -1 on an error.
int ClientWaitReadable(ClientSocket socket, int timeoutMs);

// Reads up to size bytes. Returns the count, 0 when the peer closed the
// connection, or -1 on an error (see ClientReadInterrupted, ClientErrorText).
long ClientRead(ClientSocket socket, void* buffer, size_t size);

// Whether the last failed read was only cut short by a signal: read again.
bool ClientReadInterrupted(void);

// The last socket error as a sentence.
const char* ClientErrorText(void);

void ClientClose(ClientSocket socket);
