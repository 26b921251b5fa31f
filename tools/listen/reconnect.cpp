#include "tools/listen/reconnect.h"

#include <cstdio>

namespace {

// "0.5 s", "2 s": a pause as the notes write it.
std::string PauseText(int ms) {
    char text[32];
    if (ms % 1000 == 0)
        snprintf(text, sizeof text, "%d s", ms / 1000);
    else
        snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

// The attempt could not be made (connected false) or the connection
// ended (true), for the reason note. With --reconnect the pause before
// the next attempt begins, said on standard error unless it would repeat
// the last note word for word (a relay that stays down is said once).
void Pause(Reconnect* link, bool connected, const std::string& note) {
    if (!link->Again) {
        link->Phase = PhaseOver;
        return;
    }
    int pause = link->NextMs;
    link->NextMs = pause * 2 > ReconnectLongestMs ? ReconnectLongestMs : pause * 2;
    if (note != link->LastNote && link->Notes)
        fprintf(stderr, "dorqin-listen: %s; trying again in %s\n", note.c_str(),
                PauseText(pause).c_str());
    // A lost connection is always news; only failed attempts repeat.
    link->LastNote = connected ? std::string() : note;
    link->Phase = PhasePausing;
    link->DeadlineMs = ClientNowMs() + pause;
}

// Starts a connect to link->Address or, where that fails at once, to the
// next address. Returns false when none is left: the attempt failed.
bool TryAddresses(Reconnect* link) {
    for (; link->Address; link->Address = ClientNextAddress(link->Address)) {
        int error = ClientConnectStart(link->Address, &link->Socket);
        if (error == 0) {
            link->Phase = PhaseConnecting;
            link->DeadlineMs = link->Again ? ClientNowMs() + ReconnectConnectMs : -1;
            return true;
        }
        link->LastError = error;
    }
    ClientFreeAddresses(link->Addresses);
    link->Addresses = nullptr;
    link->Why = std::string("cannot connect to ") + link->Host + " port " + link->Port + ": " +
                ClientConnectErrorText(link->LastError);
    Pause(link, false, link->Why);
    return false;
}

// The address being tried failed with error: on to the next.
bool NextAddress(Reconnect* link, int error) {
    ClientClose(link->Socket);
    link->Socket = ClientNoSocket;
    link->LastError = error;
    link->Address = ClientNextAddress(link->Address);
    return TryAddresses(link);
}

}  // namespace

void ReconnectInit(Reconnect* link, const char* host, const char* port, bool again) {
    *link = Reconnect{host, port, again, again, PhasePausing, ClientNoSocket, 0,
                      0, false, false, nullptr, nullptr, 0, ReconnectFirstMs, {}, {}};
}

int ReconnectNext(Reconnect* link, int wakeMs) {
    long long wakeAt = wakeMs < 0 ? -1 : ClientNowMs() + wakeMs;
    for (;;) {
        long long now = ClientNowMs();
        if (link->Phase == PhasePausing && now >= link->DeadlineMs) {
            if (ClientResolve(link->Host, link->Port, &link->Addresses, &link->Why) != 0) {
                link->Addresses = nullptr;
                Pause(link, false, link->Why);
                return ReconnectDown;
            }
            link->Address = link->Addresses;
            link->LastError = 0;
            if (!TryAddresses(link)) return ReconnectDown;
        }
        if (link->Phase == PhaseConnecting && link->DeadlineMs >= 0 && now >= link->DeadlineMs) {
            if (!NextAddress(link, ClientErrorTimedOut)) return ReconnectDown;
            continue;
        }
        long long hintAt = link->ConnectedMs + ReconnectGreetingHintMs;
        bool hintDue = link->Phase == PhaseConnected && !link->Greeted && !link->Hinted;
        if (hintDue && now >= hintAt) {
            link->Hinted = true;
            return ReconnectNoGreeting;
        }
        if (wakeAt >= 0 && now >= wakeAt) return ReconnectWake;

        long long until = wakeAt;
        if (link->Phase == PhasePausing || link->Phase == PhaseConnecting) {
            if (link->DeadlineMs >= 0 && (until < 0 || link->DeadlineMs < until))
                until = link->DeadlineMs;
        }
        if (hintDue && (until < 0 || hintAt < until)) until = hintAt;
        bool onSocket = link->Phase == PhaseConnecting || link->Phase == PhaseConnected;
        int waited = ClientWait(onSocket ? link->Socket : ClientNoSocket,
                                link->Phase == PhaseConnecting ? ClientForConnect : ClientForData,
                                until < 0 ? -1 : static_cast<int>(until > now ? until - now : 0));
        switch (waited) {
        case ClientWaitFailed: return ReconnectWaitFailed;
        case ClientWaitQuit: return ReconnectQuit;
        case ClientWaitStopped: return ReconnectStopped;
        case ClientWaitInput: return ReconnectWake;
        case ClientWaitReady:
            if (link->Phase == PhaseConnected) return ReconnectData;
            if (int error = ClientConnectResult(link->Socket); error != 0) {
                if (!NextAddress(link, error)) return ReconnectDown;
                continue;
            }
            ClientFreeAddresses(link->Addresses);
            link->Addresses = nullptr;
            if (link->Again)
                ClientKeepAlive(link->Socket, ReconnectProbeIdleMs, ReconnectProbeIntervalMs,
                                ReconnectProbes);
            link->Phase = PhaseConnected;
            link->ConnectedMs = ClientNowMs();
            link->Greeted = link->Hinted = false;
            return ReconnectConnected;
        default: break;  // the time: looked at above
        }
    }
}

void ReconnectGreeted(Reconnect* link) {
    link->Greeted = true;
    link->NextMs = ReconnectFirstMs;
    link->LastNote.clear();
    if (link->Notes)
        fprintf(stderr, "dorqin-listen: connected to %s port %s\n", link->Host, link->Port);
}

void ReconnectLost(Reconnect* link, const std::string& why) {
    ClientClose(link->Socket);
    link->Socket = ClientNoSocket;
    Pause(link, true, "connection lost: " + why);
}

void ReconnectNoteNoGreeting(void) {
    fprintf(stderr,
            "dorqin-listen: connected, but no greeting yet (the relay serves one client at a "
            "time); still waiting\n");
}

void ReconnectEnd(Reconnect* link) {
    if (link->Socket != ClientNoSocket) ClientClose(link->Socket);
    link->Socket = ClientNoSocket;
    if (link->Addresses) ClientFreeAddresses(link->Addresses);
    link->Addresses = nullptr;
    link->Phase = PhaseOver;
}
