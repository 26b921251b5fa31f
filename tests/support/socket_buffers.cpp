#include "support/socket_buffers.h"

#include <sys/socket.h>

bool ShrinkSocketBuffers(int fd, int bytes) {
    return setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}
