// What /proc tells about a process, for checks that it holds nothing more
// after a fault than before it.
#pragma once

#include <sys/types.h>

// The number of open file descriptors of pid, or -1 if /proc cannot say.
int OpenDescriptorCount(pid_t pid);

// The resident set size of pid in kilobytes (VmRSS), or -1.
long ResidentKilobytes(pid_t pid);

// Whether a TCP socket of this network namespace listens on port (IPv4).
bool PortListening(unsigned short port);

// How many TCP sockets of this network namespace on local port (IPv4) are
// not listening: connections, established or on their way.
int PortConnections(unsigned short port);
