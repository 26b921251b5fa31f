#include "tools/listen/client_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace {

int LastError = 0;

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

int ClientConnect(const char* host, const char* port, ClientSocket* socketOut) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    // The port is a checked number, so getaddrinfo needs no service lookup.
    int status = getaddrinfo(host, port, &hints, &list);
    if (status != 0) {
        fprintf(stderr, "dorqin-listen: cannot resolve %s port %s: %s\n", host, port,
                ErrorText(status));
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
        if (connect(connected, at->ai_addr, static_cast<int>(at->ai_addrlen)) != 0) {
            lastError = WSAGetLastError();
            closesocket(connected);
            connected = INVALID_SOCKET;
        }
    }
    freeaddrinfo(list);
    if (connected == INVALID_SOCKET) {
        fprintf(stderr, "dorqin-listen: cannot connect to %s port %s: %s%s\n", host, port,
                ErrorText(lastError),
                lastError == WSAECONNREFUSED ? " (is dorqin-relay running?)" : "");
        return -1;
    }
    *socketOut = connected;
    return 0;
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
