// The real dorqin-relay binary as a user and a client see it: bytes on the
// wire, text on the console, the exit status.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/no_box_run.h"
#include "support/relay_process.h"

namespace {

const char kPortTakenConsole[] =
    "Es ist ein Fehler beim Binden des Sockets aufgetreten."
    "Fehler beim Initialisieren des Listen Vorganges!";

class Relay : public ::testing::Test {
protected:
    void TearDown() override { StopRelay(&relay_); }
    RelayProcess relay_;
};

// Takes port 5003 on all addresses, as another server would.
int OccupyRelayPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;  // so that connections of earlier runs in TIME_WAIT don't stop it
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kRelayPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 5) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(Relay, AClientWithNoBoxIsGreetedAndTheRunEndsNormally) {
    ExpectNoBoxRun(&relay_);
}

TEST_F(Relay, WithNoClientItWaitsSilently) {
    ASSERT_TRUE(StartRelay(&relay_));
    EXPECT_TRUE(StillRunningAfter(&relay_, Scaled(1000)));
    EXPECT_EQ(relay_.console, "");
}

TEST_F(Relay, ATakenPortIsReportedOnOneLineThenItPausesAndFails) {
    int occupier = OccupyRelayPort();
    ASSERT_GE(occupier, 0);
    ASSERT_TRUE(StartRelay(&relay_));
    ASSERT_TRUE(WaitForConsole(&relay_, kPortTakenConsole, Scaled(10000))) << relay_.console;
    EXPECT_TRUE(StillRunningAfter(&relay_, Scaled(500)));  // the pause
    ASSERT_TRUE(Type(&relay_, "\n"));
    ASSERT_TRUE(WaitForExit(&relay_, Scaled(10000)));
    close(occupier);
    EXPECT_EQ(relay_.console, kPortTakenConsole);
    EXPECT_EQ(relay_.status, 255);  // main returned -1
}

TEST_F(Relay, AtTheEndOfInputThePauseEndsAtOnce) {
    int occupier = OccupyRelayPort();
    ASSERT_GE(occupier, 0);
    ASSERT_TRUE(StartRelay(&relay_, /*emptyInput=*/true));
    ASSERT_TRUE(WaitForExit(&relay_, Scaled(10000)));
    close(occupier);
    EXPECT_EQ(relay_.console, kPortTakenConsole);
    EXPECT_EQ(relay_.status, 255);
}

TEST_F(Relay, ASecondClientIsNeverServed) {
    ASSERT_TRUE(StartRelay(&relay_));
    int first = ConnectToRelay(Scaled(10000));
    ASSERT_GE(first, 0);
    int second = ConnectToRelay(Scaled(1000));
    ASSERT_GE(second, 0);
    std::string firstStream, secondStream;
    EXPECT_TRUE(ReadToEnd(first, &firstStream, Scaled(10000)));
    EXPECT_TRUE(ReadToEnd(second, &secondStream, Scaled(10000)));
    close(first);
    close(second);
    EXPECT_EQ(firstStream, ExpectedGreeting());
    EXPECT_EQ(secondStream, "");
    ASSERT_TRUE(WaitForExit(&relay_, Scaled(10000)));
    EXPECT_EQ(relay_.status, 1);
}

TEST_F(Relay, ARestartRightAfterARunGetsThePortAgain) {
    for (int run = 0; run < 2; ++run) {
        RelayProcess relay;
        ExpectNoBoxRun(&relay, "run " + std::to_string(run));
        StopRelay(&relay);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
