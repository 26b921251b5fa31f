// dorqin-serve: keeps the relay running unattended. Runs dorqin-relay again
// and again, one client per run, and ends a run the way the user at its
// console would (by ending its input) once the run can serve no more: a
// failure message that waits for Enter, the client's connection gone, or
// the box gone. The Linux backend of the supervisor (supervisor.h): one
// poll over the relay's output, a timer and the signals; the client and
// the box as /proc shows them.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/stream.h"
#include "platform/posix/sys.h"
#include "tools/serve/relay_proc.h"
#include "tools/serve/supervisor.h"

namespace {

const char UsageText[] =
    "usage: dorqin-serve [--relay PATH] [--echo]\n"
    "\n"
    "Runs dorqin-relay again and again, each run serving one client, and\n"
    "ends a run as a user pressing Enter would when its client's connection\n"
    "is gone, its box is gone or it reported a failure. The relay's texts\n"
    "pass through; the event lines are counted, not printed. SIGTERM or\n"
    "Ctrl+C ends the current run and dorqin-serve. Linux only.\n"
    "\n"
    "  --relay PATH  the relay to run (default: dorqin-relay beside this\n"
    "                program)\n"
    "  --echo        print the relay's event lines too\n"
    "  --help        show this text\n"
    "  --version     show the version\n";

// Our standard output and standard error, written without ever waiting:
// a stalled reader (a terminal stopped with XOFF, a paused pager) must not
// stop the loop that watches the link and takes the signals, nor, through
// the relay's full pipe, the relay's stream.
struct Sink {
    int fd = -1;        // the descriptor written: our own non-blocking one where we could open one
    bool socket = false;  // a socket (the journal's stream): sent with MSG_DONTWAIT
    bool mayBlock = false;  // a pipe or terminal we could not open again: asked first
};

Sink OutSink, ErrSink;
Outlet Out, Err;

// The relay of the current run, and what is watched of it.
struct Relay {
    pid_t pid = -1;
    int input = -1;   // the write end of the relay's standard input, never written
    int output = -1;  // the read end of its standard output
    ClientSocket client;
    BoxWatch box;
};

struct PosixRecord {
    std::string relayPath;
    int signals = -1;
    bool saidFdsUnreadable = false;
    int saidRefused = 0;  // the errno of a refused box node, once said
    Relay relay;
};

PosixRecord State;

long WriteSome(Outlet* outlet, const char* from, size_t left) {
    const Sink* sink = static_cast<const Sink*>(outlet->sink);
    if (sink->mayBlock) {
        // Room for PIPE_BUF bytes once poll says writable: no more at a time.
        pollfd ready = {sink->fd, POLLOUT, 0};
        if (poll(&ready, 1, 0) != 1) return 0;
        if (left > PIPE_BUF) left = PIPE_BUF;
    }
    for (;;) {
        ssize_t n = sink->socket ? send(sink->fd, from, left, MSG_DONTWAIT | MSG_NOSIGNAL)
                                 : write(sink->fd, from, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return n <= 0 ? -1 : static_cast<long>(n);
    }
}

// A file description of our own for a pipe or terminal, opened again
// through /proc with O_NONBLOCK: setting that flag on the inherited one
// would change it for every other process that shares it.
void OpenOutlet(Outlet* outlet, Sink* sink, int fd) {
    outlet->writeSome = WriteSome;
    outlet->sink = sink;
    sink->fd = fd;
    struct stat about;
    if (fstat(fd, &about) != 0) return;
    if (S_ISSOCK(about.st_mode)) {
        sink->socket = true;
    } else if (S_ISFIFO(about.st_mode) || S_ISCHR(about.st_mode)) {
        char path[64];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            sink->fd = own;
        } else {
            sink->mayBlock = true;
        }
    }
}

std::string RelayBesideUs() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "dorqin-relay";
    self[n] = '\0';
    std::string path(self);
    return path.substr(0, path.rfind('/') + 1) + "dorqin-relay";
}

void ClosePipes(int (&pipes)[3][2]) {
    for (auto& ends : pipes) {
        for (int& fd : ends) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
}

void Reap() {
    Relay& relay = State.relay;
    if (relay.pid < 0) return;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(relay.pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    // ECHILD: reaped behind our back (SIGCHLD set to be ignored after we
    // started): gone all the same, its status unknown.
    if (r < 0 && errno == ECHILD) {
        status = 0;
    } else if (r != relay.pid) {
        return;
    }
    relay.pid = -1;
    char how[96];
    if (WIFSIGNALED(status)) {
        snprintf(how, sizeof how, "the relay was killed by signal %d", WTERMSIG(status));
    } else {
        snprintf(how, sizeof how, "the relay ended with status %d", WEXITSTATUS(status));
    }
    ServeRelayEnded(how);
}

void ReadOutput() {
    Relay& relay = State.relay;
    char buffer[65536];
    ssize_t n = read(relay.output, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        close(relay.output);
        relay.output = -1;
        ServeOutputEnded();
        return;
    }
    ServeTakeOutput(buffer, static_cast<size_t>(n));
}

void TakeSignals() {
    signalfd_siginfo info;
    while (read(State.signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGCHLD) {
            Reap();
        } else {
            ServeStop(info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT");
        }
    }
}

}  // namespace

long long BackendNowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// kNotNow when the system lacks what it takes this time (descriptors,
// memory, processes); kCannotRun when the relay cannot be executed at all.
StartResult BackendStartRelay() {
    int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    for (auto& ends : pipes) {
        if (pipe2(ends, O_CLOEXEC) != 0) {
            Note("cannot make a pipe: %s", strerror(errno));
            ClosePipes(pipes);
            return kNotNow;
        }
    }
    int (&in)[2] = pipes[0];
    int (&out)[2] = pipes[1];
    int (&execStatus)[2] = pipes[2];
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        Note("cannot start the relay: %s", strerror(errno));
        ClosePipes(pipes);
        return kNotNow;
    }
    if (pid == 0) {
        // The relay gets the signals as a shell would give them to it, and
        // a group of its own: Ctrl+C at a terminal is ours to turn into
        // Enter, not the relay's to die of.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        setpgid(0, 0);
        // Nothing outlives us, even when we are killed outright.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execl(State.relayPath.c_str(), State.relayPath.c_str(), static_cast<char*>(nullptr));
        int error = errno;
        ssize_t ignored = write(execStatus[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(execStatus[1]);
    fcntl(out[0], F_SETPIPE_SZ, kPipeBytes);  // best effort: the default 64 KiB works too
    int error = 0;
    ssize_t got;
    do {
        got = read(execStatus[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(execStatus[0]);
    if (got == sizeof error) {
        Note("cannot run %s: %s", State.relayPath.c_str(), strerror(error));
        waitpid(pid, nullptr, 0);
        close(in[1]);
        close(out[0]);
        return kCannotRun;
    }
    State.relay = Relay();
    State.relay.pid = pid;
    State.relay.input = in[1];
    State.relay.output = out[0];
    return kStarted;
}

void BackendEndInput() {
    if (State.relay.input >= 0) close(State.relay.input);
    State.relay.input = -1;
}

void BackendEndWaitingRelay() {
    if (State.relay.pid > 0) kill(State.relay.pid, SIGTERM);
}

void BackendKillRelay() {
    if (State.relay.pid > 0) kill(-State.relay.pid, SIGKILL);
}

void BackendReleaseRun() { BackendEndInput(); }

int BackendWait(int timeoutMs, bool readOutput) {
    pollfd fds[4] = {{State.signals, POLLIN, 0},
                     {readOutput ? State.relay.output : -1, POLLIN, 0},
                     {Out.pending.empty() ? -1 : OutSink.fd, POLLOUT, 0},
                     {Err.pending.empty() ? -1 : ErrSink.fd, POLLOUT, 0}};
    if (poll(fds, 4, timeoutMs) < 0 && errno != EINTR) {
        Note("poll: %s", strerror(errno));
        return -1;
    }
    if (fds[2].revents) OutletFlush(&Out);
    if (fds[3].revents) OutletFlush(&Err);
    if (fds[0].revents) TakeSignals();
    if (State.relay.output >= 0 && fds[1].revents) ReadOutput();
    return 0;
}

ClientLink BackendClientLink() {
    Relay& relay = State.relay;
    const ClientLink link = RelayClientLink(relay.pid, RelayPort, &relay.client);
    if (relay.client.byPort && !State.saidFdsUnreadable) {
        State.saidFdsUnreadable = true;
        Note("cannot read the relay's open files (/proc/%d/fd); its client is found by port %d "
             "and its box by the nodes of its kind in /dev instead",
             static_cast<int>(relay.pid), RelayPort);
    }
    return link;
}

bool BackendBoxGone() { return RelayBoxGone(State.relay.pid, &State.relay.box); }

// A run that found no box where a node of the box exists: the relay was
// refused it. Said once for each cause; the journal is where a service's
// admin looks.
void BackendAfterNoBox() {
    char node[200];
    const int refused = BoxNodeRefused(0x046D, 0xC630, node, sizeof node);
    if (refused == 0 || refused == State.saidRefused) return;
    State.saidRefused = refused;
    if (refused == EPERM) {
        Note("%s is there, but opening it is not permitted (EPERM): a device rule refuses it, not "
             "its permissions. Under systemd, DeviceAllow=char-hidraw only takes effect for a "
             "hidraw driver loaded before the service started (dorqin-serve.service loads it "
             "first through modprobe@hid.service); restart the service after loading it",
             node);
    } else {
        Note("%s is there, but this user may not open it (%s): the box's udev rule gives it to "
             "the group dorqin; is that rule installed, and was the box plugged in again since?",
             node, strerror(refused));
    }
}

void BackendWriteOut(const char* text, size_t length) { OutletWrite(&Out, text, length); }

void BackendWriteNote(const char* line, size_t length) { OutletWrite(&Err, line, length); }

// The journal takes standard error as it is; there is no other log.
void BackendReportFailure(const char*) {}

int main(int argc, char* argv[]) {
    // Standard descriptors closed at start would be taken by the pipes to
    // the relay, an inherited SIGCHLD ignored would have the kernel reap
    // it behind waitpid's back: set right first, as the relay itself does.
    SysTakeInheritedState();
    bool echo = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(UsageText, stdout);
            return ExitClean;
        }
        if (strcmp(arg, "--version") == 0) {
            puts("dorqin-serve " DORQIN_VERSION);
            return ExitClean;
        }
        if (strcmp(arg, "--echo") == 0) {
            echo = true;
        } else if (strcmp(arg, "--relay") == 0 && i + 1 < argc) {
            State.relayPath = argv[++i];
        } else {
            fprintf(stderr, "dorqin-serve: unknown argument %s\n%s", arg, UsageText);
            return ExitUsage;
        }
    }
    if (State.relayPath.empty()) State.relayPath = RelayBesideUs();
    ServeSetEcho(echo);
    OpenOutlet(&Out, &OutSink, STDOUT_FILENO);
    OpenOutlet(&Err, &ErrSink, STDERR_FILENO);

    // Every signal we wait for arrives through the poll; SIGPIPE would
    // only tell us that our own reader left.
    signal(SIGPIPE, SIG_IGN);
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGTERM);
    sigaddset(&waited, SIGINT);
    sigaddset(&waited, SIGCHLD);
    sigprocmask(SIG_BLOCK, &waited, nullptr);
    State.signals = signalfd(-1, &waited, SFD_CLOEXEC | SFD_NONBLOCK);
    int status = ExitNoRelay;
    if (State.signals < 0) {
        Note("signalfd: %s", strerror(errno));
    } else {
        status = ServeLoop();
    }
    // The last notes get a moment to go out, no more: a reader that stalls
    // for good must not keep a stopping service from stopping.
    const long long giveUpAt = BackendNowMs() + 1000;
    while (!(OutletFlush(&Out) & OutletFlush(&Err)) && BackendNowMs() < giveUpAt) {
        pollfd fds[2] = {{Out.pending.empty() ? -1 : OutSink.fd, POLLOUT, 0},
                         {Err.pending.empty() ? -1 : ErrSink.fd, POLLOUT, 0}};
        poll(fds, 2, static_cast<int>(giveUpAt - BackendNowMs()));
    }
    return status;
}
