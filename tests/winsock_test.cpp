// The Winsock stand-ins behave as Winsock does where the relay depends on it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "support/relay_process.h"

namespace {

void ReleaseLibrary() {
    while (WSACleanup() == 0) {
    }
}

// A listening socket on an ephemeral loopback port.
SOCKET Listen(uint16_t* port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(*port);
    if (bind(s, reinterpret_cast<SOCKADDR*>(&address), sizeof address) != 0) return INVALID_SOCKET;
    if (listen(s, 5) != 0) return INVALID_SOCKET;
    int length = sizeof address;
    getsockname(s, reinterpret_cast<SOCKADDR*>(&address), &length);
    *port = ntohs(address.sin_port);
    return s;
}

TEST(Winsock, EveryCallFailsUntilTheLibraryIsStarted) {
    ReleaseLibrary();
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(send(3, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
}

TEST(Winsock, StartupSettlesOnTheLowerOfTheAskedAndTheHighestVersion) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    ASSERT_EQ(WSAStartup(0x0303, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    EXPECT_EQ(WSAStartup(0x0000, &data), WSAVERNOTSUPPORTED);
    ReleaseLibrary();
}

TEST(Winsock, TheLastCleanupClosesEverySocketAndLaterSendsFail) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    uint16_t port = 0;
    SOCKET listener = Listen(&port);
    ASSERT_NE(listener, INVALID_SOCKET);
    int peer = ConnectToRelay(2000, port);
    ASSERT_GE(peer, 0);
    SOCKET server = accept(listener, nullptr, nullptr);
    ASSERT_NE(server, INVALID_SOCKET);

    ASSERT_EQ(WSACleanup(), 0);  // one start is left: all stays open
    EXPECT_EQ(send(server, "ab", 2, 0), 2);
    ASSERT_EQ(WSACleanup(), 0);
    EXPECT_EQ(send(server, "cd", 2, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    std::string received;
    EXPECT_TRUE(ReadToEnd(peer, &received, 2000));  // closed, not just idle
    EXPECT_EQ(received, "ab");
    close(peer);
}

TEST(Winsock, BindFailsOnAListenedPortButNotAfterTheServerClosedFirst) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    uint16_t port = 0;
    SOCKET listener = Listen(&port);
    ASSERT_NE(listener, INVALID_SOCKET);

    SOCKET second = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    EXPECT_EQ(bind(second, reinterpret_cast<SOCKADDR*>(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    closesocket(second);

    // The server closing first leaves the connection in TIME_WAIT on its
    // port; a restarted server must still get the port.
    int peer = ConnectToRelay(2000, port);
    SOCKET server = accept(listener, nullptr, nullptr);
    closesocket(server);
    closesocket(listener);
    std::string ignored;
    ReadToEnd(peer, &ignored, 2000);
    close(peer);
    uint16_t again = port;
    EXPECT_NE(Listen(&again), INVALID_SOCKET);
    EXPECT_EQ(again, port);
    ReleaseLibrary();
}

TEST(Winsock, SendingToAPeerThatWentAwayFailsWithoutKillingTheProcess) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    uint16_t port = 0;
    SOCKET listener = Listen(&port);
    int peer = ConnectToRelay(2000, port);
    SOCKET server = accept(listener, nullptr, nullptr);
    close(peer);
    int result = 0;
    for (int i = 0; i < 20 && result != SOCKET_ERROR; ++i) result = send(server, "x", 1, 0);
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    EXPECT_EQ(closesocket(server), 0);
    EXPECT_EQ(closesocket(server), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    ReleaseLibrary();
}

TEST(Winsock, FormatsAddressesInDottedDecimal) {
    IN_ADDR address;
    address.s_addr = htonl(0xC0A8010A);
    EXPECT_STREQ(inet_ntoa(address), "192.168.1.10");
}

}  // namespace
