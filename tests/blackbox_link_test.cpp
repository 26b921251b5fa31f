// The relay left running: a link that goes quiet under it, and standard
// descriptors that a service manager left closed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "support/isolation.h"
#include "support/prerequisite.h"
#include "support/proc_stats.h"
#include "support/relaying_box.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kSendFailed[] = "Fehler beim Versenden der Daten.";

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every packet to or from the relay's port vanishes, as on a link whose
// cable was pulled: no reset, no answer at all.
class QuietLink : public RelayingBox {
protected:
    void SetUp() override {
        RelayingBox::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!NetworkIsolated()) {
            MISSING_PREREQUISITE("a network namespace of the test's own to drop packets in (root)");
        }
        if (system("command -v nft >/dev/null") != 0) {
            MISSING_PREREQUISITE("nft (Debian package nftables)");
        }
    }
    void TearDown() override {
        if (quiet_) system("nft delete table inet dorqin_quiet");
        RelayingBox::TearDown();
    }

    void GoQuiet() {
        ASSERT_EQ(system("nft add table inet dorqin_quiet && "
                         "nft add chain inet dorqin_quiet out "
                         "'{ type filter hook output priority 0; }' && "
                         "nft add rule inet dorqin_quiet out tcp sport 5003 drop && "
                         "nft add rule inet dorqin_quiet out tcp dport 5003 drop"),
                  0);
        quiet_ = true;
    }

    bool quiet_ = false;
};

TEST_F(QuietLink, WhileEventsFlowTheFailedSendIsReportedWithinThirtySeconds) {
    ASSERT_TRUE(Send(Report({0x01, 0x01, 0x00})));
    ASSERT_TRUE(WaitForConsole(&relay_, Event(1, 1, 1) + "\n", Scaled(10000)));
    GoQuiet();
    const auto start = Clock::now();
    bool reported = false;
    while (!reported && SecondsSince(start) < 40) {
        Send(Report({0x02, 0x10, 0x00, 0x20, 0x00}));
        reported = WaitForConsole(&relay_, kSendFailed, 100);
    }
    const double seconds = SecondsSince(start);
    printf("the quiet link was reported after %.1f s\n", seconds);
    EXPECT_TRUE(reported);
    EXPECT_LT(seconds, 30.0);
    // Then the relay pauses as for any failed send, and Enter ends the run.
    EXPECT_TRUE(EnterUntilTheRunEnds());
    EXPECT_EQ(relay_.status, 1);
}

TEST_F(QuietLink, WhileTheBoxIsIdleTheNextEventReportsItAtOnce) {
    GoQuiet();
    const auto start = Clock::now();
    // Keepalive gives the connection up; the kernel's socket table shows it.
    while (PortConnections(5003) > 0 && SecondsSince(start) < 40) usleep(200000);
    const double seconds = SecondsSince(start);
    printf("keepalive dropped the idle connection after %.1f s\n", seconds);
    EXPECT_EQ(PortConnections(5003), 0) << "the relay's side of the connection is still there";
    EXPECT_LT(seconds, 30.0);

    const auto event = Clock::now();
    ASSERT_TRUE(Send(Report({0x01, 0x02, 0x00})));
    EXPECT_TRUE(WaitForConsole(&relay_, kSendFailed, Scaled(2000)));
    printf("the next event reported it after %.2f s\n", SecondsSince(event));
    EXPECT_EQ(relay_.console, kBoxFoundConsole + std::string(kSendFailed));
}

using ClosedDescriptors = RelayWithDevices;

// `dorqin-relay <&- >&-`, as some service managers start programs: the
// console texts must not find their way onto the stream.
TEST_F(ClosedDescriptors, StartedWithoutStandardInputAndOutputTheStreamHoldsOnlyFrames) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
    ASSERT_TRUE(StartRelayCommand(&relay_, "exec " + RelayCommand() + " <&- >&- 2>&-", false));
    int client = ConnectToRelay(Scaled(10000));
    ASSERT_GE(client, 0);
    std::string stream;
    // No input: the run ends at once after the box is found.
    EXPECT_TRUE(ReadToEnd(client, &stream, Scaled(10000)));
    close(client);
    ASSERT_TRUE(WaitForExit(&relay_, Scaled(10000)));
    EXPECT_EQ(relay_.status, 1);
    EXPECT_EQ(stream, ExpectedGreeting());
    EXPECT_EQ(relay_.console, "");
}

}  // namespace
