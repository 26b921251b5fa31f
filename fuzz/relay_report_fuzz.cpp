// The relay's handling of arbitrary reports from a fixed box: the box of
// tests/support/descriptors.h behind a FIFO, a real loopback client, the
// console on a pipe. Each input's reports must give exactly the frames
// their IDs and bytes call for, in order and closed by a marker report's,
// and the console must echo exactly what went on the wire.
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
#include "fuzz/check.h"
#include "net/server.h"
#include "platform/posix/device_roots.h"
#include "relay/relay.h"
#include "support/descriptors.h"
#include "support/fake_hidraw.h"
#include "support/loopback.h"

namespace {

constexpr size_t kBoxReportLength = 5;
constexpr int kMaxReports = 64;

int boxWriter = -1;
SOCKET peer = INVALID_SOCKET;
int consoleReader = -1;

std::string Event(int typ, int id, int value) {
    return "<DORQIN TYP=\"" + std::to_string(typ) + "\" ID=\"" + std::to_string(id) +
           "\" VALUE=\"" + std::to_string(value) + "\" />";
}

// Reads exactly n bytes from fd, waiting up to ten seconds for each part.
std::string ReadExactly(int fd, size_t n) {
    std::string out;
    char buffer[4096];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        CHECK(poll(&p, 1, 10000) == 1);
        const size_t want = n - out.size() < sizeof buffer ? n - out.size() : sizeof buffer;
        const ssize_t got = read(fd, buffer, want);
        CHECK(got > 0);
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

// Fails, showing where, unless got is want.
void Compare(const char* what, const std::string& got, const std::string& want, size_t unit) {
    if (got == want) return;
    size_t i = 0;
    while (i < got.size() && got[i] == want[i]) ++i;
    const size_t at = i / unit * unit;
    fprintf(stderr, "%s differs in unit %zu:\n  got  \"%s\"\n  want \"%s\"\n", what, i / unit,
            got.substr(at, unit).c_str(), want.substr(at, unit).c_str());
    abort();
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
    // Gone again when this returns: the box stays open through its
    // descriptors, and nothing is left behind however the run ends.
    FakeHidTree tree;
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

namespace {

// The last report of every input: its frame closes the input's stream, so
// everything before it is known to have been sent for this input's
// reports, whenever the loopback delivers it (under load the kernel may
// finish a send's delivery after send has returned).
constexpr uint8_t kMarker[3] = {0x01, 0x5A, 0xA5};

void Deliver(const uint8_t* report, size_t length) {
    // One write, one read: the FIFO hands the relay this report alone.
    CHECK(write(boxWriter, report, length) == static_cast<ssize_t>(length));
    CHECK(ReadInputReport() == static_cast<int>(kBoxReportLength));
    RelayReport();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string wire, console;
    size_t pos = 0;
    for (int n = 0; n < kMaxReports && pos < size; ++n) {
        size_t length = data[pos++] % kBoxReportLength + 1;
        if (length > size - pos) length = size - pos;
        if (length == 0) break;
        uint8_t report[kBoxReportLength] = {};
        memcpy(report, data + pos, length);
        pos += length;
        Deliver(report, length);
        ExpectedEvents(report, &wire, &console);
    }
    Deliver(kMarker, sizeof kMarker);
    uint8_t marker[kBoxReportLength] = {};
    memcpy(marker, kMarker, sizeof kMarker);
    ExpectedEvents(marker, &wire, &console);

    Compare("wire", ReadExactly(static_cast<int>(peer), wire.size()), wire, 100);
    Compare("console", ReadExactly(consoleReader, console.size()), console, 64);
    return 0;
}
