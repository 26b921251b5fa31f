// dorqin-serve.exe under Wine (the Wine stage: tests/wine/run-wine-tests.sh
// sets DORQIN_WINDOWS_BUILD to the Windows build): the service's life
// under Wine's Service Control Manager, and the console loop across
// clients, with back-offs and its log. Wine on a host offers no box: the
// real relay finds none, and the runs that need events run the relay's
// own code with a timer for a box (tests/wine/relay_timed_box.cpp).
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/proc_stats.h"
#include "support/relay_process.h"

namespace {

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

std::string WindowsBuild() {
    const char* build = getenv("DORQIN_WINDOWS_BUILD");
    return build ? build : "";
}

#define NEEDS_THE_WINDOWS_BUILD()                                                          \
    if (WindowsBuild().empty()) {                                                          \
        GTEST_SKIP() << "DORQIN_WINDOWS_BUILD is not set; the Wine stage sets it to the "  \
                        "Windows build";                                                   \
    }

// The path as Wine's drive Z: (the Unix root) names it.
std::string OnDriveZ(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows) c = c == '/' ? '\\' : c;
    return windows;
}

std::string Serve() { return "wine " + WindowsBuild() + "/tools/dorqin-serve.exe"; }
std::string RealRelay() { return OnDriveZ(WindowsBuild() + "/dorqin-relay.exe"); }
std::string TimedBoxRelay() { return OnDriveZ(WindowsBuild() + "/tests/wine/relay-timed-box.exe"); }

// Runs a command line, its output and status. The output goes through a
// file: the first Wine program starts Wine's services, which keep what
// it inherited open, and a pipe would never end.
int Shell(const std::string& command, std::string* output = nullptr);

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int Shell(const std::string& command, std::string* output) {
    char path[] = "/tmp/dorqin-serve-exe-out-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return -1;
    close(fd);
    const int status = system((command + " > " + path + " 2>&1").c_str());
    if (output) *output = ReadFile(path);
    unlink(path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The processes whose program (Wine names it as the first word of the
// command line) ends in name.
std::vector<pid_t> ProcessesOf(const std::string& name) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        const std::string line = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        const std::string program = line.substr(0, line.find('\0'));
        if (program.size() >= name.size() &&
            program.compare(program.size() - name.size(), name.size(), name) == 0) {
            found.push_back(pid);
        }
    }
    if (proc) closedir(proc);
    return found;
}

bool NoneLeftWithin(const std::string& name, int ms) {
    const long long end = NowMs() + ms;
    while (!ProcessesOf(name).empty() && NowMs() < end) usleep(50000);
    return ProcessesOf(name).empty();
}

bool WaitForFile(const std::string& path, const std::string& text, int timeoutMs) {
    const long long end = NowMs() + timeoutMs;
    while (ReadFile(path).find(text) == std::string::npos) {
        if (NowMs() >= end) return false;
        usleep(50000);
    }
    return true;
}

// One line of the log: its local time ("2026-12-08 21:05:41.522 "), then
// the text as printed, then CR (getline took the LF). Checked by shape:
// <regex> trips GCC 12's -Wmaybe-uninitialized in the sanitized builds.
bool IsStampedLine(const std::string& line) {
    const char shape[] = "dddd-dd-dd dd:dd:dd.ddd ";
    const size_t stamp = sizeof shape - 1;
    if (line.size() < stamp + 1 || line.back() != '\r') return false;
    for (size_t i = 0; i < stamp; ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
    }
    return line.find('\r') == line.size() - 1;
}

// A console loop's log, each file's lines stamped.
void ExpectStampedLines(const std::string& log) {
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) EXPECT_TRUE(IsStampedLine(line)) << line;
}

TEST(ServeExe, AsAServiceItIsInstalledStartedServesAndStopsLeavingNoProcessThenIsRemoved) {
    NEEDS_THE_WINDOWS_BUILD();
    const std::string log = std::string(getenv("WINEPREFIX") ? getenv("WINEPREFIX") : "") +
                            "/drive_c/ProgramData/dorqin-relay/dorqin-serve.log";
    unlink(log.c_str());
    // Whatever fails, no service is left to hold the port for the next test.
    struct Removed {
        ~Removed() { Shell(Serve() + " remove"); }
    } removed;
    std::string out;
    ASSERT_EQ(Shell(Serve() + " install --relay '" + RealRelay() + "'", &out), 0) << out;
    EXPECT_NE(out.find("installed the service dorqin-serve"), std::string::npos) << out;
    // What it registered, as Wine keeps it (Wine's sc has no qc).
    const std::string key = "'HKLM\\System\\CurrentControlSet\\Services\\";
    ASSERT_EQ(Shell("wine reg query " + key + "dorqin-serve'", &out), 0) << out;
    EXPECT_NE(out.find("Start    REG_DWORD    0x2"), std::string::npos) << "automatic start: " << out;
    EXPECT_NE(out.find("NT AUTHORITY\\LocalService"), std::string::npos) << out;
    EXPECT_NE(out.find("service --relay \"" + RealRelay() + "\""), std::string::npos) << out;
    ASSERT_EQ(Shell("wine reg query " + key + "EventLog\\Application\\dorqin-serve'", &out), 0);
    EXPECT_NE(out.find("EventMessageFile"), std::string::npos) << out;
    ASSERT_EQ(Shell("wine net start dorqin-serve", &out), 0) << out;
    ASSERT_EQ(Shell("wine sc query dorqin-serve", &out), 0);
    EXPECT_NE(out.find("RUNNING"), std::string::npos) << out;

    // Served: the greeting, then (no box here) the end of the stream.
    const int client = ServedClient(Scaled(10000));
    ASSERT_GE(client, 0);
    std::string rest;
    EXPECT_TRUE(ReadToEnd(client, &rest, Scaled(5000)));
    close(client);
    ASSERT_TRUE(WaitForFile(log, "dorqin-serve: next run in 1 s", Scaled(5000))) << ReadFile(log);
    const long long wait = NowMs() + Scaled(5000);
    while (ProcessesOf("dorqin-relay.exe").empty() && NowMs() < wait) usleep(50000);
    EXPECT_FALSE(ProcessesOf("dorqin-relay.exe").empty()) << "no next run";

    const long long stop = NowMs();
    ASSERT_EQ(Shell("wine net stop dorqin-serve", &out), 0) << out;
    EXPECT_TRUE(NoneLeftWithin("dorqin-relay.exe", Scaled(3000))) << "a relay is left";
    EXPECT_TRUE(NoneLeftWithin("dorqin-serve.exe", Scaled(3000))) << "the service is left";
    printf("net stop: the service and its relay gone after %lld ms\n", NowMs() - stop);
    const std::string written = ReadFile(log);
    EXPECT_NE(written.find(" Verbindung erhalten von: 127.0.0.1\r\n"), std::string::npos)
        << written;
    EXPECT_NE(written.find(" dorqin-serve: run 1 ended: 0 events (no box)\r\n"), std::string::npos)
        << written;
    EXPECT_NE(written.find(" dorqin-serve: run 2 ended: 0 events (service stop)\r\n"),
              std::string::npos)
        << written;
    ExpectStampedLines(written);

    ASSERT_EQ(Shell(Serve() + " remove", &out), 0) << out;
    EXPECT_NE(Shell("wine sc query dorqin-serve", &out), 0) << "still registered: " << out;
    EXPECT_NE(Shell("wine reg query " + key + "EventLog\\Application\\dorqin-serve'", &out), 0)
        << "the Event Log source is left: " << out;
}

// Each client gets its own events; one that closes is let go once no
// event shows it still reads (CLOSE_WAIT in the TCP table, 5 s), one that
// is reset at the next look (gone from it), and the next one is served.
// The log, rotated every 256 bytes, keeps the last lines.
TEST(ServeExe, InAConsoleClosedAndResetClientsAreEachFollowedByTheNextWithItsOwnEvents) {
    NEEDS_THE_WINDOWS_BUILD();
    char dir[] = "/tmp/dorqin-serve-exe-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string log = std::string(dir) + "/serve.log";
    RelayProcess serve;
    ASSERT_TRUE(StartRelayCommand(&serve,
                                  "exec " + Serve() + " run --echo --relay '" + TimedBoxRelay() +
                                      "' --log '" + OnDriveZ(log) + "' --log-size 256 2>&1",
                                  true));
    int client = ServedClient(Scaled(10000));
    ASSERT_GE(client, 0) << serve.console;
    for (int run = 1; run <= 3; ++run) {
        std::string frames;
        ASSERT_TRUE(ReadExact(client, &frames, 300, Scaled(5000))) << "run " << run;
        EXPECT_EQ(frames, ExpectedFrame("<DORQIN TYP=\"1\" ID=\"1\" VALUE=\"1\" />") +
                              ExpectedFrame("<DORQIN TYP=\"1\" ID=\"2\" VALUE=\"1\" />") +
                              ExpectedFrame("<DORQIN TYP=\"1\" ID=\"3\" VALUE=\"1\" />"))
            << "run " << run;
        if (run == 3) break;
        if (run == 2) {
            linger reset{1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        close(client);
        const long long left = NowMs();
        // Once the run has ended: a connection left in the queue of a relay
        // that ends is not always reset under Wine, and would wait in vain.
        ASSERT_TRUE(WaitForConsole(&serve, "run " + std::to_string(run) + " ended", Scaled(10000)))
            << serve.console;
        const long long ended = NowMs() - left;
        client = ServedClient(Scaled(10000));
        ASSERT_GE(client, 0) << "no client served after run " << run << ": " << serve.console;
        printf("run ended %lld ms, next client served %lld ms after the last %s\n", ended,
               NowMs() - left, run == 1 ? "closed" : "was reset");
        EXPECT_LT(NowMs() - left, run == 1 ? 9000 : 5000) << "run " << run;
    }
    kill(serve.pid, SIGINT);  // Wine's Ctrl+C
    ASSERT_TRUE(WaitForExit(&serve, Scaled(5000))) << serve.console;
    EXPECT_EQ(serve.status, 0);
    EXPECT_TRUE(NoneLeftWithin("relay-timed-box.exe", Scaled(3000))) << "a relay is left";
    close(client);
    for (const char* note :
         {"run 1 ended: 3 events (the client closed its side, and no event since showed that it "
          "still reads)",
          "run 2 ended: 3 events (the client connection is no longer established)",
          "run 3 ended: 3 events (Ctrl+C)"}) {
        EXPECT_NE(serve.console.find(std::string("dorqin-serve: ") + note + "\n"),
                  std::string::npos)
            << note << "\n" << serve.console;
    }

    // The last lines in the log, the first ones rotated out; none of the
    // three files much beyond 256 bytes.
    const std::string current = ReadFile(log), older = ReadFile(log + ".1"),
                      oldest = ReadFile(log + ".2");
    EXPECT_NE(current.find(" dorqin-serve: run 3 ended: 3 events (Ctrl+C)\r\n"), std::string::npos)
        << current;
    EXPECT_NE((oldest + older + current).find(" <DORQIN TYP=\"1\" ID=\"3\" VALUE=\"1\" />\r\n"),
              std::string::npos);
    EXPECT_EQ((oldest + older + current).find("run 1 ended"), std::string::npos)
        << "rotation kept more than the last files";
    for (const std::string* file : {&current, &older, &oldest}) {
        EXPECT_GT(file->size(), 0u);
        EXPECT_LE(file->size(), 256u + 200u);
        ExpectStampedLines(*file);
    }
    for (const char* name : {"/serve.log", "/serve.log.1", "/serve.log.2"}) {
        unlink((std::string(dir) + name).c_str());
    }
    rmdir(dir);
}

// A taken port: tried again after 1, 2, 4 s, without spinning. Then runs
// that find no box: the pauses go on growing, but only up to 5 s. Killed
// outright, it takes its relay with it.
TEST(ServeExe, ATakenPortAndNoBoxBackOffWithoutSpinningAndAKillLeavesNoRelay) {
    NEEDS_THE_WINDOWS_BUILD();
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kRelayPort);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);

    RelayProcess serve;
    ASSERT_TRUE(StartRelayCommand(&serve, "exec " + Serve() + " run --relay '" + RealRelay() +
                                              "' 2>&1",
                                  true));
    ASSERT_TRUE(WaitForConsole(&serve, "next run in 1 s", Scaled(10000))) << serve.console;
    const long long firstPause = NowMs();
    const long ticksBefore = CpuTicks(serve.pid);
    ASSERT_TRUE(WaitForConsole(&serve, "next run in 2 s", Scaled(5000))) << serve.console;
    const long long secondPause = NowMs();
    ASSERT_TRUE(WaitForConsole(&serve, "next run in 4 s", Scaled(10000))) << serve.console;
    EXPECT_GE(secondPause - firstPause, 900);
    EXPECT_GE(NowMs() - secondPause, 1900);
    const long ticks = CpuTicks(serve.pid) - ticksBefore;
    printf("dorqin-serve.exe used %ld clock ticks in the 3 s of pauses\n", ticks);
    EXPECT_LE(ticks, 10) << "it spun while it waited to try again";
    size_t failures = 0;
    // (Its texts and its notes are written by a thread each: their order
    // on a shared pipe is not kept.)
    for (size_t at = serve.console.find("Fehler beim Initialisieren des Listen Vorganges!");
         at != std::string::npos;
         at = serve.console.find("Fehler beim Initialisieren des Listen Vorganges!", at + 1)) {
        ++failures;
    }
    EXPECT_EQ(failures, 3u) << serve.console;

    // The port free: the next runs serve, find no box, and pause 5 s, not 8.
    close(holder);
    for (int run = 0; run < 2; ++run) {
        serve.console.clear();
        const int client = ServedClient(Scaled(15000));
        ASSERT_GE(client, 0) << serve.console;
        close(client);
        EXPECT_TRUE(WaitForConsole(&serve, "next run in 5 s", Scaled(5000))) << serve.console;
        EXPECT_NE(serve.console.find("ended: 0 events (no box)\n"), std::string::npos)
            << serve.console;
    }
    const long long wait = NowMs() + Scaled(5000);
    while (ProcessesOf("dorqin-relay.exe").empty() && NowMs() < wait) usleep(50000);
    ASSERT_FALSE(ProcessesOf("dorqin-relay.exe").empty()) << serve.console;
    kill(serve.pid, SIGKILL);
    EXPECT_TRUE(NoneLeftWithin("dorqin-relay.exe", Scaled(3000)))
        << "the job object did not take the relay along";
    StopRelay(&serve);
}

}  // namespace
