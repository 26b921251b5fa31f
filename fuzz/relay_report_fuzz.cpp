// The relay's handling of arbitrary reports from a fixed box: the box of
// tests/support/descriptors.h behind a FIFO, a real loopback client, the
// console on a pipe. Each report must give exactly the frames its ID and
// bytes call for, and the console must echo exactly what went on the wire.
//
// Input: reports, each a length byte (1 to 5 bytes follow, by its value
// modulo 5) and that many bytes of report, ID first; at most 64 reports.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "box/box.h"
#include "net/server.h"
#include "platform/posix/device_roots.h"
#include "relay/relay.h"
#include "support/descriptors.h"
#include "support/fake_hidraw.h"
#include "support/loopback.h"

namespace {

#define CHECK(condition)                                                  \
    do {                                                                  \
        if (!(condition)) {                                               \
            fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
            abort();                                                      \
        }                                                                 \
    } while (0)

constexpr size_t kBoxReportLength = 5;
constexpr int kMaxReports = 64;

int boxWriter = -1;
SOCKET peer = INVALID_SOCKET;
int consoleReader = -1;

std::string Event(int typ, int id, int value) {
    return "<DORQIN TYP=\"" + std::to_string(typ) + "\" ID=\"" + std::to_string(id) +
           "\" VALUE=\"" + std::to_string(value) + "\" />";
}

// Reads exactly n bytes from fd, waiting at most a second for each part,
// then makes sure nothing more is there.
std::string ReadAll(int fd, size_t n) {
    std::string out;
    char buffer[512];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        CHECK(poll(&p, 1, 1000) == 1);
        const size_t want = n - out.size() < sizeof buffer ? n - out.size() : sizeof buffer;
        const ssize_t got = read(fd, buffer, want);
        CHECK(got > 0);
        out.append(buffer, static_cast<size_t>(got));
    }
    pollfd p{fd, POLLIN, 0};
    CHECK(poll(&p, 1, 0) == 0);
    return out;
}

// What the box's report r (zero-filled to its length) must send.
void ExpectedEvents(const uint8_t* r, std::string* wire, std::string* console) {
    auto add = [&](int typ, int id, int value) {
        if (value == 1023) return;
        const std::string text = Event(typ, id, value);
        *wire += text + std::string(100 - text.size(), '\0');
        *console += text + "\n";
    };
    auto word = [&](int at) { return static_cast<int16_t>(r[at] | (r[at + 1] << 8)); };
    switch (r[0]) {
    case 1: add(1, word(1), 1); break;
    case 2: add(3, 0, word(1)); add(3, 1, word(3)); break;
    case 3: add(3, 2, word(1)); add(3, 3, word(3)); break;
    case 4: add(3, 0, word(1)); add(3, 1, word(3)); break;
    case 5: add(2, 2, word(1)); add(2, 3, word(3)); break;
    default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Removed at a normal exit; kept for the process's life.
    static FakeHidTree tree;
    CHECK(tree.ok() && tree.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
    CHECK(SetHidDeviceRoots(tree.HidrawDir().c_str(), tree.DevDir().c_str()));
    CHECK(FindBox(BoxUsagePage, BoxUsage) == 1 && AllocReportBuffer() == 1);
    CHECK(BoxState.InputReportLength == kBoxReportLength);
    boxWriter = open(tree.NodePath("hidraw0").c_str(), O_WRONLY | O_CLOEXEC);
    CHECK(boxWriter >= 0);
    peer = ConnectClientSocketToPeer();
    CHECK(peer != INVALID_SOCKET);
    // The console goes to a pipe that is checked and emptied after each report.
    int console[2];
    CHECK(pipe2(console, O_CLOEXEC) == 0);
    CHECK(dup2(console[1], 1) == 1);
    close(console[1]);
    consoleReader = console[0];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t pos = 0;
    for (int n = 0; n < kMaxReports && pos < size; ++n) {
        size_t length = data[pos++] % kBoxReportLength + 1;
        if (length > size - pos) length = size - pos;
        if (length == 0) break;
        uint8_t report[kBoxReportLength] = {};
        memcpy(report, data + pos, length);
        pos += length;

        // One write, one read: the FIFO hands the relay this report alone.
        CHECK(write(boxWriter, report, length) == static_cast<ssize_t>(length));
        CHECK(ReadInputReport() == static_cast<int>(kBoxReportLength));
        RelayReport();

        std::string wire, console;
        ExpectedEvents(report, &wire, &console);
        CHECK(ReadAll(static_cast<int>(peer), wire.size()) == wire);
        CHECK(ReadAll(consoleReader, console.size()) == console);
    }
    return 0;
}
