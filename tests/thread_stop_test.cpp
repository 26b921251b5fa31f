// The relay thread is stopped from outside wherever it waits: in the
// box's read, in a send to a client that stopped reading, in the pause
// after a failed send. After the stop it takes nothing more (no report,
// no input) and leaves nothing held that the main thread needs next.
// Built with ThreadSanitizer too.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "common/console.h"
#include "relay/relay.h"
#include "support/box_fixture.h"
#include "support/descriptors.h"
#include "support/loopback.h"
#include "support/socket_buffers.h"
#include "support/std_streams.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kEnd[] = "\nEingabe abgeschlossen.";

std::string Event(int typ, int id, int value) {
    return "<DORQIN TYP=\"" + std::to_string(typ) + "\" ID=\"" + std::to_string(id) +
           "\" VALUE=\"" + std::to_string(value) + "\" />";
}

// Standard input is a pipe whose writer the test holds: reads wait until
// the test writes or closes it.
class HeldStdin {
public:
    HeldStdin() {
        saved_ = dup(0);
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return;
        dup2(p[0], 0);
        close(p[0]);
        writer_ = p[1];
    }
    ~HeldStdin() {
        CloseWriter();
        dup2(saved_, 0);
        close(saved_);
    }
    bool Write(const std::string& text) {
        return write(writer_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void CloseWriter() {
        if (writer_ >= 0) close(writer_);
        writer_ = -1;
    }

private:
    int saved_ = -1;
    int writer_ = -1;
};

class RelayThreadStop : public FakeBoxTest {
protected:
    void SetUp() override {
        FakeBoxTest::SetUp();
        ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
        ASSERT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
        ASSERT_EQ(AllocReportBuffer(), 1);
        ASSERT_NE(peer_ = ConnectClientSocketToPeer(), INVALID_SOCKET);
    }
    void TearDown() override {
        if (thread_) {
            TerminateThread(thread_, 0);
            CloseHandle(thread_);
        }
        ReleaseSocketLibrary();
        FakeBoxTest::TearDown();
    }

    void Start() {
        thread_ = CreateThread(nullptr, 0, RelayThread, nullptr, 0, nullptr);
        ASSERT_NE(thread_, nullptr);
    }

    // Stops the relay thread as main does; returns how long the stop took.
    double StopMs() {
        const auto start = Clock::now();
        EXPECT_TRUE(TerminateThread(thread_, 0));
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        printf("the stop took %.3f ms\n", ms);
        return ms;
    }

    std::string Node() const { return tree_.NodePath("hidraw0"); }

    // Whether the peer has a byte to read within ms.
    bool PeerReadable(int ms) {
        pollfd p{static_cast<int>(peer_), POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }

    HANDLE thread_ = nullptr;
    SOCKET peer_ = INVALID_SOCKET;
};

TEST_F(RelayThreadStop, InTheBoxReadItStopsAtOnceAndTakesNoFurtherReport) {
    CapturedStdout out;
    Start();
    ASSERT_TRUE(WriteReport(Node(), {0x02, 0xBC, 0x02, 0x00, 0x02}));
    EXPECT_EQ(ReceiveFrom(peer_, 200), EventFrame(Event(3, 0, 700)) + EventFrame(Event(3, 1, 512)));
    usleep(50000);  // back in its read by now

    EXPECT_LT(StopMs(), 1000.0);
    EXPECT_TRUE(TerminateThread(thread_, 0));  // a second stop has nothing left to stop

    // A report that arrives after the stop stays with the box.
    ASSERT_TRUE(WriteReport(Node(), {0x01, 0x05, 0x00, 0x00, 0x00}));
    usleep(50000);
    EXPECT_FALSE(PeerReadable(0));
    EXPECT_EQ(DrainNode(Node()), Bytes({0x01, 0x05, 0x00, 0x00, 0x00}));
    // The console is free for main's last words.
    ConsolePrint(kEnd);
    out.Restore();
    EXPECT_EQ(out.Text(), Event(3, 0, 700) + "\n" + Event(3, 1, 512) + "\n" + kEnd);
}

TEST_F(RelayThreadStop, InASendToAClientThatStoppedReadingItStopsAtOnce) {
    CapturedStdout out;
    ASSERT_TRUE(ShrinkSocketBuffers(static_cast<int>(ServerState.ClientSocket), 4096));
    ASSERT_TRUE(ShrinkSocketBuffers(static_cast<int>(peer_), 4096));
    int box = open(Node().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(box, 0);
    Start();
    // Reports keep coming while the client reads nothing: once the socket
    // buffers are full the relay blocks in send, stops reading, and the
    // box's node fills up behind it.
    const uint8_t report[5] = {0x03, 0x10, 0x00, 0x20, 0x00};
    int refused = 0;
    for (int i = 0; i < 1000000 && refused < 40; ++i) {
        if (write(box, report, sizeof report) == static_cast<ssize_t>(sizeof report)) {
            refused = 0;
        } else {
            ++refused;
            usleep(25000);
        }
    }
    ASSERT_EQ(refused, 40) << "the relay never stopped taking reports";
    const std::string before = out.Text();
    usleep(100000);
    EXPECT_EQ(out.Text(), before) << "still relaying: not blocked in send";

    EXPECT_LT(StopMs(), 1000.0);
    close(box);
    // Main can still print, and close the listening socket as it does at
    // the end (here a fresh one: the relay never used it).
    ConsolePrint(kEnd);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(listener, INVALID_SOCKET);
    shutdown(listener, SD_RECEIVE);
    EXPECT_EQ(closesocket(listener), 0);
    out.Restore();
    const std::string console = out.Text();
    ASSERT_GE(console.size(), before.size() + sizeof kEnd - 1);
    EXPECT_EQ(console.substr(before.size()), kEnd) << "the relay printed after its stop";
    // Every echo before the stop is a whole line.
    EXPECT_EQ(before.size() % (Event(3, 2, 16).size() + 1), 0u);
}

TEST_F(RelayThreadStop, InThePauseAfterAFailedSendItStopsAndLeavesTheInputToMain) {
    HeldStdin input;
    CapturedStdout out;
    closesocket(peer_);
    Start();
    // The first sends after the peer left may still be taken by the
    // kernel; the reset they provoke fails a later one.
    const std::string message = "Fehler beim Versenden der Daten.";
    for (int i = 0; i < 50 && out.Text().find(message) == std::string::npos; ++i) {
        ASSERT_TRUE(WriteReport(Node(), {0x04, 0x01, 0x00, 0x02, 0x00}));
        usleep(20000);
    }
    ASSERT_NE(out.Text().find(message), std::string::npos);
    usleep(50000);
    // The thread waits in its pause now, whatever else arrives.
    ASSERT_TRUE(WriteReport(Node(), {0x04, 0x01, 0x00, 0x02, 0x00}));
    usleep(50000);
    const std::string paused = out.Text();
    EXPECT_EQ(paused.find(message), paused.size() - message.size()) << paused;

    EXPECT_LT(StopMs(), 1000.0);
    // The line typed after the stop is main's alone.
    ASSERT_TRUE(input.Write("xy"));
    input.CloseWriter();
    PauseForInput();
    EXPECT_EQ(FedStdin::Rest(), "y");
    ConsolePrint(kEnd);
    out.Restore();
    EXPECT_EQ(out.Text(), paused + kEnd);
}

// A box that is gone fails every read at once, and some failures make no
// system call at all (here: no handle). The thread must neither spin on
// them nor become unstoppable.
TEST_F(RelayThreadStop, WhileReadsKeepFailingItPausesBetweenTriesAndStillStops) {
    CapturedStdout out;
    const HANDLE box = BoxState.ReadHandle;
    BoxState.ReadHandle = INVALID_HANDLE_VALUE;
    Start();
    usleep(300000);  // past the first, quick retries
    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    usleep(1000000);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double busyMs =
        (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    printf("failing reads cost %.2f ms of CPU in 1 s\n", busyMs);
    EXPECT_LT(busyMs, 20.0) << "under 2% of a core";

    EXPECT_LT(StopMs(), 1000.0);
    BoxState.ReadHandle = box;
    EXPECT_FALSE(PeerReadable(0));
    out.Restore();
    EXPECT_EQ(out.Text(), "");
}

}  // namespace
