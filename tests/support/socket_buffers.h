// Socket tuning that the Winsock names cannot express, for tests that need
// a send to block soon.
#pragma once

// Shrinks the kernel's send and receive buffers of the socket fd to about
// bytes each; false if the kernel refused.
bool ShrinkSocketBuffers(int fd, int bytes);
