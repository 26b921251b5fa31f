// The real binary with a box present (support/relaying_box.h).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/no_box_run.h"
#include "support/relaying_box.h"

namespace {

TEST_F(RelayWithDevices, AClientConnectsWithTheBoxPresentAndTheRunWaitsForEnter) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
    OpenWatch watch(tree_.NodePath("hidraw0"));
    ASSERT_TRUE(watch.ok());
    ASSERT_TRUE(StartRelay(&relay_));
    int client = ConnectToRelay(Scaled(10000));
    ASSERT_GE(client, 0);
    std::string stream;
    ASSERT_TRUE(ReadExact(client, &stream, 44, Scaled(10000)));
    EXPECT_EQ(stream, ExpectedGreeting());
    ASSERT_TRUE(WaitForConsole(&relay_, kBoxFoundConsole, Scaled(10000))) << relay_.console;

    // The box is open and the run waits for Enter, with nothing more to say;
    // the relay thread waits in its device read, and Enter stops it there.
    EXPECT_TRUE(StillRunningAfter(&relay_, Scaled(500)));
    EXPECT_EQ(relay_.console, kBoxFoundConsole);
    EXPECT_TRUE(watch.SawOpen());

    ASSERT_TRUE(Type(&relay_, "\n"));
    ASSERT_TRUE(WaitForExit(&relay_, Scaled(10000)));
    EXPECT_EQ(relay_.console, std::string(kBoxFoundConsole) + "\nEingabe abgeschlossen.");
    EXPECT_EQ(relay_.status, 1);
    // No report came from the box, so nothing follows the greeting.
    std::string rest;
    EXPECT_TRUE(ReadToEnd(client, &rest, Scaled(10000)));
    EXPECT_EQ(rest, "");
    close(client);
}

TEST_F(RelayWithDevices, AGamePadWithTheBoxIdentityIsReportedAsNoBox) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, GamePadDescriptor()));
    ExpectNoBoxRun(&relay_);
}

TEST_F(RelayingBox, ReportsReachTheClientAndTheConsoleUntilEnter) {
    ASSERT_TRUE(Send(Report({0x01, 0x05, 0x00})));
    ASSERT_TRUE(Send(Report({0x02, 0xFF, 0x03, 0x00, 0x02})));  // X 1023 is dropped
    ASSERT_TRUE(Send(Report({0x07, 0x01})));                    // not the box's: ignored
    ASSERT_TRUE(Send(Report({0x05, 0x07, 0x00, 0xFB, 0xFF})));
    const std::vector<std::string> events = {Event(1, 5, 1), Event(3, 1, 512), Event(2, 2, 7),
                                             Event(2, 3, -5)};
    std::string lines;
    for (const std::string& event : events) {
        std::string frame;
        ASSERT_TRUE(ReadExact(client_, &frame, 100, Scaled(10000)));
        EXPECT_EQ(frame, ExpectedFrame(event));
        lines += event + "\n";
    }
    ASSERT_TRUE(WaitForConsole(&relay_, lines, Scaled(10000)));

    ASSERT_TRUE(Type(&relay_, "\n"));
    ASSERT_TRUE(WaitForExit(&relay_, Scaled(10000)));
    EXPECT_EQ(relay_.status, 1);
    EXPECT_EQ(relay_.console, kBoxFoundConsole + lines + "\nEingabe abgeschlossen.");
    std::string rest;
    EXPECT_TRUE(ReadToEnd(client_, &rest, Scaled(10000)));
    EXPECT_EQ(rest, "");
}

TEST_F(RelayingBox, EnterStopsARelayBlockedInASendToAClientThatStoppedReading) {
    // Reports keep coming while the client reads nothing: the socket's
    // buffers fill, the relay blocks in send and stops taking reports, and
    // the box's node fills up behind it.
    int full = 0;
    for (int i = 0; i < 2000000 && full < 40; ++i) {
        if (Send(Report({0x03, static_cast<uint8_t>(i), 0x00, 0x01, 0x00}))) {
            full = 0;
        } else {
            ++full;
            StillRunningAfter(&relay_, 25);  // keep draining the console
        }
    }
    ASSERT_EQ(full, 40) << "the relay never stopped taking reports";
    std::string before = relay_.console;
    EXPECT_TRUE(StillRunningAfter(&relay_, Scaled(300)));
    EXPECT_EQ(relay_.console, before) << "still relaying: not blocked";

    ASSERT_TRUE(Type(&relay_, "\n"));
    ASSERT_TRUE(WaitForExit(&relay_, Scaled(5000))) << "Enter did not stop a relay blocked in send";
    EXPECT_EQ(relay_.status, 1);
    const std::string end = "\nEingabe abgeschlossen.";
    ASSERT_GE(relay_.console.size(), end.size());
    EXPECT_EQ(relay_.console.substr(relay_.console.size() - end.size()), end);
}

TEST_F(RelayingBox, EnterStillEndsTheRunAfterTheClientWentAway) {
    close(client_);
    client_ = -1;
    // The first sends after the client left may still be taken by the
    // kernel; the reset they provoke fails a later one.
    const std::string message = "Fehler beim Versenden der Daten.";
    for (int i = 0; i < 50 && relay_.console.find(message) == std::string::npos; ++i) {
        ASSERT_TRUE(Send(Report({0x04, 0x01, 0x00, 0x02, 0x00})));
        WaitForConsole(&relay_, message, 100);
    }
    ASSERT_NE(relay_.console.find(message), std::string::npos) << relay_.console;
    // The message stands alone at the end, with no line break, and the
    // relay thread pauses there: reports that keep coming wait in the box
    // and nothing more is printed until a line is entered.
    ASSERT_TRUE(Send(Report({0x04, 0x03, 0x00, 0x04, 0x00})));
    EXPECT_TRUE(StillRunningAfter(&relay_, Scaled(300)));
    const size_t at = relay_.console.find(message);
    EXPECT_EQ(at + message.size(), relay_.console.size()) << relay_.console;
    // The relay thread now pauses on the console beside the main thread;
    // whichever takes a line, Enter ends the run without a crash.
    ASSERT_TRUE(EnterUntilTheRunEnds()) << relay_.console;
    EXPECT_EQ(relay_.status, 1);
    const std::string end = message + "\nEingabe abgeschlossen.";
    ASSERT_GE(relay_.console.size(), end.size());
    EXPECT_EQ(relay_.console.substr(relay_.console.size() - end.size()), end);
}

}  // namespace
