// dorqin-bench: the real dorqin-relay binary against a box that reports as
// fast as it can (or at a fixed rate), beside two floor programs that make
// only the system calls the relay's behaviour needs, on the same machine in
// the same run.
//
// The box is a FIFO in a fake hidraw tree laid over /sys/class and /dev in
// the program's own mount namespace, as in the black-box tests; the bench
// runs in a network namespace of its own so that port 5003 is its own.
// Every frame and every echoed line is checked against the report stream
// (box_stream.h): a lost, doubled or reordered frame fails the run.
//
// The relay sets TCP_NODELAY on its client. One floor does the same socket
// work (dorqin-floor-nodelay), the other leaves Nagle's algorithm on
// (dorqin-floor), which batches frames into fewer segments: the relay is
// reported against both, and the two floors against each other give what
// TCP_NODELAY costs in throughput and buys in latency. One latency figure
// is taken with a client that acknowledges at once, to show what the
// client's delayed ACK adds where Nagle is on.
//
//   dorqin-bench [--runs N] [--seconds S] [--latency-seconds S] [--only F] [--smoke]
#include <fcntl.h>
#include <signal.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "box_stream.h"
#include "support/descriptors.h"
#include "support/fake_hidraw.h"
#include "support/isolation.h"
#include "support/relay_process.h"

namespace {

// ---- Time -------------------------------------------------------------------

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void SleepUntil(int64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// ---- One run of one program ---------------------------------------------------

enum class Console { kFile, kTerminal };

struct Program {
    const char* name;
    std::string path;
    bool supervised = false;  // dorqin-serve around the relay: SIGTERM stands for Enter
};

struct Mode {
    Console console;
    int rateHz;          // 0: as fast as the program takes reports
    double seconds;      // how long the timed part writes
    uint64_t reports;    // if not 0: write exactly this many instead
    bool countAllocs;    // run under the allocation counter
    bool quickAck;       // the client acknowledges every segment at once (TCP_QUICKACK)
};

struct RunResult {
    bool ok = false;
    std::string failure;
    uint64_t reports = 0;        // timed reports (after the warm-up)
    uint64_t frames = 0;         // frames of the timed reports
    uint64_t allReports = 0;     // including the warm-up
    double seconds = 0;          // first timed write to its last frame
    std::vector<int64_t> latencyNs;  // per frame of a paced run
    double cpuSeconds = 0;       // the program's user + system time
    long peakRssKiB = 0;         // VmHWM of the program itself, just before Enter
    long maxRssKiB = 0;          // ru_maxrss: also counts the bench's forked child before exec
    long preemptions = 0;        // involuntary context switches
    long allocations = -1;       // with countAllocs
};

constexpr uint64_t kWarmupReports = 200;

constexpr int kBatchReports = 800;  // per write() of the box: 4000 bytes, below a pipe's 64 KiB

const char* AllocCounterPath() { return DORQIN_ALLOC_COUNT_LIBRARY; }

// Everything one run shares between its threads.
struct Session {
    const Mode& mode;
    int client = -1;
    int box = -1;
    int terminal = -1;  // pty master with Console::kTerminal

    std::atomic<uint64_t> written{0};          // reports the box has written
    std::atomic<uint64_t> total{UINT64_MAX};   // set when the box is done
    std::atomic<uint64_t> done{0};             // reports whose frames all arrived
    std::atomic<int64_t> lastFrameNs{0};
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> terminalLines{0};
    std::atomic<bool> failed{false};
    std::vector<std::atomic<int64_t>> writeNs;  // paced runs: when report n was written
    std::vector<int64_t> latencyNs;
    std::mutex lock;
    std::string failure;

    explicit Session(const Mode& m) : mode(m) {}

    void Fail(const std::string& why) {
        std::lock_guard<std::mutex> hold(lock);
        if (failure.empty()) failure = why;
        failed = true;
    }
};

// Writes all of length bytes into the box's node, waiting at most 10 s for
// room each time.
bool WriteBox(Session* s, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(s->box, bytes, length);
        if (n > 0) {
            bytes += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            s->Fail(std::string("box write: ") + strerror(errno));
            return false;
        }
        pollfd p{s->box, POLLOUT, 0};
        if (poll(&p, 1, Scaled(10000)) <= 0 || s->failed) {
            s->Fail("the program took no report for 10 s");
            return false;
        }
    }
    return true;
}

void WriteReports(Session* s, uint64_t first, uint64_t count) {
    uint8_t batch[kBatchReports * kBenchReportLength];
    while (count > 0) {
        const uint64_t n = std::min<uint64_t>(count, kBatchReports);
        for (uint64_t i = 0; i < n; ++i) BenchReport(first + i, batch + i * kBenchReportLength);
        if (!WriteBox(s, batch, n * kBenchReportLength)) return;
        first += n;
        count -= n;
        s->written = first;
    }
}

// The box: a warm-up, then the timed reports as fast as the node takes
// them or paced at the mode's rate.
void BoxThread(Session* s, int64_t* startNs) {
    WriteReports(s, 0, kWarmupReports);
    const int64_t warmupEnd = NowNs() + Scaled(10000) * 1000000LL;
    while (s->done < kWarmupReports && !s->failed) {
        if (NowNs() > warmupEnd) s->Fail("the warm-up reports never arrived");
        usleep(1000);
    }
    uint64_t n = kWarmupReports;
    *startNs = NowNs();
    const int64_t endNs = *startNs + static_cast<int64_t>(s->mode.seconds * 1e9);
    if (s->mode.rateHz == 0) {
        while (!s->failed) {
            if (s->mode.reports ? n - kWarmupReports >= s->mode.reports : NowNs() >= endNs) break;
            const uint64_t left = s->mode.reports ? s->mode.reports - (n - kWarmupReports)
                                                  : static_cast<uint64_t>(kBatchReports);
            const uint64_t count = std::min<uint64_t>(left, kBatchReports);
            WriteReports(s, n, count);
            n += count;
        }
    } else {
        // Timer slack would add up to 50 us to every wake-up.
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        const int64_t period = 1000000000LL / s->mode.rateHz;
        for (uint64_t i = 0; !s->failed; ++i) {
            const int64_t due = *startNs + static_cast<int64_t>(i) * period;
            if (due >= endNs || n >= s->writeNs.size()) break;
            SleepUntil(due);
            uint8_t report[kBenchReportLength];
            BenchReport(n, report);
            s->writeNs[n].store(NowNs(), std::memory_order_relaxed);
            if (!WriteBox(s, report, sizeof report)) break;
            s->written = ++n;
        }
    }
    s->total = n;
}

// The client: reads the stream in large pieces, checks every frame against
// the next event the stream owes, and times the paced ones.
void ClientThread(Session* s) {
    static thread_local char buffer[1 << 16];
    size_t have = 0;
    uint64_t n = 0;  // the report whose frames come next
    BenchEvent events[2];
    int eventCount = BenchEvents(n, events);
    int next = 0;
    char expected[EventFrameSize];
    uint64_t frames = 0;
    int64_t lastNs = NowNs();
    while (s->done < s->total && !s->failed) {
        // The receive times out now and then (SO_RCVTIMEO), so that the end
        // of the box's reports is seen even when their frames came first.
        ssize_t got = recv(s->client, buffer + have, sizeof buffer - have, 0);
        const int64_t now = NowNs();
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (now - lastNs < Scaled(10000) * 1000000LL) continue;
            s->Fail("no frame came for 10 s");
            return;
        }
        if (got <= 0) {
            s->Fail(got == 0 ? "the stream ended early" : std::string("recv: ") + strerror(errno));
            return;
        }
        lastNs = now;
        if (s->mode.quickAck) {
            // Linux leaves quick-ACK mode on its own; it is asked for again
            // after every read.
            int one = 1;
            setsockopt(s->client, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
        have += static_cast<size_t>(got);
        size_t at = 0;
        for (; have - at >= EventFrameSize; at += EventFrameSize) {
            memset(expected, 0, sizeof expected);
            BenchEventText(events[next], expected);
            if (memcmp(buffer + at, expected, EventFrameSize) != 0) {
                char shown[EventFrameSize + 1] = {};
                memcpy(shown, buffer + at, EventFrameSize);
                s->Fail("frame " + std::to_string(frames) + " of report " + std::to_string(n) +
                        ": got \"" + shown + "\", expected \"" + expected + "\"");
                return;
            }
            ++frames;
            if (s->mode.rateHz != 0 && n >= kWarmupReports) {
                s->latencyNs.push_back(now - s->writeNs[n].load(std::memory_order_relaxed));
            }
            if (++next == eventCount) {
                eventCount = BenchEvents(++n, events);
                next = 0;
                s->done = n;
                s->lastFrameNs.store(now, std::memory_order_relaxed);
            }
        }
        memmove(buffer, buffer + at, have - at);
        have -= at;
        s->frames = frames;
    }
}

// The user's terminal: takes everything the program prints and counts the
// echoed event lines, so that the program never waits for it.
void TerminalThread(Session* s) {
    static thread_local char buffer[1 << 16];
    bool lineStart = true;
    uint64_t lines = 0;
    for (;;) {
        ssize_t got = read(s->terminal, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // EIO once the program has exited
        for (ssize_t i = 0; i < got; ++i) {
            if (lineStart && buffer[i] == '<') ++lines;
            lineStart = buffer[i] == '\n';
        }
        s->terminalLines = lines;
    }
}

// Checks the echo written to a file: every line that starts like an event
// is the next event of the stream.
bool CheckConsoleFile(const std::string& path, uint64_t reports, std::string* why) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        *why = "console file: " + std::string(strerror(errno));
        return false;
    }
    char line[256];
    uint64_t n = 0;
    BenchEvent events[2];
    int count = BenchEvents(0, events), next = 0;
    char expected[64];
    bool ok = true;
    while (ok && fgets(line, sizeof line, f)) {
        if (line[0] != '<') continue;
        if (n >= reports) {
            *why = "console: more event lines than frames";
            ok = false;
            break;
        }
        const int length = BenchEventText(events[next], expected);
        expected[length] = '\n';
        expected[length + 1] = '\0';
        if (strcmp(line, expected) != 0) {
            *why = "console line of report " + std::to_string(n) + ": " + line;
            ok = false;
            break;
        }
        if (++next == count) {
            count = BenchEvents(++n, events);
            next = 0;
        }
    }
    fclose(f);
    if (ok && n != reports) {
        *why = "console: " + std::to_string(n) + " reports echoed, " + std::to_string(reports) +
               " relayed";
        ok = false;
    }
    return ok;
}

uint64_t FramesOf(uint64_t first, uint64_t end) {
    uint64_t frames = 0;
    BenchEvent events[2];
    for (uint64_t n = first; n < end; ++n) frames += static_cast<uint64_t>(BenchEvents(n, events));
    return frames;
}

// The high-water mark of a process's resident memory since its exec, in KiB.
long PeakRss(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    fclose(f);
    return kib;
}

// Waits until the echo of the last frame of the stream is on the console.
bool WaitForLastEcho(Session* s, const std::string& consolePath) {
    const uint64_t last = s->total - 1;
    BenchEvent events[2];
    const int count = BenchEvents(last, events);
    char line[72];
    int length = BenchEventText(events[count - 1], line);
    line[length++] = '\n';
    const uint64_t frames = FramesOf(0, s->total);
    const int64_t end = NowNs() + Scaled(10000) * 1000000LL;
    while (NowNs() < end) {
        if (s->mode.console == Console::kTerminal) {
            if (s->terminalLines == frames) return true;
        } else {
            int fd = open(consolePath.c_str(), O_RDONLY | O_CLOEXEC);
            char tail[72];
            const off_t size = fd >= 0 ? lseek(fd, 0, SEEK_END) : -1;
            const bool done = size >= length && pread(fd, tail, length, size - length) == length &&
                              memcmp(tail, line, length) == 0;
            if (fd >= 0) close(fd);
            if (done) return true;
        }
        usleep(1000);
    }
    return false;
}

RunResult RunOnce(const Program& program, const Mode& mode) {
    RunResult result;
    FakeHidTree tree;
    if (!tree.ok() || !tree.AddDevice(0, 0x046D, 0xC630, BoxDescriptor())) {
        result.failure = "cannot make the fake box";
        return result;
    }
    SetRelayDeviceView({tree.ClassDir(), tree.DevDir()});
    Session s(mode);
    if (mode.rateHz != 0) {
        const size_t reports =
            kWarmupReports + static_cast<size_t>(mode.rateHz * mode.seconds) + 16;
        s.writeNs = std::vector<std::atomic<int64_t>>(reports);
        s.latencyNs.reserve(reports * 2);
    }

    // Where the program's console goes.
    const std::string consolePath = tree.DevDir() + "/../console.txt";
    int consoleFd = -1;
    if (mode.console == Console::kFile) {
        consoleFd = open(consolePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } else {
        s.terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (s.terminal >= 0 && grantpt(s.terminal) == 0 && unlockpt(s.terminal) == 0) {
            consoleFd = open(ptsname(s.terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
        }
    }
    if (consoleFd < 0) {
        result.failure = "cannot open the console";
        if (s.terminal >= 0) close(s.terminal);
        return result;
    }

    std::string countFile;
    if (mode.countAllocs) {
        countFile = tree.DevDir() + "/../allocations";
        setenv("LD_PRELOAD", AllocCounterPath(), 1);
        setenv("DORQIN_ALLOC_COUNT_FILE", countFile.c_str(), 1);
    }
    RelayProcess process;
    const bool started = StartRelayProgram(&process, program.path, consoleFd);
    if (mode.countAllocs) {
        unsetenv("LD_PRELOAD");
        unsetenv("DORQIN_ALLOC_COUNT_FILE");
    }
    close(consoleFd);
    std::thread terminal;
    if (s.terminal >= 0) terminal = std::thread(TerminalThread, &s);
    auto finish = [&](const std::string& failure) {
        if (s.client >= 0) close(s.client);
        if (s.box >= 0) close(s.box);
        StopRelay(&process);
        if (terminal.joinable()) terminal.join();
        if (s.terminal >= 0) close(s.terminal);
        result.failure = failure;
        return result;
    };
    if (!started) return finish("cannot start " + program.path);

    s.client = ConnectToRelay(Scaled(10000));
    if (s.client < 0) return finish("no connection on port 5003");
    std::string greeting;
    if (!ReadExact(s.client, &greeting, GreetingFrameSize, Scaled(10000)) || greeting != ExpectedGreeting()) {
        return finish("no greeting");
    }
    timeval limit{0, 50000};
    setsockopt(s.client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    // A FIFO opens for writing without blocking only once a reader holds it.
    const std::string node = tree.NodePath("hidraw0");
    for (int waited = 0; s.box < 0 && waited < Scaled(10000); waited += 5) {
        s.box = open(node.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (s.box < 0) usleep(5000);
    }
    if (s.box < 0) return finish("the program never opened the box");

    int64_t startNs = 0;
    std::thread client(ClientThread, &s);
    std::thread box(BoxThread, &s, &startNs);
    box.join();
    client.join();
    if (s.failed) return finish(s.failure);

    // Enter stops the program wherever it is, so it may only come once the
    // last echo is out: the last frame arrives just before it.
    if (!WaitForLastEcho(&s, consolePath)) return finish("the last echo never came");
    result.peakRssKiB = PeakRss(process.pid);
    // dorqin-serve never reads its input; its SIGTERM ends the relay's run
    // as Enter would, and its rusage counts the relay it waited for.
    if (program.supervised) {
        kill(process.pid, SIGTERM);
    } else {
        Type(&process, "\n");
    }
    if (!WaitForExit(&process, Scaled(10000))) return finish("the program did not end at Enter");
    if (terminal.joinable()) terminal.join();
    close(s.client);
    s.client = -1;
    close(s.box);
    s.box = -1;
    if (s.terminal >= 0) close(s.terminal);
    s.terminal = -1;

    const uint64_t all = s.total;
    result.allReports = all;
    result.reports = all - kWarmupReports;
    result.frames = FramesOf(kWarmupReports, all);
    result.seconds = (s.lastFrameNs - startNs) / 1e9;
    result.latencyNs = std::move(s.latencyNs);
    result.cpuSeconds = process.usage.ru_utime.tv_sec + process.usage.ru_utime.tv_usec / 1e6 +
                        process.usage.ru_stime.tv_sec + process.usage.ru_stime.tv_usec / 1e6;
    result.maxRssKiB = process.usage.ru_maxrss;
    result.preemptions = process.usage.ru_nivcsw;
    if (process.status != (program.supervised ? 0 : 1)) {
        result.failure = "exit status " + std::to_string(process.status);
        return result;
    }
    if (mode.console == Console::kFile) {
        if (!CheckConsoleFile(consolePath, all, &result.failure)) return result;
    } else if (s.terminalLines != FramesOf(0, all)) {
        result.failure = "terminal: " + std::to_string(s.terminalLines) + " event lines, " +
                         std::to_string(FramesOf(0, all)) + " frames";
        return result;
    }
    if (mode.countAllocs) {
        FILE* f = fopen(countFile.c_str(), "r");
        if (!f || fscanf(f, "%ld", &result.allocations) != 1) {
            if (f) fclose(f);
            result.failure = "no allocation count";
            return result;
        }
        fclose(f);
    }
    result.ok = true;
    return result;
}

// ---- Figures --------------------------------------------------------------------

struct Spread {
    double median = NAN, min = NAN, max = NAN;
};

Spread SpreadOf(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
}

double Percentile(std::vector<int64_t>* values, double p) {
    if (values->empty()) return NAN;
    const size_t k = std::min(values->size() - 1, static_cast<size_t>(p * values->size()));
    std::nth_element(values->begin(), values->begin() + static_cast<long>(k), values->end());
    return static_cast<double>((*values)[k]);
}

std::string Show(const Spread& s, int decimals) {
    char text[96];
    snprintf(text, sizeof text, "%.*f [%.*f .. %.*f]", decimals, s.median, decimals, s.min,
             decimals, s.max);
    return text;
}

struct Series {
    std::vector<double> reportsPerS, framesPerS, cpuUsPerReport, rssKiB, maxRssKiB;
    std::vector<double> preemptionsPerKReport;
    std::vector<double> p50Us, p99Us, maxUs;
};

void Add(Series* series, RunResult* r) {
    series->reportsPerS.push_back(r->reports / r->seconds);
    series->framesPerS.push_back(r->frames / r->seconds);
    series->cpuUsPerReport.push_back(r->cpuSeconds * 1e6 / r->allReports);
    series->preemptionsPerKReport.push_back(r->preemptions * 1000.0 / r->allReports);
    series->rssKiB.push_back(static_cast<double>(r->peakRssKiB));
    series->maxRssKiB.push_back(static_cast<double>(r->maxRssKiB));
    if (!r->latencyNs.empty()) {
        series->p50Us.push_back(Percentile(&r->latencyNs, 0.50) / 1000);
        series->p99Us.push_back(Percentile(&r->latencyNs, 0.99) / 1000);
        series->maxUs.push_back(Percentile(&r->latencyNs, 1.0) / 1000);
    }
}

std::vector<double> Ratios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) r.push_back(a[i] / b[i]);
    return r;
}

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string FirstLine(const char* path, const char* key) {
    FILE* f = fopen(path, "r");
    if (!f) return "?";
    char line[512];
    std::string found = "?";
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, strlen(key)) == 0) {
            const char* colon = strchr(line, ':');
            found = Trim(colon ? colon + 2 : line);
            break;
        }
    }
    fclose(f);
    return found;
}

std::string LoadAverage() {
    FILE* f = fopen("/proc/loadavg", "r");
    char text[128] = "?";
    if (f) {
        if (!fgets(text, sizeof text, f)) strcpy(text, "?");
        fclose(f);
    }
    std::string load = Trim(text);
    // The first three fields: 1, 5 and 15 minutes.
    size_t cut = 0;
    for (int i = 0; i < 3 && cut != std::string::npos; ++i) cut = load.find(' ', cut + 1);
    return cut == std::string::npos ? load : load.substr(0, cut);
}

struct Options {
    int runs = 5;
    double seconds = 2.0;
    double latencySeconds = 2.0;
    bool smoke = false;
    int only = -1;  // one figure (0 to 4) instead of all
};

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--runs" && more) {
            o->runs = atoi(argv[++i]);
        } else if (a == "--seconds" && more) {
            o->seconds = atof(argv[++i]);
        } else if (a == "--latency-seconds" && more) {
            o->latencySeconds = atof(argv[++i]);
        } else if (a == "--only" && more) {
            o->only = atoi(argv[++i]);
        } else if (a == "--smoke") {
            o->smoke = true;
            o->runs = 1;
            o->seconds = 0.2;
            o->latencySeconds = 0.2;
        } else {
            return false;
        }
    }
    return o->runs > 0 && o->seconds > 0 && o->latencySeconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: dorqin-bench [--runs N] [--seconds S] [--latency-seconds S] [--only F] [--smoke]\n"
                "  --only F: only figure F (0 file, 1 terminal, 2 1 kHz, 3 8 kHz, 4 8 kHz quick ACK)\n"
                "  --smoke: one short run of each figure; checks the streams, judges no figure\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Without namespaces there is no fake box and no port of our own: the
    // bench cannot run here (skipped, or failed under ./dev test).
    if (!IsolateNetwork()) {
        return MissingPrerequisite("bench.smoke", "root, for a network namespace of its own");
    }
    if (!DeviceViewsAvailable()) {
        return MissingPrerequisite("bench.smoke", "root, for a mount namespace (the fake box)");
    }

    const char* floorCommand = getenv("DORQIN_FLOOR_COMMAND");
    const char* noDelayCommand = getenv("DORQIN_FLOOR_NODELAY_COMMAND");
    constexpr int kPrograms = 3;
    const Program programs[kPrograms] = {
        {"relay", RelayCommand()},
        {"floor, Nagle on", floorCommand ? floorCommand : DORQIN_FLOOR_PATH},
        {"floor, TCP_NODELAY", noDelayCommand ? noDelayCommand : DORQIN_FLOOR_NODELAY_PATH}};
    // The relay as the service runs it, side by side with the relay alone
    // in the throughput figure: --echo passes every event line on, so the
    // console is checked the same way (and the filter does all its work).
    const Program served = {"relay through dorqin-serve",
                            std::string(DORQIN_SERVE_PATH) + " --relay " + RelayCommand() +
                                " --echo 2>/dev/null",
                            true};
    Series throughServe;
    utsname host{};
    uname(&host);
    printf("dorqin-bench: %d run(s) per figure, each figure median [min .. max]\n", options.runs);
    printf("machine: %ld CPUs, %s, %s %s; load average %s at the start\n",
           sysconf(_SC_NPROCESSORS_ONLN), FirstLine("/proc/cpuinfo", "model name").c_str(),
           host.sysname, host.release, LoadAverage().c_str());

    struct Figure {
        const char* title;
        Mode mode;
    };
    const Figure figures[] = {
        {"throughput, echo to a file", {Console::kFile, 0, options.seconds, 0, false, false}},
        {"throughput, echo to a terminal (pty)",
         {Console::kTerminal, 0, options.seconds, 0, false, false}},
        {"latency at 1 kHz, echo to a file",
         {Console::kFile, 1000, options.latencySeconds, 0, false, false}},
        {"latency at 8 kHz, echo to a file",
         {Console::kFile, 8000, options.latencySeconds, 0, false, false}},
        {"latency at 8 kHz, client with TCP_QUICKACK",
         {Console::kFile, 8000, options.latencySeconds, 0, false, true}},
    };
    constexpr int kFigures = sizeof figures / sizeof figures[0];
    bool allOk = true;
    Series results[kFigures][kPrograms];
    for (int f = 0; f < kFigures; ++f) {
        if (options.only >= 0 && options.only != f) continue;
        // The programs take turns, so that a change in the machine's load
        // falls on all of them.
        for (int run = 0; run < options.runs; ++run) {
            for (int p = 0; p < kPrograms; ++p) {
                RunResult r = RunOnce(programs[p], figures[f].mode);
                if (!r.ok) {
                    printf("FAILED: %s, %s, run %d: %s\n", figures[f].title, programs[p].name,
                           run + 1, r.failure.c_str());
                    allOk = false;
                    continue;
                }
                Add(&results[f][p], &r);
            }
            if (f != 0) continue;
            RunResult r = RunOnce(served, figures[f].mode);
            if (!r.ok) {
                printf("FAILED: %s, %s, run %d: %s\n", figures[f].title, served.name, run + 1,
                       r.failure.c_str());
                allOk = false;
                continue;
            }
            Add(&throughServe, &r);
        }
    }

    // Per figure: each program's median [min .. max], then the ratios of the
    // same runs: the relay to the floor with Nagle on (N), the relay to the
    // floor with TCP_NODELAY (D), and the two floors to each other (D/N),
    // which is what TCP_NODELAY alone does.
    printf("\ncolumns: relay | floor, Nagle on (N) | floor, TCP_NODELAY (D) | ratios of the same runs\n");
    for (int f = 0; f < kFigures; ++f) {
        if (options.only >= 0 && options.only != f) continue;
        const Series* r = results[f];
        printf("%s\n", figures[f].title);
        auto row = [&](const char* name, std::vector<double> Series::*field, int decimals,
                       int ratioDecimals) {
            const std::vector<double>& relay = r[0].*field;
            const std::vector<double>& nagle = r[1].*field;
            const std::vector<double>& noDelay = r[2].*field;
            printf("  %-20s %-28s | %-28s | %-28s\n", name, Show(SpreadOf(relay), decimals).c_str(),
                   Show(SpreadOf(nagle), decimals).c_str(), Show(SpreadOf(noDelay), decimals).c_str());
            printf("  %-20s relay/N %-22s relay/D %-22s D/N %s\n", "",
                   Show(SpreadOf(Ratios(relay, nagle)), ratioDecimals).c_str(),
                   Show(SpreadOf(Ratios(relay, noDelay)), ratioDecimals).c_str(),
                   Show(SpreadOf(Ratios(noDelay, nagle)), ratioDecimals).c_str());
        };
        if (figures[f].mode.rateHz == 0) {
            row("reports/s", &Series::reportsPerS, 0, 3);
            row("frames/s", &Series::framesPerS, 0, 3);
        } else {
            row("latency p50 (us)", &Series::p50Us, 1, 2);
            row("latency p99 (us)", &Series::p99Us, 1, 2);
            row("latency max (us)", &Series::maxUs, 1, 2);
        }
        row("CPU us/report", &Series::cpuUsPerReport, 2, 2);
        row("preempted/1k reports", &Series::preemptionsPerKReport, 0, 2);
        row("peak RSS (KiB)", &Series::rssKiB, 0, 2);
        row("ru_maxrss (KiB)", &Series::maxRssKiB, 0, 2);
    }

    const std::vector<double> servedRatio =
        Ratios(throughServe.framesPerS, results[0][0].framesPerS);
    if (options.only <= 0) {
        printf("%s, relay through dorqin-serve --echo (CPU: both together)\n", figures[0].title);
        printf("  %-20s %-28s | served/relay of the same runs %s\n", "frames/s",
               Show(SpreadOf(throughServe.framesPerS), 0).c_str(),
               Show(SpreadOf(servedRatio), 3).c_str());
        printf("  %-20s %-28s | relay alone %s\n", "CPU us/report",
               Show(SpreadOf(throughServe.cpuUsPerReport), 2).c_str(),
               Show(SpreadOf(results[0][0].cpuUsPerReport), 2).c_str());
    }

    // Allocation per event: the relay's allocation count does not depend
    // on how many reports it relayed.
    const Mode few{Console::kFile, 0, 0, 1000, true, false};
    const Mode many{Console::kFile, 0, 0, 100000, true, false};
#ifdef DORQIN_SANITIZED
    // The sanitizer's runtime owns malloc and must come first: a counter
    // preloaded in front of it stops the relay before it starts.
    const bool countable = false;
    printf("allocations: not counted in a sanitized build\n");
#else
    const bool countable = true;
#endif
    RunResult a, b;
    if (countable) {
        a = RunOnce(programs[0], few);
        b = RunOnce(programs[0], many);
    }
    bool noAllocs = false;
    if (!countable) {
        noAllocs = true;
    } else if (!a.ok || !b.ok) {
        printf("FAILED: allocation count: %s\n", (!a.ok ? a : b).failure.c_str());
        allOk = false;
    } else {
        noAllocs = a.allocations == b.allocations;
        printf("allocations: %ld in a run of %lu reports, %ld in a run of %lu reports\n",
               a.allocations, static_cast<unsigned long>(a.allReports), b.allocations,
               static_cast<unsigned long>(b.allReports));
    }
    printf("streams checked: %s\n", allOk ? "every frame and echoed line in order, none lost"
                                          : "FAILURES above");
    printf("load average %s at the end\n", LoadAverage().c_str());

    if (!options.smoke) {
        // Judged against the floor that does the same socket work.
        const Spread ratio = SpreadOf(Ratios(results[0][0].framesPerS, results[0][2].framesPerS));
        const Spread frames = SpreadOf(results[0][0].framesPerS);
        const Spread p99 = SpreadOf(Ratios(results[3][0].p99Us, results[3][2].p99Us));
        const Spread rss = SpreadOf(results[0][0].rssKiB);
        auto target = [](double figure, bool met, const char* text) {
            printf("  %-4s %s\n", std::isnan(figure) ? "n/a" : met ? "met" : "MISS", text);
        };
        printf("\ntargets (medians, against the floor with TCP_NODELAY)\n");
        target(ratio.median, ratio.median >= 0.9, "throughput, echo to a file, >= 90% of the floor");
        target(frames.median, frames.median >= 100000, "throughput, echo to a file, >= 100,000 frames/s");
        target(p99.median, p99.median <= 2.0, "8 kHz p99 latency <= 2x the floor's");
        target(rss.median, rss.median <= 4096, "peak RSS <= 4 MiB");
        const Spread servedSpread = SpreadOf(servedRatio);
        target(servedSpread.median, servedSpread.median >= 0.9,
               "throughput through dorqin-serve >= 90% of the relay alone");
        target(countable && a.ok && b.ok ? 0 : NAN, noAllocs, "no allocation per event");
    } else if (!noAllocs) {
        allOk = false;
        printf("FAILED: the relay allocates per event\n");
    }
    return allOk ? 0 : 1;
}
