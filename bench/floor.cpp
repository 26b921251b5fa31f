// dorqin-floor: the least any relay of the bench's box can do on this
// machine. It makes only the system calls the relay's observable behaviour
// needs (one read per report, one 100-byte send per frame, one console
// write per echoed line) with as little as possible around them, and it
// puts the same bytes on the wire and the console, so the bench can check
// it like the relay and report the relay as a ratio to it.
//
// It knows the bench's box by heart (report length 5, each axis a 16-bit
// little-endian field at a fixed place) instead of parsing its descriptor,
// and runs the loop on a thread of its own while the main thread waits for
// a line on standard input.
//
// It is built twice. dorqin-floor-nodelay does the relay's socket work:
// SO_REUSEADDR on the listener (the relay's POSIX layer sets it too) and
// TCP_NODELAY on the client, so every frame leaves as its own segment.
// dorqin-floor leaves Nagle's algorithm on, so a frame sent while the
// previous one is unacknowledged waits and leaves with the next ones: fewer
// segments, more throughput, and stalls behind a client's delayed ACK. The
// two side by side give the relay's cost against the same work and what
// TCP_NODELAY itself costs and buys.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "net/stream.h"

namespace {

constexpr int kReportLength = 5;

int client = -1;
int box = -1;

char* Append(char* out, const char* text) {
    while (*text) *out++ = *text++;
    return out;
}

char* AppendDecimal(char* out, int32_t value) {
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0u - magnitude;
    }
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

void Emit(int typ, int id, int value) {
    if (value == NoValueMarker) return;
    char frame[EventFrameSize] = {};
    char* out = Append(frame, "<DORQIN TYP=\"");
    out = AppendDecimal(out, typ);
    out = Append(out, "\" ID=\"");
    out = AppendDecimal(out, id);
    out = Append(out, "\" VALUE=\"");
    out = AppendDecimal(out, value);
    out = Append(out, "\" />");
    if (send(client, frame, EventFrameSize, MSG_NOSIGNAL) != EventFrameSize) return;
    *out++ = '\n';
    if (write(1, frame, static_cast<size_t>(out - frame)) < 0) return;
}

int16_t Word(const uint8_t* bytes) { return static_cast<int16_t>(bytes[0] | (bytes[1] << 8)); }

void* Loop(void*) {
    // TYP and first ID of reports 2 to 5, as the relay sends them.
    static const int kTyp[4] = {3, 3, 3, 2};
    static const int kFirstId[4] = {0, 2, 0, 2};
    uint8_t report[kReportLength];
    for (;;) {
        if (read(box, report, kReportLength) <= 0) continue;
        const uint8_t id = report[0];
        if (id == 1) {
            Emit(1, Word(report + 1), 1);
        } else if (id >= 2 && id <= 5) {
            const int16_t first = Word(report + 1), second = Word(report + 3);
            Emit(kTyp[id - 2], kFirstId[id - 2], first);
            Emit(kTyp[id - 2], kFirstId[id - 2] + 1, second);
        }
    }
    return nullptr;
}

}  // namespace

int main() {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(RelayPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        listen(listener, 5) < 0) {
        perror("dorqin-floor: listen");
        return 2;
    }
    client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#ifdef DORQIN_FLOOR_NODELAY
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
#endif
    char greeting[GreetingFrameSize] = {};
    memcpy(greeting, GreetingText, sizeof GreetingText - 1);
    if (client < 0 || send(client, greeting, GreetingFrameSize, MSG_NOSIGNAL) != GreetingFrameSize) {
        perror("dorqin-floor: client");
        return 2;
    }
    box = open("/dev/hidraw0", O_RDWR | O_CLOEXEC);
    if (box < 0) {
        perror("dorqin-floor: /dev/hidraw0");
        return 2;
    }
    pthread_t thread;
    pthread_create(&thread, nullptr, Loop, nullptr);
    char c;
    if (read(0, &c, 1) < 0) return 2;
    return 1;
}
