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

const int ClientErrorTimedOut = WSAETIMEDOUT;

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

long long ClientNowMs(void) { return static_cast<long long>(GetTickCount64()); }

int ClientResolve(const char* host, const char* port, addrinfo** addresses, std::string* why) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // The port is a checked number, so getaddrinfo needs no service lookup.
    int status = getaddrinfo(host, port, &hints, addresses);
    if (status == 0) return 0;
    char text[512];
    snprintf(text, sizeof text, "cannot resolve %s port %s: %s", host, port, ErrorText(status));
    *why = text;
    return -1;
}

void ClientFreeAddresses(addrinfo* addresses) { freeaddrinfo(addresses); }

const addrinfo* ClientNextAddress(const addrinfo* address) { return address->ai_next; }

int ClientConnectStart(const addrinfo* address, ClientSocket* socketOut) {
    SOCKET connecting = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (connecting == INVALID_SOCKET) return WSAGetLastError();
    u_long nonBlocking = 1;
    ioctlsocket(connecting, FIONBIO, &nonBlocking);
    if (connect(connecting, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        int error = WSAGetLastError();
        closesocket(connecting);
        return error;
    }
    *socketOut = connecting;
    return 0;
}

int ClientConnectResult(ClientSocket socket) {
    int error = 0;
    int size = sizeof error;
    if (getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_ERROR,
                   reinterpret_cast<char*>(&error), &size) != 0)
        return WSAGetLastError();
    if (error == 0) {
        u_long nonBlocking = 0;
        ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &nonBlocking);
    }
    return error;
}

std::string ClientConnectErrorText(int error) {
    return std::string(ErrorText(error)) +
           (error == WSAECONNREFUSED ? " (is dorqin-relay running?)" : "");
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

void ClientCatchStops(void) {}

void ClientEndBySignal(void) {}

int ClientWait(ClientSocket socket, int awaited, int timeoutMs) {
    // A connect is done when the socket is writable, and has failed when
    // it is in the exception set.
    SOCKET watched = static_cast<SOCKET>(socket);
    fd_set readable, done, failed;
    FD_ZERO(&readable);
    FD_ZERO(&done);
    FD_ZERO(&failed);
    if (watched != INVALID_SOCKET && awaited == ClientForData) FD_SET(watched, &readable);
    if (watched != INVALID_SOCKET && awaited == ClientForConnect) {
        FD_SET(watched, &done);
        FD_SET(watched, &failed);
    }
    if (WakeReceive != INVALID_SOCKET) FD_SET(WakeReceive, &readable);
    if (readable.fd_count + done.fd_count == 0) {
        // Nothing to wait for but the time (select needs a socket).
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return ClientWaitTimedOut;
    }
    timeval limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int ready = select(0, &readable, &done, &failed, timeoutMs < 0 ? nullptr : &limit);
    if (ready == SOCKET_ERROR) {
        LastError = WSAGetLastError();
        return ClientWaitFailed;
    }
    if (ready == 0) return ClientWaitTimedOut;
    if (WakeReceive != INVALID_SOCKET && FD_ISSET(WakeReceive, &readable)) return ClientWaitQuit;
    return ClientWaitReady;
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


const char* ClientErrorText(void) { return ErrorText(LastError); }

void ClientClose(ClientSocket socket) { closesocket(static_cast<SOCKET>(socket)); }
