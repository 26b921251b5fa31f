// dorqin-serve: keeps the relay running unattended. Runs dorqin-relay again
// and again, one client per run, and ends a run the way the user at its
// console would (by ending its input) once the run can serve no more: a
// failure message that waits for Enter, the client's connection gone, or
// the box gone. One poll over the relay's output, a timer and the signals.
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
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/stream.h"
#include "platform/posix/sys.h"
#include "tools/serve/relay_output.h"
#include "tools/serve/relay_proc.h"

namespace {

// How often a run with a client looks at its connection and its box: the
// next client is to be served within 10 s of the last one leaving, and one
// look costs a few small reads of /proc.
constexpr int kCheckIntervalMs = 1000;
// A count of the events while they flow, at most this often.
constexpr int kCountIntervalMs = 60000;
// A relay whose input has ended and that is still there after this long
// is stuck, and is killed.
constexpr int kStopGraceMs = 5000;
// While events flow, the relay's output is read at most this often: its
// echo lines come one write each, and a read for every one would cost
// more than the relay's own work for it. The pipe holds far more than
// this many milliseconds of lines, so the relay never waits for us.
constexpr int kBatchMs = 2;
constexpr int kPipeBytes = 1 << 20;
// A run that could not start (port taken) is tried again after this,
// doubled each time up to the bound; a run that found no box, with a
// smaller bound, so a box plugged in again is soon served.
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 30000;
constexpr int kLastNoBoxRetryMs = 5000;
// A client that has closed its side is kept while the relay's events show
// that it still reads (a gone one answers the first with a reset); with
// no event to tell, it counts as gone after this long, so that the next
// client is still served within 10 s of the last one leaving.
constexpr int kHalfClosedGraceMs = 5000;
// What waits to be written to our own output, at most: beyond it text is
// dropped and counted, never waited for.
constexpr size_t kOutletBytes = 1 << 20;

enum { ExitClean = 0, ExitNoRelay = 1, ExitUsage = 2 };

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

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Our standard output and standard error, written without ever waiting:
// a stalled reader (a terminal stopped with XOFF, a paused pager) must not
// stop the loop that watches the link and takes the signals, nor, through
// the relay's full pipe, the relay's stream. What cannot go out waits here
// for the next poll; past kOutletBytes it is dropped and counted.
struct Outlet {
    int fd = -1;        // the descriptor written: our own non-blocking one where we could open one
    bool socket = false;  // a socket (the journal's stream): sent with MSG_DONTWAIT
    bool mayBlock = false;  // a pipe or terminal we could not open again: asked first
    std::string pending;
    unsigned long long dropped = 0;
};

Outlet Out, Err;

// A file description of our own for a pipe or terminal, opened again
// through /proc with O_NONBLOCK: setting that flag on the inherited one
// would change it for every other process that shares it.
void OpenOutlet(Outlet* outlet, int fd) {
    outlet->fd = fd;
    struct stat about;
    if (fstat(fd, &about) != 0) return;
    if (S_ISSOCK(about.st_mode)) {
        outlet->socket = true;
    } else if (S_ISFIFO(about.st_mode) || S_ISCHR(about.st_mode)) {
        char path[64];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            outlet->fd = own;
        } else {
            outlet->mayBlock = true;
        }
    }
}

// Writes what it can now. Returns false while something still waits.
bool FlushOutlet(Outlet* outlet) {
    size_t done = 0;
    while (done < outlet->pending.size()) {
        const char* from = outlet->pending.data() + done;
        size_t left = outlet->pending.size() - done;
        if (outlet->mayBlock) {
            // Room for PIPE_BUF bytes once poll says writable: no more at a time.
            pollfd ready = {outlet->fd, POLLOUT, 0};
            if (poll(&ready, 1, 0) != 1) break;
            if (left > PIPE_BUF) left = PIPE_BUF;
        }
        ssize_t n = outlet->socket ? send(outlet->fd, from, left, MSG_DONTWAIT | MSG_NOSIGNAL)
                                   : write(outlet->fd, from, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            // A reader that went away costs the text, never the run.
            done = outlet->pending.size();
            break;
        }
        done += static_cast<size_t>(n);
    }
    outlet->pending.erase(0, done);
    if (outlet->pending.empty() && outlet->dropped > 0) {
        char line[128];
        snprintf(line, sizeof line,
                 "dorqin-serve: %llu bytes of output dropped while it could not be written\n",
                 outlet->dropped);
        outlet->dropped = 0;
        outlet->pending = line;
        return FlushOutlet(outlet);
    }
    return outlet->pending.empty();
}

void WriteTo(Outlet* outlet, const char* text, size_t length) {
    if (length == 0) return;
    if (outlet->pending.size() + length > kOutletBytes) {
        outlet->dropped += length;
        return;
    }
    outlet->pending.append(text, length);
    FlushOutlet(outlet);
}

// Passes text on to standard output.
void WriteOut(const std::string& text) { WriteTo(&Out, text.data(), text.size()); }

// One line on standard error, in one write where it can, so that it is one journal entry.
void Note(const char* format, ...) {
    char line[512] = "dorqin-serve: ";
    const size_t prefix = strlen(line);
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
    va_end(args);
    if (n < 0) return;
    size_t length = prefix + (static_cast<size_t>(n) < sizeof line - prefix - 1
                                  ? static_cast<size_t>(n)
                                  : sizeof line - prefix - 2);
    line[length++] = '\n';
    WriteTo(&Err, line, length);
}

struct Run {
    int number = 0;
    pid_t pid = -1;
    int input = -1;   // the write end of the relay's standard input, never written
    int output = -1;  // the read end of its standard output
    bool reaped = false;
    int status = 0;
    const char* ending = nullptr;  // why its input was ended, once it was
    long long endingAt = 0;
    bool killed = false;
    long long nextCheckAt = 0;
    long long lastCountAt = 0;  // the last count line, or the first event
    long long readAgainAt = 0;  // events flow: the output waits until then
    unsigned long long countedEvents = 0;
    long long halfClosedAt = 0;            // when its client was first seen half-closed
    bool halfCloseSettled = false;         // eventsAtHalfClose taken, a look after the first
    unsigned long long eventsAtHalfClose = 0;
    unsigned long long eventsAtLastCheck = 0;
    bool stillReads = false;               // half-closed, and an event since drew no reset
    RelayOutput text;
    ClientSocket client;
    BoxWatch box;
};

// The one process-wide record.
struct ServeRecord {
    std::string relayPath;
    int signals = -1;
    bool stopping = false;
    int stopSignal = 0;
    bool running = false;
    long long retryAt = 0;  // no run before this
    int retryMs = 0;        // the last pause between runs that did not serve
    bool saidFdsUnreadable = false;
    int saidRefused = 0;    // the errno of a refused box node, once said
    Run run;
};

ServeRecord State;

std::string RelayBesideUs() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "dorqin-relay";
    self[n] = '\0';
    std::string path(self);
    return path.substr(0, path.rfind('/') + 1) + "dorqin-relay";
}

enum StartResult { kStarted, kNotNow, kCannotRun };

void ClosePipes(int (&pipes)[3][2]) {
    for (auto& ends : pipes) {
        for (int& fd : ends) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
}

// Starts the next run. kNotNow when the system lacks what it takes this
// time (descriptors, memory, processes): tried again after a pause, as a
// run that could not start is; kCannotRun when the relay cannot be
// executed at all.
StartResult StartRun() {
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
    Run& run = State.run;
    const int number = run.number + 1;
    const bool echo = run.text.echo;
    run = Run();
    run.number = number;
    run.text.echo = echo;
    run.pid = pid;
    run.input = in[1];
    run.output = out[0];
    State.running = true;
    return kStarted;
}

// Ends the run as the user at the console would: its input ends, which
// every wait for Enter in the relay takes as Enter. Before a client comes
// the relay waits in accept and reads nothing, so a stop takes a signal.
void EndRun(const char* why) {
    Run& run = State.run;
    if (run.ending) return;
    run.ending = why;
    run.endingAt = NowMs();
    close(run.input);
    run.input = -1;
    if (State.stopping && !run.text.clientSeen && !run.text.failurePause) {
        kill(run.pid, SIGTERM);
    }
}

void Reap() {
    Run& run = State.run;
    if (!State.running || run.reaped) return;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(run.pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    // ECHILD: reaped behind our back (SIGCHLD set to be ignored after we
    // started): gone all the same, its status unknown.
    if (r < 0 && errno == ECHILD) {
        status = 0;
    } else if (r != run.pid) {
        return;
    }
    run.reaped = true;
    run.status = status;
}

void ReadOutput() {
    Run& run = State.run;
    char buffer[65536];
    ssize_t n = read(run.output, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    std::string out;
    if (n <= 0) {
        close(run.output);
        run.output = -1;
        return;
    }
    const unsigned long long eventsBefore = run.text.events;
    FilterRelayOutput(&run.text, buffer, static_cast<size_t>(n), &out);
    WriteOut(out);
    if (run.text.events != eventsBefore) run.readAgainAt = NowMs() + kBatchMs;
    if (run.text.failurePause) EndRun("the relay reported a failure");
    // The minute begins with the run's first event, not with its start: a
    // run may wait for its client for hours.
    const long long now = NowMs();
    if (run.text.events > 0 && run.lastCountAt == 0) run.lastCountAt = now;
    if (run.text.events > run.countedEvents && now - run.lastCountAt >= kCountIntervalMs) {
        Note("run %d: %llu events so far", run.number,
             static_cast<unsigned long long>(run.text.events));
        run.countedEvents = run.text.events;
        run.lastCountAt = now;
    }
}

// A client that closed its side: kept once an event sent after that drew
// no reset by the next look, a second later; with none sent, let go after
// kHalfClosedGraceMs. The count to beat is taken at the second look, not
// the first: the echo of a frame sent before the FIN may reach us after
// the look that first saw the FIN, and must prove nothing. Returns why to
// end the run, or nullptr.
const char* JudgeHalfClosed(Run& run, long long now) {
    if (run.halfClosedAt == 0) {
        run.halfClosedAt = now;
        Note("run %d: the client has closed its side of the connection", run.number);
        return nullptr;
    }
    if (!run.halfCloseSettled) {
        run.halfCloseSettled = true;
        run.eventsAtHalfClose = run.text.events;
    } else if (!run.stillReads && run.eventsAtLastCheck > run.eventsAtHalfClose) {
        run.stillReads = true;
        Note("run %d: the client still reads; served on", run.number);
    }
    if (!run.stillReads && now - run.halfClosedAt >= kHalfClosedGraceMs &&
        run.text.events == run.eventsAtHalfClose) {
        return "the client closed its side, and no event since showed that it still reads";
    }
    return nullptr;
}

// The run's client and box, as the kernel shows them.
void CheckRun() {
    Run& run = State.run;
    if (!run.text.clientSeen || run.ending) return;
    const long long now = NowMs();
    const ClientLink link = RelayClientLink(run.pid, RelayPort, &run.client);
    if (run.client.byPort && !State.saidFdsUnreadable) {
        State.saidFdsUnreadable = true;
        Note("cannot read the relay's open files (/proc/%d/fd); its client is found by port %d "
             "and its box by the nodes of its kind in /dev instead",
             static_cast<int>(run.pid), RelayPort);
    }
    const char* why = nullptr;
    if (link == ClientLink::kGone) {
        why = "the client connection is no longer established";
    } else if (link == ClientLink::kHalfClosed) {
        why = JudgeHalfClosed(run, now);
    }
    if (!why && RelayBoxGone(run.pid, &run.box)) why = "the box is gone";
    run.eventsAtLastCheck = run.text.events;
    if (why) EndRun(why);
}

// A run that found no box where a node of the box exists: the relay was
// refused it. Said once for each cause; the journal is where a service's
// admin looks.
void SayWhyNoBox() {
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

// The next run after a pause, doubled each time up to bound.
void PauseBeforeNextRun(int bound) {
    State.retryMs = State.retryMs == 0 ? kFirstRetryMs : State.retryMs * 2;
    if (State.retryMs > bound) State.retryMs = bound;
    State.retryAt = NowMs() + State.retryMs;
    Note("next run in %d s", (State.retryMs + 999) / 1000);
}

void FinishRun() {
    Run& run = State.run;
    std::string out;
    FinishRelayOutput(&run.text, &out);
    WriteOut(out);
    if (run.input >= 0) close(run.input);
    State.running = false;

    char why[160];
    if (run.ending) {
        snprintf(why, sizeof why, "%s", run.ending);
    } else if (run.text.noBox) {
        snprintf(why, sizeof why, "no box");
    } else if (WIFSIGNALED(run.status)) {
        snprintf(why, sizeof why, "the relay was killed by signal %d", WTERMSIG(run.status));
    } else {
        snprintf(why, sizeof why, "the relay ended with status %d", WEXITSTATUS(run.status));
    }
    Note("run %d ended: %llu events (%s)", run.number,
         static_cast<unsigned long long>(run.text.events), why);
    if (run.text.noBox) SayWhyNoBox();
    if (State.stopping) return;

    // A run that served a client with its box is followed at once; one
    // that could not start, or found no box, after a growing pause.
    if (run.text.clientSeen && !run.text.noBox) {
        State.retryMs = 0;
        State.retryAt = 0;
        return;
    }
    PauseBeforeNextRun(run.text.clientSeen ? kLastNoBoxRetryMs : kLastRetryMs);
}

void TakeSignals() {
    signalfd_siginfo info;
    while (read(State.signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGCHLD) {
            Reap();
            continue;
        }
        if (State.stopping) continue;
        State.stopping = true;
        State.stopSignal = static_cast<int>(info.ssi_signo);
        if (State.running) EndRun(info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT");
    }
}

int PollTimeout(long long now) {
    long long at = -1;
    if (State.running) {
        const Run& run = State.run;
        if (run.ending && !run.reaped) {
            at = run.killed ? -1 : run.endingAt + kStopGraceMs;
        } else if (run.text.clientSeen && !run.ending) {
            at = run.nextCheckAt;
        }
        if (run.readAgainAt > now && (at < 0 || run.readAgainAt < at)) at = run.readAgainAt;
    } else if (State.retryAt > now) {
        at = State.retryAt;
    } else {
        return 0;
    }
    if (at < 0) return -1;
    return at <= now ? 0 : static_cast<int>(at - now);
}

int Serve() {
    for (;;) {
        if (!State.running) {
            if (State.stopping) return ExitClean;
            if (State.retryAt <= NowMs()) {
                const StartResult started = StartRun();
                if (started == kCannotRun) return ExitNoRelay;
                if (started == kNotNow) PauseBeforeNextRun(kLastRetryMs);
            }
        }
        pollfd fds[4] = {{State.signals, POLLIN, 0},
                         {-1, POLLIN, 0},
                         {Out.pending.empty() ? -1 : Out.fd, POLLOUT, 0},
                         {Err.pending.empty() ? -1 : Err.fd, POLLOUT, 0}};
        if (State.running && State.run.readAgainAt <= NowMs()) fds[1].fd = State.run.output;
        int timeout = PollTimeout(NowMs());
        if (poll(fds, 4, timeout) < 0 && errno != EINTR) {
            Note("poll: %s", strerror(errno));
            return ExitNoRelay;
        }
        if (fds[2].revents) FlushOutlet(&Out);
        if (fds[3].revents) FlushOutlet(&Err);
        if (fds[0].revents) TakeSignals();
        if (State.running && State.run.output >= 0 && fds[1].revents) ReadOutput();
        if (!State.running) continue;

        Run& run = State.run;
        const long long now = NowMs();
        if (run.text.clientSeen && !run.ending && now >= run.nextCheckAt) {
            CheckRun();
            run.nextCheckAt = now + kCheckIntervalMs;
        }
        if (run.ending && !run.reaped && !run.killed && now >= run.endingAt + kStopGraceMs) {
            Note("run %d: the relay did not end %d s after its input ended; killing it",
                 run.number, kStopGraceMs / 1000);
            kill(-run.pid, SIGKILL);
            run.killed = true;
        }
        if (run.reaped && run.output < 0) FinishRun();
    }
}

}  // namespace

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
    State.run.text.echo = echo;
    OpenOutlet(&Out, STDOUT_FILENO);
    OpenOutlet(&Err, STDERR_FILENO);

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
        status = Serve();
    }
    // The last notes get a moment to go out, no more: a reader that stalls
    // for good must not keep a stopping service from stopping.
    const long long giveUpAt = NowMs() + 1000;
    while (!(FlushOutlet(&Out) & FlushOutlet(&Err)) && NowMs() < giveUpAt) {
        pollfd fds[2] = {{Out.pending.empty() ? -1 : Out.fd, POLLOUT, 0},
                         {Err.pending.empty() ? -1 : Err.fd, POLLOUT, 0}};
        poll(fds, 2, static_cast<int>(giveUpAt - NowMs()));
    }
    return status;
}
