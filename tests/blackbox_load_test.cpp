// Nothing lost: a long run of reports with known values through the real
// binary and its box node. The client gets every expected frame, byte for
// byte and in order, and the console echoes exactly what went on the wire.
// DORQIN_LOAD_REPORTS sets the number of reports (default 100000).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/relaying_box.h"

namespace {

const char kEnd[] = "\nEingabe abgeschlossen.";
constexpr size_t kReportLength = 5;
// Whole reports only, and no more than one pipe write moves at once, so
// the node never holds part of a report.
constexpr size_t kChunk = (4096 / kReportLength) * kReportLength;

struct Load {
    std::string reports;  // what the box delivers, kReportLength bytes each
    std::string wire;     // the frames the client must receive
    std::string console;  // the echo lines
    size_t frames = 0;
};

// Report i takes the six kinds in turn (buttons, the four axis reports, one
// the relay ignores) with pseudo-random 16-bit values; every 101st first
// reading and 103rd second reading is 1023, which must not be sent.
Load MakeLoad(int count) {
    Load load;
    uint32_t state = 0x2545F491;
    auto add = [&](int typ, int id, int value) {
        if (value == 1023) return;
        const std::string text = Event(typ, id, value);
        load.wire += ExpectedFrame(text);
        load.console += text + "\n";
        ++load.frames;
    };
    for (int i = 0; i < count; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        uint16_t a = static_cast<uint16_t>(state);
        uint16_t b = static_cast<uint16_t>(state >> 16);
        if (i % 101 == 0) a = 1023;
        if (i % 103 == 0) b = 1023;
        const uint8_t id = static_cast<uint8_t>(1 + i % 6);
        const char report[kReportLength] = {static_cast<char>(id), static_cast<char>(a),
                                            static_cast<char>(a >> 8), static_cast<char>(b),
                                            static_cast<char>(b >> 8)};
        load.reports.append(report, kReportLength);
        const int16_t x = static_cast<int16_t>(a), y = static_cast<int16_t>(b);
        switch (id) {
        case 1: add(1, x, 1); break;
        case 2: add(3, 0, x); add(3, 1, y); break;
        case 3: add(3, 2, x); add(3, 3, y); break;
        case 4: add(3, 0, x); add(3, 1, y); break;
        case 5: add(2, 2, x); add(2, 3, y); break;
        default: break;
        }
    }
    return load;
}

// Where two streams of equal-sized units first differ, for a readable
// failure instead of megabytes of diff.
std::string FirstDifference(const std::string& got, const std::string& want, size_t unit) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    const size_t at = i / unit * unit;
    return "first difference in unit " + std::to_string(i / unit) + " of " +
           std::to_string(want.size() / unit) + ": got \"" + got.substr(at, unit) +
           "\" want \"" + want.substr(at, unit) + "\" (got " + std::to_string(got.size()) +
           " bytes, want " + std::to_string(want.size()) + ")";
}

int LoadReports() {
    const char* text = getenv("DORQIN_LOAD_REPORTS");
    const int count = text ? atoi(text) : 0;
    return count > 0 ? count : 100000;
}

TEST_F(RelayingBox, AHundredThousandReportsArriveWholeInOrderAndEchoedExactly) {
    const int count = LoadReports();
    const Load load = MakeLoad(count);

    // Blocking writes: the writer waits whenever the relay is behind, so
    // the node never drops or splits anything.
    int box = open(tree_.NodePath("hidraw0").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(box, 0);
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] {
        for (size_t at = 0; at < load.reports.size(); at += kChunk) {
            const size_t n = std::min(kChunk, load.reports.size() - at);
            if (write(box, load.reports.data() + at, n) != static_cast<ssize_t>(n)) break;
        }
    });

    // Take the wire and the console together, so that neither the socket
    // nor the console pipe ever holds the relay up.
    std::string wire;
    const std::string consoleBefore = relay_.console;
    const auto deadline = start + std::chrono::milliseconds(Scaled(100000));
    char buffer[65536];
    while (wire.size() < load.wire.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd p[2] = {{client_, POLLIN, 0}, {relay_.output, POLLIN, 0}};
        if (poll(p, 2, 1000) <= 0) continue;
        if (p[0].revents) {
            const ssize_t n = recv(client_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            wire.append(buffer, static_cast<size_t>(n));
        }
        if (p[1].revents) {
            const ssize_t n = read(relay_.output, buffer, sizeof buffer);
            if (n <= 0) break;
            relay_.console.append(buffer, static_cast<size_t>(n));
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    close(box);
    printf("%d reports, %zu frames (%zu bytes) in %.2f s: %.0f reports/s, %.0f frames/s\n", count,
           load.frames, load.wire.size(), seconds, count / seconds, load.frames / seconds);
    RecordProperty("reports", count);
    RecordProperty("frames", static_cast<int>(load.frames));
    RecordProperty("milliseconds", static_cast<int>(seconds * 1000));

    ASSERT_TRUE(wire == load.wire) << FirstDifference(wire, load.wire, 100);
    // Nothing follows the last expected frame.
    pollfd p{client_, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 200), 0);

    ASSERT_TRUE(Type(&relay_, "\n"));
    ASSERT_TRUE(WaitForExit(&relay_, Scaled(10000)));
    EXPECT_EQ(relay_.status, 1);
    const std::string expected = kBoxFoundConsole + load.console + kEnd;
    EXPECT_TRUE(relay_.console == expected) << FirstDifference(relay_.console, expected, 64);
}

}  // namespace
