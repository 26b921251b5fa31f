#include "tools/listen/client_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mstcpip.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace {

int LastError = 0;

// q reaches the waits through a loopback connection of our own: select
// waits on sockets only, and standard input is read by a thread.
SOCKET WakeSend = INVALID_SOCKET;
SOCKET WakeReceive = INVALID_SOCKET;
HANDLE Input = INVALID_HANDLE_VALUE;
DWORD SavedMode = 0;
bool ModeSet = false;

BOOL WINAPI RestoreOnStop(DWORD) {
    if (ModeSet) SetConsoleMode(Input, SavedMode);
    return FALSE;  // the default handler still ends the program
}

DWORD WINAPI ReadKeys(LPVOID) {
    char typed[64];
    DWORD got = 0;
    // Until standard input ends; then only the stream and Ctrl+C are left.
    while (ReadFile(Input, typed, sizeof typed, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) {
            if (typed[i] == 'q' || typed[i] == 'Q') {
                send(WakeSend, "q", 1, 0);
                return 0;
            }
        }
    }
    return 0;
}

bool MakeWakePair() {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bool made = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                listen(listener, 1) == 0 &&
                getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (made) {
        WakeSend = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        made = WakeSend != INVALID_SOCKET &&
               connect(WakeSend, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    if (made) {
        WakeReceive = accept(listener, nullptr, nullptr);
        made = WakeReceive != INVALID_SOCKET;
    }
    closesocket(listener);
    return made;
}

// connect with a bound: non-blocking, then select for its answer.
int ConnectWithin(SOCKET connecting, const sockaddr* address, int length, int timeoutMs) {
    if (timeoutMs < 0) return connect(connecting, address, length) == 0 ? 0 : WSAGetLastError();
    u_long nonBlocking = 1;
    ioctlsocket(connecting, FIONBIO, &nonBlocking);
    int error = 0;
    if (connect(connecting, address, length) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set done, failed;
            FD_ZERO(&done);
            FD_ZERO(&failed);
            FD_SET(connecting, &done);
            FD_SET(connecting, &failed);
            timeval limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
            int ready = select(0, nullptr, &done, &failed, &limit);
            int size = sizeof error;
            if (ready == SOCKET_ERROR)
                error = WSAGetLastError();
            else if (ready == 0)
                error = WSAETIMEDOUT;
            else if (FD_ISSET(connecting, &failed))
                getsockopt(connecting, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                           &size);
            else
                error = 0;
        }
    }
    nonBlocking = 0;
    ioctlsocket(connecting, FIONBIO, &nonBlocking);
    return error;
}

// The system's text for a Winsock error, without the line break it ends in.
const char* ErrorText(int error) {
    static char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error), 0, text, sizeof text,
                                  nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    if (length == 0) {
        snprintf(text, sizeof text, "Winsock error %d", error);
    } else {
        text[length] = '\0';
    }
    return text;
}

}  // namespace

int ClientStart(void) {
    // The C runtime's text mode writes CR LF for every LF; the output is
    // to be the Linux build's, byte for byte, as the relay's console text is.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    WSADATA data;
    int status = WSAStartup(MAKEWORD(2, 2), &data);
    if (status != 0) {
        fprintf(stderr, "dorqin-listen: the socket library did not start: %s\n",
                ErrorText(status));
        return -1;
    }
    return 0;
}

const char* ClientLacksMode(const char* option) {
    if (strcmp(option, "--view") == 0 || strcmp(option, "--joystick") == 0) {
        return "is not available in the Windows build of dorqin-listen (Linux only); without it, "
               "dorqin-listen prints one line per event";
    }
    return nullptr;
}

int ClientConnectQuietly(const char* host, const char* port, int timeoutMs,
                         ClientSocket* socketOut, std::string* why) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    // The port is a checked number, so getaddrinfo needs no service lookup.
    int status = getaddrinfo(host, port, &hints, &list);
    char text[512];
    if (status != 0) {
        snprintf(text, sizeof text, "cannot resolve %s port %s: %s", host, port,
                 ErrorText(status));
        *why = text;
        return -1;
    }
    int lastError = 0;
    SOCKET connected = INVALID_SOCKET;
    for (addrinfo* at = list; at && connected == INVALID_SOCKET; at = at->ai_next) {
        connected = socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (connected == INVALID_SOCKET) {
            lastError = WSAGetLastError();
            continue;
        }
        lastError = ConnectWithin(connected, at->ai_addr, static_cast<int>(at->ai_addrlen),
                                  timeoutMs);
        if (lastError != 0) {
            closesocket(connected);
            connected = INVALID_SOCKET;
        }
    }
    freeaddrinfo(list);
    if (connected == INVALID_SOCKET) {
        snprintf(text, sizeof text, "cannot connect to %s port %s: %s%s", host, port,
                 ErrorText(lastError),
                 lastError == WSAECONNREFUSED ? " (is dorqin-relay running?)" : "");
        *why = text;
        return -1;
    }
    *socketOut = connected;
    return 0;
}

int ClientConnect(const char* host, const char* port, ClientSocket* socketOut) {
    std::string why;
    if (ClientConnectQuietly(host, port, -1, socketOut, &why) == 0) return 0;
    fprintf(stderr, "dorqin-listen: %s\n", why.c_str());
    return -1;
}

void ClientKeepAlive(ClientSocket socket, int idleMs, int intervalMs, int) {
    // Windows sends its own fixed count of probes (10) at the interval.
    tcp_keepalive values = {1, static_cast<ULONG>(idleMs), static_cast<ULONG>(intervalMs)};
    DWORD returned = 0;
    WSAIoctl(static_cast<SOCKET>(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
             &returned, nullptr, nullptr);
}

bool ClientKeysStart(void) {
    Input = GetStdHandle(STD_INPUT_HANDLE);
    if (Input == INVALID_HANDLE_VALUE || Input == nullptr || !MakeWakePair()) return false;
    // A console gives each key as it is typed, without echo; Ctrl+C still
    // ends the program, after the mode is back.
    if (GetConsoleMode(Input, &SavedMode)) {
        SetConsoleCtrlHandler(RestoreOnStop, TRUE);
        ModeSet = SetConsoleMode(Input, SavedMode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) != 0;
    }
    HANDLE reader = CreateThread(nullptr, 0, ReadKeys, nullptr, 0, nullptr);
    if (reader) CloseHandle(reader);
    return reader != nullptr;
}

void ClientKeysEnd(void) {
    if (ModeSet) SetConsoleMode(Input, SavedMode);
    ModeSet = false;
}

int ClientWait(ClientSocket socket, bool hasSocket, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    if (hasSocket) FD_SET(static_cast<SOCKET>(socket), &readable);
    if (WakeReceive != INVALID_SOCKET) FD_SET(WakeReceive, &readable);
    if (readable.fd_count == 0) {
        // Nothing to wait for but the time (select needs a socket).
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return ClientWaitTimedOut;
    }
    timeval limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int ready = select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit);
    if (ready == SOCKET_ERROR) {
        LastError = WSAGetLastError();
        return ClientWaitFailed;
    }
    if (ready == 0) return ClientWaitTimedOut;
    if (WakeReceive != INVALID_SOCKET && FD_ISSET(WakeReceive, &readable)) return ClientWaitQuit;
    return ClientWaitData;
}

int ClientWaitReadable(ClientSocket socket, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket), &readable);
    timeval limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int ready = select(0, &readable, nullptr, nullptr, &limit);
    if (ready == SOCKET_ERROR) {
        LastError = WSAGetLastError();
        return -1;
    }
    return ready;
}

long ClientRead(ClientSocket socket, void* buffer, size_t size) {
    int got = recv(static_cast<SOCKET>(socket), static_cast<char*>(buffer),
                   static_cast<int>(size), 0);
    if (got == SOCKET_ERROR) {
        LastError = WSAGetLastError();
        return -1;
    }
    return got;
}

bool ClientReadInterrupted(void) { return LastError == WSAEINTR; }

const char* ClientErrorText(void) { return ErrorText(LastError); }

void ClientClose(ClientSocket socket) { closesocket(static_cast<SOCKET>(socket)); }
