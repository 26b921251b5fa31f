// The real binary with a box present: a fake hidraw tree laid over
// /sys/class and /dev in a mount namespace of the relay's own, with a FIFO
// as the box's node.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/descriptors.h"
#include "support/fake_hidraw.h"
#include "support/relay_process.h"

namespace {

const char kBoxFoundConsole[] =
    "Verbindung erhalten von: 127.0.0.1\n"
    "Initialiesierung Einlesen:\n\n";

const char kNoBoxConsole[] =
    "Verbindung erhalten von: 127.0.0.1\n"
    "Initialiesierung Einlesen:\n\n"
    "Die DORQIn Box konnte nicht initialisiert werden\n\n"
    "\nEingabe abgeschlossen.";

std::string Event(int typ, int id, int value) {
    return "<DORQIN TYP=\"" + std::to_string(typ) + "\" ID=\"" + std::to_string(id) +
           "\" VALUE=\"" + std::to_string(value) + "\" />";
}

// The box's reports as a FIFO delivers them to the relay: every report
// padded to the box's input report length (5), so each read takes one.
Bytes Report(std::initializer_list<uint8_t> bytes) {
    Bytes report(bytes);
    report.resize(5, 0);
    return report;
}

class RelayWithDevices : public ::testing::Test {
protected:
    void SetUp() override {
        const char* hostDevices = getenv("DORQIN_NO_DEVNS");
        if (hostDevices && *hostDevices) {
            // Under Wine, for one: its HID stack would not see a fake tree.
            GTEST_SKIP() << "DORQIN_NO_DEVNS: the relay sees this machine's HID devices, so it "
                            "cannot be shown a fake box";
        }
        if (!DeviceViewsAvailable()) {
            GTEST_SKIP() << "no mount namespaces here (they need root): the relay cannot be "
                            "shown a fake box";
        }
        ASSERT_TRUE(tree_.ok());
        saved_ = RelayDeviceView();
        SetRelayDeviceView({tree_.ClassDir(), tree_.DevDir()});
    }
    void TearDown() override {
        StopRelay(&relay_);
        SetRelayDeviceView(saved_);
    }

    FakeHidTree tree_;
    DeviceView saved_;
    RelayProcess relay_;
};

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
    ASSERT_TRUE(StartRelay(&relay_));
    int client = ConnectToRelay(Scaled(10000));
    ASSERT_GE(client, 0);
    std::string stream;
    ASSERT_TRUE(ReadToEnd(client, &stream, Scaled(10000)));
    close(client);
    EXPECT_EQ(stream, ExpectedGreeting());
    ASSERT_TRUE(WaitForExit(&relay_, Scaled(10000)));
    EXPECT_EQ(relay_.console, kNoBoxConsole);
    EXPECT_EQ(relay_.status, 1);
}

// Starts the relay with the box present and a client that has read the
// greeting; returns the client socket.
class RelayingBox : public RelayWithDevices {
protected:
    void SetUp() override {
        RelayWithDevices::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
        ASSERT_TRUE(StartRelay(&relay_));
        client_ = ConnectToRelay(Scaled(10000));
        ASSERT_GE(client_, 0);
        std::string greeting;
        ASSERT_TRUE(ReadExact(client_, &greeting, 44, Scaled(10000)));
        ASSERT_TRUE(WaitForConsole(&relay_, kBoxFoundConsole, Scaled(10000)));
        // The console speaks before the box is opened; a FIFO can be opened
        // for writing without blocking only once the relay holds it.
        for (int waited = 0; box_ < 0 && waited < Scaled(10000); waited += 10) {
            box_ = open(tree_.NodePath("hidraw0").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (box_ < 0) usleep(10000);
        }
        ASSERT_GE(box_, 0) << "the relay never opened the box";
    }
    void TearDown() override {
        if (client_ >= 0) close(client_);
        if (box_ >= 0) close(box_);
        RelayWithDevices::TearDown();
    }

    // Writes one report into the box's node without blocking; false when
    // the node is full because the relay has stopped reading it.
    bool Send(const Bytes& report) {
        return write(box_, report.data(), report.size()) == static_cast<ssize_t>(report.size());
    }

    // Types Enter until the run ends (the relay thread may take a line for
    // its own pause first); true once it has ended.
    bool EnterUntilTheRunEnds() {
        for (int i = 0; i < 20; ++i) {
            if (!Type(&relay_, "\n")) return false;
            if (WaitForExit(&relay_, Scaled(500))) return true;
        }
        return false;
    }

    int client_ = -1;
    int box_ = -1;
};

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
    // The relay thread now pauses on the console beside the main thread;
    // whichever takes a line, Enter ends the run without a crash.
    ASSERT_TRUE(EnterUntilTheRunEnds()) << relay_.console;
    EXPECT_EQ(relay_.status, 1);
    const std::string end = message + "\nEingabe abgeschlossen.";
    ASSERT_GE(relay_.console.size(), end.size());
    EXPECT_EQ(relay_.console.substr(relay_.console.size() - end.size()), end);
}

}  // namespace
