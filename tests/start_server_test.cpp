// StartServer in process, on port 5003 of this test's own network
// namespace: the greeting on the wire and the state it leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "net/server.h"
#include "support/relay_process.h"
#include "support/std_streams.h"

namespace {

TEST(StartServer, GreetsItsClientAndSendsEveryFrameWithoutWaitingForAcks) {
    int client = -1;
    std::string greeting;
    std::thread connector([&] {
        client = ConnectToRelay(Scaled(10000));
        if (client >= 0) ReadExact(client, &greeting, GreetingFrameSize, Scaled(10000));
    });
    FedStdin input("");  // a failed start-up must not wait for Enter here
    CapturedStdout out;
    int started = StartServer();
    connector.join();
    out.Restore();
    ASSERT_EQ(started, 1) << out.Text();
    EXPECT_EQ(out.Text(), "Verbindung erhalten von: 127.0.0.1\n");
    EXPECT_EQ(greeting, ExpectedGreeting());

    // Nagle's algorithm would hold the second frame of a report until the
    // client acknowledged the first.
    int noDelay = 0;
    int length = sizeof noDelay;
    ASSERT_EQ(getsockopt(ServerState.ClientSocket, IPPROTO_TCP, TCP_NODELAY,
                         reinterpret_cast<char*>(&noDelay), &length),
              0);
    EXPECT_EQ(noDelay, 1);

    closesocket(ServerState.ListenSocket);
    while (WSACleanup() == 0) {
    }
    close(client);
}

}  // namespace
