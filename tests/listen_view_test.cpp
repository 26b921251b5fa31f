// dorqin-listen --view in a real terminal: tmux runs it in an 80x24 pane
// against a scripted server, and the test reads the screen with
// capture-pane, the way a user looks at it.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/prerequisite.h"
#include "tests/support/scripted_stream.h"

namespace {

using namespace scripted;

constexpr int TimeLimitMs = 15000;  // the sanitizer builds draw slowly

std::string FindTmux() {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/tmux";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The screen line that holds `label`, or "" if none does.
std::string LineWith(const std::string& screen, const std::string& label) {
    std::stringstream lines(screen);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(label) != std::string::npos) return line;
    }
    return "";
}

// A tmux server of our own (its own socket, no configuration) with one
// session whose pane runs a shell command.
class Pane {
public:
    explicit Pane(const std::string& tmux) : tmux_(tmux) {
        char dir[] = "/tmp/dorqin-view-XXXXXX";
        if (mkdtemp(dir)) dir_ = dir;
    }
    ~Pane() {
        Run("kill-server");
        if (!dir_.empty()) {
            for (const char* name : {"tmux.sock", "before", "after"})
                unlink((dir_ + "/" + name).c_str());
            rmdir(dir_.c_str());
        }
    }
    const std::string& Dir() const { return dir_; }

    bool Start(const std::string& command, int cols, int lines) {
        return !dir_.empty() && Run("-f /dev/null new-session -d -x " + std::to_string(cols) +
                                    " -y " + std::to_string(lines) + " " + Quote(command)) == 0;
    }
    // tmux's own names for keys: "q", "C-c".
    void Keys(const std::string& keys) { Run("send-keys " + keys); }
    void Resize(int cols, int lines) {
        Run("resize-window -x " + std::to_string(cols) + " -y " + std::to_string(lines));
    }
    std::string Screen() { return Output("capture-pane -p"); }
    // tmux format variables of the pane, such as #{alternate_on}.
    std::string Format(const std::string& format) {
        return Output("display-message -p " + Quote(format));
    }

    // Polls the screen until `done` holds for it; false after the time limit.
    bool WaitFor(const std::function<bool(const std::string&)>& done, int timeoutMs = TimeLimitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        do {
            last_ = Screen();
            if (done(last_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    bool WaitForText(const std::string& text) {
        return WaitFor(
            [&](const std::string& screen) { return screen.find(text) != std::string::npos; });
    }
    // The view's screen reaches the terminal in more than one write, top
    // to bottom, and may be caught halfway (seen under qemu-user): a check
    // waits for the header's text and for the line it reads lowest.
    bool WaitForTextAndLine(const std::string& text, const std::string& label,
                            const std::string& value) {
        return WaitFor([&](const std::string& screen) {
            return screen.find(text) != std::string::npos &&
                   LineWith(screen, label).find(value) != std::string::npos;
        });
    }
    const std::string& Last() const { return last_; }

    static std::string Quote(const std::string& text) {
        std::string quoted = "'";
        for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
    }

private:
    std::string Command(const std::string& arguments) const {
        return Quote(tmux_) + " -S " + Quote(dir_ + "/tmux.sock") + " " + arguments + " 2>&1";
    }
    int Run(const std::string& arguments) {
        std::string output;
        return RunWithOutput(arguments, &output);
    }
    std::string Output(const std::string& arguments) {
        std::string output;
        RunWithOutput(arguments, &output);
        return output;
    }
    int RunWithOutput(const std::string& arguments, std::string* output) {
        FILE* pipe = popen(Command(arguments).c_str(), "r");
        if (!pipe) return -1;
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
        return pclose(pipe);
    }

    std::string tmux_;
    std::string dir_;
    std::string last_;
};

std::string LineAt(const std::string& screen, int row) {
    std::stringstream lines(screen);
    std::string line;
    for (int i = 0; i <= row && std::getline(lines, line); ++i) {
    }
    return line;
}

// The pane's shell: notes the terminal's settings before and after the
// view and its exit status, then stays, so that the restored screen can
// be read. The trap keeps the shell alive through Ctrl+C; the view itself
// gets SIGINT with its default action, as from a shell prompt.
std::string PaneCommand(const Pane& pane, uint16_t port) {
    return "trap 'true' INT; stty -g > " + Pane::Quote(pane.Dir() + "/before") + "; " +
           Pane::Quote(DORQIN_LISTEN_PATH) + " --view 127.0.0.1 " + std::to_string(port) +
           "; echo \"exit status $?\"; stty -g > " + Pane::Quote(pane.Dir() + "/after") +
           "; exec sleep 600";
}

class ListenView : public ::testing::Test {
protected:
    void SetUp() override {
        tmux_ = FindTmux();
        if (tmux_.empty()) MISSING_PREREQUISITE("tmux (Debian package tmux)");
    }
    // The view in an 80x24 pane, connected to a scripted server of its
    // own: *server listens, *client is the view's connection.
    void StartView(Pane* pane, int* server, int* client) {
        uint16_t port = 0;
        *server = ListenOnFreePort(&port);
        ASSERT_GE(*server, 0);
        ASSERT_TRUE(pane->Start(PaneCommand(*pane, port), 80, 24));
        *client = AcceptWithin(*server, TimeLimitMs);
        ASSERT_GE(*client, 0);
    }
    std::string tmux_;
};

TEST_F(ListenView, ShowsTheStreamKeepsItsEndAndRestoresTheTerminalOnQ) {
    Pane pane(tmux_);
    int server = -1, client = -1;
    ASSERT_NO_FATAL_FAILURE(StartView(&pane, &server, &client));
    ASSERT_TRUE(pane.WaitForText("waiting for the greeting")) << pane.Last();
    EXPECT_EQ(pane.Format("#{alternate_on}"), "1\n");

    // One event on each channel, with the extremes of the 16-bit range on
    // the cross-hair's channels; buttons 1, 3 and 16 (the word is negative
    // on the wire); and one channel the relay has no row for.
    SendAll(client, Greeting() + Event(3, 0, 32767) + Event(3, 1, -32768) + Event(3, 2, 1000) +
                        Event(3, 3, -1000) + Event(2, 2, 7) + Event(2, 3, -5) +
                        Event(1, -32763, 1) + Event(2, 0, 9));
    // The screen reaches the terminal row by row, top down, and a capture
    // can land between two rows: wait for the lowest row read below, the
    // second of the last events (row 16), beside the marker's row.
    ASSERT_TRUE(pane.WaitFor([](const std::string& now) {
        return now.find("frames 8 ") != std::string::npos &&
               LineAt(now, 15).find('@') != std::string::npos &&
               LineAt(now, 16).find("TYP=1 ID=-32763") != std::string::npos;
    })) << pane.Last();
    std::string screen = pane.Last();
    EXPECT_NE(screen.find("greeted, streaming"), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 3 ID 0 X/Ry").find("#]   32767"), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 3 ID 1 Y/Rz").find("[#"), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 3 ID 1 Y/Rz").find("-32768"), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 3 ID 2 Z").find(" 1000 "), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 3 ID 3 Rx").find(" -1000 "), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 2 ID 2 Slider").find(" 7 "), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 2 ID 3 Dial").find(" -5 "), std::string::npos) << screen;
    EXPECT_NE(screen.find("word 0x8005"), std::string::npos) << screen;
    EXPECT_NE(screen.find("  [ 1]  2 [ 3]  4 "), std::string::npos) << screen;
    EXPECT_NE(screen.find(" 15 [16]"), std::string::npos) << screen;
    EXPECT_NE(screen.find("other channels 1 (last TYP=2 ID=0 VALUE=9)"), std::string::npos)
        << screen;
    // The marker sits in the cross-hair's top right corner: X at its
    // maximum, Y at its minimum.
    EXPECT_EQ(LineAt(screen, 15).substr(0, 23), "|          |         @|") << screen;
    // The last events, newest first, as the plain mode prints them.
    EXPECT_NE(screen.find("TYP=2 ID=0 VALUE=9  [unknown channel]"), std::string::npos) << screen;
    EXPECT_NE(screen.find("TYP=1 ID=-32763 VALUE=1  [buttons 0x8005: 1 3 16]"), std::string::npos)
        << screen;

    // A burst far faster than the screen is drawn: every frame is counted.
    std::string burst;
    for (int i = 0; i < 3000; ++i) burst += Event(3, 2, i == 2999 ? 12345 : i % 1000);
    SendAll(client, burst);
    ASSERT_TRUE(pane.WaitForTextAndLine("frames 3008 ", "TYP 3 ID 2 Z", " 12345 "))
        << pane.Last();
    EXPECT_NE(LineWith(pane.Last(), "TYP 3 ID 2 Z").find(" 12345 "), std::string::npos)
        << pane.Last();

    // A channel that stops moving shows its age growing.
    ASSERT_TRUE(pane.WaitFor([](const std::string& now) {
        std::string line = LineWith(now, "TYP 2 ID 3 Dial");
        size_t at = line.find_last_of(' ');
        return at != std::string::npos && atof(line.c_str() + at) >= 1.0;
    })) << pane.Last();

    // Too small a terminal gets a note, and the full view comes back.
    pane.Resize(60, 20);
    ASSERT_TRUE(pane.WaitForText("needs 80x24; this terminal is 60x20")) << pane.Last();
    pane.Resize(100, 30);
    ASSERT_TRUE(pane.WaitFor([](const std::string& now) {
        return LineWith(now, "TYP 3 ID 0 X/Ry").size() > 90;
    })) << pane.Last();
    // Back to the size the shell had: tmux reflows lines wider than the
    // saved screen into it when a full-screen program leaves (less -S
    // shows the same), which would hide what the view restored.
    pane.Resize(80, 24);
    ASSERT_TRUE(pane.WaitFor([](const std::string& now) {
        std::string line = LineWith(now, "TYP 3 ID 0 X/Ry");
        return !line.empty() && line.size() <= 80;
    })) << pane.Last();

    // The relay ends the stream: the view says so and keeps what it had.
    close(client);
    close(server);
    ASSERT_TRUE(pane.WaitForText("stream ended by the relay")) << pane.Last();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    screen = pane.Screen();
    EXPECT_NE(screen.find("frames 3008 "), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 3 ID 0 X/Ry").find("32767"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[16]"), std::string::npos) << screen;
    EXPECT_EQ(pane.Format("#{alternate_on}"), "1\n") << "the view left before q";

    pane.Keys("q");
    ASSERT_TRUE(pane.WaitForText("exit status 0")) << pane.Last();
    EXPECT_EQ(pane.Last().find("TYP 3 ID"), std::string::npos) << pane.Last();
    EXPECT_EQ(pane.Format("#{alternate_on} #{cursor_flag} #{keypad_flag}"), "0 1 0\n");
    std::string before = ReadFile(pane.Dir() + "/before");
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(ReadFile(pane.Dir() + "/after"), before) << "terminal modes not restored";
}

TEST_F(ListenView, AMalformedFrameIsShownAndCtrlCEndsTheViewAsItEndsThePlainMode) {
    Pane pane(tmux_);
    int server = -1, client = -1;
    ASSERT_NO_FATAL_FAILURE(StartView(&pane, &server, &client));
    SendAll(client, Greeting() + Event(3, 3, 4321) +
                        Frame("<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"7\"/>") + Event(3, 0, 2));
    ASSERT_TRUE(pane.WaitForTextAndLine("MALFORMED FRAME 2", "TYP 3 ID 3 Rx", " 4321 "))
        << pane.Last();
    std::string screen = pane.Last();
    EXPECT_NE(screen.find("frames 1 "), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 3 ID 3 Rx").find(" 4321 "), std::string::npos) << screen;
    // The frame after the bad one is not taken.
    EXPECT_EQ(LineWith(screen, "TYP 3 ID 0 X/Ry").find(" 2 "), std::string::npos) << screen;
    close(client);
    close(server);

    pane.Keys("C-c");
    // SIGINT ends it with 128 + 2, after the terminal is back and the
    // fault is on standard error as the plain mode writes it.
    ASSERT_TRUE(pane.WaitForText("exit status 130")) << pane.Last();
    EXPECT_NE(pane.Last().find("dorqin-listen: malformed frame 2 (stream bytes 144 to 243)"),
              std::string::npos)
        << pane.Last();
    EXPECT_EQ(pane.Format("#{alternate_on} #{cursor_flag}"), "0 1\n");
    EXPECT_EQ(ReadFile(pane.Dir() + "/after"), ReadFile(pane.Dir() + "/before"));
}

TEST_F(ListenView, WithReconnectItSaysSoKeepsTheLastValuesAndGoesOn) {
    uint16_t port = 0;
    int server = ListenOnFreePort(&port);
    ASSERT_GE(server, 0);
    Pane pane(tmux_);
    ASSERT_TRUE(pane.Start("trap 'true' INT; " + Pane::Quote(DORQIN_LISTEN_PATH) +
                               " --view --reconnect 127.0.0.1 " + std::to_string(port) +
                               "; echo \"exit status $?\"; exec sleep 600",
                           80, 24));
    int client = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(client, 0);
    SendAll(client, Greeting() + Event(3, 2, 1000) + Event(1, 5, 1));
    ASSERT_TRUE(pane.WaitForText("frames 2 ")) << pane.Last();
    close(client);  // the server still listens: the next attempt gets in

    // The state is in the header, the reason on the bottom row.
    ASSERT_TRUE(pane.WaitFor([](const std::string& now) {
        return now.find("reconnecting in 0.") != std::string::npos &&
               LineAt(now, 23).find("connection lost") != std::string::npos;
    })) << pane.Last();
    std::string screen = pane.Last();
    EXPECT_NE(screen.find("connection lost: the relay closed the connection"), std::string::npos)
        << screen;
    EXPECT_NE(LineWith(screen, "TYP 3 ID 2 Z").find(" 1000 "), std::string::npos) << screen;
    EXPECT_NE(screen.find("  [ 1]  2 [ 3]  4 "), std::string::npos) << screen;

    client = AcceptWithin(server, TimeLimitMs);
    ASSERT_GE(client, 0);
    SendAll(client, Greeting() + Event(3, 2, -7));
    ASSERT_TRUE(pane.WaitFor([](const std::string& now) {
        return now.find("frames 3 ") != std::string::npos &&
               LineWith(now, "TYP 3 ID 2 Z").find(" -7 ") != std::string::npos &&
               LineAt(now, 23).find("q quits") != std::string::npos &&
               LineAt(now, 23).find("connection lost") == std::string::npos;
    })) << pane.Last();
    screen = pane.Last();
    EXPECT_NE(screen.find("greeted, streaming"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("connection lost"), std::string::npos) << screen;
    EXPECT_NE(LineWith(screen, "TYP 3 ID 2 Z").find(" -7 "), std::string::npos) << screen;
    pane.Keys("q");
    ASSERT_TRUE(pane.WaitForText("exit status 0")) << pane.Last();
    close(client);
    close(server);
}

// Against a host that drops our packets: the view is drawn while each
// attempt waits, the attempt gives up after its 5 s and the pause counts
// down, and q during the next attempt ends it at once.
TEST_F(ListenView, WithReconnectAnAttemptThatHangsFreezesNothing) {
    uint16_t port = 0;
    int held = -1;
    int server = ListenSilently(&port, &held);
    ASSERT_GE(server, 0);
    Pane pane(tmux_);
    ASSERT_TRUE(pane.Start(Pane::Quote(DORQIN_LISTEN_PATH) + " --view --reconnect 127.0.0.1 " +
                               std::to_string(port) + "; echo \"exit status $?\"; exec sleep 600",
                           80, 24));
    auto connecting = [](const std::string& screen) {
        std::string header = LineAt(screen, 0);
        return header.size() > 11 && header.compare(header.size() - 11, 11, " connecting") == 0;
    };
    ASSERT_TRUE(pane.WaitFor(connecting)) << pane.Last();
    EXPECT_TRUE(ConnectUnderWay(port));
    ASSERT_TRUE(pane.WaitForText("reconnecting in 0.")) << pane.Last();
    EXPECT_NE(pane.Last().find("port " + std::to_string(port) + ": Connection timed out"),
              std::string::npos)
        << pane.Last();
    ASSERT_TRUE(pane.WaitFor(connecting)) << pane.Last();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto typed = std::chrono::steady_clock::now();
    pane.Keys("q");
    ASSERT_TRUE(pane.WaitForText("exit status 0")) << pane.Last();
    auto waited = std::chrono::steady_clock::now() - typed;
    long took = long(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
    EXPECT_LT(took, 500);
    std::printf("q during an attempt: the shell's status after %ld ms\n", took);
    close(held);
    close(server);
}

TEST_F(ListenView, ATerminalWithoutTerminfoIsRefusedBeforeConnecting) {
    uint16_t port = 0;
    int server = ListenOnFreePort(&port);
    ASSERT_GE(server, 0);
    Pane pane(tmux_);
    ASSERT_TRUE(pane.Start("TERM=no-such-terminal " + Pane::Quote(DORQIN_LISTEN_PATH) +
                               " --view 127.0.0.1 " + std::to_string(port) +
                               "; echo \"exit status $?\"; exec sleep 600",
                           80, 24));
    ASSERT_TRUE(pane.WaitForText("exit status 2")) << pane.Last();
    EXPECT_NE(pane.Last().find("TERM=no-such-terminal"), std::string::npos) << pane.Last();
    EXPECT_LT(AcceptWithin(server, 0), 0) << "connected although it cannot show anything";
    close(server);
}

}  // namespace
