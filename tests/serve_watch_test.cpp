// What dorqin-serve reads of a relay, pointed at this test process: its
// client connection in each state the kernel shows it, and a box node
// removed or replaced under the same name.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tools/serve/relay_proc.h"

namespace {

// A "relay": a child process holding one accepted connection on a free
// loopback port, whose peer (the "client") is this process's.
struct Connection {
    pid_t relay = -1;
    int peer = -1;

    Connection() {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int ready[2];
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            pipe2(ready, O_CLOEXEC) != 0) {
            return;
        }
        relay = fork();
        if (relay == 0) {
            int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            close(listener);
            char done = accepted >= 0 ? 1 : 0;
            ssize_t ignored = write(ready[1], &done, 1);
            (void)ignored;
            pause();
            _exit(0);
        }
        close(ready[1]);
        peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        char done = 0;
        if (connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            read(ready[0], &done, 1) != 1 || !done) {
            close(peer);
            peer = -1;
        }
        close(ready[0]);
        close(listener);
    }
    ~Connection() {
        if (peer >= 0) close(peer);
        if (relay > 0) {
            kill(relay, SIGKILL);
            waitpid(relay, nullptr, 0);
        }
    }
};

// Waits until the state has settled (a FIN or RST crosses loopback at once,
// but is taken in a softirq).
ClientLink LinkAfter(pid_t relay, ClientSocket* client, ClientLink expected, unsigned short port) {
    ClientLink link = ClientLink::kUnknown;
    for (int tries = 0; tries < 100; ++tries) {
        link = RelayClientLink(relay, port, client);
        if (link == expected) break;
        usleep(10000);
    }
    return link;
}

// Through sock_diag (the looks after the first) and through the socket
// table (where sock_diag cannot be asked) alike.
TEST(ServeWatch, TheClientIsEstablishedThenHalfClosedThenGoneOnceReset) {
    for (bool table : {false, true}) {
        SCOPED_TRACE(table ? "socket table" : "sock_diag");
        Connection c;
        ASSERT_GE(c.peer, 0);
        ClientSocket client;
        ASSERT_EQ(RelayClientLink(c.relay, 0, &client), ClientLink::kEstablished);
        EXPECT_TRUE(client.found);
        EXPECT_FALSE(client.byPort);
        if (table) client.lookUpWorks = false;
        EXPECT_EQ(RelayClientLink(c.relay, 0, &client), ClientLink::kEstablished);

        ASSERT_EQ(shutdown(c.peer, SHUT_WR), 0);
        if (table) client.lookUpWorks = false;
        EXPECT_EQ(LinkAfter(c.relay, &client, ClientLink::kHalfClosed, 0), ClientLink::kHalfClosed);

        // A reset takes the connection out of the table: no longer there
        // is gone, never still connected.
        linger reset{1, 0};
        setsockopt(c.peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(c.peer);
        c.peer = -1;
        if (table) client.lookUpWorks = false;
        EXPECT_EQ(LinkAfter(c.relay, &client, ClientLink::kGone, 0), ClientLink::kGone);
    }
}

TEST(ServeWatch, ANodeRemovedOrReplacedUnderItsNameIsAGoneBox) {
    char dir[] = "/tmp/dorqin-watch-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string node = std::string(dir) + "/hidraw7";
    int made = open(node.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(made, 0);
    BoxWatch watch;
    EXPECT_FALSE(RelayBoxGone(getpid(), &watch));

    // Plugged in again: a new node under the old name.
    ASSERT_EQ(unlink(node.c_str()), 0);
    int again = open(node.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(again, 0);
    EXPECT_TRUE(RelayBoxGone(getpid(), &watch));
    close(made);
    EXPECT_FALSE(RelayBoxGone(getpid(), &watch)) << "the new node, held, is the box";

    ASSERT_EQ(unlink(node.c_str()), 0);
    EXPECT_TRUE(RelayBoxGone(getpid(), &watch));
    close(again);
    rmdir(dir);
    EXPECT_FALSE(watch.fallback);
}

}  // namespace
