// dorqin-listen's connection to the relay: made once, or with --reconnect
// made again after every failure and loss, paced and worded alike in
// every mode (lines, view, joystick) and on both platforms. Every mode
// waits only in ReconnectNext, which waits for q, a stop signal, the
// socket (a connect under way included) and the mode's own next deadline
// in one ClientWait: nothing blocks on the network.
#pragma once

#include <string>

#include "tools/listen/client_platform.h"

// The first pause after a loss, and the longest: a relay restarting takes
// about a second, a machine rebooting a minute; 5 s keeps either short
// without a refused connection every half second all night.
constexpr int ReconnectFirstMs = 500;
constexpr int ReconnectLongestMs = 5000;
// With --reconnect each address is given this long to answer; a host that
// drops our packets would otherwise hold it for the system's two minutes.
constexpr int ReconnectConnectMs = 5000;
// A connection that brings nothing is probed after 4 s, every 2 s, and
// given up after 3 unanswered probes: a link gone quiet (Wi-Fi lost, a
// cable pulled) ends within about 10 s, even while the box is idle and
// the relay sends nothing, instead of holding a joystick as it was.
constexpr int ReconnectProbeIdleMs = 4000;
constexpr int ReconnectProbeIntervalMs = 2000;
constexpr int ReconnectProbes = 3;
// Before the greeting arrives: a relay already serving a client leaves a
// second one connected but silent, which is worth saying once.
constexpr int ReconnectGreetingHintMs = 3000;

enum ReconnectPhase {
    PhasePausing,     // until DeadlineMs, then the next attempt
    PhaseConnecting,  // Socket's connect under way (with --reconnect until DeadlineMs)
    PhaseConnected,   // Socket is the connection
    PhaseOver,        // without --reconnect: the one connection failed or ended
};

struct Reconnect {
    const char* Host;
    const char* Port;
    bool Again;  // --reconnect
    bool Notes;  // say each change on standard error (with --reconnect)
    int Phase;
    ClientSocket Socket;
    long long DeadlineMs;  // ClientNowMs when the pause or this address's time ends; -1 never
    long long ConnectedMs;
    bool Greeted;
    bool Hinted;  // ReconnectNoGreeting has been returned for this connection
    addrinfo* Addresses;      // of the attempt under way
    const addrinfo* Address;  // of those, the one being tried
    int LastError;            // of the address tried before
    int NextMs;               // the pause after the next failure
    std::string LastNote;     // the last failure said, so a repeat is not said again
    std::string Why;          // why the last attempt failed
};

// The first attempt starts at the first ReconnectNext.
void ReconnectInit(Reconnect* link, const char* host, const char* port, bool again);

enum ReconnectEvent {
    ReconnectWaitFailed = -1,  // ClientErrorText says why
    ReconnectWake,             // the mode's deadline came, or input for its own reader
    ReconnectQuit,             // q was typed
    ReconnectStopped,          // a stop signal came (ClientStopSignal)
    ReconnectConnected,        // Socket is a new connection (with --reconnect probed while idle)
    ReconnectData,             // a read of Socket would not block
    ReconnectNoGreeting,       // connected ReconnectGreetingHintMs ago and still no greeting
    ReconnectDown,             // an attempt failed (Why says why); the pause or PhaseOver began
};

// Waits for the next thing to happen, for at most wakeMs (-1: no limit of
// the mode's own), and returns it as a ReconnectEvent. Between the events
// it returns it starts the attempts when their pauses end and tries each
// address in turn.
int ReconnectNext(Reconnect* link, int wakeMs);

// The greeting was right: the connection is good, and the next failure
// starts the pauses over.
void ReconnectGreeted(Reconnect* link);

// The connection ended, for the reason why: it is closed, and with
// --reconnect the loss is said and the pause begins; without, PhaseOver.
void ReconnectLost(Reconnect* link, const std::string& why);

// Says on standard error what ReconnectNoGreeting means.
void ReconnectNoteNoGreeting(void);

// Closes what is open, at the end of the program.
void ReconnectEnd(Reconnect* link);
