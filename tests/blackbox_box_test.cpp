// The real binary with a box present: a fake hidraw tree laid over
// /sys/class and /dev in a mount namespace of the relay's own, with a FIFO
// as the box's node.
#include <gtest/gtest.h>
#include <unistd.h>

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

class RelayWithDevices : public ::testing::Test {
protected:
    void SetUp() override {
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

    // The box is open and the run waits for Enter, with nothing more to say.
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

}  // namespace
