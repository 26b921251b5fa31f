// What /proc tells about a process, for checks that it holds nothing more
// after a fault than before it.
#pragma once

#include <sys/types.h>

// The CPU time (user and system) pid has used so far, in clock ticks, or -1.
long CpuTicks(pid_t pid);

// The number of open file descriptors of pid, or -1 if /proc cannot say.
int OpenDescriptorCount(pid_t pid);

// The anonymous memory pid has in small pages, in kilobytes, or -1. Not
// VmRSS: code pages come in as paths first run, and with transparent huge
// pages on, a huge page faulted in or collapsed by khugepaged moves the
// resident set by up to 2 MiB at once, whatever the process holds.
long HeldKilobytes(pid_t pid);

// Whether a TCP socket of this network namespace listens on port (IPv4).
bool PortListening(unsigned short port);

// How many TCP sockets of this network namespace on local port (IPv4) are
// not listening: connections, established or on their way.
int PortConnections(unsigned short port);
