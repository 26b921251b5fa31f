// dorqin-listen --reconnect: when to try again and what to say about it.
// Pure functions over a small record, so that every mode (lines, view,
// joystick) and both platforms pace and word their attempts alike.
#pragma once

#include <string>

#include "tools/listen/client_platform.h"

// The first pause after a loss, and the longest: a relay restarting takes
// about a second, a machine rebooting a minute; 5 s keeps either short
// without a refused connection every half second all night.
constexpr int ReconnectFirstMs = 500;
constexpr int ReconnectLongestMs = 5000;
// Each attempt's connection is given this long; a host that drops our
// packets would otherwise hold it for the system's two minutes.
constexpr int ReconnectConnectMs = 5000;
// A connection that brings nothing is probed after 4 s, every 2 s, and
// given up after 3 unanswered probes: a link gone quiet (Wi-Fi lost, a
// cable pulled) ends within about 10 s, even while the box is idle and
// the relay sends nothing, instead of holding a joystick as it was.
constexpr int ReconnectProbeIdleMs = 4000;
constexpr int ReconnectProbeIntervalMs = 2000;
constexpr int ReconnectProbes = 3;

struct Reconnect {
    const char* Host;
    const char* Port;
    int NextMs;            // the pause after the next failure
    std::string LastNote;  // the last failure said, so a repeat is not said again
};

void ReconnectInit(Reconnect* state, const char* host, const char* port);

// One attempt: a connection to the host and port within
// ReconnectConnectMs, probed while it is idle. Returns 0 and sets *socket,
// or -1 with the reason in *why.
int ReconnectConnect(const Reconnect* state, ClientSocket* socket, std::string* why);

// The greeting was right: the connection is good and the next failure
// starts the pauses over. Returns the line for standard error.
std::string ReconnectGreeted(Reconnect* state);

// The connection could not be made (connected false) or ended (true),
// for the reason why. Returns the pause before the next attempt and sets
// *line to the line for standard error, or to "" when it would repeat the
// last one word for word (a relay that stays down is said once).
int ReconnectFailed(Reconnect* state, bool connected, const std::string& why, std::string* line);

// "0.5 s", "2 s": a pause as the notes write it.
std::string ReconnectPauseText(int ms);
