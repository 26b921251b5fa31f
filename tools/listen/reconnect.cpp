#include "tools/listen/reconnect.h"

#include <cstdio>

void ReconnectInit(Reconnect* state, const char* host, const char* port) {
    state->Host = host;
    state->Port = port;
    state->NextMs = ReconnectFirstMs;
    state->LastNote.clear();
}

int ReconnectConnect(const Reconnect* state, ClientSocket* socket, std::string* why) {
    if (ClientConnectQuietly(state->Host, state->Port, ReconnectConnectMs, socket, why) != 0)
        return -1;
    ClientKeepAlive(*socket, ReconnectProbeIdleMs, ReconnectProbeIntervalMs, ReconnectProbes);
    return 0;
}

std::string ReconnectGreeted(Reconnect* state) {
    state->NextMs = ReconnectFirstMs;
    state->LastNote.clear();
    return std::string("dorqin-listen: connected to ") + state->Host + " port " + state->Port;
}

int ReconnectFailed(Reconnect* state, bool connected, const std::string& why, std::string* line) {
    int pause = state->NextMs;
    state->NextMs = pause * 2 > ReconnectLongestMs ? ReconnectLongestMs : pause * 2;
    std::string note = connected ? "connection lost: " + why : why;
    if (note == state->LastNote) {
        line->clear();
    } else {
        *line = "dorqin-listen: " + note + "; trying again in " + ReconnectPauseText(pause);
        // A lost connection is always news; only failed attempts repeat.
        state->LastNote = connected ? std::string() : note;
    }
    return pause;
}

std::string ReconnectPauseText(int ms) {
    char text[32];
    if (ms % 1000 == 0)
        snprintf(text, sizeof text, "%d s", ms / 1000);
    else
        snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}
