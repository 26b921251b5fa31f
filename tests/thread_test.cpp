// Stopping the relay thread: the stop and the wait after it, as main does.
#include <gtest/gtest.h>

#include "support/loopback.h"

namespace {

DWORD WINAPI BlockInRecv(LPVOID socketPointer) {
    char c;
    recv(*static_cast<SOCKET*>(socketPointer), &c, 1, 0);
    return 0;
}

struct Received {
    SOCKET socket;
    volatile bool done;
};

DWORD WINAPI ReceiveOneByte(LPVOID arg) {
    Received* received = static_cast<Received*>(arg);
    char c;
    recv(received->socket, &c, 1, 0);
    received->done = true;
    return 0;
}

class Threads : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(peer_ = ConnectClientSocketToPeer(), INVALID_SOCKET); }
    void TearDown() override { ReleaseSocketLibrary(); }
    SOCKET peer_ = INVALID_SOCKET;
};

TEST_F(Threads, AThreadStoppedInABlockingCallIsWaitedForAtOnce) {
    HANDLE thread = CreateThread(nullptr, 0, BlockInRecv, &ServerState.ClientSocket, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(TerminateThread(thread, 0));
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);  // still ended
    EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(Threads, AWaitEndsOnlyWhenTheThreadHasEnded) {
    Received received{ServerState.ClientSocket, false};
    HANDLE thread = CreateThread(nullptr, 0, ReceiveOneByte, &received, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(send(peer_, "x", 1, 0), 1);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(received.done);
    TerminateThread(thread, 0);  // an ended thread has nothing left to stop
    EXPECT_TRUE(CloseHandle(thread));
}

}  // namespace
