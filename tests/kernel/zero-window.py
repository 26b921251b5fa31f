#!/usr/bin/env python3
"""What Linux does with TCP_USER_TIMEOUT while a peer's receive window is
closed, the reason the POSIX layer keeps TCP_MAXRT itself (see
docs/reliability.md). Not a test of the relay: a look at the kernel it runs
on, over loopback, in about a minute. Run as any user:

    python3 tests/kernel/zero-window.py

Each case makes a connection whose reader never reads, so its window
closes with data queued behind it; the reader's kernel answers every probe.
"""
import socket
import struct
import time

TIMEOUT_MS = 5000


def closed_window(user_timeout_ms):
    """A sender with 100-byte frames queued behind a closed window."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    reader = socket.socket()
    reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    reader.connect(listener.getsockname())
    sender, _ = listener.accept()
    listener.close()
    sender.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sender.setsockopt(socket.IPPROTO_TCP, socket.TCP_USER_TIMEOUT, user_timeout_ms)
    sender.setblocking(False)
    for _ in range(300):
        sender.send(b"x" * 100)
        time.sleep(0.001)
    return sender, reader


def unsent(sock):
    """tcpi_notsent_bytes (Linux 4.6), past the part glibc knows."""
    return struct.unpack_from("I", sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 232), 144)[0]


def seconds_until_cut(sock, limit):
    start = time.monotonic()
    while time.monotonic() - start < limit:
        if sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
            return time.monotonic() - start
        time.sleep(0.05)
    return None


def report(what, seconds):
    print(f"{what}: " + ("still open" if seconds is None else f"cut after {seconds:.1f} s"))


sender, reader = closed_window(TIMEOUT_MS)
print(f"bytes queued behind the closed window: {unsent(sender)}")
report(f"TCP_USER_TIMEOUT {TIMEOUT_MS} ms, the peer answering every probe",
       seconds_until_cut(sender, 15))

sender, reader = closed_window(0)
report("TCP_USER_TIMEOUT 0, the same for 15 s", seconds_until_cut(sender, 15))

# The option lifted while the window is closed, the window opened a little
# (the reader takes what it holds) and closed again at once, and the option
# set back half a second later: had the kernel dated the closed window
# afresh, the cut would come no sooner than 4.5 s after that.
sender, reader = closed_window(0)
time.sleep(8)
before = unsent(sender)
reader.recv(65536)
time.sleep(0.5)
print(f"bytes that went out while the window was open: {before - unsent(sender)}")
sender.setsockopt(socket.IPPROTO_TCP, socket.TCP_USER_TIMEOUT, TIMEOUT_MS)
report(f"closed 8 s, opened, closed again, then TCP_USER_TIMEOUT {TIMEOUT_MS} ms",
       seconds_until_cut(sender, 10))

# The reader's side with dorqin-listen's options (tools/listen): keepalive
# after 4 s, every 2 s, 3 probes, TCP_USER_TIMEOUT 10 s. It sends nothing,
# so no window of its peer is ever probed from its side; its own closed
# window does not count against it.
sender, reader = closed_window(0)
reader.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
for option, value in ((socket.TCP_KEEPIDLE, 4), (socket.TCP_KEEPINTVL, 2),
                      (socket.TCP_KEEPCNT, 3), (socket.TCP_USER_TIMEOUT, 10000)):
    reader.setsockopt(socket.IPPROTO_TCP, option, value)
report("a reader with dorqin-listen's options that stops reading, for 25 s",
       seconds_until_cut(reader, 25))
