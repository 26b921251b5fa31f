// Runs the real relay as a child process for black-box tests: standard
// input and output are pipes, and every wait has a time limit so that a
// hang fails the test instead of hanging the run.
//
// The command comes from one place, RelayCommand(): the environment
// variable DORQIN_RELAY_COMMAND (for example "wine /path/dorqin-relay.exe")
// or else the binary built beside these tests. DORQIN_TIMEOUT_SCALE
// stretches every time limit (Wine starts slowly). The black-box runner
// hides the machine's HID devices from the relay (see DeviceView) unless
// DORQIN_NO_DEVNS is set.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

constexpr uint16_t kRelayPort = 5003;

struct RelayProcess {
    pid_t pid = -1;
    int input = -1;       // write end of the relay's standard input
    int output = -1;      // read end of the relay's standard output
    std::string console;  // everything the relay printed so far
    int status = -1;      // exit status once it has exited
    bool exited = false;
    rusage usage{};       // its resource use (CPU time, peak RSS) once reaped
};

std::string RelayCommand();

// What the relay sees of HID devices. With sysClass set the relay runs in
// a mount namespace of its own where sysClass is bound over /sys/class
// (and dev, when set, over /dev): an empty hidraw class hides every real
// box, a fake tree (support/fake_hidraw.h) shows the test's own. Needs
// root; see DeviceViewsAvailable.
struct DeviceView {
    std::string sysClass;
    std::string dev;
};

// The view that every later StartRelay/StartRelayCommand gives the relay;
// an empty view leaves it the host's devices.
void SetRelayDeviceView(const DeviceView& view);
DeviceView RelayDeviceView();

// Whether this process can give a child a mount namespace of its own.
bool DeviceViewsAvailable();

// Time limit in milliseconds, stretched by DORQIN_TIMEOUT_SCALE.
int Scaled(int milliseconds);

// Starts `exec <RelayCommand()>` under /bin/sh, or the given shell command
// line, in a process group of its own. With emptyInput the relay's
// standard input is /dev/null (at its end from the start).
bool StartRelay(RelayProcess* relay, bool emptyInput = false);
bool StartRelayCommand(RelayProcess* relay, const std::string& shellCommand, bool emptyInput);

// Starts the program at path directly, with no shell in between (so that
// its resource use is its own; a path with blanks is a command line and
// goes through the shell after all), with standard output on consoleFd (a
// file or a terminal the caller drains; nothing is collected) and standard
// input a pipe as with StartRelay.
bool StartRelayProgram(RelayProcess* relay, const std::string& path, int consoleFd);

// Collects console output until it contains text or the time is up.
bool WaitForConsole(RelayProcess* relay, const std::string& text, int timeoutMs);

// Collects output until the relay exits; false if it is still running.
bool WaitForExit(RelayProcess* relay, int timeoutMs);

// Collects output for the given time and returns true if the relay is
// still running at its end.
bool StillRunningAfter(RelayProcess* relay, int milliseconds);

// Writes text to the relay's standard input.
bool Type(RelayProcess* relay, const std::string& text);

// Kills the relay's process group if it still runs and reaps it.
void StopRelay(RelayProcess* relay);

// Connects to 127.0.0.1:port, retrying while nothing listens yet. Returns
// the socket or -1.
int ConnectToRelay(int timeoutMs, uint16_t port = kRelayPort);

// Connects a client that got its greeting (ExpectedGreeting): one taken
// by a listener that is about to go away is reset and tried again. Returns
// the socket or -1.
int ServedClient(int timeoutMs);

// Reads exactly n bytes; false on end of stream, error or timeout.
bool ReadExact(int fd, std::string* out, size_t n, int timeoutMs);

// Reads until the peer closes; false on timeout or error (a reset counts
// as the end).
bool ReadToEnd(int fd, std::string* out, int timeoutMs);

// The greeting as it must arrive: 38 characters and 6 zero bytes.
std::string ExpectedGreeting();

// An event frame as it must arrive: the text and zero fill to 100 bytes.
std::string ExpectedFrame(const std::string& text);
