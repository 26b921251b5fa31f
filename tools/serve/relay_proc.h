// What the kernel publishes about a running relay, read from /proc: the
// state of its client connection in the socket table and whether the box
// node it holds open is still there. No probe of our own in the stream's
// path, so the relay sends exactly what it would send alone.
#pragma once

#include <sys/types.h>

#include "tools/serve/supervisor.h"

// The relay's client connection once found: its inode and address pair.
struct ClientSocket {
    bool found = false;
    int family = 0;
    unsigned long inode = 0;
    unsigned localAddress[4] = {};   // as the kernel stores them (network order)
    unsigned remoteAddress[4] = {};
    unsigned short localPort = 0;    // host order
    unsigned short remotePort = 0;
    int state = 0;                   // in the table, when found
    bool lookUpWorks = false;        // sock_diag found it when the table did
    bool byPort = false;             // the relay's descriptors could not be read: found by
                                     // its local port among accepted connections instead
};

// The state of the relay's client connection. The first look finds it in
// the socket table (/proc/PID/net/tcp and tcp6) among the relay's own
// sockets and keeps it in client; later looks ask the kernel for that one
// connection by its address pair (sock_diag), because reading the table
// walks every bucket of the machine's connection hash, a few milliseconds
// each time. Where sock_diag cannot find the connection the table shows
// (no inet_diag module: it answers ENOENT for every socket), the table is
// read each time after all. Where the relay's descriptors cannot be read
// (/proc/PID/fd of a process that is not dumpable), the connection is the
// accepted one on the relay's port (client->byPort): ours is the only
// relay. A socket the peer has closed (CLOSE_WAIT) is kHalfClosed: a
// client gone and one that only shut down its sending side look alike
// until the relay sends again, when the gone one answers with a reset.
ClientLink RelayClientLink(pid_t relay, unsigned short relayPort, ClientSocket* client);

// What is watched of the box. Where the relay's descriptors can be read,
// the hidraw node it holds; elsewhere (fallback set), the box's nodes as
// sysfs names them when the watch began.
struct NodeId {
    unsigned long long device = 0, inode = 0, rdev = 0;
};
struct BoxWatch {
    bool fallback = false;
    bool started = false;
    NodeId nodes[8];
    int nodeCount = 0;
};

// True when the box the relay opened is gone: the node it holds open no
// longer at its path (unplugged), or another node there now (plugged in
// again under the same name). With the relay's descriptors unreadable,
// sets watch->fallback and compares the box's nodes instead.
bool RelayBoxGone(pid_t relay, BoxWatch* watch);

// Looks for a node of the box (vendor, product) that this process may not
// open. Returns 0 when every node opens, or the errno of the first refused
// one and its path: EPERM from a device rule (a cgroup's, such as a
// service's DeviceAllow=), EACCES from the node's own permissions.
int BoxNodeRefused(unsigned short vendor, unsigned short product, char* path, size_t capacity);
