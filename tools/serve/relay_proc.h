// What the kernel publishes about a running relay, read from /proc: the
// state of its client connection in the socket table and whether the box
// node it holds open is still there. No probe of our own in the stream's
// path, so the relay sends exactly what it would send alone.
#pragma once

#include <sys/types.h>

enum class ClientLink {
    kEstablished,  // the relay holds a socket in state ESTABLISHED
    kGone,         // it holds none: closed by the peer, reset, or dropped by keepalive
    kUnknown,      // /proc could not be read (the relay is exiting)
};

// The relay's client connection once found: its inode and address pair.
struct ClientSocket {
    bool found = false;
    int family = 0;
    unsigned long inode = 0;
    unsigned localAddress[4] = {};   // as the kernel stores them (network order)
    unsigned remoteAddress[4] = {};
    unsigned short localPort = 0;    // host order
    unsigned short remotePort = 0;
    bool lookUpWorks = false;        // sock_diag found it when the table did
};

// The state of the relay's client connection. The first look finds it in
// the socket table (/proc/PID/net/tcp and tcp6) among the relay's own
// sockets and keeps it in client; later looks ask the kernel for that one
// connection by its address pair (sock_diag), because reading the table
// walks every bucket of the machine's connection hash, a few milliseconds
// each time. Where sock_diag cannot find the connection the table shows
// (no inet_diag module: it answers ENOENT for every socket), the table is
// read each time after all. A socket the peer has closed (CLOSE_WAIT) counts as gone: the
// relay's stream is write-only, so a client that closed its side has
// nothing more to say and is, to every client we know, gone.
ClientLink RelayClientLink(pid_t relay, ClientSocket* client);

// True when the relay holds a hidraw node open whose path no longer leads
// to it: the node was removed (the box unplugged) or replaced.
bool RelayBoxGone(pid_t relay);
