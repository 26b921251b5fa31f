#include "tools/serve/supervisor.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/serve/relay_output.h"

namespace {

// How often a run with a client looks at its connection and its box: the
// next client is to be served within 10 s of the last one leaving, and one
// look costs a few small reads of the system's tables.
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

struct Run {
    int number = 0;
    bool outputOpen = false;
    bool reaped = false;
    char endedHow[96] = "";        // how the relay ended, as its platform tells it
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
};

// The one process-wide record.
struct ServeRecord {
    bool stopping = false;
    bool running = false;
    long long retryAt = 0;  // no run before this
    int retryMs = 0;        // the last pause between runs that did not serve
    bool pauseForBox = false;  // the pause follows a run that found no box
    Run run;
};

ServeRecord State;

void WriteNote(bool failure, const char* format, va_list args) {
    char line[512] = "dorqin-serve: ";
    const size_t prefix = strlen(line);
    int n = vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
    if (n < 0) return;
    size_t length = prefix + (static_cast<size_t>(n) < sizeof line - prefix - 1
                                  ? static_cast<size_t>(n)
                                  : sizeof line - prefix - 2);
    line[length] = '\0';
    if (failure) BackendReportFailure(line + prefix);
    line[length++] = '\n';
    BackendWriteNote(line, length);
}

void WriteOut(const std::string& text) {
    if (!text.empty()) BackendWriteOut(text.data(), text.size());
}

// Ends the run as the user at the console would: its input ends, which
// every wait for Enter in the relay takes as Enter. Before a client comes
// the relay waits in accept and reads nothing, so a stop ends it otherwise.
void EndRun(const char* why) {
    Run& run = State.run;
    if (run.ending) return;
    run.ending = why;
    run.endingAt = BackendNowMs();
    BackendEndInput();
    if (State.stopping && !run.text.clientSeen && !run.text.failurePause) {
        BackendEndWaitingRelay();
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

// The run's client and box, as the platform shows them. A relay that has
// found no box ends by itself, its connection with it.
void CheckRun() {
    Run& run = State.run;
    if (!run.text.clientSeen || run.ending || run.text.noBox) return;
    const long long now = BackendNowMs();
    const ClientLink link = BackendClientLink();
    const char* why = nullptr;
    if (link == ClientLink::kGone) {
        why = "the client connection is no longer established";
    } else if (link == ClientLink::kHalfClosed) {
        why = JudgeHalfClosed(run, now);
    }
    if (!why && BackendBoxGone()) why = "the box is gone";
    run.eventsAtLastCheck = run.text.events;
    if (why) EndRun(why);
}

// The next run after a pause, doubled each time up to bound.
void PauseBeforeNextRun(int bound) {
    State.retryMs = State.retryMs == 0 ? kFirstRetryMs : State.retryMs * 2;
    if (State.retryMs > bound) State.retryMs = bound;
    State.retryAt = BackendNowMs() + State.retryMs;
    Note("next run in %d s", (State.retryMs + 999) / 1000);
}

void FinishRun() {
    Run& run = State.run;
    std::string out;
    FinishRelayOutput(&run.text, &out);
    WriteOut(out);
    BackendReleaseRun();
    State.running = false;

    char why[160];
    if (run.ending) {
        snprintf(why, sizeof why, "%s", run.ending);
    } else if (run.text.noBox) {
        snprintf(why, sizeof why, "no box");
    } else {
        snprintf(why, sizeof why, "%s", run.endedHow);
    }
    // A run that served a client with its box is followed at once; one
    // that could not start, or found no box, after a growing pause. The
    // first of those in a row is a failure for the system's log too.
    const bool served = run.text.clientSeen && !run.text.noBox;
    const bool firstUnserved = !served && !State.stopping && State.retryMs == 0;
    (firstUnserved ? NoteFailure : Note)("run %d ended: %llu events (%s)", run.number,
                                          static_cast<unsigned long long>(run.text.events), why);
    if (run.text.noBox) BackendAfterNoBox();
    if (State.stopping) return;

    State.pauseForBox = run.text.clientSeen && run.text.noBox;
    if (served) {
        State.retryMs = 0;
        State.retryAt = 0;
        return;
    }
    PauseBeforeNextRun(run.text.clientSeen ? kLastNoBoxRetryMs : kLastRetryMs);
}

bool StartRun() {
    const StartResult started = BackendStartRelay();
    if (started == kCannotRun) return false;
    if (started == kNotNow) {
        State.pauseForBox = false;
        PauseBeforeNextRun(kLastRetryMs);
        return true;
    }
    Run& run = State.run;
    const int number = run.number + 1;
    const bool echo = run.text.echo;
    run = Run();
    run.number = number;
    run.text.echo = echo;
    run.outputOpen = true;
    State.running = true;
    return true;
}

int WaitTimeout(long long now) {
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

}  // namespace

void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteNote(false, format, args);
    va_end(args);
}

void NoteFailure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteNote(true, format, args);
    va_end(args);
}

void OutletWrite(Outlet* outlet, const char* text, size_t length) {
    if (length == 0) return;
    if (outlet->pending.size() + length > kOutletBytes) {
        outlet->dropped += length;
        return;
    }
    outlet->pending.append(text, length);
    OutletFlush(outlet);
}

bool OutletFlush(Outlet* outlet) {
    size_t done = 0;
    while (done < outlet->pending.size()) {
        const long n = outlet->writeSome(outlet, outlet->pending.data() + done,
                                         outlet->pending.size() - done);
        if (n == 0) break;
        if (n < 0) {
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
        return OutletFlush(outlet);
    }
    return outlet->pending.empty();
}

void ServeSetEcho(bool echo) { State.run.text.echo = echo; }

void ServeTakeOutput(const char* data, size_t length) {
    Run& run = State.run;
    if (!State.running) return;
    std::string out;
    const unsigned long long eventsBefore = run.text.events;
    FilterRelayOutput(&run.text, data, length, &out);
    WriteOut(out);
    if (run.text.events != eventsBefore) run.readAgainAt = BackendNowMs() + kBatchMs;
    if (run.text.failurePause) EndRun("the relay reported a failure");
    // The minute begins with the run's first event, not with its start: a
    // run may wait for its client for hours.
    const long long now = BackendNowMs();
    if (run.text.events > 0 && run.lastCountAt == 0) run.lastCountAt = now;
    if (run.text.events > run.countedEvents && now - run.lastCountAt >= kCountIntervalMs) {
        Note("run %d: %llu events so far", run.number,
             static_cast<unsigned long long>(run.text.events));
        run.countedEvents = run.text.events;
        run.lastCountAt = now;
    }
}

void ServeOutputEnded() { State.run.outputOpen = false; }

void ServeRelayEnded(const char* how) {
    Run& run = State.run;
    if (!State.running || run.reaped) return;
    run.reaped = true;
    snprintf(run.endedHow, sizeof run.endedHow, "%s", how);
}

void ServeStop(const char* why) {
    if (State.stopping) return;
    State.stopping = true;
    if (State.running) EndRun(why);
}

void ServeBoxArrived() {
    if (State.running || !State.pauseForBox || State.stopping) return;
    State.pauseForBox = false;
    if (State.retryAt > BackendNowMs()) {
        State.retryAt = 0;
        Note("a box was plugged in; next run now");
    }
}

int ServeLoop() {
    for (;;) {
        if (!State.running) {
            if (State.stopping) return ExitClean;
            if (State.retryAt <= BackendNowMs() && !StartRun()) return ExitNoRelay;
        }
        const bool readOutput =
            State.running && State.run.outputOpen && State.run.readAgainAt <= BackendNowMs();
        if (BackendWait(WaitTimeout(BackendNowMs()), readOutput) != 0) return ExitNoRelay;
        if (!State.running) continue;

        Run& run = State.run;
        const long long now = BackendNowMs();
        if (run.text.clientSeen && !run.ending && now >= run.nextCheckAt) {
            CheckRun();
            run.nextCheckAt = now + kCheckIntervalMs;
        }
        if (run.ending && !run.reaped && !run.killed && now >= run.endingAt + kStopGraceMs) {
            NoteFailure("run %d: the relay did not end %d s after its input ended; killing it",
                        run.number, kStopGraceMs / 1000);
            BackendKillRelay();
            run.killed = true;
        }
        if (run.reaped && !run.outputOpen) FinishRun();
    }
}
