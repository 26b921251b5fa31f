// The supervisor that dorqin-serve (Linux) and dorqin-serve.exe (Windows)
// share: the run's state from the relay's output, when a run is over, the
// pauses between runs that did not serve, and every note it writes. What
// differs per platform (processes, pipes, waiting, how the client
// connection and the box are seen, where the output goes) is the
// backend's, behind the Backend* functions below; each platform's main
// file defines them.
#pragma once

#include <cstddef>
#include <string>

#include "platform/format.h"

// The state of the relay's client connection, as the platform shows it.
enum class ClientLink {
    kEstablished,  // the relay holds it in state ESTABLISHED
    kHalfClosed,   // in CLOSE_WAIT: the client has closed its side, and may still read
    kGone,         // it holds none: reset, dropped by keepalive, or closed and answered
    kUnknown,      // it could not be looked at (the relay is exiting)
};

enum { ExitClean = 0, ExitNoRelay = 1, ExitUsage = 2 };

enum StartResult {
    kStarted,
    kNotNow,     // the system lacks what it takes this time: tried again after a pause
    kCannotRun,  // the relay cannot be run at all
};

// The relay's output is taken in pipes of this size where the platform
// lets us choose: far more than the kBatchMs between two reads.
constexpr int kPipeBytes = 1 << 20;

// ---- What the core offers the backend ----

// The loop: runs the relay again and again until a stop (ServeStop) has
// ended the last run. Returns the exit status.
int ServeLoop();

// Pass the relay's event lines on too (--echo).
void ServeSetEcho(bool echo);

// From the backend's wait (BackendWait): one read of the relay's output;
// its end; the relay has ended, how (for the run's note where nothing else
// ended it); a stop asked for (a signal, the service manager, Ctrl+C); a
// box plugged in.
void ServeTakeOutput(const char* data, size_t length);
void ServeOutputEnded();
void ServeRelayEnded(const char* how);
void ServeStop(const char* why);
void ServeBoxArrived();

// One note on the notes' stream: "dorqin-serve: " and the text, one line
// in one write. A failure is also handed to BackendReportFailure.
void Note(const char* format, ...) PLATFORM_PRINTF_FORMAT(1, 2);
void NoteFailure(const char* format, ...) PLATFORM_PRINTF_FORMAT(1, 2);

// Output that never waits for its reader: what cannot go out now waits in
// pending for the next try; beyond kOutletBytes it is dropped and counted,
// and the count said once the reader is back. writeSome writes what it can
// at once: the bytes taken, 0 when none can go now, -1 when the reader is
// gone (the text is dropped then, never the run).
struct Outlet {
    long (*writeSome)(Outlet* outlet, const char* data, size_t length) = nullptr;
    void* sink = nullptr;  // the backend's
    std::string pending;
    unsigned long long dropped = 0;
};
constexpr size_t kOutletBytes = 1 << 20;
void OutletWrite(Outlet* outlet, const char* text, size_t length);
// Writes what it can now. Returns false while something still waits.
bool OutletFlush(Outlet* outlet);

// ---- What each backend provides ----

long long BackendNowMs();  // a monotonic clock
// Starts the next run's relay with its input and output pipes. Says why
// where it did not (a note), and resets what it watches of a run.
StartResult BackendStartRelay();
// Ends the relay's input (which every wait for Enter in the relay takes
// as Enter); ends a relay that waits for its client and reads nothing the
// way the platform ends a process; kills it outright.
void BackendEndInput();
void BackendEndWaitingRelay();
void BackendKillRelay();
// The run is over: what is left of it is let go.
void BackendReleaseRun();
// Waits up to timeoutMs (-1: without limit) for the relay's output (only
// when readOutput), its end, a stop, and whatever the backend's own output
// needs, and hands each to the Serve* functions above. Returns 0, or -1
// after a note when it cannot wait at all.
int BackendWait(int timeoutMs, bool readOutput);
// The run's client connection and its box, looked at once a second while
// a client is served.
ClientLink BackendClientLink();
bool BackendBoxGone();
// After a run that found no box: what the platform can tell of why.
void BackendAfterNoBox();
// The relay's texts, the notes, and a failure for the system's own log.
void BackendWriteOut(const char* text, size_t length);
void BackendWriteNote(const char* line, size_t length);
void BackendReportFailure(const char* text);
