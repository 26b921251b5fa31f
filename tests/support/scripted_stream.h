// A scripted stand-in for the relay's side of the stream: a listening
// socket on a free loopback port and the greeting and event frames exactly
// as the relay writes them, for tests that run dorqin-listen as a process.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace scripted {

// A listening socket on loopback port *port (0: a free one, then set).
// SO_REUSEADDR, as the relay has it: a server can come back on its port
// while its last connections linger in TIME_WAIT.
inline int ListenOn(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(*port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

// A listening socket on a free loopback port.
inline int ListenOnFreePort(uint16_t* port) {
    *port = 0;
    return ListenOn(port);
}

// A loopback port that answers no connect, like a host that drops our
// packets: Linux drops a SYN while the port's listen queue is full, and
// with a backlog of 0 the one connection made here (*held) fills it.
inline int ListenSilently(uint16_t* port, int* held) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    *held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 0) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(*held, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        close(*held);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Whether a connect to loopback port is under way (SYN_SENT in /proc/net/tcp).
inline bool ConnectUnderWay(uint16_t port) {
    char remote[32];
    snprintf(remote, sizeof remote, "0100007F:%04X 02", port);
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);)
        if (line.find(remote) != std::string::npos) return true;
    return false;
}

inline int AcceptWithin(int server, int timeoutMs) {
    pollfd waiting = {server, POLLIN, 0};
    if (poll(&waiting, 1, timeoutMs) != 1) return -1;
    return accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
}

inline std::string Greeting() {
    return std::string("<DORQIN TYP=\"5\" ID=\"3\" VALUE=\"1023\" />") + std::string(6, '\0');
}

inline std::string Frame(const std::string& text) {
    return text + std::string(100 - text.size(), '\0');
}

inline std::string Event(int typ, int id, int value) {
    return Frame("<DORQIN TYP=\"" + std::to_string(typ) + "\" ID=\"" + std::to_string(id) +
                 "\" VALUE=\"" + std::to_string(value) + "\" />");
}

inline void SendAll(int fd, const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t sent = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        ASSERT_GT(sent, 0);
        at += size_t(sent);
    }
}

}  // namespace scripted
