#include "support/relay_process.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace {

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Drains what the relay has printed, waiting up to timeoutMs for more.
// Returns false once standard output is closed.
bool Collect(RelayProcess* relay, int timeoutMs) {
    if (relay->output < 0) return false;
    pollfd p{relay->output, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return true;
    char buffer[4096];
    ssize_t n = read(relay->output, buffer, sizeof buffer);
    if (n > 0) {
        relay->console.append(buffer, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    close(relay->output);
    relay->output = -1;
    return false;
}

bool Reap(RelayProcess* relay, bool block) {
    if (relay->exited || relay->pid < 0) return relay->exited;
    int status = 0;
    pid_t r = wait4(relay->pid, &status, block ? 0 : WNOHANG, &relay->usage);
    if (r != relay->pid) return false;
    relay->exited = true;
    relay->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

DeviceView deviceView;

// In a child before exec: a private mount namespace with the view's
// directories laid over /sys/class and /dev. Only async-signal-safe calls.
bool EnterDeviceView(const char* sysClass, const char* dev) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    // Nothing mounted here may leak back to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (*sysClass && mount(sysClass, "/sys/class", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        return false;
    }
    if (*dev && mount(dev, "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0) return false;
    return true;
}

}  // namespace

void SetRelayDeviceView(const DeviceView& view) { deviceView = view; }

DeviceView RelayDeviceView() { return deviceView; }

bool DeviceViewsAvailable() {
    static int available = -1;
    if (available < 0) {
        pid_t pid = fork();
        if (pid == 0) _exit(EnterDeviceView("/tmp", "") ? 0 : 1);
        int status = 0;
        available = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0;
    }
    return available == 1;
}

std::string RelayCommand() {
    const char* command = getenv("DORQIN_RELAY_COMMAND");
    if (command && *command) return command;
    return DORQIN_RELAY_PATH;
}

int Scaled(int milliseconds) {
    const char* scale = getenv("DORQIN_TIMEOUT_SCALE");
    double factor = scale ? atof(scale) : 1.0;
    if (factor < 1.0) factor = 1.0;
    return static_cast<int>(milliseconds * factor);
}

bool StartRelay(RelayProcess* relay, bool emptyInput) {
    return StartRelayCommand(relay, "exec " + RelayCommand(), emptyInput);
}

namespace {

// Forks the relay with standard input a pipe (or /dev/null) and standard
// output a pipe or consoleFd, and execs the shell command, or path directly
// when shellCommand is null.
bool Spawn(RelayProcess* relay, const char* shellCommand, const char* path, bool emptyInput,
           int consoleFd) {
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) < 0) return false;
    if (consoleFd < 0 && pipe2(out, O_CLOEXEC) < 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    const bool viewed = !deviceView.sysClass.empty() || !deviceView.dev.empty();
    const char* sysClass = deviceView.sysClass.c_str();
    const char* dev = deviceView.dev.c_str();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        setpgid(0, 0);
        // The relay gets SIGPIPE as a shell would give it, not the harness's
        // ignored one: a console that goes away must end it as it would a
        // user's. A command line may still ignore it (trap '' PIPE).
        signal(SIGPIPE, SIG_DFL);
        if (emptyInput) {
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
        } else {
            dup2(in[0], 0);
        }
        dup2(consoleFd >= 0 ? consoleFd : out[1], 1);
        if (viewed && !EnterDeviceView(sysClass, dev)) _exit(126);
        if (shellCommand) {
            execl("/bin/sh", "sh", "-c", shellCommand, static_cast<char*>(nullptr));
        } else {
            execl(path, path, static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    setpgid(pid, pid);
    close(in[0]);
    if (out[1] >= 0) close(out[1]);
    relay->pid = pid;
    relay->input = in[1];
    relay->output = out[0];
    if (emptyInput) {
        close(relay->input);
        relay->input = -1;
    }
    return true;
}

}  // namespace

bool StartRelayCommand(RelayProcess* relay, const std::string& shellCommand, bool emptyInput) {
    return Spawn(relay, shellCommand.c_str(), nullptr, emptyInput, -1);
}

bool StartRelayProgram(RelayProcess* relay, const std::string& path, int consoleFd) {
    // A command line (such as DORQIN_RELAY_COMMAND="wine ...") needs the shell.
    if (path.find(' ') != std::string::npos) {
        const std::string command = "exec " + path;
        return Spawn(relay, command.c_str(), nullptr, false, consoleFd);
    }
    return Spawn(relay, nullptr, path.c_str(), false, consoleFd);
}

bool WaitForConsole(RelayProcess* relay, const std::string& text, int timeoutMs) {
    long long end = NowMs() + timeoutMs;
    while (relay->console.find(text) == std::string::npos) {
        long long left = end - NowMs();
        if (left <= 0) return false;
        if (!Collect(relay, static_cast<int>(left))) {
            return relay->console.find(text) != std::string::npos;
        }
    }
    return true;
}

bool WaitForExit(RelayProcess* relay, int timeoutMs) {
    long long end = NowMs() + timeoutMs;
    while (!Reap(relay, false)) {
        long long left = end - NowMs();
        if (left <= 0) return false;
        if (!Collect(relay, static_cast<int>(left < 50 ? left : 50))) usleep(2000);
    }
    // Whatever it printed before it exited is in the pipe by now.
    while (relay->output >= 0) {
        pollfd p{relay->output, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        Collect(relay, 0);
    }
    return true;
}

bool StillRunningAfter(RelayProcess* relay, int milliseconds) {
    long long end = NowMs() + milliseconds;
    for (;;) {
        long long left = end - NowMs();
        if (left <= 0) break;
        if (!Collect(relay, static_cast<int>(left))) usleep(static_cast<useconds_t>(left * 1000));
    }
    return !Reap(relay, false);
}

bool Type(RelayProcess* relay, const std::string& text) {
    if (relay->input < 0) return false;
    return write(relay->input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// True once a listener could take the relay port on all addresses, as
// the next test's relay or occupier will.
bool RelayPortFree() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kRelayPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                listen(fd, 1) == 0;
    close(fd);
    return free;
}

void StopRelay(RelayProcess* relay) {
    if (relay->pid > 0 && !Reap(relay, false)) {
        kill(-relay->pid, SIGKILL);
        Reap(relay, true);
        // Under Wine the sockets belong to wineserver, which lets them go
        // a few milliseconds after the killed process has been reaped.
        long long end = NowMs() + Scaled(2000);
        while (!RelayPortFree() && NowMs() < end) usleep(5000);
    }
    if (relay->input >= 0) close(relay->input);
    if (relay->output >= 0) close(relay->output);
    relay->input = relay->output = -1;
}

int ConnectToRelay(int timeoutMs, uint16_t port) {
    long long end = NowMs() + timeoutMs;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        close(fd);
        if (NowMs() >= end) return -1;
        usleep(20000);
    }
}

int ServedClient(int timeoutMs) {
    const long long end = NowMs() + timeoutMs;
    while (NowMs() < end) {
        const int fd = ConnectToRelay(static_cast<int>(end - NowMs()));
        if (fd < 0) return -1;
        std::string greeting;
        if (ReadExact(fd, &greeting, 44, Scaled(3000)) && greeting == ExpectedGreeting()) return fd;
        close(fd);
    }
    return -1;
}

bool ReadExact(int fd, std::string* out, size_t n, int timeoutMs) {
    long long end = NowMs() + timeoutMs;
    size_t start = out->size();
    while (out->size() - start < n) {
        long long left = end - NowMs();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[4096];
        size_t want = n - (out->size() - start);
        ssize_t got = recv(fd, buffer, want < sizeof buffer ? want : sizeof buffer, 0);
        if (got <= 0) return false;
        out->append(buffer, static_cast<size_t>(got));
    }
    return true;
}

bool ReadToEnd(int fd, std::string* out, int timeoutMs) {
    long long end = NowMs() + timeoutMs;
    for (;;) {
        long long left = end - NowMs();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[4096];
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
        if (got < 0) return false;
        out->append(buffer, static_cast<size_t>(got));
    }
}

std::string ExpectedGreeting() {
    return std::string("<DORQIN TYP=\"5\" ID=\"3\" VALUE=\"1023\" />") + std::string(6, '\0');
}

std::string ExpectedFrame(const std::string& text) {
    return text + std::string(100 - text.size(), '\0');
}
