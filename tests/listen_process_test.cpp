// dorqin-listen as a user runs it, against a scripted server on a free
// port: what it prints, what it says on standard error and its exit status.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/client_process.h"
#include "tests/support/scripted_stream.h"

namespace {

using namespace scripted;

// Stretched by DORQIN_TIMEOUT_SCALE: Wine in the test guest starts a
// program in seconds.
int TimeoutScale() {
    const char* scale = getenv("DORQIN_TIMEOUT_SCALE");
    return scale && atoi(scale) > 1 ? atoi(scale) : 1;
}
const int TimeLimitMs = 10000 * TimeoutScale();

const std::vector<std::string> DorqinListen = {DORQIN_LISTEN_PATH};

typedef ClientRun Listener;

bool Start(Listener* listener, const std::vector<std::string>& arguments,
           const std::vector<std::string>& command = DorqinListen) {
    return StartClient(listener, command, arguments);
}

bool Collect(Listener* listener, const std::string& text, int timeoutMs = TimeLimitMs) {
    return CollectClient(listener, text, timeoutMs);
}

void Kill(Listener* listener) { KillClient(listener); }

// Serves `stream` to one run of dorqin-listen or another client (in pieces
// of `piece` bytes, each sent on its own) and closes; returns what the
// program did.
Listener Serve(const std::string& stream, std::vector<std::string> extra = {},
               size_t piece = 0, const std::vector<std::string>& command = DorqinListen) {
    Listener listener;
    uint16_t port = 0;
    int server = ListenOnFreePort(&port);
    EXPECT_GE(server, 0);
    extra.push_back("127.0.0.1");
    extra.push_back(std::to_string(port));
    EXPECT_TRUE(Start(&listener, extra, command));
    int client = AcceptWithin(server, TimeLimitMs);
    EXPECT_GE(client, 0);
    if (piece == 0) piece = stream.size();
    for (size_t at = 0; at < stream.size(); at += piece) {
        SendAll(client, stream.substr(at, piece));
        if (piece < stream.size()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(client);
    close(server);
    EXPECT_TRUE(Collect(&listener, "")) << command[0] << " did not end in time";
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

    // The view with its output in a pipe, or in a build without it:
    // refused before it takes the relay's one client connection.
#ifdef DORQIN_LISTEN_NO_VIEW
    const char* refusal = "--view is not available in this build";
#else
    const char* refusal = "--view needs a terminal";
#endif
    server = ListenOnFreePort(&port);
    ASSERT_GE(server, 0);
    Listener view;
    ASSERT_TRUE(Start(&view, {"--view", "127.0.0.1", std::to_string(port)}));
    ASSERT_TRUE(Collect(&view, ""));
    EXPECT_EQ(view.Status, 2);
    EXPECT_NE(view.Stderr.find(refusal), std::string::npos) << view.Stderr;
    EXPECT_LT(AcceptWithin(server, 0), 0) << "connected although it cannot show anything";
    close(server);
    Kill(&view);
}

// Streams that any client of the relay must judge as dorqin-listen does:
// a whole run with every kind of event, and each way a stream can be
// wrong, with dorqin-listen's exit status for it. The line formats are
// told apart by the runs that print events, so only those run with --json
// too.
struct StreamCase {
    const char* Name;
    std::string Stream;
    int Status;
    bool AlsoJson = false;
};

std::vector<StreamCase> StreamCases() {
    const std::string g = Greeting();
    const std::string ok = g + Event(3, 0, 700);
    auto text = [](const std::string& value) {
        return Frame("<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"" + value + "\" />");
    };
    std::string unterminated = Event(3, 0, 1);
    std::replace(unterminated.begin(), unterminated.end(), '\0', ' ');
    std::string filled = Event(3, 0, 1);
    filled[99] = '\x01';
    return {
        {"every kind of event",
         g + Event(3, 0, 700) + Event(3, 1, -1) + Event(3, 2, -32768) + Event(3, 3, 65535) +
             Event(2, 2, 7) + Event(2, 3, -5) + Event(1, 5, 1) + Event(1, 0, 1) +
             Event(1, -32768, 1) + Event(1, 70000, 1) + Event(4, 9, 0) +
             Event(-7, 2147483647, -2147483647 - 1),
         0, true},
        {"the greeting alone", g, 0, true},
        {"no byte at all", "", 3},
        {"half a greeting", g.substr(0, 20), 3},
        {"another greeting", "<DORQIN TYP=\"5\" ID=\"3\" VALUE=\"1024\" />" + std::string(6, '\0'), 3},
        {"a greeting without its zero bytes", g.substr(0, 38) + "      ", 3},
        {"a leading zero", ok + text("07"), 4, true},
        {"minus zero", ok + text("-0"), 4},
        {"a plus sign", ok + text("+5"), 4},
        {"no digits", ok + text(""), 4},
        {"a letter in the number", ok + text("1a"), 4},
        {"VALUE beyond 32 bits", ok + text("2147483648"), 4},
        {"VALUE below 32 bits", ok + text("-2147483649"), 4},
        {"twelve digits", ok + text("100000000000"), 4},
        {"TYP beyond 16 bits", ok + Event(32768, 0, 1), 4},
        {"the no-value marker", ok + Event(3, 0, 1023), 4},
        {"no zero byte", ok + unterminated, 4},
        {"a byte in the fill", ok + filled, 4},
        {"text after the end", ok + Frame("<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"1\" /> "), 4},
        {"no blank before />", ok + Frame("<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"1\"/>"), 4},
        {"lower case", ok + Frame("<dorqin TYP=\"3\" ID=\"0\" VALUE=\"1\" />"), 4},
        {"the end inside a frame", ok + Event(3, 1, 2).substr(0, 60), 5, true},
    };
}

// Serves every case to dorqin-listen and to the other client, and expects
// the same lines and exit status; with
// sameStderr the same messages too, otherwise a message exactly when
// dorqin-listen has one. The first case also goes in 7-byte pieces.
void ExpectTheSameAsDorqinListen(const std::vector<std::string>& other, bool sameStderr) {
    for (const StreamCase& each : StreamCases()) {
        for (const std::vector<std::string>& mode :
             {std::vector<std::string>{}, std::vector<std::string>{"--json"}}) {
            if (!mode.empty() && !each.AlsoJson) continue;
            std::string what = std::string(each.Name) + (mode.empty() ? "" : " --json");
            Listener reference = Serve(each.Stream, mode);
            ASSERT_EQ(reference.Status, each.Status) << what << ": " << reference.Stderr;
            Listener run = Serve(each.Stream, mode, 0, other);
            EXPECT_EQ(run.Status, reference.Status) << what << ": " << run.Stderr;
            EXPECT_EQ(run.Stdout, reference.Stdout) << what;
            if (sameStderr) {
                EXPECT_EQ(run.Stderr, reference.Stderr) << what;
            } else {
                EXPECT_EQ(run.Stderr.empty(), reference.Stderr.empty()) << what << ": " << run.Stderr;
            }
        }
    }
    const std::string whole = StreamCases()[0].Stream;
    Listener reference = Serve(whole);
    EXPECT_EQ(std::count(reference.Stdout.begin(), reference.Stdout.end(), '\n'), 12);
    Listener pieces = Serve(whole, {}, 7, other);
    EXPECT_EQ(pieces.Status, 0) << pieces.Stderr;
    EXPECT_EQ(pieces.Stdout, reference.Stdout);
}

// What the client does with arguments alone, no relay involved.
Listener RunAlone(const std::vector<std::string>& command,
                  const std::vector<std::string>& arguments) {
    Listener run;
    EXPECT_TRUE(Start(&run, arguments, command));
    EXPECT_TRUE(Collect(&run, "")) << command[0] << " did not end in time";
    Kill(&run);
    return run;
}

// A port where nothing listens.
std::string ClosedPort() {
    uint16_t port = 0;
    int server = ListenOnFreePort(&port);
    close(server);
    return std::to_string(port);
}

TEST(ListenAcrossClients, ThePythonExampleJudgesAndPrintsEveryStreamAsDorqinListen) {
    const std::vector<std::string> example = {DORQIN_PYTHON, DORQIN_EXAMPLE_CLIENT};
    ExpectTheSameAsDorqinListen(example, false);
    EXPECT_EQ(RunAlone(example, {"127.0.0.1", ClosedPort()}).Status, 1);
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"127.0.0.1", "70000"}, {"127.0.0.1", "0"}, {"--bogus"},
          {"a", "1", "b"}}) {
        EXPECT_EQ(RunAlone(example, arguments).Status, 2) << arguments[0];
    }
}

// The Windows build, under Wine: tests/wine/run-wine-tests.sh sets
// DORQIN_LISTEN_COMMAND="wine .../dorqin-listen.exe".
TEST(ListenAcrossClients, TheWindowsBuildPrintsWhatThisBuildPrints) {
    const char* line = getenv("DORQIN_LISTEN_COMMAND");
    if (!line || !*line) {
        GTEST_SKIP() << "DORQIN_LISTEN_COMMAND is not set; the Wine stage sets it to the "
                        "Windows build";
    }
    const std::vector<std::string> windows = ShellCommand(line);
    ExpectTheSameAsDorqinListen(windows, true);
    for (const char* option : {"--version", "--help"}) {
        Listener reference = RunAlone(DorqinListen, {option});
        Listener run = RunAlone(windows, {option});
        EXPECT_EQ(run.Stdout, reference.Stdout) << option;
        EXPECT_EQ(run.Status, 0) << option;
    }
    // The Linux-only modes are refused before connecting.
    for (const char* option : {"--view", "--joystick"}) {
        Listener run = RunAlone(windows, {option, "127.0.0.1", ClosedPort()});
        EXPECT_EQ(run.Status, 2) << option;
        EXPECT_EQ(run.Stderr, std::string("dorqin-listen: ") + option +
                                  " is not available in the Windows build of dorqin-listen "
                                  "(Linux only); without it, dorqin-listen prints one line per "
                                  "event\n");
    }
    Listener refused = RunAlone(windows, {"127.0.0.1", ClosedPort()});
    EXPECT_EQ(refused.Status, 1);
    EXPECT_NE(refused.Stderr.find("(is dorqin-relay running?)"), std::string::npos)
        << refused.Stderr;
}

}  // namespace
