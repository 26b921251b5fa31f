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

// The state of the relay's client connection. A socket the peer has closed
// (CLOSE_WAIT) counts as gone: the relay's stream is write-only, so a
// client that closed its side has nothing more to say and is, to every
// client we know, gone.
ClientLink RelayClientLink(pid_t relay);

// True when the relay holds a hidraw node open whose path no longer leads
// to it: the node was removed (the box unplugged) or replaced.
bool RelayBoxGone(pid_t relay);
