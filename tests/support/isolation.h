// Gives the calling process a network namespace of its own with loopback
// up, so black-box runs own port 5003 whatever else runs on the machine.
// Needs root (CI runs as root); returns false and changes nothing where
// namespaces are unavailable or DORQIN_NO_NETNS is set (under Wine, whose
// server may hold the sockets, the relay must share the caller's network).
#pragma once

bool IsolateNetwork();

// Whether IsolateNetwork gave this process a namespace of its own, where a
// test may change the network (drop packets) without touching the host's.
bool NetworkIsolated();
