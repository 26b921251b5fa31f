// dorqin-listen as a user runs it, against a scripted server on a free
// port: what it prints, what it says on standard error and its exit status.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scripted_stream.h"

namespace {

using namespace scripted;

constexpr int TimeLimitMs = 10000;

struct Listener {
    pid_t Pid = -1;
    int Out = -1;
    int Err = -1;
    std::string Stdout;
    std::string Stderr;
    int Status = -1;
};

bool Start(Listener* listener, const std::vector<std::string>& arguments) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(DORQIN_LISTEN_PATH));
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    listener->Pid = pid;
    listener->Out = out[0];
    listener->Err = err[0];
    return pid > 0;
}

// Collects output until stdout holds `text` (or, with text empty, until
// the program exits). Returns false on the time limit.
bool Collect(Listener* listener, const std::string& text, int timeoutMs = TimeLimitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (!text.empty() && listener->Stdout.find(text) != std::string::npos) return true;
        if (listener->Out < 0 && listener->Err < 0) break;
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                           deadline - std::chrono::steady_clock::now())
                           .count());
        if (left <= 0) return false;
        pollfd fds[2] = {{listener->Out, POLLIN, 0}, {listener->Err, POLLIN, 0}};
        if (poll(fds, 2, left) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                close(fds[i].fd);
                (i == 0 ? listener->Out : listener->Err) = -1;
            } else {
                (i == 0 ? listener->Stdout : listener->Stderr).append(buffer, size_t(got));
            }
        }
    }
    if (!text.empty()) return listener->Stdout.find(text) != std::string::npos;
    // Both pipes closed: the program is exiting.
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        int status = 0;
        if (waitpid(listener->Pid, &status, WNOHANG) == listener->Pid) {
            listener->Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            listener->Pid = -1;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Kill(Listener* listener) {
    if (listener->Pid > 0) {
        kill(listener->Pid, SIGKILL);
        waitpid(listener->Pid, nullptr, 0);
        listener->Pid = -1;
    }
    if (listener->Out >= 0) close(listener->Out);
    if (listener->Err >= 0) close(listener->Err);
    listener->Out = listener->Err = -1;
}

// Serves `stream` to one dorqin-listen run (in pieces of `piece` bytes,
// each sent on its own) and closes; returns what the program did.
Listener Serve(const std::string& stream, std::vector<std::string> extra = {},
               size_t piece = 0) {
    Listener listener;
    uint16_t port = 0;
    int server = ListenOnFreePort(&port);
    EXPECT_GE(server, 0);
    extra.push_back("127.0.0.1");
    extra.push_back(std::to_string(port));
    EXPECT_TRUE(Start(&listener, extra));
    int client = AcceptWithin(server, TimeLimitMs);
    EXPECT_GE(client, 0);
    if (piece == 0) piece = stream.size();
    for (size_t at = 0; at < stream.size(); at += piece) {
        SendAll(client, stream.substr(at, piece));
        if (piece < stream.size()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(client);
    close(server);
    EXPECT_TRUE(Collect(&listener, "")) << "dorqin-listen did not end in time";
    Kill(&listener);
    return listener;
}

TEST(ListenProcess, PrintsOneLinePerEventAndEndsCleanlyWhenTheRelayCloses) {
    Listener run = Serve(Greeting() + Event(3, 0, 700) + Event(1, 5, 1) + Event(2, 3, -5));
    EXPECT_EQ(run.Status, 0) << run.Stderr;
    EXPECT_EQ(run.Stdout,
              "TYP=3 ID=0 VALUE=700  [axis X/Ry]\n"
              "TYP=1 ID=5 VALUE=1  [buttons 0x0005: 1 3]\n"
              "TYP=2 ID=3 VALUE=-5  [Dial]\n");
    EXPECT_EQ(run.Stderr, "");

    run = Serve(Greeting() + Event(3, 0, 700) + Event(1, -32768, 1), {"--json"});
    EXPECT_EQ(run.Status, 0) << run.Stderr;
    EXPECT_EQ(run.Stdout,
              "{\"typ\":3,\"id\":0,\"value\":700}\n{\"typ\":1,\"id\":-32768,\"value\":1}\n");

    run = Serve(Greeting());
    EXPECT_EQ(run.Status, 0) << run.Stderr;
    EXPECT_EQ(run.Stdout, "");
}

TEST(ListenProcess, FramesSplitAcrossReadsAreReassembled) {
    std::string stream = Greeting();
    for (int i = 0; i < 20; ++i) stream += Event(3, i % 4, i * 37 - 300);
    Listener whole = Serve(stream);
    Listener pieces = Serve(stream, {}, 7);  // 7 bytes at a time: no boundary lines up
    EXPECT_EQ(pieces.Status, 0) << pieces.Stderr;
    EXPECT_EQ(pieces.Stdout, whole.Stdout);
    EXPECT_EQ(std::count(pieces.Stdout.begin(), pieces.Stdout.end(), '\n'), 20);
}

TEST(ListenProcess, EachLineIsOutBeforeTheNextFrameArrives) {
    // Pipelines and tests read the output as it comes: no line may wait in a buffer.
    uint16_t port = 0;
    int server = ListenOnFreePort(&port);
    ASSERT_GE(server, 0);
    Listener listener;
    ASSERT_TRUE(Start(&listener, {"--json", "127.0.0.1", std::to_string(port)}));
    int client = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(client, 0);
    SendAll(client, Greeting() + Event(3, 1, 512));
    EXPECT_TRUE(Collect(&listener, "{\"typ\":3,\"id\":1,\"value\":512}\n"))
        << "line not flushed while the connection stays open";
    close(client);
    close(server);
    EXPECT_TRUE(Collect(&listener, ""));
    EXPECT_EQ(listener.Status, 0);
    Kill(&listener);
}

TEST(ListenProcess, ABadGreetingIsRefused) {
    std::string wrong = Greeting();
    wrong[31] = '9';
    Listener run = Serve(wrong + Event(3, 0, 1));
    EXPECT_EQ(run.Status, 3);
    EXPECT_EQ(run.Stdout, "");
    EXPECT_NE(run.Stderr.find("bad greeting"), std::string::npos) << run.Stderr;

    run = Serve(Greeting().substr(0, 20));
    EXPECT_EQ(run.Status, 3);
    EXPECT_NE(run.Stderr.find("after 20 of 44"), std::string::npos) << run.Stderr;
}

TEST(ListenProcess, AMalformedFrameStopsTheRunWithItsNumber) {
    std::string bad = Frame("<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"7\"/>");
    Listener run = Serve(Greeting() + Event(3, 0, 1) + bad + Event(3, 0, 2));
    EXPECT_EQ(run.Status, 4);
    EXPECT_EQ(run.Stdout, "TYP=3 ID=0 VALUE=1  [axis X/Ry]\n");
    EXPECT_NE(run.Stderr.find("malformed frame 2"), std::string::npos) << run.Stderr;

    run = Serve(Greeting() + Event(3, 0, 1023));
    EXPECT_EQ(run.Status, 4);
    EXPECT_NE(run.Stderr.find("no-value marker"), std::string::npos) << run.Stderr;
}

TEST(ListenProcess, AStreamEndingInsideAFrameIsTruncated) {
    Listener run = Serve(Greeting() + Event(3, 0, 1) + Event(3, 1, 2).substr(0, 60));
    EXPECT_EQ(run.Status, 5);
    EXPECT_EQ(run.Stdout, "TYP=3 ID=0 VALUE=1  [axis X/Ry]\n");
    EXPECT_NE(run.Stderr.find("inside frame 2 (60 of 100"), std::string::npos) << run.Stderr;
}

TEST(ListenProcess, ARefusedConnectionAndBadArgumentsAreReported) {
    uint16_t port = 0;
    int server = ListenOnFreePort(&port);
    ASSERT_GE(server, 0);
    close(server);  // nothing listens there now
    Listener run;
    ASSERT_TRUE(Start(&run, {"127.0.0.1", std::to_string(port)}));
    ASSERT_TRUE(Collect(&run, ""));
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Stderr.find("cannot connect"), std::string::npos) << run.Stderr;
    EXPECT_NE(run.Stderr.find("Connection refused"), std::string::npos) << run.Stderr;
    Kill(&run);

    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"127.0.0.1", "70000"}, {"--bogus"}, {"a", "1", "b"}}) {
        Listener bad;
        ASSERT_TRUE(Start(&bad, arguments));
        ASSERT_TRUE(Collect(&bad, ""));
        EXPECT_EQ(bad.Status, 2) << arguments[0];
        Kill(&bad);
    }

    // The view with its output in a pipe: refused before it takes the
    // relay's one client connection.
    server = ListenOnFreePort(&port);
    ASSERT_GE(server, 0);
    Listener view;
    ASSERT_TRUE(Start(&view, {"--view", "127.0.0.1", std::to_string(port)}));
    ASSERT_TRUE(Collect(&view, ""));
    EXPECT_EQ(view.Status, 2);
    EXPECT_NE(view.Stderr.find("--view needs a terminal"), std::string::npos) << view.Stderr;
    EXPECT_LT(AcceptWithin(server, 0), 0) << "connected although it cannot show anything";
    close(server);
    Kill(&view);
}

}  // namespace
