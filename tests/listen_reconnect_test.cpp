// dorqin-listen --reconnect as a user runs it, against a scripted relay
// that comes, goes and comes back on the same port: every event printed
// once and in order, one line on standard error for each change, the
// pauses between attempts, and the ways it ends.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/client_process.h"
#include "tests/support/prerequisite.h"
#include "tests/support/scripted_stream.h"

namespace {

using namespace scripted;
using Clock = std::chrono::steady_clock;

int TimeoutScale() {
    const char* scale = getenv("DORQIN_TIMEOUT_SCALE");
    return scale && atoi(scale) > 1 ? atoi(scale) : 1;
}
const int TimeLimitMs = 10000 * TimeoutScale();


size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Collects output until standard error holds text (times times).
bool WaitForStderr(ClientRun* run, const std::string& text, int timeoutMs = TimeLimitMs,
                   size_t times = 1) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Count(run->Stderr, text) < times) {
        if (Clock::now() > deadline || (run->Out < 0 && run->Err < 0)) return false;
        CollectClient(run, std::string(1, '\x01'), 50);  // never printed: only collects
    }
    return true;
}

long MsSince(Clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool StartsAndEnds(const std::string& line, const std::string& start, const std::string& end) {
    return line.size() >= start.size() + end.size() && line.compare(0, start.size(), start) == 0 &&
           line.compare(line.size() - end.size(), end.size(), end) == 0;
}

// The relay's life as the listener lives through it: a run that ends, the
// port refused for a while, a run back on it that sends a malformed frame,
// one with a bad greeting, and a good one; then q.
void ExpectItLivesThroughRelayRestarts(const std::vector<std::string>& command) {
    uint16_t port = 0;
    int server = ListenOn(&port);
    ASSERT_GE(server, 0);
    const std::string at = "127.0.0.1 port " + std::to_string(port);
    ClientRun run;
    ASSERT_TRUE(StartClient(&run, command, {"--reconnect", "127.0.0.1", std::to_string(port)}, true));

    int client = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(client, 0);
    SendAll(client, Greeting() + Event(3, 0, 1) + Event(1, 5, 1));
    ASSERT_TRUE(CollectClient(&run, "TYP=1 ID=5 VALUE=1", TimeLimitMs)) << run.Stderr;
    close(client);
    close(server);
    ASSERT_TRUE(WaitForStderr(&run, "Connection refused")) << run.Stderr;

    server = ListenOn(&port);
    ASSERT_GE(server, 0);
    client = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(client, 0);
    // A malformed second frame: the frame after it is never taken.
    SendAll(client, Greeting() + Event(3, 0, 2) +
                        Frame("<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"7\"/>") + Event(3, 0, 99));
    auto sent = Clock::now();
    int next = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(next, 0);
    long malformedPause = MsSince(sent);
    close(client);
    client = next;

    std::string wrong = Greeting();
    wrong[31] = '9';
    SendAll(client, wrong);
    sent = Clock::now();
    next = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(next, 0);
    long badGreetingPause = MsSince(sent);
    close(client);
    client = next;

    SendAll(client, Greeting() + Event(2, 3, -5));
    ASSERT_TRUE(CollectClient(&run, "TYP=2 ID=3 VALUE=-5", TimeLimitMs)) << run.Stderr;
    close(client);
    close(server);
    ASSERT_TRUE(WaitForStderr(&run, "Connection refused", TimeLimitMs, 2)) << run.Stderr;
    ASSERT_EQ(write(run.In, "q", 1), 1);
    ASSERT_TRUE(CollectClient(&run, "", TimeLimitMs)) << "q did not end it";
    EXPECT_EQ(run.Status, 0) << run.Stderr;
    KillClient(&run);

    // Every event once, in order, across four connections.
    EXPECT_EQ(run.Stdout,
              "TYP=3 ID=0 VALUE=1  [axis X/Ry]\n"
              "TYP=1 ID=5 VALUE=1  [buttons 0x0005: 1 3]\n"
              "TYP=3 ID=0 VALUE=2  [axis X/Ry]\n"
              "TYP=2 ID=3 VALUE=-5  [Dial]\n");
    // One line a change; attempts refused again and again are said once.
    // The pause doubles while no greeting comes and starts over at one.
    std::vector<std::string> lines = Lines(run.Stderr);
    const std::string name = "dorqin-listen: ";
    const std::string refused = name + "cannot connect to " + at +
                                ": Connection refused (is dorqin-relay running?); trying again in ";
    ASSERT_EQ(lines.size(), 9u) << run.Stderr;
    EXPECT_EQ(lines[0], name + "connected to " + at);
    EXPECT_EQ(lines[1], name + "connection lost: the relay closed the connection; trying again in 0.5 s");
    EXPECT_EQ(lines[2], refused + "1 s");
    EXPECT_EQ(lines[3], name + "connected to " + at);
    EXPECT_TRUE(StartsAndEnds(lines[4], name + "connection lost: malformed frame 2 (stream bytes 144 to 243): ",
                              "; trying again in 0.5 s"))
        << lines[4];
    EXPECT_TRUE(StartsAndEnds(lines[5], name + "connection lost: bad greeting from the relay: ",
                              "; trying again in 1 s"))
        << lines[5];
    EXPECT_EQ(lines[6], name + "connected to " + at);
    EXPECT_EQ(lines[7], name + "connection lost: the relay closed the connection; trying again in 0.5 s");
    EXPECT_EQ(lines[8], refused + "1 s");
    // The pauses themselves, from the server's side.
    EXPECT_GE(malformedPause, 450);
    EXPECT_LT(malformedPause, 1000 * TimeoutScale());
    EXPECT_GE(badGreetingPause, 950);
}

TEST(ListenReconnect, LinesGoOnThroughRelayRestartsWithOneNoteForEachChange) {
    ExpectItLivesThroughRelayRestarts({DORQIN_LISTEN_PATH});
}

// The Windows build under Wine (DORQIN_LISTEN_COMMAND, as in
// listen_process_test.cpp).
TEST(ListenReconnect, TheWindowsBuildLivesThroughRelayRestartsAlike) {
    const char* line = getenv("DORQIN_LISTEN_COMMAND");
    if (!line || !*line) GTEST_SKIP() << "DORQIN_LISTEN_COMMAND is not set";
    ExpectItLivesThroughRelayRestarts(ShellCommand(line));
}

// q while an attempt waits on a host that drops our packets: taken at
// once, not after the attempt's 5 s.
void ExpectQEndsAnAttemptAtOnce(const std::vector<std::string>& command) {
    uint16_t port = 0;
    int held = -1;
    int server = ListenSilently(&port, &held);
    ASSERT_GE(server, 0);
    ClientRun run;
    ASSERT_TRUE(StartClient(&run, command, {"--reconnect", "127.0.0.1", std::to_string(port)}, true));
    auto deadline = Clock::now() + std::chrono::milliseconds(TimeLimitMs);
    while (!ConnectUnderWay(port) && Clock::now() < deadline) usleep(10000);
    ASSERT_TRUE(ConnectUnderWay(port)) << "no attempt under way";
    usleep(200000);
    auto typed = Clock::now();
    ASSERT_EQ(write(run.In, "q", 1), 1);
    ASSERT_TRUE(CollectClient(&run, "", TimeLimitMs)) << "q did not end it";
    long took = MsSince(typed);
    EXPECT_LT(took, 500) << "q waited for the attempt";
    std::printf("q during an attempt ended it after %ld ms\n", took);
    EXPECT_EQ(run.Status, 0) << run.Stderr;
    EXPECT_EQ(run.Stderr, "");
    KillClient(&run);
    close(held);
    close(server);
}

TEST(ListenReconnect, QEndsAnAttemptToAHostThatDropsPacketsAtOnce) {
    ExpectQEndsAnAttemptAtOnce({DORQIN_LISTEN_PATH});
}

TEST(ListenReconnect, TheWindowsBuildTakesQDuringAnAttemptAlike) {
    const char* line = getenv("DORQIN_LISTEN_COMMAND");
    if (!line || !*line) GTEST_SKIP() << "DORQIN_LISTEN_COMMAND is not set";
    ExpectQEndsAnAttemptAtOnce(ShellCommand(line));
}

TEST(ListenReconnect, ARelayThatStaysDownIsSaidOnceAndASignalEndsTheWait) {
    uint16_t port = 0;
    int server = ListenOnFreePort(&port);
    ASSERT_GE(server, 0);
    close(server);
    ClientRun run;
    ASSERT_TRUE(StartClient(&run, {DORQIN_LISTEN_PATH},
                            {"--reconnect", "--json", "127.0.0.1", std::to_string(port)}, true));
    // Attempts at 0, 0.5 and 1.5 s; a fourth at 3.5 s.
    ASSERT_TRUE(WaitForStderr(&run, "Connection refused")) << run.Stderr;
    EXPECT_FALSE(WaitForStderr(&run, "\n" + std::string("dorqin-listen"), 2000)) << run.Stderr;
    kill(run.Pid, SIGTERM);
    ASSERT_TRUE(CollectClient(&run, "", TimeLimitMs));
    EXPECT_EQ(run.Status, 128 + SIGTERM);
    EXPECT_EQ(run.Stdout, "");
    EXPECT_EQ(Lines(run.Stderr).size(), 1u) << run.Stderr;
    KillClient(&run);
}

// Started as a service manager or a wrapper may leave it: standard input
// closed and SIGTERM ignored. The socket must not become the keyboard
// (the greeting's "Q" would quit), and SIGTERM must still end it.
TEST(ListenReconnect, StandardInputClosedAndSignalsIgnoredAtStartChangeNothing) {
    uint16_t port = 0;
    int server = ListenOn(&port);
    ASSERT_GE(server, 0);
    ClientRun run;
    ASSERT_TRUE(StartClient(&run,
                            {"/bin/sh", "-c", "trap '' TERM; exec \"$0\" \"$@\" <&-",
                             DORQIN_LISTEN_PATH},
                            {"--reconnect", "127.0.0.1", std::to_string(port)}));
    int client = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(client, 0);
    SendAll(client, Greeting() + std::string(40, 'q') + Event(1, 5, 1));
    ASSERT_TRUE(WaitForStderr(&run, "malformed frame 1")) << run.Stderr;
    close(client);
    // It tries again rather than taking the stream for keys.
    client = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(client, 0) << run.Stderr;
    SendAll(client, Greeting() + Event(1, 5, 1));
    ASSERT_TRUE(CollectClient(&run, "TYP=1 ID=5 VALUE=1", TimeLimitMs)) << run.Stderr;
    kill(run.Pid, SIGTERM);
    ASSERT_TRUE(CollectClient(&run, "", TimeLimitMs)) << "SIGTERM did not end it";
    EXPECT_EQ(run.Status, 128 + SIGTERM);
    KillClient(&run);
    close(client);
    close(server);
}

bool SetLoopback(bool up) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool done = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(up ? request.ifr_flags | IFF_UP
                                              : request.ifr_flags & ~IFF_UP);
    done = done && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return done;
}

// Loopback taken down under an established connection: nothing reaches
// either end any more, and nothing says so, as when a Wi-Fi link drops.
// In a network namespace of the test's own (ctest runs each test as a
// process of its own), so nothing else on the machine notices.
TEST(ListenReconnect, ALinkGoneQuietEndsTheConnectionWithinSecondsAndItComesBack) {
    const char* off = getenv("DORQIN_NO_NETNS");
    if (off && *off) GTEST_SKIP() << "DORQIN_NO_NETNS: the network is shared on purpose";
    if (unshare(CLONE_NEWNET) != 0 || !SetLoopback(true)) {
        MISSING_PREREQUISITE("root, for a network namespace of the test's own");
    }
    uint16_t port = 0;
    int server = ListenOn(&port);
    ASSERT_GE(server, 0);
    ClientRun run;
    ASSERT_TRUE(StartClient(&run, {DORQIN_LISTEN_PATH},
                            {"--reconnect", "--json", "127.0.0.1", std::to_string(port)}, true));
    int client = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(client, 0);
    SendAll(client, Greeting() + Event(1, 1, 1));
    ASSERT_TRUE(CollectClient(&run, "{\"typ\":1,\"id\":1,\"value\":1}\n", TimeLimitMs));

    ASSERT_TRUE(SetLoopback(false));
    auto quiet = Clock::now();
    ASSERT_TRUE(WaitForStderr(&run, "connection lost: reading from the relay failed: ", 30000))
        << run.Stderr;
    long noticed = MsSince(quiet);
    // Probed after 4 s, given up after three more 2 s without an answer.
    EXPECT_GE(noticed, 4000) << run.Stderr;
    EXPECT_LT(noticed, 13000) << run.Stderr;
    EXPECT_NE(run.Stderr.find("Connection timed out; trying again in 0.5 s"), std::string::npos)
        << run.Stderr;

    ASSERT_TRUE(SetLoopback(true));
    close(client);
    client = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(client, 0);
    SendAll(client, Greeting() + Event(1, 0, 1));
    ASSERT_TRUE(CollectClient(&run, "{\"typ\":1,\"id\":0,\"value\":1}\n", TimeLimitMs))
        << run.Stderr;
    ASSERT_EQ(write(run.In, "q", 1), 1);
    ASSERT_TRUE(CollectClient(&run, "", TimeLimitMs));
    EXPECT_EQ(run.Status, 0);
    std::printf("a quiet link noticed after %ld ms\n", noticed);
    KillClient(&run);
    close(client);
    close(server);
}

}  // namespace
