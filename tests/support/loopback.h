// A real loopback connection for the server's client socket, built with
// the same Winsock names the relay uses, so that tests read exactly the
// bytes SendEvent put on the wire.
#pragma once

#include <algorithm>
#include <string>

#include "net/server.h"

// Starts the socket library and connects ServerState.ClientSocket to a
// fresh peer socket, which it returns (INVALID_SOCKET on failure).
inline SOCKET ConnectClientSocketToPeer() {
    WSADATA data;
    if (WSAStartup(SocketVersion, &data) != 0) return INVALID_SOCKET;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener, reinterpret_cast<SOCKADDR*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<SOCKADDR*>(&address), &length) != 0) {
        return INVALID_SOCKET;
    }
    SOCKET peer = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(peer, reinterpret_cast<SOCKADDR*>(&address), sizeof address) != 0) {
        return INVALID_SOCKET;
    }
    ServerState.ClientSocket = accept(listener, nullptr, nullptr);
    closesocket(listener);
    return ServerState.ClientSocket == INVALID_SOCKET ? INVALID_SOCKET : peer;
}

// Releases every start of the socket library, closing all its sockets.
inline void ReleaseSocketLibrary() {
    while (WSACleanup() == 0) {
    }
}

// Reads n bytes from the peer (fewer if it closes); blocks until then.
inline std::string ReceiveFrom(SOCKET peer, size_t n) {
    std::string data;
    char buffer[256];
    while (data.size() < n) {
        int want = static_cast<int>(std::min(n - data.size(), sizeof buffer));
        int got = recv(peer, buffer, want, 0);
        if (got <= 0) break;
        data.append(buffer, static_cast<size_t>(got));
    }
    return data;
}

// An event frame: the text, zero-filled to 100 bytes.
inline std::string EventFrame(const std::string& text) {
    return text + std::string(EventFrameSize - text.size(), '\0');
}
