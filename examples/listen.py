#!/usr/bin/env python3
"""A client of dorqin-relay in plain Python 3, to start your own from.

    python3 listen.py [--json] [host] [port]      (default 127.0.0.1 5003)

It checks the stream as strictly as dorqin-listen does and prints the same
lines: one per event, at once. The relay only writes: first a 44-byte
greeting, then one 100-byte frame per event, each an ASCII text padded with
zero bytes. Exit status as dorqin-listen's: 0 the relay closed the stream
after whole frames, 1 no connection, 2 bad arguments, 3 bad greeting,
4 malformed frame, 5 the stream ended inside a frame, 6 read error.
"""
import re
import signal
import socket
import sys

GREETING = b'<DORQIN TYP="5" ID="3" VALUE="1023" />'.ljust(44, b"\0")
FRAME_SIZE = 100
NO_VALUE = 1023  # only the greeting carries it
# Signed decimals as the relay writes them: no "+", no leading zero, no "-0".
NUMBER = rb"(0|-?[1-9][0-9]*)"
EVENT = re.compile(rb'<DORQIN TYP="%s" ID="%s" VALUE="%s" />' % (NUMBER, NUMBER, NUMBER))
CHANNELS = {(3, 0): "axis X/Ry", (3, 1): "axis Y/Rz", (3, 2): "axis Z", (3, 3): "axis Rx",
            (2, 2): "Slider", (2, 3): "Dial"}


def fail(status, message):
    print("listen.py: " + message, file=sys.stderr)
    sys.exit(status)


def parse_frame(frame):
    """The frame's (typ, id, value), or None when it is not one the relay sends."""
    text, zero, fill = frame.partition(b"\0")
    match = EVENT.fullmatch(text)
    if not zero or not match or fill.strip(b"\0"):
        return None
    typ, id_, value = (int(number) for number in match.groups())
    if not -2**15 <= typ < 2**15 or not -2**31 <= id_ < 2**31 or not -2**31 <= value < 2**31:
        return None
    return None if value == NO_VALUE else (typ, id_, value)


def describe(typ, id_, value):
    line = "TYP=%d ID=%d VALUE=%d  [" % (typ, id_, value)
    if typ == 1:  # the button word travels in ID; bit n is button n+1
        word = id_ & 0xFFFF
        pressed = [str(bit + 1) for bit in range(16) if word & (1 << bit)]
        line += "buttons 0x%04X: %s" % (word, " ".join(pressed) or "none")
        if not -32768 <= id_ <= 32767:
            line += " (ID beyond 16 bits)"
    else:
        line += CHANNELS.get((typ, id_), "unknown channel")
    return line + "]"


def main(args):
    if "--help" in args or "-h" in args:
        print(__doc__.strip())
        return 0
    json = "--json" in args
    positional = [arg for arg in args if arg != "--json"]
    if any(arg.startswith("-") and arg != "-" for arg in positional) or len(positional) > 2:
        fail(2, "usage: listen.py [--json] [host] [port]")
    host = positional[0] if positional else "127.0.0.1"
    port = positional[1] if len(positional) > 1 else "5003"
    if not re.fullmatch(r"[0-9]+", port, re.ASCII) or not 0 < int(port) <= 65535:
        fail(2, "port must be a number from 1 to 65535, not " + port)

    try:
        connection = socket.create_connection((host, int(port)))
    except OSError as error:
        fail(1, "cannot connect to %s port %s: %s" % (host, port, error))

    held = b""
    greeted = False
    frames = 0
    while True:
        try:
            data = connection.recv(4096)
        except OSError as error:
            fail(6, "reading from the relay failed: %s" % error)
        if not data:
            break
        held += data
        if not greeted and len(held) >= len(GREETING):
            if held[:len(GREETING)] != GREETING:
                fail(3, "bad greeting from the relay: %r" % held[:len(GREETING)])
            held = held[len(GREETING):]
            greeted = True
        while greeted and len(held) >= FRAME_SIZE:
            event = parse_frame(held[:FRAME_SIZE])
            if event is None:
                fail(4, "malformed frame %d: %r" % (frames + 1, held[:FRAME_SIZE]))
            held = held[FRAME_SIZE:]
            frames += 1
            if json:
                print('{"typ":%d,"id":%d,"value":%d}' % event, flush=True)
            else:
                print(describe(*event), flush=True)

    if not greeted:
        fail(3, "bad greeting from the relay: the connection closed after %d of 44 bytes"
             % len(held))
    if held:
        fail(5, "the stream ended inside frame %d (%d of 100 bytes received)"
             % (frames + 1, len(held)))
    return 0


if __name__ == "__main__":
    # Ctrl+C and a closed pipe end the program quietly, as they end dorqin-listen.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main(sys.argv[1:]))
